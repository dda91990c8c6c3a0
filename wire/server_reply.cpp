#include "wire/server_reply.hpp"

#include <algorithm>
#include <array>
#include <cstring>
#include <limits>

#include "wire/appc_templates.hpp"
#include "wire/container.hpp"
#include "wire/logon_records.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

constexpr std::size_t kMessageVariablesSent = 4;

constexpr RecordId kMessageVariableIds[kMessageVariablesSent] = {
    RecordId::AbapMessageV1, RecordId::AbapMessageV2, RecordId::AbapMessageV3,
    RecordId::AbapMessageV4};

void put_text_record(ContainerWriter& w, RecordId id, std::string_view text) {
  w.put_record(id, encode_utf16le(text));
}

void put_reply_header(ContainerWriter& w, std::string_view program_id) {
  w.put_record(RecordId::Start, kServerReplyStart);
  w.put_record(RecordId::ProtocolVersion, kProtocolVersion);
  w.put_record(RecordId::Capabilities, kCapabilities);
  put_text_record(w, RecordId::ClientAddress, kServerReplyClientAddress);
  put_text_record(w, RecordId::PartnerSystem, kServerReplyPartnerSystem);
  put_text_record(w, RecordId::ConnectionType, kConnectionTypeExternal);
  put_text_record(w, RecordId::KernelRelease, kKernelRelease);
  put_text_record(w, RecordId::KernelPatch, kServerReplyKernelPatch);
  put_text_record(w, RecordId::Program, program_id);
}

Result<Bytes, ServerRecordError> close_reply(ContainerWriter&& w) {
  const std::array<std::uint8_t, kServerReplyCloseRecordSize> zeros{};
  w.put_record(kServerReplyCloseRecord, zeros);
  auto out = std::move(w).finish_container();
  if (!out)
    return err(ServerRecordError::container_error(ServerStep::Reply, std::move(out).error()));
  return std::move(out).value();
}

Result<Bytes, ServerRecordError> export_bytes(const ExportValue& e) {
  const RfcValue& v = e.second;
  switch (v.kind()) {
    case RfcValue::Kind::Text:
      return encode_utf16le(v.as_text());
    case RfcValue::Kind::Int: {
      const std::int64_t n = v.as_int();
      if (n < std::numeric_limits<std::int32_t>::min() ||
          n > std::numeric_limits<std::int32_t>::max()) {
        return err(ServerRecordError::export_too_wide(e.first, n));
      }
      Bytes out;
      append_le32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(n)));
      return out;
    }
    case RfcValue::Kind::Float: {
      std::uint64_t bits = 0;
      const double d = v.as_float();
      std::memcpy(&bits, &d, sizeof bits);
      Bytes out;
      append_le64(out, bits);
      return out;
    }
    case RfcValue::Kind::Bytes:
      return v.as_bytes();
    case RfcValue::Kind::Undecoded:
      return v.as_undecoded().bytes;
  }
  return Bytes{};
}

bool requested(const InboundCall& call, std::string_view name) {
  if (call.requested_outputs.empty()) return true;
  return std::find(call.requested_outputs.begin(), call.requested_outputs.end(), name) !=
         call.requested_outputs.end();
}

}  // namespace

Result<Bytes, ServerRecordError> build_reply_container(std::string_view program_id,
                                                       const InboundCall& call,
                                                       std::span<const ExportValue> exports) {
  ContainerWriter w;
  put_reply_header(w, program_id);
  for (const ExportValue& e : exports) {
    if (!requested(call, e.first)) continue;
    QUIB_TRY(Bytes value, export_bytes(e));
    put_text_record(w, RecordId::ParameterName, e.first);
    w.put_record(RecordId::ParameterValue, value);
  }
  return close_reply(std::move(w));
}

Result<Bytes, ServerRecordError> build_exception_container(std::string_view program_id,
                                                           const ExceptionReply& reply) {
  ContainerWriter w;
  put_reply_header(w, program_id);
  if (const auto* key = std::get_if<ExceptionReply::Key>(&reply.content)) {
    put_text_record(w, RecordId::AbapExceptionKey, key->key);
  } else {
    const auto& m = std::get<ExceptionReply::Message>(reply.content);
    put_text_record(w, RecordId::AbapMessageClass, m.msg_class);
    put_text_record(w, RecordId::AbapMessageType, m.msg_type);
    put_text_record(w, RecordId::AbapMessageNumber, m.msg_number);
    const std::size_t n = std::min(m.variables.size(), kMessageVariablesSent);
    for (std::size_t i = 0; i < n; ++i) put_text_record(w, kMessageVariableIds[i], m.variables[i]);
    w.put_record(RecordId::AbapErrorMessage, {});
  }
  return close_reply(std::move(w));
}

Bytes reply_header(ReplyKind kind, const ConversationId& conversation_id,
                   std::uint32_t piece_length) {
  const AppcTemplate& t =
      kind == ReplyKind::Exception ? kServerExceptionTemplate : kServerReplyTemplate;
  const AppcTemplate h = appc_piece_header(t, conversation_id, piece_length);
  return Bytes(h.begin(), h.end());
}

std::vector<Bytes> container_frames(ReplyKind kind, const ConversationId& conversation_id,
                                    ByteView container) {
  std::vector<Bytes> frames;
  for (ByteView piece : chunk_appc_data(container)) {
    Bytes frame = reply_header(kind, conversation_id, static_cast<std::uint32_t>(piece.size()));
    append_bytes(frame, piece);
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<Bytes> end_of_conversation_records(const ConversationId& conversation_id) {
  const AppcTemplate end = appc_record_header(kConversationEndTemplate, conversation_id);
  const AppcHeader second = AppcHeader::for_conversation(conversation_id);
  const AppcHeader third = AppcHeader::make(kAppcServerInfo);
  std::vector<Bytes> out;
  out.emplace_back(end.begin(), end.end());
  out.emplace_back(second.bytes.begin(), second.bytes.end());
  out.emplace_back(third.bytes.begin(), third.bytes.end());
  return out;
}

}  // namespace quib::wire

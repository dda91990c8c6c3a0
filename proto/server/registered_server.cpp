#include "proto/server/registered_server.hpp"

#include <fmt/format.h>
#include <netinet/in.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <limits>

#include "proto/base/params.hpp"
#include "proto/transport/ni_frames.hpp"
#include "wire/appc_templates.hpp"
#include "wire/container.hpp"
#include "wire/dump.hpp"
#include "wire/logon_records.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

using wire::Bytes;
using wire::ByteView;
using wire::ConversationId;
using wire::RecordId;

// ---------------------------------------------------------------- reply records

constexpr std::size_t kMessageVariablesSent = 4;

constexpr RecordId kMessageVariableIds[kMessageVariablesSent] = {
    RecordId::AbapMessageV1, RecordId::AbapMessageV2, RecordId::AbapMessageV3,
    RecordId::AbapMessageV4};

// The longest part of an unexpected registration answer shown in hex.
constexpr std::size_t kAnswerDumpContext = 64;

void put_text_record(wire::ContainerWriter& w, RecordId id, std::string_view text) {
  w.put_record(id, wire::encode_utf16le(text));
}

void put_reply_header(wire::ContainerWriter& w, std::string_view program_id) {
  w.put_record(RecordId::Start, wire::kServerReplyStart);
  w.put_record(RecordId::ProtocolVersion, wire::kProtocolVersion);
  w.put_record(RecordId::Capabilities, wire::kCapabilities);
  put_text_record(w, RecordId::ClientAddress, wire::kServerReplyClientAddress);
  put_text_record(w, RecordId::PartnerSystem, wire::kServerReplyPartnerSystem);
  put_text_record(w, RecordId::ConnectionType, wire::kConnectionTypeExternal);
  put_text_record(w, RecordId::KernelRelease, wire::kKernelRelease);
  put_text_record(w, RecordId::KernelPatch, wire::kServerReplyKernelPatch);
  put_text_record(w, RecordId::Program, program_id);
}

ProtoResult<Bytes> close_reply(wire::ContainerWriter&& w) {
  const std::array<std::uint8_t, wire::kServerReplyCloseRecordSize> zeros{};
  w.put_record(wire::kServerReplyCloseRecord, zeros);
  QUIB_TRY(Bytes out, std::move(w).finish_container());
  return out;
}

ProtoResult<Bytes> export_bytes(const ExportValue& e) {
  const wire::RfcValue& v = e.second;
  switch (v.kind()) {
    case wire::RfcValue::Kind::Text:
      return wire::encode_utf16le(v.as_text());
    case wire::RfcValue::Kind::Int: {
      const std::int64_t n = v.as_int();
      if (n < std::numeric_limits<std::int32_t>::min() ||
          n > std::numeric_limits<std::int32_t>::max()) {
        return wire::err(ProtocolError::unexpected_record(
            kStepServerReply,
            fmt::format("export {} is {}, which does not fit ABAP's INT4; pass RfcValue::Bytes "
                        "for a wider field",
                        e.first, n)));
      }
      Bytes out;
      wire::append_le32(out, static_cast<std::uint32_t>(static_cast<std::int32_t>(n)));
      return out;
    }
    case wire::RfcValue::Kind::Float: {
      std::uint64_t bits = 0;
      const double d = v.as_float();
      std::memcpy(&bits, &d, sizeof bits);
      Bytes out;
      wire::append_le64(out, bits);
      return out;
    }
    case wire::RfcValue::Kind::Bytes:
      return v.as_bytes();
    case wire::RfcValue::Kind::Undecoded:
      return v.as_undecoded().bytes;
  }
  return Bytes{};
}

bool requested(const wire::InboundCall& call, std::string_view name) {
  if (call.requested_outputs.empty()) return true;
  return std::find(call.requested_outputs.begin(), call.requested_outputs.end(), name) !=
         call.requested_outputs.end();
}

std::string conversation_text(const ConversationId& id) { return wire::utf8_lossy(ByteView(id)); }

ConversationId conversation_of(ByteView record) {
  ConversationId id{};
  std::copy_n(record.begin() + wire::kAppcConversationIdOffset, id.size(), id.begin());
  return id;
}

// A byte 1 for messages: the request byte, or 0 for a frame too short to
// have one.
std::uint8_t request_byte_of(ByteView frame) { return frame.size() >= 2 ? frame[1] : 0; }

// The text of unexpected bytes, readable: control characters become ".".
std::string printable_text(ByteView bytes) {
  const std::string text = wire::utf8_lossy(bytes);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t c = wire::next_utf8(text, pos);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      out += '.';
    } else {
      wire::append_utf8(out, c);
    }
  }
  return out;
}

}  // namespace

// ---------------------------------------------------------------- parameters

std::uint16_t gateway_port(std::string_view gwserv) {
  if (gwserv.substr(0, kGwservPrefix.size()) == kGwservPrefix) {
    const auto n = parse_u16_decimal(gwserv.substr(kGwservPrefix.size()));
    if (!n) return kDefaultGatewayPort;
    return static_cast<std::uint16_t>((kDefaultGatewayPort + *n) & 0xFFFF);
  }
  return parse_u16_decimal(gwserv).value_or(kDefaultGatewayPort);
}

// ---------------------------------------------------------------- replies

ProtoResult<Bytes> build_reply_container(std::string_view program_id, const wire::InboundCall& call,
                                         std::span<const ExportValue> exports) {
  wire::ContainerWriter w;
  put_reply_header(w, program_id);
  for (const ExportValue& e : exports) {
    if (!requested(call, e.first)) continue;
    QUIB_TRY(Bytes value, export_bytes(e));
    put_text_record(w, RecordId::ParameterName, e.first);
    w.put_record(RecordId::ParameterValue, value);
  }
  return close_reply(std::move(w));
}

ProtoResult<Bytes> build_exception_container(std::string_view program_id,
                                             const ExceptionReply& reply) {
  wire::ContainerWriter w;
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
  const wire::AppcTemplate& t =
      kind == ReplyKind::Exception ? wire::kServerExceptionTemplate : wire::kServerReplyTemplate;
  const wire::AppcTemplate h = wire::appc_piece_header(t, conversation_id, piece_length);
  return Bytes(h.begin(), h.end());
}

std::vector<Bytes> container_frames(ReplyKind kind, const ConversationId& conversation_id,
                                    ByteView container) {
  std::vector<Bytes> frames;
  for (ByteView piece : wire::chunk_appc_data(container)) {
    Bytes frame = reply_header(kind, conversation_id, static_cast<std::uint32_t>(piece.size()));
    wire::append_bytes(frame, piece);
    frames.push_back(std::move(frame));
  }
  return frames;
}

std::vector<Bytes> end_of_conversation_records(const ConversationId& conversation_id) {
  const wire::AppcTemplate end =
      wire::appc_record_header(wire::kConversationEndTemplate, conversation_id);
  Bytes first(end.begin(), end.end());
  const wire::AppcHeader second = wire::AppcHeader::for_conversation(conversation_id);
  const wire::AppcHeader third = wire::AppcHeader::make(wire::kAppcServerInfo);
  std::vector<Bytes> out;
  out.push_back(std::move(first));
  out.emplace_back(second.bytes.begin(), second.bytes.end());
  out.emplace_back(third.bytes.begin(), third.bytes.end());
  return out;
}

// ---------------------------------------------------------------- inbound calls

std::string_view InboundAssembler::next_label() const {
  switch (stage_) {
    case Stage::Announcement:
      return kStepInboundCallAnnouncement;
    case Stage::Request:
      return kStepInboundRequest;
    case Stage::Continuation:
    case Stage::Complete:
      break;
  }
  return kStepInboundRequestContinuation;
}

ProtoStatus InboundAssembler::take_record(std::string_view label, ByteView frame) {
  if (frame.size() < wire::kAppcHeaderSize) {
    return wire::err(
        ProtocolError::unexpected_record(label, fmt::format("a {}-byte record", frame.size())));
  }
  const ConversationId id = conversation_of(frame);
  if (id != conversation_id_) {
    return wire::err(ProtocolError::unexpected_record(
        label, fmt::format("conversation {}, but the announcement opened {}", conversation_text(id),
                           conversation_text(conversation_id_))));
  }
  const std::uint64_t declared = wire::load_be32(frame.data() + kInboundPayloadLengthOffset);
  const std::uint64_t present = frame.size() - wire::kAppcHeaderSize;
  if (present < declared) {
    return wire::err(ProtocolError::unexpected_record(
        label,
        fmt::format("a record declaring {} payload bytes with {} present", declared, present)));
  }
  if (payload_.size() + declared > limit_) {
    return wire::err(ProtocolError::unexpected_record(
        label, fmt::format("a request of more than {} bytes; {} bytes reassembled so far", limit_,
                           payload_.size())));
  }
  const ByteView body = frame.subspan(wire::kAppcHeaderSize, static_cast<std::size_t>(declared));
  wire::append_bytes(payload_, body);
  const bool last = std::any_of(frame.begin() + kInboundLastMarkOffset,
                                frame.begin() + kInboundLastMarkOffset + 4,
                                [](std::uint8_t b) { return b != 0; });
  stage_ = last ? Stage::Complete : Stage::Continuation;
  return wire::ok_unit;
}

ProtoStatus InboundAssembler::push(ByteView frame) {
  switch (stage_) {
    case Stage::Announcement: {
      if (frame.size() < wire::kAppcHeaderSize) {
        return wire::err(ProtocolError::unexpected_record(
            kStepInboundCallAnnouncement, fmt::format("a {}-byte record", frame.size())));
      }
      if (frame[1] != kInboundAnnouncementRequest) {
        return wire::err(ProtocolError::unexpected_record(
            kStepInboundCallAnnouncement, fmt::format("function {:#04x}", frame[1])));
      }
      conversation_id_ = conversation_of(frame);
      stage_ = Stage::Request;
      return wire::ok_unit;
    }
    case Stage::Request: {
      if (request_byte_of(frame) != kInboundRequestRequest) {
        return wire::err(ProtocolError::unexpected_record(
            kStepInboundRequest, fmt::format("function {:#04x}", request_byte_of(frame))));
      }
      return take_record(kStepInboundRequest, frame);
    }
    case Stage::Continuation: {
      if (request_byte_of(frame) != kInboundContinuationRequest) {
        return wire::err(ProtocolError::unexpected_record(
            kStepInboundRequestContinuation,
            fmt::format("function {:#04x} where a continuation was due; {} bytes reassembled so "
                        "far",
                        request_byte_of(frame), payload_.size())));
      }
      return take_record(kStepInboundRequestContinuation, frame);
    }
    case Stage::Complete:
      break;
  }
  return wire::err(ProtocolError::unexpected_record(kStepInboundRequestContinuation,
                                                    "a record after the last one"));
}

ProtoResult<wire::InboundCall> InboundAssembler::decode() const {
  return decode_inbound_request(payload_);
}

ProtoResult<wire::InboundCall> decode_inbound_request(ByteView payload) {
  QUIB_TRY(wire::ContainerReader reader, wire::ContainerReader::create(payload));
  QUIB_TRY(std::vector<wire::Record> records, reader.read_all_records());
  return wire::decode_inbound_call(records);
}

ProtoResult<std::optional<Bytes>> judge_registration_answer(std::string_view program_id,
                                                            ByteView frame) {
  if (frame.size() >= wire::kAppcHeaderSize && frame[1] == kInboundAnnouncementRequest) {
    return std::optional<Bytes>(Bytes(frame.begin(), frame.end()));
  }
  const ByteView rest =
      frame.size() > wire::kAppcHeaderSize ? frame.subspan(wire::kAppcHeaderSize) : ByteView();
  wire::GatewayErrText found = wire::find_err_text(rest);
  switch (found.kind) {
    case wire::GatewayErrText::Kind::ErrorText:
      return wire::err(
          ProtocolError::registration_refused(std::string(program_id), std::move(found.text)));
    case wire::GatewayErrText::Kind::Nothing:
      return std::optional<Bytes>();
    case wire::GatewayErrText::Kind::OtherBytes:
      break;
  }
  const ByteView bytes = found.bytes;
  return wire::err(ProtocolError::unexpected_record(
      kStepGatewayRegistration,
      fmt::format("a {}-byte answer that is neither an acceptance nor a refusal: {} / {}",
                  bytes.size(), printable_text(bytes),
                  wire::hex_dump(bytes, 0, std::min(bytes.size(), kAnswerDumpContext)))));
}

// ---------------------------------------------------------------- the session

namespace {

bool is_announcement(ByteView frame) {
  return frame.size() >= wire::kAppcHeaderSize && frame[1] == kInboundAnnouncementRequest;
}

// A read that ended without a frame but left the stream as it was: its wait
// timed out or was interrupted, and what had arrived stays in the reader.
bool is_pause(const ProtocolError& e) {
  const IoError* io = e.get<IoError>();
  return io != nullptr && (io->is_timeout() || io->is_interrupted());
}

// Whether a failed read ends the registration: the gateway closed the
// connection, the framing broke (after a length beyond the limit there is
// no telling where the next frame begins), or the socket itself failed.
bool ends_registration(const ProtocolError& e) {
  if (e.is(ProtocolError::ClosedByPeer) || e.is(ProtocolError::Ni)) return true;
  return e.is(ProtocolError::Io) && !is_pause(e);
}

ProtocolError registration_ended() {
  return ProtocolError(IoError::custom(IoError::NotConnected, "the registration has ended"));
}

}  // namespace

RegisteredServer::RegisteredServer(Socket socket, std::string program_id)
    : program_id_(std::move(program_id)), socket_(std::move(socket)) {}

RegisteredServer& RegisteredServer::operator=(RegisteredServer&& other) noexcept {
  if (this != &other) {
    release();
    reader_ = std::move(other.reader_);
    program_id_ = std::move(other.program_id_);
    pending_ = std::move(other.pending_);
    socket_ = std::move(other.socket_);
    conversation_id_ = other.conversation_id_;
    partial_ = std::move(other.partial_);
    resumed_ = other.resumed_;
    detached_ = other.detached_;
    ended_ = other.ended_;
  }
  return *this;
}

RegisteredServer::~RegisteredServer() { release(); }

void RegisteredServer::release() {
  if (!socket_.valid()) return;
  detach();
  socket_.close();
}

void RegisteredServer::detach() {
  if (detached_ || !socket_.valid()) return;
  detached_ = true;
  // Waits of its own: those of the last operation may have been
  // interrupted (close() from another thread), or be far from over.
  socket_.set_waits(std::make_shared<Waits>(saturating_deadline(Clock::now(), kDetachRecordLimit)));
  const wire::AppcHeader h = wire::AppcHeader::make(wire::kAppcServerAccept);
  (void)write_frame(h.view());
}

void RegisteredServer::abandon() {
  detached_ = true;
  socket_.close();
}

ProtoResult<Bytes> RegisteredServer::read_frame(std::string_view label) {
  std::array<std::uint8_t, kServerReadPiece> piece;
  return read_ni_frame(socket_, reader_, piece, label);
}

ProtoStatus RegisteredServer::write_frame(ByteView payload) {
  if (ended_) return wire::err(registration_ended());
  // A send that its waits refuse before the first byte leaves the stream
  // whole; one that fails later has cut a record short.
  const Waits* waits = socket_.waits().get();
  const bool refused_before_start =
      waits != nullptr && (waits->was_interrupted() || waits->past_deadline());
  ProtoStatus sent = send_ni_frame(socket_, payload);
  if (!sent && !refused_before_start && sent.error().is(ProtocolError::Io)) ended_ = true;
  return sent;
}

ProtoResult<wire::InboundCall> RegisteredServer::receive_call() {
  if (ended_) return wire::err(registration_ended());
  if (!partial_) {
    partial_.emplace();
    resumed_ = false;
    if (pending_) {
      const Bytes announcement = std::move(*pending_);
      pending_.reset();
      if (auto taken = partial_->push(announcement); !taken) {
        partial_.reset();
        return wire::err(std::move(taken).error());
      }
      conversation_id_ = partial_->conversation_id();
    }
  }
  return assemble();
}

ProtoResult<wire::InboundCall> RegisteredServer::assemble() {
  InboundAssembler& call = *partial_;
  while (!call.complete()) {
    auto frame = read_frame(call.next_label());
    if (!frame) {
      if (is_pause(frame.error())) {
        resumed_ = true;
      } else {
        partial_.reset();
        if (ends_registration(frame.error())) ended_ = true;
      }
      return wire::err(std::move(frame).error());
    }
    // After a pause the gateway may have given up the call it had begun
    // and announce a new one.
    if (resumed_ && call.stage() != InboundAssembler::Stage::Announcement &&
        is_announcement(frame.value())) {
      call = InboundAssembler();
    }
    resumed_ = false;
    if (auto taken = call.push(frame.value()); !taken) {
      partial_.reset();
      return wire::err(std::move(taken).error());
    }
    conversation_id_ = call.conversation_id();
  }
  auto decoded = call.decode();
  partial_.reset();
  return decoded;
}

ProtoStatus RegisteredServer::send_reply(ReplyKind kind, ByteView container) {
  for (const Bytes& frame : container_frames(kind, conversation_id_, container)) {
    QUIB_CHECK(write_frame(frame));
  }
  for (const Bytes& record : end_of_conversation_records(conversation_id_)) {
    QUIB_CHECK(write_frame(record));
  }
  return wire::ok_unit;
}

ProtoStatus RegisteredServer::send_reply_exports_only(const wire::InboundCall& call,
                                                      std::span<const ExportValue> exports) {
  QUIB_TRY(Bytes container, build_reply_container(program_id_, call, exports));
  return send_reply(ReplyKind::Normal, container);
}

ProtoStatus RegisteredServer::send_exception_reply(const ExceptionReply& reply) {
  QUIB_TRY(Bytes container, build_exception_container(program_id_, reply));
  return send_reply(ReplyKind::Exception, container);
}

ProtoResult<RegisteredServer> register_at_gateway(const ServerParams& params,
                                                  std::shared_ptr<const Waits> waits) {
  if (params.program_id.empty()) {
    return wire::err(
        ProtocolError::unexpected_record(kStepGatewayRegistration, "an empty program ID"));
  }
  const std::string port = std::to_string(gateway_port(params.gwserv));
  QUIB_TRY(Socket socket, connect_host(params.gwhost, port, params.connect_timeout, waits.get()));
  QUIB_CHECK(socket.set_nodelay(true));
  QUIB_CHECK(socket.set_wait_limit(params.read_timeout));
  socket.set_waits(std::move(waits));
  QUIB_TRY(SocketAddress local, socket.local_address());
  wire::Ipv4Octets address{};
  if (local.family() == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&local.storage);
    std::memcpy(address.data(), &in->sin_addr.s_addr, address.size());
  }

  // From here on a failure drops the half-built server: it detaches and
  // closes the socket.
  RegisteredServer server(std::move(socket), params.program_id);
  const wire::RegistrationRecord record =
      wire::build_registration_record(params.program_id, params.local_host, address);
  QUIB_CHECK(server.write_frame(record));
  QUIB_TRY(Bytes handshake, server.read_frame(kStepRegistrationHandshake));
  (void)handshake;
  const wire::InfoBlock info = wire::build_info_block(params.program_id, params.local_host);
  QUIB_CHECK(server.write_frame(info));
  QUIB_CHECK(server.write_frame(wire::AppcHeader::make(wire::kAppcServerInfo).view()));

  QUIB_CHECK(server.set_read_timeout(params.registration_wait));
  auto answer = server.read_frame(kStepGatewayRegistration);
  QUIB_CHECK(server.set_read_timeout(params.read_timeout));
  // The waits were the registration's; the caller gives each later
  // operation its own.
  server.set_waits(nullptr);
  if (!answer) {
    // Silence for the whole registration wait means the gateway accepted.
    if (answer.error().is_timeout()) return server;
    return wire::err(std::move(answer).error());
  }
  QUIB_TRY(std::optional<Bytes> pending,
           judge_registration_answer(params.program_id, answer.value()));
  server.pending_ = std::move(pending);
  return server;
}

}  // namespace quib::proto

#include "wire/inbound_call.hpp"

#include <algorithm>
#include <optional>

#include "wire/table.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

ConversationId conversation_of(ByteView record) {
  ConversationId id{};
  std::copy_n(record.begin() + kAppcConversationIdOffset, id.size(), id.begin());
  return id;
}

// The request byte of a record, or 0 for one too short to have it.
std::uint8_t request_byte_of(ByteView record) {
  return record.size() > kAppcRequestOffset ? record[kAppcRequestOffset] : 0;
}

// Whether the request ends with this record: any byte of its last-record
// mark is non-zero.
bool is_last_record(ByteView record) {
  const ByteView mark = record.subspan(kAppcInboundLastMarkOffset, kAppcInboundLastMarkSize);
  return std::any_of(mark.begin(), mark.end(), [](std::uint8_t b) { return b != 0; });
}

}  // namespace

std::string lossy_trimmed_text(ByteView bytes) {
  return std::string(trim_unicode(utf8_lossy(bytes)));
}

InboundCall decode_inbound_call(std::span<const Record> records) {
  InboundCall call;
  std::optional<std::string> pending_name;
  for (const Record& rec : records) {
    switch (to_u16(rec.id)) {
      case to_u16(RecordId::Function):
        call.function = lossy_trimmed_text(rec.value);
        break;
      case to_u16(RecordId::Destination):
        call.destination = lossy_trimmed_text(rec.value);
        break;
      case to_u16(RecordId::User):
        call.user = lossy_trimmed_text(rec.value);
        break;
      case to_u16(RecordId::Client):
        call.client = lossy_trimmed_text(rec.value);
        break;
      case to_u16(kInboundSystemId):
        call.system_id = lossy_trimmed_text(rec.value);
        break;
      case to_u16(kInboundCallerHost):
        call.caller_host = lossy_trimmed_text(rec.value);
        break;
      case to_u16(RecordId::Program):
        // The first non-empty program name is the caller's; later ones are
        // ignored.
        if (call.program.empty()) call.program = lossy_trimmed_text(rec.value);
        break;
      case to_u16(RecordId::ParameterName):
        pending_name = lossy_trimmed_text(rec.value);
        break;
      case to_u16(RecordId::ParameterValue):
        if (pending_name) {
          call.parameters.emplace_back(std::move(*pending_name),
                                       Bytes(rec.value.begin(), rec.value.end()));
          pending_name.reset();
        }
        break;
      case to_u16(RecordId::RequestedOutput):
        call.requested_outputs.push_back(lossy_trimmed_text(rec.value));
        break;
      case to_u16(RecordId::TableName):
        call.tables.push_back(InboundTable{lossy_trimmed_text(rec.value), {}, 0, false});
        break;
      case to_u16(RecordId::TableHeader):
        if (!call.tables.empty()) {
          // Only the width is taken: a record of 4 to 7 bytes is enough.
          InboundTable& t = call.tables.back();
          if (auto header = parse_table_header(rec.value))
            t.row_width = header.value().header.width;
          else
            t.short_header = true;
        }
        break;
      case to_u16(RecordId::TableContent):
        if (!call.tables.empty())
          call.tables.back().rows.emplace_back(rec.value.begin(), rec.value.end());
        break;
      default:
        break;
    }
  }
  return call;
}

Result<InboundCall, ServerRecordError> decode_inbound_request(ByteView payload) {
  auto reader = ContainerReader::create(payload);
  if (!reader) {
    return err(ServerRecordError::container_error(ServerStep::Request, std::move(reader).error()));
  }
  auto records = reader.value().read_all_records();
  if (!records) {
    return err(ServerRecordError::container_error(ServerStep::Request, std::move(records).error()));
  }
  return decode_inbound_call(records.value());
}

bool is_inbound_announcement(ByteView record) {
  return record.size() >= kAppcHeaderSize && record[kAppcRequestOffset] == kAppcInboundAnnouncement;
}

ServerStep InboundAssembler::next_step() const {
  switch (stage_) {
    case Stage::Announcement:
      return ServerStep::Announcement;
    case Stage::Request:
      return ServerStep::Request;
    case Stage::Continuation:
    case Stage::Complete:
      break;
  }
  return ServerStep::Continuation;
}

Status<ServerRecordError> InboundAssembler::take_record(ServerStep step, ByteView record) {
  if (record.size() < kAppcHeaderSize) {
    return err(ServerRecordError::short_record(step, record.size()));
  }
  const ConversationId id = conversation_of(record);
  if (id != conversation_id_) {
    return err(ServerRecordError::other_conversation(step, id, conversation_id_));
  }
  const std::uint64_t declared = load_be32(record.data() + kAppcInboundPayloadLengthOffset);
  const std::uint64_t present = record.size() - kAppcHeaderSize;
  if (present < declared) {
    return err(ServerRecordError::short_payload(step, declared, present));
  }
  if (payload_.size() + declared > limit_) {
    return err(ServerRecordError::request_too_large(step, limit_, payload_.size()));
  }
  append_bytes(payload_, record.subspan(kAppcHeaderSize, static_cast<std::size_t>(declared)));
  stage_ = is_last_record(record) ? Stage::Complete : Stage::Continuation;
  return ok_unit;
}

Status<ServerRecordError> InboundAssembler::push(ByteView record) {
  switch (stage_) {
    case Stage::Announcement:
      if (record.size() < kAppcHeaderSize) {
        return err(ServerRecordError::short_record(ServerStep::Announcement, record.size()));
      }
      if (record[kAppcRequestOffset] != kAppcInboundAnnouncement) {
        return err(
            ServerRecordError::wrong_request(ServerStep::Announcement, record[kAppcRequestOffset]));
      }
      conversation_id_ = conversation_of(record);
      stage_ = Stage::Request;
      return ok_unit;
    case Stage::Request:
      if (request_byte_of(record) != kAppcInboundRequest) {
        return err(ServerRecordError::wrong_request(ServerStep::Request, request_byte_of(record)));
      }
      return take_record(ServerStep::Request, record);
    case Stage::Continuation:
      if (request_byte_of(record) != kAppcInboundContinuation) {
        return err(ServerRecordError::continuation_due(request_byte_of(record), payload_.size()));
      }
      return take_record(ServerStep::Continuation, record);
    case Stage::Complete:
      break;
  }
  return err(ServerRecordError::record_after_last());
}

Result<InboundCall, ServerRecordError> InboundAssembler::decode() const {
  return decode_inbound_request(payload_);
}

}  // namespace quib::wire

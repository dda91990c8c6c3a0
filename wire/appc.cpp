#include "wire/appc.hpp"

#include <fmt/format.h>

#include <algorithm>

namespace quib::wire {

namespace {

// The registered server's control records: its own origin, mode 01, the
// conversation "H0000001", the header's own size as the piece length and
// FF FF FF FF as the trailer (FF FF 00 04 on the end of a conversation).
constexpr ConversationId kServerConversation = {'H', '0', '0', '0', '0', '0', '0', '1'};
constexpr std::uint32_t kServerControlTrailer = 0xFFFFFFFF;
constexpr std::uint32_t kServerEndTrailer = 0xFFFF0004;

constexpr AppcHeaderFields server_control_fields(std::uint8_t request) {
  return {.request = request,
          .origin = kAppcServerOrigin,
          .mode = 0x01,
          .conversation_id = kServerConversation,
          .info = appc_piece_info(static_cast<std::uint32_t>(kAppcHeaderSize)),
          .trailer = kServerControlTrailer};
}

}  // namespace

AppcRequestType AppcRequestType::from_byte(std::uint8_t b) {
  switch (b) {
    case kAppcInitialize:
      return {Initialize, b};
    case kAppcAllocate:
      return {Allocate, b};
    case kAppcDeallocate:
      return {Deallocate, b};
    case kAppcSetPartnerLuName:
      return {SetPartnerLuName, b};
    case kAppcData:
      return {Data, b};
    case kAppcDataLast:
      return {DataLast, b};
    case kAppcCancel:
      return {Cancel, b};
    case kAppcCanceled:
      return {Canceled, b};
    default:
      return {Unknown, b};
  }
}

std::string AppcRequestType::debug() const {
  switch (kind) {
    case Initialize:
      return "Initialize";
    case Allocate:
      return "Allocate";
    case Deallocate:
      return "Deallocate";
    case SetPartnerLuName:
      return "SetPartnerLuName";
    case Data:
      return "Data";
    case DataLast:
      return "DataLast";
    case Cancel:
      return "Cancel";
    case Canceled:
      return "Canceled";
    case Unknown:
      break;
  }
  return fmt::format("Unknown(0x{:02x})", byte);
}

AppcError AppcError::truncated(std::uint64_t length) {
  return {.kind = Truncated, .length = length, .header_size = kAppcHeaderSize};
}
AppcError AppcError::version_mismatch(std::uint8_t found) {
  return {.kind = VersionMismatch, .found = found, .expected = kAppcVersion};
}

std::string AppcError::message() const {
  if (kind == Truncated) {
    return fmt::format("APPC record of {} bytes is shorter than the {}-byte header", length,
                       header_size);
  }
  return fmt::format("APPC protocol version 0x{:02x}, expected 0x{:02x}", found, expected);
}

AppcHeader AppcHeader::make(std::uint8_t request) {
  return {write_appc_header(server_control_fields(request))};
}

AppcHeader AppcHeader::for_conversation(std::span<const std::uint8_t, kAppcConversationIdSize> id) {
  AppcHeaderFields f = server_control_fields(kAppcServerEnd);
  std::copy(id.begin(), id.end(), f.conversation_id.begin());
  f.trailer = kServerEndTrailer;
  return {write_appc_header(f)};
}

Result<AppcRecord, AppcError> parse_appc_header(ByteView record) {
  if (record.size() < kAppcHeaderSize) return err(AppcError::truncated(record.size()));
  if (record[0] != kAppcVersion) return err(AppcError::version_mismatch(record[0]));
  AppcRecord r;
  r.header = record.first(kAppcHeaderSize);
  r.payload = record.subspan(kAppcHeaderSize);
  r.version = record[0];
  r.request_byte = record[1];
  r.request_type = AppcRequestType::from_byte(record[1]);
  return r;
}

std::optional<ConversationId> appc_conversation_id(ByteView header) {
  if (header.size() < kAppcConversationIdOffset + kAppcConversationIdSize) return std::nullopt;
  const ByteView field = header.subspan(kAppcConversationIdOffset, kAppcConversationIdSize);
  // Blank (0x20) and NUL are the two bytes whose AND with 0xDF is zero.
  if (std::all_of(field.begin(), field.end(), [](std::uint8_t b) { return (b & 0xDF) == 0; })) {
    return std::nullopt;
  }
  ConversationId id;
  std::copy(field.begin(), field.end(), id.begin());
  return id;
}

std::vector<ByteView> chunk_appc_data(ByteView data) {
  std::vector<ByteView> slices;
  if (data.size() <= kAppcChunkSize) {
    slices.push_back(data);
    return slices;
  }
  slices.reserve((data.size() + kAppcChunkSize - 1) / kAppcChunkSize);
  for (std::size_t off = 0; off < data.size(); off += kAppcChunkSize) {
    slices.push_back(data.subspan(off, std::min(kAppcChunkSize, data.size() - off)));
  }
  return slices;
}

}  // namespace quib::wire

#include "wire/appc.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace quib::wire {

namespace {

constexpr std::array<std::uint8_t, 4> kServerHeaderLead = {0x07, 0x00, 0xFF, 0xFF};
constexpr char kServerConversation[] = "H0000001";
constexpr std::array<std::uint8_t, 4> kServerHeaderTail = {0xFF, 0xFF, 0xFF, 0xFF};
constexpr std::array<std::uint8_t, 4> kServerEndTail = {0xFF, 0xFF, 0x00, 0x04};

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
  AppcHeader h;  // zero-filled
  auto& b = h.bytes;
  b[0] = kAppcVersion;
  b[1] = request;
  std::copy(kServerHeaderLead.begin(), kServerHeaderLead.end(), b.begin() + 2);
  b[30] = 0x01;
  std::memcpy(b.data() + kAppcConversationIdOffset, kServerConversation, kAppcConversationIdSize);
  store_be32(b.data() + 48, static_cast<std::uint32_t>(kAppcHeaderSize));
  std::copy(kServerHeaderTail.begin(), kServerHeaderTail.end(), b.begin() + 76);
  return h;
}

AppcHeader AppcHeader::for_conversation(std::span<const std::uint8_t, kAppcConversationIdSize> id) {
  AppcHeader h = make(kAppcServerEnd);
  std::copy(id.begin(), id.end(), h.bytes.begin() + kAppcConversationIdOffset);
  std::copy(kServerEndTail.begin(), kServerEndTail.end(), h.bytes.begin() + 76);
  return h;
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

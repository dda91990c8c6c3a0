// APPC headers: the 80-byte head of every CPIC record on an NI connection to
// a gateway. Only the version byte, the request byte and the conversation id
// (bytes 40..47) carry meaning for a reader; the other bytes are fixed
// values of the template or builder that made the header. Every header this
// system writes is described by AppcHeaderFields and made by
// write_appc_header.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

inline constexpr std::size_t kAppcHeaderSize = 80;
inline constexpr std::uint8_t kAppcVersion = 0x06;
inline constexpr std::size_t kAppcConversationIdOffset = 40;
inline constexpr std::size_t kAppcConversationIdSize = 8;
// Outgoing data is cut into CPIC records of at most this many bytes.
inline constexpr std::size_t kAppcChunkSize = 28000;

// Request bytes.
inline constexpr std::uint8_t kAppcInitialize = 0x01;
inline constexpr std::uint8_t kAppcAllocate = 0x05;
inline constexpr std::uint8_t kAppcDeallocate = 0x0B;
inline constexpr std::uint8_t kAppcSetPartnerLuName = 0x0F;
inline constexpr std::uint8_t kAppcData = 0xCB;
inline constexpr std::uint8_t kAppcDataLast = 0x09;
inline constexpr std::uint8_t kAppcCancel = 0xD5;
inline constexpr std::uint8_t kAppcCanceled = 0xD6;
// Control records of the registered server.
inline constexpr std::uint8_t kAppcServerAccept = 0xD0;
inline constexpr std::uint8_t kAppcServerInfo = 0xD1;
inline constexpr std::uint8_t kAppcServerEnd = 0xD2;
// Records the gateway sends to a registered server: the announcement of an
// inbound call, the call's request record, and the continuation records
// that follow it until one is marked as the last.
inline constexpr std::uint8_t kAppcInboundAnnouncement = 0xCF;
inline constexpr std::uint8_t kAppcInboundRequest = 0x03;
inline constexpr std::uint8_t kAppcInboundContinuation = 0x09;

using ConversationId = std::array<std::uint8_t, kAppcConversationIdSize>;

// ---------------------------------------------------------------- header fields

// The byte at 2: who writes the record.
inline constexpr std::uint8_t kAppcClientOrigin = 0x02;
inline constexpr std::uint8_t kAppcServerOrigin = 0x07;

// Where each field of a header lies (multi-byte integers big-endian).
inline constexpr std::size_t kAppcVersionOffset = 0;
inline constexpr std::size_t kAppcRequestOffset = 1;
inline constexpr std::size_t kAppcOriginOffset = 2;
inline constexpr std::size_t kAppcMarkerOffset = 4;  // FF FF in every header
inline constexpr std::size_t kAppcFlagsOffset = 10;
inline constexpr std::size_t kAppcSecurityOffset = 13;
inline constexpr std::size_t kAppcControlOffset = 16;
inline constexpr std::size_t kAppcLimitOffset = 17;
inline constexpr std::size_t kAppcControlOptionOffset = 21;
inline constexpr std::size_t kAppcSecurityOptionOffset = 25;
inline constexpr std::size_t kAppcBodyLengthOffset = 26;
inline constexpr std::size_t kAppcModeOffset = 30;
inline constexpr std::size_t kAppcModeOptionOffset = 31;
inline constexpr std::size_t kAppcInfoOffset = 48;
inline constexpr std::size_t kAppcInfoSize = 28;
// Where a header carries the length of the piece it heads: the start of the
// info area.
inline constexpr std::size_t kAppcPieceLengthOffset = kAppcInfoOffset;
inline constexpr std::size_t kAppcTrailerOffset = 76;
// In the header of an inbound request or continuation record: the length of
// the payload it carries, and four bytes that are not all zero on the last
// record of the request.
inline constexpr std::size_t kAppcInboundPayloadLengthOffset = 56;
inline constexpr std::size_t kAppcInboundLastMarkOffset = 60;
inline constexpr std::size_t kAppcInboundLastMarkSize = 4;

using AppcHeaderBytes = std::array<std::uint8_t, kAppcHeaderSize>;
using AppcInfo = std::array<std::uint8_t, kAppcInfoSize>;

// The fields of a header, each at its offset above; every byte no field
// covers is zero, and the version (06) and the marker (FF FF at 4..5) are
// the same in every header. Beside the request and the conversation id the
// fields hold what each template or builder fixes: zero unless it says
// otherwise.
struct AppcHeaderFields {
  std::uint8_t request = 0;
  std::uint8_t origin = kAppcClientOrigin;
  // 01 on Initialize (21 when SNC follows) and SetPartnerLuName, 08 on SNC
  // data, 28 on the SNC handshake.
  std::uint8_t flags = 0;
  std::uint8_t security = 0;         // 01 on SNC data
  std::uint8_t control = 0;          // 01 on SNC data, 08 on Cancel, C0 on Initialize
  std::uint32_t limit = 0;           // FF FF FF FF on SNC data
  std::uint8_t control_option = 0;   // 02 on SNC data, 04 on Initialize
  std::uint8_t security_option = 0;  // 01 on SNC data
  std::uint16_t body_length = 0;     // of the set-up records' bodies; 8 on data records
  // 05 on the data records and Initialize, 04 on SetPartnerLuName, 01 on
  // DataLast, Allocate, Cancel and the registered server's control records.
  std::uint8_t mode = 0;
  std::uint8_t mode_option = 0;  // 0C on the data records
  // Zeros in a template: a record gets its conversation's id here.
  ConversationId conversation_id{};
  // The piece length (appc_piece_info), the partner names of the set-up
  // records (appc_text_info) or fixed bytes.
  AppcInfo info{};
  std::uint32_t trailer = 0;
};

// An info area that holds `piece_length` at its start.
constexpr AppcInfo appc_piece_info(std::uint32_t piece_length) {
  AppcInfo info{};
  store_be32(info.data(), piece_length);
  return info;
}

// An info area that holds the characters of `text`, one byte each, then
// `after`; the rest is zero.
constexpr AppcInfo appc_text_info(std::string_view text,
                                  std::initializer_list<std::uint8_t> after = {}) {
  AppcInfo info{};
  std::size_t at = 0;
  for (char c : text) info[at++] = static_cast<std::uint8_t>(c);
  for (std::uint8_t b : after) info[at++] = b;
  return info;
}

// The 80 header bytes of `f`.
constexpr AppcHeaderBytes write_appc_header(const AppcHeaderFields& f) {
  AppcHeaderBytes h{};
  h[kAppcVersionOffset] = kAppcVersion;
  h[kAppcRequestOffset] = f.request;
  h[kAppcOriginOffset] = f.origin;
  h[kAppcMarkerOffset] = 0xFF;
  h[kAppcMarkerOffset + 1] = 0xFF;
  h[kAppcFlagsOffset] = f.flags;
  h[kAppcSecurityOffset] = f.security;
  h[kAppcControlOffset] = f.control;
  store_be32(h.data() + kAppcLimitOffset, f.limit);
  h[kAppcControlOptionOffset] = f.control_option;
  h[kAppcSecurityOptionOffset] = f.security_option;
  store_be16(h.data() + kAppcBodyLengthOffset, f.body_length);
  h[kAppcModeOffset] = f.mode;
  h[kAppcModeOptionOffset] = f.mode_option;
  std::copy(f.conversation_id.begin(), f.conversation_id.end(),
            h.begin() + kAppcConversationIdOffset);
  std::copy(f.info.begin(), f.info.end(), h.begin() + kAppcInfoOffset);
  store_be32(h.data() + kAppcTrailerOffset, f.trailer);
  return h;
}

// The request type of a record; every byte outside the known set is Unknown
// and keeps the byte.
struct AppcRequestType {
  enum Kind : std::uint8_t {
    Initialize,
    Allocate,
    Deallocate,
    SetPartnerLuName,
    Data,
    DataLast,
    Cancel,
    Canceled,
    Unknown,
  };

  Kind kind = Unknown;
  std::uint8_t byte = 0;

  static AppcRequestType from_byte(std::uint8_t b);
  // The variant name; Unknown prints "Unknown(0x..)".
  std::string debug() const;
  friend bool operator==(const AppcRequestType&, const AppcRequestType&) = default;
};

struct AppcError {
  enum Kind : std::uint8_t { Truncated, VersionMismatch };

  Kind kind = Truncated;
  std::uint64_t length = 0;       // Truncated: the record length
  std::uint64_t header_size = 0;  // Truncated: 80
  std::uint8_t found = 0;         // VersionMismatch: the version byte
  std::uint8_t expected = 0;      // VersionMismatch: 0x06

  static AppcError truncated(std::uint64_t length);
  static AppcError version_mismatch(std::uint8_t found);
  std::string message() const;
  friend bool operator==(const AppcError&, const AppcError&) = default;
};

// The header of the registered server's own control records.
struct AppcHeader {
  AppcHeaderBytes bytes{};

  // Header for a control record with the given request byte (0xD0, 0xD1).
  static AppcHeader make(std::uint8_t request);
  // Header of the end-of-conversation record (request 0xD2) for a conversation.
  static AppcHeader for_conversation(std::span<const std::uint8_t, kAppcConversationIdSize> id);

  ByteView view() const { return ByteView(bytes); }
};

// A received CPIC record split into its parts; views into the record.
struct AppcRecord {
  ByteView header;   // the first 80 bytes
  ByteView payload;  // the rest, possibly empty
  std::uint8_t version = 0;
  AppcRequestType request_type;
  std::uint8_t request_byte = 0;
};

Result<AppcRecord, AppcError> parse_appc_header(ByteView record);

// The conversation id at bytes 40..47 of a header, or nullopt when those
// bytes are only blanks and NULs (or the header is too short to hold them).
std::optional<ConversationId> appc_conversation_id(ByteView header);

// Consecutive slices of at most 28000 bytes; one slice (possibly empty) for
// data of up to 28000 bytes.
std::vector<ByteView> chunk_appc_data(ByteView data);

}  // namespace quib::wire

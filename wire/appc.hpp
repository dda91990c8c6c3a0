// APPC headers: the 80-byte head of every CPIC record on an NI connection to
// a gateway. Only the version byte, the request byte and the conversation id
// (bytes 40..47) carry meaning for a reader; the other bytes are fixed
// values of the template or builder that made the header.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
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

using ConversationId = std::array<std::uint8_t, kAppcConversationIdSize>;

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
  std::array<std::uint8_t, kAppcHeaderSize> bytes{};

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

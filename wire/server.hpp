// Wire records of a registered server: the 64-byte registration record and
// the 512-byte information block it sends to the gateway, the search for the
// gateway's "*ERR*" text in a registration answer, and the decoding of an
// inbound call's container records into an InboundCall. Pure format code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wire/bytes.hpp"
#include "wire/container.hpp"

namespace quib::wire {

// ---------------------------------------------------------------------------
// Registration record and information block

inline constexpr std::size_t kRegistrationRecordSize = 64;
inline constexpr std::size_t kInfoBlockSize = 512;

using RegistrationRecord = std::array<std::uint8_t, kRegistrationRecordSize>;
using InfoBlock = std::array<std::uint8_t, kInfoBlockSize>;
using Ipv4Octets = std::array<std::uint8_t, 4>;

// The registration record: program ID and local host name (each cut at a
// character boundary to the room its fields have) and the four address
// bytes, stored as given.
RegistrationRecord build_registration_record(std::string_view program_id,
                                             std::string_view local_host,
                                             const Ipv4Octets& address);

// The information block: the local host name and the program ID, each cut to
// at most 127 bytes and NUL-terminated, in a block of blanks.
InfoBlock build_info_block(std::string_view program_id, std::string_view local_host);

// The longest prefix of `text` of at most `limit` bytes that ends at a
// character boundary (a malformed UTF-8 sequence counts as one character).
std::string_view cut_at_char_boundary(std::string_view text, std::size_t limit);

// ---------------------------------------------------------------------------
// Gateway error text

// The outcome of looking for the gateway's error text in a reply.
struct GatewayErrText {
  enum class Kind : std::uint8_t {
    ErrorText,   // "*ERR*" found: `text` is the error text (possibly empty)
    OtherBytes,  // no "*ERR*", but some non-NUL byte: `bytes` is the whole reply
    Nothing,     // empty, or only NUL bytes
  };
  Kind kind = Kind::Nothing;
  std::string text;
  Bytes bytes;

  friend bool operator==(const GatewayErrText&, const GatewayErrText&) = default;
};

// Searches a gateway reply for "*ERR*"; the first NUL-separated piece of at
// least 2 bytes after it, decoded and trimmed, is the error text.
GatewayErrText find_err_text(ByteView reply);

// ---------------------------------------------------------------------------
// Inbound calls

// Record ids read from inbound calls that have no name in the id table.
inline constexpr RecordId kInboundSystemId{0x0003};
inline constexpr RecordId kInboundCallerHost{0x0002};

// One table of an inbound call.
struct InboundTable {
  std::string name;
  std::vector<Bytes> rows;      // one per TableContent record
  std::uint32_t row_width = 0;  // 0 until a header arrives
  bool short_header = false;    // a TableHeader had fewer than 4 bytes

  friend bool operator==(const InboundTable&, const InboundTable&) = default;
};

// One decoded inbound request.
struct InboundCall {
  std::string function;
  std::string destination;
  std::string user;
  std::string client;
  std::string system_id;
  std::string caller_host;
  std::string program;
  std::vector<std::pair<std::string, Bytes>> parameters;
  std::vector<InboundTable> tables;
  std::vector<std::string> requested_outputs;

  friend bool operator==(const InboundCall&, const InboundCall&) = default;
};

// Decodes the records of one inbound request, in order of arrival. Texts are
// UTF-8 (invalid sequences replaced) trimmed of white space. Cannot fail:
// records it does not know, and records out of place, are ignored.
InboundCall decode_inbound_call(std::span<const Record> records);

}  // namespace quib::wire

// The registration of a registered server: the 64-byte registration record
// and the 512-byte information block it sends to the gateway, the search for
// the gateway's "*ERR*" text, and the verdict on the gateway's answer. Pure
// format code; the inbound calls are wire/inbound_call.hpp's, the replies
// wire/server_reply.hpp's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/result.hpp"
#include "wire/server_error.hpp"

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
// The registration answer

// The verdict on the gateway's answer to the registration (one frame):
// registered, with the frame kept when it is the announcement of a call the
// gateway forwarded at once; Refused for an "*ERR*" text behind the 80-byte
// header; UnclearAnswer for any other bytes there. An answer that never came
// (the wait timed out) is the session's to judge: silence accepts.
Result<std::optional<Bytes>, ServerRecordError> judge_registration_answer(
    std::string_view program_id, ByteView frame);

}  // namespace quib::wire

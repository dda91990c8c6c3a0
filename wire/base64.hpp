// Base64 with the standard alphabet and "=" padding (RFC 4648 section 4).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"

namespace quib::wire {

std::string base64_encode(ByteView data);

// Strict decoding: the length must be a multiple of 4, padding only at the
// end (at most two "="), no white space, and the unused bits of the last
// character must be zero. Anything else gives nullopt.
std::optional<Bytes> base64_decode(std::string_view text);

}  // namespace quib::wire

// Full Unicode upper-casing, as the logon language needs it: one character
// may become up to three ("ß" gives "SS"). Locale-independent.
#pragma once

#include <string>
#include <string_view>

namespace quib::proto {

// Appends the full upper case of one code point as UTF-8.
void append_full_upper(std::string& out, char32_t cp);

// The full upper case of a UTF-8 text (invalid sequences read as U+FFFD).
std::string full_upper(std::string_view text);

}  // namespace quib::proto

// ASCII character classes of the text parsers in the wire formats: numbers,
// dates, times and exponents are written with the ASCII digits only.
#pragma once

#include <algorithm>
#include <string_view>

namespace quib::wire {

constexpr bool is_digit(char c) { return c >= '0' && c <= '9'; }

// True when every character is an ASCII digit; true for the empty text.
constexpr bool all_digits(std::string_view s) { return std::all_of(s.begin(), s.end(), is_digit); }

}  // namespace quib::wire

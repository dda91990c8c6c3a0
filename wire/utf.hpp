// Text conversions shared by the wire formats: UTF-16LE (the text encoding of
// most record values) and lossy UTF-8 (texts whose bytes the partner chose).
// Invalid input never fails: it decodes with U+FFFD in place of what could not
// be read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "wire/bytes.hpp"

namespace quib::wire {

inline constexpr char32_t kReplacement = 0xFFFD;

// Appends the UTF-8 form of one code point (a surrogate or a value above
// U+10FFFF is written as U+FFFD).
void append_utf8(std::string& out, char32_t cp);

// Reads one code point from UTF-8 at `pos`, advancing it. Invalid or
// truncated sequences, overlong forms and surrogates give U+FFFD and advance
// by the maximal invalid subpart (one byte at least).
char32_t next_utf8(std::string_view s, std::size_t& pos);

// True when `s` is well-formed UTF-8.
bool is_valid_utf8(std::string_view s);

// The bytes as UTF-8 with every invalid sequence replaced by U+FFFD.
std::string utf8_lossy(ByteView bytes);

// The text as UTF-16 code units; characters above U+FFFF as surrogate pairs.
// Invalid UTF-8 in the input is read as U+FFFD.
std::u16string utf8_to_utf16(std::string_view text);

// UTF-16 code units to UTF-8; every unpaired surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view units);

// The number of UTF-16 code units of a UTF-8 text.
std::size_t utf16_length(std::string_view text);

// UTF-16LE bytes of the text, no terminator, no byte-order mark.
Bytes encode_utf16le(std::string_view text);
void append_utf16le(Bytes& out, std::string_view text);

// Code units to little-endian bytes.
Bytes utf16_units_to_bytes(std::u16string_view units);

// UTF-16LE bytes to text: when the length is even and every code unit is
// below 0x80 the low bytes are the text; otherwise units are read
// little-endian, every unpaired surrogate becomes U+FFFD, and an odd final
// byte adds one U+FFFD.
std::string decode_utf16le(ByteView bytes);

// True when the bytes have even length and hold no unpaired surrogate.
bool is_valid_utf16le(ByteView bytes);

// Whether a code point has the Unicode White_Space property (all of them lie
// in the Basic Multilingual Plane).
bool is_unicode_space(char32_t c);

// Trailing / leading Unicode white space removal on UTF-8 text.
std::string_view trim_end_unicode(std::string_view s);
std::string_view trim_unicode(std::string_view s);
// ASCII white space only (space, tab, CR, LF, VT, FF).
std::string_view trim_ascii(std::string_view s);

// ASCII-only case operations (names are matched ignoring ASCII case only).
std::string ascii_upper(std::string_view s);
std::string ascii_lower(std::string_view s);
bool ascii_iequals(std::string_view a, std::string_view b);

}  // namespace quib::wire

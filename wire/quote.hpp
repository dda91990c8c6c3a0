// Quoted texts for debug forms, error messages and traces. A quoted text
// never hides what it holds: every character without a visible place of its
// own is written as an escape, so that a name cannot look like another and a
// value cannot reorder what follows it.
#pragma once

#include <string>
#include <string_view>

#include "wire/bytes.hpp"

namespace quib::wire {

// The C0 controls, DEL and the C1 controls.
constexpr bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c <= 0x9F); }

// The characters that take no visible place of their own: the controls, the
// format characters (soft hyphen, invisible joiners, direction marks, the
// byte-order mark, ...), the line and paragraph separators, the
// noncharacters and the tag characters.
bool is_invisible(char32_t c);

// The debug form of a text: in double quotes, read as UTF-8 (an invalid
// sequence as U+FFFD), with \" and \\ for the quote and the backslash, \n,
// \r, \t and \0 for those controls, and \u{hex} for every other invisible
// character: "a\"b", "x\u{200b}y", "\u{1}".
std::string debug_quote(std::string_view text);

// A character as a character literal: the escapes of debug_quote with
// single quotes, where only the controls are \u{hex}: 'z', '\'', '\n',
// '\u{7f}'.
std::string char_literal(char32_t c);

// The form of a text in traces (valid UTF-8): in double quotes, with \" and
// \\ for the quote and the backslash, \n for the newline, and \u{hex} for
// every other invisible character, the tab and NUL included: "a\u{9}b\n".
std::string trace_quote(std::string_view text);

// The debug form of bytes: their values in decimal, in brackets: [1, 200].
std::string debug_bytes(ByteView bytes);

}  // namespace quib::wire

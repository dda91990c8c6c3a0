#include "wire/quote.hpp"

#include <fmt/format.h>

#include <cstdint>

#include "wire/utf.hpp"

namespace quib::wire {

namespace {

// How one kind of quoting writes a character: its quote mark, the
// characters it writes as \u{hex}, and whether \r, \t and NUL keep their
// short escapes (the newline always does).
struct QuoteRules {
  char quote;
  bool (*hex)(char32_t);
  bool short_controls;
};

bool is_control_char(char32_t c) { return is_control(c); }

constexpr QuoteRules kDebugRules{'"', is_invisible, true};
constexpr QuoteRules kLiteralRules{'\'', is_control_char, true};
constexpr QuoteRules kTraceRules{'"', is_invisible, false};

void append_quoted(std::string& out, char32_t c, const QuoteRules& rules) {
  if (c == static_cast<char32_t>(rules.quote) || c == U'\\') {
    out += '\\';
    out += static_cast<char>(c);
    return;
  }
  if (c == U'\n') {
    out += "\\n";
    return;
  }
  if (rules.short_controls) {
    switch (c) {
      case U'\r':
        out += "\\r";
        return;
      case U'\t':
        out += "\\t";
        return;
      case 0:
        out += "\\0";
        return;
      default:
        break;
    }
  }
  if (rules.hex(c))
    out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
  else
    append_utf8(out, c);
}

std::string quote_text(std::string_view text, const QuoteRules& rules) {
  std::string out;
  out.reserve(text.size() + 2);
  out += rules.quote;
  std::size_t pos = 0;
  while (pos < text.size()) append_quoted(out, next_utf8(text, pos), rules);
  out += rules.quote;
  return out;
}

}  // namespace

bool is_invisible(char32_t c) {
  if (is_control(c)) return true;
  if (c == 0x00AD || c == 0x061C || c == 0x06DD || c == 0x070F || c == 0x180E || c == 0xFEFF)
    return true;
  if (c >= 0x0600 && c <= 0x0605) return true;
  if (c >= 0x200B && c <= 0x200F) return true;
  if (c >= 0x2028 && c <= 0x202E) return true;
  if (c >= 0x2060 && c <= 0x206F) return true;
  if (c >= 0xFFF9 && c <= 0xFFFB) return true;
  if (c >= 0xFDD0 && c <= 0xFDEF) return true;
  if ((c & 0xFFFE) == 0xFFFE) return true;        // U+xFFFE and U+xFFFF of every plane
  if (c >= 0xE0000 && c <= 0xE007F) return true;  // tag characters
  return false;
}

std::string debug_quote(std::string_view text) { return quote_text(text, kDebugRules); }

std::string char_literal(char32_t c) {
  std::string out;
  out += kLiteralRules.quote;
  append_quoted(out, c, kLiteralRules);
  out += kLiteralRules.quote;
  return out;
}

std::string trace_quote(std::string_view text) { return quote_text(text, kTraceRules); }

std::string debug_bytes(ByteView bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(bytes[i]);
  }
  out += ']';
  return out;
}

}  // namespace quib::wire

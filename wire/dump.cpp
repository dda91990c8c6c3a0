#include "wire/dump.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "wire/container.hpp"
#include "wire/quote.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

constexpr std::size_t kDumpLineBytes = 16;
constexpr std::size_t kDumpHalfLine = 8;
constexpr std::size_t kValuePreviewBytes = 16;

void append_hex_byte(std::string& out, std::uint8_t b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  out.push_back(kDigits[b >> 4]);
  out.push_back(kDigits[b & 0x0F]);
}

// Valid UTF-8 whose only control character is the newline.
bool is_plain_utf8(std::string_view text) {
  if (!is_valid_utf8(text)) return false;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t c = next_utf8(text, pos);
    if (c != U'\n' && is_control(c)) return false;
  }
  return true;
}

bool looks_like_utf16le(ByteView bytes) {
  if (bytes.size() % 2 != 0) return false;
  for (std::size_t i = 1; i < bytes.size(); i += 2)
    if (bytes[i] != 0) return false;
  return true;
}

}  // namespace

std::string render_value(ByteView bytes) {
  if (bytes.empty()) return "(empty)";
  const std::string_view text = as_chars(bytes);
  if (is_plain_utf8(text)) return trace_quote(text);
  if (looks_like_utf16le(bytes)) return trace_quote(decode_utf16le(bytes)) + " (utf-16le)";
  std::string out = fmt::format("<{} B> ", bytes.size());
  const std::size_t shown = std::min(bytes.size(), kValuePreviewBytes);
  for (std::size_t i = 0; i < shown; ++i) {
    append_hex_byte(out, bytes[i]);
    out.push_back(' ');
  }
  return out;
}

std::string hex_dump(ByteView bytes, std::size_t mark, std::size_t context) {
  if (bytes.empty()) return "(empty payload)";
  const std::size_t last = bytes.size() - 1;
  // A mark past the end (an offset taken from a shorter view, or one just
  // past the data) still shows the bytes nearest to it.
  mark = std::min(mark, last);
  const std::size_t first_line =
      mark < context ? 0 : (mark - context) / kDumpLineBytes * kDumpLineBytes;
  const std::size_t last_shown = context > last - mark ? last : mark + context;

  std::string out;
  for (std::size_t line = first_line; line <= last_shown; line += kDumpLineBytes) {
    if (line != first_line) out.push_back('\n');
    out += fmt::format("{:08x}  ", line);
    const std::size_t line_end = std::min(bytes.size(), line + kDumpLineBytes);
    for (std::size_t i = 0; i < kDumpLineBytes; ++i) {
      const std::size_t at = line + i;
      if (at < bytes.size()) {
        out.push_back(at == mark ? '>' : ' ');
        append_hex_byte(out, bytes[at]);
      } else {
        out += "   ";
      }
      if (i + 1 == kDumpHalfLine) out.push_back(' ');
    }
    out += "  |";
    for (std::size_t at = line; at < line_end; ++at) {
      const std::uint8_t b = bytes[at];
      out.push_back(b >= 0x20 && b <= 0x7E ? static_cast<char>(b) : '.');
    }
    out.push_back('|');
  }
  return out;
}

std::string describe_container(ByteView bytes) {
  auto reader = ContainerReader::create(bytes);
  if (!reader) return hex_dump(bytes, 0, bytes.size());
  std::string out;
  for (;;) {
    auto step = reader->next_record();
    if (!step) {
      out += fmt::format("  !! {}\n", step.error().message());
      break;
    }
    if (!step.value()) break;
    const Record& rec = *step.value();
    const std::string value = rec.id == RecordId::Password
                                  ? fmt::format("<redacted, {} B>", rec.value.size())
                                  : render_value(rec.value);
    out += fmt::format("  {:<{}} {}\n", record_id_text(rec.id), kDumpIdWidth, value);
  }
  return out;
}

}  // namespace quib::wire

#include "ext/py.hpp"

#include <fmt/format.h>

#include "wire/bytes.hpp"
#include "wire/utf.hpp"

namespace quib::ext {

PyObject* str_from_utf8(std::string_view s) {
  return PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace");
}

bool str_to_utf8(PyObject* obj, std::string& out) {
  Py_ssize_t n = 0;
  const char* p = PyUnicode_AsUTF8AndSize(obj, &n);
  if (!p) return false;
  out.assign(p, static_cast<std::size_t>(n));
  return true;
}

namespace {

// Characters shown as escapes: controls, and the invisible format and
// separator characters that would make a name look like another.
bool needs_escape(char32_t c) {
  return c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF ||
         (c >= 0xFFF9 && c <= 0xFFFB);
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < text.size()) {
    char32_t c = wire::next_utf8(text, pos);
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case 0: out += "\\0"; break;
      default:
        if (needs_escape(c))
          out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
        else
          wire::append_utf8(out, c);
    }
  }
  out += '"';
  return out;
}

}  // namespace quib::ext

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

bool set_texts(PyObject* dict,
               std::initializer_list<std::pair<std::string_view, std::string_view>> entries) {
  for (const auto& [key, text] : entries)
    if (!set_item(dict, key, str_from_utf8(text))) return false;
  return true;
}

bool set_numbers(PyObject* dict,
                 std::initializer_list<std::pair<std::string_view, std::uint64_t>> entries) {
  for (const auto& [key, number] : entries)
    if (!set_item(dict, key, PyLong_FromUnsignedLongLong(number))) return false;
  return true;
}

std::optional<std::string> str_of(PyObject* obj) {
  PyRef s(PyObject_Str(obj));
  std::string out;
  if (!s || !str_to_utf8(s.get(), out)) return std::nullopt;
  return out;
}

void set_error(PyObject* type, std::string_view message) {
  PyRef text(str_from_utf8(message));
  if (text) PyErr_SetObject(type, text.get());
}

std::string type_name_of(PyObject* obj) {
  PyRef name(PyType_GetName(Py_TYPE(obj)));
  std::string out;
  if (!name || !str_to_utf8(name.get(), out)) {
    PyErr_Clear();
    return "?";
  }
  return out;
}

namespace {

// Characters shown as escapes in a character literal: the controls.
bool is_control(char32_t c) { return c < 0x20 || (c >= 0x7F && c < 0xA0); }

// Characters shown as escapes in debug quoting: the controls, and the
// invisible format and separator characters that would make a name look like
// another.
bool needs_escape(char32_t c) {
  return is_control(c) || c == 0xAD || (c >= 0x200B && c <= 0x200F) ||
         (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2064) || c == 0xFEFF ||
         (c >= 0xFFF9 && c <= 0xFFFB);
}

// Appends `c` as it stands between `quote` marks: the quote mark and the
// backslash escaped, \n \r \t \0 as such, the characters `escaped` picks
// as \u{hex}, every other one as its UTF-8.
void append_quoted(std::string& out, char32_t c, char quote, bool (*escaped)(char32_t)) {
  if (c == static_cast<char32_t>(quote)) {
    out += '\\';
    out += quote;
    return;
  }
  switch (c) {
    case '\\':
      out += "\\\\";
      return;
    case '\n':
      out += "\\n";
      return;
    case '\r':
      out += "\\r";
      return;
    case '\t':
      out += "\\t";
      return;
    case 0:
      out += "\\0";
      return;
    default:
      break;
  }
  if (escaped(c))
    out += fmt::format("\\u{{{:x}}}", static_cast<std::uint32_t>(c));
  else
    wire::append_utf8(out, c);
}

}  // namespace

std::string debug_quote(std::string_view text) {
  std::string out = "\"";
  std::size_t pos = 0;
  while (pos < text.size()) append_quoted(out, wire::next_utf8(text, pos), '"', needs_escape);
  out += '"';
  return out;
}

std::string char_literal(char32_t c) {
  std::string out = "'";
  append_quoted(out, c, '\'', is_control);
  out += '\'';
  return out;
}

}  // namespace quib::ext

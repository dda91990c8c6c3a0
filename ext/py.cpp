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

}  // namespace quib::ext

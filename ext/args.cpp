#include "ext/args.hpp"

#include <fmt/format.h>

#include <utility>

namespace quib::ext {

namespace {

// The value given for the keyword `name`, or null.
PyObject* keyword_value(const char* name, PyObject* const* values, PyObject* kwnames) {
  const Py_ssize_t n = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t i = 0; i < n; ++i)
    if (PyUnicode_CompareWithASCIIString(PyTuple_GetItem(kwnames, i), name) == 0) return values[i];
  return nullptr;
}

bool is_one_of(PyObject* key, std::span<const char* const> names) {
  for (const char* name : names)
    if (PyUnicode_CompareWithASCIIString(key, name) == 0) return true;
  return false;
}

}  // namespace

bool parse_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out) {
  const auto len = static_cast<Py_ssize_t>(names.size());
  const Py_ssize_t nkw = kwnames ? PyTuple_Size(kwnames) : 0;
  PyObject* const* keyword_values = args + nargs;
  for (PyObject*& o : out) o = nullptr;
  if (nargs + nkw > len) {
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)", function, len,
                 nargs == 0 ? "keyword " : "", len == 1 ? "" : "s", nargs + nkw);
    return false;
  }
  // The keywords not yet matched to a name.
  Py_ssize_t unmatched = nkw;
  for (Py_ssize_t i = 0; i < len; ++i) {
    const auto at = static_cast<std::size_t>(i);
    if (i < nargs) {
      out[at] = args[i];
      continue;
    }
    if (unmatched > 0) {
      out[at] = keyword_value(names[at], keyword_values, kwnames);
      if (out[at]) --unmatched;
    }
    if (out[at]) continue;
    if (at < required) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zd)", function,
                   names[at], i + 1);
      return false;
    }
    if (unmatched == 0) return true;
  }
  if (unmatched == 0) return true;
  // A keyword left over names an argument given by position, or none.
  for (Py_ssize_t i = 0; i < nargs; ++i) {
    const auto at = static_cast<std::size_t>(i);
    if (keyword_value(names[at], keyword_values, kwnames)) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zd)",
                   function, names[at], i + 1);
      return false;
    }
  }
  for (Py_ssize_t i = 0; i < nkw; ++i) {
    PyObject* key = PyTuple_GetItem(kwnames, i);
    if (!is_one_of(key, names)) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", key, function);
      return false;
    }
  }
  PyErr_Format(PyExc_TypeError, "invalid keyword argument for %s()", function);
  return false;
}

bool parse_no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames && PyTuple_Size(kwnames) > 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no keyword arguments", function);
    return false;
  }
  if (nargs > 0) {
    PyErr_Format(PyExc_TypeError, "%s() takes no arguments (%zd given)", function, nargs);
    return false;
  }
  return true;
}

bool refuse_type(std::string_view argument, std::string_view expected, PyObject* obj) {
  set_type_error(fmt::format("{} must be {}, not {}", argument, expected, type_name_of(obj)));
  return false;
}

bool refuse_key_type(std::string_view argument, PyObject* key) {
  set_type_error(
      fmt::format("{} must have str keys, got a key of type {}", argument, type_name_of(key)));
  return false;
}

bool check_dict(PyObject* obj, const char* argument) {
  return PyDict_Check(obj) || refuse_type(argument, "dict", obj);
}

bool check_str(PyObject* obj, const char* argument, std::string& out) {
  if (!PyUnicode_Check(obj)) return refuse_type(argument, "str", obj);
  return str_to_utf8(obj, out);
}

bool check_str_keys(PyObject* dict, const char* argument) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (!PyUnicode_Check(key)) return refuse_key_type(argument, key);
  return true;
}

bool extract_text_dict(PyObject* dict, const char* argument, ParamMap& out) {
  if (!check_dict(dict, argument)) return false;
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value)) {
    if (!PyUnicode_Check(key)) {
      const std::string got = type_name_of(key);
      PyErr_Format(PyExc_TypeError, "%s must be a dict of str to str, got a key of type %s",
                   argument, got.c_str());
      return false;
    }
    std::string k, v;
    if (!str_to_utf8(key, k)) return false;
    if (!PyUnicode_Check(value)) {
      const std::string got = type_name_of(value);
      PyErr_Format(PyExc_TypeError, "%s must be a dict of str to str, got %s for key %s", argument,
                   got.c_str(), debug_quote(k).c_str());
      return false;
    }
    if (!str_to_utf8(value, v)) return false;
    out.insert_or_assign(std::move(k), std::move(v));
  }
  return true;
}

}  // namespace quib::ext

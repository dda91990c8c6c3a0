#include "ext/args.hpp"

#include <utility>

#include "ext/convert.hpp"

namespace quib::ext {

bool check_dict(PyObject* obj, const char* argument) {
  if (PyDict_Check(obj)) return true;
  const std::string got = type_name_of(obj);
  PyErr_Format(PyExc_TypeError, "%s must be dict, not %s", argument, got.c_str());
  return false;
}

bool check_str(PyObject* obj, const char* argument, std::string& out) {
  if (!PyUnicode_Check(obj)) {
    const std::string got = type_name_of(obj);
    PyErr_Format(PyExc_TypeError, "%s must be str, not %s", argument, got.c_str());
    return false;
  }
  return str_to_utf8(obj, out);
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
      PyErr_Format(PyExc_TypeError, "%s must be a dict of str to str, got %s for key %s",
                   argument, got.c_str(), debug_quote(k).c_str());
      return false;
    }
    if (!str_to_utf8(value, v)) return false;
    out.insert_or_assign(std::move(k), std::move(v));
  }
  return true;
}

}  // namespace quib::ext

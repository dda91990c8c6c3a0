// The arguments that the Python entry points take: the argument lists of
// the methods called through the fast calling convention, and checks of
// single arguments. Each refusal is a TypeError that names the entry point
// or the argument ("call() argument 'params'").
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "ext/params.hpp"
#include "ext/py.hpp"

namespace quib::ext {

// The arguments of a METH_FASTCALL | METH_KEYWORDS entry point: `nargs`
// positional ones in `args`, followed by one for each name in `kwnames`
// (null or a tuple of str). They are matched to `names`, every one of which
// may be given by position or by keyword and the first `required` of which
// must be given, into `out` (borrowed references, null for an optional
// argument not given; as many as `names`). The refusals are those of
// CPython's own keyword parsing, with `function` naming the entry point
// ("call"). False with the TypeError set.
bool parse_arguments(const char* function, std::span<const char* const> names, std::size_t required,
                     PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                     std::span<PyObject*> out);

// For an entry point that takes no arguments: false with the TypeError of
// CPython's own check set when it was given some, `function` naming it as
// its class and name ("Connection.cancel").
bool parse_no_arguments(const char* function, Py_ssize_t nargs, PyObject* kwnames);

// Sets the TypeError "{argument} must be {expected}, not {type of obj}";
// always false.
bool refuse_type(std::string_view argument, std::string_view expected, PyObject* obj);

// Sets the TypeError "{argument} must have str keys, got a key of type
// {type of key}"; always false.
bool refuse_key_type(std::string_view argument, PyObject* key);

// True when `obj` is a dict; false with "{argument} must be dict, not {type}"
// set otherwise.
bool check_dict(PyObject* obj, const char* argument);

// True when every key of the dict is a str; false with refuse_key_type's
// error for `argument` set otherwise. Runs no Python code.
bool check_str_keys(PyObject* dict, const char* argument);

// Walks a snapshot of the items of the dict `dict` (converting a value may
// run Python code that changes the dict), calling `f(key, value)` with each
// key as its UTF-8 text until `f` returns false. A key that is not a str
// goes to `refuse_key(key)`, which sets the Python error. False when the
// walk stopped early: at a refused key or a failed read (the Python error
// set), or where `f` said so.
template <class Refuse, class F>
bool for_each_item_with(PyObject* dict, Refuse&& refuse_key, F&& f) {
  PyRef items(PyDict_Items(dict));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // borrowed (key, value)
    PyObject* key = item ? PyTuple_GetItem(item, 0) : nullptr;
    PyObject* value = item ? PyTuple_GetItem(item, 1) : nullptr;
    if (!key || !value) return false;
    if (!PyUnicode_Check(key)) {
      refuse_key(key);
      return false;
    }
    std::string k;
    if (!str_to_utf8(key, k) || !f(std::move(k), value)) return false;
  }
  return true;
}

// The same with refuse_key_type's refusal for `argument`.
template <class F>
bool for_each_item(PyObject* dict, std::string_view argument, F&& f) {
  return for_each_item_with(
      dict, [&](PyObject* key) { refuse_key_type(argument, key); }, std::forward<F>(f));
}

// The UTF-8 text of a str argument into `out`; false with "{argument} must
// be str, not {type}" (or the encoding error) set otherwise.
bool check_str(PyObject* obj, const char* argument, std::string& out);

// A dict of str to str into `out`, read without running Python code (only
// type tests and UTF-8 reads happen while it is walked, so nothing can
// change the dict meanwhile). False with the TypeError set at the first key
// or value that is not a str.
bool extract_text_dict(PyObject* dict, const char* argument, ParamMap& out);

}  // namespace quib::ext

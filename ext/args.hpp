// The arguments that the Python entry points take: the argument lists of
// the methods called through the fast calling convention, and checks of
// single arguments. Each refusal is a TypeError that names the entry point
// or the argument ("call() argument 'params'").
#pragma once

#include <span>
#include <string>

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

// True when `obj` is a dict; false with "{argument} must be dict, not {type}"
// set otherwise.
bool check_dict(PyObject* obj, const char* argument);

// The UTF-8 text of a str argument into `out`; false with "{argument} must
// be str, not {type}" (or the encoding error) set otherwise.
bool check_str(PyObject* obj, const char* argument, std::string& out);

// A dict of str to str into `out`, read without running Python code (only
// type tests and UTF-8 reads happen while it is walked, so nothing can
// change the dict meanwhile). False with the TypeError set at the first key
// or value that is not a str.
bool extract_text_dict(PyObject* dict, const char* argument, ParamMap& out);

}  // namespace quib::ext

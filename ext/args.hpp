// Checks of the arguments that the Python entry points take: each refusal
// is a TypeError that names the argument ("call() argument 'params'").
#pragma once

#include <string>

#include "ext/params.hpp"
#include "ext/py.hpp"

namespace quib::ext {

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

// Call options: the connection's defaults (its `config` dict) and the
// per-call overrides (the `options` dict of call()).
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

#include "ext/module_state.hpp"
#include "ext/py.hpp"

namespace quib::ext {

struct CallOptions {
  std::optional<std::chrono::nanoseconds> timeout;  // none: no call time-out
  bool rstrip = true;
  bool dtime = false;
  bool return_import_params = false;
};

// A time-out in seconds from Python: None, 0 or below give no time-out; a
// positive value is that many seconds, at least one microsecond (however
// small, it stays a deadline: a zero would mean no limit at all). A value
// that is not a number raises TypeError; NaN, an infinity or 2^64 seconds
// and more raise ValueError; both messages begin with `argument` (the dict
// the key was in, "Connection() argument 'config'") and name the key. False
// with the Python error set.
bool timeout_from_py(PyObject* obj, std::optional<std::chrono::nanoseconds>& out,
                     std::string_view argument);

// Applies the known keys of `dict` to `options`. With `strict` (a call's
// options) any other key raises ExternalRuntimeError RFC_INVALID_PARAMETER
// "unknown call option {}"; without it (a connection's config) other keys
// are ignored. Keys must be str; `argument` names the dict in the TypeError
// for one that is not ("call() argument 'options'"). False with the Python
// error set.
bool apply_options(ModuleState& ms, PyObject* dict, CallOptions& options, bool strict,
                   const char* argument);

}  // namespace quib::ext

#include "ext/options.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "ext/args.hpp"
#include "ext/convert.hpp"
#include "ext/errors.hpp"

namespace quib::ext {

namespace {

constexpr double kNanosPerSecond = 1e9;
// 2^64 seconds: no duration reaches this far.
constexpr double kMaxSeconds = 18446744073709551616.0;
constexpr std::chrono::nanoseconds kMinTimeout = std::chrono::microseconds(1);

bool truth(PyObject* value, bool& out) {
  const int t = PyObject_IsTrue(value);
  if (t < 0) return false;
  out = t != 0;
  return true;
}

}  // namespace

bool timeout_from_py(PyObject* obj, std::optional<std::chrono::nanoseconds>& out,
                     std::string_view argument) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  const double seconds = PyFloat_AsDouble(obj);
  if (seconds == -1.0 && PyErr_Occurred()) {
    // An object that is no number at all; a number whose own conversion
    // failed keeps the error it raised.
    if (PyErr_ExceptionMatches(PyExc_TypeError) && !PyNumber_Check(obj)) {
      PyErr_Clear();
      set_type_error(fmt::format("{}: timeout must be a number of seconds or None, got {} {}",
                                 argument, type_name_of(obj), shown_object(obj)));
    }
    return false;
  }
  if (std::isnan(seconds) || std::isinf(seconds) || seconds >= kMaxSeconds) {
    set_error(PyExc_ValueError,
              fmt::format("{}: timeout must be a finite number of seconds below 2**64, got {}",
                          argument, seconds));
    return false;
  }
  if (seconds <= 0) {
    out.reset();
    return true;
  }
  const double ns = seconds * kNanosPerSecond;
  using Rep = std::chrono::nanoseconds::rep;
  if (ns >= static_cast<double>(std::numeric_limits<Rep>::max())) {
    // Nearly three centuries: as good as no limit, but still a limit.
    out = std::chrono::nanoseconds::max();
  } else {
    out = std::max(std::chrono::nanoseconds(static_cast<Rep>(ns)), kMinTimeout);
  }
  return true;
}

bool apply_options(ModuleState& ms, PyObject* dict, CallOptions& options, bool strict,
                   const char* argument) {
  // Over a snapshot of the entries: a truth test runs Python code, which may
  // change the dict while it is walked.
  return for_each_item(dict, argument, [&](std::string key, PyObject* value) {
    if (key == "rstrip") return truth(value, options.rstrip);
    if (key == "dtime") return truth(value, options.dtime);
    if (key == "return_import_params") return truth(value, options.return_import_params);
    if (key == "timeout") return timeout_from_py(value, options.timeout, argument);
    if (strict) {
      raise_invalid_parameter(ms, fmt::format("unknown call option {}", debug_quote(key)));
      return false;
    }
    return true;
  });
}

}  // namespace quib::ext

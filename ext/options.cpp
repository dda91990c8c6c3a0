#include "ext/options.hpp"

#include <fmt/format.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

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

bool timeout_from_py(PyObject* obj, std::optional<std::chrono::nanoseconds>& out) {
  if (obj == Py_None) {
    out.reset();
    return true;
  }
  const double seconds = PyFloat_AsDouble(obj);
  if (seconds == -1.0 && PyErr_Occurred()) return false;
  if (std::isnan(seconds) || std::isinf(seconds) || seconds >= kMaxSeconds) {
    const std::string text = fmt::format("{}", seconds);
    PyErr_Format(PyExc_ValueError, "timeout must be a finite number of seconds below 2**64, got %s",
                 text.c_str());
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

namespace {

bool refuse_key_type(PyObject* key, const char* argument) {
  const std::string got = type_name_of(key);
  PyErr_Format(PyExc_TypeError, "%s must have str keys, got a key of type %s", argument,
               got.c_str());
  return false;
}

}  // namespace

bool check_str_keys(PyObject* dict, const char* argument) {
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t pos = 0;
  while (PyDict_Next(dict, &pos, &key, &value))
    if (!PyUnicode_Check(key)) return refuse_key_type(key, argument);
  return true;
}

bool apply_options(ModuleState& ms, PyObject* dict, CallOptions& options, bool strict,
                   const char* argument) {
  // A snapshot of the entries: a truth test runs Python code, which may
  // change the dict while it is walked.
  PyRef items(PyDict_Items(dict));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);  // borrowed (key, value)
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    if (!key || !value) return false;
    if (!PyUnicode_Check(key)) return refuse_key_type(key, argument);
    std::string k;
    if (!str_to_utf8(key, k)) return false;
    bool ok = true;
    if (k == "rstrip") {
      ok = truth(value, options.rstrip);
    } else if (k == "dtime") {
      ok = truth(value, options.dtime);
    } else if (k == "return_import_params") {
      ok = truth(value, options.return_import_params);
    } else if (k == "timeout") {
      ok = timeout_from_py(value, options.timeout);
    } else if (strict) {
      raise_invalid_parameter(ms, fmt::format("unknown call option {}", debug_quote(k)));
      return false;
    }
    if (!ok) return false;
  }
  return true;
}

}  // namespace quib::ext

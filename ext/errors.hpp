// Every failure of the system becomes a Python exception here. The package
// `lomra` defines the exception classes in Python and hands them over once
// through register_exceptions, which keeps them in the module's state;
// errors are raised as instances of those classes, looked up by name in the
// state of the module whose class raises them when they are raised.
#pragma once

#include <optional>
#include <string>

#include "ext/module.hpp"
#include "ext/py.hpp"

namespace quib::proto {
class ProtocolError;
}

namespace quib::ext {

// The ABAP message fields passed on with ABAP errors.
struct AbapRecord {
  std::string msg_class, msg_type, msg_number, msg_v1, msg_v2, msg_v3, msg_v4;
};

struct ErrorSpec {
  const char* class_name;
  std::string message;
  long code;
  std::string key;
  std::optional<AbapRecord> abap;
};

// Class names looked up in the registered dict.
inline constexpr const char* kCommunicationError = "CommunicationError";
inline constexpr const char* kLogonError = "LogonError";
inline constexpr const char* kAbapRuntimeError = "ABAPRuntimeError";
inline constexpr const char* kAbapApplicationError = "ABAPApplicationError";
inline constexpr const char* kExternalRuntimeError = "ExternalRuntimeError";

// Builds the exception to raise: the class registered with the module of
// `ms` called with the message and the keyword arguments code, key (and the
// ABAP fields). Returns the exception object, or null with the Python error
// that stands in for it set (the class was never registered, is missing, or
// its constructor refused the arguments).
PyRef make_python_exception(const ModuleState& ms, const ErrorSpec& spec);

// Sets the Python error for `spec`; always returns null so an entry point
// can `return raise_error(...)`.
std::nullptr_t raise_error(const ModuleState& ms, const ErrorSpec& spec);

// The mapping of a protocol error to its class, key and code.
ErrorSpec protocol_error_spec(const proto::ProtocolError& error);
std::nullptr_t raise_protocol_error(const ModuleState& ms, const proto::ProtocolError& error);

// The binding's own three kinds of error.
std::nullptr_t raise_invalid_parameter(const ModuleState& ms, std::string message);
std::nullptr_t raise_canceled(const ModuleState& ms, std::string message);
std::nullptr_t raise_external(const ModuleState& ms, std::string message);

// register_exceptions(classes), a function of the module `module`: the
// first dict registered with a module object stays in force for the life of
// that module object. A module object lives as long as the interpreter that
// imported it (it stays in sys.modules, and reloading it runs nothing
// again), so in a process with one interpreter the first registration is
// the one for the life of the process.
PyObject* register_exceptions(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace quib::ext

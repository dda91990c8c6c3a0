// Every failure of the system becomes a Python exception here. The package
// `lomra` defines the exception classes in Python and hands them over once
// through register_exceptions; errors are raised as instances of those
// classes, looked up by name when they are raised.
#pragma once

#include <optional>
#include <string>

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

// Builds the exception to raise: the registered class called with the
// message and the keyword arguments code, key (and the ABAP fields). Returns
// the exception object, or null with the Python error that stands in for it
// set (the class was never registered, is missing, or its constructor
// refused the arguments).
PyRef make_python_exception(const ErrorSpec& spec);

// Sets the Python error for `spec`; always returns null so an entry point
// can `return raise_error(...)`.
std::nullptr_t raise_error(const ErrorSpec& spec);

// The mapping of a protocol error to its class, key and code.
ErrorSpec protocol_error_spec(const proto::ProtocolError& error);
std::nullptr_t raise_protocol_error(const proto::ProtocolError& error);

// The binding's own three kinds of error.
std::nullptr_t raise_invalid_parameter(std::string message);  // RFC_INVALID_PARAMETER 20
std::nullptr_t raise_canceled(std::string message);           // RFC_CANCELED 7
std::nullptr_t raise_external(std::string message);           // RFC_EXTERNAL_FAILURE 17

// register_exceptions(classes): the first dict registered stays in force
// for the life of the process.
PyObject* register_exceptions(PyObject* module, PyObject* args, PyObject* kwargs);

// Process-wide cached classes, imported on first use. Borrowed references;
// null with the Python error set when the import or lookup fails (the next
// use tries again).
PyObject* datetime_date_type();
PyObject* datetime_time_type();
PyObject* decimal_type();

}  // namespace quib::ext

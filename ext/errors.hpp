// Every failure of the system becomes a Python exception here. The package
// `lomra` defines the exception classes in Python and hands them over once
// through register_exceptions, which keeps them in the module's state;
// errors are raised as instances of those classes, looked up by name in the
// state of the module whose class raises them when they are raised.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "ext/module_state.hpp"
#include "ext/py.hpp"

namespace quib::proto {
class ProtocolError;
}

namespace quib::ext {

// The ABAP message fields passed on with ABAP errors.
struct AbapRecord {
  std::string msg_class, msg_type, msg_number, msg_v1, msg_v2, msg_v3, msg_v4;
};

// Class names looked up in the registered dict.
inline constexpr const char* kCommunicationError = "CommunicationError";
inline constexpr const char* kLogonError = "LogonError";
inline constexpr const char* kAbapRuntimeError = "ABAPRuntimeError";
inline constexpr const char* kAbapApplicationError = "ABAPApplicationError";
inline constexpr const char* kExternalRuntimeError = "ExternalRuntimeError";

// An RFC error as an exception carries it: its class, its RFC error code
// and its key.
struct RfcError {
  const char* class_name;
  long code;
  const char* key;
};

// The RFC errors of the system, one for each code that has a key of its
// own. Each code belongs to one class.
namespace rfc {
inline constexpr RfcError kCommunicationFailure{kCommunicationError, 1,
                                                "RFC_COMMUNICATION_FAILURE"};
inline constexpr RfcError kLogonFailure{kLogonError, 2, "RFC_LOGON_FAILURE"};
inline constexpr RfcError kCanceled{kCommunicationError, 7, "RFC_CANCELED"};
inline constexpr RfcError kClosed{kCommunicationError, 13, "RFC_CLOSED"};
inline constexpr RfcError kExternalFailure{kExternalRuntimeError, 17, "RFC_EXTERNAL_FAILURE"};
inline constexpr RfcError kInvalidParameter{kExternalRuntimeError, 20, "RFC_INVALID_PARAMETER"};

// The codes of the ABAP errors, whose key is the ABAP exception key or the
// message text: message type A or X without a message class, the same with
// a message class, and every other message type.
inline constexpr long kAbapRuntimeCode = 3;
inline constexpr long kAbapRuntimeMessageCode = 4;
inline constexpr long kAbapApplicationCode = 5;
}  // namespace rfc

struct ErrorSpec {
  const char* class_name;
  std::string message;
  long code;
  std::string key;
  std::optional<AbapRecord> abap;

  // The error `e` with `message`, without ABAP fields.
  static ErrorSpec of(const RfcError& e, std::string message) {
    return {e.class_name, std::move(message), e.code, e.key, std::nullopt};
  }
};

// Builds the exception to raise: the class registered with the module of
// `ms` called with the message and the keyword arguments code, key (and the
// ABAP fields). Returns the exception object, or null with the Python error
// that stands in for it set (the class was never registered, is missing, or
// its constructor refused the arguments).
PyRef make_python_exception(const ModuleState& ms, const ErrorSpec& spec);

// Sets the Python error for `spec`; always returns null so an entry point
// can `return raise_error(...)`.
std::nullptr_t raise_error(const ModuleState& ms, const ErrorSpec& spec);
inline std::nullptr_t raise_error(const ModuleState& ms, const RfcError& e, std::string message) {
  return raise_error(ms, ErrorSpec::of(e, std::move(message)));
}

// The mapping of a protocol error to its class, key and code.
ErrorSpec protocol_error_spec(const proto::ProtocolError& error);
std::nullptr_t raise_protocol_error(const ModuleState& ms, const proto::ProtocolError& error);

// The binding's own three kinds of error.
inline std::nullptr_t raise_invalid_parameter(const ModuleState& ms, std::string message) {
  return raise_error(ms, rfc::kInvalidParameter, std::move(message));
}
inline std::nullptr_t raise_canceled(const ModuleState& ms, std::string message) {
  return raise_error(ms, rfc::kCanceled, std::move(message));
}
inline std::nullptr_t raise_external(const ModuleState& ms, std::string message) {
  return raise_error(ms, rfc::kExternalFailure, std::move(message));
}

// register_exceptions(classes), a function of the module `module`: the
// first dict registered with a module object stays in force for the life of
// that module object. A module object lives as long as the interpreter that
// imported it (it stays in sys.modules, and reloading it runs nothing
// again), so in a process with one interpreter the first registration is
// the one for the life of the process.
PyObject* register_exceptions(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames);

}  // namespace quib::ext

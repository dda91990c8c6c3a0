// Server: registers a program ID at an SAP gateway and answers the calls
// that ABAP systems send to it, one call per serve_one, through Python
// callbacks chosen by function name. The parameters of an inbound call are
// read with the function's interface, fetched over a second, ordinary
// client session (the metadata session) used for nothing else.
//
// Lock. One mutex guards the registration and the metadata session;
// serve_one holds it for its whole run, the callback included. Nobody ever
// waits for it while holding the interpreter lock (ServerLock releases the
// interpreter lock for the wait): a second thread that calls serve_one,
// close() or alive during a serve_one waits without the interpreter lock,
// so the serving thread can take the interpreter lock back after each poll
// and finish. The callback runs with the mutex held: a callback that uses
// its own Server gets an error instead of waiting for itself.
#include <fmt/format.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "ext/args.hpp"
#include "ext/convert.hpp"
#include "ext/errors.hpp"
#include "ext/module_state.hpp"
#include "ext/params.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/server/registered_server.hpp"
#include "proto/session/metadata_cache.hpp"
#include "proto/session/open.hpp"
#include "wire/bytes.hpp"

namespace quib::ext {
namespace {

using proto::ExceptionReply;
using proto::ProtocolError;
using proto::RegisteredServer;
using proto::RfcConnection;
using Clock = std::chrono::steady_clock;

constexpr std::string_view kServerClosed = "server is closed";
constexpr std::string_view kNeedProgramId = "server parameters need a program_id";
constexpr std::string_view kReentered =
    "a Server cannot be used from inside its own serve_one callback";
// The poll interval: the registration's read time-out.
constexpr std::chrono::seconds kPollInterval{2};
constexpr double kDefaultServeTimeout = 2.0;
constexpr double kMaxServeTimeout = 86400.0;
// The ABAP message of every reply made from a failure on this side.
constexpr const char* kReplyMessageClass = "RURAD";
constexpr const char* kReplyMessageType = "E";
constexpr const char* kReplyMessageNumber = "000";
constexpr const char* kFunctionNotFound = "FU_NOT_FOUND";

constexpr const char* kServeOneDoc =
    "serve_one($self, /, callbacks, timeout=2.0)\n--\n\n"
    "Accept one inbound call and dispatch it.\n\n"
    "Returns the function name served, or `None` if nothing arrived before\n"
    "`timeout` expired.";
constexpr const char* kCloseDoc = "close($self)\n--\n\nDetach from the gateway. Idempotent.";

struct State {
  // Declared in this order so that they are dropped in the reverse one: the
  // registration first (it sends the detach record), then the metadata
  // session (its socket closes, without a closing exchange), then the name.
  std::string program_id;
  std::mutex mutex;
  std::optional<RfcConnection> metadata;
  std::optional<RegisteredServer> registration;
  // Set when an internal failure escaped while the mutex was held: the
  // state behind it may be half-updated, and the server no longer counts as
  // alive.
  bool broken = false;
  // The thread that holds the mutex (none while it is free).
  std::atomic<std::thread::id> owner{};
};

struct ServerObject {
  PyObject ob_base;  // PyObject_HEAD
  State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<ServerObject*>(self)->state; }

// Holds the server mutex. Taking it never blocks with the interpreter lock
// held (lock_releasing_gil). A thread that already holds it (a callback
// using its own Server) does not get it: held() is false and the caller
// raises instead of waiting for itself forever.
class ServerLock {
 public:
  explicit ServerLock(State& s) : s_(s), exceptions_(std::uncaught_exceptions()) {
    const std::thread::id me = std::this_thread::get_id();
    if (s_.owner.load() == me) return;
    lock_releasing_gil(s_.mutex);
    s_.owner.store(me);
    held_ = true;
  }
  ~ServerLock() {
    if (!held_) return;
    if (std::uncaught_exceptions() > exceptions_) s_.broken = true;
    s_.owner.store(std::thread::id());
    s_.mutex.unlock();
  }
  ServerLock(const ServerLock&) = delete;
  ServerLock& operator=(const ServerLock&) = delete;

  bool held() const { return held_; }

 private:
  State& s_;
  int exceptions_;
  bool held_ = false;
};

std::nullptr_t raise_reentered(const ModuleState& ms) {
  return raise_external(ms, std::string(kReentered));
}

// ---------------------------------------------------------------- arguments

proto::ServerParams server_params_from(const ParamMap& m) {
  proto::ServerParams p = proto::ServerParams::defaults();
  if (const auto* v = find_param(m, "gwhost")) p.gwhost = *v;
  if (const auto* v = find_param(m, "gwserv")) p.gwserv = *v;
  if (const auto* v = find_param(m, "program_id")) p.program_id = *v;
  // Waits for calls go in polls of this length.
  p.read_timeout = kPollInterval;
  return p;
}

// A number as the timeout message shows it.
std::string number_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  return fmt::format("{}", v);
}

// ---------------------------------------------------------------- Python helpers

// The pending Python exception, normalised and taken out (null when none).
PyRef take_exception() {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (!type) return PyRef();
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef t(type), tb(traceback);
  if (value && traceback) PyException_SetTraceback(value, traceback);
  return PyRef(value);
}

// str(obj) as UTF-8; an empty text when there is no object or str() fails.
std::string shown(PyObject* obj) {
  if (!obj) return {};
  auto text = str_of(obj);
  if (!text) PyErr_Clear();
  return text.value_or(std::string());
}

PyObject* context_dict(const wire::InboundCall& call) {
  PyRef d(PyDict_New());
  if (!d || !set_texts(d.get(), {{"function", call.function},
                                 {"destination", call.destination},
                                 {"user", call.user},
                                 {"client", call.client},
                                 {"system_id", call.system_id},
                                 {"caller_host", call.caller_host},
                                 {"program", call.program}}))
    return nullptr;
  return d.release();
}

ExceptionReply reply_message(std::string text) {
  return ExceptionReply::abap_message(kReplyMessageClass, kReplyMessageNumber, kReplyMessageType,
                                      {std::move(text)});
}

// The reply for an exception that a callback raised: its `key` when that is
// a non-empty str, otherwise an ABAP message with str() of the exception.
ExceptionReply callback_error_reply(PyObject* exc) {
  if (exc) {
    PyRef key(PyObject_GetAttrString(exc, "key"));
    if (!key) {
      PyErr_Clear();
    } else if (PyUnicode_Check(key.get())) {
      std::string text;
      if (str_to_utf8(key.get(), text)) {
        if (!text.empty()) return ExceptionReply::exception_key(std::move(text));
      } else {
        PyErr_Clear();
      }
    }
  }
  return reply_message(shown(exc));
}

// The exception as a problem text: its class name, ": " and str() of it.
std::string exception_text(PyObject* exc) { return type_name_of(exc) + ": " + shown(exc); }

// The received parameters as keyword arguments: each parameter the
// description knows, decoded by its type (raw bytes when that fails) and
// stored under the name as sent. Received tables are not passed.
PyObject* parameters_dict(ModuleState& ms, const wire::InboundCall& call,
                          const proto::FunctionDescription& d) {
  PyRef kwargs(PyDict_New());
  if (!kwargs) return nullptr;
  const ReadFlags flags{true, false};
  for (const auto& [name, raw] : call.parameters) {
    const proto::ParameterDescription* p = d.find_parameter(name);
    if (!p) continue;
    auto decoded = wire::decode_field_value_latin1(raw, p->type);
    PyRef value;
    if (decoded) {
      value = PyRef(value_to_py(ms, name, p->type, decoded.value(), flags));
    } else {
      value = PyRef(value_to_py(ms, name, wire::AbapType::Byte, wire::RfcValue::bytes(raw), flags));
    }
    if (!value) return nullptr;
    PyRef key(str_from_utf8(name));
    if (!key || PyDict_SetItem(kwargs.get(), key.get(), value.get()) < 0) return nullptr;
  }
  return kwargs.release();
}

// ---------------------------------------------------------------- serve_one

// Sends a reply with the interpreter lock released; a failure is raised.
template <class F>
bool send(const ModuleState& ms, F&& f) {
  proto::ProtoStatus sent = without_gil(std::forward<F>(f));
  if (!sent) {
    raise_protocol_error(ms, sent.error());
    return false;
  }
  return true;
}

PyObject* served(const std::string& function) { return str_from_utf8(function); }

// What a callback returned, as the reply; state.registration is present.
PyObject* answer_with_result(ModuleState& ms, State& s, const wire::InboundCall& call,
                             const proto::FunctionDescription& d, PyObject* result) {
  RegisteredServer& reg = *s.registration;
  if (!PyDict_Check(result)) {
    if (!send(ms, [&] { return reg.send_reply_exports_only(call, {}); })) return nullptr;
    return served(call.function);
  }
  std::vector<proto::ExportValue> exports;
  // What is wrong with the result; the walk stops at the first problem.
  std::optional<std::string> problem;
  auto refuse_key = [&](PyObject* key) {
    set_type_error(
        fmt::format("the handler for {} returned a dict whose keys must be str, got a "
                    "key of type {}",
                    call.function, type_name_of(key)));
  };
  const bool walked = for_each_item_with(result, refuse_key, [&](std::string key, PyObject* value) {
    const proto::ParameterDescription* p = d.find_parameter(key);
    if (!p) {
      problem = no_such_parameter(call.function, key);
    } else if (p->direction.kind == proto::ParamDirection::Import) {
      problem =
          fmt::format("{} is an import parameter; a server cannot return it", debug_quote(key));
    } else if (auto v = py_to_value(ms, p->name, p->type, value)) {
      exports.emplace_back(p->name, std::move(*v));
    } else {
      PyRef exc = take_exception();
      problem = fmt::format("{}: {}", debug_quote(key), exception_text(exc.get()));
    }
    return !problem;
  });
  if (!walked && !problem) return nullptr;
  if (problem) {
    const ExceptionReply reply = reply_message(*problem);
    if (!send(ms, [&] { return reg.send_exception_reply(reply); })) return nullptr;
    return raise_external(ms,
                          fmt::format("the handler for {} returned {}", call.function, *problem));
  }
  if (!send(ms, [&] { return reg.send_reply_exports_only(call, exports); })) return nullptr;
  return served(call.function);
}

// One inbound call, the mutex held: waits, describes, dispatches, answers.
PyObject* serve_locked(ModuleState& ms, State& s, PyObject* callbacks, Clock::time_point deadline) {
  std::optional<wire::InboundCall> received;
  for (;;) {
    if (!s.registration || s.broken) return raise_external(ms, std::string(kServerClosed));
    RegisteredServer& reg = *s.registration;
    auto got = without_gil([&] { return reg.receive_call(); });
    if (got) {
      received.emplace(std::move(got).value());
      break;
    }
    if (!got.error().is_timeout()) return raise_protocol_error(ms, got.error());
    if (Clock::now() >= deadline) Py_RETURN_NONE;
    if (PyErr_CheckSignals() < 0) return nullptr;
  }
  const wire::InboundCall& call = *received;
  if (!s.metadata) return raise_external(ms, std::string(kServerClosed));

  // The interface first, the callback after; a failed fetch is acted on
  // only once it is known that there is a callback to call.
  RfcConnection& metadata = *s.metadata;
  auto description =
      without_gil([&] { return proto::function_description(metadata, call.function); });

  PyRef name(str_from_utf8(call.function));
  if (!name) return nullptr;
  PyObject* callback = PyDict_GetItemWithError(callbacks, name.get());  // borrowed
  if (!callback && PyErr_Occurred()) return nullptr;
  RegisteredServer& reg = *s.registration;
  if (!callback) {
    const ExceptionReply reply = ExceptionReply::exception_key(kFunctionNotFound);
    if (!send(ms, [&] { return reg.send_exception_reply(reply); })) return nullptr;
    return served(call.function);
  }
  PyRef hold_callback = PyRef::borrow(callback);
  if (!description) {
    const ExceptionReply reply = reply_message(description.error().message());
    if (!send(ms, [&] { return reg.send_exception_reply(reply); })) return nullptr;
    return served(call.function);
  }
  const proto::FunctionDescription& d = *description.value();

  PyRef kwargs(parameters_dict(ms, call, d));
  if (!kwargs) return nullptr;  // no reply: the conversion failure is raised
  PyRef context(context_dict(call));
  if (!context) return nullptr;
  PyRef args(PyTuple_Pack(1, context.get()));
  if (!args) return nullptr;

  PyRef result(PyObject_Call(hold_callback.get(), args.get(), kwargs.get()));
  if (!result) {
    // Every exception the callback raised is answered, whatever its class,
    // and not raised further.
    PyRef exc = take_exception();
    const ExceptionReply reply = callback_error_reply(exc.get());
    PyErr_Clear();
    if (!send(ms, [&] { return reg.send_exception_reply(reply); })) return nullptr;
    return served(call.function);
  }
  return answer_with_result(ms, s, call, d, result.get());
}

PyObject* method_serve_one(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                           Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(cls);
    static constexpr const char* kNames[] = {"callbacks", "timeout"};
    PyObject* given[2];
    if (!parse_arguments("serve_one", kNames, 1, args, nargs, kwnames, given)) return nullptr;
    auto [callbacks, timeout_obj] = given;
    if (!check_dict(callbacks, "serve_one() argument 'callbacks'")) return nullptr;
    double timeout = kDefaultServeTimeout;
    if (timeout_obj) {
      timeout = PyFloat_AsDouble(timeout_obj);
      if (timeout == -1.0 && PyErr_Occurred()) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError)) return nullptr;
        PyErr_Clear();
        refuse_type("serve_one() argument 'timeout'", "a number", timeout_obj);
        return nullptr;
      }
    }
    if (!std::isfinite(timeout)) {
      return raise_external(ms, fmt::format("timeout must be a finite number of seconds, got {}",
                                            number_text(timeout)));
    }
    timeout = std::clamp(timeout, 0.0, kMaxServeTimeout);
    const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(timeout));
    // The callbacks dict stays alive for the whole call.
    PyRef hold = PyRef::borrow(callbacks);
    State& s = state_of(self);
    ServerLock lock(s);
    if (!lock.held()) return raise_reentered(ms);
    return serve_locked(ms, s, callbacks, deadline);
  });
}

// ---------------------------------------------------------------- the rest

PyObject* method_close(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!parse_no_arguments("Server.close", nargs, kwnames)) return nullptr;
    State& s = state_of(self);
    ServerLock lock(s);
    if (!lock.held()) return raise_reentered(module_state(cls));
    // Dropping the registration sends the detach record and closes its
    // socket.
    s.registration.reset();
    std::optional<RfcConnection> metadata = std::exchange(s.metadata, std::nullopt);
    if (metadata) without_gil([&] { (void)std::move(*metadata).close(); });
    Py_RETURN_NONE;
  });
}

PyObject* get_alive(PyObject* self, void*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    State& s = state_of(self);
    ServerLock lock(s);
    if (!lock.held()) return raise_reentered(module_state_of(self));
    return PyBool_FromLong(s.registration.has_value() && !s.broken);
  });
}

PyObject* get_program_id(PyObject* self, void*) {
  return guarded<PyObject*>(
      nullptr, [&]() -> PyObject* { return str_from_utf8(state_of(self).program_id); });
}

PyObject* server_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(type);
    static const char* keywords[] = {"server_params", "client_params", nullptr};
    PyObject* server_obj = nullptr;
    PyObject* client_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Server", const_cast<char**>(keywords),
                                     &server_obj, &client_obj))
      return nullptr;
    ParamMap server_map, client_map;
    WipeParamsOnExit wipe_client(client_map);
    if (!extract_text_dict(server_obj, "Server() argument 'server_params'", server_map) ||
        !extract_text_dict(client_obj, "Server() argument 'client_params'", client_map))
      return nullptr;
    if (!find_param(server_map, "program_id"))
      return raise_external(ms, std::string(kNeedProgramId));

    auto state = std::make_unique<State>();
    state->program_id = *find_param(server_map, "program_id");
    const proto::ServerParams sp = server_params_from(server_map);
    auto registered = without_gil([&] { return proto::register_at_gateway(sp); });
    if (!registered) return raise_protocol_error(ms, registered.error());
    state->registration.emplace(std::move(registered).value());

    const proto::ConnectionParams cp = logon_params(client_map);
    auto opened = without_gil([&] { return proto::open_direct(cp, proto::metadata_cache()); });
    if (!opened) {
      state->registration.reset();  // detaches before the error is raised
      return raise_protocol_error(ms, opened.error());
    }
    state->metadata.emplace(std::move(opened).value());

    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    reinterpret_cast<ServerObject*>(self)->state = state.release();
    return self;
  });
}

void server_dealloc(PyObject* self) {
  delete reinterpret_cast<ServerObject*>(self)->state;
  free_instance(self);
}

PyMethodDef server_methods[] = {
    {"serve_one", as_cfunction(method_serve_one), METH_METHOD | METH_FASTCALL | METH_KEYWORDS,
     kServeOneDoc},
    {"close", as_cfunction(method_close), METH_METHOD | METH_FASTCALL | METH_KEYWORDS, kCloseDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef server_getset[] = {
    {"alive", get_alive, nullptr, nullptr, nullptr},
    {"program_id", get_program_id, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot server_slots[] = {
    {Py_tp_doc, const_cast<char*>("Server(server_params, client_params)\n--\n\n")},
    {Py_tp_new, reinterpret_cast<void*>(server_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(server_dealloc)},
    {Py_tp_methods, server_methods},
    {Py_tp_getset, server_getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "lomra._quib_lomra.Server", sizeof(ServerObject), 0, Py_TPFLAGS_DEFAULT, server_slots,
};

}  // namespace

PyType_Spec* server_spec() { return &spec; }

}  // namespace quib::ext

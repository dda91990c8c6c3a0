// Connection: the Python class over one ABAP session. Its methods check
// their arguments and run as operations of the session
// (ext/connection/session.hpp); call() is ext/connection/call.hpp, the unit
// methods use ext/connection/units.hpp, and function_description() and
// connection_attributes() return the dicts of ext/connection/describe.hpp.
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ext/args.hpp"
#include "ext/connection/call.hpp"
#include "ext/connection/describe.hpp"
#include "ext/connection/session.hpp"
#include "ext/connection/units.hpp"
#include "ext/errors.hpp"
#include "ext/module_state.hpp"
#include "ext/options.hpp"
#include "ext/params.hpp"
#include "ext/throughput.hpp"
#include "proto/invoke/tid.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/session/open.hpp"

namespace quib::ext {
namespace {

using proto::RfcConnection;

struct ConnectionObject {
  PyObject ob_base;  // PyObject_HEAD
  State* state;
};

// The state as the getters read it: nothing there belongs to one process.
State& raw_state(PyObject* self) { return *reinterpret_cast<ConnectionObject*>(self)->state; }

// The state for a method: in a forked child, first left by the parent's
// session (ext/connection/session.hpp).
State& state_of(PyObject* self) { return adopt_after_fork(raw_state(self)); }

// ---------------------------------------------------------------- Python entry points

PyObject* connection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(type);
    static const char* keywords[] = {"params", "config", nullptr};
    PyObject* params_obj = nullptr;
    PyObject* config_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Connection", const_cast<char**>(keywords),
                                     &params_obj, &config_obj))
      return nullptr;
    ParamMap params;
    WipeParamsOnExit wipe_params(params);  // it may hold the password
    if (!extract_text_dict(params_obj, "Connection() argument 'params'", params)) return nullptr;
    // Both arguments are checked as a whole before any parameter is looked at.
    if (!check_dict(config_obj, "Connection() argument 'config'") ||
        !check_str_keys(config_obj, "Connection() argument 'config'"))
      return nullptr;

    auto read = [](std::string_view key, std::string_view path) {
      return without_gil([&] { return read_tls_credential(key, path); });
    };
    auto parsed = parse_connection_params(params, process_env, read);
    if (!parsed) return raise_external(ms, std::move(parsed).error());

    CallOptions defaults;
    if (!apply_options(ms, config_obj, defaults, false, "Connection() argument 'config'"))
      return nullptr;

    auto state = std::make_unique<State>(std::move(parsed.value().params),
                                         std::move(parsed.value().route), defaults);
    // The configured time-out bounds the whole open.
    auto op = Operation::start(ms, *state, Operation::Kind::Open);
    if (!op) return nullptr;
    op->set_timeout(defaults.timeout);
    auto opened = without_gil([&] { return open_session(*state, *op); });
    if (!opened) return raise_operation_error(ms, *op, "Connection()", opened.error());

    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    Opened o = std::move(opened).value();
    state->live->inner.emplace(std::move(o.connection));
    state->live->cancel = std::move(o.handle);
    state->alive.store(true);
    state->handle = ++ms.connections_opened;
    reinterpret_cast<ConnectionObject*>(self)->state = state.release();
    return self;
  });
}

void connection_dealloc(PyObject* self) {
  // Dropping the session closes its socket without the closing exchange;
  // the cancel handle's own socket closes with it.
  free_state(reinterpret_cast<ConnectionObject*>(self)->state);
  free_instance(self);
}

PyObject* method_call(PyObject* self, PyTypeObject* cls, PyObject* const* args, Py_ssize_t nargs,
                      PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(cls);
    static constexpr const char* kNames[] = {"name", "params", "options"};
    PyObject* given[3];
    if (!parse_arguments("call", kNames, 3, args, nargs, kwnames, given)) return nullptr;
    auto [name_obj, params, options] = given;
    std::string name;
    if (!check_str(name_obj, "call() argument 'name'", name) ||
        !check_dict(params, "call() argument 'params'") ||
        !check_dict(options, "call() argument 'options'"))
      return nullptr;
    // Held until the call returns: a second run after a gateway failure
    // reads `params` again (`options` are read once, before the first run).
    PyRef hold_params = PyRef::borrow(params);
    PyRef hold_options = PyRef::borrow(options);
    // From here on a cancel() is never lost: it makes this call raise.
    auto op = Operation::start(ms, state_of(self), Operation::Kind::Call);
    if (!op) return nullptr;
    return call_function(ms, state_of(self), *op, name, params, options);
  });
}

PyObject* method_close(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    close_inner(state_of(self));
    Py_RETURN_NONE;
  });
}

PyObject* method_reopen(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!parse_no_arguments("Connection.reopen", nargs, kwnames)) return nullptr;
    return reopen_connection(module_state(cls), state_of(self));
  });
}

PyObject* method_cancel(PyObject* self, PyTypeObject* cls, PyObject* const*, Py_ssize_t nargs,
                        PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!parse_no_arguments("Connection.cancel", nargs, kwnames)) return nullptr;
    return cancel_connection(module_state(cls), state_of(self));
  });
}

PyObject* method_set_throughput(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(cls);
    static constexpr const char* kNames[] = {"throughput"};
    PyObject* obj = nullptr;
    if (!parse_arguments("set_throughput", kNames, 0, args, nargs, kwnames, {&obj, 1}))
      return nullptr;
    if (!obj) obj = Py_None;
    std::shared_ptr<proto::ThroughputCounters> counters;
    if (obj != Py_None) {
      counters = throughput_counters(ms, obj);
      if (!counters) {
        refuse_type("set_throughput() argument 'throughput'", "Throughput or None", obj);
        return nullptr;
      }
    }
    // Every operation gives the session the attachment it finds here, the
    // first one after a reopen included: nothing waits for the session.
    State& s = state_of(self);
    std::lock_guard<std::mutex> guard(s.live->throughput_mutex);
    s.live->throughput = std::move(counters);
    Py_RETURN_NONE;
  });
}

PyObject* method_function_description(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(cls);
    static constexpr const char* kNames[] = {"name"};
    PyObject* name_obj = nullptr;
    if (!parse_arguments("function_description", kNames, 1, args, nargs, kwnames, {&name_obj, 1}))
      return nullptr;
    std::string name;
    if (!check_str(name_obj, "function_description() argument 'name'", name)) return nullptr;
    State& s = state_of(self);
    auto op = Operation::start(ms, s, Operation::Kind::Call);
    if (!op) return nullptr;
    op->set_timeout(s.defaults.timeout);
    auto fetched = session_step(ms, s, *op, name, [&](RfcConnection& session) {
      return proto::function_description(session, name);
    });
    if (!fetched) return nullptr;
    return description_to_py(**fetched);
  });
}

PyObject* method_connection_attributes(PyObject* self, PyTypeObject* cls, PyObject* const*,
                                       Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!parse_no_arguments("Connection.connection_attributes", nargs, kwnames)) return nullptr;
    ModuleState& ms = module_state(cls);
    State& s = state_of(self);
    // The attributes of the live session: a session whose conversation has
    // ended is replaced first, and one being replaced by another thread is
    // waited for.
    auto op = Operation::start(ms, s, Operation::Kind::Open);
    if (!op) return nullptr;
    op->set_timeout(s.defaults.timeout);
    using Identity = std::pair<proto::ConnectionAttributes, std::string>;
    auto identity = session_step(ms, s, *op, "connection_attributes()",
                                 [](RfcConnection& session) -> proto::ProtoResult<Identity> {
                                   return Identity{session.attributes(), session.conversation_id()};
                                 });
    if (!identity) return nullptr;
    const auto& [attributes, session_id] = *identity;
    return attributes_to_py(attributes, session_id, s.params);
  });
}

// The unit methods use the session like call() does, without its error
// handling: no retry, no call time-out. A session whose conversation has
// ended is replaced before they start; cancel() and close() interrupt them.
PyObject* method_initialize_unit(PyObject* self, PyTypeObject* cls, PyObject* const*,
                                 Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    if (!parse_no_arguments("Connection.initialize_unit", nargs, kwnames)) return nullptr;
    ModuleState& ms = module_state(cls);
    State& s = state_of(self);
    auto op = Operation::start(ms, s, Operation::Kind::Call);
    if (!op) return nullptr;
    auto tid = session_step(ms, s, *op, proto::kCreateTidFunction, proto::create_tid);
    if (!tid) return nullptr;
    return unit_result(*tid);
  });
}

PyObject* method_fill_and_submit_unit(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                                      Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(cls);
    static constexpr const char* kNames[] = {"tid", "calls", "queue"};
    PyObject* given[3];
    if (!parse_arguments("fill_and_submit_unit", kNames, 2, args, nargs, kwnames, given))
      return nullptr;
    PyObject* tid_obj = given[0];
    PyObject* calls_obj = given[1];
    PyObject* queue_obj = given[2] ? given[2] : Py_None;
    std::string tid_text;
    if (!check_str(tid_obj, "fill_and_submit_unit() argument 'tid'", tid_text)) return nullptr;
    if (!PyList_Check(calls_obj)) {
      refuse_type("fill_and_submit_unit() argument 'calls'", "list", calls_obj);
      return nullptr;
    }
    std::optional<std::string> queue;
    if (queue_obj != Py_None) {
      if (!PyUnicode_Check(queue_obj)) {
        refuse_type("fill_and_submit_unit() argument 'queue'", "str or None", queue_obj);
        return nullptr;
      }
      queue.emplace();
      if (!str_to_utf8(queue_obj, *queue)) return nullptr;
    }
    State& s = state_of(self);
    auto op = Operation::start(ms, s, Operation::Kind::Call);
    if (!op) return nullptr;
    // A closed connection is reported before the calls are looked at.
    if (!session_step(ms, s, *op, kShipFunction,
                      [](RfcConnection&) -> proto::ProtoStatus { return wire::ok_unit; }))
      return nullptr;

    // The calls: each description fetched with the session locked and the
    // interpreter lock released, the values converted with the interpreter
    // lock alone.
    std::vector<QueuedCall> calls;
    auto describe = [&](const std::string& name) -> std::optional<proto::FunctionDescriptionPtr> {
      return session_step(ms, s, *op, name, [&](RfcConnection& session) {
        return proto::function_description(session, name);
      });
    };
    if (!parse_queued_calls(ms, calls_obj, describe, calls)) return nullptr;
    auto tid = proto::check_tid(tid_text);
    if (!tid) return raise_protocol_error(ms, tid.error());
    if (!check_unit_queue(ms, queue)) return nullptr;
    const std::string host = local_host_name_or_unknown();

    auto shipped = session_step(ms, s, *op, kShipFunction, [&](RfcConnection& session) {
      // Dropped unfinished on a failure, the guard releases the TID.
      proto::TidGuard guard(std::move(tid).value(), std::move(queue), session);
      return submit_unit_calls(guard, calls, host);
    });
    if (!shipped) return nullptr;
    return PyLong_FromUnsignedLong(*shipped);
  });
}

PyObject* method_confirm_unit(PyObject* self, PyTypeObject* cls, PyObject* const* args,
                              Py_ssize_t nargs, PyObject* kwnames) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    ModuleState& ms = module_state(cls);
    static constexpr const char* kNames[] = {"tid"};
    PyObject* tid_obj = nullptr;
    if (!parse_arguments("confirm_unit", kNames, 1, args, nargs, kwnames, {&tid_obj, 1}))
      return nullptr;
    std::string tid_text;
    if (!check_str(tid_obj, "confirm_unit() argument 'tid'", tid_text)) return nullptr;
    // A malformed TID is refused even on a closed connection.
    auto tid = proto::check_tid(tid_text);
    if (!tid) return raise_protocol_error(ms, tid.error());
    State& s = state_of(self);
    auto op = Operation::start(ms, s, Operation::Kind::Call);
    if (!op) return nullptr;
    auto cleared = session_step(ms, s, *op, proto::kClearTidFunction, [&](RfcConnection& session) {
      return proto::clear_tid(session, tid.value());
    });
    if (!cleared) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* get_alive(PyObject* self, void*) { return PyBool_FromLong(raw_state(self).alive.load()); }

PyObject* get_handle(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(raw_state(self).handle);
}

// The methods that need the module state get the class that defines them.
constexpr int kMethod = METH_METHOD | METH_FASTCALL | METH_KEYWORDS;

PyMethodDef connection_methods[] = {
    {"close", method_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Close the connection. Idempotent, and never raises on a already-dead\n"
     "socket: a close that fails because the peer is gone has still achieved\n"
     "what the caller asked for."},
    {"cancel", as_cfunction(method_cancel), kMethod,
     "cancel($self)\n--\n\n"
     "Cancel the call in flight, from another thread.\n\n"
     "The thread inside `call()` then raises `RFC_CANCELED`, and the ABAP\n"
     "really stops -- which is the difference between this and letting a\n"
     "timeout expire, where the function runs to completion on the server\n"
     "whatever the client does.\n\n"
     "The conversation does not survive a cancel, so a fresh one is opened\n"
     "when the connection is next used, and the handle stays usable. Session\n"
     "state does not carry over.\n\n"
     "Cancelling when nothing is running is not an error: the call may have\n"
     "finished a moment before, and a caller racing that has still got what\n"
     "it asked for."},
    {"set_throughput", as_cfunction(method_set_throughput), kMethod,
     "set_throughput($self, throughput=None)\n--\n\n"
     "Attaches or detaches throughput counters.\n\n"
     "Kept on this object as well as on the inner connection, because\n"
     "`reopen` builds a brand-new one and an attachment that did\n"
     "not survive that would stop counting silently -- worse than never\n"
     "having been made."},
    {"reopen", as_cfunction(method_reopen), kMethod,
     "reopen($self)\n--\n\nClose and open again, discarding all session state."},
    {"connection_attributes", as_cfunction(method_connection_attributes), kMethod,
     "connection_attributes($self)\n--\n\nSystem and session identity."},
    {"function_description", as_cfunction(method_function_description), kMethod,
     "function_description($self, name)\n--\n\nThe remote function's interface."},
    {"initialize_unit", as_cfunction(method_initialize_unit), kMethod,
     "initialize_unit($self)\n--\n\nStart a unit of work and return its TID."},
    {"fill_and_submit_unit", as_cfunction(method_fill_and_submit_unit), kMethod,
     "fill_and_submit_unit($self, tid, calls, queue=None)\n--\n\n"
     "Queue calls under a unit. Returns how many were queued."},
    {"confirm_unit", as_cfunction(method_confirm_unit), kMethod,
     "confirm_unit($self, tid)\n--\n\nConfirm a unit, releasing its work for execution."},
    {"call", as_cfunction(method_call), kMethod,
     "call($self, name, params, options)\n--\n\n"
     "Invoke a function module and return its output parameters."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef connection_getset[] = {
    {"alive", get_alive, nullptr, nullptr, nullptr},
    {"handle", get_handle, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot connection_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Connection(params, config)\n--\n\nA live RFC connection.\n\nThe connection "
                    "owns a socket and a stateful ABAP session, so it belongs to\nthe thread that "
                    "opened it.")},
    {Py_tp_new, reinterpret_cast<void*>(connection_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(connection_dealloc)},
    {Py_tp_methods, connection_methods},
    {Py_tp_getset, connection_getset},
    {0, nullptr},
};

PyType_Spec spec = {
    "lomra._quib_lomra.Connection",
    sizeof(ConnectionObject),
    0,
    Py_TPFLAGS_DEFAULT,
    connection_slots,
};

}  // namespace

PyType_Spec* connection_spec() { return &spec; }

}  // namespace quib::ext

// Connection: the Python class over one ABAP session (ext/session.hpp: the
// session, its locks, the operations that use it, cancel and close), the
// conversion of a call's arguments and result, and the call's own error
// handling (the retry after a gateway failure, the call time-out).
//
// Python values are converted before `inner` is taken for the exchange, and
// the result is built after it is released: Python code that a conversion
// runs can never wait on the session.
#include <fmt/format.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "ext/args.hpp"
#include "ext/convert.hpp"
#include "ext/errors.hpp"
#include "ext/options.hpp"
#include "ext/params.hpp"
#include "ext/types.hpp"
#include "ext/session.hpp"
#include "ext/units.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/session/open.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/invoke/lookups.hpp"
#include "proto/session/logon.hpp"
#include "proto/session/metadata_cache.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/invoke/tid.hpp"
#include "proto/transport/transport.hpp"
#include "proto/base/unicode_case.hpp"

namespace quib::ext {
namespace {

using proto::ProtocolError;
using proto::RfcConnection;
using wire::AbapType;

// Handle numbers, in the order of successful constructions.
std::atomic<std::uint64_t> g_next_handle{1};

struct ConnectionObject {
  PyObject_HEAD
  State* state;
};

State& state_of(PyObject* self) { return *reinterpret_cast<ConnectionObject*>(self)->state; }

// ---------------------------------------------------------------- call

// The converted arguments of one call, in the order of the params dict.
struct Arguments {
  std::vector<proto::ValueImport> values;
  std::vector<wire::TableArg> tables;
};

bool is_table_parameter(const proto::ParameterDescription& p) {
  return p.direction.kind == proto::ParamDirection::Table || p.type.kind == AbapType::Table;
}

bool is_structure(const proto::ParameterDescription& p) {
  return p.type.kind == AbapType::Structure || p.type.kind == AbapType::DeepStructure;
}

bool needs_layout(const proto::ParameterDescription& p) {
  return (is_table_parameter(p) || is_structure(p)) && !p.type_name.empty();
}

// The row layouts of one call, by the type name as the description writes
// it. They serve both the conversion of the arguments and that of the result.
using LayoutMap = std::map<std::string, proto::StructureLayoutPtr, std::less<>>;

const proto::StructureLayout* layout_for(const LayoutMap& layouts,
                                         const proto::ParameterDescription& p) {
  if (p.type_name.empty()) return nullptr;
  auto it = layouts.find(p.type_name);
  return it == layouts.end() ? nullptr : it->second.get();
}

// The description of the function and the layouts of every parameter that
// needs one, each type name described once. Blocking: runs with the
// interpreter lock released and `inner` held.
struct Described {
  proto::FunctionDescriptionPtr description;
  LayoutMap layouts;
};

proto::ProtoResult<Described> describe_call(RfcConnection& session, std::string_view name) {
  Described out;
  QUIB_TRY(out.description, proto::function_description(session, name));
  for (const auto& p : out.description->parameters) {
    if (!needs_layout(p) || out.layouts.count(p.type_name)) continue;
    QUIB_TRY(proto::StructureLayoutPtr layout, proto::describe_structure(session, p.type_name));
    out.layouts.emplace(p.type_name, std::move(layout));
  }
  return out;
}

// A table parameter's list of dicts as its table argument: one row image per
// item, the rows as wide as the description says.
bool convert_table(const proto::ParameterDescription& p, const proto::StructureLayout& layout,
                   PyObject* value, Arguments& out) {
  if (!PyList_Check(value)) {
    raise_external(fmt::format("table parameter {} takes a list of dicts", debug_quote(p.name)));
    return false;
  }
  // Every row is filled to this width when the request is written.
  if (p.length > proto::kMaxTableArgRow) {
    raise_external(fmt::format("table parameter {} claims {}-byte rows, past the {}-byte limit",
                               debug_quote(p.name), p.length, proto::kMaxTableArgRow));
    return false;
  }
  // A snapshot: converting an item may run Python code that changes the list.
  PyRef items(PyList_GetSlice(value, 0, PyList_Size(value)));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  wire::TableArg::ByteRows rows;
  rows.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    auto image = dict_to_structure(layout, PyList_GetItem(items.get(), i), p.name);
    if (!image) return false;
    rows.push_back(std::move(*image));
  }
  out.tables.push_back(wire::TableArg::byte_rows(p.name, std::move(rows), p.length));
  return true;
}

bool convert_arguments(const std::string& name, const proto::FunctionDescription& d,
                       const LayoutMap& layouts, PyObject* params, Arguments& out) {
  // A snapshot: converting a value may run Python code that changes the dict.
  PyRef items(PyDict_Items(params));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  out.values.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    PyObject* key = PyTuple_GetItem(item, 0);
    PyObject* value = PyTuple_GetItem(item, 1);
    if (!key || !value) return false;
    if (!PyUnicode_Check(key)) {
      const std::string got = type_name_of(key);
      PyErr_Format(PyExc_TypeError, "call() argument 'params' must have str keys, got a key of type %s",
                   got.c_str());
      return false;
    }
    std::string k;
    if (!str_to_utf8(key, k)) return false;
    const proto::ParameterDescription* p = d.find_parameter(k);
    if (!p) {
      raise_invalid_parameter(
          fmt::format("{} has no parameter named {}", name, debug_quote(k)));
      return false;
    }
    const proto::StructureLayout* layout = layout_for(layouts, *p);
    if (is_table_parameter(*p)) {
      if (!layout) {
        raise_external(fmt::format("table parameter {} has no row type", debug_quote(p->name)));
        return false;
      }
      if (!convert_table(*p, *layout, value, out)) return false;
      continue;
    }
    if (layout && is_structure(*p)) {
      auto image = dict_to_structure(*layout, value, p->name);
      if (!image) return false;
      out.values.emplace_back(p->name, wire::RfcValue::bytes(std::move(*image)));
      continue;
    }
    auto v = py_to_value(p->name, p->type, value);
    if (!v) return false;
    out.values.emplace_back(p->name, std::move(*v));
  }
  return true;
}

// The exchange, with the interpreter lock released and `inner` held.
// The function name travels as the caller spelled it; the description is
// cached under its upper-case name.
proto::ProtoResult<proto::CallReply> execute_call(RfcConnection& session, std::string_view name,
                                                  const proto::FunctionDescriptionPtr& d,
                                                  const Arguments& args) {
  if (proto::use_basxml(session, *d)) return proto::invoke_basxml(session, d, args.values, args.tables);
  QUIB_TRY(auto encoded, proto::encode_imports(session, *d, args.values));
  const std::vector<std::string> outputs = d->requested_outputs();
  if (args.tables.empty()) return proto::invoke_classic(session, name, encoded, outputs, d);
  // With tables the encoding is not timed.
  QUIB_TRY(wire::Bytes request, proto::encode_classic_request(name, encoded, outputs, args.tables));
  return proto::run_call(session, std::move(request), d, args.tables);
}

// The bytes a structure value carries: those of a byte value, or of a text.
wire::ByteView structure_bytes(const wire::RfcValue& value) {
  if (value.is_bytes()) return value.as_bytes();
  if (value.is_text())
    return wire::ByteView(reinterpret_cast<const std::uint8_t*>(value.as_text().data()),
                          value.as_text().size());
  return {};
}

PyObject* build_result(const proto::FunctionDescription& d, const LayoutMap& layouts,
                       const proto::CallReply& reply, const CallOptions& opts) {
  PyRef result(PyDict_New());
  if (!result) return nullptr;
  const ReadFlags flags{opts.rstrip, opts.dtime};
  for (const auto& [vname, value] : reply.values) {
    const proto::ParameterDescription* p = d.find_parameter(vname);
    if (!p) continue;
    if (p->direction.kind == proto::ParamDirection::Import && !opts.return_import_params) continue;
    const proto::StructureLayout* layout = is_structure(*p) ? layout_for(layouts, *p) : nullptr;
    PyObject* converted = layout ? structure_to_py(*layout, structure_bytes(value), flags)
                                 : value_to_py(vname, p->type, value, flags);
    if (!set_item(result.get(), vname, converted)) return nullptr;
  }
  // Tables the description does not list, and tables without a row layout,
  // are left out.
  for (const proto::ReplyTable& table : reply.tables) {
    const proto::ParameterDescription* p = d.find_parameter(table.name);
    const proto::StructureLayout* layout = p ? layout_for(layouts, *p) : nullptr;
    if (!layout) continue;
    auto rows = proto::reply_table_rows(table);
    if (!rows) return raise_protocol_error(rows.error());
    if (!set_item(result.get(), table.name, table_to_py(*layout, *rows.value(), flags)))
      return nullptr;
  }
  return result.release();
}

PyObject* connection_call(PyObject* self, Operation& op, const std::string& name, PyObject* params,
                          PyObject* options, bool first_attempt);

PyObject* handle_call_error(PyObject* self, Operation& op, const std::string& name,
                            PyObject* params, PyObject* options, bool first_attempt,
                            const ProtocolError& error) {
  State& s = state_of(self);
  // cancel(), or the server's answer to one: the conversation is over, and
  // the next operation opens a new one.
  if (op.interrupted() == proto::Interruption::Cancelled || error.is(ProtocolError::Cancelled))
    return raise_canceled(fmt::format("{} was cancelled", name));
  if (op.interrupted() != proto::Interruption::None)
    return raise_operation_error(s, op, name, error);
  if (error.is(ProtocolError::Gateway) && first_attempt) {
    // The gateway dropped the conversation: a new session, then the whole
    // call once more, under the same deadline. When no new session can be
    // had, the gateway's error is the one reported.
    auto fresh = with_live_session(
        s, op, [](RfcConnection&) -> proto::ProtoStatus { return wire::ok_unit; });
    if (!fresh) {
      PyErr_Clear();
      return raise_protocol_error(error);
    }
    if (!*fresh) {
      const ProtocolError& reopen = fresh->error();
      if (op.interrupted() != proto::Interruption::None)
        return handle_call_error(self, op, name, params, options, false, reopen);
      if (op.timed() && reopen.is_timeout())
        return raise_canceled(fmt::format("{} did not answer within the timeout", name));
      return raise_protocol_error(error);
    }
    return connection_call(self, op, name, params, options, false);
  }
  if (op.timed() && error.is_timeout()) {
    cancel_on_server(s);
    return raise_canceled(fmt::format("{} did not answer within the timeout", name));
  }
  return raise_protocol_error(error);
}

PyObject* connection_call(PyObject* self, Operation& op, const std::string& name, PyObject* params,
                          PyObject* options, bool first_attempt) {
  State& s = state_of(self);
  CallOptions opts = s.defaults;
  if (!apply_options(options, opts, true, "call() argument 'options'")) return nullptr;
  // One deadline for the whole call: descriptions, reopens, the exchange
  // and a retry.
  if (first_attempt) op.set_timeout(opts.timeout);

  // The description and the row layouts of its structured parameters, with
  // the session locked and the interpreter lock released around the fetch.
  proto::FunctionDescriptionPtr description;
  LayoutMap layouts;
  {
    auto fetched = with_live_session(
        s, op, [&](RfcConnection& session) { return describe_call(session, name); });
    if (!fetched) return nullptr;
    if (!*fetched)
      return handle_call_error(self, op, name, params, options, first_attempt, fetched->error());
    description = std::move(fetched->value().description);
    layouts = std::move(fetched->value().layouts);
  }

  // The arguments, with the interpreter lock alone.
  Arguments args;
  if (!convert_arguments(name, *description, layouts, params, args)) return nullptr;
  // A cancel that came meanwhile: nothing is sent. (After a close the
  // session is gone, which the next step reports.)
  if (op.interrupted() == proto::Interruption::Cancelled)
    return raise_canceled(fmt::format("{} was cancelled", name));

  // The exchange.
  auto reply = with_live_session(s, op, [&](RfcConnection& session) {
    return execute_call(session, name, description, args);
  });
  if (!reply) return nullptr;
  if (!*reply)
    return handle_call_error(self, op, name, params, options, first_attempt, reply->error());
  // A cancel that came before the reply was decoded wins over the reply.
  if (op.interrupted() == proto::Interruption::Cancelled)
    return raise_canceled(fmt::format("{} was cancelled", name));
  return build_result(*description, layouts, reply->value(), opts);
}

// ---------------------------------------------------------------- introspection

std::string type_label(AbapType t) {
  if (t.kind == AbapType::Unknown)
    return "Unknown(" + char_literal(static_cast<unsigned char>(t.letter)) + ")";
  return std::string(wire::kind_name(t.kind));
}

std::string direction_label(const proto::ParamDirection& d) {
  if (d.kind == proto::ParamDirection::Unknown)
    return proto::full_upper("Unknown(" + char_literal(d.letter) + ")");
  return wire::ascii_upper(d.name());
}

PyObject* describe_to_py(const proto::FunctionDescription& d) {
  PyRef result(PyDict_New());
  PyRef params(PyList_New(0));
  if (!result || !params) return nullptr;
  for (const auto& p : d.parameters) {
    PyRef entry(PyDict_New());
    if (!entry) return nullptr;
    if (!set_item(entry.get(), "name", str_from_utf8(p.name)) ||
        !set_item(entry.get(), "parameter_type", str_from_utf8(type_label(p.type))) ||
        !set_item(entry.get(), "direction", str_from_utf8(direction_label(p.direction))) ||
        !set_item(entry.get(), "nuc_length", PyLong_FromUnsignedLong(p.length)) ||
        !set_item(entry.get(), "type_description", str_from_utf8(p.type_name)))
      return nullptr;
    if (PyList_Append(params.get(), entry.get()) < 0) return nullptr;
  }
  if (!set_item(result.get(), "name", str_from_utf8(d.name)) ||
      !set_item(result.get(), "parameters", params.release()))
    return nullptr;
  return result.release();
}

// ---------------------------------------------------------------- Python entry points

PyObject* connection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"params", "config", nullptr};
    PyObject* params_obj = nullptr;
    PyObject* config_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO:Connection", const_cast<char**>(keywords),
                                     &params_obj, &config_obj))
      return nullptr;
    ParamMap params;
    if (!extract_text_dict(params_obj, "Connection() argument 'params'", params)) return nullptr;
    // Both arguments are checked as a whole before any parameter is looked at.
    if (!check_dict(config_obj, "Connection() argument 'config'") ||
        !check_str_keys(config_obj, "Connection() argument 'config'"))
      return nullptr;

    auto read = [](std::string_view key, std::string_view path) {
      return without_gil([&] { return read_tls_credential(key, path); });
    };
    auto parsed = parse_connection_params(params, process_env, read);
    if (!parsed) return raise_external(std::move(parsed).error());

    CallOptions defaults;
    if (!apply_options(config_obj, defaults, false, "Connection() argument 'config'"))
      return nullptr;

    auto state = std::make_unique<State>(std::move(parsed.value().params),
                                         std::move(parsed.value().route), defaults);
    // The configured time-out bounds the whole open.
    auto op = Operation::start(*state, Operation::Kind::Open);
    if (!op) return nullptr;
    op->set_timeout(defaults.timeout);
    auto opened = without_gil([&] { return open_session(*state, *op); });
    if (!opened) return raise_operation_error(*state, *op, "Connection()", opened.error());

    PyObject* self = alloc_instance(type);
    if (!self) return nullptr;
    Opened o = std::move(opened).value();
    state->inner.emplace(std::move(o.connection));
    state->cancel = std::move(o.handle);
    state->alive.store(true);
    state->handle = g_next_handle.fetch_add(1);
    reinterpret_cast<ConnectionObject*>(self)->state = state.release();
    return self;
  });
}

void connection_dealloc(PyObject* self) {
  // Dropping the session closes its socket without the closing exchange;
  // the cancel handle's own socket closes with it.
  delete reinterpret_cast<ConnectionObject*>(self)->state;
  free_instance(self);
}

PyObject* method_call(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"name", "params", "options", nullptr};
    PyObject* name_obj = nullptr;
    PyObject* params = nullptr;
    PyObject* options = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OOO:call", const_cast<char**>(keywords),
                                     &name_obj, &params, &options))
      return nullptr;
    std::string name;
    if (!check_str(name_obj, "call() argument 'name'", name) ||
        !check_dict(params, "call() argument 'params'") ||
        !check_dict(options, "call() argument 'options'"))
      return nullptr;
    // The dicts stay alive for a retry after a gateway failure.
    PyRef hold_params = PyRef::borrow(params);
    PyRef hold_options = PyRef::borrow(options);
    // From here on a cancel() is never lost: it makes this call raise.
    auto op = Operation::start(state_of(self), Operation::Kind::Call);
    if (!op) return nullptr;
    return connection_call(self, *op, name, params, options, true);
  });
}

PyObject* method_close(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    close_inner(state_of(self));
    Py_RETURN_NONE;
  });
}

PyObject* method_reopen(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    State& s = state_of(self);
    close_inner(s);
    auto op = Operation::start(s, Operation::Kind::Open);
    if (!op) return nullptr;
    op->set_timeout(s.defaults.timeout);
    auto opened = without_gil([&] { return open_session(s, *op); });
    if (!opened) return raise_operation_error(s, *op, "reopen()", opened.error());
    // A close() that came while the new session was being opened wins.
    if (op->interrupted() == proto::Interruption::Closed) {
      return raise_operation_error(s, *op, "reopen()", proto::interrupted_error(op->interrupted()));
    }
    install(s, std::move(opened).value());
    attach_throughput(s);
    Py_RETURN_NONE;
  });
}

PyObject* method_cancel(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr,
                            [&]() -> PyObject* { return cancel_connection(state_of(self)); });
}

PyObject* method_set_throughput(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"throughput", nullptr};
    PyObject* obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "|O:set_throughput",
                                     const_cast<char**>(keywords), &obj))
      return nullptr;
    std::shared_ptr<proto::ThroughputCounters> counters;
    if (obj != Py_None) {
      counters = throughput_counters(obj);
      if (!counters) {
        const std::string got = type_name_of(obj);
        PyErr_Format(PyExc_TypeError,
                     "set_throughput() argument 'throughput' must be Throughput or None, not %s",
                     got.c_str());
        return nullptr;
      }
    }
    State& s = state_of(self);
    {
      std::lock_guard<std::mutex> guard(s.throughput_mutex);
      s.throughput = std::move(counters);
    }
    attach_throughput(s);
    Py_RETURN_NONE;
  });
}

// `f`'s value for the live session, as one step of `op`; nothing, with the
// Python error set, when the connection is closed or `f` failed (its error
// as raise_operation_error maps it, `what` naming the step).
template <class F>
auto session_step(State& s, Operation& op, std::string_view what, F&& f)
    -> std::optional<typename decltype(f(std::declval<RfcConnection&>()))::value_type> {
  auto result = with_live_session(s, op, std::forward<F>(f));
  if (!result) return std::nullopt;
  if (!*result) {
    raise_operation_error(s, op, what, result->error());
    return std::nullopt;
  }
  return std::move(*result).value();
}

PyObject* method_function_description(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"name", nullptr};
    PyObject* name_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:function_description",
                                     const_cast<char**>(keywords), &name_obj))
      return nullptr;
    std::string name;
    if (!check_str(name_obj, "function_description() argument 'name'", name)) return nullptr;
    State& s = state_of(self);
    auto op = Operation::start(s, Operation::Kind::Call);
    if (!op) return nullptr;
    op->set_timeout(s.defaults.timeout);
    auto fetched = session_step(s, *op, name, [&](RfcConnection& session) {
      return proto::function_description(session, name);
    });
    if (!fetched) return nullptr;
    return describe_to_py(**fetched);
  });
}

PyObject* method_connection_attributes(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    State& s = state_of(self);
    // The attributes of the live session: a session whose conversation has
    // ended is replaced first, and one being replaced by another thread is
    // waited for.
    auto op = Operation::start(s, Operation::Kind::Open);
    if (!op) return nullptr;
    op->set_timeout(s.defaults.timeout);
    using Identity = std::pair<proto::ConnectionAttributes, std::string>;
    auto identity = session_step(s, *op, "connection_attributes()",
                                 [](RfcConnection& session) -> proto::ProtoResult<Identity> {
                                   return Identity{session.attributes(), session.conversation_id()};
                                 });
    if (!identity) return nullptr;
    const auto& [a, session_id] = *identity;
    const proto::ConnectionParams& p = s.params;
    PyRef d(PyDict_New());
    if (!d) return nullptr;
    const std::pair<const char*, std::string> entries[] = {
        {"host", a.system_host},
        {"sysId", a.system_id},
        {"sysNumber", a.system_number},
        {"kernelRel", a.kernel_release},
        {"partnerCodepage", a.system_code_page},
        {"systemName", a.system_name},
        {"client", p.client},
        {"user", p.user},
        {"language", proto::logon_language(p.lang)},
        {"progName", p.program_name},
        {"sessionId", session_id},
    };
    for (const auto& [key, value] : entries)
      if (!set_item(d.get(), key, str_from_utf8(value))) return nullptr;
    return d.release();
  });
}

// The unit methods use the session like call() does, without its error
// handling: no retry, no call time-out. A session whose conversation has
// ended is replaced before they start; cancel() and close() interrupt them.
PyObject* method_initialize_unit(PyObject* self, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    State& s = state_of(self);
    auto op = Operation::start(s, Operation::Kind::Call);
    if (!op) return nullptr;
    auto tid = session_step(s, *op, proto::kCreateTidFunction, proto::create_tid);
    if (!tid) return nullptr;
    return unit_result(*tid);
  });
}

PyObject* method_fill_and_submit_unit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"tid", "calls", "queue", nullptr};
    PyObject* tid_obj = nullptr;
    PyObject* calls_obj = nullptr;
    PyObject* queue_obj = Py_None;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|O:fill_and_submit_unit",
                                     const_cast<char**>(keywords), &tid_obj, &calls_obj,
                                     &queue_obj))
      return nullptr;
    std::string tid_text;
    if (!check_str(tid_obj, "fill_and_submit_unit() argument 'tid'", tid_text)) return nullptr;
    if (!PyList_Check(calls_obj)) {
      const std::string got = type_name_of(calls_obj);
      PyErr_Format(PyExc_TypeError, "fill_and_submit_unit() argument 'calls' must be list, not %s",
                   got.c_str());
      return nullptr;
    }
    std::optional<std::string> queue;
    if (queue_obj != Py_None) {
      if (!PyUnicode_Check(queue_obj)) {
        const std::string got = type_name_of(queue_obj);
        PyErr_Format(PyExc_TypeError,
                     "fill_and_submit_unit() argument 'queue' must be str or None, not %s",
                     got.c_str());
        return nullptr;
      }
      queue.emplace();
      if (!str_to_utf8(queue_obj, *queue)) return nullptr;
    }
    State& s = state_of(self);
    auto op = Operation::start(s, Operation::Kind::Call);
    if (!op) return nullptr;
    // A closed connection is reported before the calls are looked at.
    if (!session_step(s, *op, kShipFunction,
                      [](RfcConnection&) -> proto::ProtoStatus { return wire::ok_unit; }))
      return nullptr;

    // The calls: each description fetched with the session locked and the
    // interpreter lock released, the values converted with the interpreter
    // lock alone.
    std::vector<QueuedCall> calls;
    auto describe = [&](const std::string& name) -> std::optional<proto::FunctionDescriptionPtr> {
      return session_step(s, *op, name, [&](RfcConnection& session) {
        return proto::function_description(session, name);
      });
    };
    if (!parse_queued_calls(calls_obj, describe, calls)) return nullptr;
    auto tid = proto::check_tid(tid_text);
    if (!tid) return raise_protocol_error(tid.error());
    if (!check_unit_queue(queue)) return nullptr;
    const std::string host = local_host_name_or_unknown();

    auto shipped = session_step(s, *op, kShipFunction, [&](RfcConnection& session) {
      // Dropped unfinished on a failure, the guard releases the TID.
      proto::TidGuard guard(std::move(tid).value(), std::move(queue), session);
      return submit_unit_calls(guard, calls, host);
    });
    if (!shipped) return nullptr;
    return PyLong_FromUnsignedLong(*shipped);
  });
}

PyObject* method_confirm_unit(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    static const char* keywords[] = {"tid", nullptr};
    PyObject* tid_obj = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:confirm_unit", const_cast<char**>(keywords),
                                     &tid_obj))
      return nullptr;
    std::string tid_text;
    if (!check_str(tid_obj, "confirm_unit() argument 'tid'", tid_text)) return nullptr;
    // A malformed TID is refused even on a closed connection.
    auto tid = proto::check_tid(tid_text);
    if (!tid) return raise_protocol_error(tid.error());
    State& s = state_of(self);
    auto op = Operation::start(s, Operation::Kind::Call);
    if (!op) return nullptr;
    auto cleared = session_step(s, *op, proto::kClearTidFunction, [&](RfcConnection& session) {
      return proto::clear_tid(session, tid.value());
    });
    if (!cleared) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* get_alive(PyObject* self, void*) { return PyBool_FromLong(state_of(self).alive.load()); }

PyObject* get_handle(PyObject* self, void*) {
  return PyLong_FromUnsignedLongLong(state_of(self).handle);
}

PyMethodDef connection_methods[] = {
    {"close", method_close, METH_NOARGS,
     "close($self)\n--\n\n"
     "Close the connection. Idempotent, and never raises on a already-dead\n"
     "socket: a close that fails because the peer is gone has still achieved\n"
     "what the caller asked for."},
    {"cancel", method_cancel, METH_NOARGS,
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
    {"set_throughput", as_cfunction(method_set_throughput), METH_VARARGS | METH_KEYWORDS,
     "set_throughput($self, throughput=None)\n--\n\n"
     "Attaches or detaches throughput counters.\n\n"
     "Kept on this object as well as on the inner connection, because\n"
     "`reopen` builds a brand-new one and an attachment that did\n"
     "not survive that would stop counting silently -- worse than never\n"
     "having been made."},
    {"reopen", method_reopen, METH_NOARGS,
     "reopen($self)\n--\n\nClose and open again, discarding all session state."},
    {"connection_attributes", method_connection_attributes, METH_NOARGS,
     "connection_attributes($self)\n--\n\nSystem and session identity."},
    {"function_description", as_cfunction(method_function_description),
     METH_VARARGS | METH_KEYWORDS,
     "function_description($self, name)\n--\n\nThe remote function's interface."},
    {"initialize_unit", method_initialize_unit, METH_NOARGS,
     "initialize_unit($self)\n--\n\nStart a unit of work and return its TID."},
    {"fill_and_submit_unit", as_cfunction(method_fill_and_submit_unit),
     METH_VARARGS | METH_KEYWORDS,
     "fill_and_submit_unit($self, tid, calls, queue=None)\n--\n\n"
     "Queue calls under a unit. Returns how many were queued."},
    {"confirm_unit", as_cfunction(method_confirm_unit), METH_VARARGS | METH_KEYWORDS,
     "confirm_unit($self, tid)\n--\n\nConfirm a unit, releasing its work for execution."},
    {"call", as_cfunction(method_call), METH_VARARGS | METH_KEYWORDS,
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

PyType_Spec connection_spec = {
    "lomra._quib_lomra.Connection",
    sizeof(ConnectionObject),
    0,
    Py_TPFLAGS_DEFAULT,
    connection_slots,
};

}  // namespace

PyObject* create_connection_type() { return PyType_FromSpec(&connection_spec); }

}  // namespace quib::ext

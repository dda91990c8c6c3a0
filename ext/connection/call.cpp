#include "ext/connection/call.hpp"

#include <fmt/format.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "ext/args.hpp"
#include "ext/convert.hpp"
#include "ext/errors.hpp"
#include "ext/options.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/invoke/lookups.hpp"
#include "proto/metadata/describe.hpp"

namespace quib::ext {
namespace {

using proto::Interruption;
using proto::ProtocolError;
using proto::RfcConnection;
using wire::AbapType;

// The converted arguments of one call, in the order of the params dict.
struct Arguments {
  std::vector<proto::ValueImport> values;
  std::vector<wire::TableArg> tables;
};

bool is_structure(const proto::ParameterDescription& p) {
  return p.type.kind == AbapType::Structure || p.type.kind == AbapType::DeepStructure;
}

bool needs_layout(const proto::ParameterDescription& p) {
  return (p.is_table_parameter() || is_structure(p)) && !p.type_name.empty();
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
bool convert_table(ModuleState& ms, const proto::ParameterDescription& p,
                   const proto::StructureLayout& layout, PyObject* value, Arguments& out) {
  if (!PyList_Check(value)) {
    raise_external(ms,
                   fmt::format("table parameter {} takes a list of dicts", debug_quote(p.name)));
    return false;
  }
  // Every row is filled to this width when the request is written.
  if (p.length > proto::kMaxTableArgRow) {
    raise_external(ms, fmt::format("table parameter {} claims {}-byte rows, past the {}-byte limit",
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
    auto image = dict_to_structure(ms, layout, PyList_GetItem(items.get(), i),
                                   ValuePlace(p.name, static_cast<std::size_t>(i)));
    if (!image) return false;
    rows.push_back(std::move(*image));
  }
  out.tables.push_back(wire::TableArg::byte_rows(p.name, std::move(rows), p.length));
  return true;
}

bool convert_arguments(ModuleState& ms, const std::string& name,
                       const proto::FunctionDescription& d, const LayoutMap& layouts,
                       PyObject* params, Arguments& out) {
  out.values.reserve(static_cast<std::size_t>(PyDict_Size(params)));
  return for_each_item(params, "call() argument 'params'", [&](std::string key, PyObject* value) {
    const proto::ParameterDescription* p = named_parameter(ms, name, d, key);
    if (!p) return false;
    const proto::StructureLayout* layout = layout_for(layouts, *p);
    if (p->is_table_parameter()) {
      if (!layout) {
        raise_external(ms, fmt::format("table parameter {} has no row type", debug_quote(p->name)));
        return false;
      }
      return convert_table(ms, *p, *layout, value, out);
    }
    if (layout && is_structure(*p)) {
      auto image = dict_to_structure(ms, *layout, value, p->name);
      if (!image) return false;
      out.values.emplace_back(p->name, wire::RfcValue::bytes(std::move(*image)));
      return true;
    }
    auto v = py_to_value(ms, p->name, p->type, value);
    if (!v) return false;
    out.values.emplace_back(p->name, std::move(*v));
    return true;
  });
}

// The bytes a structure value carries: those of a byte value, or of a text.
wire::ByteView structure_bytes(const wire::RfcValue& value) {
  if (value.is_bytes()) return value.as_bytes();
  if (value.is_text())
    return wire::ByteView(reinterpret_cast<const std::uint8_t*>(value.as_text().data()),
                          value.as_text().size());
  return {};
}

// Asked while the result is built, which is work of the call like the
// reading of its reply: the deadline, cancel(), close() and pending signals
// end it as they end a wait.
class BuildChecks {
 public:
  explicit BuildChecks(const Operation& op) : op_(op) {}
  bool keep_going() {
    if (!stopped_ && !op_.waits()->keep_working()) stopped_ = true;
    return !stopped_;
  }
  // Asked once per kEvery values.
  bool keep_going_at(std::size_t i) { return i % kEvery != kEvery - 1 || keep_going(); }
  bool stopped() const { return stopped_; }

 private:
  static constexpr std::size_t kEvery = 64;
  const Operation& op_;
  bool stopped_ = false;
};

// The result dict; null with the Python error set, or without one when
// `checks` stopped it.
PyObject* build_result(ModuleState& ms, const proto::FunctionDescription& d,
                       const LayoutMap& layouts, const proto::CallReply& reply,
                       const CallOptions& opts, BuildChecks& checks) {
  PyRef result(PyDict_New());
  if (!result) return nullptr;
  const ReadFlags flags{opts.rstrip, opts.dtime};
  const KeepConverting keep_going = [&checks] { return checks.keep_going(); };
  std::size_t seen = 0;
  for (const auto& [vname, value] : reply.values) {
    if (!checks.keep_going_at(seen++)) return nullptr;
    const proto::ParameterDescription* p = d.find_parameter(vname);
    if (!p) continue;
    if (p->direction.kind == proto::ParamDirection::Import && !opts.return_import_params) continue;
    const proto::StructureLayout* layout = is_structure(*p) ? layout_for(layouts, *p) : nullptr;
    PyObject* converted = layout ? structure_to_py(ms, *layout, structure_bytes(value), flags)
                                 : value_to_py(ms, vname, p->type, value, flags);
    if (!set_item(result.get(), vname, converted)) return nullptr;
  }
  // Tables the description does not list, and tables without a row layout,
  // are left out (compressed ones are then never expanded).
  std::uint64_t budget_left = reply.budget_left;
  for (const proto::ReplyTable& table : reply.tables) {
    const proto::ParameterDescription* p = d.find_parameter(table.name);
    const proto::StructureLayout* layout = p ? layout_for(layouts, *p) : nullptr;
    if (!layout) continue;
    if (!table.left_compressed.empty()) {
      if (!checks.keep_going()) return nullptr;
      if (!set_item(
              result.get(), table.name,
              left_compressed_table_to_py(ms, *layout, table, budget_left, flags, keep_going)))
        return nullptr;
      continue;
    }
    auto rows = proto::reply_table_rows(table);
    if (!rows) return raise_protocol_error(ms, rows.error());
    if (!checks.keep_going()) return nullptr;
    if (!set_item(result.get(), table.name,
                  table_to_py(ms, *layout, *rows.value(), flags, keep_going)))
      return nullptr;
  }
  return result.release();
}

// The messages of a call that cancel() or its time-out ended.
std::string cancelled_message(std::string_view name) {
  return fmt::format("{} was cancelled", name);
}
std::string timed_out_message(std::string_view name) {
  return fmt::format("{} did not answer within the timeout", name);
}

// How one run of the whole call ended: the result (null with the Python
// error set) when the call is over, or the protocol error of the step that
// failed, for call_function to act on.
using Attempt = std::variant<PyObject*, ProtocolError>;

Attempt attempt_call(ModuleState& ms, State& s, Operation& op, const std::string& name,
                     PyObject* params, const CallOptions& opts) {
  // The description and the row layouts of its structured parameters, with
  // the session locked and the interpreter lock released around the fetch.
  auto fetched = with_live_session(
      ms, s, op, name, [&](RfcConnection& session) { return describe_call(session, name); });
  if (!fetched) return nullptr;
  if (!*fetched) return std::move(*fetched).error();
  const Described described = std::move(*fetched).value();
  const proto::FunctionDescriptionPtr& description = described.description;

  // The arguments, with the interpreter lock alone.
  Arguments args;
  if (!convert_arguments(ms, name, *description, described.layouts, params, args)) return nullptr;
  // A cancel that came meanwhile: nothing is sent. (After a close the
  // session is gone, which the next step reports.)
  if (op.interrupted() == Interruption::Cancelled)
    return raise_canceled(ms, cancelled_message(name));

  // The exchange. The function name travels as the caller spelled it; the
  // description is cached under its upper-case name.
  proto::SharedFlag conversation;
  auto reply = with_live_session(ms, s, op, name, [&](RfcConnection& session) {
    conversation = session.alive_flag();
    // Compressed rows are expanded as they are converted, below.
    return proto::invoke_described(session, name, description, args.values, args.tables,
                                   proto::TableContent::LeftCompressed);
  });
  if (!reply) return nullptr;
  if (!*reply) return std::move(*reply).error();
  // A cancel that came before the reply was decoded wins over the reply.
  if (op.interrupted() == Interruption::Cancelled)
    return raise_canceled(ms, cancelled_message(name));
  BuildChecks checks(op);
  PyObject* result =
      build_result(ms, *description, described.layouts, reply->value(), opts, checks);
  if (!result && checks.stopped()) {
    // Ended as the reading of the reply would have been: the conversation
    // is given up, and the error is that of a broken-off wait.
    conversation->store(false);
    return ProtocolError(op.waits()->stop_error());
  }
  return result;
}

// The Python error of a failed call that is not run again: cancel() (or
// the server's answer to one: the conversation is over, and the next
// operation opens a new one), another interruption, the call time-out
// (the server has been told to stop), else the protocol error as it maps.
std::nullptr_t raise_call_error(ModuleState& ms, Operation& op, const std::string& name,
                                const ProtocolError& error) {
  if (op.interrupted() == Interruption::Cancelled || error.is(ProtocolError::Cancelled))
    return raise_canceled(ms, cancelled_message(name));
  if (op.interrupted() != Interruption::None) return raise_operation_error(ms, op, name, error);
  if (op.timed() && error.is_timeout()) return raise_canceled(ms, timed_out_message(name));
  return raise_protocol_error(ms, error);
}

}  // namespace

PyObject* call_function(ModuleState& ms, State& s, Operation& op, const std::string& name,
                        PyObject* params, PyObject* options) {
  CallOptions opts = s.defaults;
  if (!apply_options(ms, options, opts, true, "call() argument 'options'")) return nullptr;
  // One deadline for the whole call: descriptions, reopens, the exchange
  // and a second run.
  op.set_timeout(opts.timeout);
  for (bool second_run = false;; second_run = true) {
    Attempt attempt = attempt_call(ms, s, op, name, params, opts);
    if (PyObject** done = std::get_if<PyObject*>(&attempt)) return *done;
    const ProtocolError& error = std::get<ProtocolError>(attempt);
    if (second_run || !error.is(ProtocolError::Gateway) || op.interrupted() != Interruption::None)
      return raise_call_error(ms, op, name, error);
    // The gateway dropped the conversation: a new session, then the whole
    // call once more. When no new session can be had, the gateway's error
    // is the one reported.
    NoSession none = NoSession::NotGot;
    auto fresh = with_live_session(
        ms, s, op, name, [](RfcConnection&) -> proto::ProtoStatus { return wire::ok_unit; }, &none);
    if (!fresh) {
      if (none != NoSession::Closed) return nullptr;
      PyErr_Clear();
      return raise_protocol_error(ms, error);
    }
    if (!*fresh) {
      const ProtocolError& reopen = fresh->error();
      if (op.interrupted() != Interruption::None) return raise_call_error(ms, op, name, reopen);
      if (op.timed() && reopen.is_timeout()) return raise_canceled(ms, timed_out_message(name));
      return raise_protocol_error(ms, error);
    }
  }
}

}  // namespace quib::ext

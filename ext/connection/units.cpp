#include "ext/connection/units.hpp"

#include <fmt/format.h>

#include <cstdio>
#include <cstdlib>
#include <utility>

#include "ext/args.hpp"
#include "ext/convert.hpp"
#include "ext/errors.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/session/open.hpp"
#include "wire/utf.hpp"

namespace quib::ext {

namespace {

using proto::ProtocolError;

constexpr std::string_view kNotACall = "a queued call is a (name, params) pair or a dict";
constexpr std::string_view kNotAPair = "a queued call is a (name, params) pair";
constexpr std::string_view kNoName = "a queued call needs a 'name'";
// The parts of a queued call as refusals name them.
constexpr std::string_view kCallName =
    "fill_and_submit_unit() argument 'calls': a queued call's name";
constexpr std::string_view kCallParams =
    "fill_and_submit_unit() argument 'calls': a queued call's params";
// The longest host-name file read; the kernel's name is at most 64 bytes.
constexpr std::size_t kHostFileLimit = 4096;

// The value of a dict under a str key as a new reference; empty without an
// error set when the key is absent.
PyRef dict_get(PyObject* dict, const char* key) {
  PyRef k(PyUnicode_FromString(key));
  if (!k) return PyRef();
  return PyRef::borrow(PyDict_GetItemWithError(dict, k.get()));
}

// The name and the params dict of one element of the calls list, as new
// references. False with the Python error set.
bool call_shape(const ModuleState& ms, PyObject* element, PyRef& name, PyRef& params) {
  if (PyDict_Check(element)) {
    name = dict_get(element, "name");
    if (!name) {
      if (PyErr_Occurred()) return false;
      raise_external(ms, std::string(kNoName));
      return false;
    }
    params = dict_get(element, "params");
    if (!params) {
      if (PyErr_Occurred()) return false;
      params = PyRef(PyDict_New());
      if (!params) return false;
    }
  } else if (PyTuple_Check(element)) {
    if (PyTuple_Size(element) != 2) {
      raise_external(ms, std::string(kNotAPair));
      return false;
    }
    name = PyRef::borrow(PyTuple_GetItem(element, 0));
    params = PyRef::borrow(PyTuple_GetItem(element, 1));
    if (!name || !params) return false;
  } else {
    raise_external(ms, std::string(kNotACall));
    return false;
  }
  if (!PyUnicode_Check(name.get())) return refuse_type(kCallName, "str", name.get());
  if (!PyDict_Check(params.get())) return refuse_type(kCallParams, "dict", params.get());
  return true;
}

// The params dict of one call as its values. Every parameter goes through
// the scalar conversion of its type, whatever the type.
bool convert_params(ModuleState& ms, const std::string& function,
                    const proto::FunctionDescription& description, PyObject* params,
                    std::vector<proto::ValueImport>& out) {
  out.reserve(static_cast<std::size_t>(PyDict_Size(params)));
  return for_each_item(params, kCallParams, [&](std::string key, PyObject* value) {
    const proto::ParameterDescription* p = named_parameter(ms, function, description, key);
    if (!p) return false;
    auto v = py_to_value(ms, p->name, p->type, value);
    if (!v) return false;
    out.emplace_back(p->name, std::move(*v));
    return true;
  });
}

// At most `limit` bytes of a file; nothing when it cannot be opened.
std::optional<std::string> read_small_file(const char* path, std::size_t limit) {
  std::FILE* f = std::fopen(path, "rb");
  if (!f) return std::nullopt;
  std::string out(limit, '\0');
  const std::size_t n = std::fread(out.data(), 1, limit, f);
  const bool failed = std::ferror(f) != 0;
  std::fclose(f);
  if (failed) return std::nullopt;
  out.resize(n);
  return out;
}

ProtocolError container_error(wire::CallContainerError e) {
  return std::visit([](auto&& inner) { return ProtocolError(std::move(inner)); },
                    std::move(e.error));
}

ProtocolError payload_error(const wire::UnitPayloadError& e) {
  return ProtocolError::unexpected_record(proto::kStepArfcDestShip, e.message());
}

// ARFC_DEST_SHIP with its two tables and no imports, by whichever route
// the call takes.
proto::ProtoStatus ship(proto::RfcConnection& connection, std::span<const wire::TableArg> tables) {
  QUIB_TRY(proto::FunctionDescriptionPtr d, proto::function_description(connection, kShipFunction));
  QUIB_CHECK(proto::invoke_described(connection, kShipFunction, d, {}, tables));
  return wire::ok_unit;
}

}  // namespace

// ---------------------------------------------------------------- Python half

bool parse_queued_calls(ModuleState& ms, PyObject* calls, const DescribeQueued& describe,
                        std::vector<QueuedCall>& out) {
  // A snapshot: converting a value may run Python code that changes the list.
  PyRef items(PyList_GetSlice(calls, 0, PyList_Size(calls)));
  if (!items) return false;
  const Py_ssize_t n = PyList_Size(items.get());
  out.reserve(static_cast<std::size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    PyRef name_obj, params;
    if (!call_shape(ms, PyList_GetItem(items.get(), i), name_obj, params)) return false;
    QueuedCall call;
    if (!str_to_utf8(name_obj.get(), call.function)) return false;
    auto description = describe(call.function);
    if (!description) return false;
    if (!convert_params(ms, call.function, **description, params.get(), call.values)) return false;
    out.push_back(std::move(call));
  }
  return true;
}

bool check_unit_queue(const ModuleState& ms, const std::optional<std::string>& queue) {
  if (!queue) return true;
  const std::size_t units = wire::utf16_length(*queue);
  if (units <= wire::kUnitQueueUnits) return true;
  wire::UnitPayloadError e;
  e.kind = wire::UnitPayloadError::Kind::QueueNameTooLong;
  e.queue_name = *queue;
  e.value = units;
  raise_invalid_parameter(ms, e.message());
  return false;
}

PyObject* unit_result(const proto::Tid& tid) {
  PyRef d(PyDict_New());
  if (!d) return nullptr;
  if (!set_item(d.get(), "id", str_from_utf8(tid))) return nullptr;
  Py_INCREF(Py_False);
  if (!set_item(d.get(), "background", Py_False)) return nullptr;
  return d.release();
}

// ---------------------------------------------------------------- session half

std::string local_host_name_or_unknown(const char* host_file) {
  if (const char* env = std::getenv(kUnitHostEnv); env != nullptr) {
    const std::string_view value(env);
    if (wire::is_valid_utf8(value))
      return value.empty() ? std::string(kUnknownHost) : std::string(value);
  }
  const auto content = read_small_file(host_file, kHostFileLimit);
  if (!content) return std::string(kUnknownHost);
  const std::string text = wire::utf8_lossy(wire::as_bytes(*content));
  const std::string_view trimmed = wire::trim_unicode(text);
  return trimmed.empty() ? std::string(kUnknownHost) : std::string(trimmed);
}

proto::ProtoStatus ship_unit(proto::TidGuard& guard, std::string_view host,
                             std::string_view function, std::span<const proto::ValueImport> values,
                             std::span<const wire::TableArg> tables) {
  proto::RfcConnection& connection = guard.connection();
  QUIB_TRY(proto::FunctionDescriptionPtr d, proto::function_description(connection, function));
  QUIB_TRY(std::vector<proto::EncodedImport> encoded,
           proto::encode_imports(connection, *d, values));
  std::vector<wire::CallParameter> parameters;
  parameters.reserve(encoded.size());
  for (auto& e : encoded) parameters.emplace_back(std::move(e.name), std::move(e.bytes));

  auto container = wire::encode_call_container(function, kUnitKernel, parameters, tables);
  if (!container) return wire::err(container_error(std::move(container).error()));
  if (container->size() > kMaxUnitCallContainer)
    return wire::err(ProtocolError::unexpected_record(
        proto::kStepArfcDestShip,
        fmt::format("the serialised call is {} bytes, more than one DATA row holds",
                    container->size())));

  const std::uint64_t next = std::uint64_t{guard.counter()} + 1;
  if (next > wire::kMaxUnitCounter) {
    wire::UnitPayloadError e;
    e.kind = wire::UnitPayloadError::Kind::CounterTooLarge;
    e.value = next;
    return wire::err(payload_error(e));
  }
  const auto sequence = static_cast<std::uint32_t>(next);
  const std::string_view queue =
      guard.queue() ? std::string_view(*guard.queue()) : kDefaultUnitQueue;

  auto state =
      wire::build_unit_state_row(guard.tid(), queue, function, host, kUnitProgramName, sequence);
  if (!state) return wire::err(payload_error(state.error()));
  auto data = wire::serialize_unit_call(guard.tid(), queue, container.value(), sequence);
  if (!data) return wire::err(payload_error(data.error()));

  const std::vector<wire::TableArg> rows{
      wire::TableArg::byte_rows(std::string(kStateTable), {std::move(state).value()},
                                kStateRowWidth),
      wire::TableArg::byte_rows(std::string(kDataTable), {std::move(data).value()}, kDataRowWidth)};
  QUIB_CHECK(ship(connection, rows));
  guard.set_counter(sequence);
  return wire::ok_unit;
}

proto::ProtoResult<std::uint32_t> submit_unit_calls(proto::TidGuard& guard,
                                                    std::span<const QueuedCall> calls,
                                                    std::string_view host) {
  for (const QueuedCall& call : calls)
    QUIB_CHECK(ship_unit(guard, host, call.function, call.values, {}));
  guard.finish();
  return guard.counter();
}

}  // namespace quib::ext

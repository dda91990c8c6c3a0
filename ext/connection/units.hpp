// Transactional units: the work behind Connection.initialize_unit,
// fill_and_submit_unit and confirm_unit.
//
// Queued calls are not run by the client: each one becomes an RFC data
// container, carried with a status row by one call of ARFC_DEST_SHIP, and
// the ABAP side keeps it under the unit's TID.
//
// Two halves. The Python half (parsing the calls list, converting values,
// building the results) runs with the interpreter lock held and never
// touches a session: Connection converts before it takes the session lock.
// The session half (shipping) runs with the interpreter lock released and
// the session lock held, and never touches a Python object.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ext/module_state.hpp"
#include "ext/py.hpp"
#include "proto/base/error.hpp"
#include "proto/call/request.hpp"
#include "proto/invoke/tid.hpp"
#include "proto/metadata/describe.hpp"
#include "wire/table.hpp"

namespace quib::ext {

// The queue name of a unit shipped without one.
inline constexpr std::string_view kDefaultUnitQueue = "EXTERNAL";
// The program name of the status row.
inline constexpr std::string_view kUnitProgramName = "quib_proto";
// The kernel text of a queued call's container.
inline constexpr std::string_view kUnitKernel = "753";
inline constexpr std::string_view kShipFunction = "ARFC_DEST_SHIP";
inline constexpr std::string_view kStateTable = "STATE";
inline constexpr std::string_view kDataTable = "DATA";
inline constexpr std::uint64_t kStateRowWidth = wire::kUnitStateRowSize;  // 972
inline constexpr std::uint64_t kDataRowWidth = 1918;
// The container of one queued call fits one DATA row behind its 128-byte
// text block and 4-byte number.
inline constexpr std::size_t kMaxUnitCallContainer = kDataRowWidth - 128 - 4;  // 1786
inline constexpr const char* kUnitHostEnv = "HOSTNAME";
inline constexpr const char* kUnitHostFile = "/proc/sys/kernel/hostname";
inline constexpr std::string_view kUnknownHost = "unknown";

// One queued call: the function name as the caller wrote it and its values,
// each named as the function's description spells the parameter.
struct QueuedCall {
  std::string function;
  std::vector<proto::ValueImport> values;
};

// ---------------------------------------------------------------- Python half

// The description of a function for the queued calls being parsed, fetched
// by the caller with the session locked; nothing, with the Python error set,
// when the connection is closed or the fetch failed.
using DescribeQueued =
    std::function<std::optional<proto::FunctionDescriptionPtr>(const std::string& name)>;

// The calls list (a snapshot of it: conversions may run Python code) as
// queued calls. Each element is a dict with "name" and optional "params",
// or a (name, params) tuple; every params key must name a parameter of the
// function, whose value goes through the scalar conversion of its type.
// False with the Python error set at the first refusal.
bool parse_queued_calls(ModuleState& ms, PyObject* calls, const DescribeQueued& describe,
                        std::vector<QueuedCall>& out);

// A queue name that fits the payloads' slot (32 UTF-16 units), else
// ExternalRuntimeError RFC_INVALID_PARAMETER. Cutting it would ship the unit
// under another queue. False with the Python error set.
bool check_unit_queue(const ModuleState& ms, const std::optional<std::string>& queue);

// {"id": tid, "background": False}, or null with the Python error set.
PyObject* unit_result(const proto::Tid& tid);

// ---------------------------------------------------------------- session half

// HOSTNAME when it is set, valid UTF-8 and not empty, as it is (not
// trimmed); "unknown" when it is set but empty; otherwise the trimmed
// contents of `host_file`, or "unknown" when that is empty or unreadable.
std::string local_host_name_or_unknown(const char* host_file = kUnitHostFile);

// Ships one call under the guard's TID as the unit's next call: its
// container, the status row (naming `host`) and the data row, through
// ARFC_DEST_SHIP. On success the guard's counter is the call's sequence
// number.
proto::ProtoStatus ship_unit(proto::TidGuard& guard, std::string_view host,
                             std::string_view function, std::span<const proto::ValueImport> values,
                             std::span<const wire::TableArg> tables);

// Ships every call in order, numbered from 1. The first failure is returned
// and the guard left unfinished, so that dropping it releases the TID; the
// calls shipped before it stay shipped. When all went through the guard is
// finished and the number of calls returned (0 for none: nothing is sent).
// `host` is local_host_name_or_unknown(), read by the caller while it holds
// the interpreter lock: the environment is never read while a Python
// thread may be changing it.
proto::ProtoResult<std::uint32_t> submit_unit_calls(proto::TidGuard& guard,
                                                    std::span<const QueuedCall> calls,
                                                    std::string_view host);

}  // namespace quib::ext

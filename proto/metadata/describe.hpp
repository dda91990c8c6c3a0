// Function descriptions from the server: a remote function module's
// interface as the ABAP system reports it through RFC_GET_FUNCTION_INTERFACE,
// decoded from the rows of its PARAMS table and kept in the metadata cache,
// so that each function is described once per process and system. The
// fetch is a classic call without a description of its own: it needs
// nothing but the call exchange.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/description.hpp"
#include "wire/bytes.hpp"
#include "wire/types.hpp"

namespace quib::proto {

class RfcConnection;
struct CallReply;

// The function module that reports interfaces, its import and the outputs
// requested from it.
inline constexpr std::string_view kGetFunctionInterface = "RFC_GET_FUNCTION_INTERFACE";
inline constexpr std::string_view kFuncnameImport = "FUNCNAME";
inline constexpr std::string_view kParamsTable = "PARAMS";
inline constexpr std::string_view kBasxmlSupportedExport = "REMOTE_BASXML_SUPPORTED";
// The FUNCNAME value is the name padded with blanks to this many characters.
inline constexpr std::size_t kFuncnameWidth = 30;

// The PARAMS row: UTF-16LE code units; the parts this decoder reads.
inline constexpr std::size_t kParamsRowMinBytes = 196;

// Code unit `unit` of a UTF-16LE row (the caller has checked that the row
// holds it).
char16_t row_unit(wire::ByteView row, std::size_t unit);
// A unit read as one character of its own: a surrogate becomes U+FFFD.
char32_t unit_char(char16_t unit);

// Class letter (code unit 0 of a PARAMS row) to direction.
ParamDirection direction_from_unit(char16_t unit);
// Type letter (PARAMS row unit 91, or a dictionary row's INTTYPE) to type.
// Letters are case-sensitive. A non-ASCII unit maps to Unknown('?'), since
// the type keeps its letter as one byte.
wire::AbapType abap_type_from_unit(char16_t unit);

// One PARAMS row, or none when it is shorter than 196 bytes.
std::optional<ParameterDescription> decode_params_row(wire::ByteView row);

// A description from a decoded RFC_GET_FUNCTION_INTERFACE reply; `name` is
// stored as given.
ProtoResult<FunctionDescription> describe(std::string_view name, const CallReply& reply);

// The shared description of a function, from the connection's metadata cache
// (keyed by the session's metadata scope and the upper-cased name) or fetched from
// the server and then cached.
ProtoResult<FunctionDescriptionPtr> function_description(RfcConnection& connection,
                                                         std::string_view name);

}  // namespace quib::proto

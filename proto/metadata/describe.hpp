// Function descriptions: a remote function module's interface as the ABAP
// system reports it through RFC_GET_FUNCTION_INTERFACE, decoded from the rows
// of its PARAMS table and kept in the metadata cache, so that each function
// is described once per process and system.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "proto/base/error.hpp"
#include "wire/bytes.hpp"
#include "wire/types.hpp"

namespace quib::proto {

class RfcConnection;
struct CallReply;

// The direction of a parameter; Unknown carries the class character as read.
struct ParamDirection {
  enum Kind : std::uint8_t { Import, Export, Changing, Table, Exception, Unknown };
  Kind kind = Unknown;
  char32_t letter = 0;  // Unknown only

  constexpr ParamDirection() = default;
  constexpr ParamDirection(Kind k) : kind(k) {}  // NOLINT: implicit on purpose
  static constexpr ParamDirection unknown(char32_t c) {
    ParamDirection d(Unknown);
    d.letter = c;
    return d;
  }

  // "Import", ..., "Unknown"; the binding shows them upper-cased.
  std::string_view name() const;

  friend constexpr bool operator==(const ParamDirection& a, const ParamDirection& b) {
    return a.kind == b.kind && (a.kind != Unknown || a.letter == b.letter);
  }
};

struct ParameterDescription {
  std::string name;
  std::string type_name;  // the dictionary type the parameter refers to; may be empty
  std::string field_name;
  ParamDirection direction;
  wire::AbapType type;
  // The length of the parameter's internal form: the field width of the
  // classic import encoder and the row width of a table parameter.
  std::uint32_t length = 0;

  friend bool operator==(const ParameterDescription&, const ParameterDescription&) = default;
};

// Immutable once built; shared by the cache and every call that uses it.
struct FunctionDescription {
  std::string name;  // ASCII upper-cased
  std::vector<ParameterDescription> parameters;
  bool basxml_supported = false;

  // Indexes the parameters by name, once the list is complete: describe()
  // does it, so that every look-up of a cached description takes constant
  // time whatever the number of parameters. A description whose list
  // changed since is searched from the start, as one never indexed is.
  void index_parameters();
  // The first parameter whose name equals `name` ignoring ASCII case.
  const ParameterDescription* find_parameter(std::string_view name) const;
  // The names of every Export, Changing and Table parameter, in order.
  std::vector<std::string> requested_outputs() const;

  friend bool operator==(const FunctionDescription& a, const FunctionDescription& b) {
    return a.name == b.name && a.parameters == b.parameters &&
           a.basxml_supported == b.basxml_supported;
  }

 private:
  // ASCII case-insensitive hashing and equality, so that a look-up needs no
  // upper-cased copy of the name.
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const;
  };
  struct NameEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const;
  };
  // Upper-cased name -> position of its first parameter.
  std::unordered_map<std::string, std::uint32_t, NameHash, NameEq> index_;
  std::size_t indexed_count_ = 0;  // parameters.size() when the index was built
};

using FunctionDescriptionPtr = std::shared_ptr<const FunctionDescription>;

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

// The number of decimals of a data element, 0 when the dictionary does not
// say; cached (an unknown element is cached as 0 too).
ProtoResult<std::uint32_t> element_description(RfcConnection& connection, std::string_view name);

}  // namespace quib::proto

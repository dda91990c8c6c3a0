// The interface of a remote function module as a call needs it: its
// parameters with their directions, types and lengths, and whether it
// accepts basXML. Where a description comes from (the server's
// RFC_GET_FUNCTION_INTERFACE, the metadata cache) is proto/metadata's
// business; the call path only reads descriptions.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "proto/base/error.hpp"
#include "wire/types.hpp"

namespace quib::proto {

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

  // Of direction Table or of type Table: its value is rows of the type the
  // parameter names.
  bool is_table_parameter() const {
    return direction == ParamDirection::Table || type == wire::AbapType::Table;
  }

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
  // The same names without a copy: those listed by index_parameters() while
  // the index is current, else built into `scratch`.
  std::span<const std::string> requested_outputs(std::vector<std::string>& scratch) const;

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
  std::size_t indexed_count_ = 0;     // parameters.size() when the index was built
  std::vector<std::string> outputs_;  // requested_outputs() when the index was built
};

using FunctionDescriptionPtr = std::shared_ptr<const FunctionDescription>;

// Whether a parameter's packed value takes its decimals from the data
// element it refers to: a packed number with a type name.
bool has_element_decimals(const ParameterDescription& parameter);

// The number of decimals of a data element, asked of whoever knows them
// (the dictionary, through the metadata cache).
using DecimalsLookup = std::function<ProtoResult<std::uint32_t>(std::string_view data_element)>;

}  // namespace quib::proto

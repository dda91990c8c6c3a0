// The metadata lookups and table reads of a connection, each made through
// the general call (proto/invoke/invoke.hpp), for callers that have nothing
// but the connection.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/metadata/dictionary.hpp"
#include "proto/metadata/read_table.hpp"
#include "proto/session/connection.hpp"

namespace quib::proto {

inline ProtoResult<StructureLayoutPtr> describe_structure(RfcConnection& connection,
                                                          std::string_view name) {
  return describe_structure(connection, general_call(), name);
}

inline ProtoResult<FieldLayout> describe_element_field(RfcConnection& connection,
                                                       std::string_view name) {
  return describe_element_field(connection, general_call(), name);
}

inline ProtoResult<std::optional<TableTypeLine>> describe_table_type(RfcConnection& connection,
                                                                     std::string_view name) {
  return describe_table_type(connection, general_call(), name);
}

inline ProtoResult<std::uint32_t> element_description(RfcConnection& connection,
                                                      std::string_view name) {
  return element_description(connection, general_call(), name);
}

inline ProtoResult<std::vector<DelimitedRow>> read_table(RfcConnection& connection,
                                                         std::string_view table,
                                                         const ReadTableOptions& options) {
  return read_table(connection, general_call(), table, options);
}

}  // namespace quib::proto

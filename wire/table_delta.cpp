#include "wire/table_delta.hpp"

#include <fmt/format.h>

namespace quib::wire {

std::string TableDeltaError::message() const { return fmt::format("{}-byte block header", size); }

Result<TableDeltaHeader, TableDeltaError> parse_table_delta_header(ByteView block) {
  if (block.size() < kDeltaHeaderSize) return err(TableDeltaError{block.size()});
  return TableDeltaHeader{load_be32(block.data()), load_be32(block.data() + 4),
                          load_be32(block.data() + 8)};
}

std::array<std::uint8_t, kDeltaHeaderSize> table_delta_header(const TableDeltaHeader& header) {
  std::array<std::uint8_t, kDeltaHeaderSize> out{};
  store_be32(out.data(), header.op);
  store_be32(out.data() + 4, header.table);
  store_be32(out.data() + 8, header.row);
  return out;
}

}  // namespace quib::wire

// The table-delta blocks of a reply: the server answers a call that sent
// tables with the changes to them. Every TableDeltaDelete, TableDeltaRowOp
// and TableDeltaReplace record opens with a 12-byte head of three
// big-endian u32: the operation, the input table (its 1-based position in
// the request) and the row (1-based). A row operation is followed by a
// TableDeltaRow record with the row's bytes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

// Operation codes.
inline constexpr std::uint32_t kDeltaAppend = 4;
inline constexpr std::uint32_t kDeltaDelete = 5;
inline constexpr std::uint32_t kDeltaInsert = 6;
inline constexpr std::uint32_t kDeltaUpdate = 7;
inline constexpr std::uint32_t kDeltaReplace = 10;

inline constexpr std::size_t kDeltaHeaderSize = 12;
// A delta row may be up to this many bytes short of its table's width.
inline constexpr std::uint64_t kDeltaRowSlack = 8;

struct TableDeltaHeader {
  std::uint32_t op = 0;
  std::uint32_t table = 0;
  std::uint32_t row = 0;
  friend bool operator==(const TableDeltaHeader&, const TableDeltaHeader&) = default;
};

// A block shorter than its head.
struct TableDeltaError {
  std::uint64_t size = 0;  // the block's bytes
  // "{size}-byte block header"
  std::string message() const;
  friend bool operator==(const TableDeltaError&, const TableDeltaError&) = default;
};

// The head of a block; bytes after the first 12 are not looked at.
Result<TableDeltaHeader, TableDeltaError> parse_table_delta_header(ByteView block);

// The 12 bytes of a head.
std::array<std::uint8_t, kDeltaHeaderSize> table_delta_header(const TableDeltaHeader& header);

}  // namespace quib::wire

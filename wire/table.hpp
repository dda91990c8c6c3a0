// Table arguments and queued-unit payloads.
//
// A table parameter travels in a container as TableName, TableRowCount (the
// table's running number), TableHeader (u32 width, u32 row count, both
// big-endian) and one TableContent record per row, each row cut or filled to
// the table's width. Queued (transactional) units reuse them: the container
// of one queued call, the DATA payload that carries it and the STATE row that
// describes the unit.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/result.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

// One table parameter of a request: byte rows or text rows (the choice holds
// for the whole table), the parameter name and the row width in bytes.
struct TableArg {
  using ByteRows = std::vector<Bytes>;
  using TextRows = std::vector<std::string>;

  std::variant<ByteRows, TextRows> rows;
  std::string name;
  std::uint64_t width = 0;

  static TableArg byte_rows(std::string name, ByteRows rows, std::uint64_t width) {
    return TableArg{std::move(rows), std::move(name), width};
  }
  static TableArg text_rows(std::string name, TextRows rows, std::uint64_t width) {
    return TableArg{std::move(rows), std::move(name), width};
  }

  bool is_text() const { return rows.index() == 1; }
  std::size_t row_count() const {
    return is_text() ? std::get<1>(rows).size() : std::get<0>(rows).size();
  }
};

// ---------------------------------------------------------------- the TableHeader record

// A TableHeader record: the row width (u32 big-endian at bytes 0..3), then
// the row count (u32 big-endian at bytes 4..7).
inline constexpr std::size_t kTableHeaderSize = 8;
inline constexpr std::size_t kTableHeaderWidthSize = 4;

struct TableHeader {
  std::uint32_t width = 0;
  std::uint32_t count = 0;
  friend bool operator==(const TableHeader&, const TableHeader&) = default;
};

// What a TableHeader record held. A record of 4 to 7 bytes gives the width
// alone: `count` is then 0 and `complete` false. Readers that need the row
// count take only complete headers; readers that need the width take both.
struct ParsedTableHeader {
  TableHeader header;
  bool complete = false;  // the record had the row count too (8 bytes or more)
  friend bool operator==(const ParsedTableHeader&, const ParsedTableHeader&) = default;
};

// A TableHeader record too short to hold even the width.
struct TableHeaderError {
  std::uint64_t size = 0;  // the record's bytes
  // "{size}-byte table header"
  std::string message() const;
  friend bool operator==(const TableHeaderError&, const TableHeaderError&) = default;
};

// The header in a TableHeader record's value; bytes after the first 8 are
// not looked at.
Result<ParsedTableHeader, TableHeaderError> parse_table_header(ByteView value);

// The 8 bytes of a TableHeader record's value.
std::array<std::uint8_t, kTableHeaderSize> table_header(const TableHeader& header);

// ---------------------------------------------------------------- table arguments

inline constexpr std::string_view kSizeWhatRowWidth = "row width";
inline constexpr std::string_view kSizeWhatRowCount = "row count";

// The width or the row count of a table exceeds the u32 of the table header.
struct TableSizeError {
  std::string what;  // "row width" or "row count"
  std::uint64_t value = 0;

  // "table row width of 4294967296 does not fit the wire header's u32"
  std::string message() const;
  friend bool operator==(const TableSizeError&, const TableSizeError&) = default;
};

// The image of one row: byte rows cut to the width or filled with zero bytes;
// text rows as UTF-16LE cut after width / 2 code units (never inside a
// surrogate pair: the pair is left out and its units become spaces) and
// filled with spaces to width / 2 units. An odd width gives width - 1 bytes.
Bytes fixed_width_row(const TableArg& table, std::size_t row);
std::vector<Bytes> fixed_width_rows(const TableArg& table);

// Appends the records of each table, numbering the tables from 1. A width or
// row count of 2^32 or more ends the call with TableSizeError; the records of
// earlier tables stay in the writer.
Status<TableSizeError> write_table_records(ContainerWriter& writer,
                                           std::span<const TableArg> tables);

// The error of encode_call_container: a table that does not fit its header,
// or the container writer's deferred error.
struct CallContainerError {
  std::variant<TableSizeError, ContainerError> error;
  std::string message() const;
  friend bool operator==(const CallContainerError&, const CallContainerError&) = default;
};

// A parameter of a queued call: its name and its field bytes, already encoded.
using CallParameter = std::pair<std::string, Bytes>;

// The container of one queued call: the empty record 0x0502, Kernel, Function,
// ParameterName / ParameterValue per parameter, the table records, the end
// record. No RequestedOutput and no message trailer.
inline constexpr RecordId kUnitCallFirstRecord{0x0502};
Result<Bytes, CallContainerError> encode_call_container(std::string_view function_name,
                                                        std::string_view kernel,
                                                        std::span<const CallParameter> parameters,
                                                        std::span<const TableArg> tables);

// Slots of the queued-unit payloads, in UTF-16 code units.
inline constexpr std::size_t kUnitTidUnits = 24;
inline constexpr std::size_t kUnitQueueUnits = 32;
inline constexpr std::size_t kUnitCounterDigits = 8;
inline constexpr std::size_t kUnitDataHeaderSize = 132;
inline constexpr std::size_t kUnitStateRowUnits = 486;
inline constexpr std::size_t kUnitStateRowSize = 2 * kUnitStateRowUnits;  // 972 bytes
// The largest counter that fits its 8 digits.
inline constexpr std::uint32_t kMaxUnitCounter = 99999999;

// A queue name or call counter that does not fit its slot. Cutting either
// would ship the unit under another queue or another call number, so they are
// refused.
struct UnitPayloadError {
  enum class Kind : std::uint8_t { QueueNameTooLong, CounterTooLarge };
  Kind kind = Kind::QueueNameTooLong;
  std::string queue_name;   // QueueNameTooLong
  std::uint64_t value = 0;  // the queue name's code units, or the counter

  std::string message() const;
  friend bool operator==(const UnitPayloadError&, const UnitPayloadError&) = default;
};

// The DATA payload: transaction id (24 units), queue name (32 units), the
// counter as 8 zero-filled digits, the counter as u32 big-endian, then the
// queued-call container. The transaction id is cut to its slot.
Result<Bytes, UnitPayloadError> serialize_unit_call(std::string_view tid,
                                                    std::string_view queue_name, ByteView container,
                                                    std::uint32_t counter);

// The 972-byte STATE row of a unit: spaces except the transaction id, queue
// name, zero-filled counter, function name, fourteen 0 digits, host name,
// program name and twenty U+0000 units at the end. Transaction id, function,
// host and program names are cut to their slots.
Result<Bytes, UnitPayloadError> build_unit_state_row(
    std::string_view tid, std::string_view queue_name, std::string_view function_name,
    std::string_view host_name, std::string_view program_name, std::uint32_t counter);

// The UTF-16 units of `text`, cut to at most `max_units` without splitting a
// surrogate pair.
std::u16string utf16_cut(std::string_view text, std::size_t max_units);

}  // namespace quib::wire

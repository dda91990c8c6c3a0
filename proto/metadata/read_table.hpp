// Reading the rows of a database table of the ABAP system page by page
// through RFC_READ_TABLE. Each row arrives as one text line whose fields the
// server separates with a delimiter character of the caller's choice.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/metadata/caller.hpp"

namespace quib::proto {

class RfcConnection;

inline constexpr std::string_view kReadTableFunction = "RFC_READ_TABLE";

// The imports, table parameters and reply table of RFC_READ_TABLE.
inline constexpr std::string_view kReadTableQueryTable = "QUERY_TABLE";
inline constexpr std::string_view kReadTableDelimiter = "DELIMITER";
inline constexpr std::string_view kReadTableRowCount = "ROWCOUNT";
inline constexpr std::string_view kReadTableRowSkips = "ROWSKIPS";
inline constexpr std::string_view kReadTableGetSorted = "GET_SORTED";
inline constexpr std::string_view kReadTableFields = "FIELDS";
inline constexpr std::string_view kReadTableOptions = "OPTIONS";
inline constexpr std::string_view kReadTableData = "DATA";

// Pages hold at most this many rows; a max rows of 1 to kMaxPageRows - 1
// makes the pages that small.
inline constexpr std::uint64_t kMaxPageRows = 32768;

struct ReadTableOptions {
  std::optional<std::uint64_t> max_rows;  // none: no limit
  std::vector<std::string> fields;        // the columns wanted; empty: all
  std::vector<std::string> where;         // selection lines in ABAP syntax; empty: all rows
  std::uint64_t skip = 0;                 // leading rows to leave out
  char32_t delimiter = U'|';              // any Unicode scalar value
};

// One returned line: its text without trailing white space and the byte
// offset of each delimiter in it, then the text's length. Field k runs from
// 0 (k = 0) or ends[k-1] plus the delimiter's UTF-8 length, to ends[k].
struct DelimitedRow {
  std::string text;
  std::vector<std::uint32_t> ends;

  std::size_t field_count() const { return ends.size(); }
  // Field k of the line (k < field_count()).
  std::string_view field(std::size_t k, char32_t delimiter) const;

  friend bool operator==(const DelimitedRow&, const DelimitedRow&) = default;
};

// The page size of a read.
std::uint64_t read_table_page_size(const std::optional<std::uint64_t>& max_rows);

// Cuts a line at every occurrence of `delimiter`, after removing its trailing
// white space.
DelimitedRow split_delimited_row(std::string text, char32_t delimiter);

// The rows of `table` in the order the server returns them, each cut at the
// delimiter, read page by page through `caller`. Every page asks for a full
// page; rows beyond max rows are read and dropped.
ProtoResult<std::vector<DelimitedRow>> read_table(RfcConnection& connection, Caller& caller,
                                                  std::string_view table,
                                                  const ReadTableOptions& options);

}  // namespace quib::proto

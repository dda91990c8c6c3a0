#include "proto/metadata/read_table.hpp"

#include <algorithm>
#include <limits>

#include "proto/call/reply.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

constexpr std::uint64_t kMaxSkip =
    static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());

std::size_t utf8_length(char32_t c) {
  std::string s;
  wire::append_utf8(s, c);
  return s.size();
}

// The rows of the DATA table of one page: at most its row count of whole rows.
ProtoResult<std::vector<wire::ByteView>> page_rows(const CallReply& reply) {
  const ReplyTable* data = reply.table(kReadTableData);
  if (!data)
    return wire::err(
        ProtocolError::unexpected_record(kStepReadTable, "response without a DATA table"));
  QUIB_TRY(const RfcTable* rows, reply_table_rows(*data));
  const std::size_t n =
      static_cast<std::size_t>(std::min<std::uint64_t>(rows->chunk_count(), rows->row_count()));
  std::vector<wire::ByteView> out;
  out.reserve(n);
  for (std::size_t i = 0; i < n; ++i) out.push_back(rows->chunk(i));
  return out;
}

}  // namespace

std::string_view DelimitedRow::field(std::size_t k, char32_t delimiter) const {
  const std::size_t begin = k == 0 ? 0 : ends[k - 1] + utf8_length(delimiter);
  const std::size_t end = ends[k];
  if (begin >= end) return {};
  return std::string_view(text).substr(begin, end - begin);
}

std::uint64_t read_table_page_size(const std::optional<std::uint64_t>& max_rows) {
  if (max_rows && *max_rows >= 1 && *max_rows < kMaxPageRows) return *max_rows;
  return kMaxPageRows;
}

DelimitedRow split_delimited_row(std::string text, char32_t delimiter) {
  text.resize(wire::trim_end_unicode(text).size());
  DelimitedRow row;
  const auto clamp = [](std::size_t v) {
    return static_cast<std::uint32_t>(std::min<std::size_t>(v, UINT32_MAX));
  };
  if (delimiter < 0x80) {
    const char d = static_cast<char>(delimiter);
    for (std::size_t i = 0; i < text.size(); ++i)
      if (text[i] == d) row.ends.push_back(clamp(i));
  } else {
    std::size_t pos = 0;
    while (pos < text.size()) {
      const std::size_t start = pos;
      if (wire::next_utf8(text, pos) == delimiter) row.ends.push_back(clamp(start));
    }
  }
  row.ends.push_back(clamp(text.size()));
  row.text = std::move(text);
  return row;
}

ProtoResult<std::vector<DelimitedRow>> read_table(RfcConnection& connection, Caller& caller,
                                                  std::string_view table,
                                                  const ReadTableOptions& options) {
  std::vector<DelimitedRow> collected;
  if (options.max_rows && *options.max_rows == 0) return collected;

  const std::uint64_t page = read_table_page_size(options.max_rows);
  std::uint64_t skips = std::min(options.skip, kMaxSkip) / page * page;
  std::uint64_t drop = options.skip - skips;
  const std::uint64_t limit = options.max_rows.value_or(std::numeric_limits<std::uint64_t>::max());

  std::string delimiter;
  wire::append_utf8(delimiter, options.delimiter);
  std::vector<TextTable> tables;
  if (!options.fields.empty())
    tables.push_back(TextTable{std::string(kReadTableFields), options.fields});
  if (!options.where.empty())
    tables.push_back(TextTable{std::string(kReadTableOptions), options.where});

  for (;;) {
    const ValueImport imports[] = {
        {std::string(kReadTableQueryTable), wire::text_value(table)},
        {std::string(kReadTableDelimiter), wire::RfcValue::text(delimiter)},
        {std::string(kReadTableRowCount), wire::RfcValue::integer(static_cast<std::int64_t>(page))},
        {std::string(kReadTableRowSkips),
         wire::RfcValue::integer(static_cast<std::int64_t>(skips))},
        {std::string(kReadTableGetSorted), wire::RfcValue::text("X")},
    };
    auto reply = tables.empty() ? caller.invoke(connection, kReadTableFunction, imports)
                                : caller.invoke_with_tables(connection, imports, tables);
    if (!reply) return wire::err(std::move(reply).error());
    QUIB_TRY(const std::vector<wire::ByteView> rows, page_rows(reply.value()));

    const std::size_t first = static_cast<std::size_t>(std::min<std::uint64_t>(drop, rows.size()));
    drop = 0;
    for (std::size_t i = first; i < rows.size() && collected.size() < limit; ++i)
      collected.push_back(split_delimited_row(wire::decode_utf16le(rows[i]), options.delimiter));

    if (rows.size() < page) break;
    // The next page starts after this one; a skip count past what the
    // ROWSKIPS import can carry ends the reading.
    if (kMaxSkip - skips < rows.size()) break;
    skips += rows.size();
    if (options.max_rows && collected.size() >= *options.max_rows) break;
  }
  return collected;
}

}  // namespace quib::proto

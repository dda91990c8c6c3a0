#include "proto/call/tables.hpp"

#include <fmt/format.h>

#include <limits>
#include <vector>

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;

// ---------------------------------------------------------------- RfcTable

ProtoResult<RfcTable> RfcTable::from_rows(std::uint64_t width, std::span<const Bytes> rows) {
  RfcTable t(width);
  std::uint64_t total = 0;
  if (width != 0 && !__builtin_mul_overflow(width, std::uint64_t{rows.size()}, &total) &&
      total <= std::numeric_limits<std::size_t>::max())
    t.bytes_.reserve(static_cast<std::size_t>(total));
  for (const auto& r : rows) QUIB_CHECK(t.push_row(r));
  return t;
}

ProtoStatus RfcTable::push_row(ByteView row) {
  if (width_ == 0) {
    if (row.empty()) return wire::ok_unit;
    width_ = row.size();
  }
  if (row.size() > width_)
    return wire::err(ProtocolError::unexpected_record(
        kStepTableRows,
        fmt::format("a {}-byte row in a table of {}-byte rows", row.size(), width_)));
  bytes_.insert(bytes_.end(), row.begin(), row.end());
  bytes_.resize(bytes_.size() + static_cast<std::size_t>(width_ - row.size()), 0);
  ++count_;
  return wire::ok_unit;
}

void RfcTable::assign(std::uint64_t width, std::uint64_t count, Bytes bytes) {
  width_ = width;
  count_ = count;
  bytes_ = std::move(bytes);
}

std::size_t RfcTable::chunk_count() const {
  const std::uint64_t w = width_ == 0 ? 1 : width_;
  return static_cast<std::size_t>(bytes_.size() / w);
}

ByteView RfcTable::chunk(std::size_t i) const {
  const std::size_t w = static_cast<std::size_t>(width_ == 0 ? 1 : width_);
  return ByteView(bytes_).subspan(i * w, w);
}

ProtoResult<ReplyTable> unchanged_sent_table(const wire::TableArg& sent) {
  ReplyTable t;
  t.name = sent.name;
  const std::vector<Bytes> rows = wire::fixed_width_rows(sent);
  QUIB_TRY(t.rows, RfcTable::from_rows(sent.width, rows));
  t.declared_width = sent.width;
  t.declared_count = rows.size();
  return t;
}

ProtoResult<const RfcTable*> reply_table_rows(const ReplyTable& table) {
  if (!table.kept_compressed.empty())
    return wire::err(ProtocolError::compressed_table(table.name, table.kept_compressed.size()));
  if (!table.left_compressed.empty())
    return wire::err(ProtocolError::compressed_table(table.name, table.left_compressed.size()));
  if (table.shape_error)
    return wire::err(ProtocolError::table_shape(table.name, table.shape_error->size(),
                                                table.declared_width, table.declared_count));
  return &table.rows;
}

void split_table_content(ReplyTable& table, Bytes bytes) {
  const std::uint64_t w = table.declared_width;
  const std::uint64_t n = table.declared_count;
  if (n == 0) return;
  std::uint64_t total = 0;
  if (w == 0 || __builtin_mul_overflow(w, n, &total) || bytes.size() < total) {
    table.shape_error = std::move(bytes);
    return;
  }
  bytes.resize(static_cast<std::size_t>(total));
  table.rows.assign(w, n, std::move(bytes));
}

}  // namespace quib::proto

#include "proto/call/deltas.hpp"

#include <fmt/format.h>

#include <utility>

#include "wire/table_delta.hpp"

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;
using wire::RecordId;

namespace {

ProtocolError delta_error(std::string detail) {
  return ProtocolError::unexpected_record(kStepTableDelta, std::move(detail));
}

// The head of a delta block, or the error of one too short for it.
ProtoResult<wire::TableDeltaHeader> header(ByteView v) {
  auto h = wire::parse_table_delta_header(v);
  if (!h) return wire::err(delta_error(h.error().message()));
  return h.value();
}

}  // namespace

ProtoResult<std::optional<std::string>> TableDeltas::on_record(RecordId id, ByteView v) {
  switch (id) {
    case RecordId::TableDeltaDelete:
      QUIB_CHECK(on_delete(v));
      break;
    case RecordId::TableDeltaRowOp:
      QUIB_CHECK(on_row_op(v));
      break;
    case RecordId::TableDeltaRow:
      QUIB_CHECK(on_row(v));
      break;
    case RecordId::TableDeltaReplace:
      return on_replace(v);
    default:
      break;
  }
  return std::optional<std::string>();
}

ProtoStatus TableDeltas::add_sent_tables(std::vector<ReplyTable>& tables) {
  if (pending_) return wire::err(delta_error("an operation with no row after it"));
  for (std::size_t i = 0; i < sent_.size(); ++i) {
    const wire::TableArg& s = sent_[i];
    auto it = map_.find(static_cast<std::uint32_t>(i + 1));
    if (it != map_.end()) {
      ReplyTable t;
      t.name = s.name;
      QUIB_TRY(t.rows, RfcTable::from_rows(it->second.width, it->second.rows));
      t.declared_width = it->second.width;
      t.declared_count = it->second.rows.size();
      tables.push_back(std::move(t));
      continue;
    }
    bool present = false;
    for (const auto& t : tables) present = present || t.name == s.name;
    if (present) continue;
    QUIB_TRY(ReplyTable t, unchanged_sent_table(s));
    tables.push_back(std::move(t));
  }
  return wire::ok_unit;
}

ProtocolError TableDeltas::bad_handle(std::uint32_t handle) const {
  return delta_error(
      fmt::format("block for input table {}, but the call sent {}", handle, sent_.size()));
}

ProtoResult<TableDeltas::DeltaTable*> TableDeltas::find(std::uint32_t handle) {
  if (auto it = map_.find(handle); it != map_.end()) return &it->second;
  if (handle == 0 || handle > sent_.size()) return wire::err(bad_handle(handle));
  const wire::TableArg& s = sent_[handle - 1];
  DeltaTable t{s.name, wire::fixed_width_rows(s), s.width};
  return &map_.emplace(handle, std::move(t)).first->second;
}

ProtoStatus TableDeltas::on_delete(ByteView v) {
  QUIB_TRY(const wire::TableDeltaHeader h, header(v));
  if (h.op != wire::kDeltaDelete)
    return wire::err(
        delta_error(fmt::format("operation {} on a record that carries no row", h.op)));
  QUIB_TRY(DeltaTable * t, find(h.table));
  if (h.row == 0 || h.row > t->rows.size())
    return wire::err(ProtocolError::delta_row_count(t->name, h.row, t->rows.size()));
  t->rows.erase(t->rows.begin() + (h.row - 1));
  return wire::ok_unit;
}

ProtoStatus TableDeltas::on_row_op(ByteView v) {
  QUIB_TRY(const wire::TableDeltaHeader h, header(v));
  if (pending_) return wire::err(delta_error("a second operation before the first one's row"));
  if (h.op != wire::kDeltaAppend && h.op != wire::kDeltaInsert && h.op != wire::kDeltaUpdate)
    return wire::err(delta_error(fmt::format("operation {} on a record that carries a row", h.op)));
  QUIB_CHECK(find(h.table));
  pending_ = Pending{h.op, h.table, h.row};
  return wire::ok_unit;
}

ProtoStatus TableDeltas::on_row(ByteView v) {
  if (!pending_) return wire::err(delta_error("a row with no operation in front of it"));
  const Pending p = *pending_;
  QUIB_TRY(DeltaTable * t, find(p.handle));
  const std::uint64_t len = v.size();
  const std::uint64_t w = t->width;
  if (len > w || len + wire::kDeltaRowSlack <= w)
    return wire::err(
        delta_error(fmt::format("a {}-byte row for {}, whose rows are {} bytes", len, t->name, w)));
  Bytes row(v.begin(), v.end());
  row.resize(static_cast<std::size_t>(w), 0);
  const std::uint64_t n = t->rows.size();
  const std::uint64_t i = p.row;
  bool in_range = false;
  switch (p.op) {
    case wire::kDeltaAppend:
      in_range = i == n + 1;
      break;
    case wire::kDeltaInsert:
      in_range = i >= 1 && i <= n + 1;
      break;
    default:  // update
      in_range = i >= 1 && i <= n;
      break;
  }
  if (!in_range) return wire::err(ProtocolError::delta_row_count(t->name, i, n));
  if (p.op == wire::kDeltaUpdate)
    t->rows[i - 1] = std::move(row);
  else
    t->rows.insert(t->rows.begin() + static_cast<std::ptrdiff_t>(i - 1), std::move(row));
  pending_.reset();
  return wire::ok_unit;
}

ProtoResult<std::optional<std::string>> TableDeltas::on_replace(ByteView v) {
  QUIB_TRY(const wire::TableDeltaHeader h, header(v));
  if (h.table == 0 || h.table > sent_.size()) return wire::err(bad_handle(h.table));
  const wire::TableArg& s = sent_[h.table - 1];
  if (h.op != wire::kDeltaReplace)
    return wire::err(delta_error(fmt::format("unknown replace operation {} for {}", h.op, s.name)));
  return std::optional<std::string>(s.name);
}

}  // namespace quib::proto

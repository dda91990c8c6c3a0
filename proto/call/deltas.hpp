// The table-delta records of a reply (TableDeltaDelete, TableDeltaRowOp,
// TableDeltaRow, TableDeltaReplace): the server answers a call that sent
// tables with the changes to them instead of the changed tables. The records
// change working copies of the sent tables (by their 1-based position in the
// request); after the last record every sent table is added to the reply,
// changed, or unchanged unless the reply carries a table of the same name.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/tables.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/table.hpp"

namespace quib::proto {

// The delta handling of one decode. The reply walk closes its current
// table itself before the records that close it; a name returned by
// on_record starts a new current reply table of that name (a
// TableDeltaReplace).
class TableDeltas {
 public:
  // `sent` must outlive the deltas.
  explicit TableDeltas(std::span<const wire::TableArg> sent) : sent_(sent) {}

  ProtoResult<std::optional<std::string>> on_record(wire::RecordId id, wire::ByteView value);
  // Adds every sent table to `tables` (after the last record).
  ProtoStatus add_sent_tables(std::vector<ReplyTable>& tables);

 private:
  // The working copy of one sent table that deltas change.
  struct DeltaTable {
    std::string name;
    std::vector<wire::Bytes> rows;
    std::uint64_t width = 0;
  };
  // A row operation waiting for its row.
  struct Pending {
    std::uint32_t op, handle, row;
  };

  ProtocolError bad_handle(std::uint32_t handle) const;
  ProtoResult<DeltaTable*> find(std::uint32_t handle);
  ProtoStatus on_delete(wire::ByteView v);
  ProtoStatus on_row_op(wire::ByteView v);
  ProtoStatus on_row(wire::ByteView v);
  ProtoResult<std::optional<std::string>> on_replace(wire::ByteView v);

  std::span<const wire::TableArg> sent_;
  std::map<std::uint32_t, DeltaTable> map_;
  std::optional<Pending> pending_;
};

}  // namespace quib::proto

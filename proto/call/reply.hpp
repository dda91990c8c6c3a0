// Classic reply decoding: the records of one reply container become either a
// CallReply (scalar values, tables, deep values) or the AbapException error
// when the server reports an ABAP error.
//
// Values that cannot be decoded do not fail the decode: a field stays
// Undecoded with its raw bytes, a row wider than its table or content that
// does not fit its header becomes the table's shape error, and compressed
// content that cannot be expanded is kept as it came. They surface only when
// a table is read through reply_table_rows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "proto/base/error.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/deep.hpp"
#include "wire/table.hpp"
#include "wire/types.hpp"

namespace quib::proto {

class RfcConnection;
struct FunctionDescription;

// The largest row width a TableHeader may declare.
inline constexpr std::uint64_t kMaxDeclaredRowWidth = 64ull << 20;

// The rows of a table parameter: fixed-width byte rows in one buffer.
class RfcTable {
 public:
  RfcTable() = default;
  explicit RfcTable(std::uint64_t width) : width_(width) {}

  // A table of the given width (0 allowed) built from byte rows; the first
  // row that does not fit fails the whole operation.
  static ProtoResult<RfcTable> from_rows(std::uint64_t width, std::span<const wire::Bytes> rows);

  // Appends one row: a table without width takes the width of its first
  // non-empty row (an empty row is then ignored); a shorter row is filled
  // with zero bytes; a longer one fails with UnexpectedRecord "table rows".
  ProtoStatus push_row(wire::ByteView row);

  // Replaces the rows by `count` rows of `width` bytes taken from `bytes`
  // (which must hold exactly width * count bytes).
  void assign(std::uint64_t width, std::uint64_t count, wire::Bytes bytes);

  // Room for `n` more bytes of rows.
  void reserve_bytes(std::size_t n) { bytes_.reserve(bytes_.size() + n); }

  const wire::Bytes& bytes() const { return bytes_; }
  std::uint64_t row_width() const { return width_; }
  std::uint64_t row_count() const { return count_; }

  // The whole rows of the buffer, each a slice of row-width bytes (a width of
  // 0 counts as 1); a trailing partial row is not handed out.
  std::size_t chunk_count() const;
  wire::ByteView chunk(std::size_t i) const;

  // The same whole rows as a range: for (wire::ByteView row : t.row_chunks()).
  class RowChunks {
   public:
    class iterator {
     public:
      using value_type = wire::ByteView;
      using difference_type = std::ptrdiff_t;
      iterator() = default;
      iterator(const RfcTable* t, std::size_t i) : t_(t), i_(i) {}
      wire::ByteView operator*() const { return t_->chunk(i_); }
      iterator& operator++() {
        ++i_;
        return *this;
      }
      iterator operator++(int) {
        iterator old = *this;
        ++i_;
        return old;
      }
      friend bool operator==(const iterator& a, const iterator& b) { return a.i_ == b.i_; }

     private:
      const RfcTable* t_ = nullptr;
      std::size_t i_ = 0;
    };
    RowChunks(const RfcTable* t, std::size_t n) : t_(t), n_(n) {}
    iterator begin() const { return iterator(t_, 0); }
    iterator end() const { return iterator(t_, n_); }
    std::size_t size() const { return n_; }

   private:
    const RfcTable* t_;
    std::size_t n_;
  };
  RowChunks row_chunks() const { return RowChunks(this, chunk_count()); }

  friend bool operator==(const RfcTable&, const RfcTable&) = default;

 private:
  wire::Bytes bytes_;
  std::uint64_t width_ = 0;
  std::uint64_t count_ = 0;
};

// One table of a reply.
struct ReplyTable {
  std::string name;
  RfcTable rows;
  // Bytes of TableCompressed / TableCompressedChunk records, consumed once
  // the last record has been read.
  wire::Bytes content;
  // The content as it came, when it was compressed and could not be expanded.
  wire::Bytes kept_compressed;
  // Present when the content could not be fitted to the rows.
  std::optional<wire::Bytes> shape_error;
  std::uint64_t declared_width = 0;
  std::uint64_t declared_count = 0;

  friend bool operator==(const ReplyTable&, const ReplyTable&) = default;
};

using TextPair = std::pair<std::string, std::string>;
using NamedValue = std::pair<std::string, wire::RfcValue>;

// The decoded reply of a call.
struct CallReply {
  // For every decoded value: its name and value_text of the value.
  std::vector<TextPair> text_pairs;
  // The decoded values, in reply order.
  std::vector<NamedValue> values;
  // The tables the records started, in the order they were closed, then the
  // tables the call sent (changed by deltas, or unchanged).
  std::vector<ReplyTable> tables;
  // One flattened value and one node per top-level element of each deep section.
  std::vector<wire::FlatDeepValue> deep_values;
  std::vector<wire::DeepNode> deep_nodes;

  // The first value / table of that name (exact byte comparison), or null.
  const wire::RfcValue* value(std::string_view name) const;
  const ReplyTable* table(std::string_view name) const;
};

// The text of a record whose encoding the partner chose, without trailing
// white space.
std::string field_text(wire::ByteView value);

// A value as text: a text without trailing white space, an integer in
// decimal, a float in its shortest form, bytes as lower-case hex, and
// "<undecoded {type}, {n} bytes>".
std::string value_text(const wire::RfcValue& value);

// The table-delta records of a reply (TableDeltaDelete, TableDeltaRowOp,
// TableDeltaRow, TableDeltaReplace) against the tables the call sent, and
// the pass that adds the sent tables to the reply after the last record.
// The walk closes the current reply table itself before the records that
// close it; a name returned by on_record starts a new current reply table of
// that name (a TableDeltaReplace).
class TableDeltas {
 public:
  virtual ~TableDeltas() = default;
  virtual ProtoResult<std::optional<std::string>> on_record(wire::RecordId id,
                                                            wire::ByteView value) = 0;
  virtual ProtoStatus add_sent_tables(std::vector<ReplyTable>& tables) = 0;
};

// The delta handling of one decode: the records change working copies of the
// sent tables (by their 1-based position in the request); after the last
// record every sent table is added, changed, or unchanged unless the reply
// carries a table of the same name.
std::unique_ptr<TableDeltas> make_table_deltas(std::span<const wire::TableArg> sent);

// A sent table as it comes back unchanged: its fixed-width rows.
ProtoResult<ReplyTable> unchanged_sent_table(const wire::TableArg& sent);

// Decodes the records of a classic reply (wire order, end record excluded)
// against the call's description (null: every scalar decodes as Char text)
// and the tables the call sent.
ProtoResult<CallReply> decode_classic_reply(std::span<const wire::Record> records,
                                            const FunctionDescription* description,
                                            std::span<const wire::TableArg> sent_tables);

// The AbapException of a reply's error records, or none when the reply holds
// none of AbapExceptionKey, AbapErrorMessage, AbapT100Text, AbapMessageV1.
std::optional<ProtocolError> abap_error_of(std::span<const wire::Record> records);

// The rows of a reply table: CompressedTable when it kept compressed bytes,
// else TableShape when its content did not fit, else its rows.
ProtoResult<const RfcTable*> reply_table_rows(const ReplyTable& table);

// Fits the bytes of a table's content to its declared width and row count.
void split_table_content(ReplyTable& table, wire::Bytes bytes);

// Gives packed values of parameters whose data element has decimals their
// decimal point, in the values and in the matching text pair.
ProtoStatus apply_bcd_decimals(RfcConnection& connection, const FunctionDescription& description,
                               CallReply& reply);

}  // namespace quib::proto

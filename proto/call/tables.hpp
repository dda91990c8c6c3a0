// The tables of a reply: fixed-width byte rows in one buffer, and what a
// reply table keeps besides its rows (compressed content it could not
// expand, content that did not fit its header) until it is read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>

#include "proto/base/error.hpp"
#include "wire/bytes.hpp"
#include "wire/table.hpp"

namespace quib::proto {

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
  // Compressed content (record prefix included) left for the reader to
  // expand as it reads the rows (decode_classic_reply with
  // TableContent::LeftCompressed; read_left_compressed_rows).
  wire::Bytes left_compressed;
  // Present when the content could not be fitted to the rows.
  std::optional<wire::Bytes> shape_error;
  std::uint64_t declared_width = 0;
  std::uint64_t declared_count = 0;

  friend bool operator==(const ReplyTable&, const ReplyTable&) = default;
};

// A sent table as it comes back unchanged: its fixed-width rows.
ProtoResult<ReplyTable> unchanged_sent_table(const wire::TableArg& sent);

// The rows of a reply table: CompressedTable when it kept compressed bytes
// (or left them for read_left_compressed_rows), else TableShape when its
// content did not fit, else its rows.
ProtoResult<const RfcTable*> reply_table_rows(const ReplyTable& table);

// Fits the bytes of a table's content to its declared width and row count.
void split_table_content(ReplyTable& table, wire::Bytes bytes);

}  // namespace quib::proto

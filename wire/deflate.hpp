// Raw DEFLATE (RFC 1951 bit format, no zlib or gzip wrapper, no checksum):
// the compressor for basXML requests, the decompressor for basXML replies,
// and the Huffman block machinery that the compressed-table decoder reuses.
//
// The decoder is table driven: a 64-bit bit buffer refilled eight bytes at a
// time while enough input remains, literal/length and distance tables whose
// entries already carry the length or distance base and its extra-bit count,
// and wide match copies. Near the end of the input it switches to a careful
// path that refills byte by byte and never acts on a bit that has not
// arrived.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <span>
#include <string>

#include "wire/bytes.hpp"
#include "wire/expansion.hpp"
#include "wire/result.hpp"

namespace quib::wire {

// The error of both decoders (raw DEFLATE and compressed table content).
struct DecompressError {
  enum class Kind : std::uint8_t {
    TooShort = 0,
    UnsupportedAlgorithm = 1,
    UnexpectedEnd = 2,
    InvalidCode = 3,
    UnsupportedBlockType = 4,
    BadCodeLengths = 5,
    DistanceTooFar = 6,
    OutputOverflow = 7,
    // The owner of the expansion budget said stop (not a fault of the data).
    Stopped = 8,
  };

  Kind kind = Kind::UnexpectedEnd;
  std::uint64_t len = 0;        // TooShort
  std::uint8_t algorithm = 0;   // UnsupportedAlgorithm
  std::uint8_t block_type = 0;  // UnsupportedBlockType
  std::uint64_t distance = 0;   // DistanceTooFar
  std::uint64_t produced = 0;   // DistanceTooFar
  std::uint64_t declared = 0;   // OutputOverflow

  static DecompressError too_short(std::uint64_t len);
  static DecompressError unsupported_algorithm(std::uint8_t algorithm);
  static DecompressError unexpected_end();
  static DecompressError invalid_code();
  static DecompressError unsupported_block_type(std::uint8_t block_type);
  static DecompressError bad_code_lengths();
  static DecompressError distance_too_far(std::uint64_t distance, std::uint64_t produced);
  static DecompressError output_overflow(std::uint64_t declared);
  static DecompressError stopped();

  // The debug form callers show, e.g. "DistanceTooFar { distance: 40, produced: 12 }".
  std::string debug() const;
  // There are no message texts of their own: the message is the debug form.
  std::string message() const { return debug(); }

  friend bool operator==(const DecompressError&, const DecompressError&) = default;
};

// Compresses `input` as one final fixed-code block, or as stored blocks when
// that would not be shorter than the input plus 5 bytes. Cannot fail.
Bytes deflate_raw(ByteView input);

// Decompresses one raw DEFLATE stream. `limit` is the largest output
// accepted; bytes after the final block are ignored.
Result<Bytes, DecompressError> inflate_raw(ByteView input, std::uint64_t limit);
// The same drawing from `budget`: the output is bounded by what is left of
// it too (OutputOverflow with that bound, the budget marked exhausted),
// taken from it once made, and the work is reported to it (Stopped when
// its owner says stop).
Result<Bytes, DecompressError> inflate_raw(ByteView input, std::uint64_t limit,
                                           ExpansionBudget& budget);

// ---------------------------------------------------------------------------
// Block machinery, shared with the compressed-table decoder.

// Input bits, least significant first. Invariant: every bit of the bytes
// before `pos` has either been consumed or is held in `bits`' low `count`
// bits; the bits of `bits` at and above `count` are either zero or the
// genuine low bits of the byte at `pos`, never invented ones.
struct BitReader {
  ByteView input;
  std::size_t pos = 0;
  std::uint64_t bits = 0;
  unsigned count = 0;

  explicit BitReader(ByteView in) : input(in) {}

  // Tops the buffer up byte by byte; returns false when fewer than `n`
  // (at most 56) bits are available even then.
  bool ensure(unsigned n) {
    while (count < n) {
      if (pos >= input.size()) return false;
      bits |= std::uint64_t{input[pos++]} << count;
      count += 8;
    }
    return true;
  }
  // Tops the buffer up to at least 56 bits with one unaligned load; needs
  // 8 bytes at `pos`. Only whole bytes are taken.
  void refill_fast() {
    std::uint64_t v;
    std::memcpy(&v, input.data() + pos, sizeof v);
    if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
    bits |= v << count;
    pos += (63 - count) >> 3;
    count |= 56;
  }
  bool can_refill_fast() const { return input.size() - pos >= 8; }
  // The next n bits (n <= count), without consuming them.
  std::uint32_t peek(unsigned n) const {
    return static_cast<std::uint32_t>(bits & ((std::uint64_t{1} << n) - 1));
  }
  void drop(unsigned n) {
    bits >>= n;
    count -= n;
  }
  // Reads n bits (n <= 32); false when the input ends first.
  bool read(unsigned n, std::uint32_t& v) {
    if (!ensure(n)) return false;
    v = peek(n);
    drop(n);
    return true;
  }
  // Drops the rest of the current byte and gives back the whole bytes held
  // in the buffer, so that the next read starts at a byte boundary.
  void align_to_byte() {
    drop(count & 7u);
    pos -= count >> 3;
    bits = 0;
    count = 0;
  }
};

// A decoding table for one Huffman code: a primary table indexed by the
// next `primary_bits()` input bits, and subtables for the longer codes.
// Entries are 32 bits:
//   bits 0..7   bits to consume in all: code length plus extra bits of a
//               length or distance (for a subtable link, the primary index
//               width)
//   bits 8..11  code length alone, primary index bits included for a code
//               in a subtable (for a subtable link, the subtable's index
//               width)
//   bits 12..15 flags (see the flag constants in deflate.cpp)
//   bits 16..30 value: literal byte, length or distance base, symbol of an
//               end-of-block or invalid entry, or the subtable's offset
//   bit 31      set for a literal byte or a code-length symbol
class HuffmanTable {
 public:
  enum class Alphabet : std::uint8_t { LitLen, Distance, CodeLength };

  static constexpr unsigned kLitLenBits = 11;
  static constexpr unsigned kDistanceBits = 9;
  static constexpr unsigned kCodeLengthBits = 7;
  // Primary table plus room for every possible subtable.
  static constexpr std::size_t kMaxEntries = (1u << kLitLenBits) + 288 * 16;

  Alphabet alphabet() const { return alphabet_; }
  unsigned primary_bits() const { return primary_bits_; }
  const std::uint32_t* entries() const { return entries_.data(); }

 private:
  friend Status<DecompressError> build_huffman_table(std::span<const std::uint8_t>,
                                                     HuffmanTable::Alphabet, HuffmanTable&);
  Alphabet alphabet_ = Alphabet::LitLen;
  unsigned primary_bits_ = 0;
  // Left uninitialised: building fills every entry a lookup can reach.
  std::array<std::uint32_t, kMaxEntries> entries_;
};

// The literal/length and distance tables of one block.
struct HuffmanTables {
  HuffmanTable litlen;
  HuffmanTable distance;
};

// The tables a decoder builds its dynamic blocks into, taken on first use:
// one set per thread, kept for the thread's life, so that a stream costs
// no allocation for them (two tables are 53 KiB; allocated and freed per
// stream they cost page faults). Building a table fills every entry a
// lookup can reach, so nothing a previous stream left in them is ever
// read. A decoder that runs while its thread's set is taken gets a set of
// its own.
class DynamicTables {
 public:
  DynamicTables() = default;
  ~DynamicTables();
  DynamicTables(const DynamicTables&) = delete;
  DynamicTables& operator=(const DynamicTables&) = delete;

  HuffmanTables& get();

 private:
  HuffmanTables* tables_ = nullptr;
  std::unique_ptr<HuffmanTables> own_;
};

// Builds the table of a code from its lengths (one per symbol, 0 = absent)
// into `table` (built in place: a table is 26 KiB). A length above 15, more
// symbols than the alphabet has, or an over-subscribed set is
// BadCodeLengths; incomplete sets are accepted and their uncovered patterns
// decode as InvalidCode.
Status<DecompressError> build_huffman_table(std::span<const std::uint8_t> lengths,
                                            HuffmanTable::Alphabet alphabet, HuffmanTable& table);

// The fixed tables of block type 1, built once per process. The distance
// code has all 32 five-bit codes; 30 and 31 decode as InvalidCode.
const HuffmanTables& fixed_huffman_tables();

// Reads the header of a dynamic block (HLIT, HDIST, HCLEN and the code
// lengths) and builds its tables into `tables`.
Status<DecompressError> read_dynamic_tables(BitReader& in, HuffmanTables& tables);

// Decodes one symbol of the table's alphabet (literal/length 0..287,
// distance 0..31, code length 0..18). InvalidCode when no code matches
// within 15 bits, UnexpectedEnd when the input ends first.
Result<std::uint16_t, DecompressError> decode_symbol(const HuffmanTable& table, BitReader& in);

// Output of a decoder: reserved once for the caller's estimate, grown with
// what is produced (early, when the input read so far predicts more), never
// past `limit` (plus a fixed slack for wide copies). Room is zeroed a step
// at a time just ahead of the writing, never to the whole capacity.
class InflateOutput {
 public:
  // Bytes past the logical end that wide copies may touch.
  static constexpr std::size_t kSlack = 384;

  // The bytes a match may reach back to: what a handed-out output keeps.
  static constexpr std::size_t kHistory = 32768;

  // Takes bytes as they are made: offered the bytes it has not taken yet,
  // in order, it sets `taken` to how many of them it takes (at most all
  // offered); false: stop (the output then fails as told to stop).
  using Sink = std::function<bool(ByteView offered, std::size_t& taken)>;

  // `expected` is only a first capacity hint; it is capped by `limit`.
  // Callers bound it by the input that has arrived, never by a length read
  // off the wire alone. With a budget the limit is also what is left of it.
  InflateOutput(std::uint64_t limit, std::uint64_t expected, ExpansionBudget* budget = nullptr);
  // An output handed out to `sink` as it is made, through a buffer of
  // about `window` bytes: whenever the buffer is full, the sink is offered
  // what it has not taken, and only what it left and the history stay. The
  // buffer grows only while the sink leaves more than the window.
  InflateOutput(std::uint64_t limit, std::size_t window, ExpansionBudget* budget, Sink sink);

  std::uint64_t limit() const { return limit_ + dropped_; }
  // The bytes made so far (of a handed-out output too).
  std::uint64_t produced() const { return dropped_ + size_; }
  // Appends bytes verbatim (a stored block); OutputOverflow with the limit
  // when they would pass it.
  Status<DecompressError> append(ByteView bytes);
  // The error of output that would pass the limit; the budget counts as
  // exhausted when it was what set the limit.
  DecompressError overflow() const;
  // The error of output that cannot grow: Stopped when the budget's owner
  // said stop while it grew, else overflow().
  DecompressError refusal() const;
  // Reports `units` of work to the budget; false when its owner says stop.
  bool work(std::uint64_t units) { return budget_ == nullptr || budget_->work(units); }
  // The produced bytes, trimmed to their length (and taken from the budget).
  Bytes take();
  // A handed-out output's end: the sink is offered the rest, and what was
  // made is taken from the budget. False when the sink said stop.
  bool finish();

 private:
  friend Status<DecompressError> inflate_block_data(BitReader&, const HuffmanTables&,
                                                    InflateOutput&);
  // Makes room for at least `n` more bytes plus the slack; false when that
  // would pass the limit, or when the budget's owner said stop meanwhile. When it grows, it aims at
  // the final size that the input consumed so far (`in_pos` of `in_size` bytes) predicts, so that a
  // stream costs one or two allocations, not a doubling series.
  bool reserve_more(std::size_t n, std::size_t in_pos = 0, std::size_t in_size = 0);
  // Makes the capacity at least `need` (at most the limit plus the slack),
  // by the growth rule of reserve_more.
  void ensure_capacity(std::uint64_t need, std::size_t in_pos = 0, std::size_t in_size = 0);
  // Moves the produced bytes to a buffer of exactly `capacity`.
  void reallocate(std::size_t capacity);
  // Offers the sink what it has not taken, then drops from the buffer's
  // front what it took, short of the history. False when it said stop.
  bool hand_out();
  // The final size that the output so far, from `in_pos` of `in_size`
  // input bytes, predicts (with a margin); 0 when there is nothing to go by.
  double predicted_size(std::size_t in_pos, std::size_t in_size) const;

  // Bytes [0, size_) are produced; the vector's size may run further into
  // zeroed room that coded data is written into through pointers.
  Bytes buf_;
  std::size_t size_ = 0;
  std::uint64_t limit_ = 0;
  ExpansionBudget* budget_ = nullptr;
  bool budget_bound_ = false;  // the budget, not the caller, set the limit
  bool stopped_ = false;       // the budget's owner said stop while the output grew
  // A handed-out output: bytes [0, offered_) of the buffer are the sink's,
  // and dropped_ bytes made before the buffer's first one are gone (the
  // limit counts from the buffer's first byte, so it shrinks by as many).
  Sink sink_;
  std::size_t offered_ = 0;
  std::uint64_t dropped_ = 0;
};

// Work a block counts beyond its output, with the input it takes: its
// header (a dynamic one builds two tables).
inline constexpr std::uint64_t kInflateBlockWork = 1024;

// Decodes one block's data up to and including its end-of-block symbol.
// OutputOverflow carries the output's limit. With a budget the work is
// reported to it at least every ExpansionBudget::kStride bytes of output.
Status<DecompressError> inflate_block_data(BitReader& in, const HuffmanTables& tables,
                                           InflateOutput& out);

}  // namespace quib::wire

#include "wire/deflate.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#if defined(__linux__)
#include <sys/mman.h>
#include <unistd.h>
#endif

#include <fmt/format.h>

#include "wire/saturating.hpp"

namespace quib::wire {

// ---------------------------------------------------------------------------
// DecompressError

DecompressError DecompressError::too_short(std::uint64_t len) {
  return {.kind = Kind::TooShort, .len = len};
}
DecompressError DecompressError::unsupported_algorithm(std::uint8_t algorithm) {
  return {.kind = Kind::UnsupportedAlgorithm, .algorithm = algorithm};
}
DecompressError DecompressError::unexpected_end() { return {.kind = Kind::UnexpectedEnd}; }
DecompressError DecompressError::invalid_code() { return {.kind = Kind::InvalidCode}; }
DecompressError DecompressError::unsupported_block_type(std::uint8_t block_type) {
  return {.kind = Kind::UnsupportedBlockType, .block_type = block_type};
}
DecompressError DecompressError::bad_code_lengths() { return {.kind = Kind::BadCodeLengths}; }
DecompressError DecompressError::distance_too_far(std::uint64_t distance, std::uint64_t produced) {
  return {.kind = Kind::DistanceTooFar, .distance = distance, .produced = produced};
}
DecompressError DecompressError::output_overflow(std::uint64_t declared) {
  return {.kind = Kind::OutputOverflow, .declared = declared};
}
DecompressError DecompressError::stopped() { return {.kind = Kind::Stopped}; }

std::string DecompressError::debug() const {
  switch (kind) {
    case Kind::TooShort:
      return fmt::format("TooShort {{ len: {} }}", len);
    case Kind::UnsupportedAlgorithm:
      return fmt::format("UnsupportedAlgorithm {{ algorithm: {} }}", algorithm);
    case Kind::UnexpectedEnd:
      return "UnexpectedEnd";
    case Kind::InvalidCode:
      return "InvalidCode";
    case Kind::UnsupportedBlockType:
      return fmt::format("UnsupportedBlockType {{ block_type: {} }}", block_type);
    case Kind::BadCodeLengths:
      return "BadCodeLengths";
    case Kind::DistanceTooFar:
      return fmt::format("DistanceTooFar {{ distance: {}, produced: {} }}", distance, produced);
    case Kind::OutputOverflow:
      return fmt::format("OutputOverflow {{ declared: {} }}", declared);
    case Kind::Stopped:
      return "Stopped";
  }
  return "UnexpectedEnd";
}

namespace {

// ---------------------------------------------------------------------------
// Alphabets (RFC 1951, section 3.2.5)

constexpr std::uint16_t kLengthBase[29] = {3,  4,  5,  6,   7,   8,   9,   10,  11, 13,
                                           15, 17, 19, 23,  27,  31,  35,  43,  51, 59,
                                           67, 83, 99, 115, 131, 163, 195, 227, 258};
constexpr std::uint8_t kLengthExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                           2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
constexpr std::uint16_t kDistanceBase[30] = {
    1,   2,   3,   4,   5,   7,    9,    13,   17,   25,   33,   49,   65,    97,    129,
    193, 257, 385, 513, 769, 1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
constexpr std::uint8_t kDistanceExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                             6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};
constexpr std::uint8_t kCodeLengthOrder[19] = {16, 17, 18, 0, 8,  7, 9,  6, 10, 5,
                                               11, 4,  12, 3, 13, 2, 14, 1, 15};

constexpr unsigned kEndOfBlockSymbol = 256;
constexpr unsigned kLitLenSymbols = 288;   // including the invalid 286 and 287
constexpr unsigned kDistanceSymbols = 32;  // including the invalid 30 and 31
constexpr unsigned kCodeLengthSymbols = 19;
constexpr unsigned kMaxCodeLength = 15;
constexpr std::size_t kWindow = 32768;
constexpr unsigned kMaxMatch = 258;
constexpr unsigned kMinMatch = 3;
// A stored block: a header byte, LEN and NLEN, then at most 65535 bytes.
constexpr std::size_t kStoredHeaderBytes = 5;
constexpr std::size_t kMaxStored = 65535;

// Table entry flags (see HuffmanTable).
constexpr std::uint32_t kLiteral = 1u << 31;      // literal byte or code-length symbol
constexpr std::uint32_t kExceptional = 1u << 15;  // anything but a literal, length or distance
constexpr std::uint32_t kSubtable = 1u << 14;
constexpr std::uint32_t kEndOfBlock = 1u << 13;
constexpr std::uint32_t kNoCode = 1u << 12;  // no code covers the bit pattern
// An exceptional entry without further flags is an invalid symbol: literal/
// length 286 or 287, distance 30 or 31.
constexpr std::uint32_t kNoCodeEntry = kExceptional | kNoCode;

// Bits a decoded entry consumes in all: its code and its extra bits.
inline unsigned entry_total(std::uint32_t e) { return e & 0xFFu; }
// The code's own length (for a subtable link: the subtable's index width).
inline unsigned entry_len(std::uint32_t e) { return (e >> 8) & 15u; }
inline unsigned entry_extra(std::uint32_t e) { return entry_total(e) - entry_len(e); }
inline std::uint32_t entry_value(std::uint32_t e) { return (e >> 16) & 0x7FFFu; }
inline std::uint64_t low_mask(unsigned n) { return (std::uint64_t{1} << n) - 1; }

// An entry of a code of `len` bits followed by `extra` extra bits.
constexpr std::uint32_t code_entry(std::uint32_t flags, unsigned value, unsigned len,
                                   unsigned extra = 0) {
  return flags | (std::uint32_t{value} << 16) | (len << 8) | (len + extra);
}
// A link from the primary table to the subtable at `offset` with a
// `sub_bits` wide index: it consumes the primary index (`pb` bits).
constexpr std::uint32_t link_entry(unsigned offset, unsigned sub_bits, unsigned pb) {
  return kExceptional | kSubtable | (std::uint32_t{offset} << 16) | (sub_bits << 8) | pb;
}

inline std::uint32_t make_entry(HuffmanTable::Alphabet alphabet, unsigned sym, unsigned len) {
  using A = HuffmanTable::Alphabet;
  switch (alphabet) {
    case A::LitLen:
      if (sym < 256) return code_entry(kLiteral, sym, len);
      if (sym == kEndOfBlockSymbol) return code_entry(kExceptional | kEndOfBlock, sym, len);
      if (sym <= 285) return code_entry(0, kLengthBase[sym - 257], len, kLengthExtra[sym - 257]);
      return code_entry(kExceptional, sym, len);
    case A::Distance:
      if (sym < 30) return code_entry(0, kDistanceBase[sym], len, kDistanceExtra[sym]);
      return code_entry(kExceptional, sym, len);
    case A::CodeLength:
      return code_entry(kLiteral, sym, len);
  }
  return kNoCodeEntry;
}

unsigned primary_bits_of(HuffmanTable::Alphabet alphabet) {
  switch (alphabet) {
    case HuffmanTable::Alphabet::LitLen:
      return HuffmanTable::kLitLenBits;
    case HuffmanTable::Alphabet::Distance:
      return HuffmanTable::kDistanceBits;
    case HuffmanTable::Alphabet::CodeLength:
      return HuffmanTable::kCodeLengthBits;
  }
  return HuffmanTable::kCodeLengthBits;
}

unsigned symbols_of(HuffmanTable::Alphabet alphabet) {
  switch (alphabet) {
    case HuffmanTable::Alphabet::LitLen:
      return kLitLenSymbols;
    case HuffmanTable::Alphabet::Distance:
      return kDistanceSymbols;
    case HuffmanTable::Alphabet::CodeLength:
      return kCodeLengthSymbols;
  }
  return 0;
}

// The low `len` bits of `code` (len <= 16) in reverse order.
inline std::uint32_t reverse_bits(std::uint32_t code, unsigned len) {
  std::uint32_t v = code & 0xFFFFu;
  v = ((v >> 1) & 0x5555u) | ((v & 0x5555u) << 1);
  v = ((v >> 2) & 0x3333u) | ((v & 0x3333u) << 2);
  v = ((v >> 4) & 0x0F0Fu) | ((v & 0x0F0Fu) << 4);
  v = ((v >> 8) & 0x00FFu) | ((v & 0x00FFu) << 8);
  return v >> (16 - len);
}

inline std::uint32_t load_u32(const std::uint8_t* p) {
  std::uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline std::uint64_t load_u64(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Table building

Status<DecompressError> build_huffman_table(std::span<const std::uint8_t> lengths,
                                            HuffmanTable::Alphabet alphabet, HuffmanTable& table) {
  if (lengths.size() > symbols_of(alphabet)) return err(DecompressError::bad_code_lengths());
  // Four interleaved histograms: runs of equal lengths, the rule in a
  // dynamic header, would otherwise make every increment wait for the one
  // before it.
  unsigned partial[4][kMaxCodeLength + 1] = {};
  std::uint8_t all = 0;
  const std::size_t n = lengths.size();
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    all |= lengths[i] | lengths[i + 1] | lengths[i + 2] | lengths[i + 3];
    if (all > kMaxCodeLength) return err(DecompressError::bad_code_lengths());
    ++partial[0][lengths[i]];
    ++partial[1][lengths[i + 1]];
    ++partial[2][lengths[i + 2]];
    ++partial[3][lengths[i + 3]];
  }
  for (; i < n; ++i) {
    if (lengths[i] > kMaxCodeLength) return err(DecompressError::bad_code_lengths());
    ++partial[0][lengths[i]];
  }
  unsigned count[kMaxCodeLength + 1];
  for (unsigned len = 0; len <= kMaxCodeLength; ++len)
    count[len] = partial[0][len] + partial[1][len] + partial[2][len] + partial[3][len];
  count[0] = 0;
  // Kraft check: at each length no more codes than the shorter ones leave room for.
  int left = 1;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    left <<= 1;
    left -= static_cast<int>(count[len]);
    if (left < 0) return err(DecompressError::bad_code_lengths());
  }

  // Symbols in canonical order (by length, then by value) with their codes,
  // bit-reversed because the stream delivers a code's first bit lowest.
  unsigned offset[kMaxCodeLength + 2] = {};
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) offset[len + 1] = offset[len] + count[len];
  std::uint16_t sorted[kLitLenSymbols];
  for (unsigned sym = 0; sym < lengths.size(); ++sym)
    if (lengths[sym] != 0) sorted[offset[lengths[sym]]++] = static_cast<std::uint16_t>(sym);
  const unsigned used = offset[kMaxCodeLength];  // after the loop: total of all lengths
  std::uint32_t next_code[kMaxCodeLength + 1] = {};
  std::uint32_t code = 0;
  for (unsigned len = 1; len <= kMaxCodeLength; ++len) {
    code = (code + count[len - 1]) << 1;
    next_code[len] = code;
  }
  std::uint16_t reversed[kLitLenSymbols];
  for (unsigned k = 0; k < used; ++k) {
    unsigned len = lengths[sorted[k]];
    reversed[k] = static_cast<std::uint16_t>(reverse_bits(next_code[len]++, len));
  }

  // A code whose longest length is below the usual index width gets a
  // primary table just that wide: each index of the wider table would only
  // repeat the entry of its low bits, and a short block's table is built in
  // a fraction of the time. Every lookup masks with the width built.
  unsigned longest = 0;
  for (unsigned len = kMaxCodeLength; len >= 1; --len)
    if (count[len] != 0) {
      longest = len;
      break;
    }
  const unsigned pb = std::max(1u, std::min(primary_bits_of(alphabet), longest));
  const std::uint32_t pmask = (1u << pb) - 1;
  std::uint32_t* e = table.entries_.data();
  // The primary table is filled length by length. Before the codes of
  // length `len` go to their own indices (below 2^len), the first 2^(len-1)
  // entries are copied above themselves: every index whose low bits are a
  // shorter code then holds that code's entry, and an index no code covers
  // holds kNoCodeEntry.
  e[0] = kNoCodeEntry;
  std::size_t filled = 1;
  unsigned k = 0;
  for (unsigned len = 1; len <= pb; ++len) {
    std::memcpy(e + filled, e, filled * sizeof *e);
    filled *= 2;
    for (; k < used && lengths[sorted[k]] == len; ++k)
      e[reversed[k]] = make_entry(alphabet, sorted[k], len);
  }
  std::size_t next_free = filled;
  while (k < used) {
    // Codes longer than the primary index share a subtable per prefix; in
    // canonical order the codes of one prefix are consecutive and the last
    // one is the longest.
    const std::uint32_t prefix = reversed[k] & pmask;
    unsigned j = k + 1;
    while (j < used && (reversed[j] & pmask) == prefix) ++j;
    const unsigned sub_bits = lengths[sorted[j - 1]] - pb;
    const std::size_t sub = next_free;
    next_free += std::size_t{1} << sub_bits;
    std::fill(e + sub, e + next_free, kNoCodeEntry);
    e[prefix] = link_entry(static_cast<unsigned>(sub), sub_bits, pb);
    for (; k < j; ++k) {
      const unsigned s = sorted[k];
      // The entry holds the code's whole length, so that looking a code up
      // never consumes anything: the caller consumes the entry as it is.
      const unsigned rel = lengths[s] - pb;
      const std::uint32_t entry = make_entry(alphabet, s, lengths[s]);
      for (std::uint32_t i = reversed[k] >> pb; i < (1u << sub_bits); i += 1u << rel)
        e[sub + i] = entry;
    }
  }
  table.alphabet_ = alphabet;
  table.primary_bits_ = pb;
  return ok_unit;
}

const HuffmanTables& fixed_huffman_tables() {
  static const HuffmanTables* tables = [] {
    auto* t = new HuffmanTables;
    std::uint8_t lit[kLitLenSymbols];
    std::fill(lit, lit + 144, 8);
    std::fill(lit + 144, lit + 256, 9);
    std::fill(lit + 256, lit + 280, 7);
    std::fill(lit + 280, lit + 288, 8);
    std::uint8_t dist[kDistanceSymbols];
    std::fill(dist, dist + kDistanceSymbols, 5);
    // Both sets are complete and within 15 bits: building cannot fail.
    (void)build_huffman_table(lit, HuffmanTable::Alphabet::LitLen, t->litlen);
    (void)build_huffman_table(dist, HuffmanTable::Alphabet::Distance, t->distance);
    return t;
  }();
  return *tables;
}

namespace {
struct ThreadTables {
  std::unique_ptr<HuffmanTables> tables;
  bool taken = false;
};
ThreadTables& thread_tables() {
  thread_local ThreadTables t;
  return t;
}
}  // namespace

HuffmanTables& DynamicTables::get() {
  if (tables_) return *tables_;
  ThreadTables& t = thread_tables();
  if (t.taken) {
    own_.reset(new HuffmanTables);
    tables_ = own_.get();
  } else {
    if (!t.tables) t.tables.reset(new HuffmanTables);
    t.taken = true;
    tables_ = t.tables.get();
  }
  return *tables_;
}

DynamicTables::~DynamicTables() {
  if (tables_ && !own_) thread_tables().taken = false;
}

// ---------------------------------------------------------------------------
// Careful decoding, used for headers and near the end of the input.

namespace {

// Decodes one code and returns its entry (literal, length, distance,
// end-of-block or invalid symbol). The lookup may see bits above `count`;
// those are zero or genuine, and an entry is only accepted when its whole
// code lies within the bits that have arrived.
Result<std::uint32_t, DecompressError> decode_entry(const HuffmanTable& table, BitReader& in) {
  in.ensure(kMaxCodeLength);
  const unsigned pb = table.primary_bits();
  const std::uint32_t* t = table.entries();
  std::uint32_t e = t[in.bits & low_mask(pb)];
  if (e & kSubtable) {
    if (in.count <= pb) return err(DecompressError::unexpected_end());
    e = t[entry_value(e) + ((in.bits >> pb) & low_mask(entry_len(e)))];
  }
  if (e & kNoCode) {
    // No code within the bits at hand: a genuine invalid code once 15 bits
    // have been seen, otherwise the input ended first.
    if (in.count >= kMaxCodeLength) return err(DecompressError::invalid_code());
    return err(DecompressError::unexpected_end());
  }
  const unsigned consumed = entry_len(e);
  if (consumed > in.count) return err(DecompressError::unexpected_end());
  in.drop(consumed);
  return e;
}

std::uint16_t symbol_of(HuffmanTable::Alphabet alphabet, std::uint32_t e) {
  const std::uint32_t v = entry_value(e);
  if ((e & kLiteral) || (e & kExceptional)) return static_cast<std::uint16_t>(v);
  if (alphabet == HuffmanTable::Alphabet::LitLen) {
    for (unsigned i = 0; i < 29; ++i)
      if (kLengthBase[i] == v) return static_cast<std::uint16_t>(257 + i);
  } else {
    for (unsigned i = 0; i < 30; ++i)
      if (kDistanceBase[i] == v) return static_cast<std::uint16_t>(i);
  }
  return 0;
}

}  // namespace

Result<std::uint16_t, DecompressError> decode_symbol(const HuffmanTable& table, BitReader& in) {
  QUIB_TRY(std::uint32_t e, decode_entry(table, in));
  return symbol_of(table.alphabet(), e);
}

Status<DecompressError> read_dynamic_tables(BitReader& in, HuffmanTables& tables) {
  std::uint32_t hlit, hdist, hclen;
  if (!in.read(5, hlit) || !in.read(5, hdist) || !in.read(4, hclen))
    return err(DecompressError::unexpected_end());
  if (hlit > 29 || hdist > 29) return err(DecompressError::bad_code_lengths());
  std::uint8_t cl_lengths[kCodeLengthSymbols] = {};
  for (unsigned i = 0; i < hclen + 4; ++i) {
    std::uint32_t v;
    if (!in.read(3, v)) return err(DecompressError::unexpected_end());
    cl_lengths[kCodeLengthOrder[i]] = static_cast<std::uint8_t>(v);
  }
  HuffmanTable cl_table;
  QUIB_CHECK(build_huffman_table(cl_lengths, HuffmanTable::Alphabet::CodeLength, cl_table));

  const unsigned nlit = hlit + 257;
  const unsigned total = nlit + hdist + 1;
  std::uint8_t lengths[286 + 30];
  unsigned i = 0;
  while (i < total) {
    std::uint32_t e;
    if (in.can_refill_fast()) {
      // Code-length codes take at most 7 bits: one lookup in the 56 bits
      // held, and the repeat counts' extra bits below.
      in.refill_fast();
      e = cl_table.entries()[in.bits & low_mask(cl_table.primary_bits())];
      if (e & kNoCode) return err(DecompressError::invalid_code());
      in.drop(entry_len(e));
    } else {
      QUIB_TRY(e, decode_entry(cl_table, in));
    }
    const unsigned sym = entry_value(e);
    if (sym < 16) {
      lengths[i++] = static_cast<std::uint8_t>(sym);
      continue;
    }
    std::uint8_t fill = 0;
    unsigned extra_bits, base;
    if (sym == 16) {
      if (i == 0) return err(DecompressError::bad_code_lengths());
      fill = lengths[i - 1];
      extra_bits = 2;
      base = 3;
    } else if (sym == 17) {
      extra_bits = 3;
      base = 3;
    } else {
      extra_bits = 7;
      base = 11;
    }
    std::uint32_t v;
    if (!in.read(extra_bits, v)) return err(DecompressError::unexpected_end());
    const unsigned repeat = base + v;
    if (repeat > total - i) return err(DecompressError::bad_code_lengths());
    std::fill(lengths + i, lengths + i + repeat, fill);
    i += repeat;
  }
  QUIB_CHECK(build_huffman_table(std::span<const std::uint8_t>(lengths, nlit),
                                 HuffmanTable::Alphabet::LitLen, tables.litlen));
  QUIB_CHECK(build_huffman_table(std::span<const std::uint8_t>(lengths + nlit, hdist + 1),
                                 HuffmanTable::Alphabet::Distance, tables.distance));
  return ok_unit;
}

// ---------------------------------------------------------------------------
// Output

namespace {
constexpr std::uint64_t kMinCapacity = 1024;
// The first capacity of a coded stream's output, per input byte.
constexpr std::uint64_t kCodedGuess = 8;
// The output's size is predicted from the input read so far once at least
// this fraction of it is read.
constexpr std::size_t kPredictFrom = 16;
// How far ahead of the produced bytes the room written into reaches: at
// most this far, and for a small output at least this far.
constexpr std::uint64_t kRoomStep = 64u << 10;
constexpr std::uint64_t kMinRoomStep = 1024;
constexpr std::size_t kHugePageAdviceMin = 4u << 20;

// Large outputs are written once from start to end. Where the system has
// transparent huge pages on request, asking for them turns thousands of
// small page faults per output into a few dozen large ones.
void advise_huge_pages([[maybe_unused]] const std::uint8_t* p, [[maybe_unused]] std::size_t n) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
  if (p == nullptr || n < kHugePageAdviceMin) return;
  static const std::uintptr_t page = static_cast<std::uintptr_t>(sysconf(_SC_PAGESIZE));
  const std::uintptr_t at = reinterpret_cast<std::uintptr_t>(p);
  const std::uintptr_t begin = (at + page - 1) & ~(page - 1);
  const std::uintptr_t end = (at + n) & ~(page - 1);
  // Only advice: a refusal changes nothing but the page size.
  if (end > begin) (void)madvise(reinterpret_cast<void*>(begin), end - begin, MADV_HUGEPAGE);
#endif
}
}  // namespace

InflateOutput::InflateOutput(std::uint64_t limit, std::uint64_t expected, ExpansionBudget* budget)
    : limit_(limit), budget_(budget) {
  if (budget_ && budget_->left() < limit_) {
    limit_ = budget_->left();
    budget_bound_ = true;
  }
  const std::uint64_t first = std::min(limit_, std::max(expected, kMinCapacity));
  reallocate(static_cast<std::size_t>(saturating_add(first, kSlack)));
}

InflateOutput::InflateOutput(std::uint64_t limit, std::size_t window, ExpansionBudget* budget,
                             Sink sink)
    : InflateOutput(limit, std::max<std::uint64_t>(window, 2 * kHistory), budget) {
  sink_ = std::move(sink);
}

bool InflateOutput::hand_out() {
  if (offered_ < size_) {
    std::size_t taken = 0;
    if (!sink_(ByteView(buf_.data() + offered_, size_ - offered_), taken)) {
      stopped_ = true;
      return false;
    }
    offered_ += std::min(taken, size_ - offered_);
  }
  // What the sink left stays, and so does the history a match may reach.
  const std::size_t drop = size_ > kHistory ? std::min(offered_, size_ - kHistory) : 0;
  if (drop == 0) return true;
  std::memmove(buf_.data(), buf_.data() + drop, size_ - drop);
  size_ -= drop;
  offered_ -= drop;
  dropped_ += drop;
  limit_ -= drop;
  return true;
}

bool InflateOutput::finish() {
  if (offered_ < size_) {
    std::size_t taken = 0;
    if (!sink_(ByteView(buf_.data() + offered_, size_ - offered_), taken)) {
      stopped_ = true;
      return false;
    }
  }
  // Never more than the budget had left: the limit was bounded by it.
  if (budget_) budget_->take(produced());
  return true;
}

void InflateOutput::reallocate(std::size_t capacity) {
  Bytes next;
  next.reserve(capacity);
  advise_huge_pages(next.data(), capacity);
  // Only the produced bytes move; the zeroed room behind them does not.
  // With a budget they move a stride at a time, each reported as work: a
  // large output takes a good part of a second to move, far longer than
  // its owner may wait for an answer. Told to stop, the copy stops.
  const std::size_t step = budget_ ? static_cast<std::size_t>(ExpansionBudget::kStride) : size_;
  for (std::size_t at = 0; at < size_ && !stopped_; at += step) {
    const std::size_t n = std::min(step, size_ - at);
    next.insert(next.end(), buf_.begin() + static_cast<std::ptrdiff_t>(at),
                buf_.begin() + static_cast<std::ptrdiff_t>(at + n));
    if (!work(n)) stopped_ = true;
  }
  size_ = next.size();
  buf_.swap(next);
}

void InflateOutput::ensure_capacity(std::uint64_t need, std::size_t in_pos, std::size_t in_size) {
  if (need <= buf_.capacity()) return;
  // At least half as much again; more when the ratio of output to input
  // so far predicts more, but at most four times what is held, so that a
  // stream that starts with a long run cannot make its prediction allocate
  // far beyond what it has produced. Never past the limit (plus the slack).
  const std::uint64_t held = buf_.capacity();
  std::uint64_t grown = saturating_add(held, held / 2);
  const double target = std::min(predicted_size(in_pos, in_size), static_cast<double>(held) * 4);
  if (target > static_cast<double>(grown)) grown = static_cast<std::uint64_t>(target);
  grown = std::max(grown, need);
  // With a budget the room is zeroed only as it is used, so capacity costs
  // address space, not memory: near the limit the last step takes all of
  // it at once, and two buffers of nearly the limit never coexist.
  if (budget_ && grown >= limit_ / 2) grown = saturating_add(limit_, kSlack);
  grown = std::min(grown, saturating_add(limit_, kSlack));
  reallocate(static_cast<std::size_t>(grown));
}

double InflateOutput::predicted_size(std::size_t in_pos, std::size_t in_size) const {
  if (in_pos == 0 || in_size <= in_pos) return 0;
  return static_cast<double>(size_) * (static_cast<double>(in_size) / static_cast<double>(in_pos)) *
         1.0625;
}

bool InflateOutput::reserve_more(std::size_t n, std::size_t in_pos, std::size_t in_size) {
  // A handed-out output makes room by handing out first.
  if (sink_ && saturating_add(saturating_add(size_, n), kSlack) > buf_.capacity() && !hand_out())
    return false;
  const std::uint64_t want = saturating_add(size_, n);
  if (want > limit_) return false;
  const std::uint64_t need = saturating_add(want, kSlack);
  if (need <= buf_.size()) return true;
  // Each step of room is also a look at where the stream is heading: once
  // a sixteenth of the input is read, a predicted size beyond the capacity
  // grows it now, while a copy costs little, rather than at the end.
  if (!sink_ && in_pos >= in_size / kPredictFrom) {
    const double predicted = predicted_size(in_pos, in_size);
    if (predicted > static_cast<double>(buf_.capacity()))
      ensure_capacity(std::min(saturating_add(static_cast<std::uint64_t>(predicted), kSlack),
                               saturating_add(limit_, kSlack)),
                      in_pos, in_size);
  }
  ensure_capacity(need, in_pos, in_size);
  if (stopped_) return false;
  // Coded data is written through pointers, so the room written into must
  // be part of the vector, which zeroes what it adds. It grows a step at a
  // time just ahead of the writing: the zeroing touches only bytes about to
  // be written, while they are still in the cache, never the whole
  // capacity (which, near a budget's limit, may be all of the limit).
  // A small output takes room in steps as large as what it holds (at least
  // kMinRoomStep), so that a short stream zeroes little beyond its end.
  const std::uint64_t room = std::clamp<std::uint64_t>(size_, kMinRoomStep, kRoomStep);
  const std::uint64_t step = std::max(need, saturating_add(size_, room));
  buf_.resize(static_cast<std::size_t>(std::min<std::uint64_t>(buf_.capacity(), step)));
  return true;
}

Status<DecompressError> InflateOutput::append(ByteView bytes) {
  if (sink_ && saturating_add(saturating_add(size_, bytes.size()), kSlack) > buf_.capacity() &&
      !hand_out())
    return err(DecompressError::stopped());
  const std::uint64_t want = saturating_add(size_, bytes.size());
  if (want > limit_) return err(overflow());
  if (want <= buf_.size()) {
    if (!bytes.empty()) std::memcpy(buf_.data() + size_, bytes.data(), bytes.size());
  } else {
    // Copied straight behind the produced bytes: no zeroing of room that
    // the copy overwrites at once.
    ensure_capacity(saturating_add(want, kSlack));
    if (stopped_) return err(DecompressError::stopped());
    buf_.resize(size_);
    buf_.insert(buf_.end(), bytes.begin(), bytes.end());
  }
  size_ += bytes.size();
  return ok_unit;
}

DecompressError InflateOutput::overflow() const {
  if (budget_bound_) budget_->refuse();
  return DecompressError::output_overflow(limit());
}

DecompressError InflateOutput::refusal() const {
  if (stopped_) return DecompressError::stopped();
  return overflow();
}

Bytes InflateOutput::take() {
  // Never more than the budget had left: the limit was bounded by it.
  if (budget_) budget_->take(size_);
  buf_.resize(size_);
  // Only a gross overestimate (four times the output or more, which the
  // first guess of a coded stream makes only for an output of less than
  // twice its input, and the last step to a budget's limit) is worth the
  // copy that trimming costs; the room beyond is held only as long as the
  // output, and pages never written are not backed.
  if (buf_.capacity() - size_ > 3 * size_ + kSlack) buf_.shrink_to_fit();
  size_ = 0;
  return std::move(buf_);
}

// ---------------------------------------------------------------------------
// Block data

namespace {

// The fast loop runs while this much input remains (a pass reads at most
// 8 bytes from 14 bytes past the position its bounds were checked at) and
// while one pass's output (two literals and a longest match) fits before
// both the capacity and the limit.
constexpr std::size_t kFastInputMargin = 24;
constexpr std::size_t kFastOutputMargin = 3 + kMaxMatch;
constexpr std::size_t kCopyOverrun = 64;
static_assert(InflateOutput::kSlack >= kFastOutputMargin + kCopyOverrun);

enum class FastStop { Slow, EndOfBlock, InvalidCode, DistanceTooFar };

// 32 bytes through a vector register: one load and one store where the
// processor has 32-byte registers (the AVX2 variant below), two of each
// otherwise. A plain 32-byte memcpy would be split in halves regardless.
using Chunk32 = std::uint8_t __attribute__((vector_size(32)));
[[gnu::always_inline]] inline void copy32(std::uint8_t* out, const std::uint8_t* src) {
  Chunk32 v;
  std::memcpy(&v, src, sizeof v);
  std::memcpy(out, &v, sizeof v);
}

// Copies a match of `length` bytes from `dist` back; may write up to
// kCopyOverrun - 1 bytes past the end of the match. Each copy reads only
// bytes written before it. Most matches are at most 64 bytes long and come
// from 32 or more bytes back: those take two unconditional 32-byte copies
// and no branch on their length, whose outcome a processor cannot predict.
[[gnu::always_inline]] inline void copy_match(std::uint8_t* out, std::size_t dist,
                                              std::size_t length) {
  const std::uint8_t* src = out - dist;
  std::uint8_t* const end = out + length;
  if (dist >= 32) [[likely]] {
    copy32(out, src);
    copy32(out + 32, src + 32);
    if (length > 64) [[unlikely]] {
      out += 64;
      src += 64;
      do {
        copy32(out, src);
        out += 32;
        src += 32;
      } while (out < end);
    }
  } else if (dist >= 16) {
    std::memcpy(out, src, 16);
    std::memcpy(out + 16, src + 16, 16);
    if (length > 32) {
      out += 32;
      src += 32;
      do {
        std::memcpy(out, src, 16);
        out += 16;
        src += 16;
      } while (out < end);
    }
  } else if (dist >= 8) {
    do {
      std::memcpy(out, src, 8);
      out += 8;
      src += 8;
    } while (out < end);
  } else if (dist == 1 || dist == 2 || dist == 4) {
    // A period that divides 8: one word of the pattern, stored repeatedly
    // (runs of blanks in characters or in UTF-16).
    std::uint64_t v;
    if (dist == 1) {
      v = std::uint64_t{src[0]} * 0x0101010101010101ull;
    } else if (dist == 2) {
      std::uint16_t p;
      std::memcpy(&p, src, 2);
      v = std::uint64_t{p} * 0x0001000100010001ull;
    } else {
      std::uint32_t p;
      std::memcpy(&p, src, 4);
      v = std::uint64_t{p} * 0x0000000100000001ull;
    }
    do {
      std::memcpy(out, &v, 8);
      out += 8;
    } while (out < end);
  } else {
    // A short period: write one period's multiple of at least 8 bytes byte
    // by byte, then copy from that multiple back, which repeats the same
    // pattern without reading bytes not yet written.
    const std::size_t period = dist * ((8 + dist - 1) / dist);
    std::uint8_t* const first = out + std::min(period, length);
    while (out < first) *out++ = *src++;
    src = out - period;
    while (out < end) {
      std::memcpy(out, src, 8);
      out += 8;
      src += 8;
    }
  }
}

struct FastResult {
  FastStop stop;
  std::uint64_t distance;
};

// The low bits of `x` below the count in the low byte of `n`. With BMI2
// that is one instruction (bzhi), which the compiler does not always find
// for the mask expression; it is written out for that variant only, as an
// intrinsic would need the target in every function it is inlined through.
template <bool kBmi2>
[[gnu::always_inline]] inline std::uint64_t low_bits(std::uint64_t x, std::uint32_t n) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
  if constexpr (kBmi2) {
    std::uint64_t r;
    asm("bzhi %2, %1, %0" : "=r"(r) : "rm"(x), "r"(std::uint64_t{n}));
    return r;
  }
#endif
  return x & low_mask(n & 0xFFu);
}

// The hot loop. Works on local copies of the reader and output state and
// writes them back before it returns. Its body is compiled once for any
// processor and, on x86-64, once more with the BMI2 shifts and AVX2 copies
// (see inflate_fast below).
//
// Each pass starts right after a refill (at least 56 bits held) with the
// entry of the next code already looked up; a lookup only reads the tables
// and consumes nothing, so the loop may leave with an entry looked up and
// the reader's state stays exact. A pass decodes up to three literals or
// up to two literals and one match. The entry that follows a match is
// looked up before the match is copied, so that the copy and the table
// load overlap. A lookup is only made with at least 15 bits held, so that
// it never acts on bits that have not arrived.
//
// The bit count is kept "dirty": a consumed entry is subtracted whole, and
// only the count's low 8 bits are the count (entries consume at most 28
// bits, so the low byte never borrows from above).
template <bool kBmi2>
[[gnu::always_inline]] inline FastResult inflate_fast_body(BitReader& br,
                                                           const HuffmanTables& tables,
                                                           std::uint8_t* base, std::size_t& size,
                                                           std::size_t out_fast_limit) {
  const std::uint32_t* const lt = tables.litlen.entries();
  const std::uint32_t* const dt = tables.distance.entries();
  // The index widths the tables were built with: the usual ones, or less
  // for a code whose codes are all shorter (then it has no subtables).
  const unsigned lpb = tables.litlen.primary_bits();
  const unsigned dpb = tables.distance.primary_bits();
  const std::uint64_t lmask = low_mask(lpb);
  const std::uint64_t dmask = low_mask(dpb);

  const std::uint8_t* in = br.input.data() + br.pos;
  const std::uint8_t* const in_fast_end = br.input.data() + br.input.size() - kFastInputMargin;
  std::uint64_t bits = br.bits;
  std::uint32_t count = br.count;
  std::uint8_t* out = base + size;
  std::uint8_t* const out_fast_end = base + out_fast_limit;
  FastResult result{FastStop::Slow, 0};

  // Tops the buffer up to at least 56 bits with one unaligned load; only
  // whole bytes are taken, so the bits above the count stay genuine.
#define QUIB_REFILL()                      \
  do {                                     \
    bits |= load_u64(in) << (count & 63u); \
    in += ((count & 63u) ^ 63u) >> 3;      \
    count |= 56u;                          \
  } while (0)
  // Consumes an entry's code and extra bits.
#define QUIB_CONSUME(e_) \
  do {                   \
    bits >>= (e_)&63u;   \
    count -= (e_);       \
  } while (0)
  // The value of a length or distance entry: its base plus its extra bits,
  // read from `saved`, the bits as they were before the entry was consumed.
#define QUIB_VALUE(saved_, e_) \
  (entry_value(e_) +           \
   static_cast<std::size_t>(low_bits<kBmi2>((saved_), (e_)) >> (((e_) >> 8) & 63u)))

  // Looks up the entry of the next literal/length code; a code longer than
  // the primary index goes on through its subtable, so that `e` is always
  // a decoded entry. A code takes at most 15 bits in all.
#define QUIB_LOOKUP()                                                                     \
  do {                                                                                    \
    e = lt[bits & lmask];                                                                 \
    if (e & kSubtable) e = lt[entry_value(e) + ((bits >> lpb) & low_mask(entry_len(e)))]; \
  } while (0)
#define QUIB_LITERAL()                                  \
  do {                                                  \
    QUIB_CONSUME(e);                                    \
    *out++ = static_cast<std::uint8_t>(entry_value(e)); \
  } while (0)

  if (in <= in_fast_end && out <= out_fast_end) {
    QUIB_REFILL();
    std::uint32_t e;
    QUIB_LOOKUP();
    for (;;) {
      if (e & kLiteral) {
        // Three literal codes of up to 15 bits fit in the 56 bits held.
        QUIB_LITERAL();
        QUIB_LOOKUP();
        if (e & kLiteral) {
          QUIB_LITERAL();
          QUIB_LOOKUP();
          if (e & kLiteral) {
            QUIB_LITERAL();
            if (in > in_fast_end || out > out_fast_end) break;
            QUIB_REFILL();
            QUIB_LOOKUP();
            continue;
          }
        }
        // The code looked up lies within the bits held; the refill only
        // adds bits above them.
        QUIB_REFILL();
      }
      if (e & kExceptional) {
        if (e & kEndOfBlock) {
          QUIB_CONSUME(e);
          result.stop = FastStop::EndOfBlock;
        } else {
          // An invalid symbol, or no code within the 15 bits at hand.
          result.stop = FastStop::InvalidCode;
        }
        break;
      }
      // A length and its distance: at most 15 + 5 + 15 + 13 bits of the 56
      // held.
      std::uint64_t saved = bits;
      QUIB_CONSUME(e);
      const std::size_t length = QUIB_VALUE(saved, e);
      std::uint32_t d = dt[bits & dmask];
      if (d & kExceptional) {
        if (!(d & kSubtable)) {
          result.stop = FastStop::InvalidCode;
          break;
        }
        d = dt[entry_value(d) + ((bits >> dpb) & low_mask(entry_len(d)))];
        if (d & kExceptional) {
          result.stop = FastStop::InvalidCode;
          break;
        }
      }
      saved = bits;
      QUIB_CONSUME(d);
      const std::size_t dist = QUIB_VALUE(saved, d);
      if (dist > static_cast<std::size_t>(out - base)) {
        result.stop = FastStop::DistanceTooFar;
        result.distance = dist;
        break;
      }
      // Within the input margin: a pass refills at most twice before its
      // bounds are checked again.
      QUIB_REFILL();
      QUIB_LOOKUP();
      copy_match(out, dist, length);
      out += length;
      if (in > in_fast_end || out > out_fast_end) break;
    }
  }
#undef QUIB_REFILL
#undef QUIB_CONSUME
#undef QUIB_VALUE
#undef QUIB_LOOKUP
#undef QUIB_LITERAL

  br.pos = static_cast<std::size_t>(in - br.input.data());
  br.bits = bits;
  br.count = count & 0xFFu;
  size = static_cast<std::size_t>(out - base);
  return result;
}

// Each variant is kept out of line: on its own the loop's state stays in
// registers.
using InflateFast = FastResult (*)(BitReader&, const HuffmanTables&, std::uint8_t*, std::size_t&,
                                   std::size_t);

[[gnu::noinline]] FastResult inflate_fast_generic(BitReader& br, const HuffmanTables& tables,
                                                  std::uint8_t* base, std::size_t& size,
                                                  std::size_t out_fast_limit) {
  return inflate_fast_body<false>(br, tables, base, size, out_fast_limit);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// With BMI2 a shift by a register amount is one plain instruction instead
// of one bound to CL with a flags dependency; the bit buffer's chain of
// shifts is the loop's critical path, so this variant is markedly faster.
[[gnu::noinline, gnu::target("bmi2,avx2")]] FastResult inflate_fast_bmi2(
    BitReader& br, const HuffmanTables& tables, std::uint8_t* base, std::size_t& size,
    std::size_t out_fast_limit) {
  return inflate_fast_body<true>(br, tables, base, size, out_fast_limit);
}

InflateFast select_inflate_fast() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("bmi2") && __builtin_cpu_supports("avx2") ? inflate_fast_bmi2
                                                                          : inflate_fast_generic;
}
#else
InflateFast select_inflate_fast() { return inflate_fast_generic; }
#endif

// The hot loop for this processor, chosen once.
FastResult inflate_fast(BitReader& br, const HuffmanTables& tables, std::uint8_t* base,
                        std::size_t& size, std::size_t out_fast_limit) {
  static const InflateFast chosen = select_inflate_fast();
  return chosen(br, tables, base, size, out_fast_limit);
}

}  // namespace

Status<DecompressError> inflate_block_data(BitReader& in, const HuffmanTables& tables,
                                           InflateOutput& out) {
  // Tables built here never have wider indexes than the fast loop allows
  // for; any others are decoded by the careful path alone.
  const bool fast_tables = tables.litlen.primary_bits() <= HuffmanTable::kLitLenBits &&
                           tables.distance.primary_bits() <= HuffmanTable::kDistanceBits;
  for (;;) {
    // Fast section: enough input for unchecked refills, and room before
    // the limit for a whole iteration.
    if (fast_tables && in.input.size() - in.pos >= kFastInputMargin &&
        out.limit_ - out.size_ >= kFastOutputMargin) {
      if (!out.reserve_more(kFastOutputMargin, in.pos, in.input.size())) return err(out.refusal());
      const std::size_t by_capacity = out.buf_.size() - kFastOutputMargin - kCopyOverrun;
      std::uint64_t by_limit = out.limit_ - kFastOutputMargin;
      // With a budget the loop comes back at every stride to report its work.
      const std::size_t before = out.size_;
      if (out.budget_)
        by_limit = std::min<std::uint64_t>(by_limit, before + ExpansionBudget::kStride);
      const std::size_t fast_limit =
          static_cast<std::size_t>(std::min<std::uint64_t>(by_capacity, by_limit));
      FastResult r = inflate_fast(in, tables, out.buf_.data(), out.size_, fast_limit);
      if (!out.work(out.size_ - before)) return err(DecompressError::stopped());
      switch (r.stop) {
        case FastStop::EndOfBlock:
          return ok_unit;
        case FastStop::InvalidCode:
          return err(DecompressError::invalid_code());
        case FastStop::DistanceTooFar:
          return err(DecompressError::distance_too_far(r.distance, out.produced()));
        case FastStop::Slow:
          break;
      }
      // Stopped for want of capacity only: grow and go on fast.
      if (in.input.size() - in.pos >= kFastInputMargin &&
          out.limit_ - out.size_ >= kFastOutputMargin)
        continue;
    }

    // Careful step: one symbol, every bit and byte checked.
    QUIB_TRY(std::uint32_t e, decode_entry(tables.litlen, in));
    if (e & kLiteral) {
      if (out.size_ >= out.limit_ || !out.reserve_more(1, in.pos, in.input.size()))
        return err(out.refusal());
      out.buf_[out.size_++] = static_cast<std::uint8_t>(entry_value(e));
      continue;
    }
    if (e & kEndOfBlock) return ok_unit;
    if (e & kExceptional) return err(DecompressError::invalid_code());
    std::uint32_t extra;
    if (!in.read(entry_extra(e), extra)) return err(DecompressError::unexpected_end());
    const std::size_t length = entry_value(e) + extra;
    QUIB_TRY(std::uint32_t d, decode_entry(tables.distance, in));
    if (d & kExceptional) return err(DecompressError::invalid_code());
    if (!in.read(entry_extra(d), extra)) return err(DecompressError::unexpected_end());
    const std::size_t dist = entry_value(d) + extra;
    if (dist > out.size_) return err(DecompressError::distance_too_far(dist, out.produced()));
    if (!out.reserve_more(length, in.pos, in.input.size())) return err(out.refusal());
    std::uint8_t* p = out.buf_.data() + out.size_;
    const std::uint8_t* src = p - dist;
    for (std::size_t i = 0; i < length; ++i) p[i] = src[i];
    out.size_ += length;
  }
}

// ---------------------------------------------------------------------------
// inflate_raw

namespace {

Result<Bytes, DecompressError> inflate_stream(ByteView input, std::uint64_t limit,
                                              ExpansionBudget* budget) {
  BitReader in(input);
  // First capacity, a guess from the input alone: stored data comes out
  // as long as it went in, coded data typically three to ten times so. The
  // guess errs on the large side: room that is never written costs address
  // space only, while growing copies everything produced so far into pages
  // the process has not touched yet.
  const bool starts_stored = !input.empty() && ((input[0] >> 1) & 3u) == 0;
  InflateOutput out(limit, std::uint64_t{input.size()} * (starts_stored ? 1 : kCodedGuess), budget);
  DynamicTables dynamic;
  for (;;) {
    const std::size_t block_start = in.pos;
    std::uint32_t header;
    if (!in.read(3, header)) return err(DecompressError::unexpected_end());
    const bool final_block = header & 1u;
    const std::uint8_t type = static_cast<std::uint8_t>(header >> 1);
    switch (type) {
      case 0: {
        in.align_to_byte();
        if (input.size() - in.pos < 4) return err(DecompressError::unexpected_end());
        const std::uint16_t len = load_le16(input.data() + in.pos);
        const std::uint16_t nlen = load_le16(input.data() + in.pos + 2);
        if (static_cast<std::uint16_t>(~nlen) != len)
          return err(DecompressError::bad_code_lengths());
        in.pos += 4;
        if (input.size() - in.pos < len) return err(DecompressError::unexpected_end());
        QUIB_CHECK(out.append(input.subspan(in.pos, len)));
        in.pos += len;
        break;
      }
      case 1:
        QUIB_CHECK(inflate_block_data(in, fixed_huffman_tables(), out));
        break;
      case 2:
        QUIB_CHECK(read_dynamic_tables(in, dynamic.get()));
        QUIB_CHECK(inflate_block_data(in, dynamic.get(), out));
        break;
      default:
        return err(DecompressError::unsupported_block_type(type));
    }
    if (!out.work(kInflateBlockWork + (in.pos - block_start)))
      return err(DecompressError::stopped());
    if (final_block) return out.take();
  }
}

}  // namespace

Result<Bytes, DecompressError> inflate_raw(ByteView input, std::uint64_t limit) {
  return inflate_stream(input, limit, nullptr);
}

Result<Bytes, DecompressError> inflate_raw(ByteView input, std::uint64_t limit,
                                           ExpansionBudget& budget) {
  return inflate_stream(input, limit, &budget);
}

// ---------------------------------------------------------------------------
// Compression: one fixed-code block, greedy hash-chain matching.

namespace {

struct FixedCode {
  std::uint32_t bits;  // already reversed, extra bits above the code
  std::uint32_t len;
};

struct FixedCodes {
  FixedCode literal[kLitLenSymbols];
  FixedCode length[kMaxMatch + 1];  // code and extra bits of each match length
  FixedCode distance_code[30];
};

const FixedCodes& fixed_codes() {
  static const FixedCodes codes = [] {
    FixedCodes c{};
    for (unsigned sym = 0; sym < kLitLenSymbols; ++sym) {
      std::uint32_t code, len;
      if (sym < 144) {
        code = 0x30 + sym;
        len = 8;
      } else if (sym < 256) {
        code = 0x190 + (sym - 144);
        len = 9;
      } else if (sym < 280) {
        code = sym - 256;
        len = 7;
      } else {
        code = 0xC0 + (sym - 280);
        len = 8;
      }
      c.literal[sym] = {reverse_bits(code, len), len};
    }
    for (unsigned i = 0; i < 29; ++i) {
      const unsigned span = 1u << kLengthExtra[i];
      for (unsigned v = 0; v < span; ++v) {
        const unsigned length = kLengthBase[i] + v;
        if (length > kMaxMatch || (i == 27 && length == kMaxMatch)) continue;  // 258 is symbol 285
        const FixedCode& sym = c.literal[257 + i];
        c.length[length] = {sym.bits | (v << sym.len), sym.len + kLengthExtra[i]};
      }
    }
    for (unsigned i = 0; i < 30; ++i) c.distance_code[i] = {reverse_bits(i, 5), 5};
    return c;
  }();
  return codes;
}

// Distance symbol of a distance 1..32768.
inline unsigned distance_symbol(std::uint32_t dist) {
  const std::uint32_t v = dist - 1;
  if (v < 4) return v;
  const unsigned top = 31u - static_cast<unsigned>(std::countl_zero(v));
  return 2 * top + ((v >> (top - 1)) & 1u);
}

// Writes bits into a buffer sized for the whole output by the caller:
// the fixed-code block is given up before it outgrows the stored form, so
// it never needs more than the input plus a few bytes.
class BitWriter {
 public:
  explicit BitWriter(std::uint8_t* buf) : buf_(buf) {}
  void put(std::uint32_t bits, unsigned n) {
    acc_ |= std::uint64_t{bits} << fill_;
    fill_ += n;
    if (fill_ >= 32) {
      store_le32(buf_ + pos_, static_cast<std::uint32_t>(acc_));
      pos_ += 4;
      acc_ >>= 32;
      fill_ -= 32;
    }
  }
  std::size_t bytes_so_far() const { return pos_ + (fill_ + 7) / 8; }
  // The bits written, the last byte padded with zero bits.
  Bytes finish() {
    while (fill_ > 0) {
      buf_[pos_++] = static_cast<std::uint8_t>(acc_);
      acc_ >>= 8;
      fill_ = fill_ > 8 ? fill_ - 8 : 0;
    }
    return Bytes(buf_, buf_ + pos_);
  }

 private:
  std::uint8_t* buf_;
  std::size_t pos_ = 0;
  std::uint64_t acc_ = 0;
  unsigned fill_ = 0;
};

inline std::uint32_t hash3(const std::uint8_t* p) {
  const std::uint32_t v =
      std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16);
  return (v * 0x9E3779B1u) >> 17;
}

inline std::size_t match_length(const std::uint8_t* a, const std::uint8_t* b, std::size_t max) {
  std::size_t k = 0;
  while (k + 8 <= max) {
    const std::uint64_t x = load_u64(a + k) ^ load_u64(b + k);
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little)
        return k + static_cast<std::size_t>(std::countr_zero(x)) / 8;
      break;
    }
    k += 8;
  }
  while (k < max && a[k] == b[k]) ++k;
  return k;
}

constexpr unsigned kHashBits = 15;
constexpr std::size_t kHashSize = std::size_t{1} << kHashBits;
constexpr unsigned kMaxChain = 64;
// The head table of a short input has about as many entries as the input
// has positions, at least this many.
constexpr unsigned kMinHeadBits = 8;
// With a head table smaller than the hash, a chain also links positions
// whose hashes differ only in the bits the table drops; a walk passes over
// them without counting them as steps, but at most this many of them.
constexpr unsigned kMaxPassedOver = 4 * kMaxChain;
// Blocks of at most this many bytes are written into a buffer on the stack.
constexpr std::size_t kLocalBlockBytes = 4096;

// The match finder's tables for inputs whose positions fit 32 bits, one
// set per thread, kept for its life: at most a full head table and a chain
// over the window (192 KiB), allocated on first use and never zero-filled
// as a whole. Each input clears only the part of the head table it uses;
// the chain is written before it is read.
struct MatchTables {
  std::unique_ptr<std::uint32_t[]> head{new std::uint32_t[kHashSize]};
  std::unique_ptr<std::uint16_t[]> chain{new std::uint16_t[kWindow]};
};
MatchTables& thread_match_tables() {
  thread_local MatchTables tables;
  return tables;
}

// The fixed-code block, or an empty result when it grows to the size at
// which stored blocks win. The head table keeps position + 1 (0 = empty)
// by the top `head_bits` bits of a position's hash. The chain is a ring
// over the window, which is all a walk can reach, and holds for each
// position the distance back to the previous one with the same head entry
// (0 when there is none within the window: such a candidate would end the
// walk anyway); 16-bit entries keep it within 64 KiB. The candidates a walk
// counts are exactly those with the same hash, most recent first.
template <class Pos>
Bytes deflate_fixed(ByteView input, Pos* head, std::uint16_t* chain) {
  const std::uint8_t* const data = input.data();
  const std::size_t n = input.size();
  const FixedCodes& codes = fixed_codes();
  unsigned head_bits = kMinHeadBits;
  while (head_bits < kHashBits && (std::size_t{1} << head_bits) < n) ++head_bits;
  const unsigned drop = kHashBits - head_bits;
  std::fill(head, head + (std::size_t{1} << head_bits), Pos{0});
  const auto link = [&](std::size_t p, std::uint32_t h) {
    const Pos before = head[h >> drop];
    const std::size_t back = before == 0 ? 0 : p - (static_cast<std::size_t>(before) - 1);
    chain[p & (kWindow - 1)] = static_cast<std::uint16_t>(back > kWindow - 1 ? 0 : back);
    head[h >> drop] = static_cast<Pos>(p + 1);
  };
  const auto insert = [&](std::size_t p) { link(p, hash3(data + p)); };

  // The size of the input as one stored block: a fixed-code block that
  // reaches it is given up. Checked before every literal or match (at most
  // 31 bits), the block never takes more than that plus 8 bytes.
  const std::size_t stored_size = n + kStoredHeaderBytes;
  // A short input's block is written on the stack: only the result is
  // allocated.
  std::uint8_t local[kLocalBlockBytes];
  std::unique_ptr<std::uint8_t[]> heap;
  if (stored_size + 8 > sizeof local) heap.reset(new std::uint8_t[stored_size + 8]);
  BitWriter w(heap ? heap.get() : local);
  w.put(0b011, 3);  // BFINAL = 1, BTYPE = 01
  std::size_t i = 0;
  while (i < n) {
    if (w.bytes_so_far() >= stored_size) return {};
    std::size_t best = 0, best_dist = 0;
    if (n - i >= kMinMatch) {
      const std::uint32_t h = hash3(data + i);
      Pos cand = head[h >> drop];
      const std::size_t max_len = std::min<std::size_t>(kMaxMatch, n - i);
      unsigned steps = 0, passed = 0;
      while (cand != 0) {
        const std::size_t c = static_cast<std::size_t>(cand) - 1;
        if (i - c > kWindow) break;
        if (drop == 0 || hash3(data + c) == h) {
          // A candidate only wins when strictly longer, so it must match
          // the four bytes that end one past the current best length.
          if (best < 3 ? data[c] == data[i]
                       : load_u32(data + c + best - 3) == load_u32(data + i + best - 3)) {
            const std::size_t len = match_length(data + c, data + i, max_len);
            if (len > best) {
              best = len;
              best_dist = i - c;
              if (len == max_len) break;
            }
          }
          if (++steps == kMaxChain) break;
        } else if (++passed == kMaxPassedOver) {
          break;
        }
        const std::uint16_t back = chain[c & (kWindow - 1)];
        if (back == 0) break;
        cand = static_cast<Pos>(cand - back);
      }
      if (best < kMinMatch) link(i, h);
    }
    if (best >= kMinMatch) {
      const FixedCode& lc = codes.length[best];
      w.put(lc.bits, lc.len);
      const unsigned ds = distance_symbol(static_cast<std::uint32_t>(best_dist));
      const std::uint32_t dextra = static_cast<std::uint32_t>(best_dist) - kDistanceBase[ds];
      w.put(codes.distance_code[ds].bits | (dextra << 5), 5 + kDistanceExtra[ds]);
      const std::size_t end = i + best;
      const std::size_t last_insert = n >= kMinMatch ? n - kMinMatch : 0;
      for (std::size_t p = i; p < end && p <= last_insert; ++p) insert(p);
      i = end;
    } else {
      const FixedCode& c = codes.literal[data[i]];
      w.put(c.bits, c.len);
      ++i;
    }
  }
  w.put(0, 7);  // end of block: symbol 256 is seven 0 bits
  if (w.bytes_so_far() >= stored_size) return {};
  return w.finish();
}

Bytes stored_blocks(ByteView input) {
  const std::size_t blocks = input.empty() ? 1 : (input.size() + kMaxStored - 1) / kMaxStored;
  Bytes out;
  out.reserve(input.size() + kStoredHeaderBytes * blocks);
  std::size_t pos = 0;
  do {
    const std::size_t len = std::min(kMaxStored, input.size() - pos);
    const bool last = pos + len == input.size();
    out.push_back(last ? 1 : 0);
    append_le16(out, static_cast<std::uint16_t>(len));
    append_le16(out, static_cast<std::uint16_t>(~len));
    append_bytes(out, input.subspan(pos, len));
    pos += len;
  } while (pos < input.size());
  return out;
}

}  // namespace

Bytes deflate_raw(ByteView input) {
  Bytes fixed;
  if (input.size() < std::numeric_limits<std::uint32_t>::max()) {
    MatchTables& t = thread_match_tables();
    fixed = deflate_fixed<std::uint32_t>(input, t.head.get(), t.chain.get());
  } else {
    std::unique_ptr<std::uint64_t[]> head(new std::uint64_t[kHashSize]);
    std::unique_ptr<std::uint16_t[]> chain(new std::uint16_t[kWindow]);
    fixed = deflate_fixed<std::uint64_t>(input, head.get(), chain.get());
  }
  if (!fixed.empty()) return fixed;
  return stored_blocks(input);
}

}  // namespace quib::wire

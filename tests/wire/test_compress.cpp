// Compressed table content: the header checks, the skip bits before the
// first block, the stop at the declared length, and streams built from
// zlib's raw fixed and dynamic blocks shifted behind the prefix bits.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <optional>
#include <random>
#include <string>

#include "tests/support/testutil.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "tests/wire/support/alloc_watch.hpp"
#include "tests/wire/support/bit_sink.hpp"
#include "wire/compress.hpp"
#include "wire/container.hpp"

using namespace quib::wire;

namespace quib::wire {
void PrintTo(const DecompressError& e, std::ostream* os) { *os << e.debug(); }
}  // namespace quib::wire

namespace {

using quib::test::AllocWatch;
using quib::test::BitSink;
using quib::test::zlib_deflate;

Bytes header(std::uint32_t declared, std::uint8_t algorithm) {
  Bytes h = {0, 0, 0, 0, algorithm, 0x1F, 0x9D, 0x00};
  store_le32(h.data(), declared);
  return h;
}

// A chunk: the header, the skip count s, s skipped bits (ones, so that a
// decoder that does not skip them reads a different block header), then
// the block bits.
Bytes chunk(std::uint32_t declared, std::uint8_t algorithm, unsigned s, const BitSink& blocks) {
  BitSink b;
  b.bits(s, 2);
  b.bits(0x7, s);
  // Re-emit the blocks' bits after the prefix.
  const std::size_t total = blocks.out.size() * 8 - (blocks.fill ? 8 - blocks.fill : 0);
  for (std::size_t i = 0; i < total; ++i) b.bit(blocks.out[i / 8] >> (i % 8));
  Bytes out = header(declared, algorithm);
  out.insert(out.end(), b.out.begin(), b.out.end());
  return out;
}

BitSink as_bits(ByteView bytes) {
  BitSink b;
  b.stream(bytes);
  return b;
}

Bytes rows(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  int row = 0;
  while (s.size() < n) {
    char buf[96];
    std::snprintf(buf, sizeof buf, "%08d%-24s%012u%s", row++, rng() % 2 ? "Hex bolt M8" : "Washer",
                  static_cast<unsigned>(rng() % 100000), rng() % 5 ? "EA" : "KG");
    s += buf;
  }
  s.resize(n);
  return to_bytes(s);
}

DecompressError failure(const Bytes& bytes) {
  auto r = decompress_table_chunk(bytes);
  EXPECT_FALSE(r.ok());
  return r.ok() ? DecompressError::invalid_code() : r.error();
}

// A fixed block (last flag as given) of the literals of `text`.
BitSink fixed_block(std::string_view text, bool last) {
  BitSink b;
  b.bits(last ? 1 : 0, 1);
  b.bits(1, 2);
  for (char c : text) b.fixed(static_cast<unsigned char>(c));
  b.fixed(256);
  return b;
}

}  // namespace

TEST(CompressedTable, HeaderChecks) {
  EXPECT_EQ(failure(Bytes(7, 0x02)), DecompressError::too_short(7));
  EXPECT_EQ(failure(Bytes{}), DecompressError::too_short(0));
  EXPECT_EQ(failure(header(10, 0x02)), DecompressError::unexpected_end());
  Bytes alg1 = header(10, 0x11);
  alg1.push_back(0);
  EXPECT_EQ(failure(alg1), DecompressError::unsupported_algorithm(1));
  Bytes alg3 = header(10, 0xF3);
  EXPECT_EQ(failure(alg3), DecompressError::unsupported_algorithm(3));

  // 0x12 and 0x02 are both LZH: only the low four bits count.
  for (std::uint8_t alg : {std::uint8_t{0x02}, std::uint8_t{0x12}, std::uint8_t{0xA2}}) {
    auto r = decompress_table_chunk(chunk(3, alg, 0, fixed_block("abc", true)));
    ASSERT_TRUE(r.ok()) << int(alg) << " " << r.error().debug();
    EXPECT_EQ(as_chars(*r), "abc");
  }
}

TEST(CompressedTable, SkipBitsBeforeTheFirstBlock) {
  // s = 0..3; the skipped bits are ones, so a decoder that read its block
  // header from the wrong bit would see type 3 or a different block.
  for (unsigned s = 0; s <= 3; ++s) {
    SCOPED_TRACE(s);
    const Bytes c = chunk(5, 0x12, s, fixed_block("hello", true));
    auto r = decompress_table_chunk(c);
    ASSERT_TRUE(r.ok()) << r.error().debug();
    EXPECT_EQ(as_chars(*r), "hello");
  }
  // A first byte of 0x03 skips three bits: the header is bits 5, 6, 7.
  // 0x03 | (1 << 5) | (1 << 6) = last block, fixed.
  Bytes c = header(1, 0x02);
  BitSink rest;
  rest.fixed('Q');
  rest.fixed(256);
  c.push_back(0x63);
  c.insert(c.end(), rest.out.begin(), rest.out.end());
  auto r = decompress_table_chunk(c);
  ASSERT_TRUE(r.ok()) << r.error().debug();
  EXPECT_EQ(as_chars(*r), "Q");
}

TEST(CompressedTable, BlockTypesOutsideTheFormat) {
  for (std::uint8_t type : {std::uint8_t{0}, std::uint8_t{3}}) {
    BitSink b;
    b.bits(1, 1);
    b.bits(type, 2);
    b.bits(0, 5);
    b.out.insert(b.out.end(), {0x00, 0x00, 0xFF, 0xFF});  // a valid empty stored block
    EXPECT_EQ(failure(chunk(0, 0x02, 0, b)), DecompressError::unsupported_block_type(type));
  }
  // Also after a first block that did not fill the declared length.
  BitSink two = fixed_block("ab", false);
  two.bits(0, 1);
  two.bits(0, 2);
  two.bits(0, 5);
  EXPECT_EQ(failure(chunk(10, 0x02, 1, two)), DecompressError::unsupported_block_type(0));
}

TEST(CompressedTable, DeclaredLengthEndsTheStream) {
  struct Case {
    const char* name;
    std::uint32_t declared;
    BitSink blocks;
    bool ok;
    std::string output;
  };
  BitSink five_then_more = fixed_block("12345", false);
  {
    BitSink garbage;
    garbage.bits(0x7, 3);  // would be a type-3 block if it were read
    five_then_more.stream(garbage.out);
  }
  BitSink sixth = fixed_block("123456", false);
  BitSink short_last = fixed_block("abc", true);
  BitSink empty_block = fixed_block("", false);
  BitSink empty_then_literal = fixed_block("", false);
  {
    BitSink second = fixed_block("x", true);
    // Not reached: the empty first block already filled the length 0.
    empty_then_literal.stream(second.out);
  }
  BitSink literal = fixed_block("x", true);
  const Case cases[] = {
      {"filled by a block without the last flag", 5, five_then_more, true, "12345"},
      {"a sixth byte", 5, sixth, false, ""},
      {"last block ends early", 10, short_last, true, "abc"},
      {"declared 0, empty first block", 0, empty_block, true, ""},
      {"declared 0, empty block then more", 0, empty_then_literal, true, ""},
      {"declared 0, a literal", 0, literal, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decompress_table_chunk(chunk(c.declared, 0x02, 2, c.blocks));
    ASSERT_EQ(r.ok(), c.ok) << (r.ok() ? "" : r.error().debug());
    if (c.ok) {
      EXPECT_EQ(as_chars(*r), c.output);
    } else {
      EXPECT_EQ(r.error(), DecompressError::output_overflow(c.declared));
    }
  }
}

TEST(CompressedTable, ZlibFixedAndDynamicBlocks) {
  for (std::size_t n : {1u, 40u, 3000u, 60000u, 400000u}) {
    const Bytes input = rows(n, static_cast<std::uint32_t>(n));
    for (int strategy : {Z_FIXED, Z_DEFAULT_STRATEGY, Z_HUFFMAN_ONLY, Z_RLE}) {
      for (unsigned s = 0; s <= 3; s += 3) {
        SCOPED_TRACE("n=" + std::to_string(n) + " strategy=" + std::to_string(strategy) +
                     " s=" + std::to_string(s));
        const Bytes stream = zlib_deflate(input, 9, strategy);
        ASSERT_NE((stream[0] >> 1) & 3, 0) << "zlib chose a stored block";
        const Bytes c = chunk(static_cast<std::uint32_t>(n), 0x12, s, as_bits(stream));
        auto r = decompress_table_chunk(c);
        ASSERT_TRUE(r.ok()) << r.error().debug();
        EXPECT_EQ(*r, input);
        // One byte less declared: the stream overflows it.
        auto under = decompress_table_chunk(
            chunk(static_cast<std::uint32_t>(n - 1), 0x12, s, as_bits(stream)));
        ASSERT_FALSE(under.ok());
        EXPECT_EQ(under.error(), DecompressError::output_overflow(n - 1));
      }
    }
  }
}

TEST(CompressedTable, StopsAfterTheBlockThatFillsTheLength) {
  // zlib writes the first part as non-final blocks (Z_BLOCK ends a block
  // without a stored marker), then the rest. Declaring only the first
  // part's length ends the stream there; the rest is never decoded.
  const Bytes first = rows(70000, 5), second = rows(20000, 6);
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes stream(200000);
  z.next_out = stream.data();
  z.avail_out = static_cast<uInt>(stream.size());
  z.next_in = const_cast<Bytef*>(first.data());
  z.avail_in = static_cast<uInt>(first.size());
  ASSERT_EQ(deflate(&z, Z_BLOCK), Z_OK);
  z.next_in = const_cast<Bytef*>(second.data());
  z.avail_in = static_cast<uInt>(second.size());
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  stream.resize(z.total_out);
  deflateEnd(&z);

  auto head = decompress_table_chunk(
      chunk(static_cast<std::uint32_t>(first.size()), 0x02, 1, as_bits(stream)));
  ASSERT_TRUE(head.ok()) << head.error().debug();
  EXPECT_EQ(*head, first);

  Bytes both = first;
  both.insert(both.end(), second.begin(), second.end());
  auto all = decompress_table_chunk(
      chunk(static_cast<std::uint32_t>(both.size()), 0x02, 1, as_bits(stream)));
  ASSERT_TRUE(all.ok()) << all.error().debug();
  EXPECT_EQ(*all, both);
}

TEST(CompressedTable, HugeDeclaredLengthIsNotReserved) {
  // A few bytes of input declaring 4 GiB - 1: the output may grow only with
  // what the stream produces.
  const Bytes c = chunk(0xFFFFFFFF, 0x02, 0, fixed_block("tiny", true));
  std::size_t largest = 0;
  std::optional<Result<Bytes, DecompressError>> r;
  {
    AllocWatch watch;
    r.emplace(decompress_table_chunk(c));
    largest = watch.stats().largest;
  }
  ASSERT_TRUE(r->ok()) << r->error().debug();
  EXPECT_EQ(as_chars(**r), "tiny");
  EXPECT_LT(largest, std::size_t{1} << 20);

  // A run that expands 1000-fold still grows step by step, never to the
  // declared length at once.
  const Bytes run(2'000'000, 'x');
  const Bytes stream = zlib_deflate(run, 9, Z_DEFAULT_STRATEGY);
  const Bytes big = chunk(0xFFFFFFFF, 0x02, 0, as_bits(stream));
  std::optional<Result<Bytes, DecompressError>> expanded;
  {
    AllocWatch watch;
    expanded.emplace(decompress_table_chunk(big));
    largest = watch.stats().largest;
  }
  ASSERT_TRUE(expanded->ok()) << expanded->error().debug();
  EXPECT_EQ(**expanded, run);
  EXPECT_LT(largest, std::size_t{8} << 20);
}

TEST(CompressedTable, DeclaredLengthIsReservedOnce) {
  // Rows expand some 5 to 15 times: the output is allocated once, for the
  // declared length, and never grown and copied.
  for (const std::size_t n : {std::size_t{64} << 10, std::size_t{1} << 20, std::size_t{6} << 20}) {
    SCOPED_TRACE(n);
    const Bytes content = rows(n, 7);
    const Bytes c =
        chunk(static_cast<std::uint32_t>(n), 0x02, 0, as_bits(zlib_deflate(content, 6)));
    std::optional<Result<Bytes, DecompressError>> r;
    std::size_t big = 0;
    {
      AllocWatch watch;
      r.emplace(decompress_table_chunk(c));
      big = watch.stats().big;
    }
    ASSERT_TRUE(r->ok()) << r->error().debug();
    EXPECT_EQ(**r, content);
    EXPECT_EQ(big, 1u);
  }
}

TEST(CompressedTable, ExpansionDrawsFromTheBudget) {
  // A run of blanks that deflates about 1000-fold, declaring 4 GiB: the
  // budget, not the declared length, bounds it. A budget of exactly the
  // output expands it and is used up; one byte less refuses it and counts
  // as exhausted; the declared length still wins when it is the smaller.
  const std::size_t n = 3u << 20;
  const Bytes blank =
      chunk(0xFFFFFFFF, 0x02, 0, as_bits(zlib_deflate(Bytes(n, ' '), 9, Z_DEFAULT_STRATEGY)));
  struct Case {
    std::uint32_t declared;
    std::uint64_t budget;
    std::uint64_t limit;  // 0: expands
    bool exhausted;
  };
  const Case cases[] = {
      {0xFFFFFFFF, n, 0, false},
      {0xFFFFFFFF, n - 1, n - 1, true},
      {static_cast<std::uint32_t>(n - 1), n + 100, n - 1, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.budget);
    Bytes in = blank;
    store_le32(in.data(), c.declared);
    ExpansionBudget budget(c.budget);
    auto r = decompress_table_chunk(in, budget);
    if (c.limit == 0) {
      ASSERT_TRUE(r.ok()) << r.error().debug();
      EXPECT_EQ(r->size(), n);
      EXPECT_EQ(budget.left(), c.budget - n);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), DecompressError::output_overflow(c.limit));
      EXPECT_EQ(budget.left(), c.budget);
    }
    EXPECT_EQ(budget.exhausted(), c.exhausted);
  }

  // Chunks of one reply share their budget: the second of two that fit one
  // by one does not fit after the first.
  ExpansionBudget shared(n + n / 2);
  ASSERT_TRUE(decompress_table_chunk(blank, shared).ok());
  auto second = decompress_table_chunk(blank, shared);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), DecompressError::output_overflow(n / 2));
  EXPECT_EQ(shared.left(), n / 2);
}

TEST(CompressedTable, OneLongBlockAsksWhetherToGoOn) {
  // 16 MiB of blanks in one fixed block: the owner is asked at least once
  // per stride of output while the block is decoded, and a "no" ends the
  // expansion at once as Stopped, whatever the budget has left.
  const std::size_t n = 16u << 20;
  const Bytes stream = deflate_raw(Bytes(n, ' '));
  const Bytes in = chunk(0xFFFFFFFF, 0x02, 0, as_bits(stream));
  std::size_t asked = 0;
  ExpansionBudget counting(ExpansionBudget::kUnlimited, [&] { return ++asked > 0; });
  ASSERT_TRUE(decompress_table_chunk(in, counting).ok());
  EXPECT_GE(asked, n / ExpansionBudget::kStride / 2);

  asked = 0;
  ExpansionBudget stopping(ExpansionBudget::kUnlimited, [&] { return ++asked < 3; });
  auto r = decompress_table_chunk(in, stopping);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), DecompressError::stopped());
  EXPECT_TRUE(stopping.stopped());
  EXPECT_FALSE(stopping.exhausted());
  EXPECT_EQ(asked, 3u);
}

TEST(CompressedTable, ErrorsOfTheSharedBlockMachinery) {
  BitSink far;
  far.bits(1, 1);
  far.bits(1, 2);
  far.fixed('a');
  far.fixed(258);  // length 4
  far.code(2, 5);  // distance 3
  EXPECT_EQ(failure(chunk(100, 0x02, 0, far)), DecompressError::distance_too_far(3, 1));

  // The end-of-block code starts at bit 53 of the stream; cutting the
  // stream at bit 56 leaves three of its seven bits.
  Bytes cut = chunk(100, 0x02, 0, fixed_block("abcdef", true));
  cut.pop_back();
  EXPECT_EQ(failure(cut), DecompressError::unexpected_end());

  BitSink hlit;
  hlit.bits(1, 1);
  hlit.bits(2, 2);
  hlit.bits(30, 5);
  hlit.bits(0, 5);
  hlit.bits(0, 4);
  hlit.out.push_back(0);
  EXPECT_EQ(failure(chunk(100, 0x02, 0, hlit)), DecompressError::bad_code_lengths());
}

TEST(CompressedTableHeader, ParseAndWriteThePieceOfTheHeadThatIsRead) {
  // Declared length 0x00012345 little-endian, algorithm byte 0x12, the
  // mark, one unread byte, then the first stream byte (not part of the head).
  const Bytes chunk = quib::test::unhex("45230100 12 1F9D 77 01");
  auto h = parse_compressed_table_header(chunk);
  ASSERT_TRUE(h) << h.error().message();
  EXPECT_EQ(*h, (CompressedTableHeader{0x00012345, 0x12}));
  EXPECT_EQ(h->algorithm_code(), 2);
  // The mark is the recogniser's business: a head without it still parses.
  auto unmarked = parse_compressed_table_header(quib::test::unhex("01000000 A3 0000 00"));
  ASSERT_TRUE(unmarked);
  EXPECT_EQ(*unmarked, (CompressedTableHeader{1, 0xA3}));
  EXPECT_EQ(unmarked->algorithm_code(), 3);

  for (std::size_t n : {0u, 7u}) {
    auto short_head = parse_compressed_table_header(Bytes(n, 0x12));
    ASSERT_FALSE(short_head) << n;
    EXPECT_EQ(short_head.error(), CompressedTableHeaderError{n});
    EXPECT_EQ(short_head.error().message(), std::to_string(n) + "-byte compressed table header");
  }

  const auto written = compressed_table_header(CompressedTableHeader{0xA1B2C3D4, 0x11});
  EXPECT_EQ(quib::test::hex(Bytes(written.begin(), written.end())),
            quib::test::hex(quib::test::unhex("D4C3B2A1 11 1F9D 00")));
  // A written head behind a record prefix is recognised as compressed content.
  Bytes content = quib::test::unhex("7B02 00EA 00000000");
  content.insert(content.end(), written.begin(), written.end());
  EXPECT_EQ(detect_compressed_table(content), (CompressedTableHeader{0xA1B2C3D4, 0x11}));
  EXPECT_EQ(compressed_table_chunk(content).size(), 8u);
  EXPECT_TRUE(compressed_table_chunk(Bytes(8, 0)).empty());
}

TEST(CompressedTable, ContentRecognisedByTheReplyDecoderExpands) {
  // Whole table content: the 8-byte record prefix, then the chunk. The
  // recogniser looks at the prefix and the chunk's header; the expansion
  // starts at offset 8.
  const Bytes input = rows(5000, 21);
  const Bytes stream = zlib_deflate(input, 9, Z_DEFAULT_STRATEGY);
  Bytes content = {0x7B, 0x02, 0x00, 0xEA, 0x00, 0x00, 0x00, 0x00};
  const Bytes c = chunk(static_cast<std::uint32_t>(input.size()), 0x12, 2, as_bits(stream));
  content.insert(content.end(), c.begin(), c.end());
  const auto header = detect_compressed_table(content);
  ASSERT_TRUE(header.has_value());
  EXPECT_EQ(header->declared_length, input.size());
  auto r = decompress_table_chunk(ByteView(content).subspan(8));
  ASSERT_TRUE(r.ok()) << r.error().debug();
  EXPECT_EQ(*r, input);
}

namespace {

// What a sink was handed: the bytes it took, in order, and the largest
// offer it saw.
struct Handed {
  Bytes taken;
  std::size_t largest_offer = 0;
  std::size_t offers = 0;
};

// A sink that takes whole units of `unit` bytes of each offer (everything
// at the end, where the rest is offered once more), and says stop at offer
// `stop_at` (0: never).
InflateOutput::Sink unit_sink(Handed& h, std::size_t unit, std::size_t stop_at = 0) {
  return [&h, unit, stop_at](ByteView offered, std::size_t& taken) {
    ++h.offers;
    if (stop_at != 0 && h.offers == stop_at) return false;
    h.largest_offer = std::max(h.largest_offer, offered.size());
    taken = offered.size() / unit * unit;
    h.taken.insert(h.taken.end(), offered.begin(),
                   offered.begin() + static_cast<std::ptrdiff_t>(taken));
    return true;
  };
}

}  // namespace

TEST(CompressedTable, HandedOutAsMadeGivesTheSameBytes) {
  // Rows (matches up to 32 KiB back, dynamic blocks), a long run of blanks
  // (the longest matches) and rows wider than the window: the bytes taken
  // plus what is left at the end are the whole output, the budget is drawn
  // as by the whole expansion, and while the sink takes what it is offered
  // no offer is much larger than the window.
  const Bytes table_rows = rows(3u << 20, 5);
  const Bytes blanks(5u << 20, ' ');
  struct Case {
    const char* name;
    const Bytes* input;
    std::size_t window;
    std::size_t unit;  // the sink takes whole units of this many bytes
  };
  const Case cases[] = {
      {"rows, smallest window, all taken", &table_rows, 0, 1},
      {"rows, 256 KiB window, 188-byte rows", &table_rows, 256u << 10, 188},
      {"rows, 1 MiB window, 1000-byte rows", &table_rows, 1u << 20, 1000},
      {"rows wider than the window", &table_rows, 64u << 10, 300000},
      {"blanks, 64 KiB window, 7-byte rows", &blanks, 64u << 10, 7},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Bytes in = chunk(static_cast<std::uint32_t>(c.input->size()), 0x02, 1,
                           as_bits(zlib_deflate(*c.input, 6, Z_DEFAULT_STRATEGY)));
    ExpansionBudget whole_budget(64u << 20);
    auto whole = decompress_table_chunk(in, whole_budget);
    ASSERT_TRUE(whole.ok()) << whole.error().debug();
    ASSERT_EQ(*whole, *c.input);

    Handed h;
    ExpansionBudget budget(64u << 20);
    auto made = decompress_table_chunk_to(in, budget, c.window, unit_sink(h, c.unit));
    ASSERT_TRUE(made.ok()) << made.error().debug();
    EXPECT_EQ(*made, c.input->size());
    const std::size_t whole_units = c.input->size() / c.unit * c.unit;
    ASSERT_EQ(h.taken.size(), whole_units);
    EXPECT_TRUE(std::equal(h.taken.begin(), h.taken.end(), c.input->begin()));
    EXPECT_EQ(budget.left(), whole_budget.left());
    const std::size_t window = std::max<std::size_t>(c.window, 2 * InflateOutput::kHistory);
    if (c.unit < window) {
      EXPECT_LE(h.largest_offer, window + InflateOutput::kSlack);
      EXPECT_GE(h.offers, c.input->size() / window);
    }
  }
}

TEST(CompressedTable, HandedOutFailsAsTheWholeExpansionFails) {
  // Faults of the stream, a declared length the stream passes, a budget
  // too small, the budget's owner and the sink saying stop: the same error
  // as the whole expansion (Stopped for the sink), after the bytes before
  // the fault were handed out.
  const Bytes input = rows(1u << 20, 9);
  const Bytes good = chunk(static_cast<std::uint32_t>(input.size()), 0x02, 0,
                           as_bits(zlib_deflate(input, 6, Z_DEFAULT_STRATEGY)));
  Bytes cut = good;
  cut.resize(cut.size() / 2);
  Bytes short_declared = good;
  store_le32(short_declared.data(), static_cast<std::uint32_t>(input.size() / 3));
  BitSink far;
  far.bits(1, 1);
  far.bits(1, 2);
  far.fixed('a');
  far.fixed(258);
  far.code(2, 5);
  struct Case {
    const char* name;
    Bytes in;
    std::uint64_t budget;
    int stop_budget_at;  // the owner's n-th answer is no (0: never)
    std::size_t stop_sink_at;
    DecompressError want;
  };
  const Case cases[] = {
      {"cut in half", cut, 8u << 20, 0, 0, DecompressError::unexpected_end()},
      {"distance too far", chunk(100, 0x02, 0, far), 8u << 20, 0, 0,
       DecompressError::distance_too_far(3, 1)},
      {"declared length passed", short_declared, 8u << 20, 0, 0,
       DecompressError::output_overflow(input.size() / 3)},
      {"budget too small", good, input.size() - 1, 0, 0,
       DecompressError::output_overflow(input.size() - 1)},
      {"owner says stop", good, 8u << 20, 2, 0, DecompressError::stopped()},
      {"sink says stop", good, 8u << 20, 0, 3, DecompressError::stopped()},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    int asked = 0;
    auto keep_going = [&] { return c.stop_budget_at == 0 || ++asked < c.stop_budget_at; };
    if (c.stop_sink_at == 0) {
      ExpansionBudget whole_budget(c.budget, keep_going);
      auto whole = decompress_table_chunk(c.in, whole_budget);
      ASSERT_FALSE(whole.ok());
      EXPECT_EQ(whole.error(), c.want);
      asked = 0;
    }
    Handed h;
    ExpansionBudget budget(c.budget, keep_going);
    auto made = decompress_table_chunk_to(c.in, budget, 64u << 10, unit_sink(h, 1, c.stop_sink_at));
    ASSERT_FALSE(made.ok());
    EXPECT_EQ(made.error(), c.want);
    EXPECT_TRUE(std::equal(h.taken.begin(), h.taken.end(), input.begin()));
    if (c.stop_sink_at != 0) {
      EXPECT_EQ(h.offers, c.stop_sink_at);
    }
    EXPECT_EQ(budget.stopped(), c.stop_budget_at != 0);
  }
}

// Raw DEFLATE: the compressor's exact output for known inputs, the decoder's
// errors, and agreement with zlib (raw streams, windowBits -15) in both
// directions over several data shapes, sizes, levels and strategies.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/sample_data.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "tests/wire/support/alloc_watch.hpp"
#include "tests/wire/support/bit_sink.hpp"
#include "wire/deflate.hpp"

using namespace quib::wire;

namespace quib::wire {
void PrintTo(const DecompressError& e, std::ostream* os) { *os << e.debug(); }
}  // namespace quib::wire

namespace {

using quib::test::AllocWatch;
using quib::test::BitSink;
using quib::test::random_bytes;
using quib::test::table_like;
using quib::test::text_like;
using quib::test::zlib_deflate;
using quib::test::zlib_inflate;

constexpr std::uint64_t kNoLimit = std::uint64_t{1} << 40;

// ---- inputs

// Short periods (matches at distances 1..7 overlapping their own output)
// separated by random runs.
Bytes periodic(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b;
  while (b.size() < n) {
    const unsigned period = 1 + rng() % 7;
    const std::size_t run = 20 + rng() % 600;
    std::uint8_t pat[8];
    for (auto& x : pat) x = static_cast<std::uint8_t>(rng());
    for (std::size_t i = 0; i < run; ++i) b.push_back(pat[i % period]);
    for (int i = 0; i < 5; ++i) b.push_back(static_cast<std::uint8_t>(rng()));
  }
  b.resize(n);
  return b;
}

struct Shape {
  const char* name;
  Bytes (*make)(std::size_t, std::uint32_t);
};
const Shape kShapes[] = {
    {"text", text_like}, {"table", table_like}, {"random", random_bytes}, {"periodic", periodic}};
const std::size_t kSizes[] = {0, 1, 7, 100, 5000, 70000, 200000};

// Tokens of a fixed block, read with the exported block machinery.
struct Token {
  unsigned literal;  // 0..255, or 256 + length for a match
  unsigned distance;
  bool operator==(const Token&) const = default;
};

const unsigned kLenBase[29] = {3,  4,  5,  6,  7,  8,  9,  10, 11,  13,  15,  17,  19,  23, 27,
                               31, 35, 43, 51, 59, 67, 83, 99, 115, 131, 163, 195, 227, 258};
const unsigned kLenExtra[29] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2,
                                2, 3, 3, 3, 3, 4, 4, 4, 4, 5, 5, 5, 5, 0};
const unsigned kDistBase[30] = {1,    2,    3,    4,    5,    7,    9,    13,    17,    25,
                                33,   49,   65,   97,   129,  193,  257,  385,   513,   769,
                                1025, 1537, 2049, 3073, 4097, 6145, 8193, 12289, 16385, 24577};
const unsigned kDistExtra[30] = {0, 0, 0, 0, 1, 1, 2, 2,  3,  3,  4,  4,  5,  5,  6,
                                 6, 7, 7, 8, 8, 9, 9, 10, 10, 11, 11, 12, 12, 13, 13};

std::vector<Token> fixed_block_tokens(ByteView stream) {
  BitReader in(stream);
  std::uint32_t header = 0;
  EXPECT_TRUE(in.read(3, header));
  EXPECT_EQ(header, 3u) << "expected one final fixed block";
  const HuffmanTables& t = fixed_huffman_tables();
  std::vector<Token> tokens;
  for (;;) {
    auto sym = decode_symbol(t.litlen, in);
    if (!sym) {
      ADD_FAILURE() << sym.error().debug();
      return tokens;
    }
    if (*sym < 256) {
      tokens.push_back({*sym, 0});
      continue;
    }
    if (*sym == 256) return tokens;
    std::uint32_t extra = 0;
    EXPECT_TRUE(in.read(kLenExtra[*sym - 257], extra));
    const unsigned length = kLenBase[*sym - 257] + extra;
    auto dsym = decode_symbol(t.distance, in);
    if (!dsym) {
      ADD_FAILURE() << dsym.error().debug();
      return tokens;
    }
    EXPECT_TRUE(in.read(kDistExtra[*dsym], extra));
    tokens.push_back({256 + length, kDistBase[*dsym] + extra});
  }
}

// The greedy match finder written the plain way (full chain array, byte by
// byte comparison), as the reference for the compressor's token choice.
std::vector<Token> reference_tokens(ByteView in) {
  const std::size_t n = in.size();
  std::vector<std::int64_t> head(32768, -1), chain(n, -1);
  auto hash = [&](std::size_t p) {
    std::uint32_t v = in[p] | (in[p + 1] << 8) | (in[p + 2] << 16);
    return (v * 0x9E3779B1u) >> 17;
  };
  auto insert = [&](std::size_t p) {
    if (n - p < 3) return;
    auto h = hash(p);
    chain[p] = head[h];
    head[h] = static_cast<std::int64_t>(p);
  };
  std::vector<Token> tokens;
  std::size_t i = 0;
  while (i < n) {
    std::size_t best = 0, dist = 0;
    if (n - i >= 3) {
      std::int64_t c = head[hash(i)];
      const std::size_t max = std::min<std::size_t>(258, n - i);
      for (int steps = 0; c >= 0 && i - c <= 32768 && steps < 64; ++steps) {
        std::size_t len = 0;
        while (len < max && in[c + len] == in[i + len]) ++len;
        if (len > best) {
          best = len;
          dist = i - c;
          if (len == max) break;
        }
        c = chain[c];
      }
    }
    if (best >= 3) {
      tokens.push_back({static_cast<unsigned>(256 + best), static_cast<unsigned>(dist)});
      for (std::size_t p = i; p < i + best; ++p) insert(p);
      i += best;
    } else {
      tokens.push_back({in[i], 0});
      insert(i);
      ++i;
    }
  }
  return tokens;
}

Bytes range_bytes(unsigned from, unsigned to) {
  Bytes b;
  for (unsigned v = from; v <= to; ++v) b.push_back(static_cast<std::uint8_t>(v));
  return b;
}

DecompressError inflate_error(const Bytes& stream, std::uint64_t limit = kNoLimit) {
  auto r = inflate_raw(stream, limit);
  EXPECT_FALSE(r.ok());
  return r.ok() ? DecompressError::invalid_code() : r.error();
}

}  // namespace

// ---------------------------------------------------------------------------
// The compressor

TEST(DeflateRaw, KnownOutputs) {
  EXPECT_EQ(deflate_raw({}), (Bytes{0x03, 0x00}));

  // 32 nine-bit literals: 38 bytes of fixed code are not shorter than 37.
  const Bytes b32 = range_bytes(0x90, 0xAF);
  Bytes stored = {0x01, 0x20, 0x00, 0xDF, 0xFF};
  stored.insert(stored.end(), b32.begin(), b32.end());
  EXPECT_EQ(deflate_raw(b32), stored);

  // 20 of them: 24 bytes of fixed code are shorter than 25.
  const Bytes b20 = range_bytes(0x90, 0xA3);
  const Bytes fixed20 = deflate_raw(b20);
  EXPECT_EQ(fixed20.size(), 24u);
  EXPECT_EQ(fixed20[0] & 0x07, 0x03);
  EXPECT_EQ(zlib_inflate(fixed20), b20);
}

TEST(DeflateRaw, StoredFallbackAtItsExactThreshold) {
  // Distinct bytes leave no match: `eight` literals of 8 bits (0x00..) and
  // `nine` of 9 bits (0x90..) make a fixed-code block of
  // 3 + 8 eight + 9 nine + 7 bits, that is n + ceil((10 + nine) / 8) bytes.
  // The stored form takes n + 5; a fixed form of that size or more gives way.
  struct Case {
    const char* name;
    unsigned eight, nine;
    bool stored;
  };
  const Case cases[] = {
      {"one under: fixed n + 4", 0, 22, false},
      {"at: fixed n + 5 (fewest nine-bit literals)", 0, 23, true},
      {"at: fixed n + 5 (most nine-bit literals)", 0, 30, true},
      {"one over: fixed n + 6", 0, 31, true},
      {"one under, with eight-bit literals", 100, 22, false},
      {"at, with eight-bit literals", 100, 23, true},
      {"one over, with eight-bit literals", 100, 31, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes input = c.eight ? range_bytes(0x00, c.eight - 1) : Bytes{};
    const Bytes high = range_bytes(0x90, 0x90 + c.nine - 1);
    input.insert(input.end(), high.begin(), high.end());
    const std::size_t n = input.size();
    ASSERT_EQ(n, c.eight + c.nine);
    const Bytes out = deflate_raw(input);
    if (c.stored) {
      const auto len = static_cast<std::uint8_t>(n);
      Bytes stored = {0x01, len, 0x00, static_cast<std::uint8_t>(~len), 0xFF};
      stored.insert(stored.end(), input.begin(), input.end());
      EXPECT_EQ(out, stored);
    } else {
      EXPECT_EQ(out[0] & 0x07, 0x03) << "expected the fixed-code form";
      EXPECT_EQ(out.size(), n + 4);
    }
    EXPECT_EQ(zlib_inflate(out), input);
  }
}

TEST(DeflateRaw, LongRunIsOneLiteralAndDistanceOneMatches) {
  const Bytes run(100000, 0x41);
  const std::vector<Token> tokens = fixed_block_tokens(deflate_raw(run));
  ASSERT_EQ(tokens.size(), 1u + 387 + 1);
  EXPECT_EQ(tokens[0], (Token{0x41, 0}));
  for (std::size_t i = 1; i <= 387; ++i) ASSERT_EQ(tokens[i], (Token{256 + 258, 1})) << i;
  EXPECT_EQ(tokens.back(), (Token{256 + 153, 1}));
}

TEST(DeflateRaw, ChoosesTheGreedyMatchesOfThePlainAlgorithm) {
  // Includes repeats at exactly the window size and one byte beyond it.
  Bytes window_edge = random_bytes(300, 1);
  Bytes filler = text_like(32768 - 300, 2);
  Bytes far = window_edge;
  far.insert(far.end(), filler.begin(), filler.end());
  far.insert(far.end(), window_edge.begin(), window_edge.end());
  far.push_back(0);
  far.insert(far.end(), window_edge.begin(), window_edge.end());

  std::vector<Bytes> inputs = {text_like(60000, 3), table_like(90000, 4), periodic(40000, 5),
                               Bytes(1000, 0), far};
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    SCOPED_TRACE(k);
    const Bytes out = deflate_raw(inputs[k]);
    ASSERT_EQ(out[0] & 0x07, 0x03) << "expected the fixed-code form";
    EXPECT_EQ(fixed_block_tokens(out), reference_tokens(inputs[k]));
  }
  // The copy at exactly 32768 back is found.
  bool found = false;
  for (const Token& t : fixed_block_tokens(deflate_raw(far))) found |= t.distance == 32768;
  EXPECT_TRUE(found);
}

TEST(DeflateRaw, ShortInputsChooseTheGreedyMatchesOfThePlainAlgorithm) {
  // A short input's head table has fewer entries than the hash has values,
  // so its chains also link positions whose hashes differ: the walk must
  // pass over those without counting them. Repeated words give chains
  // longer than the 64 steps a walk may take, so a walk that counted the
  // others would stop short of the matches the plain algorithm finds.
  Bytes repeats;
  const Bytes block = random_bytes(60, 8);
  for (int i = 0; i < 4; ++i) {
    const Bytes gap = random_bytes(40, static_cast<std::uint32_t>(9 + i));
    repeats.insert(repeats.end(), gap.begin(), gap.end());
    repeats.insert(repeats.end(), block.begin(), block.end());
  }
  // A trigram U whose hash differs from that of T in the lowest bit only,
  // 70 times between two copies of T and a suffix: the walk from the
  // second T meets all the U first, and finds the match only when it does
  // not count them.
  const auto hash = [](const std::uint8_t* p) {
    return ((p[0] | (p[1] << 8) | (p[2] << 16)) * 0x9E3779B1u) >> 17;
  };
  const std::uint8_t t[3] = {'T', 'q', '#'};
  std::uint8_t u[3] = {};
  for (unsigned v = 0; v < (1u << 21) && hash(u) != (hash(t) ^ 1u); ++v)
    for (int b = 0; b < 3; ++b) u[b] = static_cast<std::uint8_t>(0x21 + (v >> (7 * b)) % 0x5E);
  ASSERT_EQ(hash(u), hash(t) ^ 1u);
  Bytes collisions(t, t + 3);
  const std::string suffix = "0123456789";
  collisions.insert(collisions.end(), suffix.begin(), suffix.end());
  for (int k = 0; k < 70; ++k) {
    collisions.insert(collisions.end(), u, u + 3);
    collisions.push_back(static_cast<std::uint8_t>(0x80 + k));
  }
  collisions.insert(collisions.end(), t, t + 3);
  collisions.insert(collisions.end(), suffix.begin(), suffix.end());

  const std::vector<Bytes> inputs = {text_like(16000, 11),
                                     text_like(3000, 12),
                                     table_like(12000, 13),
                                     periodic(3000, 14),
                                     text_like(200, 15),
                                     repeats,
                                     collisions};
  for (std::size_t k = 0; k < inputs.size(); ++k) {
    SCOPED_TRACE(k);
    const Bytes out = deflate_raw(inputs[k]);
    ASSERT_EQ(out[0] & 0x07, 0x03) << "expected the fixed-code form";
    EXPECT_EQ(fixed_block_tokens(out), reference_tokens(inputs[k]));
  }
}

TEST(DeflateRaw, ShortInputAllocatesOnlyItsOutput) {
  // The match finder's tables are the thread's, made by its first call;
  // later calls allocate the output and nothing sized by the window.
  const Bytes input = text_like(300, 16);
  (void)deflate_raw(input);
  AllocWatch watch;
  const Bytes out = deflate_raw(input);
  EXPECT_LE(watch.stats().count, 2u);
  EXPECT_LE(watch.stats().largest, input.size() + 64);
  EXPECT_EQ(zlib_inflate(out), input);
}

TEST(DeflateRaw, ZlibInflatesEveryShapeAndSize) {
  for (const Shape& shape : kShapes) {
    for (std::size_t n : kSizes) {
      SCOPED_TRACE(std::string(shape.name) + " " + std::to_string(n));
      const Bytes input = shape.make(n, static_cast<std::uint32_t>(n) + 7);
      const Bytes compressed = deflate_raw(input);
      EXPECT_EQ(zlib_inflate(compressed), input);
      // Never larger than the stored form.
      EXPECT_LE(compressed.size(), input.size() + 5 * (input.size() / 65535 + 1));
      auto back = inflate_raw(compressed, input.size());
      ASSERT_TRUE(back.ok()) << back.error().debug();
      EXPECT_EQ(*back, input);
    }
  }
}

// ---------------------------------------------------------------------------
// The decoder against zlib's compressor

TEST(InflateRaw, ReadsWhatZlibWritesAtEveryLevelAndStrategy) {
  const int strategies[] = {Z_DEFAULT_STRATEGY, Z_FILTERED, Z_HUFFMAN_ONLY, Z_RLE, Z_FIXED};
  for (const Shape& shape : kShapes) {
    for (std::size_t n : kSizes) {
      const Bytes input = shape.make(n, static_cast<std::uint32_t>(n) * 3 + 1);
      for (int level = 0; level <= 9; ++level) {
        for (int strategy : strategies) {
          SCOPED_TRACE(std::string(shape.name) + " n=" + std::to_string(n) +
                       " level=" + std::to_string(level) + " strategy=" + std::to_string(strategy));
          const Bytes stream = zlib_deflate(input, level, strategy);
          auto out = inflate_raw(stream, kNoLimit);
          ASSERT_TRUE(out.ok()) << out.error().debug();
          ASSERT_EQ(*out, input);
        }
      }
    }
  }
}

TEST(InflateRaw, TruncatedStreamsEndUnexpectedly) {
  // Every proper prefix lacks bits of the final block; none may decode by
  // treating the missing bits as zeros (a fixed end-of-block code is seven
  // zero bits), and none is an invalid code.
  struct Case {
    const char* name;
    Bytes stream;
  };
  const Bytes text = text_like(3000, 9);
  const Case cases[] = {
      {"dynamic", zlib_deflate(text, 9, Z_DEFAULT_STRATEGY)},
      {"fixed", zlib_deflate(text, 6, Z_FIXED)},
      {"stored", zlib_deflate(text, 0, Z_DEFAULT_STRATEGY)},
      {"ours", deflate_raw(text)},
      {"ours-run", deflate_raw(Bytes(5000, 0))},
  };
  for (const Case& c : cases) {
    for (std::size_t len = 0; len < c.stream.size(); ++len) {
      SCOPED_TRACE(std::string(c.name) + " prefix " + std::to_string(len));
      const Bytes prefix(c.stream.begin(), c.stream.begin() + static_cast<std::ptrdiff_t>(len));
      ASSERT_EQ(inflate_error(prefix), DecompressError::unexpected_end());
    }
  }
}

TEST(InflateRaw, LimitIsExactOnEveryPath) {
  // Sizes around the point where the fast loop hands over to the careful
  // one, for stored, fixed and dynamic blocks.
  for (std::size_t n : {1u, 10u, 300u, 5000u, 100000u}) {
    const Bytes input = table_like(n, 11);
    for (int level : {0, 1, 9}) {
      SCOPED_TRACE("n=" + std::to_string(n) + " level=" + std::to_string(level));
      const Bytes stream = zlib_deflate(input, level, Z_DEFAULT_STRATEGY);
      auto exact = inflate_raw(stream, n);
      ASSERT_TRUE(exact.ok()) << exact.error().debug();
      EXPECT_EQ(*exact, input);
      EXPECT_EQ(inflate_error(stream, n - 1), DecompressError::output_overflow(n - 1));
      if (n > 300) {
        EXPECT_EQ(inflate_error(stream, n - 259), DecompressError::output_overflow(n - 259));
      }
      // With bytes after the final block the fast loop runs to the very
      // end; every limit just below the size must still be refused.
      Bytes trailing = stream;
      trailing.insert(trailing.end(), 64, 0xA5);
      for (std::size_t below = 1; below <= std::min<std::size_t>(n, 300); ++below) {
        ASSERT_EQ(inflate_error(trailing, n - below), DecompressError::output_overflow(n - below))
            << below;
      }
      auto whole = inflate_raw(trailing, n);
      ASSERT_TRUE(whole.ok());
      EXPECT_EQ(*whole, input);
    }
  }
}

TEST(InflateRaw, StoredBlockAfterCodedBlockStartsAtTheNextByte) {
  // A long fixed block (so the decoder reads ahead), then a stored block:
  // the bytes read ahead must be given back before LEN is read.
  BitSink s;
  s.bits(0b010, 3);  // not final, fixed
  const std::string head = "read-ahead must not swallow the stored block";
  for (char ch : head) s.fixed(static_cast<unsigned char>(ch));
  s.fixed(256);
  s.bits(0b001, 3);  // final, stored
  s.fill = 0;        // pad to the byte boundary
  const std::string tail = "stored bytes follow the padding";
  append_le16(s.out, static_cast<std::uint16_t>(tail.size()));
  append_le16(s.out, static_cast<std::uint16_t>(~tail.size()));
  append_bytes(s.out, tail);
  s.out.insert(s.out.end(), 20, 0xEE);  // ignored after the final block

  auto out = inflate_raw(s.out, kNoLimit);
  ASSERT_TRUE(out.ok()) << out.error().debug();
  EXPECT_EQ(as_chars(*out), head + tail);
  EXPECT_EQ(zlib_inflate(s.out), *out);

  // zlib's own mix: coded blocks, empty stored blocks from flushes, then
  // stored data blocks after a switch to level 0.
  const Bytes a = text_like(50000, 12), b = random_bytes(3000, 13);
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes stream(200000);
  z.next_out = stream.data();
  z.avail_out = static_cast<uInt>(stream.size());
  z.next_in = const_cast<Bytef*>(a.data());
  z.avail_in = static_cast<uInt>(a.size());
  ASSERT_EQ(deflate(&z, Z_SYNC_FLUSH), Z_OK);
  ASSERT_EQ(deflateParams(&z, 0, Z_DEFAULT_STRATEGY), Z_OK);
  z.next_in = const_cast<Bytef*>(b.data());
  z.avail_in = static_cast<uInt>(b.size());
  ASSERT_EQ(deflate(&z, Z_FINISH), Z_STREAM_END);
  stream.resize(z.total_out);
  deflateEnd(&z);
  Bytes expected = a;
  expected.insert(expected.end(), b.begin(), b.end());
  auto mixed = inflate_raw(stream, kNoLimit);
  ASSERT_TRUE(mixed.ok()) << mixed.error().debug();
  EXPECT_EQ(*mixed, expected);
}

TEST(InflateRaw, DynamicTablesAreTheThreadsAfterItsFirstStream) {
  // Two dynamic tables are 53 KiB: allocated per stream they would be the
  // largest allocation of a small reply.
  const Bytes input = text_like(3000, 17);
  const Bytes stream = zlib_deflate(input, 6);
  ASSERT_EQ((stream[0] >> 1) & 3, 2) << "expected a dynamic block";
  (void)inflate_raw(stream, kNoLimit);
  AllocWatch watch;
  auto out = inflate_raw(stream, kNoLimit);
  ASSERT_TRUE(out.ok()) << out.error().debug();
  EXPECT_EQ(*out, input);
  EXPECT_LT(watch.stats().largest, sizeof(HuffmanTable));
}

TEST(InflateRaw, DecoderInsideADecoderGetsTablesOfItsOwn) {
  // The thread's tables are taken: the header of the first stream is read
  // into them, a second stream is decoded in between, and the first
  // stream's block still decodes with what was built for it.
  const Bytes first_input = text_like(5000, 18), second_input = table_like(5000, 19);
  const Bytes first = zlib_deflate(first_input, 6), second = zlib_deflate(second_input, 6);
  DynamicTables held;
  BitReader in(first);
  std::uint32_t header = 0;
  ASSERT_TRUE(in.read(3, header));
  ASSERT_EQ(header, 0b101u) << "expected one final dynamic block";
  ASSERT_TRUE(read_dynamic_tables(in, held.get()).ok());

  auto inner = inflate_raw(second, kNoLimit);
  ASSERT_TRUE(inner.ok()) << inner.error().debug();
  EXPECT_EQ(*inner, second_input);

  InflateOutput out(kNoLimit, 0);
  ASSERT_TRUE(inflate_block_data(in, held.get(), out).ok());
  EXPECT_EQ(out.take(), first_input);
}

TEST(InflateRaw, ThreadsCompressAndDecompressAtOnce) {
  // Each thread has its own match tables and dynamic tables: threads that
  // shared them would corrupt each other's streams.
  constexpr int kThreads = 4;
  std::vector<Bytes> inputs;
  for (int t = 0; t < kThreads; ++t)
    inputs.push_back(t % 2 ? table_like(40000, 30 + t) : text_like(40000, 30 + t));
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      const Bytes zlib_stream = zlib_deflate(inputs[t], 6);
      for (int round = 0; round < 30; ++round) {
        auto ours = inflate_raw(deflate_raw(inputs[t]), kNoLimit);
        auto theirs = inflate_raw(zlib_stream, kNoLimit);
        if (!ours.ok() || *ours != inputs[t] || !theirs.ok() || *theirs != inputs[t]) ++failures[t];
      }
    });
  }
  for (std::thread& th : threads) th.join();
  EXPECT_EQ(failures, std::vector<int>(kThreads, 0));
}

// ---------------------------------------------------------------------------
// Decoder errors

TEST(InflateRaw, ErrorsOfHandBuiltStreams) {
  struct Case {
    const char* name;
    Bytes stream;
    std::uint64_t limit;
    DecompressError expected;
  };
  auto fixed_block = [](auto body) {
    BitSink s;
    s.bits(0b011, 3);
    body(s);
    return s.out;
  };
  auto padded = [](Bytes b) {
    b.insert(b.end(), 40, 0x00);  // enough input for the fast loop
    return b;
  };
  std::vector<Case> cases = {
      {"stored ones' complement",
       {0x01, 0x00, 0x00, 0xFF, 0xFE},
       kNoLimit,
       DecompressError::bad_code_lengths()},
      {"no final block",
       {0x00, 0x00, 0x00, 0xFF, 0xFF},
       kNoLimit,
       DecompressError::unexpected_end()},
      {"empty input", {}, kNoLimit, DecompressError::unexpected_end()},
      {"block type 3", {0x07}, kNoLimit, DecompressError::unsupported_block_type(3)},
      {"block type 3 after a stored block",
       {0x00, 0x00, 0x00, 0xFF, 0xFF, 0x06},
       kNoLimit,
       DecompressError::unsupported_block_type(3)},
      {"stored block too long",
       {0x01, 0x0B, 0x00, 0xF4, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11},
       10,
       DecompressError::output_overflow(10)},
      {"stored bytes missing",
       {0x01, 0x05, 0x00, 0xFA, 0xFF, 1, 2},
       kNoLimit,
       DecompressError::unexpected_end()},
      {"match first", fixed_block([](BitSink& s) {
         s.fixed(257);
         s.fixed_distance(0);
         s.fixed(256);
       }),
       kNoLimit, DecompressError::distance_too_far(1, 0)},
      {"match too far, fast path", padded(fixed_block([](BitSink& s) {
         for (int i = 0; i < 12; ++i) s.fixed('a');
         s.fixed(258);
         s.fixed_distance(8);  // 17..24
         s.bits(3, 3);         // 20
         s.fixed(256);
       })),
       kNoLimit, DecompressError::distance_too_far(20, 12)},
      {"match one byte too far, fast path", padded(fixed_block([](BitSink& s) {
         for (int i = 0; i < 16; ++i) s.fixed('a');
         s.fixed(257);
         s.fixed_distance(8);  // 17..24
         s.bits(0, 3);         // 17
         s.fixed(256);
       })),
       kNoLimit, DecompressError::distance_too_far(17, 16)},
      {"match one byte too far, careful path", fixed_block([](BitSink& s) {
         for (int i = 0; i < 4; ++i) s.fixed('a');
         s.fixed(257);
         s.fixed_distance(4);  // 5..6
         s.bits(0, 1);         // 5
         s.fixed(256);
       }),
       kNoLimit, DecompressError::distance_too_far(5, 4)},
      {"literal/length 286", fixed_block([](BitSink& s) {
         s.fixed('x');
         s.fixed(286);
       }),
       kNoLimit, DecompressError::invalid_code()},
      {"literal/length 287, fast path", padded(fixed_block([](BitSink& s) {
         s.fixed('x');
         s.fixed(287);
       })),
       kNoLimit, DecompressError::invalid_code()},
      {"distance 30", fixed_block([](BitSink& s) {
         s.fixed('x');
         s.fixed(257);
         s.fixed_distance(30);
       }),
       kNoLimit, DecompressError::invalid_code()},
      {"distance 31, fast path", padded(fixed_block([](BitSink& s) {
         s.fixed('x');
         s.fixed(257);
         s.fixed_distance(31);
       })),
       kNoLimit, DecompressError::invalid_code()},
      {"distance extra bits missing", fixed_block([](BitSink& s) {
         s.fixed('x');
         s.fixed('y');
         s.fixed(257);
         s.fixed_distance(29);  // 13 extra bits that never arrive
       }),
       kNoLimit, DecompressError::unexpected_end()},
      {"literal past the limit", fixed_block([](BitSink& s) {
         for (int i = 0; i < 4; ++i) s.fixed('z');
         s.fixed(256);
       }),
       3, DecompressError::output_overflow(3)},
      {"match past the limit, after a valid distance check", padded(fixed_block([](BitSink& s) {
         s.fixed('z');
         s.fixed(285);  // 258
         s.fixed_distance(0);
         s.fixed(256);
       })),
       100, DecompressError::output_overflow(100)},
  };
  // The fast loop may run only while a whole iteration (three literals
  // and a longest match) fits below the limit: 45 literals and a 258-byte
  // match pass a limit of 300 by 3 bytes right after the loop's last
  // iteration would have started.
  cases.push_back({"literals and a match past the limit, fast path",
                   padded(fixed_block([](BitSink& s) {
                     for (int i = 0; i < 45; ++i) s.fixed('m');
                     s.fixed(285);
                     s.fixed_distance(0);
                     s.fixed(256);
                   })),
                   300, DecompressError::output_overflow(300)});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(inflate_error(c.stream, c.limit), c.expected);
    if (c.limit == kNoLimit) {
      EXPECT_FALSE(zlib_inflate(c.stream).has_value()) << "zlib accepts it";
    }
  }
}

TEST(InflateRaw, SmallStoredStreams) {
  auto empty = inflate_raw(Bytes{0x01, 0x00, 0x00, 0xFF, 0xFF}, kNoLimit);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->empty());

  Bytes ten = {0x01, 0x0A, 0x00, 0xF5, 0xFF, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
  auto exact = inflate_raw(ten, 10);
  ASSERT_TRUE(exact.ok());
  EXPECT_EQ(*exact, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 9, 10}));

  ten.insert(ten.end(), {0xDE, 0xAD});  // ignored after the final block
  auto trailing = inflate_raw(ten, 10);
  ASSERT_TRUE(trailing.ok());
  EXPECT_EQ(trailing->size(), 10u);
}

namespace {

// A dynamic block header built by hand: HLIT, HDIST, HCLEN, the code-length
// code, then the literal/length and distance lengths.
struct DynamicHeader {
  unsigned hlit = 0, hdist = 0;
  std::vector<std::uint8_t> cl_lengths;  // in the transmission order
  std::function<void(BitSink&)> lengths;
};

void write_header(BitSink& s, const DynamicHeader& h) {
  s.bits(0b101, 3);  // final, dynamic
  s.bits(h.hlit, 5);
  s.bits(h.hdist, 5);
  s.bits(static_cast<std::uint32_t>(h.cl_lengths.size() - 4), 4);
  for (std::uint8_t l : h.cl_lengths) s.bits(l, 3);
  if (h.lengths) h.lengths(s);
}

// A code-length code that gives every symbol 0..18 five bits (19 of the 32
// patterns): the canonical code of symbol k is k itself.
void cl_symbol(BitSink& s, unsigned sym) { s.code(sym, 5); }

DynamicHeader five_bit_cl() {
  DynamicHeader h;
  h.cl_lengths.assign(19, 5);
  return h;
}
}  // namespace

TEST(InflateRaw, DynamicHeaderErrors) {
  struct Case {
    const char* name;
    DynamicHeader header;
    DecompressError expected;
  };
  std::vector<Case> cases;
  {
    DynamicHeader h = five_bit_cl();
    h.hlit = 30;
    cases.push_back({"HLIT 30", h, DecompressError::bad_code_lengths()});
  }
  {
    DynamicHeader h = five_bit_cl();
    h.hdist = 30;
    cases.push_back({"HDIST 30", h, DecompressError::bad_code_lengths()});
  }
  {
    DynamicHeader h;
    h.cl_lengths = {1, 1, 1, 0};  // three codes of length 1
    cases.push_back({"over-subscribed code-length code", h, DecompressError::bad_code_lengths()});
  }
  {
    DynamicHeader h = five_bit_cl();
    h.lengths = [](BitSink& s) {
      cl_symbol(s, 16);
      s.bits(0, 2);
    };
    cases.push_back({"repeat as the first length", h, DecompressError::bad_code_lengths()});
  }
  {
    DynamicHeader h = five_bit_cl();
    h.lengths = [](BitSink& s) {
      cl_symbol(s, 18);
      s.bits(127, 7);  // 138 zeros
      cl_symbol(s, 18);
      s.bits(127, 7);  // 276 of a total of 257 + 1
    };
    cases.push_back({"repeat past the total", h, DecompressError::bad_code_lengths()});
  }
  for (unsigned last : {3u, 4u}) {
    // 138 + 117 zeros, then 3 (exactly the 258 lengths: an empty code,
    // then no block data) or 4 (one past the total).
    DynamicHeader h = five_bit_cl();
    h.lengths = [last](BitSink& s) {
      cl_symbol(s, 18);
      s.bits(127, 7);
      cl_symbol(s, 18);
      s.bits(106, 7);
      cl_symbol(s, 17);
      s.bits(last - 3, 3);
    };
    cases.push_back(
        {last == 3 ? "repeat up to the total" : "repeat one past the total", h,
         last == 3 ? DecompressError::unexpected_end() : DecompressError::bad_code_lengths()});
  }
  {
    DynamicHeader h = five_bit_cl();
    // 258 lengths: three symbols of length 1 among the literal/lengths.
    h.lengths = [](BitSink& s) {
      cl_symbol(s, 1);
      cl_symbol(s, 1);
      cl_symbol(s, 1);
      cl_symbol(s, 18);
      s.bits(127, 7);
      cl_symbol(s, 18);
      s.bits(105, 7);  // 3 + 138 + 116 = 257
      cl_symbol(s, 0);
    };
    cases.push_back({"over-subscribed literal code", h, DecompressError::bad_code_lengths()});
  }
  {
    DynamicHeader h = five_bit_cl();
    // A complete code-length code, but the 15-bit pattern 11111 (symbol 31
    // of the five-bit code) is not one of its 19 codes.
    h.lengths = [](BitSink& s) {
      s.code(0x1F, 5);
      s.bits(0x3FF, 10);
      s.out.insert(s.out.end(), 4, 0xFF);
    };
    cases.push_back({"uncovered code-length pattern", h, DecompressError::invalid_code()});
  }
  {
    DynamicHeader h = five_bit_cl();
    h.lengths = [](BitSink& s) { cl_symbol(s, 8); };  // then the input ends
    cases.push_back({"header cut short", h, DecompressError::unexpected_end()});
  }
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BitSink s;
    write_header(s, c.header);
    EXPECT_EQ(inflate_error(s.out), c.expected);
  }
}

TEST(InflateRaw, IncompleteCodesDecodeWhatTheyCover) {
  // A dynamic block with two literal/length codes, 'A' and end of block,
  // and one distance code. With one bit each the literal/length code is
  // complete and zlib reads the block too; with two bits each the patterns
  // 10 and 11 are uncovered.
  //
  // The code-length code is complete (zlib insists): 18 has the code 0,
  // and 0, 1, 2, 3 have 100, 101, 110, 111. Transmitted lengths, in the
  // order 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1.
  const std::uint8_t cl[18] = {0, 0, 1, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 3, 0, 3};
  auto cl_code = [](BitSink& s, unsigned sym) {
    if (sym == 18)
      s.code(0, 1);
    else
      s.code(0b100 + sym, 3);
  };
  auto header = [&](BitSink& s, unsigned len) {
    s.bits(0b101, 3);  // final, dynamic
    s.bits(0, 5);      // 257 literal/length lengths
    s.bits(0, 5);      // 1 distance length
    s.bits(18 - 4, 4);
    for (std::uint8_t l : cl) s.bits(l, 3);
    // 65 zeros, 'A', 190 zeros, end of block, then the distance length.
    cl_code(s, 18);
    s.bits(65 - 11, 7);
    cl_code(s, len);
    cl_code(s, 18);
    s.bits(138 - 11, 7);
    cl_code(s, 18);
    s.bits(52 - 11, 7);
    cl_code(s, len);
    cl_code(s, 1);
  };
  for (unsigned len : {1u, 2u}) {
    SCOPED_TRACE(len);
    BitSink s;
    header(s, len);
    for (int i = 0; i < 5; ++i) s.code(0, len);  // AAAAA
    s.code(1, len);                              // end of block
    auto out = inflate_raw(s.out, kNoLimit);
    ASSERT_TRUE(out.ok()) << out.error().debug();
    EXPECT_EQ(as_chars(*out), "AAAAA");
    if (len == 1) {
      EXPECT_EQ(zlib_inflate(s.out), *out);
      continue;
    }
    BitSink bad;
    header(bad, len);
    bad.code(0, 2);
    bad.code(3, 2);  // uncovered
    bad.out.insert(bad.out.end(), 3, 0xFF);
    EXPECT_EQ(inflate_error(bad.out), DecompressError::invalid_code());
    // The same pattern at the very end of the input: the 15 bits that
    // would prove it invalid never arrive.
    BitSink cut;
    header(cut, len);
    cut.code(3, 2);
    EXPECT_EQ(inflate_error(cut.out), DecompressError::unexpected_end());
  }
}

// ---------------------------------------------------------------------------
// Hand-coded dynamic blocks: codes of every length, matches of every short
// distance, block mixes that make the output grow

namespace {

// The canonical codes of a set of code lengths (0 = no code).
std::vector<std::uint32_t> canonical_codes(const std::vector<std::uint8_t>& lengths) {
  unsigned count[16] = {};
  for (std::uint8_t l : lengths) ++count[l];
  count[0] = 0;
  std::uint32_t next[16] = {};
  std::uint32_t code = 0;
  for (unsigned len = 1; len < 16; ++len) {
    code = (code + count[len - 1]) << 1;
    next[len] = code;
  }
  std::vector<std::uint32_t> codes(lengths.size());
  for (std::size_t sym = 0; sym < lengths.size(); ++sym)
    if (lengths[sym] != 0) codes[sym] = next[lengths[sym]]++;
  return codes;
}

// Complete code lengths for `n` symbols, some as long as 15 bits: a chain
// of lengths 1..15 first, then random leaves split until there are `n`.
std::vector<std::uint8_t> deep_complete_lengths(unsigned n, std::mt19937& rng) {
  std::vector<std::uint8_t> leaves = {0};
  while (leaves.size() < 16) {  // split the deepest leaf: 1, 2, ..., 15, 15
    auto deepest = std::max_element(leaves.begin(), leaves.end());
    const std::uint8_t d = static_cast<std::uint8_t>(*deepest + 1);
    *deepest = d;
    leaves.push_back(d);
  }
  while (leaves.size() < n) {
    const std::size_t i = rng() % leaves.size();
    if (leaves[i] >= 15) continue;
    ++leaves[i];
    leaves.push_back(leaves[i]);
  }
  std::shuffle(leaves.begin(), leaves.end(), rng);
  return leaves;
}

// One final dynamic block with the given code lengths (257..286 literal/
// length and 1..30 distance symbols).
struct DynamicCoder {
  std::vector<std::uint8_t> lit_lengths, dist_lengths;
  std::vector<std::uint32_t> lit_codes, dist_codes;
  BitSink s;

  DynamicCoder(std::vector<std::uint8_t> lit, std::vector<std::uint8_t> dist)
      : lit_lengths(std::move(lit)), dist_lengths(std::move(dist)) {
    lit_codes = canonical_codes(lit_lengths);
    dist_codes = canonical_codes(dist_lengths);
    s.bits(0b101, 3);
    s.bits(static_cast<std::uint32_t>(lit_lengths.size() - 257), 5);
    s.bits(static_cast<std::uint32_t>(dist_lengths.size() - 1), 5);
    // A complete code-length code (zlib insists): four bits for each of
    // the lengths 0..15, no repeat symbols. In the transmission order
    // 16 17 18 0 8 7 9 6 10 5 11 4 12 3 13 2 14 1 15 the first three are 0.
    s.bits(19 - 4, 4);
    for (int i = 0; i < 19; ++i) s.bits(i < 3 ? 0 : 4, 3);
    for (std::uint8_t l : lit_lengths) s.code(l, 4);
    for (std::uint8_t l : dist_lengths) s.code(l, 4);
  }
  void lit(unsigned sym) { s.code(lit_codes[sym], lit_lengths[sym]); }
  void literal(std::uint8_t b, Bytes& expected) {
    lit(b);
    expected.push_back(b);
  }
  // A match of `length` (3..258) from `distance` back, appended to `expected`.
  void match(unsigned length, unsigned distance, Bytes& expected) {
    unsigned ls = 28;
    while (kLenBase[ls] > length) --ls;
    lit(257 + ls);
    s.bits(length - kLenBase[ls], kLenExtra[ls]);
    unsigned ds = 29;
    while (kDistBase[ds] > distance) --ds;
    s.code(dist_codes[ds], dist_lengths[ds]);
    s.bits(distance - kDistBase[ds], kDistExtra[ds]);
    for (unsigned i = 0; i < length; ++i) expected.push_back(expected[expected.size() - distance]);
  }
  Bytes finish() {
    lit(256);
    return s.out;
  }
};

// Our output and zlib's for `stream`, with 0..17 bytes after it (so that the
// end of the block falls on each side of the fast loop's input margin), and
// a limit one byte short.
void expect_inflates_to(const Bytes& stream, const Bytes& expected) {
  EXPECT_EQ(zlib_inflate(stream), expected) << "the oracle refuses the stream";
  for (std::size_t trailing = 0; trailing <= 17; ++trailing) {
    SCOPED_TRACE("trailing " + std::to_string(trailing));
    Bytes padded = stream;
    padded.insert(padded.end(), trailing, 0x5A);
    auto out = inflate_raw(padded, expected.size());
    ASSERT_TRUE(out.ok()) << out.error().debug();
    ASSERT_EQ(*out, expected);
  }
  if (!expected.empty()) {
    EXPECT_EQ(inflate_error(stream, expected.size() - 1),
              DecompressError::output_overflow(expected.size() - 1));
  }
}

}  // namespace

TEST(InflateRaw, CodesOfEveryLengthAgreeWithZlib) {
  // Literal/length codes longer than the primary table index, and distance
  // codes too, each as literal, length, distance and end of block, used
  // uniformly so that the long ones are frequent.
  for (std::uint32_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 rng(seed);
    DynamicCoder c(deep_complete_lengths(286, rng), deep_complete_lengths(30, rng));
    Bytes expected;
    const int tokens = seed % 2 ? 4000 : 60;
    for (int t = 0; t < tokens; ++t) {
      if (expected.empty() || rng() % 3 == 0) {
        c.literal(static_cast<std::uint8_t>(rng()), expected);
        continue;
      }
      const unsigned ls = rng() % 29;
      // 258 only as symbol 285, never as 284 with all extra bits set.
      const unsigned spread = ls == 27 ? 31 : 1u << kLenExtra[ls];
      const unsigned length = kLenBase[ls] + rng() % spread;
      unsigned ds = rng() % 30;
      while (kDistBase[ds] > expected.size()) --ds;
      const unsigned most =
          std::min<std::size_t>(kDistBase[ds] + (1u << kDistExtra[ds]) - 1, expected.size());
      c.match(length, kDistBase[ds] + rng() % (most - kDistBase[ds] + 1), expected);
    }
    expect_inflates_to(c.finish(), expected);
  }
}

// A complete code over `n` symbols (n >= 2) whose codes are no longer than
// n needs: lengths L - 1 and L, shuffled.
std::vector<std::uint8_t> shallow_complete_lengths(unsigned n, std::mt19937& rng) {
  unsigned longest = 1;
  while ((1u << longest) < n) ++longest;
  std::vector<std::uint8_t> lengths(n, static_cast<std::uint8_t>(longest));
  for (unsigned i = 0; i < (1u << longest) - n; ++i)
    lengths[i] = static_cast<std::uint8_t>(longest - 1);
  std::shuffle(lengths.begin(), lengths.end(), rng);
  return lengths;
}

// `length` for each of `symbols`, 0 for the others of `n`.
std::vector<std::uint8_t> lengths_for(unsigned n, std::initializer_list<unsigned> symbols,
                                      std::uint8_t length) {
  std::vector<std::uint8_t> lengths(n, 0);
  for (unsigned s : symbols) lengths[s] = length;
  return lengths;
}

TEST(InflateRaw, CodesShorterThanThePrimaryIndexAgreeWithZlib) {
  // Dynamic codes whose longest literal/length or distance code is shorter
  // than the primary table index, including codes of a few symbols and a
  // single one-bit distance code; tokens use only the symbols that have
  // codes, many (the fast loop) and few (the careful path).
  std::mt19937 setup(7);
  struct Case {
    const char* name;
    std::vector<std::uint8_t> lit, dist;
  };
  const Case cases[] = {
      {"9-bit literal/length, 5-bit distance", shallow_complete_lengths(286, setup),
       shallow_complete_lengths(30, setup)},
      {"9-bit literal/length, one distance", shallow_complete_lengths(286, setup), {1}},
      {"16 four-bit literals, one distance",
       lengths_for(257,
                   {'a', 'b', 'c', 'd', 'e', 'f', 'g', 'h', 'i', 'j', 'k', 'l', 'm', 'n', 'o', 256},
                   4),
       {1}},
      {"8 literals and 7 lengths, 2-bit distance",
       lengths_for(264,
                   {'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H', 256, 257, 258, 259, 260, 261, 262, 263},
                   4),
       lengths_for(4, {0, 1, 2, 3}, 2)},
  };
  for (const Case& k : cases) {
    for (const int tokens : {4000, 60}) {
      SCOPED_TRACE(std::string(k.name) + ", " + std::to_string(tokens) + " tokens");
      std::mt19937 rng(static_cast<std::uint32_t>(tokens));
      DynamicCoder c(k.lit, k.dist);
      std::vector<unsigned> literals, lengths, distances;
      for (unsigned s = 0; s < 256; ++s)
        if (k.lit[s] != 0) literals.push_back(s);
      for (unsigned s = 257; s < k.lit.size(); ++s)
        if (k.lit[s] != 0) lengths.push_back(s - 257);
      for (unsigned s = 0; s < k.dist.size(); ++s)
        if (k.dist[s] != 0) distances.push_back(s);
      Bytes expected;
      for (int t = 0; t < tokens; ++t) {
        const unsigned ds = distances[rng() % distances.size()];
        if (lengths.empty() || kDistBase[ds] > expected.size() || rng() % 3 == 0) {
          c.literal(static_cast<std::uint8_t>(literals[rng() % literals.size()]), expected);
          continue;
        }
        const unsigned ls = lengths[rng() % lengths.size()];
        const unsigned spread = ls == 27 ? 31 : 1u << kLenExtra[ls];
        const unsigned most =
            std::min<std::size_t>(kDistBase[ds] + (1u << kDistExtra[ds]) - 1, expected.size());
        c.match(kLenBase[ls] + rng() % spread, kDistBase[ds] + rng() % (most - kDistBase[ds] + 1),
                expected);
      }
      expect_inflates_to(c.finish(), expected);
    }
  }
}

TEST(InflateRaw, LongUncoveredCodeIsInvalid) {
  // An incomplete literal/length code whose uncovered patterns are 15 bits
  // long, so that they lie in a subtable: within the fast loop the pattern
  // is an invalid code; cut short at the very end of the input, it is an
  // unexpected end.
  std::vector<std::uint8_t> lit(286, 0);
  for (unsigned i = 0; i < 14; ++i) lit[i] = static_cast<std::uint8_t>(i + 1);  // 1..14
  lit[256] = 15;  // end of block takes one of the two 15-bit patterns; 111...1 is uncovered
  std::vector<std::uint8_t> dist(1, 1);
  for (bool at_end : {false, true}) {
    SCOPED_TRACE(at_end ? "at the end" : "fast loop");
    DynamicCoder c(lit, dist);
    Bytes expected;
    for (int i = 0; i < 50 || (at_end && (c.s.fill < 2 || c.s.fill > 4)); ++i)
      c.literal(static_cast<std::uint8_t>(i % 14), expected);
    if (at_end) {
      // 12 to 14 of the 15 ones, ending on a byte boundary: whatever code
      // the lookup finds needs a bit that never arrives.
      const unsigned ones = 16 - c.s.fill;
      c.s.code((1u << ones) - 1, ones);
      ASSERT_EQ(c.s.fill, 0u);
    } else {
      c.s.code(0x7FFF, 15);
      c.s.out.insert(c.s.out.end(), 40, 0);
    }
    EXPECT_EQ(inflate_error(c.s.out),
              at_end ? DecompressError::unexpected_end() : DecompressError::invalid_code());
  }
}

TEST(InflateRaw, OverlappingMatchCopies) {
  // Every distance up to 40 with lengths around the copy widths (8 and 16
  // bytes) and long ones, in the fast loop (many matches) and near the end
  // of the input (the careful path), with the fixed code.
  const unsigned lengths[] = {3, 4, 7, 8, 9, 15, 16, 17, 31, 32, 33, 100, 257, 258};
  for (bool careful : {false, true}) {
    SCOPED_TRACE(careful ? "careful" : "fast");
    for (unsigned dist = 1; dist <= 40; ++dist) {
      SCOPED_TRACE("distance " + std::to_string(dist));
      BitSink s;
      s.bits(0b011, 3);  // final, fixed
      Bytes expected;
      auto literal = [&](std::uint8_t b) {
        s.fixed(b);
        expected.push_back(b);
      };
      for (unsigned i = 0; i < 40; ++i) literal(static_cast<std::uint8_t>('A' + (i * 7) % 26));
      for (unsigned length : lengths) {
        if (careful && length != lengths[(dist * 5) % std::size(lengths)]) continue;
        unsigned ls = 28;
        while (kLenBase[ls] > length) --ls;
        s.fixed(257 + ls);
        s.bits(length - kLenBase[ls], kLenExtra[ls]);
        unsigned ds = 29;
        while (kDistBase[ds] > dist) --ds;
        s.fixed_distance(ds);
        s.bits(dist - kDistBase[ds], kDistExtra[ds]);
        for (unsigned i = 0; i < length; ++i) expected.push_back(expected[expected.size() - dist]);
        literal(static_cast<std::uint8_t>('a' + length % 26));
      }
      s.fixed(256);
      expect_inflates_to(s.out, expected);
    }
  }
}

TEST(InflateRaw, StoredAndCodedBlocksWhileTheOutputGrows) {
  // zlib switched between levels: coded blocks that expand many times
  // (runs), stored blocks larger than what is held, and an output of
  // several MiB, so that both kinds of block meet every growth step.
  const Bytes run(3u << 20, 'r');
  const Bytes noise = random_bytes(700000, 21);
  const Bytes text = text_like(400000, 22);
  const std::pair<int, const Bytes*> parts[] = {{9, &run}, {0, &noise}, {6, &text}, {0, &noise},
                                                {1, &run}, {0, &text},  {9, &noise}};
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 9, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  Bytes stream(16u << 20);
  z.next_out = stream.data();
  z.avail_out = static_cast<uInt>(stream.size());
  Bytes expected;
  for (std::size_t i = 0; i < std::size(parts); ++i) {
    ASSERT_EQ(deflateParams(&z, parts[i].first, Z_DEFAULT_STRATEGY), Z_OK);
    const Bytes& part = *parts[i].second;
    z.next_in = const_cast<Bytef*>(part.data());
    z.avail_in = static_cast<uInt>(part.size());
    const bool last = i + 1 == std::size(parts);
    ASSERT_EQ(deflate(&z, last ? Z_FINISH : Z_SYNC_FLUSH), last ? Z_STREAM_END : Z_OK);
    expected.insert(expected.end(), part.begin(), part.end());
  }
  stream.resize(z.total_out);
  deflateEnd(&z);
  for (std::uint64_t limit : {std::uint64_t{expected.size()}, std::uint64_t{64} << 20}) {
    auto out = inflate_raw(stream, limit);
    ASSERT_TRUE(out.ok()) << out.error().debug();
    EXPECT_TRUE(*out == expected);
  }
  for (std::uint64_t short_by : {1u, 258u, 70000u}) {
    const std::uint64_t limit = expected.size() - short_by;
    EXPECT_EQ(inflate_error(stream, limit), DecompressError::output_overflow(limit));
  }
}

// ---------------------------------------------------------------------------
// Table building and symbol decoding

TEST(HuffmanTable, CanonicalCodesDecodeToTheirSymbols) {
  // RFC 1951's example: lengths (3, 3, 3, 3, 3, 2, 4, 4) give F=00, A=010,
  // B=011, C=100, D=101, E=110, G=1110, H=1111.
  const std::uint8_t lengths[] = {3, 3, 3, 3, 3, 2, 4, 4};
  HuffmanTable t;
  ASSERT_TRUE(build_huffman_table(lengths, HuffmanTable::Alphabet::CodeLength, t).ok());
  const std::pair<unsigned, unsigned> codes[] = {{0b010, 3}, {0b011, 3}, {0b100, 3},  {0b101, 3},
                                                 {0b110, 3}, {0b00, 2},  {0b1110, 4}, {0b1111, 4}};
  BitSink s;
  const unsigned order[] = {7, 0, 5, 6, 1, 4, 2, 3, 5, 5};
  for (unsigned sym : order) s.code(codes[sym].first, codes[sym].second);
  s.out.push_back(0);
  BitReader in(s.out);
  for (unsigned sym : order) {
    auto got = decode_symbol(t, in);
    ASSERT_TRUE(got.ok());
    EXPECT_EQ(*got, sym);
  }

  // Long codes go through subtables: a literal/length code with lengths
  // up to 15 bits.
  std::uint8_t deep[288] = {};
  for (unsigned i = 0; i < 15; ++i) deep[i] = static_cast<std::uint8_t>(i + 1);
  deep[15] = 15;  // complete: 1, 2, ..., 15, 15
  HuffmanTable lt;
  ASSERT_TRUE(build_huffman_table(deep, HuffmanTable::Alphabet::LitLen, lt).ok());
  BitSink d;
  // Code of symbol k (k < 15) is k ones then a zero; symbol 15 is 15 ones.
  for (unsigned k : {14u, 15u, 0u, 12u, 11u})
    d.code(k == 15 ? 0x7FFF : ((1u << (k + 1)) - 2), k == 15 ? 15 : k + 1);
  d.out.insert(d.out.end(), 2, 0);
  BitReader din(d.out);
  for (unsigned k : {14u, 15u, 0u, 12u, 11u}) {
    auto got = decode_symbol(lt, din);
    ASSERT_TRUE(got.ok()) << k;
    EXPECT_EQ(*got, k);
  }
}

TEST(HuffmanTable, RefusedLengthSets) {
  struct Case {
    const char* name;
    std::vector<std::uint8_t> lengths;
    HuffmanTable::Alphabet alphabet;
    bool accepted;
  };
  const Case cases[] = {
      {"length 16", {16, 1}, HuffmanTable::Alphabet::LitLen, false},
      {"three of length 1", {1, 1, 1}, HuffmanTable::Alphabet::LitLen, false},
      {"over-subscribed at length 3", {2, 2, 2, 3, 3, 3}, HuffmanTable::Alphabet::Distance, false},
      {"full at length 3", {2, 2, 2, 3, 3}, HuffmanTable::Alphabet::Distance, true},
      {"more symbols than the alphabet", std::vector<std::uint8_t>(33, 5),
       HuffmanTable::Alphabet::Distance, false},
      {"incomplete", {1, 3}, HuffmanTable::Alphabet::Distance, true},
      {"empty", {0, 0, 0}, HuffmanTable::Alphabet::LitLen, true},
      {"exactly full", {1, 2, 3, 3}, HuffmanTable::Alphabet::CodeLength, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HuffmanTable t;
    auto r = build_huffman_table(c.lengths, c.alphabet, t);
    EXPECT_EQ(r.ok(), c.accepted);
    if (!r.ok()) {
      EXPECT_EQ(r.error(), DecompressError::bad_code_lengths());
    }
  }
}

TEST(DecompressError, DebugForms) {
  const std::pair<DecompressError, const char*> cases[] = {
      {DecompressError::too_short(7), "TooShort { len: 7 }"},
      {DecompressError::unsupported_algorithm(1), "UnsupportedAlgorithm { algorithm: 1 }"},
      {DecompressError::unexpected_end(), "UnexpectedEnd"},
      {DecompressError::invalid_code(), "InvalidCode"},
      {DecompressError::unsupported_block_type(3), "UnsupportedBlockType { block_type: 3 }"},
      {DecompressError::bad_code_lengths(), "BadCodeLengths"},
      {DecompressError::distance_too_far(40, 12), "DistanceTooFar { distance: 40, produced: 12 }"},
      {DecompressError::output_overflow(67108864), "OutputOverflow { declared: 67108864 }"},
  };
  for (const auto& [e, text] : cases) EXPECT_EQ(e.debug(), text);
}

#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <optional>
#include <random>
#include <string>
#include <vector>

#include "tests/support/testutil.hpp"
#include "wire/ni.hpp"

namespace quib::wire {
namespace {

Bytes frame_of(const Bytes& payload) {
  Bytes out;
  EXPECT_TRUE(write_ni_frame(payload, out).ok());
  return out;
}

using quib::test::pattern;

// Takes every complete frame, copying each payload.
std::vector<Bytes> drain(NiFrameReader& r) {
  std::vector<Bytes> out;
  for (;;) {
    auto f = r.next_ni_frame();
    EXPECT_TRUE(f.ok());
    if (!f.ok() || !*f) return out;
    out.emplace_back((*f)->begin(), (*f)->end());
  }
}

TEST(NiWrite, AppendsLengthAndPayloadAfterExistingBytes) {
  Bytes out = {0xAA, 0xBB};
  ASSERT_TRUE(write_ni_frame(Bytes{}, out).ok());
  EXPECT_EQ(out, (Bytes{0xAA, 0xBB, 0, 0, 0, 0}));

  ASSERT_TRUE(write_ni_frame(Bytes{1, 2, 3}, out).ok());
  EXPECT_EQ(out, (Bytes{0xAA, 0xBB, 0, 0, 0, 0, 0, 0, 0, 3, 1, 2, 3}));

  Bytes big;
  ASSERT_TRUE(write_ni_frame(pattern(70000, 1), big).ok());
  EXPECT_EQ(load_be32(big.data()), 70000u);
  EXPECT_EQ(big.size(), 70004u);
}

TEST(NiWrite, RefusesPayloadTheLengthFieldCannotHold) {
  // 4 GiB of untouched address space: the writer must refuse it from its
  // size alone, before reading a byte of it.
  const std::size_t n = std::size_t{1} << 32;
  void* p = mmap(nullptr, n, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  if (p == MAP_FAILED) GTEST_SKIP() << "no address space for a 4 GiB mapping";
  Bytes out = {9};
  auto r = write_ni_frame(ByteView(static_cast<const std::uint8_t*>(p), n), out);
  munmap(p, n);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), (NiError{n, 0xFFFFFFFFu}));
  EXPECT_EQ(out, Bytes{9});
}

TEST(NiReader, EmptyFrameAndFramesOneAfterTheOther) {
  NiFrameReader r(kNiDefaultLimit);
  Bytes stream = {0, 0, 0, 0};
  const Bytes a = pattern(5, 1), b = pattern(300, 2);
  for (const Bytes& p : {a, b}) {
    const Bytes f = frame_of(p);
    stream.insert(stream.end(), f.begin(), f.end());
  }
  r.push(stream);
  EXPECT_EQ(drain(r), (std::vector<Bytes>{Bytes{}, a, b}));
  EXPECT_EQ(r.remaining(), 0u);
}

TEST(NiReader, FrameComesOutOnlyAfterItsLastByte) {
  NiFrameReader r(kNiDefaultLimit);
  const Bytes payload = pattern(10, 3);
  const Bytes f = frame_of(payload);
  for (std::size_t i = 0; i + 1 < f.size(); ++i) {
    r.push(ByteView(&f[i], 1));
    auto got = r.next_ni_frame();
    ASSERT_TRUE(got.ok());
    EXPECT_FALSE(*got) << "frame reported after " << i + 1 << " bytes";
  }
  r.push(ByteView(&f.back(), 1));
  auto got = r.next_ni_frame();
  ASSERT_TRUE(got.ok() && *got);
  EXPECT_EQ(Bytes((*got)->begin(), (*got)->end()), payload);
}

TEST(NiReader, LimitIsCheckedFromTheLengthFieldAlone) {
  struct Case {
    std::uint32_t declared;
    bool refused;
  };
  for (const Case& c : {Case{0x10000001, true}, Case{0xFFFFFFFF, true}, Case{0x10000000, false}}) {
    NiFrameReader r(0x10000000);
    Bytes head(4);
    store_be32(head.data(), c.declared);
    r.push(head);
    auto got = r.next_ni_frame();
    if (c.refused) {
      ASSERT_FALSE(got.ok());
      EXPECT_EQ(got.error(), (NiError{c.declared, 0x10000000}));
      EXPECT_EQ(got.error().message(),
                fmt::format("NI payload of {} bytes exceeds the configured limit of 268435456",
                            c.declared));
      // Nothing consumed, the same error again.
      auto again = r.next_ni_frame();
      ASSERT_FALSE(again.ok());
      EXPECT_EQ(again.error(), got.error());
      EXPECT_EQ(r.consumed(), 0u);
    } else {
      ASSERT_TRUE(got.ok());
      EXPECT_FALSE(*got);
    }
    // Nothing was allocated for the declared payload.
    EXPECT_LT(r.capacity(), std::size_t{1} << 20);
  }
}

TEST(NiReader, PayloadOfExactlyTheLimitIsAccepted) {
  const std::uint64_t limit = 1000;
  for (std::uint64_t len : {limit, limit + 1}) {
    NiFrameReader r(limit);
    r.push(frame_of(pattern(static_cast<std::size_t>(len), 4)));
    auto got = r.next_ni_frame();
    EXPECT_EQ(got.ok(), len == limit) << len;
    if (got.ok()) {
      ASSERT_TRUE(*got);
      EXPECT_EQ((*got)->size(), limit);
    }
  }
}

TEST(NiReader, CompactsOnlyOnceHalfIsConsumed) {
  NiFrameReader r(kNiDefaultLimit);
  Bytes stream;
  std::vector<Bytes> payloads;
  for (std::uint8_t i = 0; i < 3; ++i) {
    payloads.push_back(pattern(100, i));
    const Bytes f = frame_of(payloads.back());
    stream.insert(stream.end(), f.begin(), f.end());
  }
  r.push(stream);
  auto take = [&](const Bytes& want) {
    auto got = r.next_ni_frame();
    ASSERT_TRUE(got.ok() && *got);
    EXPECT_EQ(Bytes((*got)->begin(), (*got)->end()), want);
  };
  take(payloads[0]);
  EXPECT_EQ(r.consumed(), 104u);
  take(payloads[1]);  // 104 * 2 < 312: nothing moved before this frame
  EXPECT_EQ(r.consumed(), 208u);
  EXPECT_EQ(r.filled(), 312u);
  take(payloads[2]);  // 208 * 2 >= 312: the third frame moved to the front first
  EXPECT_EQ(r.consumed(), 104u);
  EXPECT_EQ(r.filled(), 104u);
}

TEST(NiReader, ShrinksABufferGrownForALargeFrame) {
  // After a 1 MiB frame has been taken, the next call moves what is left to
  // the front and reallocates when 4 x remaining < capacity: to 64 KiB when
  // at most 64 KiB remain, else to exactly the filled length. With more left
  // the buffer keeps its capacity. What is left is one more frame, which
  // must come out intact either way.
  struct Case {
    std::size_t left_over;
    std::optional<std::size_t> capacity_after;  // nullopt: unchanged
  };
  const Case cases[] = {
      {0, 65536}, {65536, 65536}, {100 * 1024, 100 * 1024}, {700 * 1024, std::nullopt}};
  for (const Case& c : cases) {
    NiFrameReader r(kNiDefaultLimit);
    const Bytes big_payload = pattern((1 << 20) - 4, 5);
    r.push(frame_of(big_payload));
    const Bytes tail_payload = c.left_over ? pattern(c.left_over - 4, 6) : Bytes{};
    if (c.left_over) r.push(frame_of(tail_payload));
    const std::size_t capacity_before = r.capacity();
    ASSERT_GE(capacity_before, std::size_t{1} << 20);

    auto got = r.next_ni_frame();
    ASSERT_TRUE(got.ok() && *got);
    EXPECT_EQ(Bytes((*got)->begin(), (*got)->end()), big_payload);

    auto next = r.next_ni_frame();
    ASSERT_TRUE(next.ok());
    EXPECT_EQ(r.capacity(), c.capacity_after.value_or(capacity_before)) << c.left_over;
    if (c.left_over) {
      ASSERT_TRUE(*next);
      EXPECT_EQ(Bytes((*next)->begin(), (*next)->end()), tail_payload);
    } else {
      EXPECT_FALSE(*next);
    }
  }
}

TEST(NiReader, RandomSplitsGiveTheSameFramesAsOneBuffer) {
  std::mt19937 rng(1234);
  std::vector<Bytes> payloads;
  Bytes stream;
  for (int i = 0; i < 300; ++i) {
    const std::size_t len = (rng() % 4 == 0) ? rng() % 40000 : rng() % 64;
    Bytes p(len);
    for (auto& b : p) b = static_cast<std::uint8_t>(rng());
    const Bytes f = frame_of(p);
    stream.insert(stream.end(), f.begin(), f.end());
    payloads.push_back(std::move(p));
  }
  for (int round = 0; round < 20; ++round) {
    NiFrameReader r(kNiDefaultLimit);
    std::vector<Bytes> got;
    std::size_t pos = 0;
    while (pos < stream.size()) {
      const std::size_t n = std::min<std::size_t>(stream.size() - pos, 1 + rng() % 20000);
      r.push(ByteView(stream).subspan(pos, n));
      pos += n;
      for (Bytes& b : drain(r)) got.push_back(std::move(b));
    }
    ASSERT_EQ(got, payloads) << "round " << round;
  }
}

}  // namespace
}  // namespace quib::wire

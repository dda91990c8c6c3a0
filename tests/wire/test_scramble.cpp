// Password scrambling: known answers (key positions wrapping past 63, the
// position byte t(i) growing with i), the seed prefix, and the refusals.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/support/testutil.hpp"
#include "wire/scramble.hpp"

using namespace quib::wire;

namespace {

using quib::test::hex;

struct KnownAnswer {
  std::string password;
  std::uint32_t seed;
  const char* scrambled;  // hex
};

TEST(ScramblePassword, KnownAnswers) {
  const KnownAnswer cases[] = {
      {"", 0x12345678, "78563412"},
      {"A", 0, "000000005e"},                                // start 0, t(0) = 0: 'A' ^ key[0]
      {"AB", 1, "010000000d19"},                             // start 3
      {"Secret!1", 0x12345678, "7856341287f74b4000d8d5fd"},  // start 59, wraps to 0
      {"~ ~ ~ ~ ~ ~", 0xDEADBEEF, "efbeadde0746ce4f9e7fe697d6971e"},
      {"0123456789", 0xFFFFFFFF, "ffffffff37d6d7e9e59bbb95f917"},  // start 62
      {std::string(40, 'x'), 0x3E,
       "3e000000341ee42a2c7bc1a30de3592b8dab5143ede399bbbd60e8bcc4d8100ca4c098acc488d07c54b15a8f"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.password);
    auto r = scramble_password(c.password, c.seed);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(hex(r->view()), c.scrambled);
    EXPECT_EQ(r->size(), 4 + c.password.size());
  }
}

TEST(ScramblePassword, SeedsDifferingAboveBit7ShareThePositionBytes) {
  // t(i) depends on the low 8 bits of the seed only; the key start differs
  // (57 and 49 here), so the outputs differ exactly by the key bytes.
  auto a = scramble_password("PASSWORD", 0x17);
  auto b = scramble_password("PASSWORD", 0x117);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(hex(a->view()), "17000000e294dd7acd727d3b");
  EXPECT_EQ(hex(b->view()), "1701000013036ce9bced6485");
}

TEST(ScramblePassword, Refusals) {
  struct Case {
    std::string password;
    std::optional<PasswordError> error;
  };
  const Case cases[] = {
      {std::string(40, '~'), std::nullopt},
      {std::string(40, ' '), std::nullopt},
      {std::string(41, 'a'), PasswordError::too_long(41)},
      // The length is checked first, even when bytes are not printable.
      {std::string(41, '\t'), PasswordError::too_long(41)},
      {std::string(200, '\x7f'), PasswordError::too_long(200)},
      {"pass\tword", PasswordError::not_printable()},
      {"pass\x7f", PasswordError::not_printable()},
      {"caf\xc3\xa9", PasswordError::not_printable()},
      {std::string("a\0b", 3), PasswordError::not_printable()},
      {"\x1f", PasswordError::not_printable()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(hex(as_bytes(c.password)));
    auto r = scramble_password(c.password, 7);
    if (c.error) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), *c.error);
    } else {
      EXPECT_TRUE(r.ok());
    }
  }
}

TEST(ScramblePassword, Messages) {
  EXPECT_EQ(PasswordError::too_long(41).message(),
            "password of 41 bytes exceeds the maximum of 40");
  EXPECT_EQ(PasswordError::not_printable().message(),
            "password contains characters outside printable ASCII");
}

TEST(ScramblePassword, MovedFromHoldsNothing) {
  auto r = scramble_password("secret", 99);
  ASSERT_TRUE(r.ok());
  ScrambledPassword a = std::move(r).value();
  ScrambledPassword b = std::move(a);
  EXPECT_EQ(a.size(), 0u);
  EXPECT_EQ(b.size(), 10u);
  ScrambledPassword c(Bytes{1, 2});
  c = std::move(b);
  EXPECT_EQ(b.size(), 0u);
  EXPECT_EQ(ByteView(c).size(), 10u);
}

}  // namespace

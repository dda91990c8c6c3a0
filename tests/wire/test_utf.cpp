#include <gtest/gtest.h>

#include <random>

#include "tests/support/testutil.hpp"
#include "wire/bytes.hpp"
#include "wire/result.hpp"
#include "wire/utf.hpp"

using namespace quib::wire;

namespace {

using quib::test::B;

TEST(Endian, LoadsAndStoresAgree) {
  std::uint8_t buf[8];
  store_be32(buf, 0x01020304u);
  EXPECT_EQ(B({1, 2, 3, 4}), Bytes(buf, buf + 4));
  EXPECT_EQ(load_be32(buf), 0x01020304u);
  EXPECT_EQ(load_le32(buf), 0x04030201u);
  store_le64(buf, 0x0102030405060708ull);
  EXPECT_EQ(buf[0], 8);
  EXPECT_EQ(load_le64(buf), 0x0102030405060708ull);
  EXPECT_EQ(load_be64(buf), 0x0807060504030201ull);
  Bytes out;
  append_be16(out, 0xFFFE);
  append_le16(out, 0x1234);
  EXPECT_EQ(out, B({0xFF, 0xFE, 0x34, 0x12}));
}

TEST(Utf16, EncodesSurrogatePairs) {
  EXPECT_EQ(encode_utf16le("AB"), B({0x41, 0, 0x42, 0}));
  EXPECT_EQ(encode_utf16le("\xC3\xA4"), B({0xE4, 0}));                         // U+00E4
  EXPECT_EQ(encode_utf16le("\xF0\x9F\x98\x80"), B({0x3D, 0xD8, 0x00, 0xDE}));  // U+1F600
}

struct DecodeCase {
  Bytes in;
  std::string out;
};

TEST(Utf16, DecodeCases) {
  const DecodeCase cases[] = {
      {B({0x41, 0, 0x42}), "A\xEF\xBF\xBD"},              // odd final byte
      {B({0x41, 0, 0x42, 0}), "AB"},                      // ASCII fast path
      {B({0xE4, 0}), "\xC3\xA4"},                         // Latin-1 range
      {B({0x3D, 0xD8, 0x00, 0xDE}), "\xF0\x9F\x98\x80"},  // pair
      {B({0x3D, 0xD8, 0x41, 0}),
       "\xEF\xBF\xBD"
       "A"},  // lone high surrogate
      {B({0x00, 0xDE, 0x41, 0}),
       "\xEF\xBF\xBD"
       "A"},  // lone low surrogate
      {B({}), ""},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_utf16le(c.in), c.out);
}

// Texts are encoded and decoded in blocks of ASCII: one character past
// ASCII at every position of texts up to 19 characters long (across the
// block edges) must come out as its own code units, and back. U+0141 has
// the low byte of an ASCII letter ('A') beside a high byte of 1.
TEST(Utf16, OneNonAsciiCharacterAtEveryPosition) {
  struct Char {
    std::string utf8;
    Bytes utf16;
  };
  const Char chars[] = {
      {"\xC5\x81", B({0x41, 0x01})},                      // U+0141
      {"\xC3\xA4", B({0xE4, 0x00})},                      // U+00E4
      {"\x7F", B({0x7F, 0x00})},                          // DEL, still ASCII
      {"\xE2\x82\xAC", B({0xAC, 0x20})},                  // U+20AC
      {"\xF0\x9F\x98\x80", B({0x3D, 0xD8, 0x00, 0xDE})},  // U+1F600
  };
  for (const Char& c : chars) {
    for (std::size_t len = 1; len <= 19; ++len) {
      for (std::size_t at = 0; at < len; ++at) {
        SCOPED_TRACE(testing::Message()
                     << c.utf8.size() << "-byte character at " << at << " of " << len);
        std::string text;
        Bytes want;
        for (std::size_t i = 0; i < len; ++i) {
          if (i == at) {
            text += c.utf8;
            want.insert(want.end(), c.utf16.begin(), c.utf16.end());
          } else {
            const char a = static_cast<char>('a' + i);
            text += a;
            want.push_back(static_cast<std::uint8_t>(a));
            want.push_back(0);
          }
        }
        EXPECT_EQ(encode_utf16le(text), want);
        EXPECT_EQ(decode_utf16le(want), text);
      }
    }
  }
}

TEST(Utf16, AppendKeepsWhatTheBufferHeldAndTakesBadBytesAsReplacements) {
  Bytes out = B({0xAA, 0xBB});
  // A lone continuation byte and a cut sequence inside ASCII runs.
  append_utf16le(out, "abcdefgh\x80ijklmnop\xE2\x82");
  Bytes want = B({0xAA, 0xBB});
  for (char ch : std::string("abcdefgh"))
    want.insert(want.end(), {static_cast<std::uint8_t>(ch), 0});
  want.insert(want.end(), {0xFD, 0xFF});
  for (char ch : std::string("ijklmnop"))
    want.insert(want.end(), {static_cast<std::uint8_t>(ch), 0});
  want.insert(want.end(), {0xFD, 0xFF});
  EXPECT_EQ(out, want);
}

TEST(Utf16, RandomRoundTrip) {
  std::mt19937 rng(7);
  for (int i = 0; i < 2000; ++i) {
    std::string s;
    int n = rng() % 12;
    for (int k = 0; k < n; ++k) {
      char32_t cp;
      do cp = rng() % 0x110000;
      while (cp >= 0xD800 && cp <= 0xDFFF);
      append_utf8(s, cp);
    }
    Bytes u = encode_utf16le(s);
    EXPECT_TRUE(is_valid_utf16le(u));
    EXPECT_EQ(u.size() / 2, utf16_length(s));
    EXPECT_EQ(decode_utf16le(u), s);
    EXPECT_EQ(utf16_to_utf8(utf8_to_utf16(s)), s);
  }
}

TEST(Utf8, LossyReplacesMaximalSubparts) {
  const DecodeCase cases[] = {
      {B({'a', 0xFF, 'b'}),
       "a\xEF\xBF\xBD"
       "b"},
      {B({0xE2, 0x82}), "\xEF\xBF\xBD"},                                // truncated 3-byte form
      {B({0xED, 0xA0, 0x80}), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // surrogate
      {B({0xC0, 0xAF}), "\xEF\xBF\xBD\xEF\xBF\xBD"},                    // overlong
      {B({0xEF, 0xBF, 0xBD}), "\xEF\xBF\xBD"},                          // genuine U+FFFD
  };
  for (const auto& c : cases) EXPECT_EQ(utf8_lossy(c.in), c.out);
  EXPECT_TRUE(is_valid_utf8("\xEF\xBF\xBD"));
  EXPECT_FALSE(is_valid_utf8("\xC3"));
}

TEST(Trim, UnicodeAndAscii) {
  EXPECT_EQ(trim_end_unicode("ab \t\xC2\xA0\xE3\x80\x80"), "ab");  // NBSP, ideographic space
  EXPECT_EQ(trim_unicode("\xE2\x80\x83x y\n"), "x y");
  EXPECT_EQ(trim_ascii("  x\xC2\xA0 "), "x\xC2\xA0");
  EXPECT_TRUE(ascii_iequals("rfc_Ping", "RFC_PING"));
  EXPECT_EQ(ascii_upper("\xC3\xA4x"), "\xC3\xA4X");
}

Result<int, std::string> half(int x) {
  if (x % 2) return err(std::string("odd"));
  return x / 2;
}

Result<int, std::string> quarter(int x) {
  QUIB_TRY(int h, half(x));
  QUIB_TRY(int q, half(h));
  return q;
}

TEST(ResultType, PropagatesErrors) {
  EXPECT_EQ(quarter(8).value(), 2);
  EXPECT_EQ(quarter(6).error(), "odd");
  EXPECT_EQ(quarter(3).error(), "odd");
}

}  // namespace

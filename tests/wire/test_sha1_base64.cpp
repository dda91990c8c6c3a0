#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testutil.hpp"
#include "wire/base64.hpp"
#include "wire/sha1.hpp"

namespace quib::wire {
namespace {

using quib::test::hex;

// The oracle writes the empty byte string as "-".
Bytes oracle_bytes(const std::string& s) { return s == "-" ? Bytes{} : quib::test::unhex(s); }

struct OracleCase {
  Bytes input;
  std::string sha1_hex;
  std::string base64;
};

// Inputs with their digests and Base64 texts from Python's hashlib and base64.
std::vector<OracleCase> oracle_cases() {
  std::vector<OracleCase> cases;
  const std::string out = quib::test::run_python("tests/wire/oracles/sha1_base64.py 20260903 400");
  std::istringstream in(out);
  for (std::string line; std::getline(in, line);) {
    std::istringstream fields(line);
    std::string input, digest, b64;
    fields >> input >> digest >> b64;
    cases.push_back({oracle_bytes(input), digest, b64 == "-" ? std::string() : b64});
  }
  return cases;
}

TEST(Sha1Base64, AgreeWithPython) {
  const auto cases = oracle_cases();
  ASSERT_EQ(cases.size(), 400u);
  std::mt19937 rng(7);
  for (const OracleCase& c : cases) {
    EXPECT_EQ(hex(sha1(c.input)), c.sha1_hex) << c.input.size();
    // Fed in random pieces, the digest is the same.
    Sha1 h;
    std::size_t pos = 0;
    while (pos < c.input.size()) {
      const std::size_t take = std::min<std::size_t>(c.input.size() - pos, rng() % 130);
      h.update(ByteView(c.input).subspan(pos, take));
      pos += take;
    }
    EXPECT_EQ(hex(h.finish()), c.sha1_hex) << c.input.size();

    EXPECT_EQ(base64_encode(c.input), c.base64);
    const auto back = base64_decode(c.base64);
    ASSERT_TRUE(back) << c.base64;
    EXPECT_EQ(*back, c.input);
  }
}

TEST(Sha1, KnownDigests) {
  struct Case {
    std::string input, digest;
  };
  const Case cases[] = {
      {"", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
      {"abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
      {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
       "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
  };
  for (const Case& c : cases) EXPECT_EQ(hex(sha1(as_bytes(c.input))), c.digest) << c.input;

  Sha1 million;
  const std::string chunk(1000, 'a');
  for (int i = 0; i < 1000; ++i) million.update(as_bytes(chunk));
  EXPECT_EQ(hex(million.finish()), "34aa973cd4c4daa4f61eeb2bdbad27316534016f");
}

TEST(Base64, DecodeRefusesMalformedText) {
  const std::string bad[] = {
      "A",        "AB",   "ABC",  "ABCDE",    // not a multiple of 4
      "A===",     "====", "AB=C", "=ABC",     // misplaced padding
      "AB==AB==",                             // padding before the end
      "AB\nC",    "AB C", "AB-_", "ABC\x80",  // characters outside the alphabet
      "AB=D",                                 // padding then data
      "AF==",     "ABD=",                     // unused bits not zero
  };
  for (const std::string& s : bad) EXPECT_FALSE(base64_decode(s)) << s;
  EXPECT_EQ(base64_decode(""), Bytes{});
  EXPECT_EQ(base64_decode("AA=="), Bytes{0});
  EXPECT_EQ(base64_decode("+/+/"), (Bytes{0xFB, 0xFF, 0xBF}));
}

}  // namespace
}  // namespace quib::wire

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/testutil.hpp"
#include "wire/decfloat.hpp"

using namespace quib::wire;

namespace quib::wire {
void PrintTo(const ValueError& e, std::ostream* os) { *os << e.debug(); }
}  // namespace quib::wire

namespace {

using quib::test::B;
using quib::test::hex;

// Big-endian hex (as the decimal test files write the interchange value) to
// the little-endian wire bytes.
Bytes from_be_hex(std::string_view h) {
  Bytes b = quib::test::unhex(h);
  std::reverse(b.begin(), b.end());
  return b;
}

ValueResult<std::string> decode(ByteView b, int precision) {
  return precision == 16 ? decode_decfloat16(b) : decode_decfloat34(b);
}
ValueResult<Bytes> encode(std::string_view t, int precision) {
  return precision == 16 ? encode_decfloat16(t) : encode_decfloat34(t);
}

// ---------------------------------------------------------------------------

TEST(Dpd, DecletTablesAreInverse) {
  int non_canonical = 0;
  for (unsigned d = 0; d < 1024; ++d) {
    const std::uint16_t v = dpd_declet_value(static_cast<std::uint16_t>(d));
    ASSERT_LT(v, 1000u);
    const std::uint16_t c = dpd_encode_declet(v);
    EXPECT_LE(c, d);  // the canonical declet is the smallest
    if (c != d) ++non_canonical;
  }
  EXPECT_EQ(non_canonical, 24);  // the standard's count of redundant declets
  for (unsigned v = 0; v < 1000; ++v)
    EXPECT_EQ(dpd_declet_value(dpd_encode_declet(static_cast<std::uint16_t>(v))), v);
  // Digits below 8 are their plain binary (three bits each).
  EXPECT_EQ(dpd_encode_declet(123), 0x0A3);
  EXPECT_EQ(dpd_encode_declet(999), 0x0FF);
  EXPECT_EQ(dpd_encode_declet(0), 0);
}

TEST(DecFloatDecode, Examples) {
  struct Case {
    Bytes in;
    const char* out;
  } cases[] = {
      {Bytes(8), "0"},                              // all zero bytes
      {B({0, 0, 0, 0, 0, 0, 0x38, 0x22}), "0"},     // 0 with exponent 0
      {B({0, 0, 0, 0, 0, 0, 0x38, 0xA2}), "-0"},    // sign bit on zero
      {B({0, 0, 0, 0, 0, 0, 0, 0x80}), "-0E-398"},  // only the sign bit
      {B({0xD0, 0, 0, 0, 0, 0, 0x30, 0x22}), "1.50"},
      {B({0x01, 0, 0, 0, 0, 0, 0x44, 0x22}), "1E+3"},
      {B({0x01, 0, 0, 0, 0, 0, 0x20, 0x22}), "0.000001"},
      {B({0x01, 0, 0, 0, 0, 0, 0x1C, 0x22}), "1E-7"},
      {B({0xA3, 0, 0, 0, 0, 0, 0x10, 0x22}), "1.23E-8"},   // 123E-10
      {B({0x34, 0x05, 0, 0, 0, 0, 0x30, 0x22}), "12.34"},  // 1234E-2
      {B({0x05, 0, 0, 0, 0, 0, 0x40, 0x22}), "5E+2"},
      {B({0, 0, 0, 0, 0, 0, 0, 0x78}), "Infinity"},
      {B({0, 0, 0, 0, 0, 0, 0, 0xF8}), "-Infinity"},
      {B({0, 0, 0, 0, 0, 0, 0, 0x7C}), "NaN"},
      {B({0, 0, 0, 0, 0, 0, 0, 0xFE}), "-NaN"},                      // signalling
      {B({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}), "NaN"},  // payload ignored
      {Bytes(16), "0"},
      {[] {
         Bytes b(16);
         b[14] = 0x08;
         b[15] = 0x22;
         return b;
       }(),
       "0"},
  };
  for (const auto& c : cases) {
    auto r = c.in.size() == 8 ? decode_decfloat16(c.in) : decode_decfloat34(c.in);
    ASSERT_TRUE(r.ok()) << hex(c.in);
    EXPECT_EQ(*r, c.out) << hex(c.in);
  }
}

TEST(DecFloatDecode, NeedsTheExactWidth) {
  EXPECT_EQ(decode_decfloat16(Bytes(7)).error().message(), "a decimal float needs 8 bytes, got 7");
  EXPECT_EQ(decode_decfloat16(Bytes(9)).error(), ValueError::decimal_width(8, 9));
  EXPECT_EQ(decode_decfloat34(Bytes(8)).error(), ValueError::decimal_width(16, 8));
  EXPECT_EQ(decode_decfloat34({}).error(), ValueError::decimal_width(16, 0));
}

TEST(DecFloatEncode, RoundTripsTheirText) {
  // Texts that come back exactly as written.
  for (const char* t : {"1.50", "1E+3", "0.000001", "1E-7", "-0", "-Infinity", "-NaN", "NaN",
                        "Infinity", "12.34", "5E+2", "9999999999999999", "1E+369", "1E-398",
                        "-1.234567890123456E+384", "0.00", "0E+3"}) {
    auto b = encode_decfloat16(t);
    ASSERT_TRUE(b.ok()) << t << ": " << b.error().message();
    EXPECT_EQ(*decode_decfloat16(*b), t);
  }
  for (const char* t : {"1234567890123456789012345678901234", "1E+6111", "1E-6176", "-0.1"}) {
    auto b = encode_decfloat34(t);
    ASSERT_TRUE(b.ok()) << t;
    EXPECT_EQ(*decode_decfloat34(*b), t);
  }
}

TEST(DecFloatEncode, Normalises) {
  struct Case {
    const char* in;
    const char* back;
  } cases[] = {
      {"123E-10", "1.23E-8"},
      {"1234e-2", "12.34"},
      {"0000001", "1"},
      {"+5", "5"},
      {" 2.5 ", "2.5"},
      {"-inf", "-Infinity"},
      {"INFINITY", "Infinity"},
      {"-nan", "-NaN"},
      {"+NaN", "NaN"},
      {".5", "0.5"},
      {"5.", "5"},
      {"1e+0", "1"},
      {"1E0003", "1E+3"},
      {"-0.0", "-0.0"},
      {"00.000", "0.000"},
  };
  for (const auto& c : cases) {
    auto b = encode_decfloat16(c.in);
    ASSERT_TRUE(b.ok()) << c.in;
    EXPECT_EQ(*decode_decfloat16(*b), c.back) << c.in;
  }
  EXPECT_EQ(hex(*encode_decfloat16("-0")), "00000000000038a2");
  EXPECT_EQ(hex(*encode_decfloat16("-Infinity")), "00000000000000f8");
  EXPECT_EQ(hex(*encode_decfloat16("NaN")), "000000000000007c");
}

TEST(DecFloatEncode, Refusals) {
  const ValueError nan = ValueError::not_a_number();
  const ValueError coeff = ValueError::unrepresentable(kReasonDecfloatCoefficient);
  const ValueError expo = ValueError::unrepresentable(kReasonDecfloatExponent);
  struct Case {
    int precision;
    std::string in;
    ValueError e;
  } cases[] = {
      {16, "", nan},
      {16, "   ", nan},
      {16, ".", nan},
      {16, "1e", nan},
      {16, "1e+", nan},
      {16, "1.2.3", nan},
      {16, "12a", nan},
      {16, "+-5", nan},  // one sign at most
      {16, "--5", nan},
      {16, "-+inf", nan},
      {16, "--nan", nan},
      {16, "e5", nan},
      {16, "1e5e5", nan},
      {16, "1 2", nan},
      {16, "snan", nan},
      {16, "1e2147483648", nan},  // exponent text beyond 32 bits
      {16, "1e-2147483649", nan},
      {16, "12345678901234567", coeff},
      {16, "1.0000000000000000", coeff},
      {34, "12345678901234567890123456789012345", coeff},
      {16, "1E+370", expo},
      {16, "1E-399", expo},
      {16, "1.0E+385", expo},  // not clamped to 10E+384
      {16, "100E-400", expo},  // never re-scaled, although 1E-398 would fit
      {34, "1E+6112", expo},
      {34, "1E-6177", expo},
      {16, "0.1e-2147483648", expo},  // exponent minus fraction digits overflows
      {16, "1e2147483647", expo},
  };
  for (const auto& c : cases) {
    auto r = encode(c.in, c.precision);
    ASSERT_FALSE(r.ok()) << c.in << " -> " << hex(*r);
    EXPECT_EQ(r.error(), c.e) << c.in;
  }
  EXPECT_EQ(encode_decfloat16("1E+370").error().message(),
            "decimal float exponent is outside what the format can hold");
  EXPECT_EQ(encode_decfloat16("12345678901234567").error().message(),
            "decimal float coefficient is outside what the format can hold");
}

TEST(DecFloatEncode, LongTextsStayExact) {
  // Many fraction digits move the exponent; leading zeros do not count.
  std::string zeros(400, '0');
  EXPECT_EQ(*decode_decfloat16(*encode_decfloat16("0." + std::string(390, '0') + "1")), "1E-391");
  EXPECT_EQ(encode_decfloat16("0." + zeros + "1").error(),
            ValueError::unrepresentable(kReasonDecfloatExponent));
  EXPECT_TRUE(encode_decfloat16(zeros + "1234567890123456").ok());
}

// ---------------------------------------------------------------------------
// The decimal encoding vectors of the General Decimal Arithmetic test suite.

struct Vector {
  std::string id, op, lhs, rhs;
  bool conditions;  // the result raises a condition (rounding, clamping, ...)
};

std::vector<Vector> read_vectors(const std::filesystem::path& file) {
  std::vector<Vector> out;
  std::ifstream in(file);
  std::string line;
  while (std::getline(in, line)) {
    if (auto c = line.find("--"); c != std::string::npos) line.resize(c);
    std::istringstream ls(line);
    Vector v;
    std::string arrow, rest;
    if (!(ls >> v.id >> v.op)) continue;
    if (v.op != "apply" && v.op != "canonical") continue;
    if (!(ls >> v.lhs >> arrow >> v.rhs) || arrow != "->") continue;
    v.conditions = static_cast<bool>(ls >> rest);
    out.push_back(v);
  }
  return out;
}

bool has_nan_payload_or_snan(const std::string& t) {
  std::string l;
  for (char c : t) l.push_back(static_cast<char>(std::tolower(static_cast<unsigned char>(c))));
  const auto p = l.find("nan");
  if (p == std::string::npos) return false;
  return l.find("snan") != std::string::npos || p + 3 != l.size();
}

bool all_zero(const Bytes& b) {
  return std::all_of(b.begin(), b.end(), [](std::uint8_t x) { return x == 0; });
}

void run_vector_file(const char* name, int precision, int& checked) {
  const std::filesystem::path dir = "/usr/lib/python3.11/test/decimaltestdata";
  for (const Vector& v : read_vectors(dir / name)) {
    SCOPED_TRACE(std::string(name) + " " + v.id);
    if (v.conditions) continue;  // needs rounding or clamping
    const bool lhs_hex = v.lhs[0] == '#', rhs_hex = v.rhs[0] == '#';
    if (v.op == "canonical" && lhs_hex && rhs_hex) {
      // Decoding any encoding and encoding the text again gives the
      // canonical encoding.
      const Bytes in = from_be_hex(v.lhs.substr(1)), want = from_be_hex(v.rhs.substr(1));
      auto text = decode(in, precision);
      ASSERT_TRUE(text.ok());
      if (text->find("NaN") != std::string::npos) {
        // NaN payloads and signalling NaNs are not kept; plain NaNs are.
        Bytes plain(want.size());
        plain.back() = static_cast<std::uint8_t>(0x7C | (want.back() & 0x80));
        if (want != plain) continue;
      }
      if (all_zero(in)) continue;  // reads as "0", which encodes with exponent 0
      auto again = encode(*text, precision);
      ASSERT_TRUE(again.ok()) << *text;
      EXPECT_EQ(hex(*again), hex(want)) << *text;
      ++checked;
    } else if (lhs_hex && !rhs_hex) {
      const Bytes in = from_be_hex(v.lhs.substr(1));
      std::string want = v.rhs;
      if (want == "sNaN") want = "NaN";  // signalling NaNs read as NaN
      if (want == "-sNaN") want = "-NaN";
      if (has_nan_payload_or_snan(want)) continue;
      if (all_zero(in)) want = "0";  // all zero bytes read as 0
      auto r = decode(in, precision);
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(*r, want);
      ++checked;
    } else if (!lhs_hex && rhs_hex) {
      if (has_nan_payload_or_snan(v.lhs)) continue;
      auto r = encode(v.lhs, precision);
      ASSERT_TRUE(r.ok()) << v.lhs << ": " << r.error().message();
      EXPECT_EQ(hex(*r), hex(from_be_hex(v.rhs.substr(1)))) << v.lhs;
      ++checked;
    }
  }
}

TEST(DecFloatVectors, EncodeAndCanonicalFiles) {
  if (!std::filesystem::exists("/usr/lib/python3.11/test/decimaltestdata/ddEncode.decTest"))
    GTEST_SKIP() << "the decimal test vectors (libpython3.11-testsuite) are not installed";
  int dd = 0, dq = 0;
  run_vector_file("ddEncode.decTest", 16, dd);
  run_vector_file("ddCanonical.decTest", 16, dd);
  run_vector_file("dqEncode.decTest", 34, dq);
  run_vector_file("dqCanonical.decTest", 34, dq);
  // Most of each file applies; a parser that skipped everything would fail here.
  EXPECT_GT(dd, 250);
  EXPECT_GT(dq, 250);
}

// ---------------------------------------------------------------------------
// Python's decimal module on random texts.

TEST(DecFloatOracle, AgreesWithPythonDecimal) {
  std::istringstream in(quib::test::run_python("tests/wire/oracles/decimal_text.py 5150 20000"));
  std::string line;
  int n = 0, fitted = 0;
  while (std::getline(in, line)) {
    const auto t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    ASSERT_NE(t2, std::string::npos) << line;
    const int precision = std::stoi(line.substr(0, t1));
    const std::string text = line.substr(t1 + 1, t2 - t1 - 1), want = line.substr(t2 + 1);
    SCOPED_TRACE(line);
    auto r = encode(text, precision);
    if (want == "!coefficient") {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), ValueError::unrepresentable(kReasonDecfloatCoefficient));
    } else if (want == "!exponent") {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), ValueError::unrepresentable(kReasonDecfloatExponent));
    } else {
      ASSERT_TRUE(r.ok()) << r.error().message();
      auto back = decode(*r, precision);
      ASSERT_TRUE(back.ok());
      EXPECT_EQ(*back, all_zero(*r) ? "0" : want);
      // The decoded text encodes to the same bytes (canonical round trip).
      if (!all_zero(*r)) {
        auto again = encode(*back, precision);
        ASSERT_TRUE(again.ok());
        EXPECT_EQ(hex(*again), hex(*r));
      }
      ++fitted;
    }
    ++n;
  }
  EXPECT_EQ(n, 20000);
  EXPECT_GT(fitted, 5000);
}

}  // namespace

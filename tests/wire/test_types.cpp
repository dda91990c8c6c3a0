#include <fmt/format.h>
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>

#include "tests/support/testutil.hpp"
#include "wire/decfloat.hpp"
#include "wire/types.hpp"
#include "wire/utclong.hpp"

using namespace quib::wire;

namespace quib::wire {
// Failure messages show values and errors in their debug forms.
void PrintTo(const RfcValue& v, std::ostream* os) { *os << v.debug(); }
void PrintTo(const ValueError& e, std::ostream* os) { *os << e.debug(); }
}  // namespace quib::wire

namespace {

using quib::test::B;
using quib::test::hex;
using quib::test::U;

// ---------------------------------------------------------------------------
// AbapType, RfcValue, ValueError

TEST(AbapTypeForms, NamesFollowDeclarationOrder) {
  const char* names[] = {"Char",    "Numc",      "Date",          "Time",       "Bcd",
                         "Float",   "Int1",      "Int2",          "Int4",       "Int8",
                         "Byte",    "String",    "XString",       "DecFloat16", "DecFloat34",
                         "Utclong", "Structure", "DeepStructure", "Table"};
  for (int k = 0; k < 19; ++k) {
    AbapType t(static_cast<AbapType::Kind>(k));
    EXPECT_EQ(t.display(), names[k]);
    EXPECT_EQ(t.debug(), names[k]);
  }
  EXPECT_EQ(static_cast<int>(AbapType::Unknown), 19);
  EXPECT_EQ(AbapType::unknown('X').display(), "Unknown(X)");
  EXPECT_EQ(AbapType::unknown('X').debug(), "Unknown('X')");
  EXPECT_EQ(AbapType::unknown('X'), AbapType::unknown('X'));
  EXPECT_NE(AbapType::unknown('X'), AbapType::unknown('Y'));
  EXPECT_NE(AbapType(AbapType::Char), AbapType::unknown('C'));
}

TEST(RfcValueForms, DebugNamesTheVariant) {
  EXPECT_EQ(RfcValue::text("x").debug(), "Text(\"x\")");
  EXPECT_EQ(RfcValue::text("a\"b\\\n").debug(), "Text(\"a\\\"b\\\\\\n\")");
  // NUL as \0, the other control characters as \u{hex}, like the basXML debug form.
  EXPECT_EQ(RfcValue::text(std::string("a\0\x01\t\x7f", 5)).debug(),
            "Text(\"a\\0\\u{1}\\t\\u{7f}\")");
  EXPECT_EQ(RfcValue::integer(5).debug(), "Int(5)");
  EXPECT_EQ(RfcValue::integer(-5).debug(), "Int(-5)");
  EXPECT_EQ(RfcValue::floating(1.5).debug(), "Float(1.5)");
  EXPECT_EQ(RfcValue::bytes(B({1, 255})).debug(), "Bytes([1, 255])");
  EXPECT_EQ(RfcValue::undecoded(AbapType::Float, B({1, 2})).debug(),
            "Undecoded { ty: Float, bytes: [1, 2] }");
  EXPECT_EQ(text_value("abc"), RfcValue::text("abc"));
  EXPECT_NE(RfcValue::text("5"), RfcValue::integer(5));
}

TEST(ValueErrorMessages, Templates) {
  struct Case {
    ValueError e;
    const char* msg;
  } cases[] = {
      {ValueError::unencodable(AbapType::Int4, kDescFloat),
       "cannot encode a float value as ABAP Int4"},
      {ValueError::unencodable(AbapType::Utclong, kDescNotUtclongText),
       "cannot encode a text that is not YYYY-MM-DD HH:MM:SS.fffffff value as ABAP Utclong"},
      {ValueError::out_of_range(AbapType::Int1, 256), "256 does not fit in an ABAP Int1"},
      {ValueError::out_of_range(AbapType::Int2, -32769), "-32769 does not fit in an ABAP Int2"},
      {ValueError::decimal_width(8, 7), "a decimal float needs 8 bytes, got 7"},
      {ValueError::not_a_number(), "not a number"},
      {ValueError::unrepresentable(kReasonTooManyDecimals),
       "more decimal places than the field declares is outside what the format can hold"},
      {ValueError::too_wide(5, AbapType::Bcd, 3), "5 bytes do not fit an ABAP Bcd of width 3"},
      {ValueError::undecodable(AbapType::unknown('X'), 3),
       "cannot decode 3 bytes as ABAP Unknown(X): the encoding is not implemented, and reading it "
       "as text would produce plausible nonsense"},
      {ValueError::too_long(AbapType::Char, 25, 10),
       "25 characters do not fit an ABAP Char of length 10"},
      {ValueError::malformed(AbapType::Numc, kFormsNumc),
       "an ABAP Numc takes only digits: a text of digits or an integer of 0 or more"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.e.message(), c.msg);
  // A located error: the place and the value before the reason; `inside`
  // nests the place in an outer one.
  ValueError e = ValueError::out_of_range(AbapType::Int4, 1ll << 40);
  e.at("ID", "1099511627776");
  EXPECT_EQ(e.message(), "ID 1099511627776: 1099511627776 does not fit in an ABAP Int4");
  EXPECT_EQ(e.reason(), "1099511627776 does not fit in an ABAP Int4");
  e.inside("T_IN[3]");
  EXPECT_EQ(e.message(), "T_IN[3]-ID 1099511627776: 1099511627776 does not fit in an ABAP Int4");
  EXPECT_EQ(ValueError::not_a_number().inside("I_PACKED").message(), "I_PACKED: not a number");
  EXPECT_EQ(ValueError::too_long(AbapType::Time, 7, 6).debug(),
            "TooLong { kind: Time, length: 7, width: 6 }");
  EXPECT_EQ(ValueError::out_of_range(AbapType::Int1, 256).debug(),
            "OutOfRange { kind: Int1, value: 256 }");
  EXPECT_NE(ValueError::out_of_range(AbapType::Int1, 256),
            ValueError::out_of_range(AbapType::Int1, 257));
}

// ---------------------------------------------------------------------------
// Decoding

struct DecodeCase {
  const char* name;
  Bytes in;
  AbapType ty;
  std::optional<RfcValue> value;  // none: expect the error below
  std::optional<ValueError> error = std::nullopt;
};

TEST(DecodeField, ByKind) {
  const double one_half = 1.5;
  Bytes half(8);
  std::memcpy(half.data(), &one_half, 8);
  Bytes half_long = half;
  half_long.push_back(0x99);
  const DecodeCase cases[] = {
      {"char", U("AB "), AbapType::Char, RfcValue::text("AB ")},  // no trimming
      {"numc", U("0042"), AbapType::Numc, RfcValue::text("0042")},
      {"date non-ascii", B({0xE4, 0, 0x3D, 0xD8, 0x00, 0xDE}), AbapType::Date,
       RfcValue::text("\xC3\xA4\xF0\x9F\x98\x80")},
      {"time odd byte", B({0x41, 0, 0x42}), AbapType::Time, RfcValue::text("A\xEF\xBF\xBD")},
      {"char empty", {}, AbapType::Char, RfcValue::text("")},
      {"bcd", B({0x12, 0x34, 0x5C}), AbapType::Bcd, RfcValue::text("12345")},
      {"bcd negative", B({0x00, 0x1D}), AbapType::Bcd, RfcValue::text("-1")},
      {"bcd bad nibble", B({0x1A, 0x2C}), AbapType::Bcd, std::nullopt,
       ValueError::undecodable(AbapType::Bcd, 2)},
      {"float", half, AbapType::Float, RfcValue::floating(1.5)},
      {"float longer", half_long, AbapType::Float, RfcValue::floating(1.5)},
      {"float short", B({0, 0, 0, 0, 0, 0, 0}), AbapType::Float, std::nullopt,
       ValueError::undecodable(AbapType::Float, 7)},
      {"int1 unsigned", B({0xFF}), AbapType::Int1, RfcValue::integer(255)},
      {"int1 empty", {}, AbapType::Int1, std::nullopt, ValueError::undecodable(AbapType::Int1, 0)},
      {"int2 sign", B({0xFF, 0xFF}), AbapType::Int2, RfcValue::integer(-1)},
      {"int2 of 3 bytes", B({0x01, 0x80, 0x77}), AbapType::Int2, RfcValue::integer(-32767)},
      {"int4", B({0x78, 0x56, 0x34, 0x12}), AbapType::Int4, RfcValue::integer(0x12345678)},
      {"int4 min", B({0, 0, 0, 0x80}), AbapType::Int4, RfcValue::integer(-2147483648LL)},
      {"int4 of 3 bytes", B({1, 2, 3}), AbapType::Int4, std::nullopt,
       ValueError::undecodable(AbapType::Int4, 3)},
      {"int8", B({0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}), AbapType::Int8,
       RfcValue::integer(-2)},
      {"int8 short", B({1, 2, 3, 4}), AbapType::Int8, std::nullopt,
       ValueError::undecodable(AbapType::Int8, 4)},
      {"string trailing nuls", B({'a', 0, 'b', 0, 0}), AbapType::String,
       RfcValue::text(std::string("a\0b", 3))},
      {"string invalid utf8", B({'a', 0xFF, 'b'}), AbapType::String,
       RfcValue::text("a\xEF\xBF\xBD"
                      "b")},
      {"byte", B({0, 1, 2}), AbapType::Byte, RfcValue::bytes(B({0, 1, 2}))},
      {"xstring", B({9}), AbapType::XString, RfcValue::bytes(B({9}))},
      {"structure", B({1, 2}), AbapType::Structure, RfcValue::bytes(B({1, 2}))},
      {"deep", B({3}), AbapType::DeepStructure, RfcValue::bytes(B({3}))},
      {"table", B({}), AbapType::Table, RfcValue::bytes(B({}))},
      {"decfloat16", B({0xD0, 0x00, 0, 0, 0, 0, 0x30, 0x22}), AbapType::DecFloat16,
       RfcValue::text("1.50")},
      {"decfloat16 longer", B({0xD0, 0x00, 0, 0, 0, 0, 0x30, 0x22, 0xAA}), AbapType::DecFloat16,
       RfcValue::text("1.50")},
      {"decfloat16 short", B({0, 0, 0, 0, 0, 0, 0}), AbapType::DecFloat16, std::nullopt,
       ValueError::decimal_width(8, 7)},
      {"decfloat34 short", Bytes(15), AbapType::DecFloat34, std::nullopt,
       ValueError::decimal_width(16, 15)},
      {"decfloat34 zeros", Bytes(17), AbapType::DecFloat34, RfcValue::text("0")},
      {"utclong one", B({1, 0, 0, 0, 0, 0, 0, 0}), AbapType::Utclong,
       RfcValue::text("0001-01-01 00:00:00.0000000")},
      {"utclong initial", Bytes(8), AbapType::Utclong, RfcValue::text("")},
      {"utclong short", Bytes(7), AbapType::Utclong, std::nullopt,
       ValueError::undecodable(AbapType::Utclong, 7)},
      {"unknown", B({1}), AbapType::unknown('y'), std::nullopt,
       ValueError::undecodable(AbapType::unknown('y'), 1)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = decode_field_value(c.in, c.ty);
    if (c.value) {
      ASSERT_TRUE(r.ok()) << r.error().message();
      EXPECT_EQ(*r, *c.value) << r->debug();
    } else {
      ASSERT_FALSE(r.ok()) << r->debug();
      EXPECT_EQ(r.error(), *c.error) << r.error().message();
    }
  }
}

TEST(DecodeField, DecimalsApplyToPackedOnly) {
  auto r = decode_field_with_decimals(B({0x12, 0x34, 0x5C}), AbapType::Bcd, 2);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(*r, RfcValue::text("123.45"));
  r = decode_field_with_decimals(B({0x00, 0x0D}), AbapType::Bcd, 2);
  EXPECT_EQ(*r, RfcValue::text("-0.00"));
  // Other kinds ignore the decimals.
  r = decode_field_with_decimals(B({5, 0, 0, 0}), AbapType::Int4, 3);
  EXPECT_EQ(*r, RfcValue::integer(5));
  r = decode_field_with_decimals(U("12"), AbapType::Numc, 1);
  EXPECT_EQ(*r, RfcValue::text("12"));
}

TEST(DecodeField, Latin1ReadsOneBytePerCharacter) {
  for (AbapType ty : {AbapType::Char, AbapType::Numc, AbapType::Date, AbapType::Time}) {
    auto r = decode_field_value_latin1(B({'A', 0xE4, 0x00, 0xFF}), ty);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, RfcValue::text(std::string("A\xC3\xA4\0\xC3\xBF", 6)));
  }
  // Packed ignores nothing but takes 0 decimals; String and ints as usual.
  EXPECT_EQ(*decode_field_value_latin1(B({0x12, 0x3F}), AbapType::Bcd), RfcValue::text("123"));
  EXPECT_EQ(*decode_field_value_latin1(B({'x', 0}), AbapType::String), RfcValue::text("x"));
  EXPECT_EQ(*decode_field_value_latin1(B({0xFF, 0xFF}), AbapType::Int2), RfcValue::integer(-1));
  EXPECT_FALSE(decode_field_value_latin1(B({1}), AbapType::unknown('?')).ok());
}

// ---------------------------------------------------------------------------
// Encoding

struct EncodeCase {
  const char* name;
  RfcValue value;
  AbapType ty;
  std::uint32_t width;
  std::uint32_t decimals;
  std::optional<Bytes> out;
  std::optional<ValueError> error = std::nullopt;
};

// The bytes a case expects or, when it expects none, its error.
void expect_bytes_or_error(const ValueResult<Bytes>& r, const std::optional<Bytes>& out,
                           const std::optional<ValueError>& error) {
  if (out) {
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(hex(*r), hex(*out));
  } else {
    ASSERT_FALSE(r.ok()) << hex(*r);
    EXPECT_EQ(r.error(), *error) << r.error().message();
  }
}

void run_encode_cases(const std::vector<EncodeCase>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = encode_field_value(c.value, c.ty, c.width, c.decimals);
    expect_bytes_or_error(r, c.out, c.error);
  }
}

TEST(EncodeField, TextKinds) {
  const auto bytes_err = [](AbapType t) { return ValueError::unencodable(t, kDescBytes); };
  run_encode_cases({
      {"filled to width/2", RfcValue::text("AB"), AbapType::Char, 10, 0, U("AB   ")},
      {"longer not cut", RfcValue::text("ABCDEFG"), AbapType::Char, 10, 0, U("ABCDEFG")},
      {"odd width", RfcValue::text("A"), AbapType::Numc, 5, 0, U("A ")},
      {"int", RfcValue::integer(-42), AbapType::Numc, 8, 0, U("-42 ")},
      {"float", RfcValue::floating(2.5), AbapType::Date, 0, 0, U("2.5")},
      {"float whole", RfcValue::floating(1e21), AbapType::Time, 0, 0, U("1000000000000000000000")},
      // A character above U+FFFF takes two of the field's code units.
      {"surrogate pair counts two", RfcValue::text("\xF0\x9F\x98\x80"), AbapType::Char, 6, 0,
       B({0x3D, 0xD8, 0x00, 0xDE, 0x20, 0x00})},
      {"bytes refused", RfcValue::bytes(B({1})), AbapType::Char, 4, 0, std::nullopt,
       bytes_err(AbapType::Char)},
      {"undecoded passes", RfcValue::undecoded(AbapType::Char, B({1, 2, 3})), AbapType::Char, 10, 0,
       B({1, 2, 3})},
      {"unknown not filled", RfcValue::text("A"), AbapType::unknown('Q'), 10, 0, U("A")},
      {"unknown int", RfcValue::integer(7), AbapType::unknown('Q'), 10, 0, U("7")},
      {"unknown bytes", RfcValue::bytes(B({1})), AbapType::unknown('Q'), 10, 0, std::nullopt,
       bytes_err(AbapType::unknown('Q'))},
  });
}

// What a caller gives for a text field: held to the field, never cut; a
// Numc zero-filled; a date or time in its one form, or blank for the
// initial value.
TEST(GivenValue, TextKindsTakeOnlyWhatTheFieldHolds) {
  const auto too_long = [](AbapType t, std::uint64_t n, std::uint64_t w) {
    return ValueError::too_long(t, n, w);
  };
  const auto malformed = [](AbapType t, std::string_view forms) {
    return ValueError::malformed(t, forms);
  };
  const std::vector<EncodeCase> cases = {
      {"char filled", RfcValue::text("AB"), AbapType::Char, 10, 0, U("AB   ")},
      {"char exactly full", RfcValue::text("ABCDE"), AbapType::Char, 10, 0, U("ABCDE")},
      {"char one too many", RfcValue::text("ABCDEF"), AbapType::Char, 10, 0, std::nullopt,
       too_long(AbapType::Char, 6, 5)},
      {"char of an int", RfcValue::integer(-42), AbapType::Char, 8, 0, U("-42 ")},
      {"a surrogate pair takes two units", RfcValue::text("A\xF0\x9F\x98\x80"), AbapType::Char, 4,
       0, std::nullopt, too_long(AbapType::Char, 3, 2)},
      {"width 0 sets no limit", RfcValue::text("ABC"), AbapType::Char, 0, 0, U("ABC")},
      {"numc zero-filled", RfcValue::text("42"), AbapType::Numc, 16, 0, U("00000042")},
      {"numc of an int", RfcValue::integer(7), AbapType::Numc, 6, 0, U("007")},
      {"numc empty is initial", RfcValue::text(""), AbapType::Numc, 6, 0, U("000")},
      {"numc full", RfcValue::text("123"), AbapType::Numc, 6, 0, U("123")},
      {"numc too long", RfcValue::text("1234"), AbapType::Numc, 6, 0, std::nullopt,
       too_long(AbapType::Numc, 4, 3)},
      {"numc letters", RfcValue::text("12a"), AbapType::Numc, 16, 0, std::nullopt,
       malformed(AbapType::Numc, kFormsNumc)},
      {"numc blanks", RfcValue::text(" 42"), AbapType::Numc, 16, 0, std::nullopt,
       malformed(AbapType::Numc, kFormsNumc)},
      {"numc negative", RfcValue::integer(-5), AbapType::Numc, 16, 0, std::nullopt,
       malformed(AbapType::Numc, kFormsNumc)},
      {"numc odd width", RfcValue::text("4"), AbapType::Numc, 5, 0, U("04")},
      {"date digits", RfcValue::text("20240517"), AbapType::Date, 16, 0, U("20240517")},
      {"date empty", RfcValue::text(""), AbapType::Date, 16, 0, U("00000000")},
      {"date blank", RfcValue::text("        "), AbapType::Date, 16, 0, U("00000000")},
      {"date of one blank", RfcValue::text(" "), AbapType::Date, 16, 0, U("00000000")},
      {"date iso form", RfcValue::text("2024-05-17"), AbapType::Date, 16, 0, std::nullopt,
       malformed(AbapType::Date, kFormsDate)},
      {"date short", RfcValue::text("2024051"), AbapType::Date, 16, 0, std::nullopt,
       malformed(AbapType::Date, kFormsDate)},
      {"date padded", RfcValue::text("20240517 "), AbapType::Date, 18, 0, std::nullopt,
       malformed(AbapType::Date, kFormsDate)},
      {"date tab", RfcValue::text("\t"), AbapType::Date, 16, 0, std::nullopt,
       malformed(AbapType::Date, kFormsDate)},
      {"date in a narrow field", RfcValue::text("20240517"), AbapType::Date, 12, 0, std::nullopt,
       too_long(AbapType::Date, 8, 6)},
      {"time digits", RfcValue::text("123005"), AbapType::Time, 12, 0, U("123005")},
      {"time blank", RfcValue::text("   "), AbapType::Time, 12, 0, U("000000")},
      {"time with colons", RfcValue::text("12:30:05"), AbapType::Time, 12, 0, std::nullopt,
       malformed(AbapType::Time, kFormsTime)},
      {"time of an int", RfcValue::integer(123005), AbapType::Time, 12, 0, U("123005")},
      {"bytes refused", RfcValue::bytes(B({1})), AbapType::Date, 16, 0, std::nullopt,
       ValueError::unencodable(AbapType::Date, kDescBytes)},
      {"undecoded passes", RfcValue::undecoded(AbapType::Char, B({1, 2, 3})), AbapType::Char, 2, 0,
       B({1, 2, 3})},
      // Every other kind as the field codec encodes it.
      {"int4 range", RfcValue::integer(1ll << 40), AbapType::Int4, 4, 0, std::nullopt,
       ValueError::out_of_range(AbapType::Int4, 1ll << 40)},
      {"string unlimited", RfcValue::text("a long text"), AbapType::String, 2, 0,
       B({'a', ' ', 'l', 'o', 'n', 'g', ' ', 't', 'e', 'x', 't'})},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    expect_bytes_or_error(encode_given_value(c.value, c.ty, c.width, c.decimals), c.out, c.error);
    // given_text agrees with the bytes it is encoded to.
    if (c.ty.is_text_kind() && !c.value.is_undecoded()) {
      auto text = given_text(c.value, c.ty, c.width);
      EXPECT_EQ(text.ok(), c.out.has_value());
      if (text.ok() && c.out) {
        EXPECT_EQ(hex(encode_field_value(RfcValue::text(*text), c.ty, c.width, 0).value()),
                  hex(*c.out));
      }
    }
  }
  // A Numc is zero-filled as far as text fields are filled at all.
  auto wide = given_text(RfcValue::text("1"), AbapType::Numc, 0xFFFFFFFFu);
  ASSERT_TRUE(wide.ok());
  EXPECT_EQ(wide->size(), kMaxTextFill);
}

TEST(GivenValue, RefusalsShowTheValue) {
  EXPECT_EQ(shown_value(RfcValue::text("a\"b")), "\"a\\\"b\"");
  EXPECT_EQ(shown_value(RfcValue::text(std::string(32, 'x'))), "\"" + std::string(32, 'x') + "\"");
  EXPECT_EQ(shown_value(RfcValue::text(std::string(33, 'x'))),
            "\"" + std::string(32, 'x') + "\"... (33 characters)");
  // Characters, not bytes, are counted and cut.
  std::string umlauts;
  for (int i = 0; i < 40; ++i) umlauts += "\xC3\xBC";
  EXPECT_EQ(shown_value(RfcValue::text(umlauts)),
            "\"" + umlauts.substr(0, 64) + "\"... (40 characters)");
  EXPECT_EQ(shown_value(RfcValue::integer(-7)), "-7");
  EXPECT_EQ(shown_value(RfcValue::floating(0.1)), "0.1");
  EXPECT_EQ(shown_value(RfcValue::bytes(B({0x0A, 0xFF}))), "0x0aff");
  EXPECT_EQ(
      shown_value(RfcValue::bytes(Bytes(20, 0xAB))), "0x" + [] {
        std::string h;
        for (int i = 0; i < 16; ++i) h += "ab";
        return h;
      }() + "... (20 bytes)");
  EXPECT_EQ(shown_value(RfcValue::undecoded(AbapType::Float, B({1, 2, 3}))),
            "<undecoded Float, 3 bytes>");
  EXPECT_EQ(refused_at(ValueError::not_a_number(), "I_PACKED", RfcValue::text("abc")).message(),
            "I_PACKED \"abc\": not a number");
}

TEST(EncodeField, TextFillIsBounded) {
  // The width comes from the partner's dictionary: a huge width does not make
  // the codec allocate gigabytes.
  auto r = encode_field_value(RfcValue::text(""), AbapType::Char, 0xFFFFFFFFu, 0);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), kMaxTextFill * 2);
  r = encode_field_value(RfcValue::text(""), AbapType::Char, 131070, 0);
  EXPECT_EQ(r->size(), 131070u);
}

TEST(EncodeField, Numbers) {
  const auto nonnum = [](AbapType t) { return ValueError::unencodable(t, kDescNonNumericText); };
  run_encode_cases({
      {"int1 255", RfcValue::integer(255), AbapType::Int1, 1, 0, B({0xFF})},
      {"int1 256", RfcValue::integer(256), AbapType::Int1, 1, 0, std::nullopt,
       ValueError::out_of_range(AbapType::Int1, 256)},
      {"int1 -1", RfcValue::integer(-1), AbapType::Int1, 1, 0, std::nullopt,
       ValueError::out_of_range(AbapType::Int1, -1)},
      {"int2 max", RfcValue::integer(32767), AbapType::Int2, 2, 0, B({0xFF, 0x7F})},
      {"int2 min", RfcValue::integer(-32768), AbapType::Int2, 2, 0, B({0x00, 0x80})},
      {"int2 32768", RfcValue::integer(32768), AbapType::Int2, 2, 0, std::nullopt,
       ValueError::out_of_range(AbapType::Int2, 32768)},
      {"int4 text", RfcValue::text(" -2147483648 "), AbapType::Int4, 4, 0, B({0, 0, 0, 0x80})},
      {"int4 over", RfcValue::integer(2147483648LL), AbapType::Int4, 4, 0, std::nullopt,
       ValueError::out_of_range(AbapType::Int4, 2147483648LL)},
      {"int8 text plus", RfcValue::text("+5"), AbapType::Int8, 8, 0, B({5, 0, 0, 0, 0, 0, 0, 0})},
      {"int8 min", RfcValue::integer(std::numeric_limits<std::int64_t>::min()), AbapType::Int8, 8,
       0, B({0, 0, 0, 0, 0, 0, 0, 0x80})},
      {"int text out of range", RfcValue::text("300"), AbapType::Int1, 1, 0, std::nullopt,
       ValueError::out_of_range(AbapType::Int1, 300)},
      {"int4 float", RfcValue::floating(1.0), AbapType::Int4, 4, 0, std::nullopt,
       ValueError::unencodable(AbapType::Int4, kDescFloat)},
      {"int4 text 12.0", RfcValue::text("12.0"), AbapType::Int4, 4, 0, std::nullopt,
       nonnum(AbapType::Int4)},
      {"int4 empty", RfcValue::text("  "), AbapType::Int4, 4, 0, std::nullopt,
       nonnum(AbapType::Int4)},
      {"int4 lone sign", RfcValue::text("-"), AbapType::Int4, 4, 0, std::nullopt,
       nonnum(AbapType::Int4)},
      {"int8 beyond 64 bits", RfcValue::text("9223372036854775808"), AbapType::Int8, 8, 0,
       std::nullopt, nonnum(AbapType::Int8)},
      {"int4 bytes", RfcValue::bytes({}), AbapType::Int4, 4, 0, std::nullopt,
       ValueError::unencodable(AbapType::Int4, kDescBytes)},
      {"int4 undecoded", RfcValue::undecoded(AbapType::Int4, B({9})), AbapType::Int4, 4, 0, B({9})},
      {"float text", RfcValue::text(" 1.5 "), AbapType::Float, 8, 0,
       B({0, 0, 0, 0, 0, 0, 0xF8, 0x3F})},
      {"float int", RfcValue::integer(-2), AbapType::Float, 8, 0, B({0, 0, 0, 0, 0, 0, 0, 0xC0})},
      {"float text refused", RfcValue::text("1.5x"), AbapType::Float, 8, 0, std::nullopt,
       nonnum(AbapType::Float)},
      {"float bytes", RfcValue::bytes({}), AbapType::Float, 8, 0, std::nullopt,
       ValueError::unencodable(AbapType::Float, kDescBytes)},
  });
}

TEST(EncodeField, BinaryAndStringKinds) {
  const auto nonbin = [](AbapType t) { return ValueError::unencodable(t, kDescNonBinary); };
  run_encode_cases({
      {"byte filled", RfcValue::bytes(B({1, 2})), AbapType::Byte, 4, 0, B({1, 2, 0, 0})},
      {"byte too wide", RfcValue::bytes(B({1, 2, 3})), AbapType::Byte, 2, 0, std::nullopt,
       ValueError::too_wide(3, AbapType::Byte, 2)},
      {"byte text utf8", RfcValue::text("\xC3\xA4"), AbapType::Byte, 8, 0, B({0xC3, 0xA4})},
      {"byte int", RfcValue::integer(1), AbapType::Byte, 1, 0, std::nullopt,
       nonbin(AbapType::Byte)},
      {"byte undecoded", RfcValue::undecoded(AbapType::Byte, B({1})), AbapType::Byte, 1, 0,
       std::nullopt, nonbin(AbapType::Byte)},
      {"xstring bytes", RfcValue::bytes(B({1, 2, 3})), AbapType::XString, 1, 0, B({1, 2, 3})},
      {"xstring float", RfcValue::floating(1), AbapType::XString, 0, 0, std::nullopt,
       nonbin(AbapType::XString)},
      {"string text", RfcValue::text("a\xC3\xA4"), AbapType::String, 0, 0, B({'a', 0xC3, 0xA4})},
      {"string int", RfcValue::integer(-7), AbapType::String, 0, 0, B({'-', '7'})},
      {"string float", RfcValue::floating(0.5), AbapType::String, 0, 0, B({'0', '.', '5'})},
      {"string bytes", RfcValue::bytes({}), AbapType::String, 0, 0, std::nullopt,
       ValueError::unencodable(AbapType::String, kDescBytes)},
      {"structure width 0", RfcValue::bytes(B({1, 2, 3})), AbapType::Structure, 0, 0, B({1, 2, 3})},
      {"structure filled", RfcValue::bytes(B({1})), AbapType::Table, 3, 0, B({1, 0, 0})},
      {"structure too wide", RfcValue::bytes(B({1, 2})), AbapType::DeepStructure, 1, 0,
       std::nullopt, ValueError::too_wide(2, AbapType::DeepStructure, 1)},
      {"structure undecoded not filled", RfcValue::undecoded(AbapType::Structure, B({1})),
       AbapType::Structure, 3, 0, B({1})},
      {"structure undecoded too wide", RfcValue::undecoded(AbapType::Structure, B({1, 2})),
       AbapType::Structure, 1, 0, std::nullopt, ValueError::too_wide(2, AbapType::Structure, 1)},
      {"structure text", RfcValue::text("x"), AbapType::Structure, 0, 0, std::nullopt,
       nonbin(AbapType::Structure)},
  });
}

TEST(EncodeField, HugeZeroFillIsRefused) {
  auto r = encode_field_value(RfcValue::bytes(B({1})), AbapType::Byte, 0xFFFFFFFFu, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ValueError::Kind::Unrepresentable);
  r = encode_field_value(RfcValue::bytes(B({1})), AbapType::Structure, 0x80000000u, 0);
  ASSERT_FALSE(r.ok());
  // Exactly the width needs no fill, whatever the width.
  r = encode_field_value(RfcValue::bytes(Bytes(16, 7)), AbapType::Byte, 16, 0);
  EXPECT_TRUE(r.ok());
}

TEST(EncodeField, PackedDecimalFloatAndUtclong) {
  run_encode_cases({
      {"bcd text", RfcValue::text("-12.5"), AbapType::Bcd, 3, 2, B({0x01, 0x25, 0x0D})},
      {"bcd int", RfcValue::integer(123), AbapType::Bcd, 2, 0, B({0x12, 0x3C})},
      {"bcd float", RfcValue::floating(1.5), AbapType::Bcd, 2, 1, B({0x01, 0x5C})},
      {"bcd float nan", RfcValue::floating(std::nan("")), AbapType::Bcd, 2, 1, std::nullopt,
       ValueError::not_a_number()},
      {"bcd bytes unchecked", RfcValue::bytes(B({0xFF, 0xFF, 0xFF})), AbapType::Bcd, 1, 0,
       B({0xFF, 0xFF, 0xFF})},
      {"bcd undecoded", RfcValue::undecoded(AbapType::Bcd, B({0xAB})), AbapType::Bcd, 4, 0,
       B({0xAB})},
      {"decfloat16 text", RfcValue::text("1.50"), AbapType::DecFloat16, 8, 0,
       B({0xD0, 0x00, 0, 0, 0, 0, 0x30, 0x22})},
      {"decfloat16 int", RfcValue::integer(-1), AbapType::DecFloat16, 8, 0,
       B({0x01, 0, 0, 0, 0, 0, 0x38, 0xA2})},
      {"decfloat34 float", RfcValue::floating(1.5), AbapType::DecFloat34, 16, 0, std::nullopt,
       ValueError::unencodable(AbapType::DecFloat34, kDescBinaryFloat)},
      {"decfloat bytes", RfcValue::bytes(B({1})), AbapType::DecFloat34, 16, 0, B({1})},
      {"decfloat bad text", RfcValue::text("1e"), AbapType::DecFloat16, 8, 0, std::nullopt,
       ValueError::not_a_number()},
      {"utclong text", RfcValue::text("0001-01-01 00:00:00"), AbapType::Utclong, 8, 0,
       B({1, 0, 0, 0, 0, 0, 0, 0})},
      {"utclong bad text", RfcValue::text("yesterday"), AbapType::Utclong, 8, 0, std::nullopt,
       ValueError::unencodable(AbapType::Utclong, kDescNotUtclongText)},
      {"utclong int", RfcValue::integer(-1), AbapType::Utclong, 8, 0, Bytes(8, 0xFF)},
      {"utclong float", RfcValue::floating(1), AbapType::Utclong, 8, 0, std::nullopt,
       ValueError::unencodable(AbapType::Utclong, kDescFloat)},
      {"utclong bytes", RfcValue::bytes(B({1, 2})), AbapType::Utclong, 8, 0, B({1, 2})},
  });
}

TEST(FieldRoundTrip, DecodeOfEncodeGivesTheValueBack) {
  std::mt19937_64 rng(1234);
  for (int i = 0; i < 2000; ++i) {
    const std::int64_t v = static_cast<std::int64_t>(rng());
    struct {
      AbapType ty;
      std::int64_t value;
    } ints[] = {
        {AbapType::Int1, static_cast<std::int64_t>(v & 0xFF)},
        {AbapType::Int2, static_cast<std::int16_t>(v)},
        {AbapType::Int4, static_cast<std::int32_t>(v)},
        {AbapType::Int8, v},
    };
    for (const auto& c : ints) {
      auto enc = encode_field_value(RfcValue::integer(c.value), c.ty, 8, 0);
      ASSERT_TRUE(enc.ok());
      EXPECT_EQ(*decode_field_value(*enc, c.ty), RfcValue::integer(c.value));
    }
    const double d = std::bit_cast<double>(std::uint64_t{rng()});
    auto fe = encode_field_value(RfcValue::floating(d), AbapType::Float, 8, 0);
    EXPECT_EQ(std::bit_cast<std::uint64_t>(decode_field_value(*fe, AbapType::Float)->as_float()),
              std::bit_cast<std::uint64_t>(d));
    // Packed: any integer round-trips through text with its decimals.
    const std::uint32_t decimals = static_cast<std::uint32_t>(rng() % 6);
    std::string digits = std::to_string(rng() % 1000000000000ULL);
    std::string text = (rng() & 1 ? "-" : "") + insert_decimal_point(digits, decimals);
    auto pe = encode_field_value(RfcValue::text(text), AbapType::Bcd, 8, decimals);
    ASSERT_TRUE(pe.ok()) << text;
    auto pd = decode_field_with_decimals(*pe, AbapType::Bcd, decimals);
    EXPECT_EQ(*pd, RfcValue::text(text));
  }
}

// ---------------------------------------------------------------------------
// Packed decimals

TEST(Bcd, Unpack) {
  struct Case {
    Bytes in;
    std::uint32_t decimals;
    const char* out;  // nullptr: Undecodable
  } cases[] = {
      {B({0x12, 0x34, 0x5C}), 2, "123.45"},
      {B({0x00, 0x0D}), 2, "-0.00"},
      {B({0x12, 0x3F}), 0, "123"},
      {B({0x00, 0x0C}), 0, "0"},
      {B({0x0D}), 0, "-0"},
      {B({0x5B}), 0, "5"},  // any sign nibble but D is positive
      {B({0x5D}), 3, "-0.005"},
      {B({0x00, 0x00, 0x1C}), 0, "1"},
      {B({0x1A, 0x2C}), 0, nullptr},
      {B({0xA0, 0x2C}), 0, nullptr},
      {B({0x99, 0xF9}), 0, nullptr},  // high nibble of the sign byte is a digit
      {{}, 0, nullptr},
  };
  for (const auto& c : cases) {
    auto r = unpack_bcd(c.in, c.decimals);
    SCOPED_TRACE(hex(c.in));
    if (c.out) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(*r, c.out);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), ValueError::undecodable(AbapType::Bcd, c.in.size()));
    }
  }
}

TEST(Bcd, Pack) {
  struct Case {
    const char* text;
    std::uint32_t width, decimals;
    std::optional<Bytes> out;
    std::optional<ValueError> error = std::nullopt;
  } cases[] = {
      {"-12.5", 3, 2, B({0x01, 0x25, 0x0D})},
      {"0", 1, 0, B({0x0C})},
      {" +7 ", 1, 0, B({0x7C})},
      {"1.230", 2, 2, B({0x12, 0x3C})},
      {"1.235", 2, 2, std::nullopt, ValueError::unrepresentable(kReasonTooManyDecimals)},
      {"12345", 2, 0, std::nullopt, ValueError::too_wide(5, AbapType::Bcd, 3)},
      {"00123", 2, 0, B({0x12, 0x3C})},
      {".5", 2, 1, B({0x00, 0x5C})},
      {"5.", 2, 1, B({0x05, 0x0C})},
      {"", 2, 2, B({0x00, 0x0C})},
      {"-", 1, 0, B({0x0D})},
      {"1.2.3", 4, 3, std::nullopt, ValueError::not_a_number()},
      {"1e3", 4, 0, std::nullopt, ValueError::not_a_number()},
      {"+-1", 4, 0, std::nullopt, ValueError::not_a_number()},
      {"1", 0, 0, std::nullopt, ValueError::decimal_width(1, 0)},
      {"999", 2, 0, B({0x99, 0x9C})},
      {"99.9", 2, 1, B({0x99, 0x9C})},
      {"9.99", 2, 1, std::nullopt, ValueError::unrepresentable(kReasonTooManyDecimals)},
      {"1", 2, 3, std::nullopt, ValueError::too_wide(4, AbapType::Bcd, 3)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    auto r = pack_bcd(c.text, c.width, c.decimals);
    expect_bytes_or_error(r, c.out, c.error);
  }
}

TEST(Bcd, HugeWidthIsRefusedNotAllocated) {
  // A packed field's width comes from the partner's dictionary; the packed
  // image has exactly that many bytes, so a hostile width must not turn a
  // small number into gigabytes.
  for (std::uint32_t width : {0xFFFFFFFFu, static_cast<std::uint32_t>(kMaxFieldFill) + 1}) {
    auto r = pack_bcd("1", width, 0);
    ASSERT_FALSE(r.ok()) << width;
    EXPECT_EQ(r.error(), ValueError::unrepresentable(fmt::format("a field of {} bytes", width)));
    auto e = encode_field_value(RfcValue::integer(1), AbapType::Bcd, width, 0);
    ASSERT_FALSE(e.ok()) << width;
    EXPECT_EQ(e.error().kind(), ValueError::Kind::Unrepresentable);
  }
  // Up to the fill limit the width is honoured exactly.
  auto r = pack_bcd("-1", 1000, 0);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->size(), 1000u);
  EXPECT_EQ(r->back(), 0x1D);
}

TEST(Bcd, HugeDecimalsAreRefusedNotAllocated) {
  EXPECT_FALSE(unpack_bcd(B({0x1C}), 0xFFFFFFFFu).ok());
  EXPECT_FALSE(pack_bcd("1", 1, 0xFFFFFFFFu).ok());
  EXPECT_EQ(insert_decimal_point("12", 0xFFFFFFFFu), "12");
  EXPECT_EQ(unpack_bcd(B({0x1C}), kMaxDecimals)->size(), std::size_t{kMaxDecimals} + 2);
}

TEST(DecimalPoint, Insert) {
  struct Case {
    const char* in;
    std::uint32_t decimals;
    const char* out;
  } cases[] = {
      {"12345", 2, "123.45"}, {"-5", 3, "-0.005"}, {"", 2, "0.00"},    {"-", 1, "-0.0"},
      {"7", 0, "7"},          {"1.5", 2, "1.5"},   {"12a", 1, "12a"},  {"+12", 1, "+12"},
      {" 12", 1, " 12"},      {"100", 2, "1.00"},  {"007", 1, "00.7"},
  };
  for (const auto& c : cases) EXPECT_EQ(insert_decimal_point(c.in, c.decimals), c.out) << c.in;
}

TEST(TextField, GuessesTheEncoding) {
  using namespace std::string_literals;
  struct Case {
    Bytes in;
    std::string out;
  } cases[] = {
      {B({0x41, 0, 0x42, 0}), "AB"},
      {B({0x41, 0x42, 0x43, 0x44}), "ABCD"},  // no zero at an odd offset
      {B({0xE4, 0x00}), "\xC3\xA4"},          // UTF-16LE a-umlaut
      // An unpaired surrogate: not UTF-16LE, so the bytes are read as UTF-8.
      {B({0x00, 0xD8, 0x41, 0x00}),
       "\0\xEF\xBF\xBD"
       "A\0"s},
      {B({0x41, 0x00, 0x42}), "A\0B"s},  // odd length: UTF-8
      {B({0xC3, 0xA4}), "\xC3\xA4"},
      {B({0xFF, 0xFE}), "\xEF\xBF\xBD\xEF\xBF\xBD"},
      {{}, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(decode_text_field(c.in), c.out) << hex(c.in);
}

// ---------------------------------------------------------------------------
// Texts of numbers

TEST(FloatText, Examples) {
  struct Case {
    double v;
    const char* out;
  } cases[] = {
      {0.1, "0.1"},
      {2.5, "2.5"},
      {1e-7, "0.0000001"},
      {1e21, "1000000000000000000000"},
      {1e23, "100000000000000000000000"},
      {2.0, "2"},
      {-2.0, "-2"},
      {0.0, "0"},
      {-0.0, "-0"},
      {123456.789, "123456.789"},
      {-1.5e-3, "-0.0015"},
      {9007199254740993.0, "9007199254740992"},
      {std::numeric_limits<double>::quiet_NaN(), "NaN"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(float_shortest_text(c.v), c.out);
  EXPECT_EQ(float_shortest_text(5e-324).size(), 2 + 323 + 1u);
  EXPECT_EQ(float_shortest_text(1.7976931348623157e308).size(), 309u);
}

TEST(FloatText, AgreesWithPythonReprAndReadsBack) {
  std::istringstream in(quib::test::run_python("tests/wire/oracles/float_repr.py 20240917 20000"));
  std::string bits_hex, expected;
  int n = 0;
  while (in >> bits_hex >> expected) {
    const std::uint64_t bits = std::stoull(bits_hex, nullptr, 16);
    const double d = std::bit_cast<double>(bits);
    ASSERT_EQ(float_shortest_text(d), expected) << bits_hex;
    auto back = parse_double_text(expected);
    ASSERT_TRUE(back.has_value()) << expected;
    ASSERT_EQ(std::bit_cast<std::uint64_t>(*back), bits) << expected;
    ++n;
  }
  EXPECT_EQ(n, 20000);
}

TEST(DoubleParse, Accepts) {
  struct Case {
    const char* in;
    double v;
  } cases[] = {
      {"1.5", 1.5},        {" -2 ", -2.0},           {"+3.", 3.0},        {".25", 0.25},
      {"1e3", 1000.0},     {"1E-2", 0.01},           {"-1.5e+2", -150.0}, {"007", 7.0},
      {"1e400", HUGE_VAL}, {"-1e400", -HUGE_VAL},    {"1e-400", 0.0},     {"0e999999999999", 0.0},
      {"inf", HUGE_VAL},   {"-Infinity", -HUGE_VAL}, {"INF", HUGE_VAL},   {"4.9e-324", 5e-324},
      {"0.1", 0.1},        {"\t8\n", 8.0},
  };
  for (const auto& c : cases) {
    auto r = parse_double_text(c.in);
    ASSERT_TRUE(r.has_value()) << c.in;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(*r), std::bit_cast<std::uint64_t>(c.v)) << c.in;
  }
  auto nan = parse_double_text("NaN");
  ASSERT_TRUE(nan && std::isnan(*nan));
  auto mnan = parse_double_text("-nan");
  ASSERT_TRUE(mnan && std::isnan(*mnan) && std::signbit(*mnan));
  auto mzero = parse_double_text("-0");
  ASSERT_TRUE(mzero && std::signbit(*mzero));
}

TEST(DoubleParse, Refuses) {
  for (const char* in :
       {"",     " ",   ".",   "-",   "+",       "e5",   "1e",  "1e+",   "1.2.3", "12a",
        "0x10", "1,5", "+-1", "--1", "infinit", "nan1", "1 2", "1e5.5", "inf5",  "1_000"}) {
    EXPECT_FALSE(parse_double_text(in).has_value()) << in;
  }
}

TEST(IntParse, Cases) {
  struct Case {
    const char* in;
    std::optional<std::int64_t> v;
  } cases[] = {
      {"0", 0},
      {" 42 ", 42},
      {"+7", 7},
      {"-9223372036854775808", std::numeric_limits<std::int64_t>::min()},
      {"9223372036854775807", std::numeric_limits<std::int64_t>::max()},
      {"9223372036854775808", std::nullopt},
      {"-9223372036854775809", std::nullopt},
      {"", std::nullopt},
      {"-", std::nullopt},
      {"+-1", std::nullopt},
      {"1.0", std::nullopt},
      {"1e3", std::nullopt},
      {"12 3", std::nullopt},
      {"0x1", std::nullopt},
  };
  for (const auto& c : cases) EXPECT_EQ(parse_int64_text(c.in), c.v) << c.in;
}

}  // namespace

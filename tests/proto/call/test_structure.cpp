// Structure images: named field values to the flat image of a layout and
// back, with the ABAP initial value of every field no value names, values
// held to their fields (refused, never cut), and the failures of hostile or
// inconsistent layouts.
#include <gtest/gtest.h>

#include "proto/call/structure.hpp"
#include "tests/support/descriptions.hpp"

namespace quib::proto {
namespace {

using test::field;
using wire::AbapType;
using wire::Bytes;
using wire::RfcValue;

StructureLayout layout(std::string name, std::vector<FieldLayout> fields, std::uint64_t size) {
  return StructureLayout{std::move(name), std::move(fields), size};
}

// ID Int4 at 0, NAME Char 10 bytes at 4, AMOUNT Bcd 3 bytes (2 decimals) at
// 14, pad byte at 17, SCORE Float at 24: 32 bytes.
StructureLayout row_layout() {
  return layout("ZROW",
                {field("ID", AbapType::Int4, 0, 4), field("NAME", AbapType::Char, 4, 10),
                 field("AMOUNT", AbapType::Bcd, 14, 3, 2), field("SCORE", AbapType::Float, 24, 8)},
                32);
}

Bytes utf16_blank(std::size_t n) {
  Bytes b;
  for (std::size_t i = 0; i < n; ++i) b.push_back(i % 2 == 0 ? 0x20 : 0x00);
  return b;
}

TEST(FindField, FirstMatchIgnoringAsciiCaseOnly) {
  StructureLayout l =
      layout("S",
             {field("NAME", AbapType::Char, 0, 2), field("name", AbapType::Int4, 4, 4),
              field("\xC3\x84R", AbapType::Char, 8, 2)},
             12);
  ASSERT_NE(find_field(l, "Name"), nullptr);
  EXPECT_EQ(find_field(l, "Name"), &l.fields[0]);
  EXPECT_EQ(find_field(l, "\xC3\x84r"), &l.fields[2]);  // only ASCII letters fold
  EXPECT_EQ(find_field(l, "\xC3\xA4R"), nullptr);
  EXPECT_EQ(find_field(l, "NAM"), nullptr);
}

TEST(EncodeStructure, PrefillsTextFieldsAndPlacesValues) {
  struct Case {
    const char* what;
    StructureLayout layout;
    std::vector<NamedValue> values;
    Bytes image;
  };
  Bytes full_row(32, 0);
  wire::store_le32(full_row.data(), 7);
  const Bytes name = {'A', 0, 'b', 0, ' ', 0, ' ', 0, ' ', 0};
  std::copy(name.begin(), name.end(), full_row.begin() + 4);
  full_row[14] = 0x01;  // 12.34 packed in 3 bytes: 01 23 4C
  full_row[15] = 0x23;
  full_row[16] = 0x4C;
  const double score = 2.5;
  std::memcpy(full_row.data() + 24, &score, 8);

  Bytes untouched(32, 0);
  const Bytes blanks = utf16_blank(10);
  std::copy(blanks.begin(), blanks.end(), untouched.begin() + 4);

  const Bytes abcde = {'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0};
  Bytes exact = untouched;
  std::copy(abcde.begin(), abcde.end(), exact.begin() + 4);

  const Case cases[] = {
      {"one Char field of 10 bytes, no values",
       layout("C", {field("F", AbapType::Char, 0, 10)}, 10),
       {},
       utf16_blank(10)},
      {"a Char field of 3 bytes ends in a lone 20",
       layout("C", {field("F", AbapType::Char, 0, 3)}, 3),
       {},
       Bytes{0x20, 0x00, 0x20}},
      {"Numc, Date and Time start as zeros, other kinds as zero bytes",
       layout("T",
              {field("N", AbapType::Numc, 0, 2), field("D", AbapType::Date, 2, 2),
               field("T", AbapType::Time, 4, 2), field("X", AbapType::Byte, 6, 2),
               field("P", AbapType::Bcd, 8, 2)},
              10),
       {},
       Bytes{0x30, 0, 0x30, 0, 0x30, 0, 0, 0, 0, 0}},
      {"the initial values of a date, a time and a Numc of their real widths",
       layout("T",
              {field("D", AbapType::Date, 0, 16), field("T", AbapType::Time, 16, 12),
               field("N", AbapType::Numc, 28, 7)},
              35),
       {},
       [] {
         Bytes b = wire::encode_utf16le("00000000000000000");
         b.push_back(0x30);
         return b;
       }()},
      {"a Numc is filled with zeros on the left; a blank date and time are initial",
       layout("T",
              {field("N", AbapType::Numc, 0, 8), field("D", AbapType::Date, 8, 16),
               field("T", AbapType::Time, 24, 12), field("D2", AbapType::Date, 36, 16)},
              52),
       {{"N", RfcValue::text("42")},
        {"D", RfcValue::text("        ")},
        {"T", RfcValue::text("")},
        {"D2", RfcValue::text("20240517")}},
       wire::encode_utf16le("0042"
                            "00000000"
                            "000000"
                            "20240517")},
      {"a text field reaching past the size is filled up to the size",
       layout("C", {field("F", AbapType::Char, 2, 10)}, 6),
       {},
       Bytes{0, 0, 0x20, 0, 0x20, 0}},
      {"values in lower case fill the upper-case fields",
       row_layout(),
       {{"id", RfcValue::integer(7)},
        {"Name", RfcValue::text("Ab")},
        {"amount", RfcValue::text("12.34")},
        {"SCORE", RfcValue::floating(2.5)}},
       full_row},
      {"fields no value names keep their filling", row_layout(), {}, untouched},
      {"a text as long as its field fills it; the neighbours are untouched",
       row_layout(),
       {{"NAME", RfcValue::text("abcde")}},
       exact},
      {"a name given twice: the later value wins",
       layout("C", {field("F", AbapType::Int1, 0, 1)}, 1),
       {{"F", RfcValue::integer(1)}, {"f", RfcValue::integer(9)}},
       Bytes{9}},
  };
  for (const auto& c : cases) {
    auto image = encode_structure(c.layout, c.values);
    ASSERT_TRUE(image) << c.what << ": " << image.error().message();
    EXPECT_EQ(*image, c.image) << c.what;
  }
}

TEST(EncodeStructure, Failures) {
  const StructureLayout row = row_layout();
  struct Case {
    const char* what;
    StructureLayout layout;
    std::vector<NamedValue> values;
    std::string message;
  };
  const Case cases[] = {
      {"a name that no field has",
       row,
       {{"NOPE", RfcValue::text("x")}},
       "unexpected record during structure encode: ZROW has no field NOPE"},
      {"a field wider than 32 bits",
       layout("W", {field("F", AbapType::Byte, 0, 1ull << 32)}, 8),
       {{"f", RfcValue::bytes({1})}},
       "unexpected record during structure encode: field f is 4294967296 bytes wide"},
      {"a field that ends past the row",
       layout("P", {field("F", AbapType::Int4, 6, 4)}, 8),
       {{"F", RfcValue::integer(1)}},
       "unexpected record during structure encode: field F ends at 10, past the 8-byte row"},
      {"a field whose end overflows",
       layout("O", {field("F", AbapType::Char, UINT64_MAX - 1, 4)}, 8),
       {{"F", RfcValue::text("x")}},
       "unexpected record during structure encode: field F has an offset and length that "
       "overflow"},
  };
  for (const auto& c : cases) {
    auto image = encode_structure(c.layout, c.values);
    ASSERT_FALSE(image) << c.what;
    EXPECT_EQ(image.error().message(), c.message) << c.what;
  }
}

TEST(EncodeStructure, RefusedValuesNameTheirFieldAndValue) {
  // A codec refusal is a Value error wrapping the codec's own error, which
  // names the field as the layout spells it and shows the value; nothing is
  // cut to fit.
  const StructureLayout kinds =
      layout("K",
             {field("ID", AbapType::Int4, 0, 4), field("NAME", AbapType::Char, 4, 10),
              field("NUM", AbapType::Numc, 14, 8), field("DAY", AbapType::Date, 22, 16),
              field("AT", AbapType::Time, 38, 12)},
             50);
  struct Case {
    const char* name;
    RfcValue value;
    const char* message;
  };
  const Case cases[] = {
      {"id", RfcValue::text("x7"),
       "ID \"x7\": cannot encode a non-numeric text value as ABAP Int4"},
      {"ID", RfcValue::integer(1ll << 40),
       "ID 1099511627776: 1099511627776 does not fit in an ABAP Int4"},
      {"NAME", RfcValue::text("abcdef"),
       "NAME \"abcdef\": 6 characters do not fit an ABAP Char of length 5"},
      {"NAME", RfcValue::integer(123456),
       "NAME 123456: 6 characters do not fit an ABAP Char of length 5"},
      {"NUM", RfcValue::text("12345"),
       "NUM \"12345\": 5 characters do not fit an ABAP Numc of length 4"},
      {"NUM", RfcValue::text("4a"),
       "NUM \"4a\": an ABAP Numc takes only digits: a text of digits or an integer of 0 or more"},
      {"NUM", RfcValue::integer(-1),
       "NUM -1: an ABAP Numc takes only digits: a text of digits or an integer of 0 or more"},
      {"DAY", RfcValue::text("2024-05-17"),
       "DAY \"2024-05-17\": an ABAP Date takes 8 digits YYYYMMDD, a date, or an empty or all-blank "
       "text for the initial date 00000000"},
      {"AT", RfcValue::text("12:30:05"),
       "AT \"12:30:05\": an ABAP Time takes 6 digits HHMMSS, a time, or an empty or all-blank "
       "text for the initial time 000000"},
      {"DAY", RfcValue::bytes({1}), "DAY 0x01: cannot encode a bytes value as ABAP Date"},
  };
  for (const Case& c : cases) {
    auto image = encode_structure(kinds, std::vector<NamedValue>{{c.name, c.value}});
    ASSERT_FALSE(image) << c.message;
    EXPECT_EQ(image.error().kind(), ProtocolError::Value) << c.message;
    EXPECT_EQ(image.error().message(), c.message);
  }
}

TEST(EncodeStructure, SizeLimitComesBeforeAnyAllocation) {
  // A layout that claims more than 64 MiB fails before anything is built;
  // one of exactly 64 MiB is built.
  StructureLayout huge = layout("HUGE", {field("F", AbapType::Char, 0, 1ull << 40)}, 1ull << 40);
  auto refused = encode_structure(huge, {});
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error().message(),
            "unexpected record during structure encode: HUGE claims a 1099511627776-byte row, past "
            "the 67108864-byte limit");
  huge.size = 67108865;
  EXPECT_FALSE(encode_structure(huge, {}));
  StructureLayout limit = layout("LIMIT", {field("F", AbapType::Byte, 0, 4)}, 67108864);
  auto built = encode_structure(limit, std::vector<NamedValue>{{"F", RfcValue::bytes({1, 2})}});
  ASSERT_TRUE(built) << built.error().message();
  EXPECT_EQ(built->size(), 67108864u);
  EXPECT_EQ((*built)[1], 2);
}

TEST(DecodeStructure, ValuesInLayoutOrderSkippingEmptyFields) {
  // Layout order is not offset order; a width-0 field (a table) is skipped.
  StructureLayout l = layout("D",
                             {field("B", AbapType::Int2, 4, 2), field("T", AbapType::Table, 0, 0),
                              field("A", AbapType::Char, 0, 4), field("P", AbapType::Bcd, 6, 2, 1)},
                             8);
  const Bytes image = {'h', 0, 'i', 0, 0xFE, 0xFF, 0x12, 0x3D, /* ignored: */ 9, 9};
  auto named = decode_structure(l, image);
  ASSERT_TRUE(named) << named.error().message();
  EXPECT_EQ(*named, (std::vector<NamedValue>{{"B", RfcValue::integer(-2)},
                                             {"A", RfcValue::text("hi")},
                                             {"P", RfcValue::text("-12.3")}}));
}

TEST(DecodeStructure, RoundTripOfAnEncodedImage) {
  const StructureLayout row = row_layout();
  const std::vector<NamedValue> values = {{"ID", RfcValue::integer(-12)},
                                          {"NAME", RfcValue::text("\xC3\xA9t\xC3\xA9")},
                                          {"AMOUNT", RfcValue::text("-0.50")},
                                          {"SCORE", RfcValue::floating(-1e300)}};
  auto image = encode_structure(row, values);
  ASSERT_TRUE(image);
  auto back = decode_structure(row, *image);
  ASSERT_TRUE(back) << back.error().message();
  EXPECT_EQ(*back, (std::vector<NamedValue>{{"ID", RfcValue::integer(-12)},
                                            {"NAME", RfcValue::text("\xC3\xA9t\xC3\xA9  ")},
                                            {"AMOUNT", RfcValue::text("-0.50")},
                                            {"SCORE", RfcValue::floating(-1e300)}}));
}

TEST(DecodeStructure, Failures) {
  const StructureLayout row = row_layout();
  Bytes short_image(31, 0);
  auto short_one = decode_structure(row, short_image);
  ASSERT_FALSE(short_one);
  EXPECT_EQ(
      short_one.error().message(),
      "unexpected record during structure decode: field SCORE needs bytes 24..32 of a 31-byte "
      "image");

  StructureLayout overflow = layout("O", {field("F", AbapType::Char, UINT64_MAX, 2)}, 0);
  auto over = decode_structure(overflow, Bytes(4, 0));
  ASSERT_FALSE(over);
  EXPECT_EQ(over.error().message(),
            "unexpected record during structure decode: field F claims offset "
            "18446744073709551615 length 2, which overflows");

  // A packed field with a digit nibble above 9: the codec's error inside Value.
  StructureLayout packed = layout("P", {field("P", AbapType::Bcd, 0, 2)}, 2);
  auto bad = decode_structure(packed, Bytes{0xA1, 0x2C});
  ASSERT_FALSE(bad);
  EXPECT_EQ(bad.error().kind(), ProtocolError::Value);

  // The value list is cleared before each image.
  std::vector<RfcValue> values = {RfcValue::integer(1)};
  EXPECT_FALSE(decode_structure_values(row, short_image, values));
  ASSERT_TRUE(decode_structure_values(row, Bytes(32, 0), values));
  EXPECT_EQ(values.size(), 4u);
}

}  // namespace
}  // namespace quib::proto

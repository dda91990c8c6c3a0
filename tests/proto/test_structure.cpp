// Structure images: named field values to the flat image of a layout and
// back, with the blank pre-fill of text fields, cutting to the field width,
// and the failures of hostile or inconsistent layouts.
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

  Bytes cut = untouched;
  const Bytes abcde = {'a', 0, 'b', 0, 'c', 0, 'd', 0, 'e', 0};
  std::copy(abcde.begin(), abcde.end(), cut.begin() + 4);

  const Case cases[] = {
      {"one Char field of 10 bytes, no values",
       layout("C", {field("F", AbapType::Char, 0, 10)}, 10),
       {},
       utf16_blank(10)},
      {"a Char field of 3 bytes ends in a lone 20",
       layout("C", {field("F", AbapType::Char, 0, 3)}, 3),
       {},
       Bytes{0x20, 0x00, 0x20}},
      {"every text kind is blank, other kinds zero",
       layout("T",
              {field("N", AbapType::Numc, 0, 2), field("D", AbapType::Date, 2, 2),
               field("T", AbapType::Time, 4, 2), field("X", AbapType::Byte, 6, 2),
               field("P", AbapType::Bcd, 8, 2)},
              10),
       {},
       Bytes{0x20, 0, 0x20, 0, 0x20, 0, 0, 0, 0, 0}},
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
      {"a longer text is cut to its field; the neighbour is untouched",
       row_layout(),
       {{"NAME", RfcValue::text("abcdefghij")}},
       cut},
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
  // A codec refusal is a Value error wrapping the codec's own error.
  auto wrong = encode_structure(row, std::vector<NamedValue>{{"ID", RfcValue::text("x7")}});
  ASSERT_FALSE(wrong);
  EXPECT_EQ(wrong.error().kind(), ProtocolError::Value);
  auto too_big =
      encode_structure(row, std::vector<NamedValue>{{"ID", RfcValue::integer(1ll << 40)}});
  ASSERT_FALSE(too_big);
  EXPECT_EQ(too_big.error().kind(), ProtocolError::Value);
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
  huge.size = kMaxStructureImage + 1;
  EXPECT_FALSE(encode_structure(huge, {}));
  StructureLayout limit = layout("LIMIT", {field("F", AbapType::Byte, 0, 4)}, kMaxStructureImage);
  auto built = encode_structure(limit, std::vector<NamedValue>{{"F", RfcValue::bytes({1, 2})}});
  ASSERT_TRUE(built) << built.error().message();
  EXPECT_EQ(built->size(), kMaxStructureImage);
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

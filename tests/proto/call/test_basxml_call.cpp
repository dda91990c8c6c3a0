// basXML calls: the request document and its container byte for byte, the
// choice of dictionary types, the refusals of the encoder, the reading of
// reply documents into the shapes of a classic reply (with their limits),
// the exchange over a scripted transport, and whole calls against the
// simulated ABAP system on both routes.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "proto/call/basxml.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/invoke/lookups.hpp"
#include "proto/session/open.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"
#include "tests/support/descriptions.hpp"
#include "tests/support/testutil.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "wire/basxml.hpp"
#include "wire/deflate.hpp"

namespace quib::proto {
namespace {

using test::B;
using test::cat;
using test::FakeSession;
using test::field;
using test::layout;
using test::param;
using test::ReplyBuilder;
using wire::AbapType;
using wire::BasxmlDocument;
using wire::Bytes;
using wire::ElementId;
using wire::RecordId;
using wire::RfcValue;
using wire::TableArg;
using namespace std::chrono_literals;

// The bytes of an ASCII text.
Bytes A(std::string_view s) { return wire::to_bytes(s); }

// ---------------------------------------------------------------- fixtures

// ZROW: ID Int4 at 0, NAME three characters at 4, SUB (a ZSUB of one Int1)
// at 10, LINES a table field at 16; 24 bytes.
BasxmlTypes row_types() {
  BasxmlTypes t;
  t["ZSUB"] = layout("ZSUB", {field("X", AbapType::Int1, 0, 1)}, 1);
  t["ZROW"] = layout("ZROW",
                     {field("ID", AbapType::Int4, 0, 4), field("NAME", AbapType::Char, 4, 6),
                      field("SUB", AbapType::Structure, 10, 1, 0, "STRU", "ZSUB"),
                      field("LINES", AbapType::Table, 16, 8, 0, "TTYP", "ZLINES")},
                     24);
  return t;
}

Bytes row_image(std::int32_t id, std::string_view name, std::uint8_t x) {
  Bytes img(24, 0);
  wire::store_le32(img.data(), static_cast<std::uint32_t>(id));
  for (std::size_t i = 0; i < 3; ++i) {
    img[4 + 2 * i] = i < name.size() ? static_cast<std::uint8_t>(name[i]) : ' ';
    img[5 + 2 * i] = 0;
  }
  img[10] = x;
  return img;
}

// Token-stream pieces written out from the format's tables, independently
// of the writer: a string is its one-byte length and its bytes.
Bytes str(std::string_view s) { return cat({B({static_cast<int>(s.size())}), A(s)}); }

constexpr std::string_view kUriA = "http://www.sap.com/abapxml";
constexpr std::string_view kUriB = "http://www.sap.com/abapxml/hint";

// Everything up to and including the opening of asx:values; the first
// parameter name is then string id 9.
Bytes prologue(std::string_view version = "1.0") {
  return cat({A("BXML"),      B({0x3F}),      str("VER"),
              str("0.7"),     B({0x3F}),      str("ENC"),
              str("utf-8"),   B({0x2B}),      str("asx"),
              B({0x2B}),      str(kUriA),     B({0x3A, 2, 3}),
              B({0x2B}),      str("abap"),    B({0x3C, 4, 2}),
              B({0x2B}),      str("version"), B({0x40, 5, 1, 0x41}),
              str(version),   B({0x2B}),      str("asxhint"),
              B({0x2B}),      str(kUriB),     B({0x3A, 6, 7}),
              B({0x2A, 3}),   B({0x2B}),      str("values"),
              B({0x3C, 8, 2})});
}

Bytes written(const BasxmlDocument& doc) {
  auto w = wire::write_basxml(doc);
  EXPECT_TRUE(w.ok()) << (w.ok() ? "" : w.error().message());
  return w.ok() ? w.value() : Bytes{};
}

std::string unsupported_detail(const ProtocolError& e) {
  const auto* u = e.get<ProtocolError::UnsupportedInfo>();
  if (!u) return "not Unsupported: " + e.message();
  EXPECT_EQ(u->label, kStepBasxml);
  return u->detail;
}

// The detail of a reply that does not inflate or parse.
std::string reply_detail(const ProtocolError& e) {
  const auto* b = e.get<ProtocolError::BasxmlReplyInfo>();
  if (!b) return "not BasxmlReply: " + e.message();
  return b->detail;
}

// ---------------------------------------------------------------- request

TEST(BasxmlRequest, ContainerRecordsByteForByte) {
  const std::vector<std::string> outputs = {"E_X", "T_ROWS"};
  auto r = basxml_request_container("Z_F", outputs, B({0xAA, 0xBB}));
  ASSERT_TRUE(r) << r.error().message();
  const Bytes body = cat({
      B({0x05, 0x02, 0, 0, 0x05, 0x02}),
      B({0x00, 0x0B, 0, 6, '7', 0, '5', 0, '3', 0, 0x00, 0x0B}),
      B({0x01, 0x02, 0, 6, 'Z', 0, '_', 0, 'F', 0, 0x01, 0x02}),
      B({0x05, 0x12, 0, 0, 0x05, 0x12}),
      B({0x02, 0x05, 0, 6, 'E', 0, '_', 0, 'X', 0, 0x02, 0x05}),
      B({0x02, 0x05, 0, 12, 'T', 0, '_', 0, 'R', 0, 'O', 0, 'W', 0, 'S', 0, 0x02, 0x05}),
      B({0x40, 0x00, 0, 2, 0x01, 0x01, 0x40, 0x00}),
      B({0x40, 0x02, 0, 2, 0xAA, 0xBB, 0x40, 0x02}),
      B({0x40, 0x04, 0, 0, 0x40, 0x04}),
      B({0xFF, 0xFF, 0, 0, 0xFF, 0xFF}),
  });
  const auto n = static_cast<int>(body.size());
  EXPECT_EQ(test::hex(r.value()),
            test::hex(cat({body, B({0, 0, n >> 8, n & 0xFF, 0, 0, 0x85, 0})})));
}

FunctionDescription scalar_function() {
  FunctionDescription d;
  d.name = "Z_F";
  d.basxml_supported = true;
  d.parameters = {param("I_CHAR", ParamDirection::Import, AbapType::Char, 20),
                  param("I_INT", ParamDirection::Import, AbapType::Int4, 4),
                  param("I_AMOUNT", ParamDirection::Import, AbapType::Bcd, 8, "ZAMOUNT"),
                  param("I_DATE", ParamDirection::Import, AbapType::Date, 16),
                  param("I_RAW", ParamDirection::Import, AbapType::Byte, 4),
                  param("I_EMPTY", ParamDirection::Import, AbapType::Char, 10),
                  param("E_OUT", ParamDirection::Export, AbapType::Char, 10)};
  return d;
}

TEST(BasxmlRequest, ScalarDocumentByteForByte) {
  const FunctionDescription d = scalar_function();
  const std::vector<ValueImport> imports = {
      {"i_char", RfcValue::text("AB  ")},   {"I_INT", RfcValue::integer(42)},
      {"I_AMOUNT", RfcValue::text("12.5")}, {"I_DATE", RfcValue::text("20240115")},
      {"I_RAW", RfcValue::bytes({1, 2})},   {"I_EMPTY", RfcValue::text("   ")}};
  auto doc = encode_basxml_request(d, {}, {{"I_AMOUNT", 2}}, imports, {});
  ASSERT_TRUE(doc) << doc.error().message();
  const Bytes expected = cat({
      prologue(),
      B({0x2B}),
      str("I_CHAR"),
      B({0x3C, 9, 1, 0x54}),
      str("AB"),
      B({0x3E}),
      B({0x2B}),
      str("I_INT"),
      B({0x3C, 10, 1, 0x54}),
      str("42"),
      B({0x3E}),
      B({0x2B}),
      str("I_AMOUNT"),
      B({0x3C, 11, 1, 0x54}),
      str("12.50"),
      B({0x3E}),
      B({0x2B}),
      str("I_DATE"),
      B({0x3C, 12, 1, 0x54}),
      str("2024-01-15"),
      B({0x3E}),
      B({0x2B}),
      str("I_RAW"),
      B({0x3C, 13, 1, 0x42, 4, 1, 2, 0, 0, 0x3E}),
      B({0x2B}),
      str("I_EMPTY"),
      B({0x3C, 14, 1, 0x3E}),
      B({0x3E, 0x3E}),
  });
  EXPECT_EQ(test::hex(written(doc.value())), test::hex(expected));
}

FunctionDescription row_function() {
  FunctionDescription d;
  d.name = "Z_ROWS";
  d.basxml_supported = true;
  d.parameters = {param("I_ROW", ParamDirection::Import, AbapType::Structure, 24, "ZROW"),
                  param("T_ROWS", ParamDirection::Table, AbapType::Table, 24, "ZROW"),
                  param("T_MORE", ParamDirection::Table, AbapType::Table, 24, "ZROW")};
  return d;
}

TEST(BasxmlRequest, StructuresAndTablesByteForByte) {
  const FunctionDescription d = row_function();
  const std::vector<ValueImport> imports = {{"I_ROW", RfcValue::bytes(row_image(7, "Ab", 5))}};
  // The second table is not given: it travels as an empty table. The third
  // table argument names no parameter and is not sent.
  const std::vector<TableArg> tables = {
      TableArg::byte_rows("t_rows", {row_image(1, "", 0), row_image(-2, "xyz", 9)}, 24),
      TableArg::byte_rows("T_UNKNOWN", {row_image(3, "", 0)}, 24)};
  auto doc = encode_basxml_request(d, row_types(), {}, imports, tables);
  ASSERT_TRUE(doc) << doc.error().message();
  const Bytes lines0 = B({0x40, 15, 3, 0x41, 1, '0'});
  auto row = [&](std::string_view id, std::string_view name, std::string_view x) {
    return cat({B({0x3C, 17, 1}), B({0x3C, 10, 1, 0x54}), str(id), B({0x3E}), B({0x3C, 11, 1}),
                name.empty() ? Bytes{} : cat({B({0x54}), str(name)}), B({0x3E}),
                B({0x3C, 12, 1, 0x3C, 13, 1, 0x54}), str(x), B({0x3E, 0x3E}), B({0x3C, 14, 1}),
                lines0, B({0x3E}), B({0x3E})});
  };
  const Bytes expected = cat({
      prologue(),
      // I_ROW: ID, NAME, SUB { X }, LINES (an empty table with its hint)
      B({0x2B}),
      str("I_ROW"),
      B({0x3C, 9, 1}),
      B({0x2B}),
      str("ID"),
      B({0x3C, 10, 1, 0x54}),
      str("7"),
      B({0x3E}),
      B({0x2B}),
      str("NAME"),
      B({0x3C, 11, 1, 0x54}),
      str("Ab"),
      B({0x3E}),
      B({0x2B}),
      str("SUB"),
      B({0x3C, 12, 1}),
      B({0x2B}),
      str("X"),
      B({0x3C, 13, 1, 0x54}),
      str("5"),
      B({0x3E, 0x3E}),
      B({0x2B}),
      str("LINES"),
      B({0x3C, 14, 1}),
      B({0x2B}),
      str("lines"),
      lines0,
      B({0x3E}),
      B({0x3E}),
      // T_ROWS: two item rows, the hint saying 2; names as the description
      // spells them.
      B({0x2B}),
      str("T_ROWS"),
      B({0x3C, 16, 1, 0x40, 15, 3, 0x41, 1, '2'}),
      B({0x2B}),
      str("item"),
      row("1", "", "0"),
      row("-2", "xyz", "9"),
      B({0x3E}),
      B({0x2B}),
      str("T_MORE"),
      B({0x3C, 18, 1}),
      lines0,
      B({0x3E}),
      B({0x3E, 0x3E}),
  });
  EXPECT_EQ(test::hex(written(doc.value())), test::hex(expected));
}

TEST(BasxmlRequest, SelectsTheTypesADocumentNeeds) {
  FunctionDescription d;
  d.name = "Z_SEL";
  d.parameters = {param("I_STRUCT", ParamDirection::Import, AbapType::Structure, 8, "ZIN"),
                  param("E_STRUCT", ParamDirection::Export, AbapType::Structure, 8, "ZOUT"),
                  param("T_TAB", ParamDirection::Table, AbapType::Table, 8, "ZROW"),
                  param("E_DEEP", ParamDirection::Export, AbapType::DeepStructure, 8, "ZDEEP"),
                  param("E_TTYP", ParamDirection::Export, AbapType::Table, 8, "ZTTYP"),
                  param("C_AGAIN", ParamDirection::Changing, AbapType::Structure, 8, "ZOUT"),
                  param("T_NONAME", ParamDirection::Table, AbapType::Table, 8, ""),
                  param("E_FLAT", ParamDirection::Export, AbapType::Char, 8, "ZCHAR")};
  struct Case {
    std::vector<std::string> given;
    std::vector<std::string> expected;
  };
  const Case cases[] = {
      {{}, {"ZOUT", "ZROW"}},
      {{"i_struct"}, {"ZIN", "ZOUT", "ZROW"}},
      {{"E_DEEP", "e_ttyp", "T_NONAME", "E_FLAT"}, {"ZOUT", "ZROW", "ZDEEP", "ZTTYP"}},
  };
  for (const Case& c : cases)
    EXPECT_EQ(select_types_for_basxml(d, c.given), c.expected) << fmt::format("{}", c.given.size());
}

TEST(BasxmlRequest, RefusesWhatItCannotSpell) {
  FunctionDescription d = row_function();
  d.parameters.push_back(param("I_DATE", ParamDirection::Import, AbapType::Date, 16));
  d.parameters.push_back(param("I_TAB", ParamDirection::Import, AbapType::Table, 4, "ZFOUR"));
  d.parameters.push_back(param("I_ZERO", ParamDirection::Import, AbapType::Table, 4, "ZEMPTY"));
  d.parameters.push_back(param("I_SELF", ParamDirection::Import, AbapType::Structure, 16, "ZSELF"));
  BasxmlTypes types = row_types();
  types["ZFOUR"] = layout("ZFOUR", {field("N", AbapType::Int4, 0, 4)}, 4);
  types["ZEMPTY"] = layout("ZEMPTY", {}, 0);
  types["ZSELF"] = layout("ZSELF",
                          {field("ID", AbapType::Int4, 0, 4),
                           field("ME", AbapType::Structure, 8, 8, 0, "STRU", "ZSELF")},
                          16);
  struct Case {
    std::vector<ValueImport> imports;
    std::vector<TableArg> tables;
    BasxmlTypes types;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {{{"I_NOPE", RfcValue::text("x")}}, {}, types, "Z_ROWS has no parameter named I_NOPE"},
      {{{"I_ROW", RfcValue::bytes(row_image(1, "", 0))}},
       {},
       {},
       "no row type described for I_ROW (ZROW)"},
      {{{"I_TAB", RfcValue::text("abcd")}},
       {},
       types,
       "table I_TAB needs its rows as bytes, got text"},
      {{{"I_TAB", RfcValue::integer(4)}},
       {},
       types,
       "table I_TAB needs its rows as bytes, got an integer"},
      {{{"I_TAB", RfcValue::floating(4)}},
       {},
       types,
       "table I_TAB needs its rows as bytes, got a float"},
      {{{"I_TAB", RfcValue::undecoded(AbapType::Int4, {1})}},
       {},
       types,
       "table I_TAB needs its rows as bytes, got an undecoded value"},
      {{{"I_TAB", RfcValue::bytes(Bytes(10, 0))}},
       {},
       types,
       "table I_TAB: 10 bytes is not a whole number of 4-byte rows"},
      {{{"I_ZERO", RfcValue::bytes(Bytes(3, 0))}},
       {},
       types,
       "table I_ZERO has a zero-width row type (ZEMPTY), so 3 bytes describe no rows"},
      {{},
       {TableArg::text_rows("T_ROWS", {"x"}, 24)},
       types,
       "table T_ROWS was given as a pre-encoded block"},
      {{},
       {TableArg::byte_rows("T_MORE", {row_image(1, "", 0)}, 24)},
       {},
       "no row type described for T_MORE (ZROW)"},
      {{{"I_SELF", RfcValue::bytes(Bytes(16, 0))}},
       {},
       types,
       "ZSELF.ME nests structures more than 32 deep; the layout refers to itself"},
  };
  for (const Case& c : cases) {
    auto r = encode_basxml_request(d, c.types, {}, c.imports, c.tables);
    ASSERT_FALSE(r) << c.detail;
    EXPECT_EQ(unsupported_detail(r.error()), c.detail);
  }
  // A nested row type that is missing names the path of its field.
  BasxmlTypes no_sub = row_types();
  no_sub.erase("ZSUB");
  auto r = encode_basxml_request(
      d, no_sub, {}, std::vector<ValueImport>{{"I_ROW", RfcValue::bytes(Bytes(24, 0))}}, {});
  ASSERT_FALSE(r);
  EXPECT_EQ(unsupported_detail(r.error()), "no row type described for ZROW.SUB (ZSUB)");
  // An image shorter than its layout's last field fails in the image codec.
  r = encode_basxml_request(d, types, {},
                            std::vector<ValueImport>{{"I_ROW", RfcValue::bytes(Bytes(9, 0))}}, {});
  ASSERT_FALSE(r);
  const auto* u = r.error().get<ProtocolError::UnexpectedRecordInfo>();
  ASSERT_NE(u, nullptr) << r.error().message();
  EXPECT_EQ(u->label, kStepStructureDecode);
}

// A chain of `levels` structures, each of one byte: ZN00 to the last hold
// a structure field NEXT of the next one, and the last holds an Int1 X.
BasxmlTypes nested_chain(std::size_t levels) {
  BasxmlTypes t;
  auto name = [](std::size_t i) { return fmt::format("ZN{:02}", i); };
  for (std::size_t i = 0; i + 1 < levels; ++i)
    t[name(i)] =
        layout(name(i), {field("NEXT", AbapType::Structure, 0, 1, 0, "STRU", name(i + 1))}, 1);
  t[name(levels - 1)] = layout(name(levels - 1), {field("X", AbapType::Int1, 0, 1)}, 1);
  return t;
}

// The parameter's own structure is at depth 0: 33 levels (down to depth 32)
// are encoded, a 34th is refused at the field that would open it. Requests
// and replies draw the line at the same place.
TEST(BasxmlNesting, ThirtyTwoLevelsBelowTheParameterAndNoMore) {
  FunctionDescription d;
  d.name = "Z_NEST";
  d.parameters = {param("I_S", ParamDirection::Import, AbapType::Structure, 1, "ZN00"),
                  param("E_S", ParamDirection::Export, AbapType::Structure, 1, "ZN00")};
  const std::string refused =
      "ZN32.NEXT nests structures more than 32 deep; the layout refers to itself";
  for (std::size_t levels : {33u, 34u}) {
    SCOPED_TRACE(levels);
    const BasxmlTypes types = nested_chain(levels);
    const std::vector<ValueImport> imports = {{"I_S", RfcValue::bytes(B({7}))}};
    auto request = encode_basxml_request(d, types, {}, imports, {});
    BasxmlDocument doc;
    doc.add_param(doc.new_element("E_S"));
    CallReply reply;
    auto decoded = decode_basxml_reply(doc, d, types, reply);
    if (levels == 33) {
      ASSERT_TRUE(request) << request.error().message();
      ASSERT_TRUE(decoded) << decoded.error().message();
      // The innermost Int1 is the byte of the whole image.
      EXPECT_EQ(reply.values.at(0).second, RfcValue::bytes(B({0})));
    } else {
      ASSERT_FALSE(request);
      EXPECT_EQ(unsupported_detail(request.error()), refused);
      ASSERT_FALSE(decoded);
      EXPECT_EQ(unsupported_detail(decoded.error()), refused);
    }
  }
}

TEST(BasxmlRequest, ScalarsAreHeldToTheirFieldsAsOnTheClassicRoute) {
  FunctionDescription d = scalar_function();
  d.parameters.push_back(param("I_NUMC", ParamDirection::Import, AbapType::Numc, 16));
  d.parameters.push_back(param("I_TIME", ParamDirection::Import, AbapType::Time, 12));
  // What the document carries: a Numc zero-filled, blank dates and times
  // as the initial ones.
  const std::vector<ValueImport> given = {{"I_NUMC", RfcValue::text("42")},
                                          {"I_DATE", RfcValue::text("        ")},
                                          {"I_TIME", RfcValue::text("")},
                                          {"I_CHAR", RfcValue::text("ten chars!")}};
  auto doc = encode_basxml_request(d, {}, {}, given, {});
  ASSERT_TRUE(doc) << doc.error().message();
  std::vector<std::pair<std::string, std::string>> texts;
  for (std::size_t i = 0; i < doc->param_count(); ++i) {
    const wire::Element e = doc->param(i);
    texts.emplace_back(e.name(), e.content().is_text() ? std::string(e.content().text()) : "");
  }
  EXPECT_EQ(texts, (std::vector<std::pair<std::string, std::string>>{{"I_NUMC", "00000042"},
                                                                     {"I_DATE", "0000-00-00"},
                                                                     {"I_TIME", "00:00:00"},
                                                                     {"I_CHAR", "ten chars!"}}));
  // What the classic route refuses is refused here too, naming the
  // parameter and the value.
  struct Case {
    ValueImport import;
    const char* message;
  };
  const Case refused[] = {
      {{"I_DATE", RfcValue::text("2024/01/15")},
       "I_DATE \"2024/01/15\": an ABAP Date takes 8 digits YYYYMMDD, a date, or an empty or "
       "all-blank text for the initial date 00000000"},
      {{"I_DATE", RfcValue::text("2024-01-15")},
       "I_DATE \"2024-01-15\": an ABAP Date takes 8 digits YYYYMMDD, a date, or an empty or "
       "all-blank text for the initial date 00000000"},
      {{"i_char", RfcValue::text("eleven char")},
       "I_CHAR \"eleven char\": 11 characters do not fit an ABAP Char of length 10"},
      {{"I_NUMC", RfcValue::text("1 2")},
       "I_NUMC \"1 2\": an ABAP Numc takes only digits: a text of digits or an integer of 0 or "
       "more"},
      {{"I_INT", RfcValue::integer(1ll << 40)},
       "I_INT 1099511627776: 1099511627776 does not fit in an ABAP Int4"},
      {{"I_RAW", RfcValue::bytes({1, 2, 3, 4, 5})},
       "I_RAW 0x0102030405: 5 bytes do not fit an ABAP Byte of width 4"},
  };
  for (const Case& c : refused) {
    auto r = encode_basxml_request(d, {}, {}, std::vector<ValueImport>{c.import}, {});
    ASSERT_FALSE(r) << c.message;
    EXPECT_EQ(r.error().kind(), ProtocolError::Value) << c.message;
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(BasxmlRequest, FieldsWithoutBytesAndDefaults) {
  // Width-0 fields are read by nothing: an Int4 is sent as 0, a Char as an
  // empty element; a table field holding data is sent as an empty table.
  BasxmlTypes types;
  types["ZODD"] =
      layout("ZODD",
             {field("N", AbapType::Int4, 0, 0), field("C", AbapType::Char, 0, 0),
              field("F", AbapType::Float, 0, 0), field("T", AbapType::Table, 0, 8, 0, "TTYP"),
              field("R", AbapType::Byte, 8, 2)},
             10);
  auto item = structure_items(*types["ZODD"], {{"T", RfcValue::bytes(Bytes(8, 0xEE))}}, types, 0);
  ASSERT_TRUE(item) << item.error().message();
  const auto& fields = item->value.as_structure();
  ASSERT_EQ(fields.size(), 5u);
  EXPECT_EQ(fields[0].value.value.as_scalar(), RfcValue::integer(0));
  EXPECT_EQ(fields[1].value.value.as_scalar(), RfcValue::text(""));
  EXPECT_EQ(fields[2].value.value.as_scalar(), RfcValue::floating(0.0));
  EXPECT_TRUE(fields[3].value.value.is_table());
  EXPECT_TRUE(fields[3].value.value.as_table().empty());
  EXPECT_EQ(fields[4].value.value.as_scalar(), RfcValue::bytes({}));
  EXPECT_EQ(fields[4].value.width, 2u);
}

TEST(BasxmlRequest, ElementaryTableLinesAreTheirValues) {
  // A table type whose line is one unnamed packed field: each row is an
  // item holding the number, not a structure of one nameless component.
  FunctionDescription d;
  d.name = "Z_DECS";
  d.parameters = {param("T_DECS", ParamDirection::Table, AbapType::Table, 4, "ZDEC_TAB")};
  BasxmlTypes types;
  types["ZDEC_TAB"] = layout("ZDEC_TAB", {field("", AbapType::Bcd, 0, 4, 2, "DEC")}, 4);
  const std::vector<TableArg> tables = {
      TableArg::byte_rows("T_DECS", {B({0x00, 0x00, 0x12, 0x3C}), B({0x00, 0x00, 0x45, 0x0D})}, 4)};
  auto doc = encode_basxml_request(d, types, {}, {}, tables);
  ASSERT_TRUE(doc) << doc.error().message();
  const Bytes expected =
      cat({prologue(), B({0x2B}), str("T_DECS"), B({0x3C, 9, 1}), B({0x2B}), str("lines"),
           B({0x40, 10, 3, 0x41}), str("2"), B({0x2B}), str("item"), B({0x3C, 11, 1, 0x54}),
           str("1.23"), B({0x3E}), B({0x3C, 11, 1, 0x54}), str("-4.50"), B({0x3E}),
           B({0x3E, 0x3E, 0x3E})});
  EXPECT_EQ(test::hex(written(doc.value())), test::hex(expected));
}

// ---------------------------------------------------------------- reply

FunctionDescription reply_function() {
  FunctionDescription d;
  d.name = "Z_REPLY";
  d.parameters = {param("E_CHAR", ParamDirection::Export, AbapType::Char, 20),
                  param("E_NUMC", ParamDirection::Export, AbapType::Numc, 8),
                  param("E_INT", ParamDirection::Export, AbapType::Int4, 4),
                  param("E_DATE", ParamDirection::Export, AbapType::Date, 16),
                  param("E_ROW", ParamDirection::Export, AbapType::Structure, 24, "ZROW"),
                  param("T_ROWS", ParamDirection::Table, AbapType::Table, 24, "ZROW"),
                  param("E_DEEP", ParamDirection::Export, AbapType::DeepStructure, 8, "ZDEEP"),
                  param("E_TTYP", ParamDirection::Export, AbapType::Table, 8, "ZTTYP")};
  return d;
}

ElementId row_element(BasxmlDocument& doc, std::string_view name, std::string_view id,
                      std::string_view text, std::string_view x) {
  const ElementId sub[] = {doc.text_element("X", x)};
  const ElementId fields[] = {doc.text_element("id", id), doc.text_element("NAME", text),
                              doc.structure_element("SUB", sub)};
  return doc.structure_element(name, fields);
}

TEST(BasxmlReply, ScalarsPaddedAndUnknownTextsKept) {
  BasxmlDocument doc;
  doc.add_param(doc.text_element("e_char", "AB"));
  doc.add_param(doc.text_element("E_NUMC", "12"));
  doc.add_param(doc.text_element("E_INT", " 42 "));
  doc.add_param(doc.text_element("E_DATE", "2024-01-15"));
  doc.add_param(doc.text_element("Z_EXTRA", "kept"));
  const ElementId kids[] = {doc.text_element("A", "x")};
  doc.add_param(doc.structure_element("Z_DROPPED", kids));
  CallReply reply;
  auto st = decode_basxml_reply(doc, reply_function(), {}, reply);
  ASSERT_TRUE(st) << st.error().message();
  const std::vector<NamedValue> values = {{"E_CHAR", RfcValue::text("AB        ")},
                                          {"E_NUMC", RfcValue::text("12  ")},
                                          {"E_INT", RfcValue::integer(42)},
                                          {"E_DATE", RfcValue::text("20240115")},
                                          {"Z_EXTRA", RfcValue::text("kept")}};
  EXPECT_EQ(reply.values, values);
  const std::vector<TextPair> pairs = {
      {"E_CHAR", "AB        "}, {"E_NUMC", "12  "}, {"E_DATE", "20240115"}, {"Z_EXTRA", "kept"}};
  EXPECT_EQ(reply.text_pairs, pairs);
}

TEST(BasxmlReply, StructuresAndTablesBecomeImagesOfTheirLayouts) {
  BasxmlDocument doc;
  doc.add_param(row_element(doc, "E_ROW", "7", "Ab", "5"));
  const ElementId rows[] = {row_element(doc, "item", "1", "a", "1"),
                            // A row that lacks fields: they are encoded from
                            // empty content.
                            doc.new_element("item"), row_element(doc, "item", "-3", "xyz", "255")};
  doc.add_param(doc.table_element("t_rows", rows));
  CallReply reply;
  auto st = decode_basxml_reply(doc, reply_function(), row_types(), reply);
  ASSERT_TRUE(st) << st.error().message();
  // Fields the elements do not name are encoded from empty content; the
  // table field stays zero.
  ASSERT_EQ(reply.values.size(), 1u);
  EXPECT_EQ(reply.values[0].first, "E_ROW");
  EXPECT_EQ(reply.values[0].second, RfcValue::bytes(row_image(7, "Ab", 5)));
  ASSERT_EQ(reply.tables.size(), 1u);
  const ReplyTable& t = reply.tables[0];
  EXPECT_EQ(t.name, "t_rows");
  EXPECT_EQ(t.declared_width, 24u);
  EXPECT_EQ(t.declared_count, 3u);
  EXPECT_EQ(t.rows.row_count(), 3u);
  EXPECT_EQ(t.rows.bytes(),
            cat({row_image(1, "a", 1), row_image(0, "", 0), row_image(-3, "xyz", 255)}));
}

TEST(BasxmlReply, ChildrenAreFoundByNameInAnyOrder) {
  // Children out of layout order, an unknown one, and a name given twice:
  // the first child of a name wins.
  BasxmlDocument doc;
  const ElementId sub[] = {doc.text_element("X", "3")};
  const ElementId kids[] = {doc.structure_element("SUB", sub), doc.text_element("name", "first"),
                            doc.text_element("EXTRA", "?"), doc.text_element("NAME", "second"),
                            doc.text_element("ID", "9")};
  doc.add_param(doc.structure_element("E_ROW", kids));
  CallReply reply;
  auto st = decode_basxml_reply(doc, reply_function(), row_types(), reply);
  ASSERT_TRUE(st) << st.error().message();
  EXPECT_EQ(reply.values[0].second, RfcValue::bytes(row_image(9, "fir", 3)));

  // A layout that names two fields alike (ignoring case) fills both from the
  // first child of that name; the request side takes the later value.
  BasxmlTypes types;
  types["ZDUP"] =
      layout("ZDUP", {field("A", AbapType::Int4, 0, 4), field("a", AbapType::Int4, 4, 4)}, 8);
  FunctionDescription d;
  d.name = "Z_DUP";
  d.parameters = {param("S", ParamDirection::Changing, AbapType::Structure, 8, "ZDUP")};
  BasxmlDocument dup;
  const ElementId two[] = {dup.text_element("a", "5"), dup.text_element("A", "6")};
  dup.add_param(dup.structure_element("S", two));
  CallReply dup_reply;
  ASSERT_TRUE(decode_basxml_reply(dup, d, types, dup_reply));
  EXPECT_EQ(dup_reply.values[0].second, RfcValue::bytes(B({5, 0, 0, 0, 5, 0, 0, 0})));
  auto request = encode_basxml_request(
      d, types, {}, std::vector<ValueImport>{{"S", RfcValue::bytes(B({1, 0, 0, 0, 2, 0, 0, 0}))}},
      {});
  ASSERT_TRUE(request) << request.error().message();
  const wire::Content fields = request->param(0).content();
  std::vector<std::string> texts;
  for (wire::Element f : fields.children()) texts.emplace_back(f.content().text());
  EXPECT_EQ(texts, (std::vector<std::string>{"2", "2"}));
}

TEST(BasxmlReply, ImageLengthIsTheLastFieldEnd) {
  BasxmlTypes types;
  // Int4 at 0 and Char at 4 of width 2: 6 bytes, though the size is 8.
  types["ZPAD"] =
      layout("ZPAD", {field("N", AbapType::Int4, 0, 4), field("C", AbapType::Char, 4, 2)}, 8);
  FunctionDescription d;
  d.name = "Z_PAD";
  d.parameters = {param("E_PAD", ParamDirection::Export, AbapType::Structure, 8, "ZPAD"),
                  param("T_PAD", ParamDirection::Table, AbapType::Table, 8, "ZPAD")};
  BasxmlDocument doc;
  const ElementId f[] = {doc.text_element("N", "1"), doc.text_element("C", "z")};
  doc.add_param(doc.structure_element("E_PAD", f));
  doc.add_param(doc.new_element("T_PAD"));
  CallReply reply;
  auto st = decode_basxml_reply(doc, d, types, reply);
  ASSERT_TRUE(st) << st.error().message();
  EXPECT_EQ(reply.values[0].second, RfcValue::bytes(B({1, 0, 0, 0, 'z', 0})));
  ASSERT_EQ(reply.tables.size(), 1u);
  EXPECT_EQ(reply.tables[0].rows.row_count(), 0u);
  EXPECT_EQ(reply.tables[0].declared_width, 6u);
}

TEST(BasxmlReply, DeepValuesFromElements) {
  BasxmlDocument doc;
  const ElementId items[] = {doc.text_element("item", "a"), doc.text_element("X", "b")};
  const ElementId deep[] = {doc.text_element("ID", "1"), doc.table_element("ITEMS", items),
                            doc.bytes_element("_--2FBIC_--2FRAW", B({1, 2, 3}))};
  doc.add_param(doc.structure_element("E_DEEP", deep));
  const ElementId lines[] = {doc.text_element("item", "one"), doc.text_element("item", "two")};
  doc.add_param(doc.table_element("E_TTYP", lines));
  CallReply reply;
  auto st = decode_basxml_reply(doc, reply_function(), {}, reply);
  ASSERT_TRUE(st) << st.error().message();
  ASSERT_EQ(reply.deep_nodes.size(), 2u);
  const wire::DeepNode& n = reply.deep_nodes[0];
  EXPECT_EQ(n.name, "E_DEEP");
  ASSERT_EQ(n.children.size(), 3u);
  EXPECT_EQ(n.children[1].children[1].name, "item");  // rows of a table are items
  EXPECT_EQ(n.children[2].name, "/BIC/RAW");
  EXPECT_EQ(n.children[2].text, "AQID");
  ASSERT_EQ(reply.deep_values.size(), 2u);
  EXPECT_EQ(reply.deep_values[0].fields,
            (std::vector<wire::DeepField>{{"ID", "1"}, {"/BIC/RAW", "AQID"}}));
  EXPECT_EQ(reply.deep_values[1].rows,
            (std::vector<std::vector<wire::DeepField>>{{{"", "one"}}, {{"", "two"}}}));
  EXPECT_TRUE(reply.values.empty());
}

TEST(BasxmlReply, ElementaryTableLinesReadTheirItemsText) {
  FunctionDescription d;
  d.name = "Z_DECS";
  d.parameters = {param("T_DECS", ParamDirection::Table, AbapType::Table, 4, "ZDEC_TAB")};
  BasxmlTypes types;
  types["ZDEC_TAB"] = layout("ZDEC_TAB", {field("", AbapType::Bcd, 0, 4, 2, "DEC")}, 4);
  BasxmlDocument doc;
  const ElementId rows[] = {doc.text_element("item", "1.23"), doc.text_element("item", "-4.50"),
                            doc.new_element("item")};
  doc.add_param(doc.table_element("T_DECS", rows));
  CallReply reply;
  auto st = decode_basxml_reply(doc, d, types, reply);
  ASSERT_TRUE(st) << st.error().message();
  ASSERT_EQ(reply.tables.size(), 1u);
  EXPECT_EQ(reply.tables[0].rows.bytes(),
            cat({B({0, 0, 0x12, 0x3C}), B({0, 0, 0x45, 0x0D}), B({0, 0, 0, 0x0C})}));
}

TEST(BasxmlReply, RefusalsOfShapeAndLayout) {
  BasxmlTypes types = row_types();
  types["ZOVER"] =
      layout("ZOVER", {field("A", AbapType::Int4, 0, 4), field("B", AbapType::Int1, 3, 1)}, 4);
  types["ZFAR"] = layout("ZFAR", {field("A", AbapType::Int1, ~std::uint64_t{0}, 2)}, 4);
  types["ZHUGE"] =
      layout("ZHUGE", {field("A", AbapType::Byte, 0, (64u << 20) + 1)}, (64u << 20) + 1);
  types["ZNARROW"] =
      layout("ZNARROW", {field("ROW", AbapType::Structure, 0, 8, 0, "STRU", "ZROW")}, 8);
  types["ZSELF"] = layout("ZSELF", {field("ME", AbapType::Structure, 0, 4, 0, "STRU", "ZSELF")}, 4);
  FunctionDescription d;
  d.name = "Z_BAD";
  for (const char* t : {"ZOVER", "ZFAR", "ZHUGE", "ZNARROW", "ZSELF", "ZROW"})
    d.parameters.push_back(
        param(std::string("E_") + t, ParamDirection::Export, AbapType::Structure, 8, t));
  d.parameters.push_back(param("T_ROWS", ParamDirection::Table, AbapType::Table, 24, "ZROW"));
  d.parameters.push_back(param("T_NOTYPE", ParamDirection::Table, AbapType::Table, 24, "ZMISSING"));
  d.parameters.push_back(param("E_INT", ParamDirection::Export, AbapType::Int4, 4));

  struct Case {
    std::function<void(BasxmlDocument&)> build;
    std::string detail;
  };
  const std::vector<Case> cases = {
      {[](BasxmlDocument& doc) { doc.add_param(doc.new_element("E_ZOVER")); },
       "B overlaps another field in ZOVER"},
      {[](BasxmlDocument& doc) { doc.add_param(doc.new_element("E_ZFAR")); },
       "A has an out-of-range offset"},
      {[](BasxmlDocument& doc) { doc.add_param(doc.new_element("E_ZHUGE")); },
       "ZHUGE claims a 67108865-byte row, past the 67108864-byte limit"},
      {[](BasxmlDocument& doc) { doc.add_param(doc.new_element("E_ZNARROW")); },
       "ZNARROW.ROW is 8 bytes but its type ZROW needs 24"},
      {[](BasxmlDocument& doc) { doc.add_param(doc.new_element("E_ZSELF")); },
       "ZSELF.ME nests structures more than 32 deep; the layout refers to itself"},
      {[](BasxmlDocument& doc) { doc.add_param(doc.text_element("E_ZROW", "flat")); },
       "E_ZROW carries Text(\"flat\") rather than components"},
      {[](BasxmlDocument& doc) {
         doc.add_param(doc.bytes_element("T_ROWS", B({1, 2})));
       },
       "table T_ROWS carries Bytes([1, 2]) rather than rows"},
      {[](BasxmlDocument& doc) {
         const ElementId rows[] = {doc.text_element("item", "flat")};
         doc.add_param(doc.table_element("T_ROWS", rows));
       },
       "item carries Text(\"flat\") rather than components"},
      {[](BasxmlDocument& doc) { doc.add_param(doc.new_element("T_NOTYPE")); },
       "no row type described for T_NOTYPE (ZMISSING)"},
      {[](BasxmlDocument& doc) { doc.add_param(doc.text_element("E_INT", "4x")); },
       "E_INT: a Int4 cannot be rendered from a text that is not an integer value"},
      {[](BasxmlDocument& doc) { doc.add_param(row_element(doc, "E_ZROW", "1", "a", "9z")); },
       "X: a Int1 cannot be rendered from a text that is not an integer value"},
  };
  for (const Case& c : cases) {
    BasxmlDocument doc;
    c.build(doc);
    CallReply reply;
    auto st = decode_basxml_reply(doc, d, types, reply);
    ASSERT_FALSE(st) << c.detail;
    EXPECT_EQ(unsupported_detail(st.error()), c.detail);
  }
  // A value the field codec refuses is a Value error: 300 does not fit an Int1.
  BasxmlDocument doc;
  doc.add_param(row_element(doc, "E_ZROW", "1", "a", "300"));
  CallReply reply;
  auto st = decode_basxml_reply(doc, d, types, reply);
  ASSERT_FALSE(st);
  EXPECT_EQ(st.error().kind(), ProtocolError::Value) << st.error().message();
}

TEST(BasxmlReply, EmptyRowsCannotExpandPastTheBudget) {
  BasxmlTypes types;
  types["ZWIDE"] = layout("ZWIDE", {field("RAW", AbapType::Byte, 0, 1 << 20)}, 1 << 20);
  FunctionDescription d;
  d.name = "Z_WIDE";
  d.parameters = {param("T_WIDE", ParamDirection::Table, AbapType::Table, 1 << 20, "ZWIDE")};
  auto document = [](std::size_t rows) {
    BasxmlDocument doc;
    std::vector<ElementId> items;
    for (std::size_t i = 0; i < rows; ++i) items.push_back(doc.new_element("item"));
    doc.add_param(doc.table_element("T_WIDE", items));
    return doc;
  };
  // Four rows of 1 MiB and the table's entry fit a budget of exactly that
  // much; a byte less refuses the table.
  const std::uint64_t need = (4u << 20) + kReplyEntryCost + std::string_view("T_WIDE").size();
  wire::ExpansionBudget exact(need);
  CallReply ok;
  ASSERT_TRUE(decode_basxml_reply(document(4), d, types, ok, exact));
  EXPECT_EQ(ok.tables[0].rows.bytes().size(), 4u << 20);
  EXPECT_EQ(exact.left(), 0u);
  wire::ExpansionBudget short_by_one(need - 1);
  CallReply refused;
  auto st = decode_basxml_reply(document(4), d, types, refused, short_by_one);
  ASSERT_FALSE(st);
  EXPECT_EQ(unsupported_detail(st.error()), reply_budget_text(short_by_one));
}

TEST(BasxmlReply, ValuesAndTextPairsDrawFromTheBudget) {
  // 10000 parameters the description does not know, each a text: each
  // yields a value and a text pair, and both count.
  BasxmlDocument doc;
  for (int i = 0; i < 10000; ++i) doc.add_param(doc.text_element("X", "t"));
  const std::uint64_t need = 10000 * 2 * (kReplyEntryCost + 2);
  FunctionDescription d = reply_function();
  for (const std::uint64_t budget : {need, need - 1}) {
    wire::ExpansionBudget b(budget);
    CallReply reply;
    auto st = decode_basxml_reply(doc, d, {}, reply, b);
    EXPECT_EQ(st.ok(), budget == need) << budget;
  }
}

TEST(BasxmlReply, StructureImagesShareTheBudgetWithTables) {
  // Each export is a 4096-byte image and each table row another: every one
  // of them is taken from the reply's budget, so each costs at least its
  // 4096 bytes (far more than the fixed cost of an entry), and the exact
  // need fits where one byte less does not.
  BasxmlTypes types;
  types["ZWIDE"] = layout("ZWIDE", {field("RAW", AbapType::Byte, 0, 4096)}, 4096);
  FunctionDescription d;
  d.name = "Z_BUDGET";
  for (const char* name : {"E_A", "E_B", "E_C"})
    d.parameters.push_back(param(name, ParamDirection::Export, AbapType::Structure, 4096, "ZWIDE"));
  d.parameters.push_back(param("T_ROWS", ParamDirection::Table, AbapType::Table, 4096, "ZWIDE"));
  auto document = [](std::size_t structures, std::size_t rows) {
    BasxmlDocument doc;
    const char* names[] = {"E_A", "E_B", "E_C"};
    for (std::size_t i = 0; i < structures; ++i) doc.add_param(doc.new_element(names[i]));
    std::vector<ElementId> items;
    for (std::size_t i = 0; i < rows; ++i) items.push_back(doc.new_element("item"));
    doc.add_param(doc.table_element("T_ROWS", items));
    return doc;
  };
  auto need = [&](std::size_t structures, std::size_t rows) {
    wire::ExpansionBudget unbounded;
    CallReply reply;
    auto st = decode_basxml_reply(document(structures, rows), d, types, reply, unbounded);
    EXPECT_TRUE(st) << st.error().message();
    EXPECT_EQ(reply.values.size(), structures);
    return unbounded.used();
  };
  EXPECT_GE(need(2, 0), need(1, 0) + 4096);
  EXPECT_GE(need(3, 0), need(2, 0) + 4096);
  EXPECT_GE(need(1, 1), need(1, 0) + 4096);
  for (const auto& [structures, rows] :
       {std::pair<std::size_t, std::size_t>{2, 0}, {3, 0}, {1, 1}}) {
    SCOPED_TRACE(fmt::format("{} structures, {} rows", structures, rows));
    const std::uint64_t exact = need(structures, rows);
    for (const std::uint64_t budget : {exact, exact - 1}) {
      wire::ExpansionBudget b(budget);
      CallReply reply;
      auto st = decode_basxml_reply(document(structures, rows), d, types, reply, b);
      EXPECT_EQ(st.ok(), budget == exact) << budget;
      if (!st) {
        EXPECT_TRUE(b.exhausted()) << st.error().message();
      }
    }
  }
}

// ---------------------------------------------------------------- exchange

FunctionDescriptionPtr cache_description(FakeSession& s, FunctionDescription d) {
  auto p = std::make_shared<const FunctionDescription>(std::move(d));
  s.cache->put_function_description("SIM", p->name, p);
  return p;
}

Bytes deflated_document(const BasxmlDocument& doc) { return wire::deflate_raw(written(doc)); }

// The layouts of row_types() in the session's cache, so that a reply's
// types are described without dictionary calls.
void cache_row_types(FakeSession& s) {
  for (const auto& [name, l] : row_types()) s.cache->put_structure_layout("SIM", name, l);
}

TEST(BasxmlExchange, InvokeSendsTheDocumentAndReadsTheReply) {
  FakeSession s;
  FunctionDescription d = scalar_function();
  d.name = "Z_F";
  auto desc = cache_description(s, d);
  s.cache->put_element_decimals("SIM", "ZAMOUNT", 2);
  BasxmlDocument answer;
  answer.add_param(answer.text_element("E_OUT", "done"));
  const Bytes payload = deflated_document(answer);
  // The payload in three records, beside a classic value that is dropped.
  s.reply(ReplyBuilder()
              .text_value("E_OUT", "classic")
              .raw(RecordId::BasxmlVersion, B({1, 1}))
              .raw(RecordId::BasxmlPayload, Bytes(payload.begin(), payload.begin() + 3))
              .raw(RecordId::BasxmlPayload, Bytes(payload.begin() + 3, payload.begin() + 5))
              .raw(RecordId::BasxmlPayload, Bytes(payload.begin() + 5, payload.end()))
              .raw(RecordId::BasxmlEnd, {})
              .build());
  const ValueImport imports[] = {{"i_int", RfcValue::integer(42)},
                                 {"I_AMOUNT", RfcValue::text("3")}};
  auto r = invoke(s.connection, "z_f", imports);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->values, (std::vector<NamedValue>{{"E_OUT", RfcValue::text("done ")}}));

  ASSERT_EQ(s.state->sent.size(), 1u);
  const auto records = test::records_of(s.state->sent[0]);
  std::vector<RecordId> ids;
  for (const auto& rec : records) ids.push_back(rec.first);
  EXPECT_EQ(ids, (std::vector<RecordId>{RecordId{0x0502}, RecordId::Kernel, RecordId::Function,
                                        RecordId{0x0512}, RecordId::RequestedOutput,
                                        RecordId::BasxmlVersion, RecordId::BasxmlPayload,
                                        RecordId::BasxmlEnd}));
  EXPECT_EQ(records[2].second, test::utf16("Z_F"));
  EXPECT_EQ(records[4].second, test::utf16("E_OUT"));
  // zlib reads the payload: the document with the imports under the
  // description's names, the packed number with its two decimals.
  auto doc = test::zlib_inflate(records[6].second);
  ASSERT_TRUE(doc.has_value());
  const Bytes expected =
      cat({prologue(), B({0x2B}), str("I_INT"), B({0x3C, 9, 1, 0x54}), str("42"), B({0x3E, 0x2B}),
           str("I_AMOUNT"), B({0x3C, 10, 1, 0x54}), str("3.00"), B({0x3E, 0x3E, 0x3E})});
  EXPECT_EQ(test::hex(*doc), test::hex(expected));
}

TEST(BasxmlExchange, NothingIsSentWhenTheDocumentCannotBeBuilt) {
  FakeSession s;
  cache_description(s, scalar_function());
  const ValueImport imports[] = {{"I_DATE", RfcValue::text("someday")}};
  auto r = invoke(s.connection, "Z_F", imports);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ProtocolError::Value);
  EXPECT_TRUE(s.state->sent.empty());

  // Binary content of 2 MiB does not fit the token stream's lengths: the
  // writer refuses the document, and the refusal is the call's error.
  FakeSession big;
  FunctionDescription d;
  d.name = "Z_BLOB";
  d.basxml_supported = true;
  d.parameters = {param("I_BLOB", ParamDirection::Import, AbapType::XString, 8)};
  cache_description(big, d);
  const ValueImport blob[] = {{"I_BLOB", RfcValue::bytes(Bytes(2u << 20, 0x5A))}};
  r = invoke(big.connection, "Z_BLOB", blob);
  ASSERT_FALSE(r);
  EXPECT_EQ(unsupported_detail(r.error()).rfind("document cannot be written as basXML: ", 0), 0u)
      << r.error().message();
  EXPECT_TRUE(big.state->sent.empty());
}

Bytes nested_stream(std::size_t depth) {
  // asx:abap and asx:values are open already; `depth` more elements named N.
  Bytes out = cat({prologue(), B({0x2B}), str("N")});
  for (std::size_t i = 0; i < depth; ++i) out.insert(out.end(), {0x3C, 9, 1});
  for (std::size_t i = 0; i < depth + 2; ++i) out.push_back(0x3E);
  return out;
}

TEST(BasxmlExchange, ReplyLimitsAndFailures) {
  const FunctionDescription d = reply_function();
  BasxmlDocument good;
  good.add_param(good.text_element("E_INT", "5"));
  struct Case {
    std::string what;
    Bytes payload;
    std::function<void(ReplyBuilder&)> extra;
    std::string detail;  // empty: an AbapException
  };
  const Bytes bomb = test::zlib_deflate(Bytes((64u << 20) + 1, 0), 9);
  // Beside the bomb, enough other bytes that the reply's budget passes
  // 64 MiB: the limit of the document itself is what refuses it.
  const Bytes filler((64u << 20) / kReplyExpansionRatio, 0x20);
  auto with_filler = [&](ReplyBuilder& b) { b.raw(RecordId::TableRowCount, filler); };
  const std::size_t deep_offset = prologue().size() + 3 + 126 * 3;
  // Empty parameters, four bytes each, that deflate about 1000-fold: their
  // records pass what the reply may make.
  const std::size_t flat = 2u << 20;
  Bytes flat_stream = cat({prologue(), B({0x2B}), str("N")});
  for (std::size_t i = 0; i < flat; ++i) flat_stream.insert(flat_stream.end(), {0x3C, 9, 1, 0x3E});
  flat_stream.insert(flat_stream.end(), {0x3E, 0x3E});
  const Bytes empty_elements = test::zlib_deflate(flat_stream, 9);
  // The budget of that reply, less the document and what it stores before
  // its first parameter, is room for so many parameters.
  const std::uint64_t budget = reply_budget_bytes(
      ReplyBuilder().raw(RecordId::BasxmlPayload, empty_elements).build().size());
  wire::ExpansionBudget prologue_cost;
  Bytes no_params = cat({prologue(), B({0x2B}), str("N"), B({0x3E, 0x3E})});
  ASSERT_TRUE(wire::parse_basxml(no_params, prologue_cost).ok());
  const std::uint64_t room =
      (budget - flat_stream.size() - prologue_cost.used()) / wire::kBasxmlElementCost;
  ASSERT_LT(room, flat);
  const std::size_t refused_offset = prologue().size() + 3 + static_cast<std::size_t>(room) * 4;
  const std::vector<Case> cases = {
      {"past 64 MiB", bomb, with_filler,
       "inflating the reply: OutputOverflow { declared: 67108864 }"},
      {"past the reply's budget", bomb, nullptr,
       "inflating the reply: " +
           reply_budget_text(wire::ExpansionBudget(reply_budget_bytes(
               ReplyBuilder().raw(RecordId::BasxmlPayload, bomb).build().size())))},
      {"not DEFLATE", B({0xFF, 0xFF}), nullptr,
       "inflating the reply: UnsupportedBlockType { block_type: 3 }"},
      {"not basXML", wire::deflate_raw(A("<abap/>")), nullptr,
       "reply document: payload does not start with BXML"},
      {"129 open elements", wire::deflate_raw(nested_stream(127)), nullptr,
       fmt::format("reply document: resource limit exceeded at {}: element nesting depth",
                   deep_offset)},
      {"parameters past the reply's budget", empty_elements, nullptr,
       fmt::format("reply document: resource limit exceeded at {}: document storage beyond the "
                   "expansion budget of the reply",
                   refused_offset)},
      {"an ABAP exception beside the document", deflated_document(good),
       [](ReplyBuilder& b) { b.text(RecordId::AbapExceptionKey, "BOOM"); }, ""},
  };
  for (const Case& c : cases) {
    FakeSession s;
    auto desc = cache_description(s, d);
    cache_row_types(s);
    ReplyBuilder b;
    b.raw(RecordId::BasxmlPayload, c.payload);
    if (c.extra) c.extra(b);
    s.reply(b.build());
    auto r = run_call(s.connection, encode_classic_request("Z_REPLY", {}, {}, {}).value(), desc);
    ASSERT_FALSE(r) << c.what;
    if (c.detail.empty()) {
      ASSERT_EQ(r.error().kind(), ProtocolError::AbapException) << r.error().message();
      EXPECT_EQ(r.error().get<ProtocolError::AbapExceptionInfo>()->key, "BOOM");
    } else {
      EXPECT_EQ(reply_detail(r.error()), c.detail) << c.what;
    }
  }
  // 128 open elements, the root included, are accepted.
  FakeSession s;
  auto desc = cache_description(s, d);
  cache_row_types(s);
  s.reply(
      ReplyBuilder().raw(RecordId::BasxmlPayload, wire::deflate_raw(nested_stream(126))).build());
  auto r = run_call(s.connection, encode_classic_request("Z_REPLY", {}, {}, {}).value(), desc);
  EXPECT_TRUE(r) << r.error().message();
}

TEST(BasxmlExchange, DeepSectionsBesideTheDocumentAreKept) {
  FakeSession s;
  auto desc = cache_description(s, reply_function());
  cache_row_types(s);
  BasxmlDocument doc;
  doc.add_param(doc.text_element("E_INT", "5"));
  s.reply(ReplyBuilder()
              .raw(RecordId::DeepSection, {})
              .raw(RecordId::DeepContent, A("<E_X><A>1</A></E_X>"))
              .raw(RecordId::DeepSection, {})
              .raw(RecordId::BasxmlPayload, deflated_document(doc))
              .build());
  auto r = run_call(s.connection, encode_classic_request("Z_REPLY", {}, {}, {}).value(), desc);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->values, (std::vector<NamedValue>{{"E_INT", RfcValue::integer(5)}}));
  ASSERT_EQ(r->deep_nodes.size(), 1u);
  EXPECT_EQ(r->deep_nodes[0].name, "E_X");
}

// ---------------------------------------------------------------- the simulator

class SimBasxml : public test::SimSuite {
 protected:
  static void SetUpTestSuite() {
    // Replies in BasxmlPayload records of 64 bytes; DDIF_FIELDINFO_GET
    // accepts basXML too, so the dictionary calls of a basXML call could
    // go round in circles.
    start_sim({}, R"({"basxml_piece": 64, "functions": {)"
                  R"("Z_SIM_ECHO": {"basxml": "X"}, "Z_SIM_STRUCT": {"basxml": "X"},)"
                  R"("Z_SIM_TABLE": {"basxml": "X"}, "Z_SIM_NEST": {"basxml": "X"},)"
                  R"("Z_SIM_RAISE": {"basxml": "X"}, "DDIF_FIELDINFO_GET": {"basxml": "X"},)"
                  R"("Z_SIM_SPLIT": {"basxml": "X", "basxml_reply": "bomb"},)"
                  R"("Z_SIM_SLEEP": {"basxml": "X", "basxml_reply": "deep"}}})");
  }

  static RfcConnection open(BasxmlMode mode) {
    ConnectionParams p = test::sim_logon_params(*sim_);
    p.basxml_mode = mode;
    return test::open_sim_session(p);
  }

  static std::size_t count(test::SimLogFilter f) { return sim_->entries(f).size(); }
};

TEST_F(SimBasxml, EchoGivesTheSameValuesOnBothRoutes) {
  const std::vector<ValueImport> imports = {
      {"I_CHAR", RfcValue::text("Grüße")},    {"I_NUMC", RfcValue::text("00000042")},
      {"I_DATS", RfcValue::text("20240229")}, {"I_TIMS", RfcValue::text("235959")},
      {"I_PACKED", RfcValue::text("-12.5")},  {"I_FLOAT", RfcValue::floating(0.1)},
      {"I_INT1", RfcValue::integer(255)},     {"I_INT2", RfcValue::integer(-32768)},
      {"I_INT8", RfcValue::integer(-5)},      {"I_RAW", RfcValue::bytes({0xDE, 0xAD})},
      {"I_STRING", RfcValue::text("  lead")}, {"I_XSTRING", RfcValue::bytes({0, 1, 2})},
      {"C_COUNTER", RfcValue::integer(9)}};
  std::vector<CallReply> replies;
  for (BasxmlMode mode : {BasxmlMode::Off, BasxmlMode::On}) {
    RfcConnection c = open(mode);
    auto r = invoke(c, "Z_SIM_ECHO", imports);
    ASSERT_TRUE(r) << r.error().message();
    replies.push_back(std::move(r).value());
  }
  auto sorted = [](std::vector<NamedValue> v) {
    std::sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    return v;
  };
  EXPECT_EQ(sorted(replies[0].values), sorted(replies[1].values));
  const RfcValue* seen = replies[1].value("E_SEEN");
  ASSERT_NE(seen, nullptr);
  EXPECT_NE(seen->as_text().find("I_PACKED=-12.50"), std::string::npos) << seen->as_text();
  EXPECT_EQ(*replies[1].value("C_COUNTER"), RfcValue::integer(10));
  // The second request travelled as basXML and passed the strict checks.
  EXPECT_EQ(count({.event = "basxml-request", .function = "Z_SIM_ECHO"}), 1u);
  EXPECT_EQ(count({.event = "check"}), 0u);
}

TEST_F(SimBasxml, StructuresNestedStructuresAndTables) {
  RfcConnection c = open(BasxmlMode::Auto);
  auto row = describe_structure(c, "ZSIM_ROW");
  ASSERT_TRUE(row) << row.error().message();
  const std::vector<NamedValue> fields = {{"ID", RfcValue::integer(77)},
                                          {"NAME", RfcValue::text("Zoë")},
                                          {"AMOUNT", RfcValue::text("-1.25")},
                                          {"DAY", RfcValue::text("20240301")},
                                          {"SCORE", RfcValue::floating(2.5)}};
  auto image = encode_structure(**row, fields);
  ASSERT_TRUE(image) << image.error().message();
  auto s = invoke(c, "Z_SIM_STRUCT", std::vector<ValueImport>{{"I_ROW", RfcValue::bytes(*image)}});
  ASSERT_TRUE(s) << s.error().message();
  EXPECT_EQ(s->value("E_SEEN")->as_text(),
            "ID=77;NAME=Zoë" + std::string(17, ' ') + ";AMOUNT=-1.25;DAY=20240301;SCORE=2.5");
  EXPECT_EQ(*s->value("E_ROW"), RfcValue::bytes(*image));

  // The nested structure inside ZSIM_NEST travels component by component.
  auto nest = describe_structure(c, "ZSIM_NEST");
  ASSERT_TRUE(nest) << nest.error().message();
  const std::vector<NamedValue> outer = {{"ID", RfcValue::integer(1)},
                                         {"ROW", RfcValue::bytes(*image)},
                                         {"FLAG", RfcValue::text("X")}};
  auto nest_image = encode_structure(**nest, outer);
  ASSERT_TRUE(nest_image) << nest_image.error().message();
  auto n =
      invoke(c, "Z_SIM_NEST", std::vector<ValueImport>{{"I_NEST", RfcValue::bytes(*nest_image)}});
  ASSERT_TRUE(n) << n.error().message();
  EXPECT_EQ(n->value("E_SEEN")->as_text(), "ID=1;ROW.ID=77;ROW.NAME=Zoë;FLAG=X");

  // Table rows through invoke_basxml: T_IN comes back unchanged beside the
  // generated T_OUT rows.
  auto d = function_description(c, "Z_SIM_TABLE");
  ASSERT_TRUE(d) << d.error().message();
  const TableArg t_in = TableArg::byte_rows("T_IN", {*image}, (*row)->size);
  auto t = invoke_basxml(c, *d, std::vector<ValueImport>{{"ROW_COUNT", RfcValue::integer(250)}},
                         std::vector<TableArg>{t_in});
  ASSERT_TRUE(t) << t.error().message();
  EXPECT_EQ(*t->value("E_ROWS"), RfcValue::integer(251));
  const ReplyTable* out = t->table("T_OUT");
  ASSERT_NE(out, nullptr);
  EXPECT_EQ(out->rows.row_count(), 251u);
  auto last = decode_structure(**row, out->rows.chunk(250));
  ASSERT_TRUE(last) << last.error().message();
  EXPECT_EQ((*last)[1].second, RfcValue::text("Zoë" + std::string(17, ' ')));
  auto first = decode_structure(**row, out->rows.chunk(0));
  ASSERT_TRUE(first);
  EXPECT_EQ((*first)[2].second, RfcValue::text("1.25"));
  ASSERT_NE(t->table("T_IN"), nullptr);
  EXPECT_EQ(count({.event = "check"}), 0u);
  // The dictionary function accepts basXML as well: the outer lookups
  // travelled as basXML, the lookups of their own types classic.
  EXPECT_GE(count({.event = "basxml-request", .function = "DDIF_FIELDINFO_GET"}), 1u);
}

TEST_F(SimBasxml, DeepValuesAndAbapExceptions) {
  RfcConnection c = open(BasxmlMode::Auto);
  auto r = invoke(c, "Z_SIM_DEEPVAL", std::vector<ValueImport>{{"COUNT", RfcValue::integer(3)}});
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->deep_values.size(), 2u);
  EXPECT_EQ(r->deep_values[0].name, "ES_DEEP");
  EXPECT_EQ(r->deep_values[0].fields,
            (std::vector<wire::DeepField>{{"ID", "3"}, {"NAME", "deep & <value>"}}));
  EXPECT_EQ(r->deep_values[0].rows.size(), 1u);
  EXPECT_EQ(r->deep_values[1].rows.size(), 3u);
  EXPECT_EQ(*r->value("E_COUNT"), RfcValue::integer(3));

  auto e = invoke(c, "Z_SIM_RAISE",
                  std::vector<ValueImport>{{"KEY", RfcValue::text("SIM_ERROR")},
                                           {"TEXT", RfcValue::text("raised beside a document")},
                                           {"MSGV1", RfcValue::text("v1")}});
  ASSERT_FALSE(e);
  const auto* info = e.error().get<ProtocolError::AbapExceptionInfo>();
  ASSERT_NE(info, nullptr) << e.error().message();
  EXPECT_EQ(info->key, "SIM_ERROR");
  EXPECT_EQ(info->msg_v1, "v1");
  EXPECT_TRUE(c.alive());
  EXPECT_EQ(count({.event = "basxml-reply", .function = "Z_SIM_RAISE"}), 1u);
}

TEST_F(SimBasxml, HostileReplyPayloads) {
  RfcConnection c = open(BasxmlMode::Auto);
  // A document of more than 64 MiB in some 65 KB: the reply's budget
  // refuses it before the document's own limit.
  auto bomb = invoke(c, "Z_SIM_SPLIT", {});
  ASSERT_FALSE(bomb);
  EXPECT_EQ(reply_detail(bomb.error())
                .rfind("inflating the reply: the reply would make more than the ", 0),
            0u)
      << reply_detail(bomb.error());
  auto deep = invoke(c, "Z_SIM_SLEEP", {});
  ASSERT_FALSE(deep);
  EXPECT_NE(reply_detail(deep.error()).find("element nesting depth"), std::string::npos);
  // The conversation goes on.
  auto again =
      invoke(c, "STFC_CONNECTION", std::vector<ValueImport>{{"REQUTEXT", RfcValue::text("x")}});
  EXPECT_TRUE(again) << again.error().message();
}

TEST_F(SimBasxml, ModeOffKeepsEveryCallClassic) {
  RfcConnection c = open(BasxmlMode::Off);
  const std::size_t before = count({.event = "basxml-request"});
  auto r = invoke(c, "Z_SIM_DEEPVAL", {});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->deep_values.size(), 2u);  // as DeepContent sections
  EXPECT_EQ(count({.event = "basxml-request"}), before);
}

}  // namespace
}  // namespace quib::proto

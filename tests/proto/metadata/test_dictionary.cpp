// Dictionary lookups: DFIES rows and LINES_DESCR rows to fields, the
// normalisation and layout of the fields, table-type lines, and
// describe_structure / describe_element_field against a scripted server,
// including a structure that contains itself and nesting deeper than the cap.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>
#include <map>

#include "proto/invoke/lookups.hpp"
#include "proto/metadata/describe.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/descriptions.hpp"

namespace quib::proto {
namespace {

using test::FakeSession;
using test::param;
using test::ReplyBuilder;
using test::utf16;
using wire::AbapType;
using wire::Bytes;
using wire::RecordId;

// ---------------------------------------------------------------- fixtures

// One DFIES row (`units` code units, blank except the columns given).
struct Dfies {
  std::string table;
  std::string name;
  std::uint32_t position = 0;
  std::uint64_t offset = 0;
  std::uint64_t intlen = 0;
  std::string datatype = "CHAR";
  char16_t inttype = u'C';
  std::string rollname;
  std::uint64_t decimals = 0;
};

Bytes dfies_row(const Dfies& d, std::size_t units = 220) {
  std::u16string row(units, u' ');
  auto put = [&row](std::size_t first, std::size_t count, std::string_view text) {
    const std::u16string u = wire::utf8_to_utf16(text);
    for (std::size_t i = 0; i < count && i < u.size() && first + i < row.size(); ++i)
      row[first + i] = u[i];
  };
  put(0, 30, d.table);
  put(30, 30, d.name);
  put(61, 4, fmt::format("{:04}", d.position));
  put(65, 6, fmt::format("{:06}", d.offset));
  put(101, 30, d.rollname);
  put(167, 6, fmt::format("{:06}", d.intlen));
  put(179, 6, fmt::format("{:06}", d.decimals));
  put(185, 4, d.datatype);
  if (row.size() > 189) row[189] = d.inttype;
  return wire::utf16_units_to_bytes(row);
}

constexpr std::uint32_t kDfiesWidth = 440;

// A session whose cache already describes DDIF_FIELDINFO_GET, so that every
// lookup is exactly one exchange.
struct DictSession : FakeSession {
  DictSession() {
    auto d = std::make_shared<FunctionDescription>();
    d->name = "DDIF_FIELDINFO_GET";
    d->parameters = {param("TABNAME", ParamDirection::Import, AbapType::Char, 60),
                     param("ALL_TYPES", ParamDirection::Import, AbapType::Char, 2),
                     param("DDOBJTYPE", ParamDirection::Export, AbapType::Char, 16),
                     param("DFIES_WA", ParamDirection::Export, AbapType::Structure, kDfiesWidth),
                     param("DFIES_TAB", ParamDirection::Table, AbapType::Table, kDfiesWidth)};
    cache->put_function_description("SIM", "DDIF_FIELDINFO_GET", d);
  }
  std::size_t sent() const { return state->sent.size(); }
};

Bytes structure_reply(const std::vector<Dfies>& rows) {
  std::vector<Bytes> images;
  for (const auto& r : rows) images.push_back(dfies_row(r));
  return ReplyBuilder()
      .text_value("DDOBJTYPE", "INTTAB")
      .table("DFIES_TAB", kDfiesWidth, images)
      .build();
}

// The text of an import of a request, trimmed.
std::string import_text(const Bytes& request, std::string_view name) {
  const auto recs = test::records_of(request);
  for (std::size_t i = 0; i + 1 < recs.size(); ++i)
    if (recs[i].first == RecordId::ParameterName && wire::decode_utf16le(recs[i].second) == name)
      return std::string(wire::trim_unicode(wire::decode_utf16le(recs[i + 1].second)));
  return "<absent>";
}

// ---------------------------------------------------------------- numbers and rows

TEST(DictionaryNumbers, OptionalPlusThenDigitsElseZero) {
  const std::pair<const char*, std::uint64_t> cases[] = {
      {"000042", 42},
      {"  +7 ", 7},
      {"", 0},
      {"+", 0},
      {"-1", 0},
      {"1x", 0},
      {"1 2", 0},
      {"++1", 0},
      {"18446744073709551615", UINT64_MAX},
      {"18446744073709551616", 0},
      {"\xE3\x80\x80"
       "5",
       5},  // ideographic space is white space
  };
  for (const auto& [text, value] : cases) EXPECT_EQ(dictionary_number(text), value) << text;
  EXPECT_EQ(dictionary_number32("4294967295"), 4294967295u);
  EXPECT_EQ(dictionary_number32("4294967296"), 0u);
}

TEST(DfiesRow, ColumnsTypesAndSkips) {
  auto f = parse_dfies_row(dfies_row({"ZT", " AMOUNT ", 3, 44, 8, "CURR", u'P', "ZAMT", 2}), true);
  ASSERT_TRUE(f);
  EXPECT_EQ(*f, (DictionaryField{3, {"AMOUNT", "CURR", "ZAMT", 44, 8, 2, AbapType::Bcd}}));

  struct Case {
    const char* what;
    Bytes row;
    bool skip_unnamed;
    std::optional<AbapType> type;  // none: no field
  };
  Bytes surrogate = dfies_row({"ZT", "F", 1, 0, 2});
  wire::store_le16(surrogate.data() + 2 * 189, 0xD800);
  const Case cases[] = {
      {"189 units describe nothing", dfies_row({"ZT", "F", 1, 0, 2}, 189), true, std::nullopt},
      {"190 units are enough", dfies_row({"ZT", "F", 1, 0, 2}, 190), true, AbapType::Char},
      {"an include's entry", dfies_row({"ZT", ".INCLUDE", 1, 0, 10}), true, std::nullopt},
      {"no width", dfies_row({"ZT", "F", 1, 0, 0}), true, std::nullopt},
      {"a table field has no width", dfies_row({"ZT", "T", 1, 0, 0, "TTYP", u'C'}), true,
       AbapType::Table},
      {"unnamed, skipped", dfies_row({"ZT", "", 1, 0, 4, "INT4", u'I'}), true, std::nullopt},
      {"unnamed, kept for a data element", dfies_row({"ZT", "", 1, 0, 4, "INT4", u'I'}), false,
       AbapType::Int4},
      {"letters are case-sensitive", dfies_row({"ZT", "F", 1, 0, 8, "INT8", u'8'}), true,
       AbapType::Int8},
      {"an unknown letter", dfies_row({"ZT", "F", 1, 0, 2, "ZZZZ", u'Q'}), true,
       AbapType::unknown('Q')},
      {"a blank letter", dfies_row({"ZT", "F", 1, 0, 2, "CHAR", u' '}), true,
       AbapType::unknown(' ')},
      {"a surrogate letter names no type", surrogate, true, AbapType::unknown('?')},
  };
  for (const auto& c : cases) {
    auto got = parse_dfies_row(c.row, c.skip_unnamed);
    ASSERT_EQ(got.has_value(), c.type.has_value()) << c.what;
    if (got) {
      EXPECT_EQ(got->field.abap_type, *c.type) << c.what;
    }
  }
  // A lone surrogate inside a name is one character of its own.
  Bytes named = dfies_row({"ZT", "AB", 1, 0, 2});
  wire::store_le16(named.data() + 2 * 31, 0xDC00);
  EXPECT_EQ(parse_dfies_row(named, true)->field.name, "A\xEF\xBF\xBD");
}

TEST(LinesDescr, FieldsOfTheFirstRowWithFields) {
  auto nodes = wire::parse_deep_xml(
      "<OTHER><item><FIELDS><item><FIELDNAME>NO</FIELDNAME><INTLEN>2</INTLEN></item></FIELDS>"
      "</item></OTHER>"
      "<LINES_DESCR><item><TYPENAME>ZL</TYPENAME></item><item><FIELDS>"
      "<item><FIELDNAME> LINE </FIELDNAME><INTLEN>000144</INTLEN><DATATYPE>CHAR</DATATYPE>"
      "<POSITION>0001</POSITION><OFFSET>000000</OFFSET><INTTYPE>C</INTTYPE></item>"
      "<item><FIELDNAME>.INCLU</FIELDNAME><INTLEN>4</INTLEN></item>"
      "<item><FIELDNAME>ZERO</FIELDNAME><INTLEN>0</INTLEN></item>"
      "<item><FIELDNAME>TAB</FIELDNAME><DATATYPE>TTYP</DATATYPE></item>"
      "<item><FIELDNAME>NOTYPE</FIELDNAME><INTLEN>3</INTLEN><ROLLNAME>ZR</ROLLNAME>"
      "<DECIMALS>+2</DECIMALS></item>"
      "</FIELDS></item><item><FIELDS><item><FIELDNAME>LATER</FIELDNAME><INTLEN>2</INTLEN>"
      "</item></FIELDS></item></LINES_DESCR>");
  ASSERT_TRUE(nodes);
  const auto fields = fields_from_lines_descr(*nodes);
  ASSERT_EQ(fields.size(), 3u);
  EXPECT_EQ(fields[0], (DictionaryField{1, {"LINE", "CHAR", "", 0, 144, 0, AbapType::Char}}));
  EXPECT_EQ(fields[1].field.abap_type, AbapType::Table);
  EXPECT_EQ(fields[1].field.width, 0u);
  EXPECT_EQ(fields[2], (DictionaryField{0, {"NOTYPE", "", "ZR", 0, 3, 2, AbapType::unknown(' ')}}));

  auto none =
      wire::parse_deep_xml("<LINES_DESCR><item><TYPENAME>X</TYPENAME></item></LINES_DESCR>");
  ASSERT_TRUE(none);
  EXPECT_TRUE(fields_from_lines_descr(*none).empty());
}

// ---------------------------------------------------------------- layout

DictionaryField dfield(std::string name, std::uint32_t position, std::uint64_t offset,
                       std::uint64_t intlen, AbapType type = AbapType::Char,
                       std::string datatype = "CHAR", std::string rollname = "") {
  return DictionaryField{
      position,
      {std::move(name), std::move(datatype), std::move(rollname), offset, intlen, 0, type}};
}

std::vector<std::string> names(const std::vector<FieldLayout>& fields) {
  std::vector<std::string> out;
  for (const auto& f : fields) out.push_back(f.name);
  return out;
}

TEST(NormaliseFields, OrderRepeatsAndNestedComponents) {
  struct Case {
    const char* what;
    std::vector<DictionaryField> fields;
    std::vector<std::string> kept;
  };
  const Case cases[] = {
      {"sorted by position", {dfield("B", 2, 4, 2), dfield("A", 1, 0, 2)}, {"A", "B"}},
      {"equal positions keep their row order",
       {dfield("X", 2, 4, 2), dfield("Y", 1, 0, 2), dfield("Z", 2, 6, 2)},
       {"Y", "X", "Z"}},
      {"an offset not past the last kept one is dropped",
       {dfield("A", 1, 4, 2), dfield("B", 2, 4, 2), dfield("C", 3, 2, 2), dfield("D", 4, 6, 2)},
       {"A", "D"}},
      {"the components of a nested structure are dropped, the structure stays",
       {dfield("ID", 1, 0, 4, AbapType::Int4, "INT4"),
        dfield("SUB", 2, 8, 40, AbapType::Structure, "STRU", "ZSUB"), dfield("C1", 3, 12, 4),
        dfield("C2", 4, 30, 18), dfield("AFTER", 5, 48, 2)},
       {"ID", "SUB", "AFTER"}},
      {"a component that sticks out of the structure stays",
       {dfield("SUB", 1, 0, 8, AbapType::Structure, "STRU"), dfield("OUT", 2, 4, 8)},
       {"SUB", "OUT"}},
      {"a structure of width 0 holds nothing",
       {dfield("SUB", 1, 0, 0, AbapType::Structure, "STRU"), dfield("IN", 2, 2, 2)},
       {"SUB", "IN"}},
      {"a structure inside a structure is a component too",
       {dfield("OUTER", 1, 0, 40, AbapType::Structure, "STRU"),
        dfield("INNER", 2, 8, 16, AbapType::Structure, "STRU"), dfield("LEAF", 3, 8 + 4, 2)},
       {"OUTER"}},
      {"a range whose end overflows is no structure range",
       {dfield("HUGE", 1, 8, UINT64_MAX, AbapType::Structure, "STRU"), dfield("C", 2, 16, 2)},
       {"HUGE", "C"}},
  };
  for (const auto& c : cases) EXPECT_EQ(names(normalise_fields(c.fields)), c.kept) << c.what;
  // The widths are the dictionary's; the dictionary offset is kept until
  // the layout recomputes it.
  const auto one = normalise_fields({dfield("A", 1, 6, 10)});
  EXPECT_EQ(one.at(0).width, 10u);
  EXPECT_EQ(one.at(0).offset, 6u);
}

FieldLayout lfield(AbapType type, std::uint64_t width, std::string datatype = "") {
  FieldLayout f;
  f.abap_type = type;
  f.width = width;
  f.datatype = std::move(datatype);
  return f;
}

TEST(ComputeLayout, OffsetsFollowAlignmentSizeTheLargest) {
  struct Case {
    const char* what;
    std::vector<FieldLayout> fields;
    std::vector<std::uint64_t> offsets;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"Char, Int4, Float",
       {lfield(AbapType::Char, 2), lfield(AbapType::Int4, 4), lfield(AbapType::Float, 8)},
       {0, 4, 8},
       16},
      {"Int1, Char", {lfield(AbapType::Int1, 1), lfield(AbapType::Char, 2)}, {0, 2}, 4},
      {"DecFloat34 rounds the size to 16",
       {lfield(AbapType::DecFloat34, 16), lfield(AbapType::Int1, 1)},
       {0, 16},
       32},
      {"packed and raw need no alignment",
       {lfield(AbapType::Byte, 3), lfield(AbapType::Bcd, 5), lfield(AbapType::Int2, 2)},
       {0, 3, 8},
       10},
      {"a nested structure aligns to 8, even as Char",
       {lfield(AbapType::Int1, 1), lfield(AbapType::Char, 4, "STRU"),
        lfield(AbapType::Structure, 3, "STRU"), lfield(AbapType::Unknown, 1)},
       {0, 8, 16, 19},
       24},
      {"a structure without STRU aligns to 1",
       {lfield(AbapType::Int1, 1), lfield(AbapType::Structure, 3)},
       {0, 1},
       4},
      {"a table field aligns to 8",
       {lfield(AbapType::Int1, 1), lfield(AbapType::Table, 0)},
       {0, 8},
       8},
      {"no fields", {}, {}, 0},
  };
  for (auto c : cases) {
    EXPECT_EQ(compute_layout(c.fields), c.size) << c.what;
    for (std::size_t i = 0; i < c.offsets.size(); ++i)
      EXPECT_EQ(c.fields[i].offset, c.offsets[i]) << c.what << " field " << i;
  }
  // Widths from a hostile dictionary: the arithmetic saturates.
  std::vector<FieldLayout> huge = {lfield(AbapType::Byte, UINT64_MAX - 3),
                                   lfield(AbapType::Float, 8), lfield(AbapType::Int1, 1)};
  EXPECT_EQ(compute_layout(huge), UINT64_MAX);
  EXPECT_EQ(huge[1].offset, UINT64_MAX);
  EXPECT_EQ(huge[2].offset, UINT64_MAX);
}

TEST(DdicTypeField, ElementaryLinesByDataType) {
  struct Case {
    const char* datatype;
    std::uint64_t leng;
    AbapType type;
    std::uint64_t width;
  };
  const Case cases[] = {
      {"INT1", 3, AbapType::Int1, 1},        {"INT2", 5, AbapType::Int2, 2},
      {"INT4", 10, AbapType::Int4, 4},       {"INT8", 19, AbapType::Int8, 8},
      {"FLTP", 16, AbapType::Float, 8},      {"UTCL", 27, AbapType::Utclong, 8},
      {"UTCLONG", 27, AbapType::Utclong, 8}, {"DATS", 99, AbapType::Date, 16},
      {"TIMS", 6, AbapType::Time, 12},       {"STRG", 0, AbapType::String, 8},
      {"RSTR", 0, AbapType::XString, 8},     {"RAWSTRING", 0, AbapType::XString, 8},
      {"RAW", 16, AbapType::Byte, 16},       {"LRAW", 0, AbapType::Byte, 1},
      {"DEC", 7, AbapType::Bcd, 4},          {"CURR", 13, AbapType::Bcd, 7},
      {"QUAN", 0, AbapType::Bcd, 1},         {"NUMC", 10, AbapType::Char, 20},
      {"ZZZZ", 10, AbapType::Char, 20},      {"ZZZZ", 0, AbapType::Char, 2},
      {"dats", 8, AbapType::Char, 16},  // exact comparison
  };
  for (const auto& c : cases) {
    const FieldLayout f = ddic_type_field(c.datatype, c.leng, 3);
    EXPECT_EQ(f.abap_type, c.type) << c.datatype;
    EXPECT_EQ(f.width, c.width) << c.datatype << " " << c.leng;
    EXPECT_EQ(f.datatype, c.datatype);
    EXPECT_EQ(f.decimals, 3u);
    EXPECT_TRUE(f.name.empty() && f.rollname.empty());
  }
  EXPECT_EQ(ddic_type_field("CHAR", UINT64_MAX, 0).width, UINT64_MAX);  // 2 x LENG saturates
}

TEST(TableTypeLine, FromTheFirstDd40lRow) {
  using Named = TableTypeLine::Named;
  using Elementary = TableTypeLine::Elementary;
  struct Case {
    const char* line;
    std::optional<TableTypeLine> expected;
  };
  const Case cases[] = {
      {"ZROW      |S|    |000000|000000", TableTypeLine{Named{"ZROW", "S"}}},
      {"ZEL|E", TableTypeLine{Named{"ZEL", "E"}}},
      {"ZROW", TableTypeLine{Named{"ZROW", ""}}},
      {"   | |DEC |000007|000002", TableTypeLine{Elementary{"DEC", 7, 2}}},
      {"||CHAR|10", TableTypeLine{Elementary{"CHAR", 10, 0}}},
      {"||CHAR|ten|x", TableTypeLine{Elementary{"CHAR", 0, 0}}},
      {"| |    |000010|000000", std::nullopt},
      {"", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(table_type_line_of(split_delimited_row(c.line, U'|')), c.expected) << c.line;
}

// ---------------------------------------------------------------- describe_structure

TEST(DescribeStructure, UpperCasesSendsOnceAndCaches) {
  DictSession s;
  s.reply(structure_reply({{"ZROW", "ID", 1, 0, 4, "INT4", u'I'},
                           {"ZROW", "NAME", 2, 4, 40, "CHAR", u'C', "ZNAME"},
                           {"ZROW", "SCORE", 3, 44, 8, "FLTP", u'F'}}));
  auto l = describe_structure(s.connection, "zrow");
  ASSERT_TRUE(l) << l.error().message();
  EXPECT_EQ((*l)->name, "ZROW");
  EXPECT_EQ(names((*l)->fields), (std::vector<std::string>{"ID", "NAME", "SCORE"}));
  EXPECT_EQ((*l)->fields[1].rollname, "ZNAME");
  EXPECT_EQ((*l)->fields[2].offset, 48u);  // 44 realigned to 8
  EXPECT_EQ((*l)->size, 56u);
  ASSERT_EQ(s.sent(), 1u);
  EXPECT_EQ(*test::find_record(s.state->sent[0], RecordId::Function), utf16("DDIF_FIELDINFO_GET"));
  EXPECT_EQ(import_text(s.state->sent[0], "TABNAME"), "ZROW");
  EXPECT_EQ(import_text(s.state->sent[0], "ALL_TYPES"), "X");

  auto again = describe_structure(s.connection, "ZROW");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->get(), l->get());  // the cached instance
  EXPECT_EQ(s.sent(), 1u);
  EXPECT_EQ(s.cache->get_structure_layout("SIM", "ZROW").get(), l->get());
}

TEST(DescribeStructure, RowsOfTheRequestedTableOnlyWhenAnyNameIt) {
  DictSession s;
  s.reply(
      structure_reply({{"OTHER", "X", 1, 0, 2}, {"zrow", "A", 2, 0, 2}, {"ZROW", "B", 3, 2, 2}}));
  auto l = describe_structure(s.connection, "ZROW");
  ASSERT_TRUE(l);
  EXPECT_EQ(names((*l)->fields), (std::vector<std::string>{"A", "B"}));

  DictSession t;
  t.reply(structure_reply({{"INCL1", "X", 1, 0, 2}, {"INCL2", "Y", 2, 2, 2}}));
  auto all = describe_structure(t.connection, "ZROW");
  ASSERT_TRUE(all);
  EXPECT_EQ(names((*all)->fields), (std::vector<std::string>{"X", "Y"}));
}

TEST(DescribeStructure, LinesDescrWhenDfiesTabHasNoFields) {
  DictSession s;
  const std::string xml =
      "<LINES_DESCR><item><FIELDS><item><FIELDNAME>LINE</FIELDNAME><INTLEN>144</INTLEN>"
      "<DATATYPE>CHAR</DATATYPE><INTTYPE>C</INTTYPE></item></FIELDS></item></LINES_DESCR>";
  s.reply(ReplyBuilder()
              .table("DFIES_TAB", kDfiesWidth, {dfies_row({"ZL", ".INCLUDE", 1, 0, 4})})
              .raw(RecordId::DeepSection, {})
              .raw(RecordId::DeepContent, Bytes(xml.begin(), xml.end()))
              .raw(RecordId::DeepSection, {})
              .build());
  auto l = describe_structure(s.connection, "ZL");
  ASSERT_TRUE(l) << l.error().message();
  ASSERT_EQ((*l)->fields.size(), 1u);
  EXPECT_EQ((*l)->fields[0].width, 144u);
  EXPECT_EQ((*l)->size, 144u);
}

TEST(DescribeStructure, FailuresCacheNothing) {
  struct Case {
    const char* what;
    Bytes reply;
    std::string message;
  };
  Bytes bad_width = ReplyBuilder()
                        .text(RecordId::TableName, "DFIES_TAB")
                        .table_header(10, 2)
                        .raw(RecordId::TableContent, Bytes(11, 0))
                        .build();
  const Case cases[] = {
      {"an unknown name",
       ReplyBuilder()
           .text(RecordId::AbapExceptionKey, "NOT_FOUND")
           .text(RecordId::AbapErrorMessage, "Dictionary object ZNONE not found")
           .build(),
       "ABAP exception NOT_FOUND: Dictionary object ZNONE not found"},
      {"no readable field", structure_reply({{"ZNONE", ".INCLUDE", 1, 0, 8}}),
       "unexpected record during describe_structure: ZNONE has no readable fields; is it a DDIC "
       "type?"},
      {"no DFIES_TAB at all", ReplyBuilder().text_value("DDOBJTYPE", "INTTAB").build(),
       "unexpected record during describe_structure: ZNONE has no readable fields; is it a DDIC "
       "type?"},
      {"a row wider than the table", bad_width, ""},
  };
  for (const auto& c : cases) {
    DictSession s;
    s.reply(c.reply);
    auto l = describe_structure(s.connection, "znone");
    ASSERT_FALSE(l) << c.what;
    if (c.message.empty()) {
      EXPECT_EQ(l.error().kind(), ProtocolError::TableShape) << c.what;
    } else {
      EXPECT_EQ(l.error().message(), c.message) << c.what;
    }
    EXPECT_EQ(s.cache->get_structure_layout("SIM", "ZNONE"), nullptr) << c.what;
  }
}

// A scripted dictionary: every DDIF_FIELDINFO_GET request is answered from a
// function of the requested name, at the moment it is received.
struct ScriptedDictionary : DictSession {
  std::function<Bytes(const std::string&)> answer;
  std::vector<std::string> asked;
  ScriptedDictionary() {
    state->on_receive = [this] {
      const std::string name = import_text(state->sent.back(), "TABNAME");
      asked.push_back(name);
      reply(answer(name));
    };
  }
};

TEST(DescribeStructure, NestedStructuresWidenTheirField) {
  ScriptedDictionary s;
  s.answer = [](const std::string& name) {
    if (name == "ZOUTER")
      return structure_reply({{"ZOUTER", "ID", 1, 0, 1, "INT1", u'b'},
                              {"ZOUTER", "IN", 2, 8, 4, "STRU", u'u', "ZINNER"},
                              {"ZOUTER", "COMP", 3, 8, 4, "INT4", u'I'},  // a repeat: dropped
                              {"ZOUTER", "LAST", 4, 20, 2, "CHAR", u'C'}});
    return structure_reply(
        {{"ZINNER", "A", 1, 0, 4, "INT4", u'I'}, {"ZINNER", "B", 2, 4, 8, "FLTP", u'F'}});
  };
  auto l = describe_structure(s.connection, "ZOUTER");
  ASSERT_TRUE(l) << l.error().message();
  EXPECT_EQ(s.asked, (std::vector<std::string>{"ZOUTER", "ZINNER"}));
  ASSERT_EQ(names((*l)->fields), (std::vector<std::string>{"ID", "IN", "LAST"}));
  // The inner layout is A at 0, B at 8: its fields end at 16, wider than 4.
  EXPECT_EQ((*l)->fields[1].width, 16u);
  EXPECT_EQ((*l)->fields[1].offset, 8u);
  EXPECT_EQ((*l)->fields[2].offset, 24u);
  EXPECT_EQ((*l)->size, 32u);
  EXPECT_TRUE(s.connection.describing().empty());
  // The nested layout is cached under its own name too.
  EXPECT_NE(s.cache->get_structure_layout("SIM", "ZINNER"), nullptr);
}

TEST(DescribeStructure, AStructureThatContainsItselfEnds) {
  ScriptedDictionary s;
  s.answer = [](const std::string&) {
    return structure_reply(
        {{"ZSELF", "ID", 1, 0, 4, "INT4", u'I'}, {"ZSELF", "ME", 2, 8, 8, "STRU", u'u', "ZSELF"}});
  };
  auto l = describe_structure(s.connection, "ZSELF");
  ASSERT_TRUE(l) << l.error().message();
  // The outer description asks once more for the field's structure; that
  // inner one skips the field already being described.
  EXPECT_EQ(s.asked, (std::vector<std::string>{"ZSELF", "ZSELF"}));
  // The inner layout (ID, ME at 8..16) widens the outer ME to 16 bytes.
  EXPECT_EQ((*l)->fields.at(1).width, 16u);
  EXPECT_EQ((*l)->size, 24u);
  EXPECT_TRUE(s.connection.describing().empty());
}

TEST(DescribeStructure, NestingDeeperThanTheCapIsDropped) {
  // Every structure Zn holds a structure Zn+1: the chain never ends.
  ScriptedDictionary s;
  s.answer = [](const std::string& name) {
    const std::string next = "Z" + std::to_string(std::stoul(name.substr(1)) + 1);
    return structure_reply(
        {{name, "ID", 1, 0, 4, "INT4", u'I'}, {name, "SUB", 2, 8, 8, "STRU", u'u', next}});
  };
  auto l = describe_structure(s.connection, "Z0");
  ASSERT_TRUE(l) << l.error().message();
  EXPECT_EQ(s.asked.size(), kMaxNestedDescriptions + 1);
  EXPECT_TRUE(s.connection.describing().empty());
}

TEST(DescribeStructure, FailedNestedDescriptionKeepsTheWidth) {
  ScriptedDictionary s;
  s.answer = [](const std::string& name) {
    if (name == "ZOUT") return structure_reply({{"ZOUT", "SUB", 1, 0, 12, "STRU", u'u', "ZGONE"}});
    return ReplyBuilder().text(RecordId::AbapExceptionKey, "NOT_FOUND").build();
  };
  auto l = describe_structure(s.connection, "ZOUT");
  ASSERT_TRUE(l) << l.error().message();
  EXPECT_EQ((*l)->fields.at(0).width, 12u);
  EXPECT_EQ((*l)->size, 16u);
}

// ---------------------------------------------------------------- data elements

TEST(DescribeElementField, TheUnnamedFieldOfDfiesWa) {
  DictSession s;
  s.reply(ReplyBuilder()
              .value("DFIES_WA", dfies_row({"ZAMT", "", 0, 0, 8, "CURR", u'P', "ZAMT", 2}))
              .build());
  auto f = describe_element_field(s.connection, "zamt");
  ASSERT_TRUE(f) << f.error().message();
  EXPECT_EQ(import_text(s.state->sent.at(0), "TABNAME"), "zamt");  // as given
  FieldLayout expected;
  expected.datatype = "CURR";
  expected.rollname = "ZAMT";
  expected.width = 8;
  expected.decimals = 2;
  expected.abap_type = AbapType::Bcd;
  EXPECT_EQ(*f, expected);

  struct Case {
    Bytes reply;
    std::string message;
  };
  const Case cases[] = {
      {ReplyBuilder().text_value("DDOBJTYPE", "DTEL").build(),
       "unexpected record during describe_element_field: Z returned no DFIES_WA"},
      {ReplyBuilder().value("DFIES_WA", Bytes(100, 0x20)).build(),
       "unexpected record during describe_element_field: Z is not a readable data element"},
      {ReplyBuilder().value("DFIES_WA", dfies_row({"Z", "", 0, 0, 0})).build(),
       "unexpected record during describe_element_field: Z is not a readable data element"},
  };
  for (const auto& c : cases) {
    DictSession t;
    t.reply(c.reply);
    auto e = describe_element_field(t.connection, "Z");
    ASSERT_FALSE(e);
    EXPECT_EQ(e.error().message(), c.message);
  }
}

}  // namespace
}  // namespace quib::proto

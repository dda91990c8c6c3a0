// End to end against the simulated ABAP system: dictionary layouts of flat,
// nested and self-containing structures and of table types (read from DD40L
// through RFC_READ_TABLE), structure images and table rows through the
// simulator's functions, RFC_READ_TABLE with selections and paging, and
// replies that carry table deltas, including the stale-description refetch
// that a delta of the wrong row count sets off.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "proto/call/structure.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/invoke/lookups.hpp"
#include "proto/session/open.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"

namespace quib::proto {
namespace {

using test::SimProcess;
using wire::AbapType;
using wire::Bytes;
using wire::RfcValue;
using namespace std::chrono_literals;

class SimDictionary : public test::SimSuite {
 protected:
  // A logged-on session with a private metadata cache.
  static RfcConnection open() { return test::open_sim_session(*sim_); }

  // Requests the simulator received for `function` so far.
  static std::size_t requests(std::string_view function) {
    return sim_
        ->entries(
            {.dir = "recv", .step = "call", .kind = "message", .function = std::string(function)})
        .size();
  }
};

struct Expected {
  std::string name;
  AbapType type;
  std::uint64_t offset, width, decimals;
};

void expect_fields(const StructureLayout& l, const std::vector<Expected>& fields) {
  ASSERT_EQ(l.fields.size(), fields.size()) << l.name;
  for (std::size_t i = 0; i < fields.size(); ++i) {
    const FieldLayout& f = l.fields[i];
    const Expected& e = fields[i];
    EXPECT_EQ(f.name, e.name) << l.name << " field " << i;
    EXPECT_EQ(f.abap_type, e.type) << l.name << " " << e.name;
    EXPECT_EQ(f.offset, e.offset) << l.name << " " << e.name;
    EXPECT_EQ(f.width, e.width) << l.name << " " << e.name;
    EXPECT_EQ(f.decimals, e.decimals) << l.name << " " << e.name;
  }
}

const std::vector<Expected> kZsimRow = {{"ID", AbapType::Int4, 0, 4, 0},
                                        {"NAME", AbapType::Char, 4, 40, 0},
                                        {"AMOUNT", AbapType::Bcd, 44, 8, 2},
                                        {"DAY", AbapType::Date, 52, 16, 0},
                                        {"SCORE", AbapType::Float, 72, 8, 0}};

TEST_F(SimDictionary, LayoutsOfStructures) {
  auto conn = open();
  struct Case {
    const char* name;
    std::vector<Expected> fields;
    std::uint64_t size;
  };
  const Case cases[] = {
      {"zsim_row", kZsimRow, 80},
      // Described through LINES_DESCR only.
      {"ZSIM_LINE", {{"LINE", AbapType::Char, 0, 144, 0}}, 144},
      // ROW's components are listed after it and dropped; ROW aligns to 8.
      {"ZSIM_NEST",
       {{"ID", AbapType::Int4, 0, 4, 0},
        {"ROW", AbapType::Structure, 8, 80, 0},
        {"FLAG", AbapType::Char, 88, 2, 0}},
       96},
      // Table types, by their DD40L line.
      {"ZSIM_ROW_TAB", kZsimRow, 80},
      {"ZSIM_NAME_TAB", {{"", AbapType::Char, 0, 40, 0}}, 40},
      {"ZSIM_DEC_TAB", {{"", AbapType::Bcd, 0, 4, 2}}, 4},
      {"ZSIM_CHAR_TAB", {{"", AbapType::Char, 0, 20, 0}}, 20},
      {"ZSIM_DATE_TAB", {{"", AbapType::Date, 0, 16, 0}}, 16},
  };
  for (const auto& c : cases) {
    auto l = describe_structure(conn, c.name);
    ASSERT_TRUE(l) << c.name << ": " << l.error().message();
    EXPECT_EQ((*l)->name, wire::ascii_upper(c.name));
    expect_fields(**l, c.fields);
    EXPECT_EQ((*l)->size, c.size) << c.name;
  }
  // The table type with a structure line holds that structure's layout under
  // its own name; the structure is cached on its own too.
  EXPECT_NE(conn.cache()->get_structure_layout("QSI", "ZSIM_ROW"), nullptr);
  auto line = conn.cache()->get_table_type_line("QSI", "ZSIM_ROW_TAB");
  ASSERT_TRUE(line && *line);
  EXPECT_EQ(**line, (TableTypeLine{TableTypeLine::Named{"ZSIM_ROW", "S"}}));
}

TEST_F(SimDictionary, CyclesAndUnknownNamesEnd) {
  auto conn = open();
  const std::size_t before = requests("DDIF_FIELDINFO_GET");
  auto self = describe_structure(conn, "ZSIM_SELF");
  ASSERT_TRUE(self) << self.error().message();
  EXPECT_EQ(requests("DDIF_FIELDINFO_GET") - before, 2u);

  // Two table types whose lines name each other: every path ends at a type
  // without fields.
  auto loop = describe_structure(conn, "ZSIM_LOOP_A");
  ASSERT_FALSE(loop);
  EXPECT_EQ(loop.error().message(),
            "unexpected record during describe_structure: ZSIM_LOOP_A has no readable fields; is "
            "it a DDIC type?");
  EXPECT_TRUE(conn.describing().empty());
  EXPECT_EQ(conn.cache()->get_structure_layout("QSI", "ZSIM_LOOP_A"), nullptr);

  auto none = describe_structure(conn, "ZSIM_NOPE");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind(), ProtocolError::AbapException);
  EXPECT_EQ(none.error().get<ProtocolError::AbapExceptionInfo>()->key, "NOT_FOUND");
  EXPECT_TRUE(conn.alive());
}

// A classic call with table arguments.
ProtoResult<CallReply> call_with_tables(RfcConnection& conn, std::string_view function,
                                        std::span<const ValueImport> imports,
                                        std::span<const wire::TableArg> tables) {
  QUIB_TRY(FunctionDescriptionPtr d, function_description(conn, function));
  QUIB_TRY(auto encoded, encode_imports(conn, *d, imports));
  QUIB_TRY(Bytes request,
           encode_classic_request(function, encoded, d->requested_outputs(), tables));
  return run_call(conn, std::move(request), d, tables);
}

TEST_F(SimDictionary, StructureImagesRoundTrip) {
  auto conn = open();
  auto layout = describe_structure(conn, "ZSIM_ROW");
  ASSERT_TRUE(layout) << layout.error().message();
  const NamedValue values[] = {{"id", RfcValue::integer(-42)},
                               {"NAME", RfcValue::text("Gr\xC3\xBC\xC3\x9F"
                                                       "e")},
                               {"AMOUNT", RfcValue::text("-1234.5")},
                               {"DAY", RfcValue::text("20240229")},
                               {"SCORE", RfcValue::floating(0.1)}};
  auto image = encode_structure(**layout, values);
  ASSERT_TRUE(image) << image.error().message();
  const ValueImport imports[] = {{"I_ROW", RfcValue::bytes(*image)}};
  auto r = invoke(conn, "Z_SIM_STRUCT", imports);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->value("E_SEEN")->as_text(),
            "ID=-42;NAME=Gr\xC3\xBC\xC3\x9F"
            "e               ;AMOUNT=-1234.50;DAY=20240229;"
            "SCORE=0.1");
  const RfcValue* back = r->value("E_ROW");
  ASSERT_TRUE(back && back->is_bytes());
  auto decoded = decode_structure(**layout, back->as_bytes());
  ASSERT_TRUE(decoded) << decoded.error().message();
  EXPECT_EQ((*decoded)[0].second, RfcValue::integer(-42));
  EXPECT_EQ((*decoded)[2].second, RfcValue::text("-1234.50"));
  EXPECT_EQ((*decoded)[4].second, RfcValue::floating(0.1));
}

TEST_F(SimDictionary, TableRowsWithAnInitialPackedField) {
  // A row that leaves AMOUNT out carries the packed field as zero bytes: the
  // initial value, positive zero.
  auto conn = open();
  auto layout = describe_structure(conn, "ZSIM_ROW");
  ASSERT_TRUE(layout);
  auto row = encode_structure(**layout, std::vector<NamedValue>{{"ID", RfcValue::integer(5)}});
  ASSERT_TRUE(row);
  EXPECT_EQ(Bytes(row->begin() + 44, row->begin() + 52), Bytes(8, 0));
  const wire::TableArg tables[] = {wire::TableArg::byte_rows("T_IN", {*row, *row}, 80)};
  const ValueImport imports[] = {{"ROW_COUNT", RfcValue::integer(1)}};
  auto r = call_with_tables(conn, "Z_SIM_TABLE", imports, tables);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r->value("E_ROWS"), RfcValue::integer(3));
  EXPECT_NE(r->value("E_SEEN")->as_text().find("ID=5;NAME=                    ;AMOUNT=0.00"),
            std::string::npos)
      << r->value("E_SEEN")->as_text();
  auto out = reply_table_rows(*r->table("T_OUT"));
  ASSERT_TRUE(out);
  ASSERT_EQ((*out)->row_count(), 3u);
  auto last = decode_structure(**layout, (*out)->chunk(2));
  ASSERT_TRUE(last);
  EXPECT_EQ((*last)[2].second, RfcValue::text("0.00"));
  // The conversation goes on.
  EXPECT_TRUE(invoke(conn, "RFCPING", {}));
}

TEST_F(SimDictionary, ReadTableSelectsPagesAndCuts) {
  auto conn = open();
  ReadTableOptions o;
  o.fields = {"NAME", "CITY"};
  o.where = {"CITY = 'K\xC3\xB6ln'", "AND ID > 3"};
  auto rows = read_table(conn, "ZSIM_ROWS", o);
  ASSERT_TRUE(rows) << rows.error().message();
  ASSERT_EQ(rows->size(), 3u);  // rows 9, 16 and 23 of 23
  EXPECT_EQ(rows->at(0).text, "ROW 00009           |K\xC3\xB6ln");
  EXPECT_EQ(rows->at(0).field(0, U'|'), "ROW 00009           ");
  EXPECT_EQ(rows->at(1).field(1, U'|'), "K\xC3\xB6ln");

  // Max rows 5 with skip 12: pages of 5 from row 10, the first two dropped.
  const std::size_t before = requests("RFC_READ_TABLE");
  ReadTableOptions paged;
  paged.max_rows = 5;
  paged.skip = 12;
  paged.fields = {"ID"};
  paged.delimiter = U'\u00A7';
  auto page = read_table(conn, "ZSIM_ROWS", paged);
  ASSERT_TRUE(page) << page.error().message();
  std::vector<std::string> ids;
  for (const auto& r : *page) ids.push_back(r.text);
  EXPECT_EQ(ids, (std::vector<std::string>{"000013", "000014", "000015", "000016", "000017"}));
  EXPECT_EQ(requests("RFC_READ_TABLE") - before, 2u);

  // The last page of the table is short and ends the reading.
  ReadTableOptions tail;
  tail.skip = 20;
  tail.max_rows = 10;
  auto end = read_table(conn, "ZSIM_ROWS", tail);
  ASSERT_TRUE(end);
  ASSERT_EQ(end->size(), 3u);
  EXPECT_EQ(end->at(0).field(0, U'|'), "000021");
  EXPECT_EQ(end->at(0).field_count(), 3u);

  // The server's refusals arrive as its ABAP exceptions.
  const std::pair<ReadTableOptions, std::string> refused[] = {
      {ReadTableOptions{.where = {"CITY ~ 1"}}, "OPTION_NOT_VALID"},
      {ReadTableOptions{.fields = {"NOPE"}}, "FIELD_NOT_VALID"},
  };
  for (const auto& [options, key] : refused) {
    auto r = read_table(conn, "ZSIM_ROWS", options);
    ASSERT_FALSE(r) << key;
    EXPECT_EQ(r.error().get<ProtocolError::AbapExceptionInfo>()->key, key);
  }
  auto missing = read_table(conn, "ZSIM_NONE", {});
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.error().get<ProtocolError::AbapExceptionInfo>()->key, "TABLE_NOT_AVAILABLE");
}

// The NAME column of a table of ZSIM_ROW rows.
std::string names_of(const StructureLayout& layout, const ReplyTable& t) {
  auto rows = reply_table_rows(t);
  if (!rows) return "<" + rows.error().message() + ">";
  std::string out;
  for (wire::ByteView row : (*rows)->row_chunks()) {
    auto d = decode_structure(layout, row);
    if (!d) return "<" + d.error().message() + ">";
    if (!out.empty()) out += '\n';
    out += std::string(wire::trim_end_unicode((*d)[1].second.as_text()));
  }
  return out;
}

TEST_F(SimDictionary, TableDeltasRebuildTheSentRows) {
  auto conn = open();
  auto layout = describe_structure(conn, "ZSIM_ROW");
  ASSERT_TRUE(layout);
  std::vector<Bytes> sent;
  for (const char* n : {"one", "two", "three"}) {
    auto r = encode_structure(**layout, std::vector<NamedValue>{{"NAME", RfcValue::text(n)}});
    ASSERT_TRUE(r);
    sent.push_back(*r);
  }
  struct Case {
    const char* ops;
    std::string names;
  };
  const Case cases[] = {
      {"D2;A3:four", "one\nthree\nfour"},
      {"I1:zero;U4:last", "zero\none\ntwo\nlast"},
      {"W7;U2:short", "one\nshort\nthree"},  // a row 7 bytes short is padded
      {"R:x,y;E", "x\ny"},
      {"", "one\ntwo\nthree"},  // no delta: the sent rows come back
  };
  for (const auto& c : cases) {
    const wire::TableArg tables[] = {wire::TableArg::byte_rows("T_ROWS", sent, 80)};
    const ValueImport imports[] = {{"OPS", RfcValue::text(c.ops)}};
    auto r = call_with_tables(conn, "Z_SIM_DELTA", imports, tables);
    ASSERT_TRUE(r) << c.ops << ": " << r.error().message();
    const ReplyTable* t = r->table("T_ROWS");
    ASSERT_NE(t, nullptr) << c.ops;
    EXPECT_EQ(names_of(**layout, *t), c.names) << c.ops;
    EXPECT_EQ(r->value("E_SEEN")->as_text(), c.names) << c.ops;  // the simulator's own copy
  }
}

TEST_F(SimDictionary, ADeltaOfTheWrongRowCountRefetchesTheDescriptionOnce) {
  auto conn = open();
  auto layout = describe_structure(conn, "ZSIM_ROW");
  ASSERT_TRUE(layout);
  auto row = encode_structure(**layout, std::vector<NamedValue>{{"NAME", RfcValue::text("a")}});
  ASSERT_TRUE(row);
  struct Case {
    const char* ops;
    ProtocolError expected;
    bool refetch;
  };
  const Case cases[] = {
      {"D9", ProtocolError::delta_row_count("T_ROWS", 9, 1), true},
      {"A5", ProtocolError::delta_row_count("T_ROWS", 5, 1), true},
      {"H3;D1",
       ProtocolError::unexpected_record(kStepTableDelta,
                                        "block for input table 3, but the call sent 1"),
       false},
      {"W-1;U1",
       ProtocolError::unexpected_record(kStepTableDelta,
                                        "a 81-byte row for T_ROWS, whose rows are 80 bytes"),
       false},
      {"P", ProtocolError::unexpected_record(kStepTableDelta, "an operation with no row after it"),
       false},
  };
  for (const auto& c : cases) {
    const wire::TableArg tables[] = {wire::TableArg::byte_rows("T_ROWS", {*row}, 80)};
    const ValueImport imports[] = {{"OPS", RfcValue::text(c.ops)}};
    ASSERT_TRUE(function_description(conn, "Z_SIM_DELTA"));
    const std::size_t fetches = requests("RFC_GET_FUNCTION_INTERFACE");
    auto r = call_with_tables(conn, "Z_SIM_DELTA", imports, tables);
    ASSERT_FALSE(r) << c.ops;
    EXPECT_EQ(r.error(), c.expected) << c.ops << ": " << r.error().message();
    // Decode errors of the stale-description kind fetch the description
    // again and decode the same reply once more; nothing is sent again.
    EXPECT_EQ(requests("RFC_GET_FUNCTION_INTERFACE") - fetches, c.refetch ? 1u : 0u) << c.ops;
    EXPECT_TRUE(conn.alive()) << c.ops;
  }
}

}  // namespace
}  // namespace quib::proto

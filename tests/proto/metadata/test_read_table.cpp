// Reading tables through RFC_READ_TABLE against a scripted server that
// pages through a virtual table as ROWSKIPS and ROWCOUNT ask; delimited
// rows; the table-type lookup that reads DD40L; the rows of RfcTable.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <functional>

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

FunctionDescriptionPtr read_table_description() {
  auto d = std::make_shared<FunctionDescription>();
  d->name = "RFC_READ_TABLE";
  d->parameters = {param("QUERY_TABLE", ParamDirection::Import, AbapType::Char, 60),
                   param("DELIMITER", ParamDirection::Import, AbapType::Char, 2),
                   param("ROWSKIPS", ParamDirection::Import, AbapType::Int4, 4),
                   param("ROWCOUNT", ParamDirection::Import, AbapType::Int4, 4),
                   param("GET_SORTED", ParamDirection::Import, AbapType::Char, 2),
                   param("OPTIONS", ParamDirection::Table, AbapType::Table, 144),
                   param("FIELDS", ParamDirection::Table, AbapType::Table, 206),
                   param("DATA", ParamDirection::Table, AbapType::Table, 1024)};
  return d;
}

// What one request carried.
struct Request {
  std::string table;
  std::string delimiter;
  std::int64_t skips = -1;
  std::int64_t count = -1;
  std::string sorted;
  std::vector<std::string> fields;   // FIELDS rows, trimmed
  std::vector<std::string> options;  // OPTIONS rows, trimmed
  bool has_fields = false, has_options = false;
};

Request parse_request(const Bytes& bytes) {
  Request r;
  const auto recs = test::records_of(bytes);
  std::vector<std::string>* rows = nullptr;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    const auto& [id, v] = recs[i];
    if (id == RecordId::ParameterName && i + 1 < recs.size()) {
      const std::string name = wire::decode_utf16le(v);
      const Bytes& value = recs[i + 1].second;
      const std::string text(wire::trim_end_unicode(wire::decode_utf16le(value)));
      if (name == "QUERY_TABLE") r.table = text;
      if (name == "DELIMITER") r.delimiter = wire::decode_utf16le(value);
      if (name == "GET_SORTED") r.sorted = text;
      if (name == "ROWSKIPS" && value.size() == 4)
        r.skips = static_cast<std::int32_t>(wire::load_le32(value.data()));
      if (name == "ROWCOUNT" && value.size() == 4)
        r.count = static_cast<std::int32_t>(wire::load_le32(value.data()));
    }
    if (id == RecordId::TableName) {
      const std::string name = wire::decode_utf16le(v);
      rows = name == "FIELDS" ? &r.fields : name == "OPTIONS" ? &r.options : nullptr;
      (name == "FIELDS" ? r.has_fields : r.has_options) = true;
    }
    if (id == RecordId::TableContent && rows)
      rows->emplace_back(wire::trim_end_unicode(wire::decode_utf16le(v)));
  }
  return r;
}

Bytes data_reply(const std::vector<std::string>& lines, std::uint32_t width) {
  std::vector<Bytes> rows;
  for (const auto& l : lines) {
    Bytes b = utf16(l);
    b.resize(width, 0);
    for (std::size_t i = utf16(l).size(); i + 1 < width; i += 2) b[i] = ' ';
    rows.push_back(std::move(b));
  }
  return ReplyBuilder().table("DATA", width, rows).build();
}

// A server holding `total` rows named R0000..; each request is answered
// with the rows that its ROWSKIPS and ROWCOUNT select.
struct PagingServer : FakeSession {
  std::uint64_t total;
  std::uint32_t width;
  std::vector<Request> requests;
  std::function<Bytes(const Request&)> answer;

  explicit PagingServer(std::uint64_t rows, std::uint32_t row_width = 12)
      : total(rows), width(row_width) {
    cache->put_function_description("SIM", "RFC_READ_TABLE", read_table_description());
    answer = [this](const Request& r) {
      std::vector<std::string> lines;
      for (std::uint64_t i = static_cast<std::uint64_t>(r.skips);
           i < total && (r.count <= 0 || i < static_cast<std::uint64_t>(r.skips + r.count)); ++i)
        lines.push_back(fmt::format("R{:04}", i));
      return data_reply(lines, width);
    };
    state->on_receive = [this] {
      requests.push_back(parse_request(state->sent.back()));
      reply(answer(requests.back()));
    };
  }
  std::vector<std::int64_t> skips() const {
    std::vector<std::int64_t> out;
    for (const auto& r : requests) out.push_back(r.skips);
    return out;
  }
};

std::vector<std::string> texts(const std::vector<DelimitedRow>& rows) {
  std::vector<std::string> out;
  for (const auto& r : rows) out.push_back(r.text);
  return out;
}

// ---------------------------------------------------------------- rows

TEST(SplitDelimitedRow, OffsetsOfEveryDelimiterThenTheLength) {
  const DelimitedRow r = split_delimited_row("AA|B  |C   ", U'|');
  EXPECT_EQ(r.text, "AA|B  |C");
  EXPECT_EQ(r.ends, (std::vector<std::uint32_t>{2, 6, 8}));
  EXPECT_EQ(r.field(0, U'|'), "AA");
  EXPECT_EQ(r.field(1, U'|'), "B  ");
  EXPECT_EQ(r.field(2, U'|'), "C");

  // A delimiter outside ASCII is found by character: its UTF-8 bytes never
  // match inside another character.
  const std::string text = "x\xC2\xA7\xC3\xA9\xC2\xA7";  // x § é §
  const DelimitedRow s = split_delimited_row(text + " \t", U'\u00A7');
  EXPECT_EQ(s.ends, (std::vector<std::uint32_t>{1, 5, 7}));
  EXPECT_EQ(s.field(1, U'\u00A7'), "\xC3\xA9");
  EXPECT_EQ(s.field(2, U'\u00A7'), "");
  // U+00C2 is not found inside the bytes of U+00A7 or U+00E9.
  EXPECT_EQ(split_delimited_row(text, U'\u00C2').ends, (std::vector<std::uint32_t>{7}));

  EXPECT_EQ(split_delimited_row("   ", U'|').ends, (std::vector<std::uint32_t>{0}));
}

TEST(RfcTableRows, PushWidthsAndChunks) {
  RfcTable t(5);
  ASSERT_TRUE(t.push_row(Bytes{1, 2, 3}));
  EXPECT_EQ(t.bytes(), (Bytes{1, 2, 3, 0, 0}));
  auto wide = t.push_row(Bytes(6, 9));
  ASSERT_FALSE(wide);
  EXPECT_EQ(wide.error().message(),
            "unexpected record during table rows: a 6-byte row in a table of 5-byte rows");
  EXPECT_EQ(t.row_count(), 1u);

  RfcTable unset;
  ASSERT_TRUE(unset.push_row({}));
  EXPECT_EQ(unset.row_width(), 0u);
  ASSERT_TRUE(unset.push_row(Bytes{1, 2, 3, 4}));
  EXPECT_EQ(unset.row_width(), 4u);

  RfcTable bytes_only;
  bytes_only.assign(0, 3, Bytes{7, 8, 9});
  std::vector<Bytes> chunks;
  for (wire::ByteView row : bytes_only.row_chunks()) chunks.emplace_back(row.begin(), row.end());
  EXPECT_EQ(chunks, (std::vector<Bytes>{{7}, {8}, {9}}));

  RfcTable partial;
  partial.assign(2, 2, Bytes{1, 2, 3, 4, 5});
  EXPECT_EQ(partial.row_chunks().size(), 2u);  // the half row is not handed out

  auto built = RfcTable::from_rows(3, std::vector<Bytes>{{1}, {2, 2, 2}, {3, 3, 3, 3}});
  ASSERT_FALSE(built);
}

// ---------------------------------------------------------------- read_table

TEST(ReadTable, MaxRowsZeroSendsNothing) {
  PagingServer s(10);
  ReadTableOptions o;
  o.max_rows = 0;
  auto rows = read_table(s.connection, "ZT", o);
  ASSERT_TRUE(rows);
  EXPECT_TRUE(rows->empty());
  EXPECT_TRUE(s.state->sent.empty());
}

TEST(ReadTable, ImportsAndTablesOfARequest) {
  PagingServer s(3);
  ReadTableOptions o;
  o.fields = {"ROWTYPE", "ROWKIND"};
  o.where = {"TYPENAME = 'ZT'", "AND X = 1"};
  o.delimiter = U'\u00A7';
  auto rows = read_table(s.connection, "dd40l", o);
  ASSERT_TRUE(rows) << rows.error().message();
  ASSERT_EQ(s.requests.size(), 1u);
  const Request& r = s.requests[0];
  EXPECT_EQ(r.table, "dd40l");  // as given
  EXPECT_EQ(r.delimiter, "\xC2\xA7");
  EXPECT_EQ(r.count, 32768);
  EXPECT_EQ(r.skips, 0);
  EXPECT_EQ(r.sorted, "X");
  EXPECT_EQ(r.fields, o.fields);
  EXPECT_EQ(r.options, o.where);
  // FIELDS goes before OPTIONS.
  const auto recs = test::records_of(s.state->sent[0]);
  std::vector<std::string> tables;
  for (const auto& [id, v] : recs)
    if (id == RecordId::TableName) tables.push_back(wire::decode_utf16le(v));
  EXPECT_EQ(tables, (std::vector<std::string>{"FIELDS", "OPTIONS"}));
  EXPECT_EQ(texts(*rows), (std::vector<std::string>{"R0000", "R0001", "R0002"}));

  // Without fields and options no table goes out.
  PagingServer plain(1);
  ASSERT_TRUE(read_table(plain.connection, "ZT", {}));
  EXPECT_FALSE(plain.requests.at(0).has_fields || plain.requests.at(0).has_options);
  EXPECT_EQ(plain.requests.at(0).delimiter, "|");
}

TEST(ReadTable, PagingSkipsAndLimits) {
  struct Case {
    const char* what;
    std::uint64_t total;
    std::optional<std::uint64_t> max_rows;
    std::uint64_t skip;
    std::vector<std::int64_t> skips;  // of every request
    std::int64_t count;               // ROWCOUNT of every request
    std::uint64_t rows;
    std::string first;
  };
  const Case cases[] = {
      {"max rows 5 with skip 12", 40, 5, 12, {10, 15}, 5, 5, "R0012"},
      {"70000 rows in pages of 32768",
       70000,
       std::nullopt,
       0,
       {0, 32768, 65536},
       32768,
       70000,
       "R0000"},
      {"max rows 40000 pages by 32768 and drops the surplus",
       70000,
       40000,
       0,
       {0, 32768},
       32768,
       40000,
       "R0000"},
      {"a full last page is followed by an empty one",
       32768,
       std::nullopt,
       0,
       {0, 32768},
       32768,
       32768,
       "R0000"},
      {"a short page ends the reading", 10, std::nullopt, 0, {0}, 32768, 10, "R0000"},
      {"dropped rows leave a full page short of max rows", 5, 5, 2, {0, 5}, 5, 3, "R0002"},
      {"skip within the first page", 10, 3, 2, {0, 3}, 3, 3, "R0002"},
      {"skip past the end", 10, 4, 20, {20}, 4, 0, ""},
  };
  for (const auto& c : cases) {
    PagingServer s(c.total, 12);
    ReadTableOptions o;
    o.max_rows = c.max_rows;
    o.skip = c.skip;
    auto rows = read_table(s.connection, "ZT", o);
    ASSERT_TRUE(rows) << c.what << ": " << rows.error().message();
    EXPECT_EQ(s.skips(), c.skips) << c.what;
    for (const auto& r : s.requests) EXPECT_EQ(r.count, c.count) << c.what;
    ASSERT_EQ(rows->size(), c.rows) << c.what;
    if (!rows->empty()) {
      EXPECT_EQ(rows->front().text, c.first) << c.what;
      // Consecutive rows: nothing lost or repeated between pages.
      const auto& last = rows->back().text;
      EXPECT_EQ(std::stoul(last.substr(1)) - std::stoul(c.first.substr(1)) + 1, c.rows) << c.what;
    }
  }
}

TEST(ReadTable, Failures) {
  {
    PagingServer s(3);
    s.answer = [](const Request&) { return ReplyBuilder().table("FIELDS", 2, {}).build(); };
    auto rows = read_table(s.connection, "ZT", {});
    ASSERT_FALSE(rows);
    EXPECT_EQ(rows.error().message(),
              "unexpected record during read_table: response without a DATA table");
  }
  {
    PagingServer s(3);
    s.answer = [](const Request&) {
      return ReplyBuilder()
          .text(RecordId::TableName, "DATA")
          .table_header(4, 2)
          .raw(RecordId::TableContent, Bytes(5, 0x41))
          .build();
    };
    auto rows = read_table(s.connection, "ZT", {});
    ASSERT_FALSE(rows);
    EXPECT_EQ(rows.error(), ProtocolError::table_shape("DATA", 5, 4, 2));
  }
  {
    // An error of a later page discards the rows of the earlier ones.
    PagingServer s(20);
    auto normal = s.answer;
    s.answer = [normal](const Request& r) {
      if (r.skips == 0) return normal(r);
      return ReplyBuilder()
          .text(RecordId::AbapExceptionKey, "OPTION_NOT_VALID")
          .text(RecordId::AbapErrorMessage, "bad")
          .build();
    };
    ReadTableOptions o;
    o.max_rows = 10;
    o.skip = 5;  // the first page leaves 5 of its 10 rows: a second page follows
    auto rows = read_table(s.connection, "ZT", o);
    ASSERT_FALSE(rows);
    EXPECT_EQ(rows.error().kind(), ProtocolError::AbapException);
    EXPECT_EQ(s.skips(), (std::vector<std::int64_t>{0, 10}));
  }
  {
    // A description that claims rows too wide to build is refused before
    // any row is.
    FakeSession s;
    auto d = std::make_shared<FunctionDescription>(*read_table_description());
    d->parameters[5].length = 0x80000000u;
    s.cache->put_function_description("SIM", "RFC_READ_TABLE", d);
    ReadTableOptions o;
    o.where = {"X = 1"};
    auto rows = read_table(s.connection, "ZT", o);
    ASSERT_FALSE(rows);
    EXPECT_EQ(rows.error().kind(), ProtocolError::UnexpectedRecord);
    EXPECT_TRUE(s.state->sent.empty());
  }
}

// ---------------------------------------------------------------- table types

TEST(DescribeTableType, ReadsDd40lOnceAndCachesAbsentLines) {
  PagingServer s(0);
  std::vector<std::string> lines = {"ZROW                          |S|    |000000|000000",
                                    "IGNORED|E"};
  s.answer = [&lines](const Request&) { return data_reply(lines, 200); };
  auto line = describe_table_type(s.connection, "ZROW_TAB");
  ASSERT_TRUE(line) << line.error().message();
  ASSERT_TRUE(line->has_value());
  EXPECT_EQ(**line, (TableTypeLine{TableTypeLine::Named{"ZROW", "S"}}));
  ASSERT_EQ(s.requests.size(), 1u);
  const Request& r = s.requests[0];
  EXPECT_EQ(r.table, "DD40L");
  EXPECT_EQ(r.delimiter, "|");
  EXPECT_EQ(r.fields,
            (std::vector<std::string>{"ROWTYPE", "ROWKIND", "DATATYPE", "LENG", "DECIMALS"}));
  EXPECT_EQ(r.options, (std::vector<std::string>{"TYPENAME = 'ZROW_TAB'"}));
  ASSERT_TRUE(describe_table_type(s.connection, "ZROW_TAB"));
  EXPECT_EQ(s.requests.size(), 1u);

  lines.clear();
  auto none = describe_table_type(s.connection, "ZNONE");
  ASSERT_TRUE(none);
  EXPECT_FALSE(none->has_value());
  auto cached = s.cache->get_table_type_line("SIM", "ZNONE");
  ASSERT_TRUE(cached.has_value());
  EXPECT_EQ(*cached, nullptr);
  ASSERT_TRUE(describe_table_type(s.connection, "ZNONE"));
  EXPECT_EQ(s.requests.size(), 2u);
}

}  // namespace
}  // namespace quib::proto

// Classic reply decoding: ABAP errors, scalar values, tables (plain,
// compressed, misshapen), deep sections, sent tables and the decimal pass.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <memory>

#include "proto/call/exchange.hpp"
#include "proto/call/reply.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/net/waits.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/compressed_table.hpp"
#include "tests/support/zlib_oracle.hpp"

namespace quib::proto {
namespace {

using test::ReplyBuilder;
using test::utf16;
using wire::AbapType;
using wire::Bytes;
using wire::RecordId;
using wire::RfcValue;

// Decodes a container built by the test.
struct Decoded {
  Bytes bytes;
  std::vector<wire::Record> records;
  ProtoResult<CallReply> reply = wire::err(ProtocolError::cancelled());
};

Decoded decode(Bytes container, const FunctionDescription* d = nullptr,
               std::span<const wire::TableArg> sent = {}) {
  Decoded out;
  out.bytes = std::move(container);
  auto reader = wire::ContainerReader::create(out.bytes);
  EXPECT_TRUE(reader);
  auto all = reader->read_all_records();
  EXPECT_TRUE(all);
  out.records = std::move(all).value();
  out.reply = decode_classic_reply(out.records, d, sent);
  return out;
}

FunctionDescription description_of(std::vector<std::pair<std::string, AbapType>> params) {
  FunctionDescription d;
  d.name = "Z_TEST";
  for (auto& [n, t] : params) {
    ParameterDescription p;
    p.name = n;
    p.type = t;
    p.direction = ParamDirection::Export;
    d.parameters.push_back(std::move(p));
  }
  return d;
}

// ---------------------------------------------------------------- ABAP errors

TEST(ReplyAbapErrors, MessageIsTheFirstMessageRecordInReplyOrder) {
  struct Case {
    const char* what;
    Bytes reply;
    ProtocolError::AbapExceptionInfo expected;
  };
  std::vector<Case> cases;
  cases.push_back({"T100 text before the error message",
                   ReplyBuilder()
                       .text(RecordId::AbapExceptionKey, "  NOT_FOUND  ")
                       .text(RecordId::AbapT100Text, "first text  ")
                       .text(RecordId::AbapErrorMessage, "second")
                       .text(RecordId::AbapMessageClass, " SY ")
                       .text(RecordId::AbapMessageType, "E")
                       .text(RecordId::AbapMessageNumber, "002")
                       .text(RecordId::AbapMessageV2, " v2 ")
                       .text(RecordId::AbapMessageV2, "ignored")
                       .build(),
                   {"  NOT_FOUND", "first text", "SY", "E", "002", "", "v2", "", ""}});
  cases.push_back({"V1 alone is message and variable 1",
                   ReplyBuilder().text(RecordId::AbapMessageV1, " only v1 ").build(),
                   {"", " only v1", "", "", "", "only v1", "", "", ""}});
  cases.push_back({"key without any message",
                   ReplyBuilder().text(RecordId::AbapExceptionKey, "FAILED").build(),
                   {"FAILED", "no diagnostic text", "", "", "", "", "", "", ""}});
  cases.push_back({"texts in UTF-8 are read too",
                   ReplyBuilder()
                       .raw(RecordId::AbapExceptionKey, wire::as_bytes("K\xC3\xA4"))
                       .raw(RecordId::AbapErrorMessage, wire::as_bytes("msg"))
                       .build(),
                   {"K\xC3\xA4", "msg", "", "", "", "", "", "", ""}});
  for (auto& c : cases) {
    auto d = decode(std::move(c.reply));
    ASSERT_FALSE(d.reply) << c.what;
    EXPECT_EQ(d.reply.error(), ProtocolError::abap_exception(c.expected)) << c.what;
  }
  auto d = decode(ReplyBuilder().text(RecordId::AbapExceptionKey, "NOT_FOUND").build());
  EXPECT_EQ(d.reply.error().message(), "ABAP exception NOT_FOUND: no diagnostic text");
}

TEST(ReplyAbapErrors, MessageAttributesAloneDoNotMakeAnError) {
  auto d = decode(
      ReplyBuilder().text(RecordId::AbapMessageType, "W").text_value("RESULT", "ok").build());
  ASSERT_TRUE(d.reply) << d.reply.error().message();
  EXPECT_EQ(d.reply->text_pairs, (std::vector<TextPair>{{"RESULT", "ok"}}));
}

// ---------------------------------------------------------------- scalars

TEST(ReplyScalars, NamesPairWithTheirValues) {
  auto d = decode(ReplyBuilder()
                      .raw(RecordId::ParameterValue, utf16("orphan"))  // no name pending
                      .text(RecordId::ParameterName, "DROPPED")
                      .text_value("KEPT", "v  ")
                      .raw(RecordId::TableRowCount, Bytes{0, 0, 0, 1})  // skipped
                      .build());
  ASSERT_TRUE(d.reply);
  ASSERT_EQ(d.reply->values.size(), 1u);
  EXPECT_EQ(d.reply->values[0], (NamedValue{"KEPT", RfcValue::text("v  ")}));
  EXPECT_EQ(d.reply->text_pairs, (std::vector<TextPair>{{"KEPT", "v"}}));
}

TEST(ReplyScalars, TypesComeFromTheDescriptionOrDefaultToChar) {
  const Bytes int4 = {0xFE, 0xFF, 0xFF, 0xFF};
  const Bytes short_int = {1, 2, 3};
  const Bytes raw = {0x0A, 0xFF};
  const Bytes reply = ReplyBuilder()
                          .value("COUNT", int4)
                          .value("BAD", short_int)
                          .value("RAW", raw)
                          .text_value("OTHER", "x")
                          .build();
  // Without a description every scalar is Char text.
  auto plain = decode(reply);
  ASSERT_TRUE(plain.reply);
  EXPECT_TRUE(plain.reply->values[0].second.is_text());

  const auto desc =
      description_of({{"COUNT", AbapType::Int4}, {"bad", AbapType::Int4}, {"RAW", AbapType::Byte}});
  auto typed = decode(reply, &desc);
  ASSERT_TRUE(typed.reply);
  const auto& v = typed.reply->values;
  ASSERT_EQ(v.size(), 4u);
  EXPECT_EQ(v[0].second, RfcValue::integer(-2));
  // A value the codec refuses stays as its raw bytes; the decode goes on.
  EXPECT_EQ(v[1].second, RfcValue::undecoded(AbapType::Int4, short_int));
  EXPECT_EQ(v[2].second, RfcValue::bytes(raw));
  EXPECT_EQ(v[3].second, RfcValue::text("x"));
  EXPECT_EQ(
      typed.reply->text_pairs,
      (std::vector<TextPair>{
          {"COUNT", "-2"}, {"BAD", "<undecoded Int4, 3 bytes>"}, {"RAW", "0aff"}, {"OTHER", "x"}}));
}

TEST(ValueText, RendersEveryKind) {
  const std::pair<RfcValue, std::string> cases[] = {
      {RfcValue::text("ab \t\n"), "ab"},
      {RfcValue::text("  lead"), "  lead"},
      {RfcValue::integer(-5), "-5"},
      {RfcValue::floating(1.0), "1"},
      {RfcValue::floating(0.1), "0.1"},
      {RfcValue::floating(-0.0), "-0"},
      {RfcValue::bytes({}), ""},
      {RfcValue::bytes({0x0A, 0xFF}), "0aff"},
      {RfcValue::undecoded(AbapType::unknown('q'), {1, 2}), "<undecoded Unknown(q), 2 bytes>"},
  };
  for (const auto& [v, text] : cases) EXPECT_EQ(value_text(v), text) << v.debug();
}

// ---------------------------------------------------------------- tables

TEST(ReplyTables, RowsArePaddedToTheDeclaredWidth) {
  auto d = decode(ReplyBuilder()
                      .text(RecordId::TableName, "T")
                      .table_header(20, 3)
                      .table_header(99, 99)  // a second header is ignored
                      .raw(RecordId::TableContent, Bytes(20, 1))
                      .raw(RecordId::TableContent, Bytes(18, 2))
                      .raw(RecordId::TableContent, Bytes(20, 3))
                      .build());
  ASSERT_TRUE(d.reply);
  ASSERT_EQ(d.reply->tables.size(), 1u);
  auto rows = reply_table_rows(d.reply->tables[0]);
  ASSERT_TRUE(rows);
  EXPECT_EQ((*rows)->row_width(), 20u);
  EXPECT_EQ((*rows)->row_count(), 3u);
  Bytes second(20, 2);
  second[18] = second[19] = 0;
  EXPECT_EQ(Bytes((*rows)->chunk(1).begin(), (*rows)->chunk(1).end()), second);
}

TEST(ReplyTables, MisshapenContentSurfacesOnlyWhenRead) {
  struct Case {
    const char* what;
    Bytes reply;
    ProtocolError expected;
  };
  const Case cases[] = {
      {"a row wider than the table",
       ReplyBuilder()
           .text(RecordId::TableName, "T")
           .table_header(20, 3)
           .raw(RecordId::TableContent, Bytes(20, 1))
           .raw(RecordId::TableContent, Bytes(21, 2))
           .raw(RecordId::TableContent, Bytes(20, 3))
           .build(),
       ProtocolError::table_shape("T", 21, 20, 3)},
      {"a declared width above 64 MiB",
       ReplyBuilder()
           .text(RecordId::TableName, "WIDE")
           .table_header(67108865, 2)
           .raw(RecordId::TableContent, Bytes(4, 1))
           .build(),
       ProtocolError::table_shape("WIDE", 0, 67108865, 2)},
      {"compressed-looking content that does not expand",
       ReplyBuilder()
           .text(RecordId::TableName, "Z")
           .table_header(4, 1)
           .raw(RecordId::TableCompressed,
                Bytes{0x7B, 0x02, 0, 0xEA, 0, 0, 0, 0, 4, 0, 0, 0, 0x12, 0x1F, 0x9D, 0, 0xFF, 0xFF})
           .build(),
       ProtocolError::compressed_table("Z", 18)},
      {"plain content shorter than width x count",
       ReplyBuilder()
           .text(RecordId::TableName, "P")
           .table_header(4, 3)
           .raw(RecordId::TableCompressed, Bytes(6, 7))  // longer than the width: content
           .raw(RecordId::TableCompressedChunk, Bytes(5, 7))
           .build(),
       ProtocolError::table_shape("P", 11, 4, 3)},
  };
  for (const auto& c : cases) {
    auto d = decode(c.reply);
    ASSERT_TRUE(d.reply) << c.what;
    ASSERT_EQ(d.reply->tables.size(), 1u) << c.what;
    auto rows = reply_table_rows(d.reply->tables[0]);
    ASSERT_FALSE(rows) << c.what;
    EXPECT_EQ(rows.error(), c.expected) << c.what;
  }
}

TEST(ReplyTables, RecordsWithoutATableOrHeaderAreHandledAsDeclared) {
  auto d =
      decode(ReplyBuilder()
                 .raw(RecordId::TableContent, Bytes(3, 9))  // no table yet: ignored
                 .table_header(4, 4)                        // likewise
                 .text(RecordId::TableName, "A")
                 .raw(RecordId::TableHeader, Bytes{0, 0, 0, 4})  // shorter than 8: ignored
                 .raw(RecordId::TableContent, Bytes{})           // no width yet: ignored
                 .raw(RecordId::TableContent, Bytes{1, 2, 3})    // sets the width
                 .raw(RecordId::TableContent, Bytes{4})
                 .text(RecordId::TableName, "B")
                 .table_header(3, 2)
                 .raw(RecordId::TableCompressed, Bytes{5, 6})  // a plain row: not compressed, fits
                 .raw(RecordId::TableSectionEnd, {})
                 .build());
  ASSERT_TRUE(d.reply);
  ASSERT_EQ(d.reply->tables.size(), 2u);
  const ReplyTable& a = d.reply->tables[0];
  EXPECT_EQ(a.name, "A");
  EXPECT_EQ(a.declared_width, 3u);
  EXPECT_EQ(a.rows.bytes(), (Bytes{1, 2, 3, 4, 0, 0}));
  const ReplyTable& b = d.reply->tables[1];
  EXPECT_EQ(b.rows.bytes(), (Bytes{5, 6, 0}));
  EXPECT_EQ(b.rows.row_count(), 1u);
}

// Compressed table content: the record prefix, the declared length, the
// algorithm byte and the LZH stream (DEFLATE bits after a 2-bit skip count).
Bytes compressed_content(const Bytes& plain, std::uint32_t declared) {
  const Bytes deflated = test::zlib_deflate(plain, 9, Z_FIXED, 9);
  // Shift the bit stream up by two bits: a skip count of 0 comes first.
  Bytes stream(deflated.size() + 1, 0);
  for (std::size_t i = 0; i < deflated.size(); ++i) {
    stream[i] |= static_cast<std::uint8_t>(deflated[i] << 2);
    stream[i + 1] |= static_cast<std::uint8_t>(deflated[i] >> 6);
  }
  Bytes out = {0x7B, 0x02, 0x00, 0xEA, 0, 0, 0, 0};
  wire::append_le32(out, declared);
  out.insert(out.end(), {0x12, 0x1F, 0x9D, 0x00});
  out.insert(out.end(), stream.begin(), stream.end());
  return out;
}

TEST(ReplyTables, CompressedContentExpandsIntoRows) {
  Bytes plain;
  for (int r = 0; r < 5; ++r)
    for (int i = 0; i < 8; ++i) plain.push_back(static_cast<std::uint8_t>('a' + r));
  const Bytes content = compressed_content(plain, static_cast<std::uint32_t>(plain.size()));
  ASSERT_TRUE(wire::detect_compressed_table(content));

  struct Case {
    std::uint32_t count;
    bool fits;
  };
  for (const Case c : {Case{4, true}, Case{5, true}, Case{6, false}}) {
    // Split across two records, as servers do.
    const std::size_t half = content.size() / 2;
    auto d = decode(ReplyBuilder()
                        .text(RecordId::TableName, "ZIP")
                        .table_header(8, c.count)
                        .raw(RecordId::TableCompressed, wire::ByteView(content).first(half))
                        .raw(RecordId::TableCompressedChunk, wire::ByteView(content).subspan(half))
                        .build());
    ASSERT_TRUE(d.reply);
    auto rows = reply_table_rows(d.reply->tables.at(0));
    if (!c.fits) {
      ASSERT_FALSE(rows);
      EXPECT_EQ(rows.error(), ProtocolError::table_shape("ZIP", 40, 8, 6));
      continue;
    }
    ASSERT_TRUE(rows) << rows.error().message();
    EXPECT_EQ((*rows)->row_count(), c.count);  // bytes beyond width x count are dropped
    EXPECT_EQ((*rows)->bytes(), Bytes(plain.begin(), plain.begin() + 8 * c.count));
  }
}

// Rows of 188 bytes as a table read returns them (a key, text, blanks).
Bytes abap_rows(std::size_t n) {
  Bytes out;
  for (std::size_t i = 0; i < n; ++i) {
    std::string row =
        fmt::format("{:018}Hex bolt M{:<12}{:>10}EA  20240{}", i, i % 97, i * 7, i % 9 + 1);
    row.resize(188, ' ');
    out.insert(out.end(), row.begin(), row.end());
  }
  return out;
}

// The records of a reply, decoded with its compressed content left
// compressed (budget: unlimited by default).
Decoded decode_left(Bytes container, std::uint64_t budget = wire::ExpansionBudget::kUnlimited) {
  Decoded out = decode(std::move(container));
  wire::ExpansionBudget b(budget);
  out.reply = decode_classic_reply(out.records, nullptr, {}, b, TableContent::LeftCompressed);
  return out;
}

// The rows read out of left compressed content, joined; `budget_left`
// the reply's, or unlimited.
ProtoResult<Bytes> left_rows(const ReplyTable& t, std::uint64_t* calls = nullptr,
                             std::uint64_t* budget_left = nullptr) {
  Bytes rows;
  std::uint64_t unlimited = wire::ExpansionBudget::kUnlimited;
  std::uint64_t& left = budget_left ? *budget_left : unlimited;
  QUIB_CHECK(read_left_compressed_rows(t, left, {}, [&](wire::ByteView r, std::uint64_t count) {
    EXPECT_EQ(r.size(), count * t.declared_width);
    rows.insert(rows.end(), r.begin(), r.end());
    if (calls) ++*calls;
    return true;
  }));
  return rows;
}

TEST(ReplyTables, LeftCompressedContentReadsAsTheExpandedRows) {
  // The same replies decoded both ways: the rows read out of the content
  // left compressed are the rows of the expanded table, or its error; a
  // table of several windows of rows comes in several pieces; the decoding
  // takes nothing from the budget for it.
  const Bytes small = abap_rows(5);
  const Bytes big = abap_rows(12000);  // 2.2 MB: five windows
  const Bytes small_content = compressed_content(small, static_cast<std::uint32_t>(small.size()));
  const Bytes big_content = compressed_content(big, static_cast<std::uint32_t>(big.size()));
  Bytes cut = big_content;
  cut.resize(cut.size() / 2);
  struct Case {
    const char* what;
    const Bytes* content;
    std::uint64_t width, count;
    std::uint64_t pieces_at_least;
  };
  const Case cases[] = {
      {"fewer rows than the content holds", &small_content, 188, 4, 1},
      {"as many rows as it holds", &small_content, 188, 5, 1},
      {"more rows than it holds", &small_content, 188, 6, 0},
      {"rows of a narrower width", &small_content, 94, 10, 1},
      {"many windows of rows", &big_content, 188, 12000, 4},
      {"content cut in half", &cut, 188, 12000, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto reply = [&] {
      return ReplyBuilder()
          .text(RecordId::TableName, "ZIP")
          .table_header(static_cast<std::uint32_t>(c.width), static_cast<std::uint32_t>(c.count))
          .raw(RecordId::TableCompressed, *c.content)
          .build();
    };
    auto whole = decode(reply());
    ASSERT_TRUE(whole.reply);
    auto expected = reply_table_rows(whole.reply->tables.at(0));

    auto left = decode_left(reply(), 1u << 30);
    ASSERT_TRUE(left.reply) << left.reply.error().message();
    const ReplyTable& t = left.reply->tables.at(0);
    ASSERT_FALSE(t.left_compressed.empty());
    EXPECT_EQ(left.reply->budget_left, 1u << 30);
    // Read as a table it is compressed content, never an empty table.
    auto as_rows = reply_table_rows(t);
    ASSERT_FALSE(as_rows);
    EXPECT_EQ(as_rows.error().kind(), ProtocolError::CompressedTable);

    std::uint64_t pieces = 0;
    auto rows = left_rows(t, &pieces);
    if (!expected) {
      ASSERT_FALSE(rows);
      EXPECT_EQ(rows.error(), expected.error());
      continue;
    }
    ASSERT_TRUE(rows) << rows.error().message();
    EXPECT_EQ(*rows, (*expected)->bytes());
    EXPECT_GE(pieces, c.pieces_at_least);
  }
}

TEST(ReplyTables, LeftCompressedContentWithinTheBudgetAndStops) {
  // The tables draw what they make from what the reply's budget had left,
  // in the order they are read, as the decoding draws for expanded ones:
  // with exactly enough both read, with one byte less the second is
  // CompressedTable as when expanded. A table without rows keeps nothing.
  // A stop of the rows' reader or of the budget's owner ends the reading
  // as decoding_stopped().
  const Bytes plain = abap_rows(3000);
  // Declaring 4 GiB, as a peer may: only what is made counts.
  const Bytes content = compressed_content(plain, 0xFFFFFFFF);
  auto reply = [&](std::uint32_t count) {
    return ReplyBuilder()
        .text(RecordId::TableName, "T1")
        .table_header(188, count)
        .raw(RecordId::TableCompressed, content)
        .text(RecordId::TableName, "T2")
        .table_header(188, count)
        .raw(RecordId::TableCompressed, content)
        .build();
  };
  for (const std::uint64_t budget : {2 * plain.size(), 2 * plain.size() - 1}) {
    SCOPED_TRACE(budget);
    const bool fits = budget == 2 * plain.size();
    Decoded whole = decode(reply(3000));
    wire::ExpansionBudget b(budget);
    whole.reply = decode_classic_reply(whole.records, nullptr, {}, b);
    ASSERT_TRUE(whole.reply);
    EXPECT_EQ(reply_table_rows(whole.reply->tables.at(1)).ok(), fits);

    auto left = decode_left(reply(3000), budget);
    ASSERT_TRUE(left.reply);
    std::uint64_t budget_left = left.reply->budget_left;
    EXPECT_EQ(budget_left, budget);
    auto first = left_rows(left.reply->tables.at(0), nullptr, &budget_left);
    ASSERT_TRUE(first) << first.error().message();
    EXPECT_EQ(*first, plain);
    EXPECT_EQ(budget_left, budget - plain.size());
    auto second = left_rows(left.reply->tables.at(1), nullptr, &budget_left);
    EXPECT_EQ(second.ok(), fits);
    if (!fits) {
      EXPECT_EQ(second.error(), ProtocolError::compressed_table("T2", content.size()));
    }
  }
  auto none = decode_left(reply(0));
  ASSERT_TRUE(none.reply);
  EXPECT_TRUE(none.reply->tables.at(0).left_compressed.empty());

  auto left = decode_left(reply(3000));
  ASSERT_TRUE(left.reply);
  const ReplyTable& t = left.reply->tables.at(0);
  std::uint64_t budget_left = wire::ExpansionBudget::kUnlimited;
  std::uint64_t seen = 0;
  auto stopped =
      read_left_compressed_rows(t, budget_left, {}, [&](wire::ByteView, std::uint64_t count) {
        seen += count;
        return false;
      });
  ASSERT_FALSE(stopped);
  EXPECT_EQ(stopped.error(), decoding_stopped());
  EXPECT_GT(seen, 0u);
  EXPECT_LT(seen, 3000u);
  int asked = 0;
  auto owner_stopped = read_left_compressed_rows(
      t, budget_left, [&] { return ++asked < 2; },
      [](wire::ByteView, std::uint64_t) { return true; });
  ASSERT_FALSE(owner_stopped);
  EXPECT_EQ(owner_stopped.error(), decoding_stopped());
  EXPECT_EQ(asked, 2);
}

// ---------------------------------------------------------------- the reply's budget

// Compressed content of `n` blank bytes declaring 4 GiB less one.
Bytes blank_content(std::size_t n) {
  return test::lzh_table_content(test::zlib_deflate(Bytes(n, ' '), 9), 0xFFFFFFFF);
}

// A reply of compressed tables T1, T2, ... of `n` blank bytes in rows of 1 KiB.
ReplyBuilder blank_tables(std::size_t tables, std::size_t n) {
  const Bytes content = blank_content(n);
  ReplyBuilder b;
  for (std::size_t i = 1; i <= tables; ++i)
    b.text(RecordId::TableName, "T" + std::to_string(i))
        .table_header(1024, static_cast<std::uint32_t>(n / 1024))
        .raw(RecordId::TableCompressed, content);
  return b;
}

ProtoResult<CallReply> decode_within(const Bytes& container, std::uint64_t budget) {
  auto reader = wire::ContainerReader::create(container);
  auto records = reader->read_all_records();
  EXPECT_TRUE(records);
  wire::ExpansionBudget b(budget);
  return decode_classic_reply(records.value(), nullptr, {}, b);
}

TEST(ReplyBudget, TheBudgetOfAReplyOfItsSize) {
  EXPECT_EQ(reply_budget_bytes(0), kReplyExpansionAllowance);
  EXPECT_EQ(reply_budget_bytes(1000), 1000 * kReplyExpansionRatio + kReplyExpansionAllowance);
  EXPECT_EQ(reply_budget_bytes(~std::uint64_t{0}), ~std::uint64_t{0});
}

TEST(ReplyBudget, AllTablesPaddedRowsAndDeepValuesShareOneBudget) {
  const std::size_t n = 1u << 20;
  struct Case {
    const char* what;
    Bytes reply;
    std::uint64_t need;
    // When one byte short of `need`: the table that stays compressed, or
    // none when the decode fails.
    const char* compressed;
  };
  wire::DeepNode node("S", "", {wire::DeepNode("F", "1"), wire::DeepNode("G", "22")});
  std::vector<Case> cases;
  cases.push_back({"two compressed tables", blank_tables(2, n).build(), 2 * n, "T2"});
  cases.push_back({"short plain rows padded to a wide header",
                   ReplyBuilder()
                       .text(RecordId::TableName, "WIDE")
                       .table_header(n, 3)
                       .raw(RecordId::TableContent, Bytes(1, 'a'))
                       .raw(RecordId::TableContent, Bytes(1, 'b'))
                       .raw(RecordId::TableContent, Bytes(1, 'c'))
                       .build(),
                   3 * n, nullptr});
  // A deep value is taken once as it is read and once for its flattening.
  cases.push_back({"a deep value",
                   ReplyBuilder()
                       .raw(RecordId::DeepSection, {})
                       .raw(RecordId::DeepContent, wire::as_bytes("<S><F>1</F><G>22</G></S>"))
                       .raw(RecordId::DeepSection, {})
                       .build(),
                   2 * wire::deep_tree_cost(node), nullptr});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto fits = decode_within(c.reply, c.need);
    ASSERT_TRUE(fits) << fits.error().message();
    for (const ReplyTable& t : fits->tables) EXPECT_TRUE(reply_table_rows(t)) << t.name;
    auto short_by_one = decode_within(c.reply, c.need - 1);
    if (c.compressed == nullptr) {
      ASSERT_FALSE(short_by_one);
      EXPECT_EQ(short_by_one.error().message().rfind("the reply would make more than the ", 0), 0u)
          << short_by_one.error().message();
      continue;
    }
    ASSERT_TRUE(short_by_one) << short_by_one.error().message();
    for (const ReplyTable& t : short_by_one->tables) {
      auto rows = reply_table_rows(t);
      EXPECT_EQ(rows.ok(), t.name != c.compressed) << t.name;
      if (!rows) {
        EXPECT_EQ(rows.error().kind(), ProtocolError::CompressedTable);
      }
    }
  }
}

TEST(ReplyBudget, ARunCallReplyMayMakeWhatItsSizeAllows) {
  // Two tables of 24 MiB of blanks in some 50 KB, and a record no decoder
  // reads that brings the reply to the size whose budget is exactly what
  // the tables expand to: both expand. One byte less of the record, 256
  // bytes less of budget: the second stays compressed.
  const std::size_t n = 24u << 20;
  const std::uint64_t made = 2 * n;
  const std::uint64_t size = (made - kReplyExpansionAllowance) / kReplyExpansionRatio;
  ASSERT_EQ(reply_budget_bytes(size), made);
  auto reply_of = [&](std::uint64_t wanted) {
    const std::size_t without = blank_tables(2, n).build().size();
    const std::size_t with_one = blank_tables(2, n).raw(0x0599, Bytes(1, 0)).build().size();
    const std::size_t filler =
        static_cast<std::size_t>(wanted) - without - (with_one - without - 1);
    Bytes r = blank_tables(2, n).raw(0x0599, Bytes(filler, 0)).build();
    EXPECT_EQ(r.size(), wanted);
    return r;
  };
  for (const std::uint64_t wanted : {size, size - 1}) {
    SCOPED_TRACE(wanted);
    test::FakeSession s;
    s.reply(reply_of(wanted));
    auto r = run_call(s.connection, encode_classic_request("Z_T", {}, {}, {}).value(), nullptr);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->tables.size(), 2u);
    EXPECT_TRUE(reply_table_rows(r->tables[0]));
    EXPECT_EQ(reply_table_rows(r->tables[1]).ok(), wanted == size);
  }
}

TEST(ReplyBudget, ReadingEndsAsAWaitWouldWhenTheCallIsOver) {
  // A reply whose expansion takes several strides of work: the call's
  // deadline has passed, or it was cancelled. The reading stops at its
  // first look, fails as a wait would, and the conversation is over.
  const Bytes reply = blank_tables(1, 8u << 20).build();
  struct Case {
    const char* what;
    std::function<std::shared_ptr<Waits>()> waits;
    bool timeout;
    std::string message;
  };
  const Case cases[] = {
      {"deadline passed",
       [] { return std::make_shared<Waits>(Clock::now() - std::chrono::seconds(1)); }, true,
       "I/O error: timed out"},
      {"cancelled",
       [] {
         auto w = std::make_shared<Waits>();
         w->interrupt(Interruption::Cancelled);
         return w;
       },
       false, "I/O error: interrupted: the call was cancelled"},
      {"a signal", [] { return std::make_shared<Waits>(std::nullopt, [] { return false; }); },
       false, "I/O error: interrupted: the wait was broken off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::FakeSession s;
    s.reply(reply);
    s.connection.set_waits(c.waits());
    auto r = run_call(s.connection, encode_classic_request("Z_T", {}, {}, {}).value(), nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().is_timeout(), c.timeout);
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_FALSE(s.connection.alive());
  }
  // Without either the same reply is read whole.
  test::FakeSession s;
  s.reply(reply);
  s.connection.set_waits(std::make_shared<Waits>());
  auto r = run_call(s.connection, encode_classic_request("Z_T", {}, {}, {}).value(), nullptr);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_TRUE(s.connection.alive());
}

// ---------------------------------------------------------------- deep values

TEST(ReplyDeep, SectionsGiveValuesAndNodesInOrder) {
  auto d = decode(ReplyBuilder()
                      .raw(RecordId::DeepSection, {})
                      .raw(RecordId::DeepContent, wire::as_bytes("<S><F1>1</F1><ROW><C1>a</C1>"))
                      .raw(RecordId::DeepContent, wire::as_bytes("</ROW></S>"))
                      .raw(RecordId::DeepSection, {})
                      .raw(RecordId::DeepContent, wire::as_bytes("<ignored>"))  // closed buffer
                      .raw(RecordId::DeepSection, {})
                      .raw(RecordId::DeepContent, wire::as_bytes("<T>x &amp; y</T><U/></U/>"))
                      .raw(RecordId::DeepSection, {})
                      .raw(RecordId::DeepSection, {})  // a lone opener adds nothing
                      .raw(RecordId::DeepContent, wire::as_bytes("<L>never</L>"))
                      .build());
  ASSERT_TRUE(d.reply) << d.reply.error().message();
  const auto& values = d.reply->deep_values;
  ASSERT_EQ(values.size(), 3u);
  EXPECT_EQ(values[0].name, "S");
  EXPECT_EQ(values[0].fields, (std::vector<wire::DeepField>{{"F1", "1"}}));
  EXPECT_EQ(values[0].rows, (std::vector<std::vector<wire::DeepField>>{{{"C1", "a"}}}));
  EXPECT_EQ(values[1].name, "T");
  EXPECT_EQ(values[2].name, "U/");
  ASSERT_EQ(d.reply->deep_nodes.size(), 3u);
  EXPECT_EQ(d.reply->deep_nodes[1].text, "x & y");
}

TEST(ReplyDeep, MalformedSectionFailsTheDecode) {
  auto d = decode(ReplyBuilder()
                      .raw(RecordId::DeepSection, {})
                      .raw(RecordId::DeepContent, wire::as_bytes("<A>x</B>"))
                      .raw(RecordId::DeepSection, {})
                      .build());
  ASSERT_FALSE(d.reply);
  EXPECT_EQ(d.reply.error().kind(), ProtocolError::DeepValue);
  EXPECT_EQ(d.reply.error().message(),
            "deep value section: deep XML closed <B> while <A> was open");
}

// ---------------------------------------------------------------- sent tables

TEST(ReplySentTables, ComeBackUnchangedUnlessTheServerSendsThem) {
  const wire::TableArg sent[] = {
      wire::TableArg::text_rows("FIELDS", {"AB", "C"}, 6),
      wire::TableArg::byte_rows("RAW", {Bytes{1, 2}}, 4),
      wire::TableArg::text_rows("OPTIONS", {"x"}, 2),
  };
  auto d = decode(ReplyBuilder()
                      .table("DATA", 2, {Bytes{9, 9}})
                      .table("RAW", 4, {Bytes{7, 7, 7, 7}, Bytes{8, 8, 8, 8}})
                      .build(),
                  nullptr, sent);
  ASSERT_TRUE(d.reply);
  const auto& t = d.reply->tables;
  ASSERT_EQ(t.size(), 4u);
  EXPECT_EQ(t[0].name, "DATA");
  EXPECT_EQ(t[1].name, "RAW");
  EXPECT_EQ(t[1].rows.row_count(), 2u);  // the server's table, not the sent one
  EXPECT_EQ(t[2].name, "FIELDS");
  EXPECT_EQ(t[2].rows.bytes(), (Bytes{'A', 0, 'B', 0, ' ', 0, 'C', 0, ' ', 0, ' ', 0}));
  EXPECT_EQ(t[2].declared_width, 6u);
  EXPECT_EQ(t[2].declared_count, 2u);
  EXPECT_EQ(t[3].name, "OPTIONS");
}

// ---------------------------------------------------------------- table deltas

Bytes delta_header(std::uint32_t op, std::uint32_t handle, std::uint32_t row) {
  Bytes h;
  for (std::uint32_t v : {op, handle, row}) wire::append_be32(h, v);
  return h;
}

Bytes row_of(char c, std::size_t n = 10) { return Bytes(n, static_cast<std::uint8_t>(c)); }

// Two sent tables: T1 with rows a, b, c of 10 bytes; T2 with one row z.
struct DeltaFixture {
  wire::TableArg sent[2] = {
      wire::TableArg::byte_rows("T1", {row_of('a'), row_of('b'), row_of('c')}, 10),
      wire::TableArg::byte_rows("T2", {row_of('z', 4)}, 4),
  };
  ProtoResult<CallReply> run(ReplyBuilder b) { return decode(b.build(), nullptr, sent).reply; }
};

std::string rows_text(const ReplyTable& t) {
  std::string out;
  for (std::size_t i = 0; i < t.rows.chunk_count(); ++i) {
    const auto c = t.rows.chunk(i);
    out += c[0] ? static_cast<char>(c[0]) : '0';
    if (c[c.size() - 1] == 0) out += '_';  // padded
  }
  return out;
}

TEST(TableDeltas, OperationsChangeTheSentRows) {
  struct Case {
    const char* what;
    std::vector<std::pair<RecordId, Bytes>> records;
    std::string t1;
  };
  const Case cases[] = {
      {"append as row 4",
       {{RecordId::TableDeltaRowOp, delta_header(4, 1, 4)}, {RecordId::TableDeltaRow, row_of('d')}},
       "abcd"},
      {"insert as row 1",
       {{RecordId::TableDeltaRowOp, delta_header(6, 1, 1)}, {RecordId::TableDeltaRow, row_of('d')}},
       "dabc"},
      {"insert as row 4 appends",
       {{RecordId::TableDeltaRowOp, delta_header(6, 1, 4)}, {RecordId::TableDeltaRow, row_of('d')}},
       "abcd"},
      {"update row 2",
       {{RecordId::TableDeltaRowOp, delta_header(7, 1, 2)}, {RecordId::TableDeltaRow, row_of('x')}},
       "axc"},
      {"delete row 1, then update the new row 1",
       {{RecordId::TableDeltaDelete, delta_header(5, 1, 1)},
        {RecordId::TableDeltaRowOp, delta_header(7, 1, 1)},
        {RecordId::TableDeltaRow, row_of('y')}},
       "yc"},
      {"a row 7 bytes short is padded",
       {{RecordId::TableDeltaRowOp, delta_header(7, 1, 3)},
        {RecordId::TableDeltaRow, row_of('s', 3)}},
       "abs_"},
      {"longer header values are accepted",
       {{RecordId::TableDeltaDelete,
         [] {
           Bytes h = delta_header(5, 1, 3);
           h.push_back(9);
           return h;
         }()}},
       "ab"},
  };
  for (const auto& c : cases) {
    DeltaFixture f;
    ReplyBuilder b;
    for (const auto& [id, v] : c.records) b.raw(id, v);
    auto r = f.run(b);
    ASSERT_TRUE(r) << c.what << ": " << r.error().message();
    ASSERT_EQ(r->tables.size(), 2u) << c.what;
    EXPECT_EQ(r->tables[0].name, "T1");
    EXPECT_EQ(rows_text(r->tables[0]), c.t1) << c.what;
    EXPECT_EQ(r->tables[0].declared_count, c.t1.size() - (c.t1.find('_') != std::string::npos));
    EXPECT_EQ(r->tables[1].name, "T2");  // untouched: back unchanged
    EXPECT_EQ(rows_text(r->tables[1]), "z");
  }
}

TEST(TableDeltas, FaultsEndTheDecode) {
  struct Case {
    const char* what;
    std::vector<std::pair<RecordId, Bytes>> records;
    ProtocolError expected;
  };
  auto ur = [](const char* detail) {
    return ProtocolError::unexpected_record(kStepTableDelta, detail);
  };
  const Case cases[] = {
      {"append with row 3",
       {{RecordId::TableDeltaRowOp, delta_header(4, 1, 3)}, {RecordId::TableDeltaRow, row_of('d')}},
       ProtocolError::delta_row_count("T1", 3, 3)},
      {"update row 0",
       {{RecordId::TableDeltaRowOp, delta_header(7, 1, 0)}, {RecordId::TableDeltaRow, row_of('d')}},
       ProtocolError::delta_row_count("T1", 0, 3)},
      {"delete row 4",
       {{RecordId::TableDeltaDelete, delta_header(5, 1, 4)}},
       ProtocolError::delta_row_count("T1", 4, 3)},
      {"a row 8 bytes short",
       {{RecordId::TableDeltaRowOp, delta_header(7, 1, 1)},
        {RecordId::TableDeltaRow, row_of('d', 2)}},
       ur("a 2-byte row for T1, whose rows are 10 bytes")},
      {"a row 1 byte long",
       {{RecordId::TableDeltaRowOp, delta_header(7, 1, 1)},
        {RecordId::TableDeltaRow, row_of('d', 11)}},
       ur("a 11-byte row for T1, whose rows are 10 bytes")},
      {"handle beyond the sent tables",
       {{RecordId::TableDeltaDelete, delta_header(5, 3, 1)}},
       ur("block for input table 3, but the call sent 2")},
      {"handle 0",
       {{RecordId::TableDeltaRowOp, delta_header(4, 0, 1)}},
       ur("block for input table 0, but the call sent 2")},
      {"an 11-byte header",
       {{RecordId::TableDeltaRowOp, Bytes(11, 0)}},
       ur("11-byte block header")},
      {"two operations in a row",
       {{RecordId::TableDeltaRowOp, delta_header(4, 1, 4)},
        {RecordId::TableDeltaRowOp, delta_header(4, 1, 4)}},
       ur("a second operation before the first one's row")},
      {"an operation at the end",
       {{RecordId::TableDeltaRowOp, delta_header(4, 1, 4)}},
       ur("an operation with no row after it")},
      {"a row without operation",
       {{RecordId::TableDeltaRow, row_of('d')}},
       ur("a row with no operation in front of it")},
      {"delete code on a row operation",
       {{RecordId::TableDeltaRowOp, delta_header(5, 1, 1)}},
       ur("operation 5 on a record that carries a row")},
      {"append code on a delete",
       {{RecordId::TableDeltaDelete, delta_header(4, 1, 1)}},
       ur("operation 4 on a record that carries no row")},
      {"unknown replace code",
       {{RecordId::TableDeltaReplace, delta_header(9, 2, 0)}},
       ur("unknown replace operation 9 for T2")},
  };
  for (const auto& c : cases) {
    DeltaFixture f;
    ReplyBuilder b;
    for (const auto& [id, v] : c.records) b.raw(id, v);
    auto r = f.run(b);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error(), c.expected) << c.what << ": " << r.error().message();
  }
}

TEST(TableDeltas, ReplaceStartsATableUnderTheSentName) {
  DeltaFixture f;
  auto ok = f.run(ReplyBuilder()
                      .text(RecordId::TableName, "OTHER")
                      .raw(RecordId::TableDeltaReplace, delta_header(10, 1, 0))
                      .table_header(10, 1)
                      .raw(RecordId::TableContent, row_of('n')));
  ASSERT_TRUE(ok) << ok.error().message();
  const auto& t = ok->tables;
  ASSERT_EQ(t.size(), 3u);
  EXPECT_EQ(t[0].name, "OTHER");
  EXPECT_EQ(t[1].name, "T1");
  EXPECT_EQ(rows_text(t[1]), "n");  // the new rows; the unchanged copy is not added
  EXPECT_EQ(t[2].name, "T2");
}

TEST(TableDeltas, DeltaTablesAreAddedBesideAServerTableOfTheSameName) {
  DeltaFixture f;
  auto r = f.run(ReplyBuilder()
                     .table("T1", 10, {row_of('s')})
                     .raw(RecordId::TableDeltaDelete, delta_header(5, 1, 2)));
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->tables.size(), 3u);
  EXPECT_EQ(rows_text(r->tables[0]), "s");   // the server's
  EXPECT_EQ(rows_text(r->tables[1]), "ac");  // the delta's, appended all the same
  EXPECT_EQ(r->tables[2].name, "T2");
}

// ---------------------------------------------------------------- decimals

TEST(BcdDecimals, PackedValuesGetTheirDecimalPoint) {
  test::FakeSession s;
  s.cache->put_element_decimals("SIM", "ZAMOUNT", 2);
  s.cache->put_element_decimals("SIM", "ZCOUNT", 0);
  FunctionDescription d = description_of({});
  auto add = [&d](std::string name, std::string type_name) {
    ParameterDescription p;
    p.name = std::move(name);
    p.type = AbapType::Bcd;
    p.type_name = std::move(type_name);
    d.parameters.push_back(std::move(p));
  };
  add("AMOUNT", "ZAMOUNT");
  add("COUNT", "ZCOUNT");
  add("PLAIN", "");
  CallReply r;
  for (const char* n : {"AMOUNT", "COUNT", "PLAIN"}) {
    r.values.emplace_back(n, RfcValue::text("12345"));
    r.text_pairs.emplace_back(n, "12345");
  }
  r.values.emplace_back("amount", RfcValue::text("-5"));  // found ignoring case
  r.text_pairs.emplace_back("amount", "-5");
  ASSERT_TRUE(apply_bcd_decimals(s.connection, d, r));
  EXPECT_EQ(r.values[0].second, RfcValue::text("123.45"));
  EXPECT_EQ(r.values[1].second, RfcValue::text("12345"));
  EXPECT_EQ(r.values[2].second, RfcValue::text("12345"));
  EXPECT_EQ(r.values[3].second, RfcValue::text("-0.05"));
  EXPECT_EQ(
      r.text_pairs,
      (std::vector<TextPair>{
          {"AMOUNT", "123.45"}, {"COUNT", "12345"}, {"PLAIN", "12345"}, {"amount", "-0.05"}}));
  EXPECT_TRUE(s.state->sent.empty());
}

// ---------------------------------------------------------------- RfcTable

TEST(RfcTableRows, PushAndChunks) {
  RfcTable t;
  ASSERT_TRUE(t.push_row({}));  // ignored: no width yet
  EXPECT_EQ(t.row_count(), 0u);
  ASSERT_TRUE(t.push_row(Bytes{1, 2, 3, 4}));
  ASSERT_TRUE(t.push_row(Bytes{5}));
  auto too_wide = t.push_row(Bytes(5, 0));
  ASSERT_FALSE(too_wide);
  EXPECT_EQ(too_wide.error().message(),
            "unexpected record during table rows: a 5-byte row in a table of 4-byte rows");
  EXPECT_EQ(t.bytes(), (Bytes{1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(t.chunk_count(), 2u);

  RfcTable unit;
  unit.assign(0, 0, Bytes{1, 2, 3});
  EXPECT_EQ(unit.chunk_count(), 3u);  // width 0 counts as 1

  auto built = RfcTable::from_rows(5, std::vector<Bytes>{Bytes{1, 2, 3}});
  ASSERT_TRUE(built);
  EXPECT_EQ(built->bytes(), (Bytes{1, 2, 3, 0, 0}));
}

}  // namespace
}  // namespace quib::proto

// The replies of a registered server: the reply and exception containers
// (one written out byte for byte, the others read back record by record
// against values written out from the format), the headers and frames that
// carry them, and the records that end the conversation.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/server_frames.hpp"
#include "tests/support/testutil.hpp"
#include "wire/server_reply.hpp"

using namespace quib::wire;

namespace {

using quib::test::close_record;
using quib::test::conv;
using quib::test::expected_reply_header;
using quib::test::Rec;
using quib::test::records_of;
using quib::test::reply_head;
using quib::test::U;
using quib::test::unhex;

// ---------------------------------------------------------------- containers

TEST(ReplyContainer, ExceptionKeyContainerByteForByte) {
  auto out = build_exception_container("ZPROG", ExceptionReply::exception_key("FU_NOT_FOUND"));
  ASSERT_TRUE(out.ok()) << out.error().message();
  // Each record: id, 2-byte length, value, id; no EBCDIC header; the end
  // record FF FF 00 00 FF FF.
  const Bytes expected = unhex(
      "0101 0008 0301010504010003 0101"
      "0103 0004 00000E0B 0103"
      "0106 000B 04010003000A0200000023 0106"
      "0007 0012 310032003700 2E00 3000 2E00 3000 2E00 3100 0007"  // 127.0.0.1
      "0018 0006 3A003A003100 0018"                                // ::1
      "0011 0002 4500 0011"                                        // E
      "0012 0006 370035003300 0012"                                // 753
      "0013 001A 370039003300 2000 310032003700 2E00 3000 2E00 3000 2E00 3100 0013"
      "0130 000A 5A00500052004F004700 0130"                                  // ZPROG
      "0401 0018 46005500 5F00 4E004F005400 5F00 46004F0055004E004400 0401"  // FU_NOT_FOUND
      "0667 0008 0000000000000000 0667"
      "FFFF 0000 FFFF");
  EXPECT_EQ(out.value(), expected);
}

TEST(ReplyContainer, ExportsByKindAndRequest) {
  InboundCall call;
  const std::vector<ExportValue> exports = {
      {"E_TEXT", RfcValue::text("h\xC3\xA9")},
      {"E_MIN", RfcValue::integer(-2147483648LL)},
      {"E_MAX", RfcValue::integer(2147483647LL)},
      {"E_FLOAT", RfcValue::floating(1.5)},
      {"E_RAW", RfcValue::bytes(unhex("00FF10"))},
      {"E_UNDECODED", RfcValue::undecoded(AbapType::Float, unhex("0102"))},
  };
  auto all = build_reply_container("ZPROG", call, exports);
  ASSERT_TRUE(all.ok()) << all.error().message();
  std::vector<Rec> expected = reply_head();
  const std::vector<Rec> values = {
      {0x0201, U("E_TEXT")},      {0x0203, unhex("6800E900")},
      {0x0201, U("E_MIN")},       {0x0203, unhex("00000080")},
      {0x0201, U("E_MAX")},       {0x0203, unhex("FFFFFF7F")},
      {0x0201, U("E_FLOAT")},     {0x0203, unhex("000000000000F83F")},
      {0x0201, U("E_RAW")},       {0x0203, unhex("00FF10")},
      {0x0201, U("E_UNDECODED")}, {0x0203, unhex("0102")},
  };
  expected.insert(expected.end(), values.begin(), values.end());
  expected.push_back(close_record());
  EXPECT_EQ(records_of(all.value()), expected);
}

TEST(ReplyContainer, OnlyRequestedOutputsInTheGivenOrder) {
  const std::vector<ExportValue> exports = {
      {"A", RfcValue::text("a")},
      {"B", RfcValue::text("b")},
      {"C", RfcValue::text("c")},
      // Not requested, so never encoded: its range does not matter.
      {"WIDE", RfcValue::integer(1LL << 40)},
  };
  struct Case {
    std::vector<std::string> requested;
    std::vector<Bytes> sent;  // the names sent, UTF-16LE
  };
  const Case cases[] = {
      {{"C", "A"}, {U("A"), U("C")}},  // the exports' order, not the request's
      {{"b"}, {}},                     // names match byte for byte
      {{"B", "NOPE"}, {U("B")}},
  };
  for (const auto& c : cases) {
    InboundCall call;
    call.requested_outputs = c.requested;
    auto out = build_reply_container("ZPROG", call, exports);
    ASSERT_TRUE(out.ok()) << out.error().message();
    std::vector<Bytes> sent;
    for (const auto& r : records_of(out.value()))
      if (r.id == 0x0201) sent.push_back(r.value);
    EXPECT_EQ(sent, c.sent);
  }
}

TEST(ReplyContainer, IntBeyondInt4FailsTheReply) {
  InboundCall call;
  for (std::int64_t v : {2147483648LL, -2147483649LL}) {
    const std::vector<ExportValue> exports = {{"E_OK", RfcValue::integer(1)},
                                              {"E_INT", RfcValue::integer(v)}};
    auto out = build_reply_container("ZPROG", call, exports);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().kind, ServerRecordError::ExportTooWide);
    EXPECT_EQ(out.error().step, ServerStep::Reply);
    EXPECT_EQ(out.error().message(),
              "export E_INT is " + std::to_string(v) +
                  ": an integer export whose field is not described goes as an ABAP Int4, which "
                  "it does not fit");
  }
}

TEST(ReplyContainer, ExceptionReplies) {
  // Only the first four variables travel; an empty error message closes.
  auto message = build_exception_container(
      "ZPROG", ExceptionReply::abap_message("RURAD", "000", "E", {"v1", "v2", "v3", "v4", "v5"}));
  ASSERT_TRUE(message.ok());
  std::vector<Rec> expected = reply_head();
  const std::vector<Rec> tail = {{0x0415, U("RURAD")}, {0x0416, U("E")},  {0x0417, U("000")},
                                 {0x0411, U("v1")},    {0x0412, U("v2")}, {0x0413, U("v3")},
                                 {0x0414, U("v4")},    {0x0402, {}},      close_record()};
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(records_of(message.value()), expected);

  // Fewer variables: only those present, then the error message.
  auto one = build_exception_container("ZPROG",
                                       ExceptionReply::abap_message("RURAD", "000", "E", {"only"}));
  ASSERT_TRUE(one.ok());
  std::vector<std::uint16_t> ids;
  for (const auto& r : records_of(one.value())) ids.push_back(r.id);
  EXPECT_EQ(std::vector<std::uint16_t>(ids.begin() + 9, ids.end()),
            (std::vector<std::uint16_t>{0x0415, 0x0416, 0x0417, 0x0411, 0x0402, 0x0667}));
}

// ---------------------------------------------------------------- frames

TEST(ReplyFrames, ContainerIsCutIntoPiecesOf28000) {
  struct Case {
    std::size_t size;
    std::vector<std::uint32_t> pieces;
  };
  const Case cases[] = {
      {60000, {28000, 28000, 4000}},
      {28000, {28000}},
      {28001, {28000, 1}},
      {12, {12}},
  };
  for (const auto& c : cases) {
    const Bytes container = quib::test::pattern(c.size, 3);
    for (ReplyKind kind : {ReplyKind::Normal, ReplyKind::Exception}) {
      const auto frames = container_frames(kind, conv("12345678"), container);
      ASSERT_EQ(frames.size(), c.pieces.size()) << c.size;
      Bytes joined;
      for (std::size_t i = 0; i < frames.size(); ++i) {
        ASSERT_EQ(frames[i].size(), 80u + c.pieces[i]);
        EXPECT_EQ(Bytes(frames[i].begin(), frames[i].begin() + 80),
                  expected_reply_header("12345678", c.pieces[i], kind == ReplyKind::Exception))
            << c.size << " piece " << i;
        joined.insert(joined.end(), frames[i].begin() + 80, frames[i].end());
      }
      EXPECT_EQ(joined, container);
    }
  }
}

TEST(ReplyFrames, EndOfConversationRecords) {
  const auto records = end_of_conversation_records(conv("ABCDEFGH"));
  ASSERT_EQ(records.size(), 3u);
  // 06 0B 07 00 FF FF, the conversation id, FF FF 00 09 at 76..79.
  Bytes first(80, 0);
  const Bytes lead = unhex("060B0700FFFF0000");
  std::copy(lead.begin(), lead.end(), first.begin());
  std::copy_n(std::string_view("ABCDEFGH").begin(), 8, first.begin() + 40);
  first[76] = 0xFF;
  first[77] = 0xFF;
  first[79] = 0x09;
  EXPECT_EQ(records[0], first);
  // The end record of the conversation (0xD2) and the server's 0xD1.
  Bytes second(80, 0), third(80, 0);
  for (Bytes* b : {&second, &third}) {
    const Bytes head = unhex("06000700FFFF");
    std::copy(head.begin(), head.end(), b->begin());
    (*b)[30] = 0x01;
    store_be32(b->data() + 48, 80);
  }
  second[1] = 0xD2;
  std::copy_n(std::string_view("ABCDEFGH").begin(), 8, second.begin() + 40);
  const Bytes tail2 = unhex("FFFF0004");
  std::copy(tail2.begin(), tail2.end(), second.begin() + 76);
  third[1] = 0xD1;
  std::copy_n(std::string_view("H0000001").begin(), 8, third.begin() + 40);
  const Bytes tail3 = unhex("FFFFFFFF");
  std::copy(tail3.begin(), tail3.end(), third.begin() + 76);
  EXPECT_EQ(records[1], second);
  EXPECT_EQ(records[2], third);
}

}  // namespace

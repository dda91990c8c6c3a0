// Inbound calls of a registered server: the reassembly of a call from the
// records a gateway sends (written out from the format, with ignored bytes
// filled in), and the decoding of a call's container records.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/server_frames.hpp"
#include "tests/support/testutil.hpp"
#include "wire/container.hpp"
#include "wire/inbound_call.hpp"

using namespace quib::wire;

namespace {

using quib::test::announcement;
using quib::test::call_container;
using quib::test::conv;
using quib::test::inbound_record;
using quib::test::unhex;

// Builds a container from (id, value) pairs with the container writer, reads
// it back with the reader and decodes the records, the way a server does.
struct InboundFixture {
  ContainerWriter w;
  InboundFixture& add(RecordId id, std::string_view value) {
    w.put_record(id, as_bytes(value));
    return *this;
  }
  InboundFixture& add(RecordId id, const Bytes& value) {
    w.put_record(id, value);
    return *this;
  }
  InboundCall decode() && {
    auto bytes = std::move(w).finish_container();
    EXPECT_TRUE(bytes.ok());
    container = std::move(bytes).value();
    auto reader = ContainerReader::create(container);
    EXPECT_TRUE(reader.ok());
    auto records = reader.value().read_all_records();
    EXPECT_TRUE(records.ok());
    return decode_inbound_call(records.value());
  }
  Bytes container;
};

}  // namespace

// ---------------------------------------------------------------- reassembly

TEST(InboundAssembler, ReassemblesContinuations) {
  const Bytes container = call_container();
  InboundAssembler a;
  EXPECT_EQ(a.next_step(), ServerStep::Announcement);
  ASSERT_TRUE(a.push(announcement("12345678")).ok());
  EXPECT_EQ(a.conversation_id(), conv("12345678"));
  EXPECT_EQ(a.next_step(), ServerStep::Request);
  // Three records; the first declares fewer bytes than it carries (the
  // rest is ignored), the last carries the mark.
  const ByteView c(container);
  Bytes first = inbound_record(0x03, "12345678", c.first(10), false);
  first.push_back(0xEE);
  ASSERT_TRUE(a.push(first).ok());
  EXPECT_EQ(a.next_step(), ServerStep::Continuation);
  ASSERT_TRUE(a.push(inbound_record(0x09, "12345678", c.subspan(10, 30), false)).ok());
  EXPECT_FALSE(a.complete());
  ASSERT_TRUE(a.push(inbound_record(0x09, "12345678", c.subspan(40), true)).ok());
  ASSERT_TRUE(a.complete());
  EXPECT_EQ(a.payload(), container);
  auto call = a.decode();
  ASSERT_TRUE(call.ok()) << call.error().message();
  EXPECT_EQ(call.value().function, "STFC_CONNECTION");
  EXPECT_EQ(call.value().user, "TESTER");
  EXPECT_EQ(call.value().system_id, "QSI");
  EXPECT_EQ(call.value().program, "SAPLSIM");
  ASSERT_EQ(call.value().parameters.size(), 1u);
  EXPECT_EQ(call.value().parameters[0].first, "REQUTEXT");
  EXPECT_EQ(call.value().parameters[0].second, to_bytes("hello"));
  EXPECT_EQ(call.value().requested_outputs, std::vector<std::string>{"ECHOTEXT"});
}

TEST(InboundAssembler, AnyNonZeroMarkByteEndsTheRequest) {
  for (std::size_t at = 60; at < 64; ++at) {
    Bytes r = inbound_record(0x03, "12345678", call_container(), false);
    r[at] = 0x80;
    InboundAssembler a;
    ASSERT_TRUE(a.push(announcement("12345678")).ok());
    ASSERT_TRUE(a.push(r).ok());
    EXPECT_TRUE(a.complete()) << at;
  }
  // The bytes around the mark do not end it.
  Bytes r = inbound_record(0x03, "12345678", call_container(), false);
  r[59] = 0x01;  // part of the payload length: the request declares 256 more bytes
  r.resize(r.size() + 256, 0);
  r[64] = 0x01;
  InboundAssembler a;
  ASSERT_TRUE(a.push(announcement("12345678")).ok());
  ASSERT_TRUE(a.push(r).ok());
  EXPECT_FALSE(a.complete());
}

TEST(InboundAssembler, MalformedRecords) {
  const Bytes body = call_container();
  Bytes short_announcement = announcement("12345678");
  short_announcement.pop_back();
  const Bytes complete = inbound_record(0x03, "12345678", body);
  struct Case {
    const char* name;
    std::vector<Bytes> frames;  // pushed in order; the last one fails
    ServerRecordError::Kind kind;
    ServerStep step;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"short announcement",
       {short_announcement},
       ServerRecordError::ShortRecord,
       ServerStep::Announcement,
       "a 79-byte record"},
      {"request as announcement",
       {complete},
       ServerRecordError::WrongRequest,
       ServerStep::Announcement,
       "function 0x03"},
      {"data record as request",
       {announcement("12345678"), inbound_record(0xCB, "12345678", body)},
       ServerRecordError::WrongRequest,
       ServerStep::Request,
       "function 0xcb"},
      {"one-byte request",
       {announcement("12345678"), Bytes{0x06}},
       ServerRecordError::WrongRequest,
       ServerStep::Request,
       "function 0x00"},
      {"short request",
       {announcement("12345678"), Bytes{0x06, 0x03, 0x00}},
       ServerRecordError::ShortRecord,
       ServerStep::Request,
       "a 3-byte record"},
      {"other conversation",
       {announcement("12345678"), inbound_record(0x03, "1234567X", body)},
       ServerRecordError::OtherConversation,
       ServerStep::Request,
       "conversation 1234567X, but the announcement opened 12345678"},
      {"declared beyond present",
       {announcement("12345678"), inbound_record(0x03, "12345678", unhex("0102"), true, 100)},
       ServerRecordError::ShortPayload,
       ServerStep::Request,
       "a record declaring 100 payload bytes with 2 present"},
      {"request where a continuation is due",
       {announcement("12345678"), inbound_record(0x03, "12345678", ByteView(body).first(7), false),
        inbound_record(0x03, "12345678", ByteView(body).subspan(7))},
       ServerRecordError::ContinuationDue,
       ServerStep::Continuation,
       "function 0x03 where a continuation was due; 7 bytes reassembled so far"},
      {"continuation of another conversation",
       {announcement("12345678"), inbound_record(0x03, "12345678", ByteView(body).first(7), false),
        inbound_record(0x09, "99999999", ByteView(body).subspan(7))},
       ServerRecordError::OtherConversation,
       ServerStep::Continuation,
       "conversation 99999999, but the announcement opened 12345678"},
      {"short continuation",
       {announcement("12345678"), inbound_record(0x03, "12345678", ByteView(body).first(7), false),
        Bytes{0x06, 0x09}},
       ServerRecordError::ShortRecord,
       ServerStep::Continuation,
       "a 2-byte record"},
      {"a record after the last one",
       {announcement("12345678"), complete, inbound_record(0x09, "12345678", body)},
       ServerRecordError::RecordAfterLast,
       ServerStep::Continuation,
       "a record after the last one"},
  };
  for (const auto& c : cases) {
    InboundAssembler a;
    for (std::size_t i = 0; i + 1 < c.frames.size(); ++i)
      ASSERT_TRUE(a.push(c.frames[i]).ok()) << c.name;
    auto last = a.push(c.frames.back());
    ASSERT_FALSE(last.ok()) << c.name;
    EXPECT_EQ(last.error().kind, c.kind) << c.name;
    EXPECT_EQ(last.error().step, c.step) << c.name;
    EXPECT_EQ(last.error().message(), c.message) << c.name;
  }
}

TEST(InboundAssembler, RequestLimitBoundsTheReassembly) {
  InboundAssembler a(64);
  ASSERT_TRUE(a.push(announcement("12345678")).ok());
  ASSERT_TRUE(a.push(inbound_record(0x03, "12345678", Bytes(40, 1), false)).ok());
  // Exactly up to the limit.
  ASSERT_TRUE(a.push(inbound_record(0x09, "12345678", Bytes(24, 2), false)).ok());
  auto over = a.push(inbound_record(0x09, "12345678", Bytes(1, 3), true));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().kind, ServerRecordError::RequestTooLarge);
  EXPECT_EQ(over.error().step, ServerStep::Continuation);
  EXPECT_EQ(over.error().message(), "a request of more than 64 bytes; 64 bytes reassembled so far");
  EXPECT_EQ(a.payload().size(), 64u);
}

TEST(InboundAssembler, UnreadableContainerIsContainerError) {
  InboundAssembler a;
  ASSERT_TRUE(a.push(announcement("12345678")).ok());
  // A record that declares 3 bytes and ends before its closing id.
  ASSERT_TRUE(a.push(inbound_record(0x03, "12345678", unhex("01020003414243"))).ok());
  auto call = a.decode();
  ASSERT_FALSE(call.ok());
  EXPECT_EQ(call.error().kind, ServerRecordError::Container);
  EXPECT_EQ(call.error().container.kind, ContainerErrorKind::Truncated);
  EXPECT_EQ(call.error().message(), call.error().container.message());
}

TEST(InboundAnnouncement, AWholeHeaderWithTheAnnouncementByte) {
  Bytes other = announcement("12345678");
  other[1] = 0xCB;
  Bytes cut = announcement("12345678");
  cut.pop_back();
  const std::vector<std::pair<Bytes, bool>> cases = {
      {announcement("12345678"), true},
      {cut, false},
      {other, false},
      {inbound_record(0xCF, "12345678", unhex("0102")), true},
  };
  for (const auto& [record, is] : cases)
    EXPECT_EQ(is_inbound_announcement(record), is) << record.size() << " " << int(record[1]);
}

// ---------------------------------------------------------------- decoding

TEST(InboundCall, RequestPayloadIsReadUpToEnd) {
  // Records written out: id, length, value, id; then the end record.
  const Bytes records = unhex(
      "0102 000F 53544643 5F434F4E4E454354494F4E 0102"  // Function
      "0201 0004 4E414D45 0201"                         // ParameterName NAME
      "0203 0002 0102 0203");                           // ParameterValue
  Bytes payload = records;
  append_bytes(payload, unhex("FFFF 0000 FFFF"));
  // Bytes after the end record are not looked at.
  append_bytes(payload, unhex("0102 0001 58"));
  auto call = decode_inbound_request(payload);
  ASSERT_TRUE(call.ok()) << call.error().message();
  InboundCall expected;
  expected.function = "STFC_CONNECTION";
  expected.parameters = {{"NAME", unhex("0102")}};
  EXPECT_EQ(call.value(), expected);

  // Without the end record the request does not read.
  auto cut = decode_inbound_request(records);
  ASSERT_FALSE(cut.ok());
  EXPECT_EQ(cut.error().kind, ServerRecordError::Container);
  EXPECT_EQ(cut.error().container.kind, ContainerErrorKind::MissingEnd);
}

TEST(InboundCall, DecodesAFullRequest) {
  Bytes header = unhex("00 00 00 10 00 00 00 02");
  InboundCall call = std::move(InboundFixture()
                                   .add(RecordId{0x0502}, "")
                                   .add(RecordId::Function, "  Z_TEST_FUNC  ")
                                   .add(RecordId::Destination, "DEST")
                                   .add(RecordId::User, "ALICE\n")
                                   .add(RecordId::Client, "001")
                                   .add(kInboundSystemId, "NPL")
                                   .add(kInboundCallerHost, "abap-host")
                                   .add(RecordId::Program, "SAPMSSY1")
                                   .add(RecordId::RequestedOutput, "EXPORT1")
                                   .add(RecordId::ParameterName, "IMPORT1")
                                   .add(RecordId::ParameterValue, unhex("41 00 20 00"))
                                   .add(RecordId::TableName, "TAB")
                                   .add(RecordId::TableHeader, header)
                                   .add(RecordId::TableContent, unhex("01 02"))
                                   .add(RecordId::TableContent, Bytes{})
                                   .add(RecordId::RequestedOutput, "EXPORT2")
                                   .add(RecordId{0x0667}, unhex("00 00")))
                         .decode();
  InboundCall expected;
  expected.function = "Z_TEST_FUNC";
  expected.destination = "DEST";
  expected.user = "ALICE";
  expected.client = "001";
  expected.system_id = "NPL";
  expected.caller_host = "abap-host";
  expected.program = "SAPMSSY1";
  // Parameter values are raw bytes, never trimmed or decoded.
  expected.parameters = {{"IMPORT1", unhex("41 00 20 00")}};
  expected.tables = {InboundTable{"TAB", {unhex("01 02"), Bytes{}}, 16, false}};
  expected.requested_outputs = {"EXPORT1", "EXPORT2"};
  EXPECT_EQ(call, expected);
}

TEST(InboundCall, RecordOrderRules) {
  // The last scalar record wins, except Program, whose first non-empty value
  // stays.
  InboundCall a = std::move(InboundFixture()
                                .add(RecordId::Program, "")
                                .add(RecordId::Program, "   ")
                                .add(RecordId::Program, "P1")
                                .add(RecordId::Program, "P2")
                                .add(RecordId::Function, "F1")
                                .add(RecordId::Function, "F2")
                                .add(RecordId::User, "U1")
                                .add(RecordId::User, ""))
                      .decode();
  EXPECT_EQ(a.program, "P1");
  EXPECT_EQ(a.function, "F2");
  EXPECT_EQ(a.user, "");

  // A name without a value is replaced by the next name; a value without a
  // name is dropped; a name left pending at the end is dropped.
  InboundCall b = std::move(InboundFixture()
                                .add(RecordId::ParameterValue, "orphan")
                                .add(RecordId::ParameterName, "FIRST")
                                .add(RecordId::ParameterName, "SECOND")
                                .add(RecordId::ParameterValue, "v2")
                                .add(RecordId::ParameterValue, "v3")
                                .add(RecordId::ParameterName, "THIRD")
                                .add(RecordId::ParameterValue, "")
                                .add(RecordId::ParameterName, "PENDING"))
                      .decode();
  const std::vector<std::pair<std::string, Bytes>> params = {{"SECOND", to_bytes("v2")},
                                                             {"THIRD", Bytes{}}};
  EXPECT_EQ(b.parameters, params);

  // Table records apply to the last table; before any table they are dropped.
  InboundCall c = std::move(InboundFixture()
                                .add(RecordId::TableContent, "early")
                                .add(RecordId::TableHeader, unhex("00 00 00 08"))
                                .add(RecordId::TableName, "T1")
                                .add(RecordId::TableContent, "r1")
                                .add(RecordId::TableName, "T2")
                                .add(RecordId::TableHeader, unhex("00 01"))
                                .add(RecordId::TableContent, "r2")
                                .add(RecordId::TableContent, "r3"))
                      .decode();
  const std::vector<InboundTable> tables = {
      InboundTable{"T1", {to_bytes("r1")}, 0, false},
      InboundTable{"T2", {to_bytes("r2"), to_bytes("r3")}, 0, true},
  };
  EXPECT_EQ(c.tables, tables);

  // A header of exactly 4 bytes sets the width; bytes after them are not read;
  // a later short header marks the table but keeps the width.
  InboundCall d = std::move(InboundFixture()
                                .add(RecordId::TableName, "T")
                                .add(RecordId::TableHeader, unhex("00 01 00 00"))
                                .add(RecordId::TableHeader, unhex("12 34 56 78 FF FF FF FF"))
                                .add(RecordId::TableHeader, unhex("99")))
                      .decode();
  ASSERT_EQ(d.tables.size(), 1u);
  EXPECT_EQ(d.tables[0].row_width, 0x12345678u);
  EXPECT_TRUE(d.tables[0].short_header);
}

TEST(InboundCall, FourHeaderBytesGiveTheWidth) {
  // A table's only header: the width needs its 4 bytes, the row count is
  // never needed.
  struct Case {
    const char* header;
    std::uint32_t width;
    bool short_header;
  };
  const Case cases[] = {
      {"", 0, true},
      {"00 00 01", 0, true},
      {"00 00 01 02", 0x0102, false},
      {"00 00 01 02 00 00 00", 0x0102, false},
      {"00 00 01 02 00 00 00 05", 0x0102, false},
  };
  for (const Case& c : cases) {
    InboundCall call = std::move(InboundFixture()
                                     .add(RecordId::TableName, "T")
                                     .add(RecordId::TableHeader, unhex(c.header)))
                           .decode();
    ASSERT_EQ(call.tables.size(), 1u) << c.header;
    EXPECT_EQ(call.tables[0], (InboundTable{"T", {}, c.width, c.short_header})) << c.header;
  }
}

TEST(InboundCall, TextsAreLossyUtf8AndTrimmed) {
  InboundCall call = std::move(InboundFixture()
                                   .add(RecordId::Function, Bytes{'F', 0xFF, 'N'})
                                   .add(RecordId::User, "\xC3\xA9l\xC3\xA8ve ")
                                   .add(RecordId::ParameterName, "\tNAME ")
                                   .add(RecordId::ParameterValue, "  raw  ")
                                   .add(RecordId::TableName, " TAB\n"))
                         .decode();
  EXPECT_EQ(call.function, "F\xEF\xBF\xBDN");
  EXPECT_EQ(call.user, "\xC3\xA9l\xC3\xA8ve");
  ASSERT_EQ(call.parameters.size(), 1u);
  EXPECT_EQ(call.parameters[0].first, "NAME");
  EXPECT_EQ(call.parameters[0].second, to_bytes("  raw  "));
  ASSERT_EQ(call.tables.size(), 1u);
  EXPECT_EQ(call.tables[0].name, "TAB");
}

TEST(InboundCall, RecordsOfOtherMessagesAreIgnored) {
  InboundCall call = std::move(InboundFixture()
                                   .add(RecordId::Password, "secret")
                                   .add(RecordId::Language, "E")
                                   .add(RecordId::AbapExceptionKey, "KEY")
                                   .add(RecordId::TableCompressed, "zz")
                                   .add(RecordId{0x0004}, "x"))
                         .decode();
  EXPECT_EQ(call, InboundCall{});
}

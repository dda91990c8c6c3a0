// The registered-server session against a scripted gateway: the gateway
// port, the reply containers and the frames that carry them, the
// reassembly of inbound calls, the verdict on the registration answer, and
// the exchanges themselves over loopback sockets.
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "proto/server/registered_server.hpp"
#include "support/ni_test_peer.hpp"
#include "wire/container.hpp"
#include "wire/dump.hpp"
#include "wire/utf.hpp"

namespace quib::proto {
namespace {

using test::read_frame;
using test::write_frame;
using wire::Bytes;
using wire::ByteView;
using wire::RecordId;
using namespace std::chrono_literals;

Bytes hex(std::string_view h) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

Bytes utf16(std::string_view s) { return wire::encode_utf16le(s); }

wire::ConversationId conv(std::string_view text) {
  wire::ConversationId id{};
  std::copy_n(text.begin(), id.size(), id.begin());
  return id;
}

// An inbound record as a gateway sends it: the request byte, the
// conversation id, the payload length at 56..59, the last-record mark at
// 60..63 (four zeros: more records follow).
Bytes inbound_record(std::uint8_t request, std::string_view conversation, ByteView payload,
                     bool last = true, std::optional<std::uint32_t> declared = std::nullopt) {
  Bytes r(80, 0);
  r[0] = 0x06;
  r[1] = request;
  for (std::size_t i = 0; i < 80; ++i)
    if (i >= 2 && i < 40) r[i] = static_cast<std::uint8_t>(0x5A ^ i);  // bytes a reader ignores
  std::copy_n(conversation.begin(), 8, r.begin() + 40);
  wire::store_be32(r.data() + 56, declared.value_or(static_cast<std::uint32_t>(payload.size())));
  if (last) r[63] = 0x01;
  wire::append_bytes(r, payload);
  return r;
}

Bytes announcement(std::string_view conversation) {
  return inbound_record(0xCF, conversation, {}, false);
}

// The container of an inbound call.
Bytes call_container() {
  wire::ContainerWriter w;
  w.put_record(RecordId::Function, wire::as_bytes("STFC_CONNECTION"));
  w.put_record(RecordId::User, wire::as_bytes("TESTER"));
  w.put_record(RecordId::Client, wire::as_bytes("001"));
  w.put_record(wire::kInboundSystemId, wire::as_bytes("QSI"));
  w.put_record(RecordId::Program, wire::as_bytes("SAPLSIM"));
  w.put_record(RecordId::RequestedOutput, wire::as_bytes("ECHOTEXT"));
  w.put_record(RecordId::ParameterName, wire::as_bytes("REQUTEXT"));
  w.put_record(RecordId::ParameterValue, wire::as_bytes("hello"));
  return std::move(w).finish_container().value();
}

std::vector<wire::Record> records_of(ByteView container) {
  auto reader = wire::ContainerReader::create(container);
  EXPECT_TRUE(reader.ok());
  auto records = reader.value().read_all_records();
  EXPECT_TRUE(records.ok());
  return records.ok() ? records.value() : std::vector<wire::Record>{};
}

struct Rec {
  std::uint16_t id;
  Bytes value;
  friend bool operator==(const Rec&, const Rec&) = default;
};

std::vector<Rec> flat(const std::vector<wire::Record>& records) {
  std::vector<Rec> out;
  for (const auto& r : records)
    out.push_back({wire::to_u16(r.id), Bytes(r.value.begin(), r.value.end())});
  return out;
}

// The header records every reply starts with, for program ZPROG.
std::vector<Rec> reply_head() {
  return {{0x0101, hex("0301010504010003")},
          {0x0103, hex("00000E0B")},
          {0x0106, hex("04010003000A0200000023")},
          {0x0007, utf16("127.0.0.1")},
          {0x0018, utf16("::1")},
          {0x0011, utf16("E")},
          {0x0012, utf16("753")},
          {0x0013, utf16("793 127.0.0.1")},
          {0x0130, utf16("ZPROG")}};
}

const Rec kCloseRecord{0x0667, Bytes(8, 0)};

// ---------------------------------------------------------------- gateway port

TEST(GatewayPortTest, ServiceTexts) {
  const std::pair<const char*, std::uint16_t> cases[] = {
      {"sapgw00", 3300}, {"sapgw99", 3399}, {"sapgw+7", 3307}, {"sapgw65535", 3299},
      {"sapgwab", 3300}, {"sapgw", 3300},   {"sapgw-1", 3300}, {"3300", 3300},
      {"40123", 40123},  {"65535", 65535},  {"65536", 3300},   {"+3301", 3301},
      {"", 3300},        {"abc", 3300},     {"33 00", 3300},   {"SAPGW01", 3300},
  };
  for (const auto& [text, port] : cases) EXPECT_EQ(gateway_port(text), port) << text;
}

TEST(ServerParamsTest, Defaults) {
  const ServerParams p = ServerParams::defaults();
  EXPECT_EQ(p.gwhost, "localhost");
  EXPECT_EQ(p.gwserv, "3300");
  EXPECT_EQ(p.program_id, "");
  EXPECT_EQ(p.local_host, "localhost");
  EXPECT_EQ(p.connect_timeout, 30s);
  EXPECT_EQ(p.read_timeout, 60s);
  EXPECT_EQ(p.registration_wait, 2s);
}

// ---------------------------------------------------------------- reply containers

TEST(ReplyContainerTest, ExportsByKindAndRequest) {
  wire::InboundCall call;
  const std::vector<ExportValue> exports = {
      {"E_TEXT", wire::RfcValue::text("h\xC3\xA9")},
      {"E_MIN", wire::RfcValue::integer(-2147483648LL)},
      {"E_FLOAT", wire::RfcValue::floating(1.5)},
      {"E_RAW", wire::RfcValue::bytes(hex("00FF10"))},
      {"E_UNDECODED", wire::RfcValue::undecoded(wire::AbapType::Float, hex("0102"))},
  };
  auto all = build_reply_container("ZPROG", call, exports);
  ASSERT_TRUE(all.ok()) << all.error().message();
  std::vector<Rec> expected = reply_head();
  const std::vector<Rec> values = {
      {0x0201, utf16("E_TEXT")}, {0x0203, hex("6800E900")},  {0x0201, utf16("E_MIN")},
      {0x0203, hex("00000080")}, {0x0201, utf16("E_FLOAT")}, {0x0203, hex("000000000000F83F")},
      {0x0201, utf16("E_RAW")},  {0x0203, hex("00FF10")},    {0x0201, utf16("E_UNDECODED")},
      {0x0203, hex("0102")},
  };
  expected.insert(expected.end(), values.begin(), values.end());
  expected.push_back(kCloseRecord);
  EXPECT_EQ(flat(records_of(all.value())), expected);
}

TEST(ReplyContainerTest, OnlyRequestedOutputsInTheGivenOrder) {
  const std::vector<ExportValue> exports = {
      {"A", wire::RfcValue::text("a")},
      {"B", wire::RfcValue::text("b")},
      {"C", wire::RfcValue::text("c")},
      // Not requested, so never encoded: its range does not matter.
      {"WIDE", wire::RfcValue::integer(1LL << 40)},
  };
  struct Case {
    std::vector<std::string> requested;
    std::vector<std::string> sent;
  };
  const Case cases[] = {
      {{"C", "A"}, {"A", "C"}},  // the exports' order, not the request's
      {{"b"}, {}},               // names match byte for byte
      {{"B", "NOPE"}, {"B"}},
  };
  for (const auto& c : cases) {
    wire::InboundCall call;
    call.requested_outputs = c.requested;
    auto out = build_reply_container("ZPROG", call, exports);
    ASSERT_TRUE(out.ok()) << out.error().message();
    std::vector<std::string> sent;
    for (const auto& r : flat(records_of(out.value())))
      if (r.id == 0x0201) sent.push_back(wire::decode_utf16le(r.value));
    EXPECT_EQ(sent, c.sent);
  }
}

TEST(ReplyContainerTest, IntBeyondInt4FailsTheReply) {
  wire::InboundCall call;
  for (std::int64_t v : {2147483648LL, -2147483649LL}) {
    const std::vector<ExportValue> exports = {{"E_INT", wire::RfcValue::integer(v)}};
    auto out = build_reply_container("ZPROG", call, exports);
    ASSERT_FALSE(out.ok());
    EXPECT_EQ(out.error().message(),
              "unexpected record during server reply: export E_INT is " + std::to_string(v) +
                  ", which does not fit ABAP's INT4; pass RfcValue::Bytes for a wider field");
  }
}

TEST(ReplyContainerTest, ExceptionReplies) {
  auto key = build_exception_container("ZPROG", ExceptionReply::exception_key("FU_NOT_FOUND"));
  ASSERT_TRUE(key.ok());
  std::vector<Rec> expected = reply_head();
  expected.push_back({0x0401, utf16("FU_NOT_FOUND")});
  expected.push_back(kCloseRecord);
  EXPECT_EQ(flat(records_of(key.value())), expected);

  // Only the first four variables travel; an empty error message closes.
  auto message = build_exception_container(
      "ZPROG", ExceptionReply::abap_message("RURAD", "000", "E", {"v1", "v2", "v3", "v4", "v5"}));
  ASSERT_TRUE(message.ok());
  expected = reply_head();
  const std::vector<Rec> tail = {
      {0x0415, utf16("RURAD")}, {0x0416, utf16("E")},  {0x0417, utf16("000")},
      {0x0411, utf16("v1")},    {0x0412, utf16("v2")}, {0x0413, utf16("v3")},
      {0x0414, utf16("v4")},    {0x0402, {}},          kCloseRecord};
  expected.insert(expected.end(), tail.begin(), tail.end());
  EXPECT_EQ(flat(records_of(message.value())), expected);

  auto one = build_exception_container("ZPROG",
                                       ExceptionReply::abap_message("RURAD", "000", "E", {"only"}));
  ASSERT_TRUE(one.ok());
  std::vector<std::uint16_t> ids;
  for (const auto& r : flat(records_of(one.value()))) ids.push_back(r.id);
  EXPECT_EQ(std::vector<std::uint16_t>(ids.begin() + 9, ids.end()),
            (std::vector<std::uint16_t>{0x0415, 0x0416, 0x0417, 0x0411, 0x0402, 0x0667}));
}

// ---------------------------------------------------------------- reply frames

Bytes expected_reply_header(std::string_view conversation, std::uint32_t length, bool exception) {
  Bytes h(80, 0);
  const Bytes lead = hex("06080700FFFF0000");
  std::copy(lead.begin(), lead.end(), h.begin());
  std::copy_n(conversation.begin(), 8, h.begin() + 40);
  wire::store_be32(h.data() + 48, length);
  h[76] = 0xFF;
  h[77] = 0xFF;
  h[79] = exception ? 0x05 : 0x09;
  return h;
}

TEST(ReplyFramesTest, ContainerIsCutIntoPiecesOf28000) {
  Bytes container(60000);
  for (std::size_t i = 0; i < container.size(); ++i)
    container[i] = static_cast<std::uint8_t>(i * 7);
  for (ReplyKind kind : {ReplyKind::Normal, ReplyKind::Exception}) {
    const auto frames = container_frames(kind, conv("12345678"), container);
    ASSERT_EQ(frames.size(), 3u);
    const std::uint32_t sizes[] = {28000, 28000, 4000};
    Bytes joined;
    for (std::size_t i = 0; i < 3; ++i) {
      ASSERT_EQ(frames[i].size(), 80u + sizes[i]);
      EXPECT_EQ(Bytes(frames[i].begin(), frames[i].begin() + 80),
                expected_reply_header("12345678", sizes[i], kind == ReplyKind::Exception));
      joined.insert(joined.end(), frames[i].begin() + 80, frames[i].end());
    }
    EXPECT_EQ(joined, container);
  }
}

TEST(ReplyFramesTest, EndOfConversationRecords) {
  const auto records = end_of_conversation_records(conv("ABCDEFGH"));
  ASSERT_EQ(records.size(), 3u);
  Bytes first(80, 0);
  const Bytes lead = hex("060B0700FFFF0000");
  std::copy(lead.begin(), lead.end(), first.begin());
  std::copy_n(std::string_view("ABCDEFGH").begin(), 8, first.begin() + 40);
  first[76] = 0xFF;
  first[77] = 0xFF;
  first[79] = 0x09;
  EXPECT_EQ(records[0], first);
  // The end record of the conversation (0xD2) and the server's 0xD1.
  Bytes second(80, 0), third(80, 0);
  for (Bytes* b : {&second, &third}) {
    const Bytes head = hex("06000700FFFF");
    std::copy(head.begin(), head.end(), b->begin());
    (*b)[30] = 0x01;
    wire::store_be32(b->data() + 48, 80);
  }
  second[1] = 0xD2;
  std::copy_n(std::string_view("ABCDEFGH").begin(), 8, second.begin() + 40);
  const Bytes tail2 = hex("FFFF0004");
  std::copy(tail2.begin(), tail2.end(), second.begin() + 76);
  third[1] = 0xD1;
  std::copy_n(std::string_view("H0000001").begin(), 8, third.begin() + 40);
  const Bytes tail3 = hex("FFFFFFFF");
  std::copy(tail3.begin(), tail3.end(), third.begin() + 76);
  EXPECT_EQ(records[1], second);
  EXPECT_EQ(records[2], third);
}

// ---------------------------------------------------------------- inbound reassembly

TEST(InboundAssemblerTest, ReassemblesContinuations) {
  const Bytes container = call_container();
  InboundAssembler a;
  EXPECT_EQ(a.next_label(), "inbound call announcement");
  ASSERT_TRUE(a.push(announcement("12345678")).ok());
  EXPECT_EQ(a.conversation_id(), conv("12345678"));
  EXPECT_EQ(a.next_label(), "inbound request");
  // Three records; the first declares fewer bytes than it carries (the
  // rest is ignored), the last carries the mark.
  const ByteView c(container);
  Bytes first = inbound_record(0x03, "12345678", c.first(10), false);
  first.push_back(0xEE);
  ASSERT_TRUE(a.push(first).ok());
  EXPECT_EQ(a.next_label(), "inbound request continuation");
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
  EXPECT_EQ(call.value().parameters[0].second, wire::to_bytes("hello"));
  EXPECT_EQ(call.value().requested_outputs, std::vector<std::string>{"ECHOTEXT"});
}

TEST(InboundAssemblerTest, AnyNonZeroMarkByteEndsTheRequest) {
  for (std::size_t at = 60; at < 64; ++at) {
    Bytes r = inbound_record(0x03, "12345678", call_container(), false);
    r[at] = 0x80;
    InboundAssembler a;
    ASSERT_TRUE(a.push(announcement("12345678")).ok());
    ASSERT_TRUE(a.push(r).ok());
    EXPECT_TRUE(a.complete()) << at;
  }
}

TEST(InboundAssemblerTest, MalformedRecords) {
  const Bytes body = call_container();
  Bytes short_announcement = announcement("12345678");
  short_announcement.pop_back();
  struct Case {
    const char* name;
    std::vector<Bytes> frames;  // pushed in order; the last one fails
    std::string message;
  };
  const std::vector<Case> cases = {
      {"short announcement",
       {short_announcement},
       "unexpected record during inbound call announcement: a 79-byte record"},
      {"request as announcement",
       {inbound_record(0x03, "12345678", body)},
       "unexpected record during inbound call announcement: function 0x03"},
      {"data record as request",
       {announcement("12345678"), inbound_record(0xCB, "12345678", body)},
       "unexpected record during inbound request: function 0xcb"},
      {"one-byte request",
       {announcement("12345678"), Bytes{0x06}},
       "unexpected record during inbound request: function 0x00"},
      {"short request",
       {announcement("12345678"), Bytes{0x06, 0x03, 0x00}},
       "unexpected record during inbound request: a 3-byte record"},
      {"other conversation",
       {announcement("12345678"), inbound_record(0x03, "1234567X", body)},
       "unexpected record during inbound request: conversation 1234567X, but the announcement "
       "opened 12345678"},
      {"declared beyond present",
       {announcement("12345678"), inbound_record(0x03, "12345678", hex("0102"), true, 100)},
       "unexpected record during inbound request: a record declaring 100 payload bytes with 2 "
       "present"},
      {"request where a continuation is due",
       {announcement("12345678"), inbound_record(0x03, "12345678", ByteView(body).first(7), false),
        inbound_record(0x03, "12345678", ByteView(body).subspan(7))},
       "unexpected record during inbound request continuation: function 0x03 where a "
       "continuation was due; 7 bytes reassembled so far"},
      {"continuation of another conversation",
       {announcement("12345678"), inbound_record(0x03, "12345678", ByteView(body).first(7), false),
        inbound_record(0x09, "99999999", ByteView(body).subspan(7))},
       "unexpected record during inbound request continuation: conversation 99999999, but the "
       "announcement opened 12345678"},
  };
  for (const auto& c : cases) {
    InboundAssembler a;
    for (std::size_t i = 0; i + 1 < c.frames.size(); ++i)
      ASSERT_TRUE(a.push(c.frames[i]).ok()) << c.name;
    auto last = a.push(c.frames.back());
    ASSERT_FALSE(last.ok()) << c.name;
    EXPECT_EQ(last.error().message(), c.message) << c.name;
  }
}

TEST(InboundAssemblerTest, RequestLimitBoundsTheReassembly) {
  InboundAssembler a(64);
  ASSERT_TRUE(a.push(announcement("12345678")).ok());
  ASSERT_TRUE(a.push(inbound_record(0x03, "12345678", Bytes(40, 1), false)).ok());
  ASSERT_TRUE(a.push(inbound_record(0x09, "12345678", Bytes(24, 2), false)).ok());
  auto over = a.push(inbound_record(0x09, "12345678", Bytes(1, 3), true));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error().message(),
            "unexpected record during inbound request continuation: a request of more than 64 "
            "bytes; 64 bytes reassembled so far");
  EXPECT_EQ(a.payload().size(), 64u);
}

TEST(InboundAssemblerTest, UnreadableContainerIsContainerError) {
  InboundAssembler a;
  ASSERT_TRUE(a.push(announcement("12345678")).ok());
  ASSERT_TRUE(a.push(inbound_record(0x03, "12345678", hex("01020003414243"))).ok());
  auto call = a.decode();
  ASSERT_FALSE(call.ok());
  EXPECT_TRUE(call.error().is(ProtocolError::Container));
}

// ---------------------------------------------------------------- registration answer

TEST(RegistrationAnswerTest, Verdicts) {
  const Bytes header = test::cpic_record(0xD1, "H0000001");
  auto with = [&](ByteView tail) {
    Bytes f = header;
    wire::append_bytes(f, tail);
    return f;
  };
  // Accepted without a pending call.
  for (const Bytes& frame : {header, with(Bytes(32, 0)), Bytes(40, 0x41), Bytes{}}) {
    auto v = judge_registration_answer("ZPROG", frame);
    ASSERT_TRUE(v.ok()) << v.error().message();
    EXPECT_FALSE(v.value().has_value());
  }
  // A call announcement as the answer is kept.
  const Bytes ann = announcement("87654321");
  auto pending = judge_registration_answer("ZPROG", ann);
  ASSERT_TRUE(pending.ok());
  ASSERT_TRUE(pending.value().has_value());
  EXPECT_EQ(*pending.value(), ann);
  // An "*ERR*" block behind the header is a refusal.
  Bytes err_tail =
      wire::to_bytes(std::string_view("xx*ERR*\0"
                                      "1\0"
                                      "not allowed \0",
                                      23));
  auto refused = judge_registration_answer("ZPROG", with(err_tail));
  ASSERT_FALSE(refused.ok());
  ASSERT_TRUE(refused.error().is(ProtocolError::RegistrationRefused));
  EXPECT_EQ(refused.error().message(),
            "the gateway refused program ID ZPROG: not allowed (usually a missing reginfo entry)");
  // Anything else is named, readable and in hex.
  auto other = judge_registration_answer("ZPROG", with(wire::as_bytes("HELLO\x01")));
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error().message(),
            "unexpected record during gateway registration: a 6-byte answer that is neither an "
            "acceptance nor a refusal: HELLO. / " +
                wire::hex_dump(wire::as_bytes("HELLO\x01"), 0, 6));
}

// ---------------------------------------------------------------- exchanges

// The gateway's side of a registration: it records the three frames the
// server sends, writes `answer` (nothing: silence), then reads until the
// server closes.
struct ScriptedGateway {
  std::vector<Bytes> answer;
  bool close_after_record = false;

  Bytes record, info, control;
  std::vector<Bytes> after;
  bool eof = false;

  void serve(const test::Listener& listener) {
    Socket s = listener.accept();
    auto r = read_frame(s);
    if (!r) return;
    record = *r;
    if (close_after_record) return;
    write_frame(s, hex("020B"));
    if (auto i = read_frame(s)) info = *i;
    if (auto c = read_frame(s)) control = *c;
    for (const Bytes& a : answer) write_frame(s, a);
    while (auto f = read_frame(s)) after.push_back(*f);
    eof = true;
  }
};

ServerParams params_for(const test::Listener& l) {
  ServerParams p = ServerParams::defaults();
  p.gwhost = "127.0.0.1";
  p.gwserv = std::to_string(l.port());
  p.program_id = "ZPROG";
  p.read_timeout = 10s;
  p.registration_wait = 10s;
  return p;
}

Bytes detach_record() {
  const wire::AppcHeader h = wire::AppcHeader::make(0xD0);
  return Bytes(h.bytes.begin(), h.bytes.end());
}

TEST(RegistrationTest, AcceptedRegistrationSendsItsRecordsAndDetachesOnce) {
  test::Listener listener;
  ScriptedGateway gw;
  gw.answer = {test::cpic_record(0xD1, "H0000001")};
  std::thread peer([&] { gw.serve(listener); });
  {
    auto server = register_at_gateway(params_for(listener));
    ASSERT_TRUE(server.ok()) << server.error().message();
    EXPECT_FALSE(server.value().has_pending_announcement());
    server.value().detach();  // the drop sends nothing more
  }
  peer.join();
  ASSERT_EQ(gw.record.size(), 64u);
  EXPECT_EQ(Bytes(gw.record.begin(), gw.record.begin() + 6), hex("020B7F000001"));
  EXPECT_EQ(Bytes(gw.record.begin() + 10, gw.record.begin() + 20),
            wire::to_bytes(std::string_view("ZPROG\0    ", 10)));
  EXPECT_EQ(Bytes(gw.record.begin() + 30, gw.record.begin() + 46),
            wire::to_bytes("localhosZPROG   "));
  ASSERT_EQ(gw.info.size(), 512u);
  EXPECT_EQ(Bytes(gw.info.begin(), gw.info.begin() + 10),
            wire::to_bytes(std::string_view("localhost\0", 10)));
  EXPECT_EQ(Bytes(gw.info.begin() + 128, gw.info.begin() + 134),
            wire::to_bytes(std::string_view("ZPROG\0", 6)));
  const wire::AppcHeader d1 = wire::AppcHeader::make(0xD1);
  EXPECT_EQ(gw.control, Bytes(d1.bytes.begin(), d1.bytes.end()));
  EXPECT_TRUE(gw.eof);
  EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()});
}

TEST(RegistrationTest, SilenceWithinTheWaitIsAcceptance) {
  test::Listener listener;
  ScriptedGateway gw;  // answers nothing
  std::thread peer([&] { gw.serve(listener); });
  ServerParams p = params_for(listener);
  p.registration_wait = 200ms;
  {
    auto server = register_at_gateway(p);
    ASSERT_TRUE(server.ok()) << server.error().message();
  }
  peer.join();
  EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()});
}

TEST(RegistrationTest, FailuresDetachTheHalfBuiltServer) {
  Bytes refusal = test::cpic_record(0xD1, "H0000001");
  wire::append_bytes(refusal, std::string_view("*ERR*\0"
                                               "1\0"
                                               "tp ZPROG not allowed\0",
                                               29));
  Bytes garbage = test::cpic_record(0xD1, "H0000001");
  wire::append_bytes(garbage, std::string_view("junk"));
  struct Case {
    const char* name;
    Bytes answer;
    ProtocolError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {"refusal", refusal, ProtocolError::RegistrationRefused,
       "the gateway refused program ID ZPROG: tp ZPROG not allowed (usually a missing reginfo "
       "entry)"},
      {"garbage", garbage, ProtocolError::UnexpectedRecord,
       "unexpected record during gateway registration: a 4-byte answer that is neither an "
       "acceptance nor a refusal: junk / " +
           wire::hex_dump(wire::as_bytes("junk"), 0, 4)},
  };
  for (const auto& c : cases) {
    test::Listener listener;
    ScriptedGateway gw;
    gw.answer = {c.answer};
    std::thread peer([&] { gw.serve(listener); });
    auto server = register_at_gateway(params_for(listener));
    peer.join();
    ASSERT_FALSE(server.ok()) << c.name;
    EXPECT_EQ(server.error().kind(), c.kind) << c.name;
    EXPECT_EQ(server.error().message(), c.message) << c.name;
    EXPECT_TRUE(gw.eof) << c.name;
    EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()}) << c.name;
  }
}

TEST(RegistrationTest, GatewayClosingDuringTheHandshake) {
  test::Listener listener;
  ScriptedGateway gw;
  gw.close_after_record = true;
  std::thread peer([&] { gw.serve(listener); });
  auto server = register_at_gateway(params_for(listener));
  peer.join();
  ASSERT_FALSE(server.ok());
  EXPECT_EQ(server.error().message(), "connection closed by peer during registration handshake");
}

TEST(RegistrationTest, EmptyProgramIdIsRefusedBeforeConnecting) {
  test::Listener listener;
  ServerParams p = params_for(listener);
  p.program_id.clear();
  listener.close();  // a connect attempt would fail with an I/O error
  auto server = register_at_gateway(p);
  ASSERT_FALSE(server.ok());
  EXPECT_EQ(server.error().message(),
            "unexpected record during gateway registration: an empty program ID");
}

TEST(RegistrationTest, AnnouncementAsTheAnswerIsServedFirst) {
  test::Listener listener;
  ScriptedGateway gw;
  gw.answer = {announcement("87654321"), inbound_record(0x03, "87654321", call_container())};
  std::thread peer([&] { gw.serve(listener); });
  {
    auto server = register_at_gateway(params_for(listener));
    ASSERT_TRUE(server.ok()) << server.error().message();
    EXPECT_TRUE(server.value().has_pending_announcement());
    auto call = server.value().receive_call();
    ASSERT_TRUE(call.ok()) << call.error().message();
    EXPECT_EQ(call.value().function, "STFC_CONNECTION");
    EXPECT_EQ(server.value().conversation_id(), conv("87654321"));
    EXPECT_FALSE(server.value().has_pending_announcement());
  }
  peer.join();
}

// A registered server over a socket pair, the test playing the gateway.
struct Pair {
  std::optional<RegisteredServer> server;
  Socket gateway;

  Pair() {
    auto [mine, theirs] = test::socket_pair();
    server.emplace(std::move(mine), "ZPROG");
    gateway = std::move(theirs);
    (void)server->set_read_timeout(10s);
  }

  void send_call(std::string_view conversation, ByteView container, std::size_t piece) {
    write_frame(gateway, announcement(conversation));
    for (std::size_t at = 0; at < container.size(); at += piece) {
      const std::size_t n = std::min(piece, container.size() - at);
      write_frame(gateway, inbound_record(at == 0 ? 0x03 : 0x09, conversation,
                                          container.subspan(at, n), at + n == container.size()));
    }
  }

  // The reply pieces and the three end records; the pieces' payloads joined.
  std::vector<Bytes> read_reply(std::size_t frames) {
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < frames; ++i) {
      auto f = read_frame(gateway);
      if (!f) break;
      out.push_back(*f);
    }
    return out;
  }
};

TEST(ServeTest, ReceiveAndReply) {
  Pair p;
  const Bytes container = call_container();
  p.send_call("55555555", container, 16);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok()) << call.error().message();
  EXPECT_EQ(p.server->conversation_id(), conv("55555555"));

  const std::vector<ExportValue> exports = {{"ECHOTEXT", wire::RfcValue::text("hello")},
                                            {"RESPTEXT", wire::RfcValue::text("not requested")}};
  ASSERT_TRUE(p.server->send_reply_exports_only(call.value(), exports).ok());
  const auto frames = p.read_reply(4);
  ASSERT_EQ(frames.size(), 4u);
  const std::size_t length = frames[0].size() - 80;
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 80),
            expected_reply_header("55555555", static_cast<std::uint32_t>(length), false));
  std::vector<Rec> expected = reply_head();
  expected.push_back({0x0201, utf16("ECHOTEXT")});
  expected.push_back({0x0203, utf16("hello")});
  expected.push_back(kCloseRecord);
  EXPECT_EQ(flat(records_of(ByteView(frames[0]).subspan(80))), expected);
  EXPECT_EQ(std::vector<Bytes>(frames.begin() + 1, frames.end()),
            end_of_conversation_records(conv("55555555")));

  // A second call on the same registration, answered with an exception.
  p.send_call("66666666", container, container.size());
  auto second = p.server->receive_call();
  ASSERT_TRUE(second.ok()) << second.error().message();
  ASSERT_TRUE(p.server->send_exception_reply(ExceptionReply::exception_key("FU_NOT_FOUND")).ok());
  const auto frames2 = p.read_reply(4);
  ASSERT_EQ(frames2.size(), 4u);
  EXPECT_EQ(frames2[0][79], 0x05);
  EXPECT_EQ(Bytes(frames2[0].begin() + 40, frames2[0].begin() + 48), wire::to_bytes("66666666"));
  EXPECT_EQ(std::vector<Bytes>(frames2.begin() + 1, frames2.end()),
            end_of_conversation_records(conv("66666666")));
}

TEST(ServeTest, LargeReplyGoesInPieces) {
  Pair p;
  p.send_call("55555555", call_container(), 1000);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok());
  call.value().requested_outputs.clear();
  const std::vector<ExportValue> exports = {{"E_DATA", wire::RfcValue::bytes(Bytes(59000, 0xAB))}};
  std::thread sender(
      [&] { EXPECT_TRUE(p.server->send_reply_exports_only(call.value(), exports).ok()); });
  const auto frames = p.read_reply(6);
  sender.join();
  ASSERT_EQ(frames.size(), 6u);
  Bytes joined;
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i][1], 0x08);
    sizes.push_back(frames[i].size() - 80);
    joined.insert(joined.end(), frames[i].begin() + 80, frames[i].end());
  }
  EXPECT_EQ(sizes[0], 28000u);
  EXPECT_EQ(sizes[1], 28000u);
  const auto records = flat(records_of(joined));
  ASSERT_GE(records.size(), 11u);
  EXPECT_EQ(records[10].value, Bytes(59000, 0xAB));
  EXPECT_EQ(frames[3][1], 0x0B);
  EXPECT_EQ(frames[4][1], 0xD2);
  EXPECT_EQ(frames[5][1], 0xD1);
}

TEST(ServeTest, FailedReplyLeavesTheServerRegistered) {
  Pair p;
  p.send_call("55555555", call_container(), 64);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok());
  call.value().requested_outputs.clear();
  const std::vector<ExportValue> wide = {{"E_INT", wire::RfcValue::integer(1LL << 31)}};
  auto failed = p.server->send_reply_exports_only(call.value(), wide);
  ASSERT_FALSE(failed.ok());
  EXPECT_TRUE(failed.error().is(ProtocolError::UnexpectedRecord));
  // Nothing went out for the failed reply: the next frame is the next reply's.
  const std::vector<ExportValue> fine = {{"E_INT", wire::RfcValue::integer(-7)}};
  ASSERT_TRUE(p.server->send_reply_exports_only(call.value(), fine).ok());
  const auto frames = p.read_reply(1);
  ASSERT_EQ(frames.size(), 1u);
  const auto records = flat(records_of(ByteView(frames[0]).subspan(80)));
  ASSERT_GE(records.size(), 11u);
  EXPECT_EQ(records[10].value, hex("F9FFFFFF"));
}

TEST(ServeTest, TimeOutsAndALostAnnouncement) {
  Pair p;
  (void)p.server->set_read_timeout(100ms);
  auto nothing = p.server->receive_call();
  ASSERT_FALSE(nothing.ok());
  EXPECT_TRUE(nothing.error().is_timeout()) << nothing.error().message();

  // An announcement without its request: the wait times out and the
  // announcement is gone; the next call is served on its own terms.
  write_frame(p.gateway, announcement("11111111"));
  auto lost = p.server->receive_call();
  ASSERT_FALSE(lost.ok());
  EXPECT_TRUE(lost.error().is_timeout());
  (void)p.server->set_read_timeout(10s);
  p.send_call("22222222", call_container(), 1000);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok()) << call.error().message();
  EXPECT_EQ(p.server->conversation_id(), conv("22222222"));
}

TEST(ServeTest, GatewayClosing) {
  struct Case {
    bool send_announcement;
    const char* message;
  };
  const Case cases[] = {
      {false, "connection closed by peer during inbound call announcement"},
      {true, "connection closed by peer during inbound request"},
  };
  for (const auto& c : cases) {
    Pair p;
    if (c.send_announcement) write_frame(p.gateway, announcement("11111111"));
    p.gateway.close();
    auto call = p.server->receive_call();
    ASSERT_FALSE(call.ok());
    EXPECT_TRUE(call.error().is(ProtocolError::ClosedByPeer));
    EXPECT_EQ(call.error().message(), c.message);
  }
}

TEST(ServeTest, HostileFrameLengthIsRefusedUnread) {
  Pair p;
  test::write_all(p.gateway, hex("10000001"));  // one byte over the 256 MiB limit
  auto call = p.server->receive_call();
  ASSERT_FALSE(call.ok());
  EXPECT_TRUE(call.error().is(ProtocolError::Ni)) << call.error().message();
}

TEST(ServeTest, DropDetachesExactlyOnce) {
  Pair p;
  p.server.reset();
  auto first = read_frame(p.gateway);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, detach_record());
  EXPECT_FALSE(read_frame(p.gateway).has_value());  // then the socket is closed

  // Moving a server moves its registration: one detach, from the new owner.
  Pair q;
  RegisteredServer moved = std::move(*q.server);
  q.server.reset();
  moved.detach();
  moved.detach();
  auto only = read_frame(q.gateway);
  ASSERT_TRUE(only.has_value());
  EXPECT_EQ(*only, detach_record());
  { RegisteredServer gone = std::move(moved); }
  EXPECT_FALSE(read_frame(q.gateway).has_value());
}

// ---------------------------------------------------------------- waits

// The frames of one call, as the gateway writes them: the announcement and
// one request record holding the whole container.
Bytes call_bytes(std::string_view conversation) {
  Bytes out;
  for (const Bytes& f :
       {announcement(conversation), inbound_record(0x03, conversation, call_container())}) {
    wire::append_be32(out, static_cast<std::uint32_t>(f.size()));
    wire::append_bytes(out, f);
  }
  return out;
}

std::shared_ptr<Waits> interruptible(std::optional<TimePoint> deadline = std::nullopt) {
  auto w = Waits::interruptible(deadline);
  EXPECT_TRUE(w.ok());
  return w.ok() ? std::move(w).value() : std::make_shared<Waits>();
}

// A wait broken off from another thread, or ended by its deadline while
// bytes keep coming, loses nothing: the next receive_call takes the call up
// where the last one left it.
TEST(ServeWaitsTest, AWaitEndedPartWayKeepsWhatHasArrived) {
  const Bytes bytes = call_bytes("55555555");
  const std::size_t half = 84 + 50;  // the announcement and part of the request

  // Interrupted from another thread.
  {
    Pair p;
    test::write_all(p.gateway, ByteView(bytes).first(half));
    auto waits = interruptible();
    p.server->set_waits(waits);
    std::thread other([&] {
      std::this_thread::sleep_for(50ms);
      waits->interrupt(Interruption::Closed);
    });
    auto broken = p.server->receive_call();
    other.join();
    ASSERT_FALSE(broken.ok());
    EXPECT_TRUE(broken.error().get<IoError>() && broken.error().get<IoError>()->is_interrupted())
        << broken.error().message();
    EXPECT_TRUE(p.server->has_partial_call());
    EXPECT_FALSE(p.server->ended());
    p.server->set_waits(nullptr);
    test::write_all(p.gateway, ByteView(bytes).subspan(half));
    auto call = p.server->receive_call();
    ASSERT_TRUE(call.ok()) << call.error().message();
    EXPECT_EQ(call.value().function, "STFC_CONNECTION");
    EXPECT_EQ(p.server->conversation_id(), conv("55555555"));
  }

  // A deadline against a gateway that sends a byte every few milliseconds:
  // each byte would restart a per-read limit, but not the deadline.
  {
    Pair p;
    std::thread trickle([&] {
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        test::write_all(p.gateway, ByteView(bytes).subspan(i, 1));
        std::this_thread::sleep_for(2ms);
      }
    });
    p.server->set_waits(interruptible(Clock::now() + 100ms));
    auto cut = p.server->receive_call();
    ASSERT_FALSE(cut.ok());
    EXPECT_TRUE(cut.error().is_timeout()) << cut.error().message();
    EXPECT_TRUE(p.server->has_partial_call());
    p.server->set_waits(nullptr);
    auto call = p.server->receive_call();
    trickle.join();
    ASSERT_TRUE(call.ok()) << call.error().message();
    EXPECT_EQ(call.value().parameters.size(), 1u);
    EXPECT_FALSE(p.server->has_partial_call());
  }
}

TEST(ServeWaitsTest, BackToBackAnnouncementsAreAFaultOfTheGateway) {
  // A second announcement where the request is due replaces the call only
  // after a pause (TimeOutsAndALostAnnouncement); back to back it is a
  // fault of the gateway.
  Pair p;
  write_frame(p.gateway, announcement("11111111"));
  write_frame(p.gateway, announcement("22222222"));
  auto call = p.server->receive_call();
  ASSERT_FALSE(call.ok());
  EXPECT_EQ(call.error().message(), "unexpected record during inbound request: function 0xcf");
  EXPECT_FALSE(p.server->ended());
}

// Which failures end the registration: after them nothing more goes over
// the connection, not even the detach record.
TEST(ServeWaitsTest, FailuresThatEndTheRegistration) {
  struct Case {
    const char* name;
    void (*gateway)(Pair&);
    ProtocolError::Kind kind;
    bool ends;
  };
  const Case cases[] = {
      {"closed while idle", [](Pair& p) { (void)p.gateway.shutdown_both(); },
       ProtocolError::ClosedByPeer, true},
      {"closed mid-request",
       [](Pair& p) {
         test::write_all(p.gateway, ByteView(call_bytes("55555555")).first(100));
         (void)p.gateway.shutdown_both();
       },
       ProtocolError::ClosedByPeer, true},
      {"hostile length", [](Pair& p) { test::write_all(p.gateway, hex("FFFFFFFF")); },
       ProtocolError::Ni, true},
      {"a frame of junk",
       [](Pair& p) { write_frame(p.gateway, wire::as_bytes("GARBAGE-GARBAGE-")); },
       ProtocolError::UnexpectedRecord, false},
  };
  for (const auto& c : cases) {
    Pair p;
    c.gateway(p);
    auto call = p.server->receive_call();
    ASSERT_FALSE(call.ok()) << c.name;
    EXPECT_EQ(call.error().kind(), c.kind) << c.name << ": " << call.error().message();
    EXPECT_EQ(p.server->ended(), c.ends) << c.name;
    p.server.reset();
    if (c.kind == ProtocolError::ClosedByPeer) continue;  // the gateway reads nothing more
    auto after = read_frame(p.gateway);
    EXPECT_EQ(after.has_value(), !c.ends) << c.name;  // the detach record, or the close
    if (after) {
      EXPECT_EQ(*after, detach_record()) << c.name;
    }
  }
}

TEST(ServeWaitsTest, ASendThatFailsEndsTheRegistrationOneRefusedBeforeItsStartDoesNot) {
  const ExceptionReply reply = ExceptionReply::exception_key("FU_NOT_FOUND");
  {
    // Waits already interrupted: nothing is written, the stream is whole,
    // and the drop still detaches (with waits of its own).
    Pair p;
    auto waits = interruptible();
    waits->interrupt(Interruption::Closed);
    p.server->set_waits(waits);
    auto sent = p.server->send_exception_reply(reply);
    ASSERT_FALSE(sent.ok());
    EXPECT_FALSE(p.server->ended());
    p.server.reset();
    EXPECT_EQ(read_frame(p.gateway), std::optional<Bytes>(detach_record()));
  }
  {
    Pair p;
    ASSERT_EQ(::shutdown(p.server->socket().fd(), SHUT_WR), 0);
    auto sent = p.server->send_exception_reply(reply);
    ASSERT_FALSE(sent.ok());
    EXPECT_TRUE(sent.error().is(ProtocolError::Io)) << sent.error().message();
    EXPECT_TRUE(p.server->ended());
    auto next = p.server->receive_call();
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(next.error().message(), "I/O error: the registration has ended");
  }
}

TEST(ServeWaitsTest, RegistrationBrokenOffDetaches) {
  // Ctrl-C while the gateway is silent about the registration: the wait
  // ends at once (not after the registration wait), and the half-built
  // registration is detached.
  test::Listener listener;
  ScriptedGateway gw;  // answers nothing
  std::thread peer([&] { gw.serve(listener); });
  auto waits = interruptible();
  std::thread other([&] {
    std::this_thread::sleep_for(100ms);
    waits->interrupt(Interruption::Aborted);
  });
  auto server = register_at_gateway(params_for(listener), waits);  // a wait of 10 s
  other.join();
  peer.join();
  ASSERT_FALSE(server.ok());
  const IoError* io = server.error().get<IoError>();
  ASSERT_TRUE(io != nullptr) << server.error().message();
  EXPECT_TRUE(io->is_interrupted());
  EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()});
}

}  // namespace
}  // namespace quib::proto

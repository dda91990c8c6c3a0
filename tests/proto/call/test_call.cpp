// The call exchange over a scripted transport: reassembly, the record kinds
// that end a call, dead conversations, the throughput counters, the route
// choice and the stale-description recovery. The same paths run against the
// simulated ABAP system in test_call_e2e.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "proto/invoke/invoke.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/descriptions.hpp"
#include "wire/basxml.hpp"
#include "wire/deflate.hpp"

namespace quib::proto {
namespace {

using test::FakeSession;
using test::interface_reply;
using test::params_row;
using test::ReplyBuilder;
using test::utf16;
using wire::AbapType;
using wire::Bytes;
using wire::RecordId;
using wire::RfcValue;
using C = ThroughputCounters::Counter;

Bytes request_for(std::string_view fn) { return encode_classic_request(fn, {}, {}, {}).value(); }

Bytes err_block(std::string_view message, std::string_view origin) {
  std::string s = "*ERR*";
  s += '\0';
  s += "x";
  s += '\0';
  s += message;
  s += '\0';
  s += origin;
  s += '\0';
  return wire::to_bytes(s);
}

FunctionDescriptionPtr cache_description(FakeSession& s, FunctionDescription d) {
  auto p = std::make_shared<const FunctionDescription>(std::move(d));
  s.cache->put_function_description("SIM", p->name, p);
  return p;
}

TEST(Exchange, ReassemblesARecordSplitReplyAndCountsItOnce) {
  FakeSession s;
  auto counters = ThroughputCounters::create();
  s.connection.set_throughput(counters);
  const Bytes reply = ReplyBuilder().text_value("ECHOTEXT", "hello").text_value("N", "2").build();
  const std::size_t a = 5, b = reply.size() - 9;  // cuts inside records
  s.reply(Bytes(reply.begin(), reply.begin() + a));
  s.reply(Bytes(reply.begin() + a, reply.begin() + b));
  s.reply(Bytes(reply.begin() + b, reply.end()));
  const Bytes request = request_for("STFC_CONNECTION");
  auto r = run_call(s.connection, request, nullptr);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->text_pairs, (std::vector<TextPair>{{"ECHOTEXT", "hello"}, {"N", "2"}}));
  EXPECT_EQ(s.state->sent, std::vector<Bytes>{request});
  EXPECT_EQ(s.state->receives, 3);
  EXPECT_EQ(counters->get(C::numberOfCalls), 1u);
  EXPECT_EQ(counters->get(C::sentBytes), request.size());
  EXPECT_EQ(counters->get(C::receivedBytes), reply.size());
  EXPECT_EQ(counters->get(C::applicationTime), 0u);
  EXPECT_EQ(counters->get(C::serializationTime), 0u);  // run_call does not encode
  EXPECT_TRUE(s.connection.alive());
  EXPECT_EQ(s.connection.calls_in_flight().load(), 0u);
}

TEST(Exchange, GatewayErrorBlockOnlyAtTheStartOfAReply) {
  {
    FakeSession s;
    s.reply(err_block(" connection refused ", "gw"));
    auto r = run_call(s.connection, request_for("F"), nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ProtocolError::gateway("connection refused", "gw"));
    EXPECT_FALSE(s.connection.alive());
  }
  {
    // A continuation record that happens to begin with "*ERR*" is reply data.
    FakeSession s;
    const Bytes block = err_block("not an error", "");
    const Bytes reply = ReplyBuilder().value("RAW", block).build();
    const std::size_t cut = reply.size() - block.size() - 2 - 6;  // the value's first byte
    ASSERT_EQ(Bytes(reply.begin() + cut, reply.begin() + cut + 5), wire::to_bytes("*ERR*"));
    s.reply(Bytes(reply.begin(), reply.begin() + cut));
    s.reply(Bytes(reply.begin() + cut, reply.end()));
    auto r = run_call(s.connection, request_for("F"), nullptr);
    ASSERT_TRUE(r) << r.error().message();
    ASSERT_EQ(r->values.size(), 1u);
    EXPECT_TRUE(s.connection.alive());
  }
}

TEST(Exchange, FailuresMidwayEndTheConversation) {
  struct Case {
    const char* what;
    std::function<void(FakeSession&)> script;
    ProtocolError expected;
  };
  const Bytes good = ReplyBuilder().text_value("A", "1").build();
  const Case cases[] = {
      {"cancel confirmed", [](FakeSession& s) { s.reply({}, ReceiveKind::CancelRecord); },
       ProtocolError::cancelled()},
      {"control record", [](FakeSession& s) { s.reply({}, ReceiveKind::ControlRecord); },
       ProtocolError::unexpected_record(kStepFunctionCall, "non-data control record")},
      {"empty data record", [](FakeSession& s) { s.reply({}); },
       ProtocolError::empty_reply(kStepFunctionCall)},
      {"peer closes during the wait",
       [&good](FakeSession& s) { s.reply(Bytes(good.begin(), good.begin() + 10)); },
       ProtocolError::closed_by_peer(kStepFunctionCall)},
      {"socket time-out",
       [](FakeSession& s) { s.fail(ProtocolError(IoError::custom(IoError::TimedOut, ""))); },
       ProtocolError(IoError::custom(IoError::TimedOut, ""))},
      {"gateway error block", [](FakeSession& s) { s.reply(err_block("gone", "")); },
       ProtocolError::gateway("gone", "gone")},  // the origin is the last field
  };
  for (const auto& c : cases) {
    FakeSession s;
    c.script(s);
    auto r = run_call(s.connection, request_for("F"), nullptr);
    ASSERT_FALSE(r) << c.what;
    EXPECT_EQ(r.error(), c.expected) << c.what << ": " << r.error().message();
    EXPECT_FALSE(s.connection.alive()) << c.what;
    // The next call is refused before anything is sent: a late reply must
    // never be read as its answer.
    s.reply(good);
    auto next = run_call(s.connection, request_for("G"), nullptr);
    ASSERT_FALSE(next) << c.what;
    EXPECT_EQ(next.error().kind(), ProtocolError::Io) << c.what;
    EXPECT_EQ(s.state->sent.size(), 1u) << c.what;
  }
}

TEST(Exchange, MalformedReplyComesWithADump) {
  FakeSession s;
  s.reply({0x01, 0x02, 0x00, 0x01, 0x41, 0x02, 0x01, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF});
  auto r = run_call(s.connection, request_for("F"), nullptr);
  ASSERT_FALSE(r);
  const auto* dump = r.error().get<ProtocolError::ContainerDumpInfo>();
  ASSERT_NE(dump, nullptr) << r.error().message();
  EXPECT_EQ(dump->error, wire::ContainerError::tag_mismatch(0, 0x0102, 0x0201));
  EXPECT_EQ(
      r.error().message(),
      "RFC_PRO field at offset 0 opened with tag 0x0102 but closed with 0x0201\n" + dump->dump);
  EXPECT_EQ(dump->dump.rfind("00000000  >01 02", 0), 0u) << dump->dump;
}

TEST(Exchange, FailedSendIsCountedAndEndsTheConversation) {
  FakeSession s;
  auto counters = ThroughputCounters::create();
  s.connection.set_throughput(counters);
  s.state->send_error = ProtocolError(IoError::custom(IoError::BrokenPipe, "pipe"));
  auto r = run_call(s.connection, request_for("F"), nullptr);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().message(), "I/O error: pipe");
  EXPECT_EQ(s.state->receives, 0);
  EXPECT_FALSE(s.connection.alive());
  EXPECT_EQ(counters->get(C::numberOfCalls), 1u);
  EXPECT_EQ(counters->get(C::sentBytes), 0u);
  EXPECT_EQ(counters->get(C::receivedBytes), 0u);
}

TEST(Exchange, ACancelThatRacedTheReplyReportsTheCancel) {
  FakeSession s;
  s.reply(ReplyBuilder().text_value("A", "1").build());
  // The canceller clears the shared flag while the call waits.
  auto flag = s.connection.alive_flag();
  s.state->on_receive = [flag] { flag->store(false); };
  auto r = run_call(s.connection, request_for("F"), nullptr);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error(), ProtocolError::cancelled());
}

FunctionDescription table_function() {
  FunctionDescription d;
  d.name = "Z_DELTA";
  ParameterDescription t;
  t.name = "T1";
  t.direction = ParamDirection::Table;
  t.type = AbapType::Table;
  t.length = 2;
  d.parameters.push_back(t);
  return d;
}

Bytes bad_delta_reply() {
  Bytes h;
  for (std::uint32_t v : {4u, 1u, 9u}) wire::append_be32(h, v);  // append as row 9 of 1
  return ReplyBuilder()
      .raw(RecordId::TableDeltaRowOp, h)
      .raw(RecordId::TableDeltaRow, Bytes{1, 2})
      .build();
}

TEST(StaleDescription, ADecodeFailureRefetchesOnceAndDecodesTheSameReplyAgain) {
  FakeSession s;
  auto counters = ThroughputCounters::create();
  s.connection.set_throughput(counters);
  auto old = cache_description(s, table_function());
  const wire::TableArg sent[] = {wire::TableArg::byte_rows("T1", {Bytes{7, 7}}, 2)};
  const Bytes request = encode_classic_request("Z_DELTA", {}, {}, sent).value();
  s.reply(bad_delta_reply());
  s.reply(interface_reply({params_row(u'T', "T1", u'h', 2)}));
  auto r = run_call(s.connection, request, old, sent);
  ASSERT_FALSE(r);
  // The second decode's error is the result.
  EXPECT_EQ(r.error(), ProtocolError::delta_row_count("T1", 9, 1));
  ASSERT_EQ(s.state->sent.size(), 2u);  // the request once, then the interface fetch
  EXPECT_EQ(s.state->sent[0], request);
  EXPECT_EQ(*test::find_record(s.state->sent[1], RecordId::Function),
            utf16("RFC_GET_FUNCTION_INTERFACE"));
  auto now = s.cache->get_function_description("SIM", "Z_DELTA");
  ASSERT_NE(now, nullptr);
  EXPECT_NE(now.get(), old.get());  // the refetched description replaced the stale one
  EXPECT_EQ(counters->get(C::numberOfCalls), 2u);
  EXPECT_EQ(s.connection.calls_in_flight().load(), 0u);
  EXPECT_TRUE(s.connection.alive());
}

TEST(StaleDescription, AFailedRefetchIsTheResult) {
  FakeSession s;
  auto old = cache_description(s, table_function());
  const wire::TableArg sent[] = {wire::TableArg::byte_rows("T1", {Bytes{7, 7}}, 2)};
  s.reply(bad_delta_reply());
  s.reply(ReplyBuilder().text(RecordId::AbapExceptionKey, "FU_NOT_FOUND").build());
  auto r =
      run_call(s.connection, encode_classic_request("Z_DELTA", {}, {}, sent).value(), old, sent);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ProtocolError::AbapException);
  EXPECT_EQ(s.cache->get_function_description("SIM", "Z_DELTA"), nullptr);
}

TEST(StaleDescription, AbapExceptionsAreNotRetried) {
  FakeSession s;
  auto d = cache_description(s, table_function());
  s.reply(ReplyBuilder().text(RecordId::AbapExceptionKey, "SIM_ERROR").build());
  auto r = run_call(s.connection, request_for("Z_DELTA"), d);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ProtocolError::AbapException);
  EXPECT_EQ(s.state->sent.size(), 1u);
  EXPECT_EQ(s.cache->get_function_description("SIM", "Z_DELTA"), d);
  EXPECT_TRUE(s.connection.alive());
}

TEST(BasxmlReplies, InflateErrorsAndMissingMetadata) {
  // A document without parameters.
  wire::BasxmlDocument empty;
  empty.version = "1.0";
  const Bytes doc = wire::deflate_raw(wire::write_basxml(empty).value());
  {
    FakeSession s;
    s.reply(ReplyBuilder().raw(RecordId::BasxmlPayload, doc).build());
    auto r = run_call(s.connection, request_for("F"), nullptr);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(),
              ProtocolError::unsupported(
                  kStepBasxml, "a basXML reply arrived for a call made without metadata"));
  }
  {
    FakeSession s;
    s.reply(ReplyBuilder().raw(RecordId::BasxmlPayload, Bytes{0xFF, 0xFF}).build());
    auto r = run_call(s.connection, request_for("F"), nullptr);
    ASSERT_FALSE(r);
    const auto* u = r.error().get<ProtocolError::BasxmlReplyInfo>();
    ASSERT_NE(u, nullptr) << r.error().message();
    EXPECT_EQ(u->detail.rfind("inflating the reply: ", 0), 0u) << u->detail;
  }
  {
    // An ABAP error beside a document is reported as such.
    FakeSession s;
    auto d = cache_description(s, table_function());
    s.reply(ReplyBuilder()
                .raw(RecordId::BasxmlPayload, Bytes(doc.begin(), doc.begin() + 2))
                .raw(RecordId::BasxmlPayload, Bytes(doc.begin() + 2, doc.end()))
                .text(RecordId::AbapExceptionKey, "BOOM")
                .build());
    auto r = run_call(s.connection, request_for("Z_DELTA"), d);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), ProtocolError::AbapException);
  }
}

FunctionDescription echo_function(bool basxml) {
  FunctionDescription d;
  d.name = "Z_ECHO";
  d.basxml_supported = basxml;
  auto add = [&d](std::string n, ParamDirection dir, AbapType t, std::uint32_t len,
                  std::string type_name = "") {
    d.parameters.push_back(test::param(std::move(n), dir, t, len, std::move(type_name)));
  };
  add("I_INT", ParamDirection::Import, AbapType::Int4, 4);
  add("E_INT", ParamDirection::Export, AbapType::Int4, 4);
  add("E_AMOUNT", ParamDirection::Export, AbapType::Bcd, 3, "ZAMOUNT");
  add("C_N", ParamDirection::Changing, AbapType::Int4, 4);
  return d;
}

TEST(Invoke, ClassicCallEncodesDecodesAndPlacesTheDecimalPoint) {
  FakeSession s;
  auto counters = ThroughputCounters::create();
  s.connection.set_throughput(counters);
  cache_description(s, echo_function(false));
  s.cache->put_element_decimals("SIM", "ZAMOUNT", 2);
  Bytes int4 = {0x2A, 0, 0, 0};
  s.reply(ReplyBuilder().value("E_INT", int4).value("E_AMOUNT", Bytes{0x12, 0x34, 0x5C}).build());
  const ValueImport imports[] = {{"i_int", RfcValue::integer(42)}};
  auto r = invoke(s.connection, "z_echo", imports);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r->value("E_INT"), RfcValue::integer(42));
  EXPECT_EQ(*r->value("E_AMOUNT"), RfcValue::text("123.45"));
  EXPECT_EQ(r->text_pairs[1], (TextPair{"E_AMOUNT", "123.45"}));

  ASSERT_EQ(s.state->sent.size(), 1u);
  std::vector<std::pair<RecordId, Bytes>> tail;
  for (auto& rec : test::records_of(s.state->sent[0]))
    if (rec.first == RecordId::RequestedOutput || rec.first == RecordId::ParameterName ||
        rec.first == RecordId::ParameterValue || rec.first == RecordId::Function)
      tail.push_back(rec);
  EXPECT_EQ(tail, (std::vector<std::pair<RecordId, Bytes>>{
                      {RecordId::Function, utf16("z_echo")},
                      {RecordId::RequestedOutput, utf16("E_INT")},
                      {RecordId::RequestedOutput, utf16("E_AMOUNT")},
                      {RecordId::RequestedOutput, utf16("C_N")},
                      {RecordId::ParameterName, utf16("i_int")},
                      {RecordId::ParameterValue, int4},
                  }));
  EXPECT_GT(counters->get(C::serializationTime), 0u);
}

TEST(Invoke, RouteFollowsTheBasxmlFlagAndMode) {
  struct Case {
    bool supported;
    BasxmlMode mode;
    bool classic;
  };
  for (const Case c : {Case{true, BasxmlMode::Off, true}, Case{true, BasxmlMode::On, false},
                       Case{true, BasxmlMode::Auto, false}, Case{false, BasxmlMode::Auto, true}}) {
    FakeSession s;
    s.connection.set_basxml_mode(c.mode);
    cache_description(s, echo_function(c.supported));
    s.reply(ReplyBuilder().build());
    auto r = invoke(s.connection, "Z_ECHO", {});
    EXPECT_TRUE(r) << r.error().message();
    ASSERT_EQ(s.state->sent.size(), 1u);
    // A basXML request carries its parameters in a payload record.
    EXPECT_EQ(test::find_record(s.state->sent[0], RecordId::BasxmlPayload).has_value(), !c.classic);
  }
}

TEST(Invoke, DescriptionFetchCountsAsANestedCall) {
  FakeSession s;
  auto counters = ThroughputCounters::create();
  s.connection.set_throughput(counters);
  s.reply(interface_reply({params_row(u'E', "E_INT", u'I', 4)}));
  s.reply(ReplyBuilder().value("E_INT", Bytes{5, 0, 0, 0}).build());
  auto r = invoke(s.connection, "Z_NEW", {});
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r->value("E_INT"), RfcValue::integer(5));
  EXPECT_EQ(counters->get(C::numberOfCalls), 2u);
  EXPECT_EQ(s.state->sent.size(), 2u);
}

TEST(Invoke, NestedCallsCountButOnlyTheOutermostMeasuresTotalTime) {
  // Reading the reply looks up the decimals of E_AMOUNT: a call inside the
  // call, whose wait is long here. It counts as a call and its wait as reply
  // wait, but its time lies inside the outer call's, so totalTime, which only
  // the outermost call measures, stays within the time the whole call took.
  using namespace std::chrono_literals;
  FakeSession s;
  auto counters = ThroughputCounters::create();
  s.connection.set_throughput(counters);
  cache_description(s, echo_function(false));
  FunctionDescription field_info;
  field_info.name = "DDIF_FIELDINFO_GET";
  field_info.parameters = {test::param("TABNAME", ParamDirection::Import, AbapType::Char, 60),
                           test::param("ALL_TYPES", ParamDirection::Import, AbapType::Char, 2)};
  cache_description(s, field_info);
  s.reply(ReplyBuilder().value("E_AMOUNT", Bytes{0x12, 0x34, 0x5C}).build());
  s.reply(ReplyBuilder().text(RecordId::AbapExceptionKey, "NOT_FOUND").build());
  constexpr auto kNestedWait = 100ms;
  s.state->on_receive = [&s, kNestedWait] {
    if (s.state->receives == 2) std::this_thread::sleep_for(kNestedWait);
  };

  const auto start = std::chrono::steady_clock::now();
  auto r = invoke(s.connection, "Z_ECHO", {});
  const auto wall = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r->value("E_AMOUNT"), RfcValue::text("12345"));  // no decimals known
  EXPECT_EQ(s.state->sent.size(), 2u);
  EXPECT_EQ(counters->get(C::numberOfCalls), 2u);
  const auto nanos = [](auto d) {
    return static_cast<std::uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(d).count());
  };
  EXPECT_GE(counters->get(C::replyWaitTime), nanos(kNestedWait));
  EXPECT_GE(counters->get(C::totalTime), nanos(kNestedWait));
  EXPECT_LE(counters->get(C::totalTime), nanos(wall));
}

TEST(InvokeWithTables, TextRowsAtTheParametersWidth) {
  FakeSession s;
  FunctionDescription d;
  d.name = "RFC_READ_TABLE";
  for (auto [n, dir, t, len] :
       {std::tuple{"QUERY_TABLE", ParamDirection::Import, AbapType::Char, 60u},
        std::tuple{"OPTIONS", ParamDirection::Table, AbapType::Table, 144u},
        std::tuple{"DATA", ParamDirection::Table, AbapType::Table, 1024u}}) {
    d.parameters.push_back(test::param(n, dir, t, len));
  }
  cache_description(s, d);
  const ValueImport imports[] = {{"QUERY_TABLE", RfcValue::text("DD40L")}};
  {
    const TextTable bad[] = {{"NOPE", {"x"}}};
    auto r = invoke_with_tables(s.connection, imports, bad);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ProtocolError::unexpected_record(
                             kStepInvokeWithTables, "RFC_READ_TABLE has no table parameter NOPE"));
    EXPECT_TRUE(s.state->sent.empty());
  }
  s.reply(ReplyBuilder().table("DATA", 4, {Bytes{'a', 0, 'b', 0}}).build());
  const TextTable tables[] = {{"options", {"TYPENAME = 'X'"}}};
  auto r = invoke_with_tables(s.connection, imports, tables);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(s.state->sent.size(), 1u);
  auto header = test::find_record(s.state->sent[0], RecordId::TableHeader);
  ASSERT_TRUE(header);
  EXPECT_EQ(*header, (Bytes{0, 0, 0, 144, 0, 0, 0, 1}));
  ASSERT_EQ(r->tables.size(), 2u);  // DATA, then the sent OPTIONS unchanged
  EXPECT_EQ(r->tables[1].name, "options");
  EXPECT_EQ(r->tables[1].rows.row_width(), 144u);
}

}  // namespace
}  // namespace quib::proto

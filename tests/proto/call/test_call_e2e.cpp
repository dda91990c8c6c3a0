// End to end against the simulated ABAP system: describe, call and decode
// every scalar type; ABAP exceptions and messages; tables (plain, compressed,
// sent as raw rows), deep values and replies in many records; the throughput
// counters against the bytes the simulator saw; the faults that end a call;
// cancelling a slow function.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

#include "proto/invoke/invoke.hpp"
#include "proto/session/open.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"

namespace quib::proto {
namespace {

using test::open_sim_session;
using test::SimProcess;
using wire::AbapType;
using wire::Bytes;
using wire::RfcValue;
using C = ThroughputCounters::Counter;
using namespace std::chrono_literals;

std::size_t hex_bytes(const std::string& hex) { return hex.size() / 2; }

class SimCall : public test::SimSuite {};

TEST_F(SimCall, DescribesTheFunctionFromItsParamsRows) {
  auto conn = open_sim_session(*sim_);
  auto d = function_description(conn, "z_sim_echo");
  ASSERT_TRUE(d) << d.error().message();
  EXPECT_EQ((*d)->name, "Z_SIM_ECHO");
  const ParameterDescription* packed = (*d)->find_parameter("i_packed");
  ASSERT_NE(packed, nullptr);
  EXPECT_EQ(*packed, (ParameterDescription{"I_PACKED", "ZSIM_AMOUNT", "", ParamDirection::Import,
                                           AbapType::Bcd, 8}));
  EXPECT_EQ((*d)->find_parameter("E_CHAR")->length, 20u);
  EXPECT_EQ((*d)->find_parameter("C_COUNTER")->direction, ParamDirection::Changing);
  EXPECT_EQ((*d)->find_parameter("E_UTCLONG")->type, AbapType::Utclong);
  EXPECT_FALSE((*d)->basxml_supported);
  const auto outputs = (*d)->requested_outputs();
  EXPECT_EQ(outputs.front(), "E_CHAR");
  EXPECT_EQ(outputs.back(), "E_SEEN");
  EXPECT_EQ(outputs.size(), 19u);  // 17 exports, the changing counter, E_SEEN

  // The unknown function: the server's ABAP exception, nothing cached.
  auto none = function_description(conn, "Z_DOES_NOT_EXIST");
  ASSERT_FALSE(none);
  EXPECT_EQ(none.error().kind(), ProtocolError::AbapException);
  EXPECT_EQ(none.error().get<ProtocolError::AbapExceptionInfo>()->key, "FU_NOT_FOUND");
  EXPECT_EQ(conn.cache()->function_count(), 1u);
}

TEST_F(SimCall, EchoesEveryScalarType) {
  auto conn = open_sim_session(*sim_);
  const ValueImport imports[] = {
      {"I_CHAR", RfcValue::text("hello")},
      {"I_NUMC", RfcValue::text("00000042")},
      {"I_DATS", RfcValue::text("20240131")},
      {"I_TIMS", RfcValue::text("235959")},
      {"I_PACKED", RfcValue::text("-123.45")},  // 2 decimals from ZSIM_AMOUNT
      {"i_packed0", RfcValue::integer(-17)},
      {"I_FLOAT", RfcValue::floating(2.5)},
      {"I_INT1", RfcValue::integer(255)},
      {"I_INT2", RfcValue::integer(-32768)},
      {"I_INT4", RfcValue::integer(-2147483647 - 1)},
      {"I_INT8", RfcValue::integer(INT64_MAX)},
      {"I_RAW", RfcValue::bytes({0xDE, 0xAD, 0xBE})},
      {"I_STRING", RfcValue::text("gr\xC3\xBC\xC3\x9F"
                                  "e")},
      {"I_XSTRING", RfcValue::bytes({0x00, 0x01, 0xFF})},
      {"I_DF16", RfcValue::text("1.5")},
      {"I_DF34", RfcValue::text("-12345678901234567890.123")},
      {"I_UTCLONG", RfcValue::text("2024-01-31 12:34:56.1234567")},
      {"C_COUNTER", RfcValue::integer(41)},
  };
  auto r = invoke(conn, "Z_SIM_ECHO", imports);
  ASSERT_TRUE(r) << r.error().message();
  Bytes raw = {0xDE, 0xAD, 0xBE};
  raw.resize(16, 0);
  const std::pair<const char*, RfcValue> expected[] = {
      {"E_CHAR", RfcValue::text("hello     ")},
      {"E_NUMC", RfcValue::text("00000042")},
      {"E_DATS", RfcValue::text("20240131")},
      {"E_TIMS", RfcValue::text("235959")},
      {"E_PACKED", RfcValue::text("-123.45")},
      {"E_PACKED0", RfcValue::text("-17")},
      {"E_FLOAT", RfcValue::floating(2.5)},
      {"E_INT1", RfcValue::integer(255)},
      {"E_INT2", RfcValue::integer(-32768)},
      {"E_INT4", RfcValue::integer(-2147483647 - 1)},
      {"E_INT8", RfcValue::integer(INT64_MAX)},
      {"E_RAW", RfcValue::bytes(raw)},
      {"E_STRING", RfcValue::text("gr\xC3\xBC\xC3\x9F"
                                  "e")},
      {"E_XSTRING", RfcValue::bytes({0x00, 0x01, 0xFF})},
      {"E_DF16", RfcValue::text("1.5")},
      {"E_DF34", RfcValue::text("-12345678901234567890.123")},
      {"E_UTCLONG", RfcValue::text("2024-01-31 12:34:56.1234567")},
      {"C_COUNTER", RfcValue::integer(42)},
  };
  for (const auto& [name, value] : expected) {
    const RfcValue* got = r->value(name);
    ASSERT_NE(got, nullptr) << name;
    EXPECT_EQ(*got, value) << name << ": " << got->debug();
  }
  // What the simulator read from our request.
  const RfcValue* seen = r->value("E_SEEN");
  ASSERT_NE(seen, nullptr);
  const std::string& s = seen->as_text();
  for (const char* line :
       {"I_PACKED=-123.45", "I_PACKED0=-17", "I_INT1=255", "I_RAW=deadbe", "I_CHAR=hello"})
    EXPECT_NE(s.find(line), std::string::npos) << line << " not in:\n" << s;
}

TEST_F(SimCall, TextPairsAndTextImports) {
  auto conn = open_sim_session(*sim_);
  const TextImport imports[] = {{"REQUTEXT", "ping \xE2\x82\xAC"}};
  auto r = invoke_text(conn, "STFC_CONNECTION", imports);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->text_pairs.at(0), (TextPair{"ECHOTEXT", "ping \xE2\x82\xAC"}));
  EXPECT_EQ(r->text_pairs.at(1).second,
            "Sysid: QSI Client: 001 User: TESTER Language: E (simulated)");
}

TEST_F(SimCall, AbapExceptionsAndMessages) {
  auto conn = open_sim_session(*sim_);
  struct Case {
    std::vector<TextImport> imports;
    ProtocolError::AbapExceptionInfo expected;
  };
  const Case cases[] = {
      {{{"KEY", "SIM_ERROR"},
        {"TEXT", "Something failed"},
        {"MSGID", "ZSIM"},
        {"MSGTY", "E"},
        {"MSGNO", "010"},
        {"MSGV1", "one"},
        {"MSGV4", "four"}},
       {"SIM_ERROR", "Something failed", "ZSIM", "E", "010", "one", "", "", "four"}},
      {{{"TEXT", "from T100"}, {"TEXT_RECORD", "T"}, {"MSGTY", "A"}},
       {"", "from T100", "", "A", "", "", "", "", ""}},
      {{{"TEXT_RECORD", "N"}, {"MSGV1", "only the variable"}},
       {"", "only the variable", "", "", "", "only the variable", "", "", ""}},
      {{{"KEY", "NO_TEXT"}, {"TEXT_RECORD", "N"}},
       {"NO_TEXT", "no diagnostic text", "", "", "", "", "", "", ""}},
  };
  for (const auto& c : cases) {
    auto r = invoke_text(conn, "Z_SIM_RAISE", c.imports);
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error(), ProtocolError::abap_exception(c.expected)) << r.error().message();
    EXPECT_TRUE(conn.alive());  // an ABAP error is an answer, not a broken conversation
  }
  // A call without any of those imports raises nothing.
  EXPECT_TRUE(invoke_text(conn, "Z_SIM_RAISE", {}));
}

TEST_F(SimCall, CountersMatchTheBytesTheSimulatorSaw) {
  auto conn = open_sim_session(*sim_);
  auto counters = ThroughputCounters::create();
  conn.set_throughput(counters);
  const std::size_t calls_before = sim_->received_messages("call").size();
  const TextImport imports[] = {{"REQUTEXT", "count me"}};
  ASSERT_TRUE(invoke_text(conn, "STFC_CONNECTION", imports));
  ASSERT_TRUE(
      sim_->wait_for({.dir = "send", .step = "call", .kind = "message"}, 5s, calls_before + 2));
  const auto received = sim_->received_messages("call");
  const auto sent = sim_->sent_messages("call");
  ASSERT_EQ(received.size(), calls_before + 2);  // the interface fetch, then the call
  ASSERT_GE(sent.size(), calls_before + 2);
  std::uint64_t in = 0, out = 0;
  for (std::size_t i = calls_before; i < received.size(); ++i) in += hex_bytes(received[i]);
  for (std::size_t i = calls_before; i < calls_before + 2; ++i) out += hex_bytes(sent[i]);
  EXPECT_EQ(counters->get(C::numberOfCalls), 2u);
  EXPECT_EQ(counters->get(C::sentBytes), in);
  EXPECT_EQ(counters->get(C::receivedBytes), out);
  EXPECT_GT(counters->get(C::totalTime), 0u);
  EXPECT_GT(counters->get(C::replyWaitTime), 0u);
  EXPECT_EQ(counters->get(C::applicationTime), 0u);

  // A warm call: one exchange only.
  ASSERT_TRUE(invoke_text(conn, "STFC_CONNECTION", imports));
  EXPECT_EQ(counters->get(C::numberOfCalls), 3u);
}

TEST_F(SimCall, RepliesInManyRecordsAreReassembled) {
  auto conn = open_sim_session(*sim_);
  const ValueImport imports[] = {{"SIZE", RfcValue::integer(100000)},
                                 {"PIECE", RfcValue::integer(97)}};
  auto r = invoke(conn, "Z_SIM_SPLIT", imports);
  ASSERT_TRUE(r) << r.error().message();
  const RfcValue* data = r->value("E_DATA");
  ASSERT_NE(data, nullptr);
  ASSERT_TRUE(data->is_bytes());
  ASSERT_EQ(data->as_bytes().size(), 100000u);
  for (std::size_t i = 0; i < 100000; i += 9973)
    EXPECT_EQ(data->as_bytes()[i], static_cast<std::uint8_t>((7 * i + 3) & 0xFF)) << i;
}

// The ID (Int4 at 0) and NAME (Char 40 at 4) of a ZSIM_ROW image.
std::pair<std::int32_t, std::string> id_and_name(wire::ByteView row) {
  return {static_cast<std::int32_t>(wire::load_le32(row.data())),
          wire::decode_utf16le(row.subspan(4, 40))};
}

TEST_F(SimCall, TablesPlainAndCompressed) {
  auto conn = open_sim_session(*sim_);
  struct Case {
    const char* compress;
    int piece;
    int skip;
  };
  for (const Case c :
       {Case{" ", 0, 2}, Case{"Z", 0, 0}, Case{"F", 100, 3}, Case{"L", 0, 1}, Case{"Z", 16, 2}}) {
    const ValueImport imports[] = {{"ROW_COUNT", RfcValue::integer(300)},
                                   {"COMPRESS", RfcValue::text(c.compress)},
                                   {"PIECE", RfcValue::integer(c.piece)},
                                   {"SKIP_BITS", RfcValue::integer(c.skip)}};
    auto r = invoke(conn, "Z_SIM_TABLE", imports);
    ASSERT_TRUE(r) << c.compress << ": " << r.error().message();
    const ReplyTable* t = r->table("T_OUT");
    ASSERT_NE(t, nullptr);
    auto rows = reply_table_rows(*t);
    ASSERT_TRUE(rows) << c.compress << "/" << c.piece << ": " << rows.error().message();
    ASSERT_EQ((*rows)->row_count(), 300u) << c.compress << "/" << c.piece << "/" << c.skip;
    EXPECT_EQ((*rows)->row_width(), 80u);
    for (std::size_t i : {0u, 150u, 299u}) {
      auto [id, name] = id_and_name((*rows)->chunk(i));
      EXPECT_EQ(id, static_cast<std::int32_t>(i + 1));
      EXPECT_EQ(name.substr(0, 9), fmt::format("ROW {:05d}", i + 1));
    }
  }
}

TEST_F(SimCall, CompressedPiecesTooShortToRecogniseAreReadAsRows) {
  // A first piece of fewer than 16 bytes cannot be told from a row: every
  // piece no longer than the row width is then taken as one row.
  auto conn = open_sim_session(*sim_);
  const ValueImport imports[] = {{"ROW_COUNT", RfcValue::integer(300)},
                                 {"COMPRESS", RfcValue::text("Z")},
                                 {"PIECE", RfcValue::integer(10)}};
  auto r = invoke(conn, "Z_SIM_TABLE", imports);
  ASSERT_TRUE(r) << r.error().message();
  auto rows = reply_table_rows(*r->table("T_OUT"));
  ASSERT_TRUE(rows) << rows.error().message();
  EXPECT_NE((*rows)->row_count(), 300u);
  EXPECT_EQ((*rows)->chunk(0)[0], 0x7B);   // the compressed prefix, as a row
  EXPECT_EQ((*rows)->chunk(0)[10], 0x00);  // filled up to the row width
}

TEST_F(SimCall, RawRowsOfASentTableTravelAndComeBack) {
  auto conn = open_sim_session(*sim_);
  auto d = function_description(conn, "Z_SIM_TABLE");
  ASSERT_TRUE(d) << d.error().message();
  Bytes row(80, 0);
  wire::store_le32(row.data(), 777);
  const Bytes name = wire::encode_utf16le("SENT ROW");
  std::copy(name.begin(), name.end(), row.begin() + 4);
  for (std::size_t i = 4 + name.size(); i < 44; i += 2) row[i] = ' ';
  row[51] = 0x0C;  // AMOUNT, packed 0
  const Bytes day = wire::encode_utf16le("20240229");
  std::copy(day.begin(), day.end(), row.begin() + 52);
  const wire::TableArg tables[] = {wire::TableArg::byte_rows("T_IN", {row}, 80)};
  const ValueImport imports[] = {{"ROW_COUNT", RfcValue::integer(2)}};
  auto encoded = encode_imports(conn, **d, imports);
  ASSERT_TRUE(encoded) << encoded.error().message();
  auto request = encode_classic_request("Z_SIM_TABLE", *encoded, (*d)->requested_outputs(), tables);
  ASSERT_TRUE(request);
  auto r = run_call(conn, std::move(request).value(), *d, tables);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r->value("E_ROWS"), RfcValue::integer(3));
  auto rows = reply_table_rows(*r->table("T_OUT"));
  ASSERT_TRUE(rows);
  ASSERT_EQ((*rows)->row_count(), 3u);
  EXPECT_EQ(id_and_name((*rows)->chunk(2)).first, 777);
  // T_IN did not come back from the server, so the sent rows are returned.
  const ReplyTable* in = r->table("T_IN");
  ASSERT_NE(in, nullptr);
  EXPECT_EQ(in->rows.bytes(), row);
}

TEST_F(SimCall, DeepSectionsInPieces) {
  auto conn = open_sim_session(*sim_);
  const ValueImport imports[] = {{"COUNT", RfcValue::integer(2)}, {"PIECE", RfcValue::integer(7)}};
  auto r = invoke(conn, "Z_SIM_DEEP", imports);
  ASSERT_TRUE(r) << r.error().message();
  ASSERT_EQ(r->deep_values.size(), 2u);
  const wire::FlatDeepValue& v = r->deep_values[1];
  EXPECT_EQ(v.name, "ES_DEEP");
  EXPECT_EQ(v.fields, (std::vector<wire::DeepField>{
                          {"ID", "2"}, {"NAME", "deep & value 2"}, {"/BIC/FIELD", "slash"}}));
  EXPECT_EQ(v.rows, (std::vector<std::vector<wire::DeepField>>{{{"item", "a2"}, {"item", "b2"}},
                                                               {{"C1", "x2"}, {"C2", "<y2>"}}}));
  EXPECT_EQ(*r->value("E_COUNT"), RfcValue::integer(2));
}

TEST_F(SimCall, DescriptionsAreSharedThroughTheCacheOfTheSystem) {
  auto shared = std::make_shared<MetadataCache>();
  auto a = open_sim_session(*sim_, shared);
  auto b = open_sim_session(*sim_, shared);
  EXPECT_EQ(a.attributes().system_id.substr(0, 3), "QSI");
  auto da = function_description(a, "STFC_CONNECTION");
  const std::size_t before = sim_->received_messages("call").size();
  auto db = function_description(b, "stfc_connection");
  ASSERT_TRUE(da && db);
  EXPECT_EQ(da->get(), db->get());
  EXPECT_EQ(sim_->received_messages("call").size(), before);  // no fetch for the second session
}

// ---------------------------------------------------------------- faults

TEST(SimFaults, EachFaultEndsTheCallAndTheConversation) {
  SimProcess sim;
  ASSERT_TRUE(sim.running()) << sim.error();
  struct Case {
    const char* mode;
    int arg;
    ProtocolError::Kind kind;
    const char* message;  // the display text, when it is fixed
  };
  const Case cases[] = {
      {"ERR", 0, ProtocolError::Gateway, "gateway: gateway down (from sim gateway)"},
      {"CONTROL", 0, ProtocolError::UnexpectedRecord,
       "unexpected record during function call: non-data control record"},
      {"EMPTY", 0, ProtocolError::EmptyReply, nullptr},
      {"CANCELED", 0, ProtocolError::Cancelled,
       "the call was cancelled; the conversation is closed"},
      {"CLOSE", 0, ProtocolError::ClosedByPeer, "connection closed by peer during function call"},
      {"MIDCLOSE", 0, ProtocolError::ClosedByPeer, nullptr},
      {"TAGMISMATCH", 0, ProtocolError::ContainerDump, nullptr},
      {"GARBAGE", 0, ProtocolError::Appc, nullptr},
      {"HUGELEN", 0, ProtocolError::Ni, nullptr},
  };
  for (const auto& c : cases) {
    auto conn = open_sim_session(sim);
    const ValueImport imports[] = {{"MODE", RfcValue::text(c.mode)},
                                   {"TEXT", RfcValue::text("gateway down")}};
    auto r = invoke(conn, "Z_SIM_FAULT", imports);
    ASSERT_FALSE(r) << c.mode;
    EXPECT_EQ(r.error().kind(), c.kind) << c.mode << ": " << r.error().message();
    if (c.message) {
      EXPECT_EQ(r.error().message(), c.message) << c.mode;
    }
    EXPECT_FALSE(conn.alive()) << c.mode;
    auto next = invoke(conn, "Z_SIM_FAULT", {});
    ASSERT_FALSE(next) << c.mode;
    EXPECT_EQ(next.error().kind(), ProtocolError::Io) << c.mode << ": " << next.error().message();
  }
}

TEST(SimFaults, SilenceEndsInATimeOutThatKillsTheConversation) {
  SimProcess sim;
  ASSERT_TRUE(sim.running()) << sim.error();
  auto conn = open_sim_session(sim);
  ASSERT_TRUE(function_description(conn, "Z_SIM_FAULT"));
  ASSERT_TRUE(conn.set_timeout(300ms));
  const ValueImport imports[] = {{"MODE", RfcValue::text("SILENCE")}};
  auto r = invoke(conn, "Z_SIM_FAULT", imports);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is_timeout()) << r.error().message();
  EXPECT_FALSE(conn.alive());
}

TEST(SimCancel, CancellingASlowFunction) {
  SimProcess sim;
  ASSERT_TRUE(sim.running()) << sim.error();
  auto conn = open_sim_session(sim);
  ASSERT_TRUE(function_description(conn, "Z_SIM_SLEEP"));
  auto handle = conn.cancel_handle();
  ASSERT_TRUE(handle) << handle.error().message();
  ASSERT_TRUE(handle->has_value());

  ProtoResult<CallReply> result = wire::err(ProtocolError::nothing_to_cancel());
  std::thread caller([&] {
    const ValueImport imports[] = {{"MILLIS", RfcValue::integer(20000)}};
    result = invoke(conn, "Z_SIM_SLEEP", imports);
  });
  // Cancel once the simulator holds the request.
  const bool arrived = sim.wait_for(
      {.dir = "recv", .step = "call", .kind = "message", .function = "Z_SIM_SLEEP"}, 10s);
  EXPECT_TRUE(arrived);
  auto sent = send_cancel(**handle);
  caller.join();
  ASSERT_TRUE(sent) << sent.error().message();
  ASSERT_FALSE(result);
  EXPECT_EQ(result.error(), ProtocolError::cancelled());
  EXPECT_FALSE(conn.alive());

  // The flag is shared: a second handle is armed with the same false flag.
  auto again = conn.cancel_handle();
  ASSERT_TRUE(again && again->has_value());
  EXPECT_FALSE((*again)->is_armed());
  EXPECT_EQ(send_cancel(**again).error(), ProtocolError::nothing_to_cancel());
  EXPECT_TRUE(sim.wait_for_event("cancel", 5s));
}

}  // namespace
}  // namespace quib::proto

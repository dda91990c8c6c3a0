// The registered server end to end against the simulated gateway for
// registered servers: registrations accepted (with an answer, with NUL
// bytes, in silence, with a call as the answer), refused and answered with
// garbage; inbound calls in one record and in many, answered with exports,
// with an ABAP exception and with an ABAP message; the gateway closing.
// The simulator checks every record the server sends byte for byte and
// reports what it decoded.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "proto/server/registered_server.hpp"
#include "tests/proto/support/reg_control.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"
#include "tests/support/testutil.hpp"
#include "wire/utf.hpp"

namespace quib::proto {
namespace {

using test::hex;
using test::json_quote;
using test::log_field;
using test::RegControl;
using test::SimLogEntry;
using test::SimLogFilter;
using test::SimProcess;
using wire::Bytes;
using wire::RfcValue;
using namespace std::chrono_literals;

class RegSim : public test::SimSuite {
 protected:
  // The scenario of the whole suite: one program whose registration is
  // answered with the announcement of a scripted call.
  static void SetUpTestSuite() {
    start_sim({"--reggateway", "--regallow", "Z*", "--reganswer", "ZSILENT*=silence", "--reganswer",
               "ZZEROS*=zeros", "--reganswer", "ZGARBAGE*=garbage"},
              R"({"reggateway": {"answers": {"ZANNOUNCE": "announce"}, "calls": [)"
              R"({"program": "ZANNOUNCE", "function": "STFC_CONNECTION",)"
              R"( "params": {"REQUTEXT": "scripted"}}]}})");
  }
  void SetUp() override {
    SimSuite::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NE(sim_->reggateway_port(), 0);
    ctl_.emplace(sim_->regcontrol_port());
    ASSERT_TRUE(ctl_->connected());
  }

  static ServerParams params(std::string program) {
    ServerParams p = ServerParams::defaults();
    p.gwhost = "127.0.0.1";
    p.gwserv = std::to_string(sim_->reggateway_port());
    p.program_id = std::move(program);
    p.read_timeout = 30s;
    return p;
  }

  static RegisteredServer registered(std::string program) {
    auto server = register_at_gateway(params(std::move(program)));
    if (!server) ADD_FAILURE() << server.error().message();
    return std::move(server).value();
  }

  // Queues a call; its id.
  std::string queue(const std::string& program, const std::string& function,
                    const std::string& params_json, const std::string& extra = "") {
    auto answer =
        ctl_->request(R"({"op": "call", "program": )" + json_quote(program) + R"(, "function": )" +
                      json_quote(function) + R"(, "params": )" + params_json + extra + "}");
    EXPECT_TRUE(answer.has_value());
    if (!answer) return {};
    EXPECT_EQ(log_field(*answer, "ok"), "true") << log_field(*answer, "error");
    return log_field(*answer, "id");
  }

  SimLogEntry result(const std::string& id) {
    auto answer = ctl_->request(R"({"op": "result", "flat": true, "wait": 30, "id": )" + id + "}");
    EXPECT_TRUE(answer.has_value());
    return answer.value_or(SimLogEntry{});
  }

  // The first event of that name logged for `program`; waits for it.
  static std::optional<SimLogEntry> event_of(const std::string& event, const std::string& program) {
    SimLogFilter f;
    f.server = "reggateway";
    f.event = event;
    for (int attempt = 0; attempt < 500; ++attempt) {
      for (const auto& e : sim_->entries(f))
        if (log_field(e, "program") == program) return e;
      std::this_thread::sleep_for(20ms);
    }
    return std::nullopt;
  }

  std::vector<std::string> checks() const {
    std::vector<std::string> out;
    SimLogFilter f;
    f.server = "reggateway";
    f.event = "check";
    for (const auto& e : sim_->entries(f)) out.push_back(log_field(e, "text"));
    return out;
  }

  std::optional<RegControl> ctl_;
};

TEST_F(RegSim, RegistrationsTheGatewayAccepts) {
  // Answered with an empty record, with NUL bytes, and not at all.
  for (const char* program : {"ZPROG_ACK", "ZZEROS", "ZSILENT"}) {
    ServerParams p = params(program);
    p.registration_wait = 500ms;
    auto server = register_at_gateway(p);
    ASSERT_TRUE(server.ok()) << program << ": " << server.error().message();
    EXPECT_FALSE(server.value().has_pending_announcement());
    // Registered for real: a call reaches it.
    const std::string id = queue(program, "RFCPING", "{}");
    auto call = server.value().receive_call();
    ASSERT_TRUE(call.ok()) << program << ": " << call.error().message();
    EXPECT_EQ(call.value().function, "RFCPING");
    ASSERT_TRUE(server.value().send_reply_exports_only(call.value(), {}).ok());
    EXPECT_EQ(log_field(result(id), "status"), "reply") << program;
  }
  for (const char* program : {"ZPROG_ACK", "ZZEROS", "ZSILENT"}) {
    const auto registered = event_of("registered", program);
    ASSERT_TRUE(registered.has_value()) << program;
    EXPECT_EQ(log_field(*registered, "host"), "localhost");
    EXPECT_EQ(log_field(*registered, "address"), "127.0.0.1");
  }
  EXPECT_EQ(checks(), std::vector<std::string>{});
}

TEST_F(RegSim, RefusedRegistrationDetaches) {
  auto server = register_at_gateway(params("NOT_ALLOWED"));
  ASSERT_FALSE(server.ok());
  EXPECT_TRUE(server.error().is(ProtocolError::RegistrationRefused));
  EXPECT_EQ(server.error().message(),
            "the gateway refused program ID NOT_ALLOWED: registration of tp NOT_ALLOWED from host "
            "localhost not allowed (usually a missing reginfo entry)");
  // The half-built server said goodbye: the gateway read its 0xD0 record.
  const auto closed = event_of("closed", "NOT_ALLOWED");
  ASSERT_TRUE(closed.has_value());
  EXPECT_EQ(log_field(*closed, "detaches"), "1");
  EXPECT_EQ(log_field(*closed, "registered"), "false");
}

TEST_F(RegSim, GarbageAnswerIsNamed) {
  auto server = register_at_gateway(params("ZGARBAGE"));
  ASSERT_FALSE(server.ok());
  EXPECT_TRUE(server.error().is(ProtocolError::UnexpectedRecord));
  EXPECT_EQ(server.error().message().rfind(
                "unexpected record during gateway registration: a 11-byte answer that is "
                "neither an acceptance nor a refusal: HELLO.WORLD / ",
                0),
            0u)
      << server.error().message();
}

TEST_F(RegSim, CallAsTheRegistrationAnswer) {
  RegisteredServer server = registered("ZANNOUNCE");
  EXPECT_TRUE(server.has_pending_announcement());
  auto call = server.receive_call();
  ASSERT_TRUE(call.ok()) << call.error().message();
  EXPECT_EQ(call.value().function, "STFC_CONNECTION");
  ASSERT_EQ(call.value().parameters.size(), 1u);
  EXPECT_EQ(call.value().parameters[0].second, wire::to_bytes("scripted"));
  const std::vector<ExportValue> exports = {{"ECHOTEXT", RfcValue::text("scripted")}};
  ASSERT_TRUE(server.send_reply_exports_only(call.value(), exports).ok());
  const auto reply = event_of("reg-reply", "ZANNOUNCE");
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(log_field(*reply, "status"), "reply");
  EXPECT_EQ(log_field(*reply, "exports"), "ECHOTEXT=" + hex(wire::encode_utf16le("scripted")));
  EXPECT_EQ(log_field(*reply, "checks"), "");
}

TEST_F(RegSim, InboundCallInManyRecordsAnsweredWithRequestedExports) {
  RegisteredServer server = registered("ZPROG_CALL");
  const std::string id =
      queue("ZPROG_CALL", "STFC_CONNECTION", R"({"REQUTEXT": "hello world", "I_INT": 7})",
            R"(, "requested": ["ECHOTEXT"], "piece": 37, "user": "ALICE", "client": "100")");
  auto call = server.receive_call();
  ASSERT_TRUE(call.ok()) << call.error().message();
  const wire::InboundCall& c = call.value();
  EXPECT_EQ(c.function, "STFC_CONNECTION");
  EXPECT_EQ(c.destination, "LOMRA_DEST");
  EXPECT_EQ(c.user, "ALICE");
  EXPECT_EQ(c.client, "100");
  EXPECT_EQ(c.system_id, "QSI");
  EXPECT_EQ(c.caller_host, "qsihost");
  EXPECT_EQ(c.program, "SAPLSIM");
  ASSERT_EQ(c.parameters.size(), 2u);
  EXPECT_EQ(c.parameters[0],
            (std::pair<std::string, Bytes>{"REQUTEXT", wire::to_bytes("hello world")}));
  EXPECT_EQ(c.parameters[1], (std::pair<std::string, Bytes>{"I_INT", Bytes{7, 0, 0, 0}}));
  EXPECT_EQ(c.requested_outputs, std::vector<std::string>{"ECHOTEXT"});

  const std::vector<ExportValue> exports = {{"ECHOTEXT", RfcValue::text("hello world")},
                                            {"RESPTEXT", RfcValue::text("left out")}};
  ASSERT_TRUE(server.send_reply_exports_only(c, exports).ok());
  const SimLogEntry r = result(id);
  EXPECT_EQ(log_field(r, "status"), "reply");
  EXPECT_EQ(log_field(r, "kind"), "normal");
  EXPECT_EQ(log_field(r, "exports"), "ECHOTEXT=" + hex(wire::encode_utf16le("hello world")));
  EXPECT_EQ(log_field(r, "conversation"),
            std::string(server.conversation_id().begin(), server.conversation_id().end()));
  EXPECT_EQ(log_field(r, "checks"), "");
}

TEST_F(RegSim, LargeReplyInPieces) {
  RegisteredServer server = registered("ZPROG_LARGE");
  const std::string id = queue("ZPROG_LARGE", "Z_SIM_SPLIT", "{}");
  auto call = server.receive_call();
  ASSERT_TRUE(call.ok()) << call.error().message();
  Bytes data(60000);
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 13 + 1);
  const std::vector<ExportValue> exports = {{"E_DATA", RfcValue::bytes(data)}};
  ASSERT_TRUE(server.send_reply_exports_only(call.value(), exports).ok());
  const SimLogEntry r = result(id);
  EXPECT_EQ(log_field(r, "status"), "reply");
  const std::string pieces = log_field(r, "pieces");
  EXPECT_EQ(pieces.rfind("28000,28000,", 0), 0u) << pieces;
  EXPECT_EQ(log_field(r, "exports"), "E_DATA=" + hex(data));
  EXPECT_EQ(log_field(r, "checks"), "");
}

TEST_F(RegSim, ExceptionAndMessageReplies) {
  RegisteredServer server = registered("ZPROG_ERR");
  struct Case {
    ExceptionReply reply;
    std::vector<std::pair<std::string, std::string>> fields;
  };
  const Case cases[] = {
      {ExceptionReply::exception_key("FU_NOT_FOUND"),
       {{"status", "exception"}, {"kind", "exception"}, {"key", "FU_NOT_FOUND"}}},
      {ExceptionReply::abap_message("RURAD", "000", "E", {"it failed: \xC3\xA9"}),
       {{"status", "exception"},
        {"msg_class", "RURAD"},
        {"msg_type", "E"},
        {"msg_number", "000"},
        {"msg_v1", "it failed: \xC3\xA9"},
        {"msg_v2", "<absent>"},
        {"error_message", ""},
        {"key", "<absent>"}}},
  };
  for (const auto& c : cases) {
    const std::string id = queue("ZPROG_ERR", "Z_ANYTHING", "{}");
    auto call = server.receive_call();
    ASSERT_TRUE(call.ok()) << call.error().message();
    ASSERT_TRUE(server.send_exception_reply(c.reply).ok());
    const SimLogEntry r = result(id);
    for (const auto& [key, value] : c.fields) EXPECT_EQ(log_field(r, key), value) << key;
    EXPECT_EQ(log_field(r, "checks"), "");
  }
}

TEST_F(RegSim, GatewayClosingEndsTheWait) {
  RegisteredServer server = registered("ZPROG_CLOSE");
  auto closed = ctl_->request(R"({"op": "close", "program": "ZPROG_CLOSE"})");
  ASSERT_TRUE(closed.has_value());
  EXPECT_EQ(log_field(*closed, "ok"), "true");
  auto call = server.receive_call();
  ASSERT_FALSE(call.ok());
  EXPECT_TRUE(call.error().is(ProtocolError::ClosedByPeer));
  EXPECT_EQ(call.error().message(), "connection closed by peer during inbound call announcement");
}

}  // namespace
}  // namespace quib::proto

// WebSocket RFC end to end against the simulated ABAP system's TLS
// endpoint, which checks the upgrade request byte for byte, the masking keys
// of every frame and the WebSocket logon record by record: logon, attributes
// and calls; a close that sends nothing; credentials missing, refused or
// untrusted; the endpoint's faults during the upgrade, the logon and a call.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "proto/invoke/invoke.hpp"
#include "proto/session/open.hpp"
#include "proto/transport/ws_transport.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"
#include "tests/proto/support/tls_test_peer.hpp"

namespace quib::proto {
namespace {

using namespace std::chrono_literals;
using test::SimLogEntry;
using test::SimLogFilter;
using test::SimProcess;

wire::Bytes read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return wire::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

ConnectionParams ws_params(const SimProcess& sim) {
  ConnectionParams p;
  p.ashost = "192.0.2.1";  // never used: wshost wins
  p.wshost = "127.0.0.1";
  p.wsport = sim.wsrfc_port();
  p.client = "001";
  p.lang = "de";
  p.ws_client_cert_der = read_file(sim.wsrfc_cert_path());
  p.ws_client_key_pkcs8_der = SecretBytes(read_file(sim.wsrfc_key_path()));
  p.connect_timeout = 20s;
  return p;
}

ProtoResult<RfcConnection> open_ws(const ConnectionParams& p) {
  return open_by_route(p, Route::wsrfc(), std::make_shared<MetadataCache>());
}

std::vector<SimLogEntry> ws_events(const SimProcess& sim, const char* event) {
  SimLogFilter f;
  f.server = "wsrfc";
  f.event = event;
  return sim.entries(f);
}

std::string checks_of(const SimProcess& sim) {
  std::string out;
  for (const auto& e : sim.events("check")) out += e.at("text") + "\n";
  return out;
}

ProtoResult<CallReply> stfc(RfcConnection& conn, const std::string& text) {
  const TextImport imports[] = {{"REQUTEXT", text}};
  return invoke_text(conn, "STFC_CONNECTION", imports);
}

// The WebSocket logon with client 001 and language "de": ten records and
// End, no header, no trailer, no identity beyond client and language.
constexpr std::string_view kLogonHex =
    "010100080301010101010000"
    "0101"
    "0103000400000e0b"
    "0103"
    "0106000b04010003000a0200000023"
    "0106"
    "0514001000000000000000000000000000000000"
    "0514"
    "01140003303031"
    "0114"
    "01630000"
    "0163"
    "0115000144"
    "0115"
    "0501000101"
    "0501"
    "05020000"
    "0502"
    "0102000752464350494e47"
    "0102"
    "ffff0000ffff";

class SimWsrfc : public test::SimSuite {
 protected:
  static void SetUpTestSuite() { start_sim({"--wsrfc"}); }
  void SetUp() override {
    SimSuite::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NE(sim_->wsrfc_port(), 0);
  }
};

TEST_F(SimWsrfc, LogsOnCallsAndClosesWithoutSendingAnything) {
  auto opened = open_ws(ws_params(*sim_));
  ASSERT_TRUE(opened) << opened.error().message();
  RfcConnection conn = std::move(opened).value();
  EXPECT_EQ(conn.attributes(),
            (ConnectionAttributes{"QSI", "QSISIM", "00", "qsihost", "753", "4103"}));
  EXPECT_EQ(conn.conversation_id(), "");
  auto handle = conn.cancel_handle();
  ASSERT_TRUE(handle);
  EXPECT_FALSE(handle->has_value());

  for (const char* text : {"over WebSocket", "and again \xE2\x82\xAC"}) {
    auto r = stfc(conn, text);
    ASSERT_TRUE(r) << r.error().message();
    EXPECT_EQ(r->text_pairs.at(0), (TextPair{"ECHOTEXT", text}));
    // The certificate's name is the user; the language is the logon's.
    EXPECT_EQ(r->text_pairs.at(1).second,
              "Sysid: QSI Client: 001 User: TESTER Language: D (simulated)");
  }
  EXPECT_TRUE(std::move(conn).close());
  ASSERT_TRUE(sim_->wait_for(SimLogFilter{"wsrfc", std::nullopt, "event", std::nullopt,
                                          std::nullopt, "closed", std::nullopt},
                             20s));
  const SimLogEntry closed = ws_events(*sim_, "closed").back();
  // Every message after the logon was a call: nothing else was sent, no close
  // frame, and the TCP connection ended without a TLS close alert.
  EXPECT_EQ(std::stoi(closed.at("messages")), std::stoi(closed.at("calls")) + 1);
  EXPECT_GE(std::stoi(closed.at("calls")), 2);
  EXPECT_EQ(closed.at("close_frame"), "false");
  EXPECT_EQ(closed.at("tls_end"), "eof");
  EXPECT_EQ(closed.at("logged_on"), "true");

  // The endpoint compared the upgrade, each frame and the logon with the
  // client's templates and found nothing.
  EXPECT_EQ(checks_of(*sim_), "");
  const auto logons = sim_->received_messages("logon");
  ASSERT_FALSE(logons.empty());
  EXPECT_EQ(logons.back(), kLogonHex);
  const SimLogEntry upgrade = ws_events(*sim_, "upgrade-ok").back();
  EXPECT_EQ(upgrade.at("host"), fmt::format("127.0.0.1:{}", sim_->wsrfc_port()));
  EXPECT_EQ(upgrade.at("path"), "/sap/bc/rfc?sap-apc-stateful=true");
  EXPECT_EQ(upgrade.at("language"), "D");
  const SimLogEntry tls = ws_events(*sim_, "tls").back();
  EXPECT_EQ(tls.at("version"), "TLSv1.3");
  EXPECT_EQ(tls.at("peer_cn"), "TESTER");
  EXPECT_EQ(tls.at("sni"), "");  // an address literal is no server name
}

TEST_F(SimWsrfc, CredentialsAreCheckedBeforeAnyNetworkActivity) {
  const std::size_t accepted = ws_events(*sim_, "accepted").size();
  ConnectionParams no_cert = ws_params(*sim_);
  no_cert.ws_client_cert_der.reset();
  no_cert.ws_client_key_pkcs8_der.reset();
  ConnectionParams no_key = ws_params(*sim_);
  no_key.ws_client_key_pkcs8_der.reset();
  ConnectionParams bad_key = ws_params(*sim_);
  bad_key.ws_client_key_pkcs8_der = SecretBytes(wire::Bytes{0x30, 0x03, 0x02, 0x01, 0x00});

  auto a = open_ws(no_cert);
  ASSERT_FALSE(a);
  EXPECT_EQ(a.error(),
            ProtocolError::unexpected_record(kStepWsrfcOpen, "missing ws_client_cert_der"));
  auto b = open_ws(no_key);
  ASSERT_FALSE(b);
  EXPECT_EQ(b.error(),
            ProtocolError::unexpected_record(kStepWsrfcOpen, "missing ws_client_key_pkcs8_der"));
  auto c = open_ws(bad_key);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().kind(), ProtocolError::Io);
  EXPECT_NE(c.error().message().find("wsRFC client key"), std::string::npos) << c.error().message();
  EXPECT_EQ(ws_events(*sim_, "accepted").size(), accepted);
}

TEST_F(SimWsrfc, RefusedAndUntrustedClients) {
  ConnectionParams other_client = ws_params(*sim_);
  other_client.client = "002";
  auto refused = open_ws(other_client);
  ASSERT_FALSE(refused);
  EXPECT_EQ(refused.error(),
            ProtocolError::logon_refused(0x02, "Client 002 is not available in this system"));

  // A certificate the endpoint's CA did not issue: TLS refuses it.
  const std::size_t tls_refusals = ws_events(*sim_, "tls-refused").size();
  const test::TestCert stranger = test::make_cert("TESTER");
  ConnectionParams untrusted = ws_params(*sim_);
  untrusted.ws_client_cert_der = stranger.cert_der;
  untrusted.ws_client_key_pkcs8_der = SecretBytes(stranger.key_pkcs8_der);
  auto r = open_ws(untrusted);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ProtocolError::Io);
  EXPECT_NE(r.error().message().find("TLS error"), std::string::npos) << r.error().message();
  ASSERT_TRUE(sim_->wait_for(SimLogFilter{"wsrfc", std::nullopt, "event", std::nullopt,
                                          std::nullopt, "tls-refused", std::nullopt},
                             20s, tls_refusals + 1));
}

TEST(WsrfcFaults, UpgradeAndLogon) {
  SimProcess sim({"--wsrfc", "--fault", "refuse=handshake@1", "--fault", "garbage=handshake@2",
                  "--fault", "hugelen=handshake@3", "--fault", "close=handshake@4", "--fault",
                  "close=logon@5", "--fault", "refuse=logon@6", "--fault", "split=handshake:7@7"});
  ASSERT_TRUE(sim.running()) << sim.error();
  const ProtocolError refused = IoError::custom(IoError::Other, "WebSocket upgrade was refused");
  const ProtocolError expected[] = {
      refused,
      refused,
      IoError::custom(IoError::Other, "wsRFC upgrade response head too large"),
      ProtocolError::closed_by_peer(kStepWsrfcUpgrade),
      ProtocolError::closed_by_peer(kStepWsrfcRecv),
      ProtocolError::logon_refused(0x01, "Name or password is incorrect (repeat logon)"),
  };
  const ConnectionParams params = ws_params(sim);
  for (std::size_t i = 0; i < std::size(expected); ++i) {
    auto r = open_ws(params);
    ASSERT_FALSE(r) << "connection " << i + 1;
    EXPECT_EQ(r.error(), expected[i]) << "connection " << i + 1 << ": " << r.error().message();
  }
  // The 101 response cut into 7-byte writes is read whole.
  auto r = open_ws(params);
  EXPECT_TRUE(r) << r.error().message();
}

TEST(WsrfcFaults, DuringCalls) {
  SimProcess sim({"--wsrfc", "--fault", "midclose=call/STFC_CONNECTION@1", "--fault",
                  "hugelen=call/STFC_CONNECTION@2", "--fault", "control=call/STFC_CONNECTION:9@3",
                  "--fault", "split=call/STFC_CONNECTION:7@4", "--fault",
                  "wrongtype=call/STFC_CONNECTION:1@5", "--fault",
                  "control=call/STFC_CONNECTION:8@6", "--fault", "delay=call/STFC_CONNECTION:4@7"});
  ASSERT_TRUE(sim.running()) << sim.error();
  struct Case {
    const char* name;
    std::optional<ProtocolError> error;  // none: the call succeeds
  };
  const Case cases[] = {
      {"closed in the middle of the reply", ProtocolError::closed_by_peer(kStepWsrfcRecv)},
      {"a frame beyond the budget",
       IoError::custom(IoError::Other, "WebSocket payload of 134217729 bytes exceeds the budget")},
      {"a ping before the reply", std::nullopt},
      {"the reply in fragments of 7 bytes", std::nullopt},
      {"the reply as a text message", std::nullopt},
      {"a close frame instead of the reply", ProtocolError::closed_by_peer(kStepWsrfcRecv)},
  };
  const ConnectionParams params = ws_params(sim);
  for (const Case& c : cases) {
    auto opened = open_ws(params);
    ASSERT_TRUE(opened) << c.name << ": " << opened.error().message();
    RfcConnection conn = std::move(opened).value();
    auto r = stfc(conn, c.name);
    if (c.error) {
      ASSERT_FALSE(r) << c.name;
      EXPECT_EQ(r.error(), *c.error) << c.name << ": " << r.error().message();
    } else {
      ASSERT_TRUE(r) << c.name << ": " << r.error().message();
      EXPECT_EQ(r->text_pairs.at(0).second, c.name);
      // The connection carries on.
      auto again = stfc(conn, "again");
      ASSERT_TRUE(again) << c.name << ": " << again.error().message();
      EXPECT_EQ(again->text_pairs.at(0).second, "again");
    }
  }
  // The connect time-out bounds every wait until the session sets its own.
  ConnectionParams quick = params;
  quick.connect_timeout = 1s;
  auto opened = open_ws(quick);
  ASSERT_TRUE(opened) << opened.error().message();
  RfcConnection conn = std::move(opened).value();
  auto slow = stfc(conn, "slow");
  ASSERT_FALSE(slow);
  EXPECT_TRUE(slow.error().is_timeout()) << slow.error().message();
  // A pong answered the ping before each of the two replies on the third
  // connection, carrying its payload; nothing deviated.
  EXPECT_EQ(checks_of(sim), "");
  EXPECT_EQ(sim.events("pong").size(), 2u);
}

}  // namespace
}  // namespace quib::proto

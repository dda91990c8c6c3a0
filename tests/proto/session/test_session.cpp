// End to end against the simulated ABAP system: logon directly and through
// the SAProuter, refused logons, the peer closing or misbehaving at each
// step, time-outs, cancelling from another thread, and the one Deallocate
// record that closing sends. The simulator checks every byte the client
// sends against the protocol's templates and refuses deviations.
#include <gtest/gtest.h>

#include <thread>

#include "proto/session/open.hpp"
#include "proto/transport/ni_transport.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "wire/container.hpp"
#include "wire/utf.hpp"

namespace quib::proto {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;
using test::SimLogFilter;
using test::SimProcess;

constexpr auto kLogLimit = seconds(10);

ConnectionParams sim_params(const SimProcess& sim) {
  ConnectionParams p;
  p.ashost = "127.0.0.1";
  p.port = sim.gateway_port();
  p.client = "001";
  p.user = "tester";  // the simulator compares user names without case
  p.passwd = std::string("secret");
  p.lang = "de";
  p.connect_timeout = seconds(5);
  p.io_timeout = seconds(20);
  return p;
}

std::string router_route(const SimProcess& sim) {
  return "/H/127.0.0.1/S/" + std::to_string(sim.saprouter_port());
}

SimLogFilter event_filter(const char* event, std::optional<int> conn = std::nullopt) {
  SimLogFilter f;
  f.event = event;
  f.conn = conn;
  f.server = "gateway";
  return f;
}

// A classic request of a function without parameters, as the call layer
// writes it.
wire::Bytes bare_request(std::string_view function) {
  wire::ContainerWriter w;
  w.put_record(wire::RecordId{0x0502}, {});
  w.put_record(wire::RecordId::Kernel, wire::encode_utf16le("753"));
  w.put_record(wire::RecordId::Function, wire::encode_utf16le(function));
  w.put_record(wire::RecordId{0x0512}, {});
  wire::Bytes out = std::move(w).finish_container().value();
  EXPECT_TRUE(wire::append_message_trailer(out).ok());
  return out;
}

class SimSessionTest : public ::testing::Test {
 protected:
  void start(std::vector<std::string> args) {
    sim_ = std::make_unique<SimProcess>(std::move(args));
    ASSERT_TRUE(sim_->running()) << sim_->error();
  }
  SimProcess& sim() { return *sim_; }
  std::unique_ptr<SimProcess> sim_;
};

TEST_F(SimSessionTest, DirectLogonReportsTheSystemAndCloseSendsOneDeallocate) {
  start({});
  auto c = open_by_route(sim_params(sim()), Route::direct(), nullptr);
  ASSERT_TRUE(c.ok()) << c.error().message();
  const ConnectionAttributes& a = c->attributes();
  EXPECT_EQ(a.system_id, "QSI");
  EXPECT_EQ(a.system_name, "QSISIM");
  EXPECT_EQ(a.system_number, "00");
  EXPECT_EQ(a.system_host, "qsihost");
  EXPECT_EQ(a.kernel_release, "753");
  EXPECT_EQ(a.system_code_page, "4103");
  EXPECT_EQ(c->conversation_id(), "70000001");
  ASSERT_TRUE(sim().wait_for(event_filter("logon-ok"), kLogLimit));
  const auto ok = sim().entries(event_filter("logon-ok"));
  EXPECT_EQ(ok.at(0).at("language"), "D");

  ASSERT_TRUE(std::move(*c).close().ok());
  ASSERT_TRUE(sim().wait_for(event_filter("closed"), kLogLimit));
  const auto closed = sim().entries(event_filter("closed"));
  EXPECT_EQ(closed.at(0).at("deallocates"), "1");
  EXPECT_TRUE(sim().entries(event_filter("check")).empty()) << "the simulator saw a deviation";
}

TEST_F(SimSessionTest, DroppedConnectionSendsNoDeallocate) {
  start({});
  {
    auto c = open_direct(sim_params(sim()), nullptr);
    ASSERT_TRUE(c.ok()) << c.error().message();
  }
  ASSERT_TRUE(sim().wait_for(event_filter("closed"), kLogLimit));
  EXPECT_EQ(sim().entries(event_filter("closed")).at(0).at("deallocates"), "0");
}

TEST_F(SimSessionTest, LogonThroughTheSaprouter) {
  start({"--saprouter", "--routepass", "rp1"});
  const ConnectionParams p = sim_params(sim());
  auto c = open_by_route(p, Route::saprouter(router_route(sim()) + "/W/rp1"), nullptr);
  ASSERT_TRUE(c.ok()) << c.error().message();
  EXPECT_EQ(c->attributes().system_id, "QSI");
  SimLogFilter route;
  route.server = "saprouter";
  route.event = "route";
  ASSERT_TRUE(sim().wait_for(route, kLogLimit));
  // The router saw itself and the gateway as the two hops.
  EXPECT_EQ(sim().entries(route).at(0).at("hops"),
            "127.0.0.1/" + std::to_string(sim().saprouter_port()) + ",127.0.0.1/" +
                std::to_string(sim().gateway_port()));
  ASSERT_TRUE(std::move(*c).close().ok());

  // Without the router password the route is refused, with the router's text.
  auto refused = open_via_router(p, router_route(sim()), nullptr);
  ASSERT_FALSE(refused.ok());
  ASSERT_EQ(refused.error().kind(), ProtocolError::UnexpectedRecord);
  const auto* info = refused.error().get<ProtocolError::UnexpectedRecordInfo>();
  EXPECT_EQ(info->label, kStepSaprouterRoute);
  EXPECT_EQ(info->detail.rfind("NI_RTERR route permission denied", 0), 0u) << info->detail;
}

TEST_F(SimSessionTest, RefusedLogons) {
  start({"--fault", "refuse=logon:5@2"});
  ConnectionParams wrong = sim_params(sim());
  wrong.passwd = std::string("not-the-password");
  auto a = open_direct(wrong, nullptr);
  ASSERT_FALSE(a.ok());
  EXPECT_EQ(a.error(),
            ProtocolError::logon_refused(0x01, "Name or password is incorrect (repeat logon)"));

  auto b = open_direct(sim_params(sim()), nullptr);  // connection 2: refused by the fault
  ASSERT_FALSE(b.ok());
  EXPECT_EQ(b.error().message(),
            "logon refused by the server (status 0x05): Name or password is incorrect (repeat "
            "logon)");

  ConnectionParams client = sim_params(sim());
  client.client = "999";
  auto c = open_direct(client, nullptr);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error(),
            ProtocolError::logon_refused(0x02, "Client 999 is not available in this system"));
  // Every refused connection was closed by the client.
  ASSERT_TRUE(sim().wait_for(event_filter("closed"), kLogLimit, 3));
}

TEST_F(SimSessionTest, PeerClosingAtEachStep) {
  start({"--saprouter", "--fault", "close=handshake@1", "--fault", "close=initialize@2", "--fault",
         "close=allocate@3", "--fault", "close=logon@4", "--fault", "midclose=logon@5", "--fault",
         "close=route@1"});
  const ConnectionParams p = sim_params(sim());
  const std::string_view labels[] = {kStepRoutingHandshake, kStepAppcInitialize, kStepAppcAllocate,
                                     kStepLogon, kStepLogon};
  for (std::string_view label : labels) {
    SCOPED_TRACE(label);
    auto c = open_direct(p, nullptr);
    ASSERT_FALSE(c.ok());
    EXPECT_EQ(c.error(), ProtocolError::closed_by_peer(label)) << c.error().message();
  }
  auto routed = open_via_router(p, router_route(sim()), nullptr);
  ASSERT_FALSE(routed.ok());
  EXPECT_EQ(routed.error(), ProtocolError::closed_by_peer(kStepSaprouterRoute));
}

TEST_F(SimSessionTest, MisbehavingPeerAtEachStep) {
  start({"--fault", "blankid=initialize@1", "--fault", "wrongtype=initialize@2", "--fault",
         "short=allocate@3", "--fault", "version=logon@4", "--fault", "hugelen=logon@5", "--fault",
         "control=logon@6", "--fault", "tagmismatch=logon@7", "--fault", "badhead=logon@8"});
  const ConnectionParams p = sim_params(sim());

  struct Case {
    ProtocolError::Kind kind;
    std::string message_start;
  };
  const Case cases[] = {
      {ProtocolError::UnexpectedRecord,
       "unexpected record during APPC initialize: response without a conversation ID"},
      {ProtocolError::UnexpectedRecord, "unexpected record during APPC initialize: Data"},
      {ProtocolError::Appc, "APPC record of 40 bytes is shorter than the 80-byte header"},
      {ProtocolError::Appc, "APPC protocol version 0x05, expected 0x06"},
      {ProtocolError::Ni,
       "NI payload of 4294967280 bytes exceeds the configured limit of 268435456"},
      {ProtocolError::UnexpectedRecord, "unexpected record during logon: non-data control record"},
      {ProtocolError::ContainerDump, "RFC_PRO field at offset 12 opened with tag"},
      {ProtocolError::Container, "not an RFC_PRO message: bad EBCDIC header"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message_start);
    auto r = open_direct(p, nullptr);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), c.kind) << r.error().message();
    EXPECT_EQ(r.error().message().rfind(c.message_start, 0), 0u) << r.error().message();
  }
}

TEST_F(SimSessionTest, SilentPeerTimesOutNamingTheStepThatWaited) {
  start({"--fault", "silence=handshake@1", "--fault", "silence=initialize@2", "--fault",
         "silence=allocate@3", "--fault", "silence=logon@4"});
  ConnectionParams p = sim_params(sim());
  p.io_timeout = milliseconds(300);
  const char* expected[] = {
      "I/O error: timed out in the NI set-up (routing handshake)",
      "I/O error: timed out in the NI set-up (APPC initialize)",
      "I/O error: timed out in the NI set-up (APPC allocate)",
      "I/O error: timed out in the logon",
  };
  for (const char* message : expected) {
    SCOPED_TRACE(message);
    auto r = open_direct(p, nullptr);
    ASSERT_FALSE(r.ok());
    // Still a time-out, for the callers that treat one as silence.
    EXPECT_TRUE(r.error().is_timeout()) << r.error().message();
    EXPECT_EQ(r.error().message(), message);
  }
}

TEST_F(SimSessionTest, CancelFromAnotherThreadWhileTheCallWaits) {
  start({"--fault", "delay=call/RFC_PING:30"});
  auto c = open_direct(sim_params(sim()), nullptr);
  ASSERT_TRUE(c.ok()) << c.error().message();
  auto handle = c->cancel_handle();
  ASSERT_TRUE(handle.ok() && handle->has_value()) << "no cancel handle";

  ASSERT_TRUE(c->transport().send(bare_request("RFC_PING")).ok());
  // The call thread blocks in its receive until the simulator answers.
  ProtoResult<Received> reply = wire::err(ProtocolError::nothing_to_cancel());
  std::thread call([&] { reply = c->transport().receive(kStepFunctionCall); });
  SimLogFilter received;
  received.dir = "recv";
  received.step = "call";
  received.kind = "message";
  ASSERT_TRUE(sim().wait_for(received, kLogLimit));

  auto sent = send_cancel(handle->value());
  call.join();
  ASSERT_TRUE(sent.ok()) << sent.error().message();
  ASSERT_TRUE(reply.ok()) << reply.error().message();
  EXPECT_EQ(reply->kind, ReceiveKind::CancelRecord);
  EXPECT_FALSE(c->alive());

  // The conversation is cancelled at most once.
  auto again = send_cancel(handle->value());
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error(), ProtocolError::nothing_to_cancel());
  handle->value().close();

  ASSERT_TRUE(sim().wait_for(event_filter("cancelled"), kLogLimit));
  EXPECT_EQ(sim().entries(event_filter("cancel")).size(), 1u);
  EXPECT_TRUE(sim().entries(event_filter("check")).empty()) << "the cancel record deviated";
}

}  // namespace
}  // namespace quib::proto

// Session opening against a gateway scripted in the test: the route
// dispatch, the logon at the end of the set-up, what close and drop send,
// and the cancel handle that shares the session's alive flag.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <thread>

#include "proto/call/description.hpp"
#include "proto/session/open.hpp"
#include "proto/transport/ni_transport.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/proto/support/ni_test_peer.hpp"
#include "wire/container.hpp"

namespace quib::proto {
namespace {

using test::read_frame;
using test::write_frame;
using test::write_record;
using wire::Bytes;
using wire::RecordId;

Bytes logon_reply(bool refuse) {
  wire::ContainerWriter w = wire::ContainerWriter::with_rfc_header();
  w.put_record(RecordId::SystemId, wire::encode_utf16le("NPL"));
  w.put_record(RecordId::SystemHost, wire::as_bytes("sapnpl"));
  if (refuse) {
    w.put_record(RecordId::LogonStatus, Bytes{0x02});
    w.put_record(RecordId::AbapErrorMessage, wire::as_bytes("Name or password is incorrect"));
  }
  return std::move(w).finish_container().value();
}

// A gateway for one connection: set-up, logon, then it records every frame
// until the client goes away.
struct ScriptedGateway {
  explicit ScriptedGateway(bool refuse_logon = false) {
    thread = std::thread([this, refuse_logon] {
      try {
        Socket s = listener.accept();
        if (!read_frame(s)) return;  // routing handshake
        write_frame(s, wire::as_bytes("ok"));
        if (!read_frame(s)) return;  // Initialize
        write_record(s, 0x01, "CONV0042");
        if (!read_frame(s) || !read_frame(s)) return;  // SetPartnerLuName, Allocate
        write_record(s, 0x05, "CONV0042");
        auto logon = read_frame(s);
        if (!logon) return;
        logon_record = *logon;
        write_record(s, 0xCB, "CONV0042", logon_reply(refuse_logon));
        while (auto f = read_frame(s)) after_logon.push_back(std::move(*f));
        ended = true;
      } catch (const std::exception&) {
      }
    });
  }
  ~ScriptedGateway() {
    if (thread.joinable()) thread.join();
  }
  void join() { thread.join(); }

  ConnectionParams params() const {
    ConnectionParams p;
    p.ashost = "127.0.0.1";
    p.port = listener.port();
    p.user = "DEVELOPER";
    p.passwd = std::string("pw");
    p.basxml_mode = BasxmlMode::Off;
    return p;
  }

  test::Listener listener;
  Bytes logon_record;
  std::vector<Bytes> after_logon;
  bool ended = false;
  std::thread thread;
};

TEST(OpenDirectTest, LogsOnAndCloseSendsExactlyOneDeallocate) {
  ScriptedGateway gw;
  auto cache = std::make_shared<MetadataCache>();
  auto c = open_by_route(gw.params(), Route::direct(), cache);
  ASSERT_TRUE(c.ok()) << c.error().message();
  EXPECT_TRUE(c->alive());
  EXPECT_EQ(c->attributes().system_id, "NPL");
  EXPECT_EQ(c->attributes().system_host, "sapnpl");
  EXPECT_EQ(c->conversation_id(), "CONV0042");
  EXPECT_EQ(c->basxml_mode(), BasxmlMode::Off);
  EXPECT_EQ(c->cache(), cache);
  EXPECT_EQ(c->calls_in_flight().load(), 0u);
  EXPECT_EQ(c->throughput(), nullptr);
  // The logon went out as a data record carrying this session's identifier.
  ASSERT_GT(gw.logon_record.size(), 80u);
  EXPECT_EQ(gw.logon_record[1], 0xCB);

  auto handle = c->cancel_handle();
  ASSERT_TRUE(handle.ok() && handle->has_value());
  EXPECT_EQ(handle->value().armed(), c->alive_flag());

  const SharedFlag alive = c->alive_flag();
  ASSERT_TRUE(std::move(*c).close().ok());
  EXPECT_FALSE(alive->load());
  // The handle shares the flag: after close there is nothing to cancel.
  auto cancel = send_cancel(handle->value());
  ASSERT_FALSE(cancel.ok());
  EXPECT_EQ(cancel.error(), ProtocolError::nothing_to_cancel());
  handle->value().close();
  gw.join();
  ASSERT_TRUE(gw.ended);
  ASSERT_EQ(gw.after_logon.size(), 1u);
  EXPECT_EQ(gw.after_logon[0][1], 0x0B);
  EXPECT_EQ(gw.after_logon[0].size(), 80u);
}

TEST(OpenDirectTest, DroppingAConnectionSendsNothing) {
  ScriptedGateway gw;
  {
    auto c = open_direct(gw.params(), nullptr);
    ASSERT_TRUE(c.ok()) << c.error().message();
  }
  gw.join();
  EXPECT_TRUE(gw.ended);
  EXPECT_TRUE(gw.after_logon.empty());
}

TEST(OpenDirectTest, RefusedLogonDropsTheConnection) {
  ScriptedGateway gw(/*refuse_logon=*/true);
  auto c = open_direct(gw.params(), nullptr);
  ASSERT_FALSE(c.ok());
  EXPECT_EQ(c.error(), ProtocolError::logon_refused(0x02, "Name or password is incorrect"));
  gw.join();
  EXPECT_TRUE(gw.ended);  // the socket was closed
  EXPECT_TRUE(gw.after_logon.empty());
}

TEST(OpenByRouteTest, RoutesNotAvailableAreRefusedBeforeAnyNetworkActivity) {
  ConnectionParams p;
  p.ashost = "127.0.0.1";
  p.port = 1;  // nothing listens: an attempt to connect would be an I/O error

  auto cache = std::make_shared<MetadataCache>();
  auto no_cert = open_by_route(p, Route::wsrfc(), cache);
  ASSERT_FALSE(no_cert.ok());
  EXPECT_EQ(no_cert.error(),
            ProtocolError::unexpected_record(kStepWsrfcOpen, "missing ws_client_cert_der"));
  p.ws_client_cert_der = Bytes{0x30, 0x82};
  auto no_key = open_by_route(p, Route::wsrfc(), cache);
  ASSERT_FALSE(no_key.ok());
  EXPECT_EQ(no_key.error(),
            ProtocolError::unexpected_record(kStepWsrfcOpen, "missing ws_client_key_pkcs8_der"));
  p.ws_client_key_pkcs8_der = SecretBytes(Bytes{0x30, 0x81});
  // Credentials the TLS library cannot use are refused before the connect
  // too (which would be "connection refused" here).
  auto ws = open_by_route(p, Route::wsrfc(), cache);
  ASSERT_FALSE(ws.ok());
  EXPECT_EQ(ws.error().kind(), ProtocolError::Io);
  EXPECT_EQ(ws.error().message().rfind(
                "I/O error: wsRFC client certificate is not a DER X.509 certificate: ", 0),
            0u)
      << ws.error().message();
}

TEST(OpenByRouteTest, SncOptionsOpenTheNiRoutes) {
  // With SNC options both NI routes connect and run the set-up; the GSS-API
  // library is loaded only after Allocate. Nothing listens here, so the
  // attempt ends at the connect.
  ConnectionParams p;
  p.ashost = "127.0.0.1";
  p.port = 1;
  p.snc = SncOptions{"/usr/lib/libgss.so", "", "p:CN=NPL", 2};
  auto cache = std::make_shared<MetadataCache>();
  for (const Route& r : {Route::direct(), Route::saprouter("/H/127.0.0.1/S/1")}) {
    auto opened = open_by_route(p, r, cache);
    ASSERT_FALSE(opened.ok());
    ASSERT_EQ(opened.error().kind(), ProtocolError::Io) << opened.error().message();
    EXPECT_EQ(opened.error().get<IoError>()->kind, IoError::ConnectionRefused);
  }
}

TEST(OpenByRouteTest, MessageServerRouteReleasesTheSharedCache) {
  ConnectionParams p;
  auto cache = std::make_shared<MetadataCache>();
  Route::MessageServer ms;
  ms.mshost = "127.0.0.1";
  ms.msserv = "1";  // nothing listens: the lookup's connect fails
  auto lb = open_by_route(p, Route::message_server(ms), cache);
  ASSERT_FALSE(lb.ok());
  ASSERT_EQ(lb.error().kind(), ProtocolError::Io) << lb.error().message();
  EXPECT_EQ(lb.error().get<IoError>()->kind, IoError::ConnectionRefused);
  // The shared cache reference was released: a load-balanced session never
  // shares it.
  EXPECT_EQ(cache.use_count(), 1);
}

TEST(MetadataScopeTest, DescriptionsStayWithTheirDestinationAndSystem) {
  // Sessions sharing one cache: a description that one of them fetched is
  // seen by another only when both went to the same destination (host,
  // gateway, route, client) and their logons reported the same system ID.
  ConnectionParams base;
  base.ashost = "sapnpl.example";
  base.sysnr = "00";
  base.client = "001";
  auto cache = std::make_shared<MetadataCache>();
  test::FakeSession fetcher(cache, "NPL");
  fetcher.connection.set_destination(destination_key(base, Route::direct()));
  FunctionDescription fetched;
  fetched.name = "Z_SCOPED";
  cache->put_function_description(fetcher.connection.metadata_scope(), fetched.name,
                                  std::make_shared<const FunctionDescription>(fetched));

  struct Case {
    const char* what;
    std::function<void(ConnectionParams&)> change;
    Route route;
    std::string system_id;
    bool shared;
  };
  const Case cases[] = {
      {"the same destination and system", [](ConnectionParams&) {}, Route::direct(), "NPL", true},
      {"another client", [](ConnectionParams& p) { p.client = "002"; }, Route::direct(), "NPL",
       false},
      {"another system ID", [](ConnectionParams&) {}, Route::direct(), "QAS", false},
      {"another host", [](ConnectionParams& p) { p.ashost = "sapqas.example"; }, Route::direct(),
       "NPL", false},
      {"another instance", [](ConnectionParams& p) { p.sysnr = "01"; }, Route::direct(), "NPL",
       false},
      {"through a router", [](ConnectionParams&) {}, Route::saprouter("/H/router/S/3299"), "NPL",
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ConnectionParams p = base;
    c.change(p);
    test::FakeSession other(cache, c.system_id);
    other.connection.set_destination(destination_key(p, c.route));
    const auto found =
        cache->get_function_description(other.connection.metadata_scope(), "Z_SCOPED");
    EXPECT_EQ(found != nullptr, c.shared);
  }
}

TEST(RfcConnectionTest, CancelHandleOfAClearedSessionIsNotArmed) {
  auto [a, b] = test::socket_pair();
  RfcConnection c(std::make_unique<NiTransport>(std::move(a)), nullptr,
                  session_identifier("U", "001", 1));
  EXPECT_EQ(c.basxml_mode(), BasxmlMode::Auto);
  EXPECT_TRUE(c.clear_alive());
  EXPECT_FALSE(c.clear_alive());
  auto h = c.cancel_handle();
  ASSERT_TRUE(h.ok() && h->has_value());
  EXPECT_FALSE(h->value().is_armed());
  EXPECT_FALSE(send_cancel(h->value()).ok());
  // Nothing was written.
  h->value().close();
  c.set_throughput(ThroughputCounters::create());
  EXPECT_NE(c.throughput(), nullptr);
  { RfcConnection gone = std::move(c); }
  EXPECT_FALSE(read_frame(b).has_value());
}

}  // namespace
}  // namespace quib::proto

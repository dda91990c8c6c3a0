// Connection parameters: the defaults, the gateway port rule, the WebSocket
// host and port fall-backs, and the secrets that wipe themselves.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <utility>

#include "proto/base/params.hpp"

namespace quib::proto {
namespace {

TEST(ConnectionParamsTest, DefaultsDescribeALocalSystemZero) {
  const ConnectionParams p = ConnectionParams::defaults();
  EXPECT_EQ(p.ashost, "localhost");
  EXPECT_EQ(p.sysnr, "00");
  EXPECT_EQ(p.client, "001");
  EXPECT_EQ(p.user, "");
  EXPECT_TRUE(p.passwd.empty());
  EXPECT_EQ(p.lang, "EN");
  EXPECT_EQ(p.program_name, "quib_proto");
  EXPECT_EQ(p.program_name.size(), 10u);
  EXPECT_EQ(p.ws_path, "/sap/bc/rfc?sap-apc-stateful=true");
  EXPECT_FALSE(p.wshost || p.wsport || p.ws_client_cert_der || p.ws_client_key_pkcs8_der);
  EXPECT_FALSE(p.snc.has_value());
  EXPECT_EQ(p.connect_timeout, std::chrono::seconds(30));
  EXPECT_EQ(p.io_timeout, std::chrono::seconds(60));
  EXPECT_FALSE(p.port.has_value());
  EXPECT_EQ(p.basxml_mode, BasxmlMode::Auto);
  EXPECT_EQ(static_cast<int>(BasxmlMode::Auto), 2);
  EXPECT_EQ(gateway_port(p), 3300);
}

TEST(ConnectionParamsTest, GatewayPortFromSystemNumber) {
  struct Case {
    const char* sysnr;
    bool snc;
    std::optional<std::uint16_t> port;
    std::uint16_t expected;
  };
  const Case cases[] = {
      {"00", false, {}, 3300},    {"00", true, {}, 4800},     {"+7", false, {}, 3307},
      {"7a", false, {}, 3300},    {"", false, {}, 3300},      {"+", false, {}, 3300},
      {"-1", false, {}, 3300},    {"++1", false, {}, 3300},   {" 1", false, {}, 3300},
      {"99", false, {}, 3399},    {"65535", false, {}, 3299},  // (65535 + 3300) mod 65536
      {"65536", false, {}, 3300}, {"62236", false, {}, 0},     // 62236 + 3300 = 65536
      {"7a", false, 3201, 3201},  {"00", true, 3201, 3201},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sysnr);
    ConnectionParams p;
    p.sysnr = c.sysnr;
    if (c.snc) p.snc = SncOptions{"/lib/gss.so", "", "p:CN=x", 2};
    p.port = c.port;
    EXPECT_EQ(gateway_port(p), c.expected);
  }
}

TEST(ConnectionParamsTest, WebSocketPortNeverTakesTheGatewayPort) {
  ConnectionParams p;
  p.ashost = "app1";
  p.port = 3201;
  EXPECT_EQ(p.ws_host(), "app1");
  EXPECT_EQ(p.ws_port(), 443);
  p.wshost = "ws1";
  p.wsport = 8443;
  EXPECT_EQ(p.ws_host(), "ws1");
  EXPECT_EQ(p.ws_port(), 8443);
}

TEST(ConnectionParamsTest, CopiesAreWholeAndIndependent) {
  ConnectionParams a;
  a.passwd = std::string("secret");
  a.ws_client_key_pkcs8_der = SecretBytes(wire::Bytes{1, 2, 3});
  ConnectionParams b = a;
  b.ashost = "other";
  b.passwd = std::string("changed");
  EXPECT_EQ(a.ashost, "localhost");
  EXPECT_EQ(a.passwd.reveal(), "secret");
  EXPECT_EQ(b.ws_client_key_pkcs8_der->reveal(), (wire::Bytes{1, 2, 3}));
}

TEST(SecretTest, MovedFromAndClearedSecretsHoldNoBytes) {
  // A short string lives inside the object; after a move its old storage
  // must not keep the characters.
  SecretText a(std::string("pw12"));
  const char* storage = a.reveal().data();
  SecretText b(std::move(a));
  EXPECT_EQ(b.reveal(), "pw12");
  EXPECT_TRUE(a.empty());
  EXPECT_EQ(std::memcmp(storage, "\0\0\0\0", 4), 0);

  SecretText c(std::string("a-password-long-enough-for-the-heap"));
  const std::string& held = c.reveal();
  const std::size_t n = held.size();
  const char* heap = held.data();
  c.clear();
  EXPECT_TRUE(c.empty());
  // The buffer is still owned by the (now empty) string, so reading it is safe.
  EXPECT_EQ(std::string(heap, n), std::string(n, '\0'));
}

TEST(RouteTest, VariantsCarryTheirFields) {
  Route::MessageServer ms;
  ms.mshost = "msg1";
  EXPECT_EQ(ms.msserv, "3600");
  EXPECT_EQ(ms.group, "PUBLIC");
  EXPECT_FALSE(ms.mshost_override.has_value());
  const Route r = Route::message_server(ms);
  ASSERT_TRUE(std::holds_alternative<Route::MessageServer>(r.value));
  EXPECT_EQ(std::get<Route::MessageServer>(r.value).mshost, "msg1");
  EXPECT_EQ(std::get<Route::Saprouter>(Route::saprouter("/H/r1").value).route, "/H/r1");
  EXPECT_NE(Route::direct(), Route::wsrfc());
}

}  // namespace
}  // namespace quib::proto

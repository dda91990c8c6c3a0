// The socket layer: numeric-port resolution, connect failures, time-outs
// that surface as their own kind, sends to a vanished peer, duplicated
// handles and local-address discovery.
#include <gtest/gtest.h>

#include <thread>

#include "proto/net/socket.hpp"
#include "tests/proto/support/ni_test_peer.hpp"

namespace quib::proto {
namespace {

using std::chrono::milliseconds;

TEST(ResolveTest, NumericPortsOnly) {
  auto v4 = resolve("127.0.0.1", "3300");
  ASSERT_TRUE(v4.ok()) << v4.error().message();
  ASSERT_FALSE(v4->empty());
  EXPECT_EQ(v4->front().port(), 3300);
  EXPECT_EQ(v4->front().ip_text(), "127.0.0.1");

  auto v6 = resolve("[::1]", "9");
  ASSERT_TRUE(v6.ok()) << v6.error().message();
  ASSERT_FALSE(v6->empty());
  EXPECT_EQ(v6->front().ip_text(), "::1");

  // A service name is never looked up; neither is a port out of range.
  for (const char* bad : {"sapgw00", "", "65536", "-1", "33 00"}) {
    SCOPED_TRACE(bad);
    auto named = resolve("127.0.0.1", bad);
    ASSERT_FALSE(named.ok());
    EXPECT_EQ(named.error().kind, IoError::InvalidInput);
  }

  // "127.0.0.1\0.evil" must not be looked up as 127.0.0.1.
  auto nul = resolve(std::string_view("127.0.0.1\0.evil", 15), "3300");
  ASSERT_FALSE(nul.ok());
  EXPECT_EQ(nul.error().kind, IoError::InvalidInput);
}

TEST(ConnectTest, RefusedPortIsConnectionRefused) {
  test::Listener listener;
  const std::uint16_t port = listener.port();
  listener.close();  // nothing listens there any more
  auto addr = resolve("127.0.0.1", std::to_string(port));
  ASSERT_TRUE(addr.ok());
  auto s = connect_tcp(addr->front(), std::chrono::seconds(5));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, IoError::ConnectionRefused) << s.error().message();
  EXPECT_NE(s.error().message().find("Connection refused"), std::string::npos);
}

TEST(ConnectTest, AFailedConnectNamesHostAndPortAndKeepsItsKind) {
  test::Listener listener;
  const std::uint16_t port = listener.port();
  listener.close();
  auto s = connect_host("127.0.0.1", std::to_string(port), std::chrono::seconds(5));
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, IoError::ConnectionRefused);
  EXPECT_EQ(s.error().message(), "cannot connect to 127.0.0.1:" + std::to_string(port) +
                                     ": Connection refused (os error 111)");
}

TEST(ConnectTest, ConnectedSocketIsBlockingWithTimeouts) {
  test::Listener listener;
  auto addr = resolve("127.0.0.1", std::to_string(listener.port()));
  ASSERT_TRUE(addr.ok());
  auto s = connect_tcp(addr->front(), std::chrono::seconds(5));
  ASSERT_TRUE(s.ok()) << s.error().message();
  Socket server = listener.accept();
  ASSERT_TRUE(s->set_nodelay(true).ok());
  ASSERT_TRUE(s->set_read_timeout(milliseconds(20)).ok());

  // Nothing arrives: the receive ends with a time-out, which is its own kind
  // and leaves the connection usable.
  std::uint8_t buf[16];
  auto r = s->receive_some(buf);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_timeout());
  EXPECT_EQ(r.error().message(), "timed out");

  test::write_all(server, wire::as_bytes("hi"));
  auto r2 = s->receive_some(buf);
  ASSERT_TRUE(r2.ok()) << r2.error().message();
  EXPECT_EQ(*r2, 2u);

  // An orderly close reads as 0 bytes.
  server.close();
  auto r3 = s->receive_some(buf);
  ASSERT_TRUE(r3.ok());
  EXPECT_EQ(*r3, 0u);
}

TEST(SocketTest, ZeroTimeoutIsRefusedRatherThanMeaningNoLimit) {
  auto [a, b] = test::socket_pair();
  auto z = a.set_read_timeout(Duration(0));
  ASSERT_FALSE(z.ok());
  EXPECT_EQ(z.error().kind, IoError::InvalidInput);
  // A sub-microsecond limit still times out instead of blocking forever.
  ASSERT_TRUE(a.set_read_timeout(Duration(1)).ok());
  std::uint8_t buf[4];
  auto r = a.receive_some(buf);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_timeout());
  // None clears the limit again.
  EXPECT_TRUE(a.set_read_timeout(std::nullopt).ok());
}

TEST(SocketTest, SendToAVanishedPeerIsAnErrorNotASignal) {
  auto [a, b] = test::socket_pair();
  b.close();
  // Without MSG_NOSIGNAL this would kill the test process with SIGPIPE.
  auto sent = a.send_all(wire::as_bytes("lost"));
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().kind, IoError::BrokenPipe) << sent.error().message();
}

TEST(SocketTest, LargeSendAllArrivesWhole) {
  auto [a, b] = test::socket_pair();
  wire::Bytes big(1 << 20);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>(i * 7);
  std::optional<wire::Bytes> got;
  std::thread reader([&, &b = b] { got = test::read_exact(b, big.size()); });
  auto sent = a.send_all(big);
  reader.join();
  ASSERT_TRUE(sent.ok()) << sent.error().message();
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(*got, big);
}

// A head and its data written from where they lie arrive as one stream,
// also when a polled socket takes them in partial writes that end inside
// the head, at its end or inside the data.
TEST(SocketTest, HeadAndDataArriveInOrderThroughPartialWrites) {
  struct Case {
    std::size_t head, data;
  };
  const Case cases[] = {{84, 28000}, {0, 1 << 20}, {1 << 20, 0}, {(1 << 19) + 3, (1 << 19) - 3},
                        {1, 1},      {0, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "head " << c.head << ", data " << c.data);
    auto [a, b] = test::socket_pair();
    // Polled: each write takes what the socket buffer holds and returns.
    ASSERT_TRUE(a.set_wait_limit(std::chrono::seconds(10)).ok());
    wire::Bytes whole(c.head + c.data);
    for (std::size_t i = 0; i < whole.size(); ++i)
      whole[i] = static_cast<std::uint8_t>(i * 131 + i / 251);
    const wire::ByteView all(whole);
    std::optional<wire::Bytes> got;
    std::thread reader([&, &b = b] { got = test::read_exact(b, whole.size()); });
    auto sent = a.send_all(all.first(c.head), all.subspan(c.head));
    reader.join();
    ASSERT_TRUE(sent.ok()) << sent.error().message();
    ASSERT_TRUE(got.has_value());
    EXPECT_TRUE(*got == whole);
  }
}

TEST(SocketTest, DuplicateWritesToTheSameConnectionAndOutlivesTheOriginal) {
  auto [a, b] = test::socket_pair();
  auto dup = a.duplicate();
  ASSERT_TRUE(dup.ok()) << dup.error().message();
  EXPECT_NE(dup->fd(), a.fd());
  a.close();  // the connection stays open through the duplicate
  ASSERT_TRUE(dup->send_all(wire::as_bytes("via dup")).ok());
  auto got = test::read_exact(b, 7);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(wire::as_chars(*got), "via dup");
}

TEST(UdpLocalIpTest, ReachableTargetGivesAnAddressOfItsFamily) {
  // Loopback is always routable, so the local address is loopback too.
  auto v4 = udp_local_ip("0.0.0.0", "127.0.0.1", 9);
  ASSERT_TRUE(v4.has_value());
  EXPECT_EQ(*v4, "127.0.0.1");
  // A family mismatch cannot connect: nothing.
  EXPECT_FALSE(udp_local_ip("0.0.0.0", "::1", 9).has_value());
}

}  // namespace
}  // namespace quib::proto

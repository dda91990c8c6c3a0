// The mechanics of SimProcess: the ports line, a raw socket to the gateway,
// the log and stopping.  No client code is involved.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "tests/proto/support/sim_process.hpp"

namespace quib::test {
namespace {

using namespace std::chrono_literals;

int connect_loopback(uint16_t port) {
  int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(port);
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  timeval tv{20, 0};
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::vector<uint8_t>& data) {
  std::size_t done = 0;
  while (done < data.size()) {
    ssize_t n = ::send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

bool recv_exact(int fd, uint8_t* out, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    ssize_t r = ::recv(fd, out + done, n - done, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    done += static_cast<std::size_t>(r);
  }
  return true;
}

// The routing handshake packet, framed: a 4-byte length and 64 bytes.
std::vector<uint8_t> handshake_frame() {
  std::vector<uint8_t> p(64, 0);
  p[0] = 0x02;
  p[1] = 0x03;
  p[2] = 0x7F;
  p[5] = 0x01;
  std::memcpy(&p[10], "nwrfc_stf", 9);
  std::memcpy(&p[20], "1100", 4);
  p[29] = 0x06;
  std::memcpy(&p[30], "simtst  nwrfc_st        ", 24);
  p[54] = 0x06;
  p[55] = 0xCB;
  p[56] = 0xFF;
  p[57] = 0xFF;
  std::vector<uint8_t> frame = {0, 0, 0, 64};
  frame.insert(frame.end(), p.begin(), p.end());
  return frame;
}

std::string hex(const uint8_t* p, std::size_t n) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::size_t k = 0; k < n; ++k) {
    out += digits[p[k] >> 4];
    out += digits[p[k] & 15];
  }
  return out;
}

TEST(SimProcess, ServesAGatewayAndLogsWhatItReceived) {
  SimProcess sim;
  ASSERT_TRUE(sim.running()) << sim.error();
  EXPECT_NE(sim.gateway_port(), 0);
  EXPECT_EQ(sim.saprouter_port(), 0);

  int fd = connect_loopback(sim.gateway_port());
  ASSERT_GE(fd, 0) << std::strerror(errno);
  auto frame = handshake_frame();
  ASSERT_TRUE(send_all(fd, frame));
  uint8_t len[4];
  ASSERT_TRUE(recv_exact(fd, len, 4));
  uint32_t n = uint32_t(len[0]) << 24 | uint32_t(len[1]) << 16 | uint32_t(len[2]) << 8 | len[3];
  ASSERT_GT(n, 0u);
  ASSERT_LT(n, 4096u);
  std::vector<uint8_t> reply(n);
  ASSERT_TRUE(recv_exact(fd, reply.data(), n));
  ::close(fd);

  ASSERT_TRUE(sim.wait_for_event("closed", 15s));
  auto received = sim.received_hex("handshake");
  ASSERT_EQ(received.size(), 1u);
  EXPECT_EQ(received[0], hex(frame.data() + 4, 64));
  auto bytes = hex_to_bytes(received[0]);
  ASSERT_TRUE(bytes.has_value());
  EXPECT_EQ(bytes->size(), 64u);
  SimLogFilter sent;
  sent.dir = "send";
  sent.step = "handshake";
  auto sent_entries = sim.entries(sent);
  ASSERT_EQ(sent_entries.size(), 1u);
  EXPECT_EQ(sent_entries[0]["hex"], hex(reply.data(), reply.size()));
  EXPECT_TRUE(sim.events("check").empty()) << sim.events("check")[0]["text"];

  EXPECT_EQ(sim.stop(), 0);
  EXPECT_FALSE(sim.running());
  EXPECT_EQ(sim.events("stopped").size(), 1u);
}

TEST(SimProcess, StartsTheRouterOnRequestOnAnotherPort) {
  SimProcess sim({"--saprouter"});
  ASSERT_TRUE(sim.running()) << sim.error();
  EXPECT_NE(sim.saprouter_port(), 0);
  EXPECT_NE(sim.saprouter_port(), sim.gateway_port());
  int fd = connect_loopback(sim.saprouter_port());
  ASSERT_GE(fd, 0);
  ::close(fd);
  SimLogFilter f;
  f.server = "saprouter";
  f.event = "accepted";
  EXPECT_TRUE(sim.wait_for(f, 15s));
}

TEST(SimProcess, BadArgumentsAreReportedNotHung) {
  SimProcess sim({"--fault", "explode=lunch"});
  EXPECT_FALSE(sim.running());
  EXPECT_NE(sim.error().find("exited before printing its ports"), std::string::npos) << sim.error();
}

TEST(SimProcess, DestructorEndsTheChildAndRemovesTheLog) {
  pid_t pid = -1;
  std::string log;
  {
    SimProcess sim;
    ASSERT_TRUE(sim.running()) << sim.error();
    pid = sim.pid();
    log = sim.log_path();
    ASSERT_TRUE(sim.wait_for_event("started", 15s));
  }
  EXPECT_EQ(::kill(pid, 0), -1);
  EXPECT_EQ(errno, ESRCH);
  EXPECT_NE(::access(log.c_str(), F_OK), 0);
}

TEST(SimLog, ParsesFlatObjects) {
  auto e = parse_sim_log_line(
      R"({"seq": 3, "dir": "recv", "text": "a \"q\" \\ \u00e9\ud83d\ude00\n", "ok": true, "x": null})");
  ASSERT_TRUE(e.has_value());
  EXPECT_EQ((*e)["seq"], "3");
  EXPECT_EQ((*e)["dir"], "recv");
  EXPECT_EQ((*e)["text"], "a \"q\" \\ \xc3\xa9\xf0\x9f\x98\x80\n");
  EXPECT_EQ((*e)["ok"], "true");
  EXPECT_EQ((*e)["x"], "");
  for (const char* bad : {"", "[1]", R"({"a": )", R"({"a" 1})", R"({"a": "x)", R"({"a": 1,})"}) {
    EXPECT_FALSE(parse_sim_log_line(bad).has_value()) << bad;
  }
  EXPECT_EQ(hex_to_bytes("00fFa1"), (std::vector<uint8_t>{0x00, 0xFF, 0xA1}));
  EXPECT_FALSE(hex_to_bytes("abc").has_value());
  EXPECT_FALSE(hex_to_bytes("zz").has_value());
}

}  // namespace
}  // namespace quib::test

// A client of the control port of the simulator's gateway for registered
// servers (abapsim.py --reggateway): one JSON object per line each way.
//
//   quib::test::RegControl ctl(sim.regcontrol_port());
//   auto queued = ctl.request(R"({"op": "call", "program": "ZPROG", "function": "F"})");
//   ... the server receives and answers the call ...
//   auto result = ctl.request(R"({"op": "result", "flat": true, "id": )" + (*queued)["id"] + "}");
//
// Answers are read with the simulator's flat log-line parser, so requests
// that return nested values must ask for the flat form ("flat": true).
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "tests/proto/support/sim_process.hpp"

namespace quib::test {

// A JSON string literal of `text` (quotes, backslashes and control
// characters escaped).
inline std::string json_quote(std::string_view text) {
  std::string out = "\"";
  for (char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
  return out;
}

class RegControl {
 public:
  explicit RegControl(std::uint16_t port) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    if (fd_ >= 0 && ::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
      ::close(fd_);
      fd_ = -1;
    }
  }
  ~RegControl() {
    if (fd_ >= 0) ::close(fd_);
  }
  RegControl(const RegControl&) = delete;
  RegControl& operator=(const RegControl&) = delete;

  bool connected() const { return fd_ >= 0; }

  // Sends one request line and parses the answer line; nothing when the
  // port closed, the answer did not come within `limit` or is not flat.
  std::optional<SimLogEntry> request(std::string_view json,
                                     std::chrono::milliseconds limit = std::chrono::seconds(60)) {
    if (fd_ < 0) return std::nullopt;
    std::string line(json);
    line += '\n';
    std::size_t sent = 0;
    while (sent < line.size()) {
      const ssize_t n = ::send(fd_, line.data() + sent, line.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      sent += static_cast<std::size_t>(n);
    }
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (buffer_.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) return std::nullopt;
      pollfd p{fd_, POLLIN, 0};
      const int r = ::poll(&p, 1, static_cast<int>(left));
      if (r < 0 && errno == EINTR) continue;
      if (r <= 0) continue;
      char buf[4096];
      const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return std::nullopt;
      buffer_.append(buf, static_cast<std::size_t>(n));
    }
    const std::size_t end = buffer_.find('\n');
    const std::string answer = buffer_.substr(0, end);
    buffer_.erase(0, end + 1);
    return parse_sim_log_line(answer);
  }

 private:
  int fd_ = -1;
  std::string buffer_;
};

}  // namespace quib::test

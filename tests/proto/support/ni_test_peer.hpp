// The other end of an NI connection, written for the tests: a loopback TCP
// listener and a socket pair, and plain blocking reads and writes of NI
// frames and CPIC records, independent of the transport under test.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>

#include "proto/net/socket.hpp"
#include "wire/bytes.hpp"

namespace quib::test {

using proto::Socket;
using wire::Bytes;
using wire::ByteView;

// A peer that waits longer than this for bytes gives up (a broken client
// fails its test instead of hanging it).
inline constexpr std::chrono::seconds kPeerPatience{30};
// Frames the peer accepts; a longer length means the stream is out of step.
inline constexpr std::uint32_t kPeerFrameLimit = 64u << 20;

inline void make_patient(const Socket& s) { (void)s.set_read_timeout(kPeerPatience); }

// The first socket is for the code under test, the second for the peer.
inline std::pair<Socket, Socket> socket_pair() {
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) {
    throw std::runtime_error("socketpair failed");
  }
  Socket peer(fds[1]);
  make_patient(peer);
  return {Socket(fds[0]), std::move(peer)};
}

// Reads exactly n bytes; nullopt when the peer closes first.
inline std::optional<Bytes> read_exact(const Socket& s, std::size_t n) {
  Bytes out(n);
  std::size_t got = 0;
  while (got < n) {
    const ssize_t r = ::recv(s.fd(), out.data() + got, n - got, 0);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::nullopt;
    got += static_cast<std::size_t>(r);
  }
  return out;
}

inline void write_all(const Socket& s, ByteView data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t r = ::send(s.fd(), data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) throw std::runtime_error("test peer write failed");
    sent += static_cast<std::size_t>(r);
  }
}

// One NI frame's payload; nullopt at the peer's close, after a long silence,
// or when the length is beyond any frame the tests send.
inline std::optional<Bytes> read_frame(const Socket& s) {
  auto head = read_exact(s, 4);
  if (!head) return std::nullopt;
  const std::uint32_t n = wire::load_be32(head->data());
  if (n > kPeerFrameLimit) return std::nullopt;
  return read_exact(s, n);
}

inline void write_frame(const Socket& s, ByteView payload) {
  Bytes out;
  wire::append_be32(out, static_cast<std::uint32_t>(payload.size()));
  wire::append_bytes(out, payload);
  write_all(s, out);
}

// A CPIC record as a gateway would send it: version 06, the request byte,
// the conversation id at 40..47, then the data.
inline Bytes cpic_record(std::uint8_t request, std::string_view conversation_id = "12345678",
                         ByteView data = {}) {
  Bytes r(80, 0);
  r[0] = 0x06;
  r[1] = request;
  for (std::size_t i = 0; i < 8 && i < conversation_id.size(); ++i) {
    r[40 + i] = static_cast<std::uint8_t>(conversation_id[i]);
  }
  wire::append_bytes(r, data);
  return r;
}

inline void write_record(const Socket& s, std::uint8_t request,
                         std::string_view conversation_id = "12345678", ByteView data = {}) {
  write_frame(s, cpic_record(request, conversation_id, data));
}

// A listening TCP socket on 127.0.0.1 at a port the kernel picks.
class Listener {
 public:
  Listener() {
    fd_ = Socket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const int one = 1;
    ::setsockopt(fd_.fd(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = 0;
    if (::bind(fd_.fd(), reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_.fd(), 8) != 0) {
      throw std::runtime_error("listen failed");
    }
    socklen_t len = sizeof a;
    ::getsockname(fd_.fd(), reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
  }
  std::uint16_t port() const { return port_; }
  Socket accept() const {
    for (;;) {
      const int fd = ::accept4(fd_.fd(), nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0 && errno == EINTR) continue;
      if (fd < 0) throw std::runtime_error("accept failed");
      Socket s(fd);
      make_patient(s);
      return s;
    }
  }
  void close() { fd_.close(); }

 private:
  Socket fd_;
  std::uint16_t port_ = 0;
};

}  // namespace quib::test

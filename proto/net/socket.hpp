// The project's own small layer over POSIX sockets: TCP connect with a time
// limit, bounded sends and receives, no-delay, duplication of a handle,
// numeric-port name resolution, local-address discovery through a connected
// UDP socket, and the I/O error value every failure of it becomes.
//
// Every send passes MSG_NOSIGNAL (a peer that went away is an error value,
// never a SIGPIPE) and every call interrupted by a signal is retried.
//
// A socket given a wait limit or the waits of an operation (proto/net/waits.hpp)
// never blocks in a send or a receive: it polls the socket together with the
// operation's wake-up descriptor for the time left. A socket given neither
// blocks in the system calls themselves (only tests and the fuzz targets
// use such a socket, bounded by the system's own time-outs).
#pragma once

#include <sys/socket.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proto/base/io_error.hpp"
#include "proto/net/waits.hpp"
#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::proto {

// A resolved socket address (IPv4 or IPv6).
struct SocketAddress {
  sockaddr_storage storage{};
  socklen_t length = 0;

  int family() const { return storage.ss_family; }
  std::uint16_t port() const;
  // The bare address in its standard textual form, without the port.
  std::string ip_text() const;
};

// The addresses "host:port" resolves to, in resolver order. The port must be
// numeric (no service-name look-up); an IPv6 literal may come in brackets.
// Blocks for as long as the resolver takes.
wire::Result<std::vector<SocketAddress>, IoError> resolve(std::string_view host,
                                                          std::string_view port);

// The same as one wait of an operation: an address literal is answered at
// once; a name is looked up on a thread of its own while this one waits
// until `end` (TimedOut "resolving {host} timed out"; none: no end) or
// until the operation of `waits` is interrupted. A look-up given up on
// finishes unheard and frees its answer itself: a resolver that hangs costs
// a parked thread, never the caller's deadline.
wire::Result<std::vector<SocketAddress>, IoError> resolve_within(std::string_view host,
                                                                 std::string_view port,
                                                                 const Waits* waits,
                                                                 std::optional<TimePoint> end);

// An owned socket descriptor; closed when dropped. Move-only.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& other) noexcept
      : fd_(other.release()),
        waits_(std::move(other.waits_)),
        wait_limit_(std::exchange(other.wait_limit_, std::nullopt)) {}
  Socket& operator=(Socket&& other) noexcept;
  ~Socket() { close(); }

  bool valid() const { return fd_ >= 0; }
  int fd() const { return fd_; }
  int release() {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void close();

  // Receive and send time-outs of the system calls (SO_RCVTIMEO /
  // SO_SNDTIMEO), for a socket that blocks in them. None blocks without
  // limit; a zero duration is refused (InvalidInput), because the operating
  // system would read it as "no limit".
  wire::Status<IoError> set_read_timeout(std::optional<Duration> timeout) const;
  wire::Status<IoError> set_write_timeout(std::optional<Duration> timeout) const;
  wire::Status<IoError> set_nodelay(bool on) const;

  // The fixed limit of each wait for the socket when the operation has no
  // deadline (none: no limit). A zero or negative limit is refused
  // (InvalidInput).
  wire::Status<IoError> set_wait_limit(std::optional<Duration> limit);
  const std::optional<Duration>& wait_limit() const { return wait_limit_; }
  // The waits of the operation that uses the socket now (none: only the
  // wait limit bounds its waits).
  void set_waits(std::shared_ptr<const Waits> waits) { waits_ = std::move(waits); }
  const std::shared_ptr<const Waits>& waits() const { return waits_; }
  // Whether sends and receives poll (a wait limit or waits are set).
  bool polled() const { return waits_ != nullptr || wait_limit_.has_value(); }

  // Writes every byte or fails; a time-out surfaces as TimedOut, an
  // interruption as Interrupted. A polled socket writes nothing once its
  // operation has been interrupted.
  wire::Status<IoError> send_all(wire::ByteView data) const;
  // The same for `head` followed by `data`, written as one stream of bytes
  // from where they lie (no joined copy is made).
  wire::Status<IoError> send_all(wire::ByteView head, wire::ByteView data) const;
  // Receives at least one byte, or 0 at the peer's orderly close.
  wire::Result<std::size_t, IoError> receive_some(std::span<std::uint8_t> buffer) const;

  // A second descriptor for the same connection (closing one leaves the
  // connection open for the other), without wait limit or waits.
  wire::Result<Socket, IoError> duplicate() const;
  wire::Result<SocketAddress, IoError> local_address() const;
  wire::Result<SocketAddress, IoError> peer_address() const;
  // Shuts both directions down; a blocked receive on any descriptor of the
  // connection returns.
  wire::Status<IoError> shutdown_both() const;

 private:
  int fd_ = -1;
  std::shared_ptr<const Waits> waits_;
  std::optional<Duration> wait_limit_;
};

// A TCP connection to one address, bounded by the time limit, or by the
// deadline of `waits` when it has one, and interrupted with it (a
// non-blocking connect and a poll, then the socket goes back to blocking
// mode).
wire::Result<Socket, IoError> connect_tcp(const SocketAddress& address, Duration limit,
                                          const Waits* waits = nullptr);

// A TCP connection to the first address `host`:`port` resolves to (only
// that one is tried); the resolution and the connect are bounded as
// connect_tcp is. A host without addresses is NotFound "cannot resolve
// {host}:{port}"; a failed connect keeps its kind and says "cannot connect
// to {host}:{port}: " before its text.
wire::Result<Socket, IoError> connect_host(std::string_view host, std::string_view port,
                                           Duration limit, const Waits* waits = nullptr);

// The local address a UDP socket bound to `bind_ip` port 0 gets when it is
// connected to `target_ip`:`target_port`; no datagram is sent. Nothing when
// binding, connecting or reading the address fails.
std::optional<std::string> udp_local_ip(std::string_view bind_ip, std::string_view target_ip,
                                        std::uint16_t target_port);

}  // namespace quib::proto

#include "proto/net/socket.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <fmt/format.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>

#include "proto/base/step_timeout.hpp"
#include "proto/net/waits.hpp"

namespace quib::proto {

namespace {

IoError last_error() { return IoError::from_errno(errno); }

// A blocking socket with SO_RCVTIMEO / SO_SNDTIMEO reports the expiry of its
// time-out as EAGAIN; that is a time-out, and it is reported as one.
IoError transfer_error(int code) {
  if (code == EAGAIN || code == EWOULDBLOCK) {
    IoError e = IoError::custom(IoError::TimedOut, "timed out");
    e.os_code = code;
    return e;
  }
  return IoError::from_errno(code);
}

wire::Status<IoError> set_timeout_option(int fd, int option, std::optional<Duration> timeout) {
  timeval tv{};
  if (timeout) {
    if (timeout->count() <= 0) {
      return wire::err(
          IoError::custom(IoError::InvalidInput, "cannot set a zero or negative socket time-out"));
    }
    using std::chrono::duration_cast;
    using std::chrono::microseconds;
    // Round up so that a sub-microsecond limit does not become "no limit".
    auto us = duration_cast<microseconds>(*timeout);
    if (us < *timeout) us += microseconds(1);
    const auto max_seconds = std::numeric_limits<decltype(tv.tv_sec)>::max();
    const auto seconds = us.count() / 1000000;
    tv.tv_sec = seconds > max_seconds ? max_seconds : static_cast<decltype(tv.tv_sec)>(seconds);
    tv.tv_usec = static_cast<decltype(tv.tv_usec)>(us.count() % 1000000);
  }
  if (::setsockopt(fd, SOL_SOCKET, option, &tv, sizeof tv) != 0) return wire::err(last_error());
  return wire::ok_unit;
}

// Decimal digits only, 0 to 65535: service names are never looked up.
bool is_numeric_port(std::string_view port) {
  if (port.empty() || port.size() > 5) return false;
  std::uint32_t value = 0;
  for (char c : port) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
  }
  return value <= 0xFFFF;
}

// A failed connect names where it went, keeping the error's kind (a
// time-out stays a time-out): "cannot connect to 127.0.0.2:3300:
// Connection refused (os error 111)". An interruption is no failure of the
// connect and keeps its own text.
IoError connect_error(std::string_view host, std::string_view port, IoError e) {
  if (e.is_interrupted()) return e;
  // An IPv6 literal in brackets, so that its colons do not run into the
  // port's.
  const bool ipv6 = host.find(':') != std::string_view::npos && !host.starts_with('[');
  const std::string where =
      ipv6 ? fmt::format("[{}]:{}", host, port) : fmt::format("{}:{}", host, port);
  e.text = fmt::format("{}{}: {}", kCannotConnectTo, where, e.message());
  return e;
}

std::string strip_brackets(std::string_view host) {
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    return std::string(host.substr(1, host.size() - 2));
  }
  return std::string(host);
}

}  // namespace

// --- SocketAddress

std::uint16_t SocketAddress::port() const {
  if (family() == AF_INET) {
    return ntohs(reinterpret_cast<const sockaddr_in*>(&storage)->sin_port);
  }
  if (family() == AF_INET6) {
    return ntohs(reinterpret_cast<const sockaddr_in6*>(&storage)->sin6_port);
  }
  return 0;
}

std::string SocketAddress::ip_text() const {
  char buffer[INET6_ADDRSTRLEN] = {};
  if (family() == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&storage);
    if (::inet_ntop(AF_INET, &a->sin_addr, buffer, sizeof buffer)) return buffer;
  } else if (family() == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&storage);
    if (::inet_ntop(AF_INET6, &a->sin6_addr, buffer, sizeof buffer)) return buffer;
  }
  return {};
}

namespace {

// The checks every resolution makes before it asks the resolver.
wire::Status<IoError> check_resolvable(std::string_view host, std::string_view port) {
  if (!is_numeric_port(port)) {
    return wire::err(IoError::custom(IoError::InvalidInput, "invalid port value"));
  }
  // The name goes to the resolver as a C string: a NUL inside it would
  // silently look up a different, shorter name.
  if (host.find('\0') != std::string_view::npos) {
    return wire::err(IoError::custom(IoError::InvalidInput, "host name contains a NUL byte"));
  }
  return wire::ok_unit;
}

// What getaddrinfo answered (rc, errno for EAI_SYSTEM, the list) as the
// addresses, or as the error.
wire::Result<std::vector<SocketAddress>, IoError> addresses_of(int rc, int error, addrinfo* list) {
  std::vector<SocketAddress> out;
  if (rc == EAI_NONAME || rc == EAI_NODATA || rc == EAI_FAMILY) {
    // No address: an empty result, which callers report as "cannot resolve".
    return out;
  }
  if (rc == EAI_SYSTEM) return wire::err(IoError::from_errno(error));
  if (rc != 0) {
    const IoError::Kind kind = rc == EAI_SERVICE ? IoError::InvalidInput : IoError::Other;
    return wire::err(IoError::custom(
        kind, fmt::format("failed to look up address information: {}", ::gai_strerror(rc))));
  }
  for (const addrinfo* ai = list; ai != nullptr; ai = ai->ai_next) {
    if (ai->ai_addrlen > sizeof(sockaddr_storage)) continue;
    SocketAddress a;
    std::memcpy(&a.storage, ai->ai_addr, ai->ai_addrlen);
    a.length = ai->ai_addrlen;
    out.push_back(a);
  }
  return out;
}

// One getaddrinfo with the flags of every resolution (any family, stream
// sockets, numeric service) and `extra`.
struct Answer {
  int rc = 0;
  int error = 0;
  addrinfo* list = nullptr;

  Answer() = default;
  Answer(const Answer&) = delete;
  Answer& operator=(const Answer&) = delete;
  ~Answer() {
    if (list) ::freeaddrinfo(list);
  }

  void ask(const std::string& node, const std::string& service, int extra) {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV | extra;
    rc = ::getaddrinfo(node.c_str(), service.c_str(), &hints, &list);
    error = errno;
  }
};

// A look-up on a thread of its own, shared by that thread and the one that
// waits for it: whichever lets go last frees it. The waiting thread may give
// up (its deadline, an interruption); the look-up then finishes unheard.
struct PendingLookup {
  std::string node;
  std::string service;
  Answer answer;
  std::atomic<bool> done{false};
  int done_fd = -1;  // an eventfd, raised once the answer is in

  ~PendingLookup() {
    if (done_fd >= 0) ::close(done_fd);
  }
};

void run_lookup(const std::shared_ptr<PendingLookup>& lookup) noexcept {
  lookup->answer.ask(lookup->node, lookup->service, 0);
  lookup->done.store(true, std::memory_order_release);
  const std::uint64_t one = 1;
  while (::write(lookup->done_fd, &one, sizeof one) < 0 && errno == EINTR) {
  }
}

}  // namespace

wire::Result<std::vector<SocketAddress>, IoError> resolve(std::string_view host,
                                                          std::string_view port) {
  QUIB_CHECK(check_resolvable(host, port));
  Answer answer;
  answer.ask(strip_brackets(host), std::string(port), 0);
  return addresses_of(answer.rc, answer.error, answer.list);
}

wire::Result<std::vector<SocketAddress>, IoError> resolve_within(std::string_view host,
                                                                 std::string_view port,
                                                                 const Waits* waits,
                                                                 std::optional<TimePoint> end) {
  QUIB_CHECK(check_resolvable(host, port));
  if (waits && waits->was_interrupted()) return wire::err(interrupted_error(waits->interrupted()));
  const std::string node = strip_brackets(host);
  const std::string service(port);
  {
    // An address literal needs no resolver: answered at once, here.
    Answer literal;
    literal.ask(node, service, AI_NUMERICHOST);
    if (literal.rc != EAI_NONAME) return addresses_of(literal.rc, literal.error, literal.list);
  }
  if (!waits && !end) return resolve(host, port);

  auto lookup = std::make_shared<PendingLookup>();
  lookup->node = node;
  lookup->service = service;
  lookup->done_fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (lookup->done_fd < 0) return wire::err(last_error());
  try {
    std::thread([lookup] { run_lookup(lookup); }).detach();
  } catch (const std::system_error& e) {
    return wire::err(IoError::from_errno(e.code().value()));
  }
  auto answered = wait_ready(lookup->done_fd, POLLIN, waits, end);
  if (!answered) {
    IoError e = std::move(answered).error();
    if (e.kind == IoError::TimedOut) e.text = fmt::format("{}{} timed out", kResolving, host);
    return wire::err(std::move(e));
  }
  if (!lookup->done.load(std::memory_order_acquire)) {
    // Only the descriptor's own failure can wake the wait early.
    return wire::err(IoError::custom(IoError::Other, "the resolver's answer went missing"));
  }
  const Answer& answer = lookup->answer;
  return addresses_of(answer.rc, answer.error, answer.list);
}

// --- Socket

Socket& Socket::operator=(Socket&& other) noexcept {
  if (this != &other) {
    close();
    fd_ = other.release();
    waits_ = std::move(other.waits_);
    wait_limit_ = std::exchange(other.wait_limit_, std::nullopt);
  }
  return *this;
}

void Socket::close() {
  if (fd_ >= 0) {
    // close() is not retried on EINTR: the descriptor is released either way.
    ::close(fd_);
    fd_ = -1;
  }
}

wire::Status<IoError> Socket::set_read_timeout(std::optional<Duration> timeout) const {
  return set_timeout_option(fd_, SO_RCVTIMEO, timeout);
}

wire::Status<IoError> Socket::set_write_timeout(std::optional<Duration> timeout) const {
  return set_timeout_option(fd_, SO_SNDTIMEO, timeout);
}

wire::Status<IoError> Socket::set_nodelay(bool on) const {
  const int value = on ? 1 : 0;
  if (::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &value, sizeof value) != 0) {
    return wire::err(last_error());
  }
  return wire::ok_unit;
}

wire::Status<IoError> Socket::set_wait_limit(std::optional<Duration> limit) {
  if (limit && limit->count() <= 0) {
    return wire::err(
        IoError::custom(IoError::InvalidInput, "cannot set a zero or negative wait limit"));
  }
  wait_limit_ = limit;
  return wire::ok_unit;
}

wire::Status<IoError> Socket::send_all(wire::ByteView data) const { return send_all(data, {}); }

wire::Status<IoError> Socket::send_all(wire::ByteView head, wire::ByteView data) const {
  const Waits* waits = waits_.get();
  // Nothing goes out once the operation has been broken off or its time is
  // up: a request that was cancelled before it left is never sent.
  if (waits && waits->was_interrupted()) return wire::err(interrupted_error(waits->interrupted()));
  if (waits && waits->past_deadline()) return wire::err(timed_out_error());
  const int flags = polled() ? MSG_NOSIGNAL | MSG_DONTWAIT : MSG_NOSIGNAL;
  // The pieces still to write; the first one shrinks from the front as the
  // socket takes bytes.
  iovec pieces[2];
  int count = 0;
  for (wire::ByteView piece : {head, data}) {
    if (piece.empty()) continue;
    pieces[count].iov_base = const_cast<std::uint8_t*>(piece.data());
    pieces[count].iov_len = piece.size();
    ++count;
  }
  iovec* next = pieces;
  while (count > 0) {
    msghdr message{};
    message.msg_iov = next;
    message.msg_iovlen = static_cast<std::size_t>(count);
    const ssize_t n = ::sendmsg(fd_, &message, flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      if (polled() && (errno == EAGAIN || errno == EWOULDBLOCK)) {
        // The fixed limit counts from the last progress; a deadline is
        // absolute.
        QUIB_CHECK(wait_ready(fd_, POLLOUT, waits, end_of_step(waits, wait_limit_)));
        continue;
      }
      return wire::err(transfer_error(errno));
    }
    if (n == 0) {
      return wire::err(IoError::custom(IoError::WriteZero, "failed to write whole buffer"));
    }
    auto taken = static_cast<std::size_t>(n);
    while (count > 0 && taken >= next->iov_len) {
      taken -= next->iov_len;
      ++next;
      --count;
    }
    if (count > 0) {
      next->iov_base = static_cast<std::uint8_t*>(next->iov_base) + taken;
      next->iov_len -= taken;
    }
  }
  return wire::ok_unit;
}

wire::Result<std::size_t, IoError> Socket::receive_some(std::span<std::uint8_t> buffer) const {
  const Waits* waits = waits_.get();
  const int flags = polled() ? MSG_DONTWAIT : 0;
  std::optional<TimePoint> end;
  bool end_known = false;
  for (;;) {
    if (waits && waits->was_interrupted()) {
      return wire::err(interrupted_error(waits->interrupted()));
    }
    const ssize_t n = ::recv(fd_, buffer.data(), buffer.size(), flags);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno == EINTR) continue;
    if (polled() && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (!end_known) {
        end = end_of_step(waits, wait_limit_);
        end_known = true;
      }
      QUIB_CHECK(wait_ready(fd_, POLLIN, waits, end));
      continue;
    }
    return wire::err(transfer_error(errno));
  }
}

wire::Result<Socket, IoError> Socket::duplicate() const {
  const int fd = ::fcntl(fd_, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return wire::err(last_error());
  return Socket(fd);
}

wire::Result<SocketAddress, IoError> Socket::local_address() const {
  SocketAddress a;
  a.length = sizeof a.storage;
  if (::getsockname(fd_, reinterpret_cast<sockaddr*>(&a.storage), &a.length) != 0) {
    return wire::err(last_error());
  }
  return a;
}

wire::Result<SocketAddress, IoError> Socket::peer_address() const {
  SocketAddress a;
  a.length = sizeof a.storage;
  if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&a.storage), &a.length) != 0) {
    return wire::err(last_error());
  }
  return a;
}

wire::Status<IoError> Socket::shutdown_both() const {
  if (::shutdown(fd_, SHUT_RDWR) != 0) return wire::err(last_error());
  return wire::ok_unit;
}

wire::Result<Socket, IoError> connect_tcp(const SocketAddress& address, Duration limit,
                                          const Waits* waits) {
  if (limit.count() <= 0) {
    return wire::err(IoError::custom(IoError::InvalidInput,
                                     "cannot connect with a zero or negative time limit"));
  }
  if (waits && waits->was_interrupted()) return wire::err(interrupted_error(waits->interrupted()));
  const std::optional<TimePoint> end = end_of_step(waits, limit);
  Socket s(::socket(address.family(), SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP));
  if (!s.valid()) return wire::err(last_error());

  const int flags = ::fcntl(s.fd(), F_GETFL);
  if (flags < 0 || ::fcntl(s.fd(), F_SETFL, flags | O_NONBLOCK) != 0) {
    return wire::err(last_error());
  }
  int rc = ::connect(s.fd(), reinterpret_cast<const sockaddr*>(&address.storage), address.length);
  if (rc != 0) {
    if (errno != EINPROGRESS && errno != EINTR) return wire::err(last_error());
    // The connect goes on in the background (also after EINTR): wait until
    // the socket is writable, then read the outcome.
    auto ready = wait_ready(s.fd(), POLLOUT, waits, end);
    if (!ready) {
      IoError e = std::move(ready).error();
      if (e.kind == IoError::TimedOut) e.text = "connection timed out";
      return wire::err(std::move(e));
    }
    int so_error = 0;
    socklen_t len = sizeof so_error;
    if (::getsockopt(s.fd(), SOL_SOCKET, SO_ERROR, &so_error, &len) != 0) {
      return wire::err(last_error());
    }
    if (so_error != 0) return wire::err(IoError::from_errno(so_error));
    // Writable without an error, yet not connected: the attempt was refused.
    if (!s.peer_address()) return wire::err(IoError::from_errno(ECONNREFUSED));
  }
  if (::fcntl(s.fd(), F_SETFL, flags & ~O_NONBLOCK) != 0) return wire::err(last_error());
  return s;
}

wire::Result<Socket, IoError> connect_host(std::string_view host, std::string_view port,
                                           Duration limit, const Waits* waits) {
  QUIB_TRY(std::vector<SocketAddress> addresses,
           resolve_within(host, port, waits, end_of_step(waits, limit)));
  if (addresses.empty()) {
    return wire::err(
        IoError::custom(IoError::NotFound, fmt::format("cannot resolve {}:{}", host, port)));
  }
  auto connected = connect_tcp(addresses.front(), limit, waits);
  if (!connected) return wire::err(connect_error(host, port, std::move(connected).error()));
  return connected;
}

std::optional<std::string> udp_local_ip(std::string_view bind_ip, std::string_view target_ip,
                                        std::uint16_t target_port) {
  auto bind_to = resolve(bind_ip, "0");
  auto target = resolve(target_ip, std::to_string(target_port));
  if (!bind_to || !target || bind_to->empty() || target->empty()) return std::nullopt;
  const SocketAddress& local = bind_to->front();
  const SocketAddress& remote = target->front();
  Socket s(::socket(local.family(), SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP));
  if (!s.valid()) return std::nullopt;
  if (::bind(s.fd(), reinterpret_cast<const sockaddr*>(&local.storage), local.length) != 0) {
    return std::nullopt;
  }
  // connect() on a UDP socket only picks the route and the local address;
  // nothing is sent.
  for (;;) {
    if (::connect(s.fd(), reinterpret_cast<const sockaddr*>(&remote.storage), remote.length) == 0) {
      break;
    }
    if (errno == EINTR) continue;
    return std::nullopt;
  }
  auto addr = s.local_address();
  if (!addr) return std::nullopt;
  std::string text = addr->ip_text();
  if (text.empty()) return std::nullopt;
  return text;
}

}  // namespace quib::proto

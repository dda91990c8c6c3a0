// The SNC context exchange as an initiator, over an NI transport whose peer
// sends the input (after its first byte) and a GSS-API stand-in that
// finishes after as many rounds as the first byte says. The loop never
// crashes, never runs more rounds than it permits, hands the initiator an
// acceptor token at every step but the first, and installs a channel
// exactly when the context is complete.
#include <sys/socket.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <vector>

#include "fuzz/check.hpp"
#include "proto/session/setup.hpp"
#include "proto/transport/ni_transport.hpp"
#include "snc/frame.hpp"

using namespace quib;
using fuzz::check;

namespace {

class NullChannel final : public proto::SncChannel {
 public:
  wire::Result<wire::Bytes, snc::SncError> wrap_message(wire::ByteView plain) override {
    return wire::Bytes(plain.begin(), plain.end());
  }
  wire::Result<wire::Bytes, snc::SncError> unwrap_message(wire::ByteView wrapped) override {
    return wire::Bytes(wrapped.begin(), wrapped.end());
  }
};

class ScriptedInitiator final : public proto::SncInitiator {
 public:
  explicit ScriptedInitiator(unsigned rounds) : rounds_(rounds) {}

  wire::Result<Step, snc::SncError> init_sec_context_step(
      std::optional<wire::ByteView> input) override {
    // Only the first step comes without a token from the acceptor.
    check(input.has_value() == (steps > 0));
    if (input) inputs.emplace_back(input->begin(), input->end());
    ++steps;
    Step s;
    s.complete = steps >= rounds_;
    s.token = wire::Bytes{0x60, static_cast<std::uint8_t>(steps)};
    return s;
  }
  wire::Result<wire::Bytes, snc::SncError> export_name() override {
    return wire::Bytes{0x04, 0x01, 0x00, 0x00};
  }
  std::unique_ptr<proto::SncChannel> into_channel() override {
    check(steps >= rounds_);
    return std::make_unique<NullChannel>();
  }

  unsigned steps = 0;
  std::vector<wire::Bytes> inputs;

 private:
  unsigned rounds_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  int fds[2];
  if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  proto::Socket peer(fds[1]);
  // The peer's bytes wait in the socket; the peer then closes its side, so
  // that every read past them ends.
  const std::size_t body = size - 1;
  if (body > 0 && ::send(fds[1], data + 1, body, MSG_NOSIGNAL) != static_cast<ssize_t>(body))
    return 0;
  ::shutdown(fds[1], SHUT_WR);
  proto::Socket socket(fds[0]);
  (void)socket.set_read_timeout(std::chrono::milliseconds(200));
  proto::NiTransport transport(std::move(socket));

  ScriptedInitiator initiator(data[0] % 6 + 1);
  auto r = proto::snc_handshake(transport, initiator);
  check(initiator.steps <= proto::kMaxSncExchanges);
  check(initiator.inputs.size() + 1 >= initiator.steps);
  check(r.ok() == transport.snc_active());
  if (r.ok()) check(initiator.steps == data[0] % 6 + 1u);
  return 0;
}

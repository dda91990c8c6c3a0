// The NI transport's receive path over a socket pair: the first input byte
// switches a stand-in SNC context on, the rest is what the peer sends.
// Every record either comes back with a kind that matches its request byte
// and no more data than arrived, or the receive fails with an error of the
// transport's kinds; the stream always ends in an error.
#include <sys/socket.h>

#include <cstdlib>

#include "proto/transport/ni_transport.hpp"

using namespace quib;

namespace {

// Unwrapping strips a 4-byte seal; shorter tokens fail like a GSS-API error.
class SealChannel : public proto::SncChannel {
 public:
  wire::Result<wire::Bytes, snc::SncError> wrap_message(wire::ByteView p) override {
    wire::Bytes out(p.begin(), p.end());
    wire::append_bytes(out, std::string_view("SEAL"));
    return out;
  }
  wire::Result<wire::Bytes, snc::SncError> unwrap_message(wire::ByteView w) override {
    if (w.size() < 4) return wire::err(snc::SncError::gss_failure("gss_unwrap", 13, 0, ""));
    return wire::Bytes(w.begin(), w.end() - 4);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // The whole input must fit the socket buffer, as nobody reads concurrently.
  if (size == 0 || size > 60000) return 0;
  int fds[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) return 0;
  proto::NiTransport transport{proto::Socket(fds[0])};
  proto::Socket peer(fds[1]);
  if (data[0] & 1) transport.install_snc(std::make_unique<SealChannel>());
  if (!peer.send_all(wire::ByteView(data + 1, size - 1)).ok()) return 0;
  peer.close();

  for (int records = 0;; ++records) {
    if (records > static_cast<int>(size)) std::abort();  // every record consumes input
    auto r = transport.receive(proto::kStepFunctionCall);
    if (!r.ok()) {
      using K = proto::ProtocolError::Kind;
      const K k = r.error().kind();
      if (k != K::ClosedByPeer && k != K::Appc && k != K::Ni && k != K::Snc) std::abort();
      break;
    }
    if (r->data.size() + 84 > size) std::abort();
  }
  return 0;
}

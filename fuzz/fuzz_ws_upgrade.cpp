// The upgrade-response check on any head: it never crashes, and a head
// passes only when it carries the accept value of the key.
#include <cstdlib>
#include <string>

#include "wire/ws.hpp"

using namespace quib::wire;

namespace {
constexpr char kKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string head(reinterpret_cast<const char*>(data), size);
  auto r = check_upgrade_response(head, kKey);
  if (r.ok()) {
    if (head.find(websocket_accept(kKey)) == std::string::npos) std::abort();
    if (head.find("101") == std::string::npos) std::abort();
  } else if (!(r.error() == WsError::upgrade_refused())) {
    std::abort();
  }
  // The same head with the right status line and accept header appended passes.
  const std::string fixed =
      "HTTP/1.1 101 OK\r\n" + head + "\r\nSec-WebSocket-Accept: " + websocket_accept(kKey);
  if (!check_upgrade_response(fixed, kKey).ok()) std::abort();

  // The request builder refuses what would break the head, accepts the rest.
  auto req = build_upgrade_request("/p", "h:1", kWsRfcSubprotocol, head, "EN", kKey);
  bool control = false;
  for (unsigned char c : head) control |= c < 0x20 || c == 0x7F;
  if (req.ok() == control) std::abort();
  return 0;
}

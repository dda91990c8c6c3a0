// The WebSocket RFC transport's readers: the upgrade response head and the
// receive path, over a peer whose bytes are the input (after a first byte
// that picks how many bytes each read returns). Neither crashes, and both
// come to the same result, the same messages, pongs and final error,
// whether the bytes arrive a few at a time or as many as a read takes.
#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzz/check.hpp"
#include "proto/transport/ws_transport.hpp"

using namespace quib;
using fuzz::check;

namespace {

// A peer that hands out its bytes at most `step` at a time, then 0.
proto::WsReadSome peer(wire::ByteView bytes, std::size_t step, std::size_t& at) {
  return
      [bytes, step, &at](std::span<std::uint8_t> out) -> wire::Result<std::size_t, proto::IoError> {
        const std::size_t n = std::min({step, out.size(), bytes.size() - at});
        std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(at), n, out.begin());
        at += n;
        return n;
      };
}

std::string head_outcome(wire::ByteView bytes, std::size_t step) {
  std::size_t at = 0;
  auto head = proto::read_upgrade_head(peer(bytes, step, at));
  if (!head) return "error " + head.error().message();
  // What followed the head: the part read with it, then what was not read.
  std::string after(head->rest.begin(), head->rest.end());
  after.append(bytes.begin() + static_cast<std::ptrdiff_t>(at), bytes.end());
  const auto end = proto::find_head_end(bytes);
  check(end.has_value() && *end + 4 + after.size() == bytes.size());
  return "head " + head->text + "|" + after;
}

struct Events {
  std::vector<wire::Bytes> messages;
  std::vector<wire::Bytes> pongs;
  std::string end;
  friend bool operator==(const Events&, const Events&) = default;
};

Events receive_all(wire::ByteView bytes, std::size_t step) {
  constexpr std::uint64_t kBudget = 1 << 16;
  Events e;
  std::size_t at = 0;
  const proto::WsReadSome read = peer(bytes, step, at);
  const proto::WsSendPong pong = [&](wire::ByteView payload) -> proto::ProtoStatus {
    e.pongs.emplace_back(payload.begin(), payload.end());
    return wire::ok_unit;
  };
  wire::WsPartialMessage partial;
  partial.budget = kBudget;
  wire::WsReceiveBuffer buffer;
  for (;;) {
    auto r = proto::receive_ws_message(partial, buffer, read, pong);
    if (!r) {
      e.end = r.error().message();
      return e;
    }
    check(r->data.size() <= kBudget);
    e.messages.push_back(std::move(r->data));
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t step = data[0] % 64 + 1;
  const wire::ByteView bytes(data + 1, size - 1);
  if (bytes.size() <= proto::kWsHeadLimit)
    check(head_outcome(bytes, step) == head_outcome(bytes, proto::kWsHeadReadSize));
  check(receive_all(bytes, step) == receive_all(bytes, proto::kWsReadSize));
  return 0;
}

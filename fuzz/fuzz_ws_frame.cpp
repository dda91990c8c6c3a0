// WebSocket frames and message joining. The input is a small budget byte and
// a byte stream. Joining the stream in one buffer and byte-wise growing
// buffers must agree; every frame read back after writing is unchanged.
#include <cstdlib>
#include <vector>

#include "wire/ws.hpp"

using namespace quib::wire;

namespace {

struct Event {
  int what;  // 0 message, 1 control, 2 error
  Bytes bytes;
  std::uint8_t opcode = 0;
  friend bool operator==(const Event&, const Event&) = default;
};

// Runs the joiner over the stream, offered `step` more bytes at a time.
std::vector<Event> run(ByteView stream, std::uint64_t budget, std::size_t step) {
  std::vector<Event> events;
  WsPartialMessage state;
  state.budget = budget;
  WsReceiveBuffer buf;
  std::size_t fed = 0;
  for (;;) {
    auto r = next_ws_message(state, buf.view());
    if (!r.ok()) {
      events.push_back({2, {}, static_cast<std::uint8_t>(r.error().kind)});
      return events;
    }
    if (r->used > buf.size()) std::abort();
    if (r->what == WsStep::Message) {
      if (r->message.size() > budget) std::abort();
      events.push_back({0, r->message, 0});
    } else if (r->what == WsStep::Control) {
      if (r->frame.size != r->used || r->frame.payload.size() > budget) std::abort();
      events.push_back({1, r->frame.payload, r->frame.opcode});
    }
    if (state.joined.size() > budget) std::abort();
    buf.consume(r->used);
    if (r->what == WsStep::NeedMore && r->used == 0) {
      if (fed == stream.size()) return events;
      const std::size_t n = std::min(step, stream.size() - fed);
      buf.push(stream.subspan(fed, n));
      fed += n;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint64_t budget = 1 + data[0] * 64;
  const ByteView stream(data + 1, size - 1);

  const auto whole = run(stream, budget, stream.size() + 1);
  if (run(stream, budget, 1) != whole) std::abort();
  if (run(stream, budget, 7) != whole) std::abort();

  // A single frame read, rewritten with and without a mask, reads back the same.
  auto f = read_ws_frame(stream, budget);
  if (f.ok() && *f) {
    const WsFrame& fr = **f;
    if (fr.size > stream.size()) std::abort();
    for (int masked = 0; masked < 2; ++masked) {
      Bytes out;
      std::optional<WsMaskKey> key;
      if (masked) key = WsMaskKey{data[0], 0x5A, 0xA5, 0x01};
      write_ws_frame(fr.kind, fr.fin, fr.payload, key, out);
      auto back = read_ws_frame(out, budget);
      if (!back.ok() || !*back) std::abort();
      if ((*back)->payload != fr.payload || (*back)->opcode != fr.opcode ||
          (*back)->fin != fr.fin || (*back)->size != out.size())
        std::abort();
    }
  }
  return 0;
}

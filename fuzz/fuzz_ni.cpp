// NI frame cutting: the input is a split plan (its first byte says how many
// plan bytes follow) and a byte stream. Pushing the stream in the planned
// pieces must give exactly the frames (or the error) of pushing it whole.
#include <cstdlib>
#include <vector>

#include "wire/ni.hpp"

using namespace quib::wire;

namespace {

constexpr std::uint64_t kLimit = 1 << 16;  // small, so oversized frames are common

struct Outcome {
  std::vector<Bytes> frames;
  bool failed = false;
  NiError error;
};

// Takes every complete frame; stops at an error, which must then repeat.
bool drain(NiFrameReader& r, Outcome& out) {
  for (;;) {
    auto f = r.next_ni_frame();
    if (!f.ok()) {
      auto again = r.next_ni_frame();
      if (again.ok() || !(again.error() == f.error())) std::abort();
      if (f.error().declared <= kLimit) std::abort();
      out.failed = true;
      out.error = f.error();
      return false;
    }
    if (!*f) return true;
    if ((*f)->size() > kLimit) std::abort();
    out.frames.emplace_back((*f)->begin(), (*f)->end());
    if (r.consumed() > r.filled()) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t plan_len = std::min<std::size_t>(data[0], size - 1);
  const ByteView plan(data + 1, plan_len);
  const ByteView stream(data + 1 + plan_len, size - 1 - plan_len);

  Outcome whole;
  {
    NiFrameReader r(kLimit);
    r.push(stream);
    drain(r, whole);
  }

  Outcome split;
  {
    NiFrameReader r(kLimit);
    std::size_t pos = 0, step = 0;
    bool going = true;
    while (going && pos < stream.size()) {
      std::size_t n = plan.empty() ? 1 : plan[step++ % plan.size()];
      if (n == 0) n = 1;
      n = std::min(n, stream.size() - pos);
      r.push(stream.subspan(pos, n));
      pos += n;
      going = drain(r, split);
    }
  }

  if (whole.frames != split.frames || whole.failed != split.failed) std::abort();
  if (whole.failed && !(whole.error == split.error)) std::abort();

  // Written back, the frames are the leading bytes of the stream.
  Bytes rewritten;
  for (const Bytes& f : whole.frames) {
    if (!write_ni_frame(f, rewritten).ok()) std::abort();
  }
  if (rewritten.size() > stream.size() ||
      !std::equal(rewritten.begin(), rewritten.end(), stream.begin())) {
    std::abort();
  }
  return 0;
}

// SNC frames: parsing never reads past the input and gives a token inside
// it; a frame rewritten from the parsed kind and token parses the same.
#include <cstdlib>

#include "snc/frame.hpp"

using namespace quib::snc;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto p = parse_snc_frame(in);
  if (!p.ok()) {
    (void)p.error().message();
    return 0;
  }
  const SncFrame& f = *p;
  if (f.token.data() < data || f.token.data() + f.token.size() > data + size) std::abort();
  (void)f.kind.debug();

  const Bytes ann(in.begin(), in.begin() + std::min<std::size_t>(size, 300));
  for (int with_ann = 0; with_ann < 2; ++with_ann) {
    auto w =
        write_snc_frame(f.kind, with_ann ? std::optional<ByteView>(ann) : std::nullopt, f.token);
    if (!w.ok()) std::abort();
    auto back = parse_snc_frame(*w);
    if (!back.ok() || !(back->kind == f.kind)) std::abort();
    if (!std::equal(back->token.begin(), back->token.end(), f.token.begin(), f.token.end()))
      std::abort();
  }
  return 0;
}

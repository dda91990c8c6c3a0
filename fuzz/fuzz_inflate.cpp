// Raw DEFLATE decoding agrees with zlib: whatever zlib (raw, windowBits
// -15) inflates within the limit, ours inflates to the same bytes; when
// both succeed the outputs are equal; ours never passes its limit, nor
// the expansion budget it is given.
#include <algorithm>
#include <cstdlib>
#include <span>

#include "tests/support/zlib_oracle.hpp"
#include "wire/deflate.hpp"

using namespace quib::wire;

namespace {

constexpr std::size_t kLimit = 1u << 20;

// zlib's output (in a buffer kept between runs), or false when it fails or
// would pass the limit.
bool zlib_inflate(ByteView in, ByteView& out) {
  static std::uint8_t* const buf = new std::uint8_t[kLimit + 1];
  const auto n = quib::test::zlib_inflate_into(in, std::span<std::uint8_t>(buf, kLimit + 1));
  out = ByteView(buf, n.value_or(0));
  return n && *n <= kLimit;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto ours = inflate_raw(in, kLimit);
  if (ours.ok() && ours->size() > kLimit) std::abort();
  ByteView theirs;
  const bool zlib_ok = zlib_inflate(in, theirs);
  if (zlib_ok) {
    if (!ours.ok()) std::abort();
    if (!std::equal(ours->begin(), ours->end(), theirs.begin(), theirs.end())) std::abort();
  }
  // A smaller limit either gives the same bytes or refuses with that limit.
  if (ours.ok() && !ours->empty()) {
    const std::uint64_t cut = ours->size() - 1;
    auto limited = inflate_raw(in, cut);
    if (limited.ok() || !(limited.error() == DecompressError::output_overflow(cut))) std::abort();
    // A budget of one byte less refuses the same way and counts as
    // exhausted; one of exactly the output takes all of it.
    ExpansionBudget short_by_one(cut);
    auto refused = inflate_raw(in, kLimit, short_by_one);
    if (refused.ok() || !(refused.error() == DecompressError::output_overflow(cut)) ||
        !short_by_one.exhausted())
      std::abort();
    ExpansionBudget exact(ours->size());
    auto same = inflate_raw(in, kLimit, exact);
    if (!same.ok() || same.value() != ours.value() || exact.left() != 0) std::abort();
  }
  return 0;
}

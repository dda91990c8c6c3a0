// Length arithmetic on numbers the peer chose: sums and products that stop
// at 2^64 - 1 instead of wrapping, so a limit compared afterwards still
// holds.
#pragma once

#include <cstdint>
#include <limits>

namespace quib::wire {

inline constexpr std::uint64_t kU64Max = std::numeric_limits<std::uint64_t>::max();

inline std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  std::uint64_t s = 0;
  return __builtin_add_overflow(a, b, &s) ? kU64Max : s;
}

inline std::uint64_t saturating_mul(std::uint64_t a, std::uint64_t b) {
  std::uint64_t p = 0;
  return __builtin_mul_overflow(a, b, &p) ? kU64Max : p;
}

}  // namespace quib::wire

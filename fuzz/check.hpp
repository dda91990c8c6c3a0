// The property check of the fuzz targets: a property that does not hold
// stops the run with abort(), which libFuzzer reports as a crash and keeps
// the input that caused it.
#pragma once

#include <cstdlib>

namespace quib::fuzz {

inline void check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace quib::fuzz

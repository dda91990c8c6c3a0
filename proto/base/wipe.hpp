// A guard that wipes a buffer when its scope ends, however it ends: the
// buffers it guards hold secrets in clear or lightly scrambled (router
// passwords, the logon's password), and a freed buffer must not keep them.
#pragma once

#include "wire/bytes.hpp"

namespace quib::proto {

class WipeOnExit {
 public:
  explicit WipeOnExit(wire::Bytes& b) : b_(b) {}
  ~WipeOnExit() { wire::secure_wipe(b_); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;

 private:
  wire::Bytes& b_;
};

}  // namespace quib::proto

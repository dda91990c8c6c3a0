#include "proto/net/fork.hpp"

#include <pthread.h>

#include <atomic>

namespace quib::proto {

namespace {

std::atomic<std::uint64_t> forks{0};

// Runs in the child, where only async-signal-safe work is allowed: one
// lock-free increment.
void count_fork_in_child() { forks.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

std::uint64_t fork_generation() noexcept {
  // Registered before the first stamp can exist, so no fork after it goes
  // uncounted.
  static const bool registered = ::pthread_atfork(nullptr, nullptr, count_fork_in_child) == 0;
  (void)registered;
  return forks.load(std::memory_order_relaxed);
}

}  // namespace quib::proto

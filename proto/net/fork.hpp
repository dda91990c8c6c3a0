// How an object tells that it was inherited through fork().
//
// A child of fork() gets a copy of the parent's memory: every object, every
// descriptor, and every lock in the state it had at that moment, including
// locks held by threads that do not exist in the child. An object that owns
// sockets or locks stamps itself with the fork generation when it is made;
// in a child the generation has moved on, and the object leaves what it
// inherited to the parent: it never writes to the parent's sockets and never
// waits for the parent's locks, it closes its copies of the descriptors and
// starts afresh (or refuses to be used).
#pragma once

#include <cstdint>

namespace quib::proto {

// The number of fork()s between the first call of this function and now on
// this process's line of descent: 0 in the process that first asked, one
// more in each child. Counted by an at-fork handler, so a fork made by any
// code of the process (Python's os.fork(), multiprocessing) counts.
std::uint64_t fork_generation() noexcept;

// The generation an object was made (or renewed) in.
class ForkStamp {
 public:
  ForkStamp() noexcept : generation_(fork_generation()) {}

  // True in a child forked after the stamp was made: what the object holds
  // belongs to the parent.
  bool inherited() const noexcept { return generation_ != fork_generation(); }
  // Once the object has left its inherited state behind.
  void renew() noexcept { generation_ = fork_generation(); }

 private:
  std::uint64_t generation_;
};

}  // namespace quib::proto

// The allocations a piece of code makes, seen through a replacement of the
// global operator new. Include this header in one source file of a test
// executable only: it defines the replacement.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <new>

namespace quib::test {

// What the watched thread allocated while an AllocWatch lived.
struct AllocStats {
  std::size_t count = 0;    // allocations
  std::size_t largest = 0;  // bytes of the largest one
  std::size_t big = 0;      // allocations of at least kBig bytes
  static constexpr std::size_t kBig = 64u << 10;
};

inline thread_local AllocStats* t_watched = nullptr;

// Records the calling thread's allocations from construction to
// destruction (other threads' are not counted).
class AllocWatch {
 public:
  AllocWatch() { t_watched = &stats_; }
  ~AllocWatch() { t_watched = nullptr; }
  AllocWatch(const AllocWatch&) = delete;
  AllocWatch& operator=(const AllocWatch&) = delete;
  const AllocStats& stats() const { return stats_; }

 private:
  AllocStats stats_;
};

}  // namespace quib::test

// Kept out of line: the replacement pairs malloc with free, which the
// compiler's new/delete pairing checks would otherwise see through.
__attribute__((noinline)) void* operator new(std::size_t n) {
  if (quib::test::AllocStats* s = quib::test::t_watched) {
    ++s->count;
    if (n > s->largest) s->largest = n;
    if (n >= quib::test::AllocStats::kBig) ++s->big;
  }
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
__attribute__((noinline)) void* operator new[](std::size_t n) { return operator new(n); }
__attribute__((noinline)) void operator delete(void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p) noexcept { std::free(p); }
__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

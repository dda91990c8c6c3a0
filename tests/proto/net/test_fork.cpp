// What a child of fork() inherits: the fork generation tells inherited
// objects apart, inherited waits never hand the parent's wake-up
// descriptor to the child's own operations, and the process-wide metadata
// cache is free in the child even when other threads used it at the fork.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "proto/metadata/describe.hpp"
#include "proto/net/fork.hpp"
#include "proto/net/waits.hpp"
#include "proto/session/metadata_cache.hpp"

namespace quib::proto {
namespace {

using namespace std::chrono_literals;

// Runs `child` in a forked child, which exits with its result (0: passed);
// the child's exit status, or -1 when it did not end within `patience`
// (it is killed then).
int in_child(const std::function<int()>& child, std::chrono::milliseconds patience = 10s) {
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(child());
  if (pid < 0) return -2;
  const auto end = std::chrono::steady_clock::now() + patience;
  int status = 0;
  while (::waitpid(pid, &status, WNOHANG) == 0) {
    if (std::chrono::steady_clock::now() >= end) {
      ::kill(pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return -1;
    }
    std::this_thread::sleep_for(5ms);
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -3;
}

TEST(Fork, AStampTellsTheChildItsObjectsAreInherited) {
  const std::uint64_t before = fork_generation();
  ForkStamp stamp;
  EXPECT_FALSE(stamp.inherited());
  EXPECT_EQ(in_child([&] {
              if (fork_generation() != before + 1 || !stamp.inherited()) return 1;
              stamp.renew();
              ForkStamp fresh;
              return stamp.inherited() || fresh.inherited() ? 2 : 0;
            }),
            0);
  // The parent's count and stamps are untouched.
  EXPECT_EQ(fork_generation(), before);
  EXPECT_FALSE(stamp.inherited());
}

TEST(Fork, InheritedWaitsNeverLendTheParentsWakeUpToTheChild) {
  // The parent keeps its waits (and their descriptor). The child drops
  // its copy and starts an operation of its own, which it interrupts:
  // were the dropped descriptor kept for the child's next operation, the
  // child's interruption would raise the parent's descriptor.
  auto parent = Waits::interruptible(std::nullopt);
  ASSERT_TRUE(parent);
  std::shared_ptr<Waits> waits = std::move(parent).value();
  ASSERT_EQ(in_child([&] {
              waits.reset();
              auto own = Waits::interruptible(std::nullopt);
              if (!own) return 1;
              own.value()->interrupt(Interruption::Cancelled);
              // Gone before its waits end (and read their descriptor back).
              ::_exit(0);
            }),
            0);
  pollfd p{waits->wake_fd(), POLLIN, 0};
  EXPECT_EQ(::poll(&p, 1, 0), 0) << "the child raised the parent's wake-up descriptor";
  EXPECT_FALSE(waits->was_interrupted());
}

TEST(Fork, TheChildFindsTheProcessWideCacheFreeWhateverOtherThreadsDid) {
  // Threads that spend their time inside the cache's lock: a fork without
  // the cache's own at-fork handling lands in the middle of one of them
  // often, and the child would wait for a lock whose holder it has not
  // got.
  //
  // Every entry is in place before the threads start and the child only
  // replaces one with a value the parent keeps, so neither side allocates
  // at the fork: the lock under test is the cache's, not the allocator's
  // (a sanitizer's allocator has no fork handling of its own and could be
  // caught mid-call by the fork).
  std::shared_ptr<MetadataCache> cache = metadata_cache();
  const auto d = std::make_shared<FunctionDescription>();
  const auto child_description = std::make_shared<FunctionDescription>();
  std::vector<std::string> names;
  for (int i = 0; i < 64; ++i) {
    names.push_back("Z_FORK_" + std::to_string(i));
    cache->put_function_description("FORKSYS", names.back(), d);
    cache->put_element_decimals("FORKSYS", names.back(), 0);
  }
  cache->put_function_description("FORKSYS", "Z_CHILD", child_description);
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int t = 0; t < 3; ++t) {
    writers.emplace_back([&, t] {
      for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        const std::string& name = names[static_cast<std::size_t>((i + t) % 64)];
        cache->put_function_description("FORKSYS", name, d);
        (void)cache->get_function_description("FORKSYS", name);
        cache->put_element_decimals("FORKSYS", name, static_cast<std::uint32_t>(i));
      }
    });
  }
  int hung = 0;
  int failed = 0;
  for (int round = 0; round < 20; ++round) {
    const int status = in_child(
        [&] {
          cache->put_function_description("FORKSYS", "Z_CHILD", child_description);
          return cache->get_function_description("FORKSYS", "Z_CHILD") == child_description ? 0 : 1;
        },
        5s);
    if (status == -1) ++hung;
    if (status != 0) ++failed;
  }
  stop.store(true);
  for (auto& w : writers) w.join();
  EXPECT_EQ(hung, 0);
  EXPECT_EQ(failed, 0);
}

}  // namespace
}  // namespace quib::proto

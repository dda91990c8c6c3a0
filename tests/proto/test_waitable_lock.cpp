// The lock an operation waits for as one of its waits: a thread that finds
// it held waits until it is let go, until its deadline, until another
// thread interrupts its operation or until its periodic check refuses; the
// holder asking again is refused at once; and under contention it excludes
// and loses no release (ThreadSanitizer watches the counter it guards).
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "proto/net/waits.hpp"

namespace quib::proto {
namespace {

using namespace std::chrono_literals;

constexpr auto kFar = 20s;
constexpr auto kTolerance = 1500ms;

std::shared_ptr<Waits> interruptible(std::optional<TimePoint> deadline = std::nullopt,
                                     Waits::Check check = {}) {
  auto w = Waits::interruptible(deadline, std::move(check));
  EXPECT_TRUE(w) << w.error().message();
  return std::move(w).value();
}

struct LockCase {
  const char* name;
  // The waiter's waits; may start a thread that acts on them later.
  std::function<std::shared_ptr<Waits>(std::thread&)> arrange;
  std::optional<Duration> released_after;  // the holder lets go then (none: after the wait)
  bool gets_it;
  IoError::Kind kind;  // how the wait ends when it does not get the lock
  Interruption reason;
  Duration at_least;
  Duration at_most;  // plus the tolerance
};

TEST(WaitableLock, AWaitForTheHolderEndsAsItsOperationSays) {
  const LockCase cases[] = {
      {"the holder lets go", [](std::thread&) { return interruptible(Clock::now() + kFar); }, 100ms,
       true, IoError::Other, Interruption::None, 90ms, 100ms},
      {"the deadline passes first",
       [](std::thread&) { return interruptible(Clock::now() + 200ms); }, std::nullopt, false,
       IoError::TimedOut, Interruption::None, 190ms, 200ms},
      {"close() from another thread",
       [](std::thread& t) {
         auto w = interruptible(Clock::now() + kFar);
         t = std::thread([w] {
           std::this_thread::sleep_for(100ms);
           w->interrupt(Interruption::Closed);
         });
         return w;
       },
       std::nullopt, false, IoError::Interrupted, Interruption::Closed, 90ms, 100ms},
      {"the check refuses (a pending signal)",
       [](std::thread&) {
         auto runs = std::make_shared<int>(0);
         return interruptible(std::nullopt, [runs] { return ++*runs < 3; });
       },
       std::nullopt, false, IoError::Interrupted, Interruption::Aborted, 2 * kCheckSlice,
       3 * kCheckSlice},
  };
  for (const LockCase& c : cases) {
    SCOPED_TRACE(c.name);
    WaitableLock lock;
    ASSERT_TRUE(lock.try_lock());
    std::thread actor;
    auto waits = c.arrange(actor);
    wire::Status<IoError> got = wire::ok_unit;
    Duration took{};
    std::thread waiter([&] {
      EXPECT_FALSE(lock.try_lock());
      const auto start = Clock::now();
      got = lock.lock(waits.get(), waits->deadline());
      took = Clock::now() - start;
      if (got) {
        EXPECT_TRUE(lock.held_by_this_thread());
        lock.unlock();
      }
    });
    if (c.released_after) {
      std::this_thread::sleep_for(*c.released_after);
      lock.unlock();
    }
    waiter.join();
    if (actor.joinable()) actor.join();
    if (!c.released_after) lock.unlock();
    EXPECT_EQ(got.ok(), c.gets_it) << (got ? "" : got.error().message());
    if (!got) {
      EXPECT_EQ(got.error().kind, c.kind) << got.error().message();
      EXPECT_EQ(waits->interrupted(), c.reason);
    }
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most + kTolerance);
    // Whatever the wait did, the lock is free again.
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
  }
}

TEST(WaitableLock, TheHolderAskingAgainIsRefusedAtOnce) {
  WaitableLock lock;
  ASSERT_TRUE(lock.try_lock());
  EXPECT_TRUE(lock.held_by_this_thread());
  bool elsewhere = true;
  std::thread([&] { elsewhere = lock.held_by_this_thread(); }).join();
  EXPECT_FALSE(elsewhere);
  auto waits = interruptible(Clock::now() + kFar);
  const auto start = Clock::now();
  auto again = lock.lock(waits.get(), waits->deadline());
  EXPECT_LE(Clock::now() - start, kTolerance);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().os_code, EDEADLK);
  EXPECT_FALSE(lock.try_lock());
  lock.unlock();
  EXPECT_FALSE(lock.held_by_this_thread());
}

TEST(WaitableLock, ExcludesAndLosesNoReleaseUnderContention) {
  // Short holds by many threads, waiting and trying: a lost release would
  // leave a waiter asleep until its deadline, a hole in the exclusion
  // would lose increments (and is a data race on `counter` to
  // ThreadSanitizer).
  WaitableLock lock;
  long counter = 0;
  constexpr int kThreads = 6;
  constexpr int kRounds = 3000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto waits = interruptible(Clock::now() + kFar);
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 5 == 0 && lock.try_lock()) {
          ++counter;
          lock.unlock();
          continue;
        }
        if (!lock.lock(waits.get(), waits->deadline())) {
          ++failures;
          return;
        }
        ++counter;
        lock.unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

}  // namespace
}  // namespace quib::proto

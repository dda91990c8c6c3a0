// Throughput counters: saturation of the times, wrapping of the counts,
// snapshot split and concurrent updates. The counters as a call feeds them
// are checked end to end in test_call_e2e.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <vector>

#include "proto/base/throughput.hpp"

namespace quib::proto {
namespace {

using C = ThroughputCounters::Counter;
using namespace std::chrono_literals;

TEST(Throughput, FreshBlockSnapshotsToZeros) {
  auto t = ThroughputCounters::create();
  EXPECT_EQ(t->snapshot(), ThroughputSnapshot{});
  for (std::size_t i = 0; i < ThroughputCounters::kCount; ++i)
    EXPECT_EQ(t->get(static_cast<C>(i)), 0u) << ThroughputCounters::kNames[i];
}

TEST(Throughput, TimesSaturateCountsWrap) {
  ThroughputCounters t;
  t.set(C::replyWaitTime, UINT64_MAX - 10);
  t.add_time(C::replyWaitTime, 20ns);
  EXPECT_EQ(t.get(C::replyWaitTime), UINT64_MAX);
  t.add_time(C::replyWaitTime, 1ns);
  EXPECT_EQ(t.get(C::replyWaitTime), UINT64_MAX);

  t.set(C::sentBytes, UINT64_MAX - 10);
  t.add_sent_bytes(20);
  EXPECT_EQ(t.get(C::sentBytes), 9u);
}

TEST(Throughput, DurationsConvertToWholeNanosecondsSaturating) {
  struct Case {
    std::uint64_t expected;
    std::uint64_t got;
  };
  const Case cases[] = {
      {1'500'000'000u, ThroughputCounters::duration_to_nanos(1500ms)},
      {1'500'000'000u, ThroughputCounters::duration_to_nanos(std::chrono::duration<double>(1.5))},
      {0u, ThroughputCounters::duration_to_nanos(-5s)},
      {UINT64_MAX, ThroughputCounters::duration_to_nanos(std::chrono::hours(1'000'000'000))},
      {UINT64_MAX, ThroughputCounters::duration_to_nanos(std::chrono::duration<double>(1e300))},
      {2u, ThroughputCounters::duration_to_nanos(std::chrono::duration<double, std::nano>(2.9))},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.expected);

  ThroughputCounters t;
  t.add_time(C::totalTime, std::chrono::nanoseconds(-7));
  EXPECT_EQ(t.get(C::totalTime), 0u);
}

TEST(Throughput, SnapshotSplitsSecondsAndNanos) {
  ThroughputCounters t;
  t.add_time(C::serializationTime, 1500ms);
  t.add_calls(3);
  t.add_received_bytes(77);
  auto s = t.snapshot();
  EXPECT_EQ(s.serializationTime, (SecondsNanos{1, 500'000'000}));
  EXPECT_EQ(s.numberOfCalls, 3u);
  EXPECT_EQ(s.receivedBytes, 77u);
  EXPECT_EQ(s.totalTime, (SecondsNanos{0, 0}));
  EXPECT_EQ(s.applicationTime, (SecondsNanos{0, 0}));
  EXPECT_EQ(split_nanos(UINT64_MAX), (SecondsNanos{18446744073u, 709551615u}));
}

TEST(Throughput, ResetClearsEveryCounter) {
  ThroughputCounters t;
  for (std::size_t i = 0; i < ThroughputCounters::kCount; ++i) t.set(static_cast<C>(i), i + 1);
  t.reset();
  EXPECT_EQ(t.snapshot(), ThroughputSnapshot{});
}

TEST(Throughput, ConcurrentUpdatesAreNotLost) {
  ThroughputCounters t;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i)
    threads.emplace_back([&t] {
      for (int k = 0; k < 10000; ++k) {
        t.add_calls(1);
        t.add_time(C::networkWriteTime, 3ns);
      }
    });
  for (auto& th : threads) th.join();
  EXPECT_EQ(t.get(C::numberOfCalls), 40000u);
  EXPECT_EQ(t.get(C::networkWriteTime), 120000u);
}

TEST(Throughput, ScopedTimerAddsOnlyWhenABlockIsAttached) {
  ThroughputCounters t;
  {
    ScopedTimer timer(&t, C::deserializationTime);
    std::this_thread::sleep_for(1ms);
  }
  EXPECT_GT(t.get(C::deserializationTime), 0u);
  const auto before = t.get(C::deserializationTime);
  {
    ScopedTimer timer(&t, C::deserializationTime);
    timer.stop();
    const auto stopped = t.get(C::deserializationTime);
    std::this_thread::sleep_for(1ms);
    timer.stop();  // a second stop adds nothing
    EXPECT_EQ(t.get(C::deserializationTime), stopped);
  }
  EXPECT_GE(t.get(C::deserializationTime), before);
  ScopedTimer none(nullptr, C::totalTime);  // no block attached: nothing to touch
  none.stop();
}

}  // namespace
}  // namespace quib::proto

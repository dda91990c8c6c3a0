// Throughput counters: nine 64-bit counters of calls, bytes and the time spent
// in the phases of a call, shared by reference counting between a Python
// Throughput object and every connection it is attached to.
//
// Counts add atomically and wrap modulo 2^64; times are whole nanoseconds and
// add through a compare-and-swap loop that saturates at 2^64 - 1. Every update
// is one atomic operation on one counter, so a snapshot taken during a call
// may mix counts from before and after an update.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>

namespace quib::proto {

// A time counter as whole seconds and the remaining nanoseconds.
struct SecondsNanos {
  std::uint64_t seconds = 0;
  std::uint32_t nanos = 0;
  friend bool operator==(const SecondsNanos&, const SecondsNanos&) = default;
};

struct ThroughputSnapshot {
  std::uint64_t numberOfCalls = 0;
  std::uint64_t sentBytes = 0;
  std::uint64_t receivedBytes = 0;
  SecondsNanos totalTime;
  SecondsNanos serializationTime;
  SecondsNanos deserializationTime;
  SecondsNanos networkWriteTime;
  SecondsNanos replyWaitTime;
  SecondsNanos applicationTime;
  friend bool operator==(const ThroughputSnapshot&, const ThroughputSnapshot&) = default;
};

class ThroughputCounters {
 public:
  // The nine counters in their fixed order.
  enum class Counter : std::uint8_t {
    numberOfCalls,
    sentBytes,
    receivedBytes,
    totalTime,
    serializationTime,
    deserializationTime,
    networkWriteTime,
    replyWaitTime,
    applicationTime,
  };
  static constexpr std::size_t kCount = 9;
  static constexpr std::array<std::string_view, kCount> kNames = {
      "numberOfCalls",    "sentBytes",         "receivedBytes",
      "totalTime",        "serializationTime", "deserializationTime",
      "networkWriteTime", "replyWaitTime",     "applicationTime"};

  ThroughputCounters() = default;
  ThroughputCounters(const ThroughputCounters&) = delete;
  ThroughputCounters& operator=(const ThroughputCounters&) = delete;

  // A new shared block, all counters 0.
  static std::shared_ptr<ThroughputCounters> create() {
    return std::make_shared<ThroughputCounters>();
  }

  // Counts: atomic add, wrapping modulo 2^64.
  void add_calls(std::uint64_t n) { add_count(Counter::numberOfCalls, n); }
  void add_sent_bytes(std::uint64_t n) { add_count(Counter::sentBytes, n); }
  void add_received_bytes(std::uint64_t n) { add_count(Counter::receivedBytes, n); }
  void add_count(Counter c, std::uint64_t n) { slot(c).fetch_add(n, std::memory_order_relaxed); }

  // Times: the duration in whole nanoseconds (saturating; a negative duration
  // counts as 0), added with a sum that saturates at 2^64 - 1.
  void add_time(Counter c, std::chrono::nanoseconds d);
  template <class Rep, class Period>
  void add_time(Counter c, std::chrono::duration<Rep, Period> d) {
    add_nanos(c, duration_to_nanos(d));
  }
  void add_nanos(Counter c, std::uint64_t nanos);

  // The raw value of one counter (nanoseconds for the times).
  std::uint64_t get(Counter c) const { return slot(c).load(std::memory_order_relaxed); }
  // Stores a raw value (used by tests and by the binding's setters).
  void set(Counter c, std::uint64_t v) { slot(c).store(v, std::memory_order_relaxed); }

  // Sets all nine counters to 0, one after the other.
  void reset();
  ThroughputSnapshot snapshot() const;

  // Whole nanoseconds of a duration, saturating at 2^64 - 1; negative gives 0.
  template <class Rep, class Period>
  static std::uint64_t duration_to_nanos(std::chrono::duration<Rep, Period> d) {
    using Ns = std::chrono::duration<long double, std::nano>;
    const long double ns = std::chrono::duration_cast<Ns>(d).count();
    if (!(ns > 0)) return 0;
    if (ns >= 18446744073709551615.0L) return UINT64_MAX;
    return static_cast<std::uint64_t>(ns);
  }

 private:
  std::atomic<std::uint64_t>& slot(Counter c) { return counters_[static_cast<std::size_t>(c)]; }
  const std::atomic<std::uint64_t>& slot(Counter c) const {
    return counters_[static_cast<std::size_t>(c)];
  }

  std::array<std::atomic<std::uint64_t>, kCount> counters_{};
};

SecondsNanos split_nanos(std::uint64_t nanos);

// Runs on scope exit: adds the time since construction to one counter of an
// optional block (nothing when the block is null).
class ScopedTimer {
 public:
  ScopedTimer(ThroughputCounters* counters, ThroughputCounters::Counter which)
      : counters_(counters), which_(which) {
    if (counters_) start_ = std::chrono::steady_clock::now();
  }
  ~ScopedTimer() { stop(); }
  ScopedTimer(const ScopedTimer&) = delete;
  ScopedTimer& operator=(const ScopedTimer&) = delete;
  // Adds the time now and disarms the timer.
  void stop() {
    if (counters_) counters_->add_time(which_, std::chrono::steady_clock::now() - start_);
    counters_ = nullptr;
  }

 private:
  ThroughputCounters* counters_;
  ThroughputCounters::Counter which_;
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace quib::proto

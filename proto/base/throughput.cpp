#include "proto/base/throughput.hpp"

namespace quib::proto {

void ThroughputCounters::add_time(Counter c, std::chrono::nanoseconds d) {
  add_nanos(c, d.count() <= 0 ? 0 : static_cast<std::uint64_t>(d.count()));
}

void ThroughputCounters::add_nanos(Counter c, std::uint64_t nanos) {
  auto& s = slot(c);
  std::uint64_t current = s.load(std::memory_order_relaxed);
  for (;;) {
    const std::uint64_t sum = current > UINT64_MAX - nanos ? UINT64_MAX : current + nanos;
    if (s.compare_exchange_weak(current, sum, std::memory_order_relaxed)) return;
  }
}

void ThroughputCounters::reset() {
  for (auto& c : counters_) c.store(0, std::memory_order_relaxed);
}

SecondsNanos split_nanos(std::uint64_t nanos) {
  return SecondsNanos{nanos / 1000000000u, static_cast<std::uint32_t>(nanos % 1000000000u)};
}

ThroughputSnapshot ThroughputCounters::snapshot() const {
  ThroughputSnapshot s;
  s.numberOfCalls = get(Counter::numberOfCalls);
  s.sentBytes = get(Counter::sentBytes);
  s.receivedBytes = get(Counter::receivedBytes);
  s.totalTime = split_nanos(get(Counter::totalTime));
  s.serializationTime = split_nanos(get(Counter::serializationTime));
  s.deserializationTime = split_nanos(get(Counter::deserializationTime));
  s.networkWriteTime = split_nanos(get(Counter::networkWriteTime));
  s.replyWaitTime = split_nanos(get(Counter::replyWaitTime));
  s.applicationTime = split_nanos(get(Counter::applicationTime));
  return s;
}

}  // namespace quib::proto

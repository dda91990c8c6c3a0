// Reading containers of table rows: the reader's walk, read_all_records and
// the assembler fed in 64 KiB pieces, each beside a memcpy of the same bytes
// timed in the same run (counter x_memcpy = our time / memcpy time).
//
// 1M rows of 100 bytes travel as ten containers of 100000 records each: the
// reader's per-container limit counts every record, the table name and the
// end record included, so each container holds 99998 rows.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "wire/container.hpp"

using namespace quib::wire;

namespace {

constexpr std::size_t kContainers = 10;
constexpr std::size_t kRowsPerContainer = kRecordLimit - 2;  // beside the name and end records
constexpr std::size_t kRowWidth = 100;
constexpr std::size_t kPiece = 64 * 1024;

struct Corpus {
  std::vector<Bytes> containers;
  std::size_t bytes = 0;
  std::size_t records = 0;
};

const Corpus& corpus() {
  static const Corpus c = [] {
    Corpus c;
    Bytes row(kRowWidth);
    for (std::size_t k = 0; k < kContainers; ++k) {
      ContainerWriter w;
      w.put_record(RecordId::TableName, as_bytes("D\0A\0T\0A\0"));
      for (std::size_t i = 0; i < kRowsPerContainer; ++i) {
        std::memset(row.data(), static_cast<int>('A' + (i % 26)), row.size());
        w.put_record(RecordId::TableContent, row);
      }
      c.containers.push_back(std::move(w).finish_container().value());
      c.bytes += c.containers.back().size();
      c.records += kRowsPerContainer;
    }
    return c;
  }();
  return c;
}

using Clock = std::chrono::steady_clock;

// A benchmark over bytes that fail to read measures nothing: stop loudly.
[[noreturn]] void fail(const ContainerError& e) {
  std::fprintf(stderr, "container read failed: %s\n", e.message().c_str());
  std::abort();
}

// One memcpy of every container, one after the other, into `target`.
void copy_all(const Corpus& c, Bytes& target) {
  std::size_t at = 0;
  for (const auto& b : c.containers) {
    std::memcpy(target.data() + at, b.data(), b.size());
    at += b.size();
  }
  benchmark::DoNotOptimize(target.data());
  benchmark::ClobberMemory();
}

// Seconds for copy_all into a ready buffer (best of a few passes, so page
// faults of the first pass do not count).
double memcpy_seconds(const Corpus& c) {
  static Bytes target(c.bytes);
  double best = 1e30;
  for (int pass = 0; pass < 5; ++pass) {
    const auto t0 = Clock::now();
    copy_all(c, target);
    best = std::min(best, std::chrono::duration<double>(Clock::now() - t0).count());
  }
  return best;
}

template <class Body>
void run(benchmark::State& state, Body body) {
  const Corpus& c = corpus();
  double ours = 0;
  std::int64_t rounds = 0;
  for (auto _ : state) {
    const auto t0 = Clock::now();
    body(c);
    ours += std::chrono::duration<double>(Clock::now() - t0).count();
    ++rounds;
  }
  const double base = memcpy_seconds(c);
  const double per_round = ours / static_cast<double>(rounds);
  state.SetBytesProcessed(static_cast<std::int64_t>(c.bytes) * state.iterations());
  state.SetItemsProcessed(static_cast<std::int64_t>(c.records) * state.iterations());
  state.counters["ns_per_record"] = per_round * 1e9 / static_cast<double>(c.records);
  state.counters["MB_per_s"] = static_cast<double>(c.bytes) / per_round / 1e6;
  state.counters["memcpy_MB_per_s"] = static_cast<double>(c.bytes) / base / 1e6;
  state.counters["x_memcpy"] = per_round / base;
}

void BM_ReaderWalk(benchmark::State& state) {
  run(state, [](const Corpus& c) {
    std::size_t total = 0;
    for (const auto& b : c.containers) {
      auto reader = ContainerReader::create(b).value();
      for (;;) {
        auto step = reader.next_record();
        if (!step) fail(step.error());
        if (!step.value()) break;
        total += step.value()->value.size();
      }
    }
    benchmark::DoNotOptimize(total);
  });
}

void BM_ReadAllRecords(benchmark::State& state) {
  run(state, [](const Corpus& c) {
    std::size_t total = 0;
    for (const auto& b : c.containers) {
      auto reader = ContainerReader::create(b).value();
      auto all = reader.read_all_records();
      if (all)
        total += all->size();
      else
        fail(all.error());
    }
    benchmark::DoNotOptimize(total);
  });
}

void BM_Assembler64KiB(benchmark::State& state) {
  run(state, [](const Corpus& c) {
    std::size_t total = 0;
    for (const auto& b : c.containers) {
      ContainerAssembler a;
      const ByteView view(b);
      AssemblyStatus s = AssemblyStatus::NoData;
      for (std::size_t at = 0; at < view.size() && s != AssemblyStatus::Complete; at += kPiece) {
        auto r = a.push(view.subspan(at, std::min(kPiece, view.size() - at)));
        if (!r) fail(r.error());
        s = *r;
      }
      if (s != AssemblyStatus::Complete) std::abort();
      total += a.buffer().size();
    }
    benchmark::DoNotOptimize(total);
  });
}

void BM_Memcpy(benchmark::State& state) {
  const Corpus& c = corpus();
  Bytes target(c.bytes);
  for (auto _ : state) copy_all(c, target);
  state.SetBytesProcessed(static_cast<std::int64_t>(c.bytes) * state.iterations());
}

// The second anchor of the assembler: appending the same pieces to a fresh
// byte vector, which any owned receive buffer pays (its growth, and the page
// faults of fresh memory, dominate the assembler's time).
void BM_VectorAppend64KiB(benchmark::State& state) {
  const Corpus& c = corpus();
  for (auto _ : state) {
    for (const auto& b : c.containers) {
      Bytes v;
      for (std::size_t at = 0; at < b.size(); at += kPiece)
        v.insert(v.end(), b.begin() + at, b.begin() + at + std::min(kPiece, b.size() - at));
      benchmark::DoNotOptimize(v.data());
    }
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(c.bytes) * state.iterations());
}

void BM_Writer(benchmark::State& state) {
  Bytes row(kRowWidth, 'x');
  for (auto _ : state) {
    ContainerWriter w;
    for (std::size_t i = 0; i < kRowsPerContainer; ++i) w.put_record(RecordId::TableContent, row);
    auto bytes = std::move(w).finish_container();
    benchmark::DoNotOptimize(bytes->data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(kRowsPerContainer * (kRowWidth + 6)) *
                          state.iterations());
  state.SetItemsProcessed(static_cast<std::int64_t>(kRowsPerContainer) * state.iterations());
}

BENCHMARK(BM_Memcpy)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReaderWalk)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadAllRecords)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Assembler64KiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_VectorAppend64KiB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Writer)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

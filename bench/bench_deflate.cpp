// Raw DEFLATE throughput beside zlib on the same bytes in the same run:
// inflate of zlib's default-level streams and of our own fixed-code
// streams, and our compressor beside zlib level 1 (speed and ratio), each
// over text, fixed-width table rows and random bytes of 64 KiB and 64 MiB.
// After the runs a summary prints each of our figures as a ratio of zlib's,
// with the goal beside the inflate ratios.
//
// With --benchmark_repetitions=N the summary uses the median of the N runs.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <utility>

#include "tests/support/sample_data.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "wire/deflate.hpp"

using namespace quib::wire;

namespace {

constexpr std::size_t kSizes[] = {64u << 10, 64u << 20};
constexpr const char* kSizeNames[] = {"64KiB", "64MiB"};
constexpr int kKinds = 3;
constexpr int kSizeCount = 2;
constexpr double kInflateGoal = 1.0;

using quib::test::zlib_deflate;
using quib::test::zlib_inflate_into;

const char* kind_name(int kind) { return kind == 0 ? "text" : kind == 1 ? "table" : "random"; }

// Inputs, zlib's streams and ours, made on first use and kept for the run
// (one cache per kind of item: each `make` is a lambda of its own type).
template <class Make>
const Bytes& cached(int kind, int size, Make make) {
  static std::map<std::pair<int, int>, Bytes> cache;
  auto it = cache.find({kind, size});
  if (it == cache.end()) it = cache.emplace(std::pair{kind, size}, make(kind, size)).first;
  return it->second;
}

const Bytes& input(int kind, int size) {
  return cached(kind, size, [](int k, int s) {
    const std::size_t n = kSizes[s];
    return k == 0   ? quib::test::text_like(n, 1)
           : k == 1 ? quib::test::table_like(n, 2)
                    : quib::test::random_bytes(n, 3);
  });
}
const Bytes& zlib_stream(int kind, int size) {
  return cached(kind, size, [](int k, int s) { return zlib_deflate(input(k, s), 6); });
}
const Bytes& our_stream(int kind, int size) {
  return cached(kind, size, [](int k, int s) { return deflate_raw(input(k, s)); });
}

using StreamOf = const Bytes& (*)(int, int);

int kind_of(const benchmark::State& state) { return static_cast<int>(state.range(0)); }
int size_of(const benchmark::State& state) { return static_cast<int>(state.range(1)); }

// Every run processes the whole input once per iteration.
void finish(benchmark::State& state) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kSizes[size_of(state)]));
  state.SetLabel(std::string(kind_name(kind_of(state))) + " " + kSizeNames[size_of(state)]);
}

// Our decoder over the stream of the run's input kind and size.
void inflate_ours(benchmark::State& state, StreamOf stream_of) {
  const Bytes& stream = stream_of(kind_of(state), size_of(state));
  const std::size_t n = kSizes[size_of(state)];
  for (auto _ : state) {
    auto out = inflate_raw(stream, n);
    if (!out.ok() || out->size() != n) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out);
  }
  finish(state);
}

// zlib over the same stream into a buffer of the known output size, kept
// across calls: its best case.
void inflate_zlib(benchmark::State& state, StreamOf stream_of) {
  const Bytes& stream = stream_of(kind_of(state), size_of(state));
  const std::size_t n = kSizes[size_of(state)];
  Bytes out(n);
  for (auto _ : state) {
    if (zlib_inflate_into(stream, out) != n) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  finish(state);
}

// A compressor over the run's input, with the compressed size as a ratio.
template <class Compress>
void compress(benchmark::State& state, Compress compress_one) {
  const Bytes& in = input(kind_of(state), size_of(state));
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes out = compress_one(in);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  finish(state);
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
}

void BM_inflate_ours_zlibstream(benchmark::State& state) { inflate_ours(state, zlib_stream); }
void BM_inflate_zlib_zlibstream(benchmark::State& state) { inflate_zlib(state, zlib_stream); }
void BM_inflate_ours_ourstream(benchmark::State& state) { inflate_ours(state, our_stream); }
void BM_inflate_zlib_ourstream(benchmark::State& state) { inflate_zlib(state, our_stream); }

// zlib into a fresh output vector per call, as an API that returns its
// output must allocate one: the like-for-like anchor of inflate_raw.
void BM_inflate_zlib_fresh_zlibstream(benchmark::State& state) {
  const Bytes& stream = zlib_stream(kind_of(state), size_of(state));
  const std::size_t n = kSizes[size_of(state)];
  for (auto _ : state) {
    Bytes out(n);
    if (zlib_inflate_into(stream, out) != n) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  finish(state);
}

void BM_deflate_ours(benchmark::State& state) {
  compress(state, [](ByteView in) { return deflate_raw(in); });
}
void BM_deflate_zlib_level1(benchmark::State& state) {
  compress(state, [](ByteView in) { return zlib_deflate(in, 1); });
}

#define QUIB_DEFLATE_BENCH(fn) \
  BENCHMARK(fn)->ArgsProduct({{0, 1, 2}, {0, 1}})->Unit(benchmark::kMicrosecond)
QUIB_DEFLATE_BENCH(BM_inflate_ours_zlibstream);
QUIB_DEFLATE_BENCH(BM_inflate_zlib_zlibstream);
QUIB_DEFLATE_BENCH(BM_inflate_zlib_fresh_zlibstream);
QUIB_DEFLATE_BENCH(BM_inflate_ours_ourstream);
QUIB_DEFLATE_BENCH(BM_inflate_zlib_ourstream);
QUIB_DEFLATE_BENCH(BM_deflate_ours);
QUIB_DEFLATE_BENCH(BM_deflate_zlib_level1);
#undef QUIB_DEFLATE_BENCH

// Collects bytes/s per run (the median where runs are repeated) so that the
// summary can set ours beside zlib's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type == Run::RT_Aggregate && !median) continue;
      auto it = r.counters.find("bytes_per_second");
      if (it == r.counters.end()) continue;
      const std::string key = r.run_name.str();
      if (median) {
        medians_[key] = it->second.value;
      } else {
        samples_[key] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nours / zlib (bytes per second, same bytes, same run%s)\n",
                medians_.empty() ? "" : ", median of the repetitions");
    struct Pair {
      const char* ours;
      const char* theirs;
      bool goal;
    };
    const Pair pairs[] = {
        {"BM_inflate_ours_zlibstream", "BM_inflate_zlib_zlibstream", true},
        {"BM_inflate_ours_zlibstream", "BM_inflate_zlib_fresh_zlibstream", true},
        {"BM_inflate_ours_ourstream", "BM_inflate_zlib_ourstream", false},
        {"BM_deflate_ours", "BM_deflate_zlib_level1", false},
    };
    for (const Pair& p : pairs) {
      for (int kind = 0; kind < kKinds; ++kind) {
        for (int size = 0; size < kSizeCount; ++size) {
          const std::string args = "/" + std::to_string(kind) + "/" + std::to_string(size);
          const double* a = rate(p.ours + args);
          const double* b = rate(p.theirs + args);
          if (a == nullptr || b == nullptr) continue;
          const double ratio = *a / *b;
          std::printf("  %-26s %-6s %-5s %9.1f MB/s vs %-32s %9.1f MB/s = %5.2fx", p.ours,
                      kind_name(kind), kSizeNames[size], *a / 1e6, p.theirs, *b / 1e6, ratio);
          if (p.goal)
            std::printf("  goal >= %.2f %s", kInflateGoal,
                        ratio >= kInflateGoal ? "met" : "MISSED");
          std::printf("\n");
        }
      }
    }
  }

 private:
  const double* rate(const std::string& name) const {
    auto m = medians_.find(name);
    if (m != medians_.end()) return &m->second;
    auto s = samples_.find(name);
    return s != samples_.end() ? &s->second : nullptr;
  }

  std::map<std::string, double> medians_;
  std::map<std::string, double> samples_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

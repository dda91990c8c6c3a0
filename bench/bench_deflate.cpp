// Raw DEFLATE throughput beside zlib on the same bytes in the same run:
// inflate of zlib's default-level streams and of our own fixed-code
// streams, and our compressor beside zlib level 1 (speed and ratio).
// After the runs a summary prints each of our figures as a ratio of zlib's.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>

#include "tests/support/sample_data.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "wire/deflate.hpp"

using namespace quib::wire;

namespace {

constexpr std::size_t kInputSize = 8u << 20;

using quib::test::zlib_deflate;
using quib::test::zlib_inflate_into;

const Bytes& input(int kind) {
  static const Bytes text = quib::test::text_like(kInputSize, 1);
  static const Bytes table = quib::test::table_like(kInputSize, 2);
  static const Bytes random = quib::test::random_bytes(kInputSize, 3);
  return kind == 0 ? text : kind == 1 ? table : random;
}
const char* kind_name(int kind) { return kind == 0 ? "text" : kind == 1 ? "table" : "random"; }

const Bytes& zlib_stream(int kind) {
  static std::map<int, Bytes> cache;
  auto it = cache.find(kind);
  if (it == cache.end()) it = cache.emplace(kind, zlib_deflate(input(kind), 6)).first;
  return it->second;
}
const Bytes& our_stream(int kind) {
  static std::map<int, Bytes> cache;
  auto it = cache.find(kind);
  if (it == cache.end()) it = cache.emplace(kind, deflate_raw(input(kind))).first;
  return it->second;
}

// Every run processes the whole input once per iteration.
void finish(benchmark::State& state, int kind) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.SetLabel(kind_name(kind));
}

// Our decoder over the stream of the run's input kind.
void inflate_ours(benchmark::State& state, const Bytes& (*stream_of)(int)) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = stream_of(kind);
  for (auto _ : state) {
    auto out = inflate_raw(stream, 64u << 20);
    if (!out.ok() || out->size() != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out);
  }
  finish(state, kind);
}

// zlib over the same stream into a buffer of the known output size, kept
// across calls: its best case.
void inflate_zlib(benchmark::State& state, const Bytes& (*stream_of)(int)) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = stream_of(kind);
  Bytes out(kInputSize);
  for (auto _ : state) {
    if (zlib_inflate_into(stream, out) != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, kind);
}

// A compressor over the run's input, with the compressed size as a ratio.
template <class Compress>
void compress(benchmark::State& state, Compress compress_one) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& in = input(kind);
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes out = compress_one(in);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  finish(state, kind);
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
}

void BM_inflate_ours_zlibstream(benchmark::State& state) { inflate_ours(state, zlib_stream); }
void BM_inflate_zlib_zlibstream(benchmark::State& state) { inflate_zlib(state, zlib_stream); }
void BM_inflate_ours_ourstream(benchmark::State& state) { inflate_ours(state, our_stream); }
void BM_inflate_zlib_ourstream(benchmark::State& state) { inflate_zlib(state, our_stream); }

// zlib into a fresh output vector per call, as an API that returns its
// output must allocate one: the like-for-like anchor of inflate_raw.
void BM_inflate_zlib_fresh_zlibstream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = zlib_stream(kind);
  for (auto _ : state) {
    Bytes out(kInputSize);
    if (zlib_inflate_into(stream, out) != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  finish(state, kind);
}

void BM_deflate_ours(benchmark::State& state) {
  compress(state, [](ByteView in) { return deflate_raw(in); });
}
void BM_deflate_zlib_level1(benchmark::State& state) {
  compress(state, [](ByteView in) { return zlib_deflate(in, 1); });
}

BENCHMARK(BM_inflate_ours_zlibstream)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inflate_zlib_zlibstream)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inflate_zlib_fresh_zlibstream)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inflate_ours_ourstream)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_inflate_zlib_ourstream)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_deflate_ours)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_deflate_zlib_level1)->DenseRange(0, 2)->Unit(benchmark::kMillisecond);

// Collects bytes/s per run so that the summary can set ours beside zlib's.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf("\nours / zlib (bytes per second, same bytes, same run)\n");
    const std::pair<const char*, const char*> pairs[] = {
        {"BM_inflate_ours_zlibstream", "BM_inflate_zlib_zlibstream"},
        {"BM_inflate_ours_zlibstream", "BM_inflate_zlib_fresh_zlibstream"},
        {"BM_inflate_ours_ourstream", "BM_inflate_zlib_ourstream"},
        {"BM_deflate_ours", "BM_deflate_zlib_level1"},
    };
    for (const auto& [ours, theirs] : pairs) {
      for (int kind = 0; kind <= 2; ++kind) {
        const std::string a = std::string(ours) + "/" + std::to_string(kind);
        const std::string b = std::string(theirs) + "/" + std::to_string(kind);
        if (!rates_.count(a) || !rates_.count(b)) continue;
        std::printf("  %-27s %-6s %8.1f MB/s vs %-33s %8.1f MB/s = %.2fx\n", ours, kind_name(kind),
                    rates_[a] / 1e6, theirs, rates_[b] / 1e6, rates_[a] / rates_[b]);
      }
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

// Raw DEFLATE throughput beside zlib on the same bytes in the same run:
// inflate of zlib's default-level streams and of our own fixed-code
// streams, and our compressor beside zlib level 1 (speed and ratio).
// After the runs a summary prints each of our figures as a ratio of zlib's.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <map>
#include <random>
#include <string>

#include "wire/deflate.hpp"

using namespace quib::wire;

namespace {

constexpr std::size_t kInputSize = 8u << 20;

Bytes text_like(std::size_t n) {
  static const char* words[] = {"the",    "customer", "order",  "was",   "shipped", "to",
                                "plant",  "1000",     "and",    "MATNR", "quantity", "of",
                                "pieces", "billing",  "status", "open",  "closed",  "in",
                                "delivery", "material", "vendor", "account", "posting", "date"};
  std::mt19937 rng(1);
  std::string s;
  while (s.size() < n) {
    s += words[rng() % (sizeof words / sizeof *words)];
    s += (rng() % 11 == 0) ? ".\n" : " ";
  }
  s.resize(n);
  return to_bytes(s);
}

Bytes table_like(std::size_t n) {
  std::mt19937 rng(2);
  std::string s;
  int row = 0;
  while (s.size() < n) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%010d%-30s%015.2f2024%02u%02uEUR  %c", 4500000 + row++,
                  (rng() % 3 == 0 ? "Screw M6" : rng() % 2 ? "Bearing housing" : "Motor 3kW"),
                  static_cast<double>(rng() % 100000) / 7.0, static_cast<unsigned>(1 + rng() % 12),
                  static_cast<unsigned>(1 + rng() % 28), "XYZ "[rng() % 4]);
    s += buf;
  }
  s.resize(n);
  return to_bytes(s);
}

Bytes random_bytes(std::size_t n) {
  std::mt19937 rng(3);
  Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

const Bytes& input(int kind) {
  static const Bytes text = text_like(kInputSize);
  static const Bytes table = table_like(kInputSize);
  static const Bytes random = random_bytes(kInputSize);
  return kind == 0 ? text : kind == 1 ? table : random;
}
const char* kind_name(int kind) { return kind == 0 ? "text" : kind == 1 ? "table" : "random"; }

Bytes zlib_deflate(ByteView in, int level) {
  z_stream s{};
  deflateInit2(&s, level, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  Bytes out(deflateBound(&s, in.size()));
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  return out;
}

// zlib inflating into a buffer of the known output size: its best case.
std::size_t zlib_inflate(ByteView in, Bytes& out) {
  z_stream s{};
  inflateInit2(&s, -15);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  int rc = inflate(&s, Z_FINISH);
  std::size_t n = s.total_out;
  inflateEnd(&s);
  return rc == Z_STREAM_END ? n : 0;
}

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

void BM_inflate_ours_zlibstream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = zlib_stream(kind);
  for (auto _ : state) {
    auto out = inflate_raw(stream, 64u << 20);
    if (!out.ok() || out->size() != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.SetLabel(kind_name(kind));
}

void BM_inflate_zlib_zlibstream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = zlib_stream(kind);
  Bytes out(kInputSize);
  for (auto _ : state) {
    if (zlib_inflate(stream, out) != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.SetLabel(kind_name(kind));
}

// zlib into a fresh output vector per call, as an API that returns its
// output must allocate one: the like-for-like anchor of inflate_raw.
void BM_inflate_zlib_fresh_zlibstream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = zlib_stream(kind);
  for (auto _ : state) {
    Bytes out(kInputSize);
    if (zlib_inflate(stream, out) != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.SetLabel(kind_name(kind));
}

void BM_inflate_ours_ourstream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = our_stream(kind);
  for (auto _ : state) {
    auto out = inflate_raw(stream, 64u << 20);
    if (!out.ok() || out->size() != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.SetLabel(kind_name(kind));
}

void BM_inflate_zlib_ourstream(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& stream = our_stream(kind);
  Bytes out(kInputSize);
  for (auto _ : state) {
    if (zlib_inflate(stream, out) != kInputSize) state.SkipWithError("inflate failed");
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.SetLabel(kind_name(kind));
}

void BM_deflate_ours(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& in = input(kind);
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes out = deflate_raw(in);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
  state.SetLabel(kind_name(kind));
}

void BM_deflate_zlib_level1(benchmark::State& state) {
  const int kind = static_cast<int>(state.range(0));
  const Bytes& in = input(kind);
  std::size_t size = 0;
  for (auto _ : state) {
    Bytes out = zlib_deflate(in, 1);
    size = out.size();
    benchmark::DoNotOptimize(out);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kInputSize));
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
  state.SetLabel(kind_name(kind));
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

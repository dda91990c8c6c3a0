// Field decoding throughput: 10 million field values per iteration for four
// shapes (ASCII text, non-ASCII text, packed decimals, integers), each beside
// a memcpy of the same field bytes, one field at a time, in the same run. The
// summary at the end prints MB/s, ns per field and the ratio to memcpy.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "wire/types.hpp"

using namespace quib::wire;

namespace {

constexpr std::size_t kFieldsPerIteration = 10'000'000;
constexpr std::size_t kPool = 1 << 16;  // distinct fields, cycled

struct Shape {
  const char* name;
  AbapType ty;
  std::uint32_t decimals;
  std::size_t width;
  Bytes data;  // kPool fields of `width` bytes, back to back
};

Bytes make_pool(std::size_t width, auto&& fill) {
  Bytes b(kPool * width);
  std::mt19937 rng(42);
  for (std::size_t i = 0; i < kPool; ++i) fill(b.data() + i * width, rng);
  return b;
}

std::vector<Shape>& shapes() {
  static std::vector<Shape> s = [] {
    std::vector<Shape> v;
    // CHAR(20): ASCII letters and digits, UTF-16LE.
    v.push_back(
        {"ascii_char20", AbapType::Char, 0, 40, make_pool(40, [](std::uint8_t* p, auto& rng) {
           for (int i = 0; i < 20; ++i) {
             p[2 * i] = static_cast<std::uint8_t>('A' + rng() % 26);
             p[2 * i + 1] = 0;
           }
         })});
    // CHAR(20): Latin-1, Greek and CJK characters mixed with ASCII.
    v.push_back(
        {"nonascii_char20", AbapType::Char, 0, 40, make_pool(40, [](std::uint8_t* p, auto& rng) {
           static const std::uint16_t units[] = {0x00E4, 0x03B1, 0x4E2D, 0x0041,
                                                 0x00DF, 0x6587, 0x0062, 0x20AC};
           for (int i = 0; i < 20; ++i) store_le16(p + 2 * i, units[rng() % 8]);
         })});
    // DEC(15,2) in 8 bytes: 15 digits and the sign nibble.
    v.push_back(
        {"packed_p8_dec2", AbapType::Bcd, 2, 8, make_pool(8, [](std::uint8_t* p, auto& rng) {
           for (int i = 0; i < 8; ++i)
             p[i] = static_cast<std::uint8_t>(((rng() % 10) << 4) | (rng() % 10));
           p[7] = static_cast<std::uint8_t>((p[7] & 0xF0) | (rng() & 1 ? 0x0C : 0x0D));
         })});
    // INT4.
    v.push_back({"int4", AbapType::Int4, 0, 4, make_pool(4, [](std::uint8_t* p, auto& rng) {
                   store_le32(p, static_cast<std::uint32_t>(rng()));
                 })});
    return v;
  }();
  return s;
}

void set_counters(benchmark::State& state, const Shape& s) {
  const auto items = static_cast<std::int64_t>(state.iterations() * kFieldsPerIteration);
  state.SetItemsProcessed(items);
  state.SetBytesProcessed(items * static_cast<std::int64_t>(s.width));
}

void BM_decode(benchmark::State& state) {
  const Shape& s = shapes()[static_cast<std::size_t>(state.range(0))];
  for (auto _ : state) {
    std::size_t total = 0;
    for (std::size_t i = 0; i < kFieldsPerIteration; ++i) {
      const std::size_t k = i % kPool;
      auto v = decode_field_with_decimals(ByteView(s.data.data() + k * s.width, s.width), s.ty,
                                          s.decimals);
      total += v.ok() ? (v->is_text() ? v->as_text().size() : 1) : 0;
    }
    benchmark::DoNotOptimize(total);
  }
  set_counters(state, s);
  state.SetLabel(s.name);
}

void BM_memcpy(benchmark::State& state) {
  const Shape& s = shapes()[static_cast<std::size_t>(state.range(0))];
  std::uint8_t scratch[64];
  for (auto _ : state) {
    for (std::size_t i = 0; i < kFieldsPerIteration; ++i) {
      const std::size_t k = i % kPool;
      std::memcpy(scratch, s.data.data() + k * s.width, s.width);
      benchmark::DoNotOptimize(scratch);
      benchmark::ClobberMemory();
    }
  }
  set_counters(state, s);
  state.SetLabel(s.name);
}

BENCHMARK(BM_decode)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(3);
BENCHMARK(BM_memcpy)->DenseRange(0, 3)->Unit(benchmark::kMillisecond)->Iterations(3);

// Collects the per-shape times to print the comparison at the end.
class SummaryReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const auto& r : runs) {
      if (r.run_type != Run::RT_Iteration) continue;
      const double seconds = r.real_accumulated_time / static_cast<double>(r.iterations);
      const bool decode = r.benchmark_name().rfind("BM_decode", 0) == 0;
      (decode ? decode_ : copy_)[r.report_label] = seconds;
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void print_summary() const {
    std::printf("\n%-18s %12s %10s %12s %10s %8s\n", "fields", "decode MB/s", "ns/field",
                "memcpy MB/s", "ns/field", "ratio");
    for (const auto& s : shapes()) {
      auto d = decode_.find(s.name), c = copy_.find(s.name);
      if (d == decode_.end() || c == copy_.end()) continue;
      const double mb = static_cast<double>(kFieldsPerIteration * s.width) / 1e6;
      const double n = static_cast<double>(kFieldsPerIteration);
      std::printf("%-18s %12.1f %10.2f %12.1f %10.2f %7.1fx\n", s.name, mb / d->second,
                  d->second * 1e9 / n, mb / c->second, c->second * 1e9 / n, d->second / c->second);
    }
  }

 private:
  std::map<std::string, double> decode_, copy_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  SummaryReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_summary();
  benchmark::Shutdown();
  return 0;
}

// Raw DEFLATE beside zlib and libdeflate on the same bytes in the same run.
//
// Inputs (bench/real_inputs.hpp): real text (the documentation files of the
// installed packages), stock table rows as a table read returns them
// (characters), and the same rows as structure images of a Unicode system
// (UTF-16LE CHAR fields, packed quantities), each at 1 KiB, 16 KiB,
// 64 KiB, 256 KiB, 1 MiB and 64 MiB.
//
// Inflate: zlib's level 6 streams of each input (what a server sends),
// decoded by inflate_raw (the basXML path: the output size is not known),
// by decompress_table_chunk (compressed table content: the declared length
// is), by zlib and by libdeflate, both into one output buffer kept across
// calls, their best case; libdeflate also into memory allocated per call
// (malloc, not zeroed; huge pages asked for from 4 MiB), as ours is: our
// decoders return their output in a buffer of their own. Deflate: deflate_raw beside zlib and
// libdeflate at level 1, each into a kept buffer. Every run also counts the page faults per call
// (getrusage minor faults over the timed loop).
//
// The summary prints each of our figures as a ratio of the anchors', with
// the goals beside: inflate at least 1.2 x zlib (into its kept buffer) at
// every size from 16 KiB and on every input, and at least 0.8 x libdeflate
// from 1 MiB, both writing into the same kind of buffer: memory allocated
// per call. The ratio to libdeflate into its kept buffer is shown beside,
// without a goal: from some size on a fresh output's pages cost the kernel
// more than the decoding (64 MiB: each of its pages is faulted in and
// zeroed on every call, whoever decodes).
// With --benchmark_repetitions=N the summary uses the median of the N runs.
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <zlib.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>

#include "bench/real_inputs.hpp"
#include "tests/support/compressed_table.hpp"
#include "tests/support/sample_data.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "wire/compress.hpp"
#include "wire/deflate.hpp"

using namespace quib::wire;

namespace {

constexpr std::size_t kSizes[] = {1u << 10, 16u << 10, 64u << 10, 256u << 10, 1u << 20, 64u << 20};
constexpr const char* kSizeNames[] = {"1KiB", "16KiB", "64KiB", "256KiB", "1MiB", "64MiB"};
constexpr int kSizeCount = 6;
// The goals hold from this size on (zlib) and from that one (libdeflate).
constexpr int kZlibGoalFrom = 1;
constexpr int kLibdeflateGoalFrom = 4;
constexpr double kZlibGoal = 1.2;
constexpr double kLibdeflateGoal = 0.8;
// What the call exchange allows a basXML reply to inflate to.
constexpr std::uint64_t kBasxmlLimit = 64ull << 20;

enum Kind { kText, kRows, kRowsUtf16, kRandom };
constexpr int kCodedKinds = 3;  // the inflate inputs; random bytes only compress
const char* kind_name(int kind) {
  static const char* const names[] = {"text", "rows", "rows-utf16", "random"};
  return names[kind];
}

// Inputs and streams, made on first use and kept for the run (one cache
// per kind of item: each `make` is a lambda of its own type).
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
    switch (k) {
      case kText:
        return quib::bench::real_text(n);
      case kRows:
        return quib::bench::stock_rows_text(n, 7);
      case kRowsUtf16:
        return quib::bench::stock_rows_utf16(n, 7);
      default:
        return quib::test::random_bytes(n, 3);
    }
  });
}
const Bytes& zlib_stream(int kind, int size) {
  return cached(kind, size, [](int k, int s) { return quib::test::zlib_deflate(input(k, s), 6); });
}
// The table content's bytes from the declared length on, as the reply
// decoder hands them to decompress_table_chunk.
const Bytes& table_chunk(int kind, int size) {
  return cached(kind, size, [](int k, int s) {
    const Bytes content = quib::test::lzh_table_content(
        zlib_stream(k, s), static_cast<std::uint32_t>(input(k, s).size()));
    return Bytes(content.begin() + 8, content.end());
  });
}

int kind_of(const benchmark::State& state) { return static_cast<int>(state.range(0)); }
int size_of(const benchmark::State& state) { return static_cast<int>(state.range(1)); }

long minor_faults() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return u.ru_minflt;
}

// Runs `one` (which returns the output size) once per iteration, with the
// input's size as the bytes processed and the page faults per call as a
// counter.
template <class One>
void run(benchmark::State& state, std::size_t expected, One one) {
  if (one() != expected) {
    state.SkipWithError("wrong output size");
    return;
  }
  const long faults_before = minor_faults();
  for (auto _ : state) {
    const std::size_t got = one();
    benchmark::DoNotOptimize(got);
  }
  const long faults = minor_faults() - faults_before;
  const std::size_t n = kSizes[size_of(state)];
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * n));
  state.counters["faults"] =
      benchmark::Counter(static_cast<double>(faults) / static_cast<double>(state.iterations()));
  state.SetLabel(std::string(kind_name(kind_of(state))) + " " + kSizeNames[size_of(state)]);
}

// ---- inflate

void BM_inflate_ours(benchmark::State& state) {
  const Bytes& stream = zlib_stream(kind_of(state), size_of(state));
  const Bytes& want = input(kind_of(state), size_of(state));
  auto first = inflate_raw(stream, kBasxmlLimit);
  if (!first.ok() || *first != want)
    return state.SkipWithError("inflate_raw differs from the input");
  run(state, want.size(), [&] {
    auto out = inflate_raw(stream, kBasxmlLimit);
    return out.ok() ? out->size() : 0;
  });
}

void BM_table_chunk_ours(benchmark::State& state) {
  const Bytes& chunk = table_chunk(kind_of(state), size_of(state));
  const Bytes& want = input(kind_of(state), size_of(state));
  auto first = decompress_table_chunk(chunk);
  if (!first.ok() || *first != want)
    return state.SkipWithError("decompress_table_chunk differs from the input");
  run(state, want.size(), [&] {
    auto out = decompress_table_chunk(chunk);
    return out.ok() ? out->size() : 0;
  });
}

void BM_inflate_zlib(benchmark::State& state) {
  const Bytes& stream = zlib_stream(kind_of(state), size_of(state));
  const std::size_t n = input(kind_of(state), size_of(state)).size();
  Bytes out(n);
  z_stream z{};
  if (inflateInit2(&z, -15) != Z_OK) throw std::runtime_error("inflateInit2");
  run(state, n, [&]() -> std::size_t {
    inflateReset(&z);
    z.next_in = const_cast<Bytef*>(stream.data());
    z.avail_in = static_cast<uInt>(stream.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    return inflate(&z, Z_FINISH) == Z_STREAM_END ? z.total_out : 0;
  });
  inflateEnd(&z);
}

void BM_inflate_libdeflate(benchmark::State& state) {
  const Bytes& stream = zlib_stream(kind_of(state), size_of(state));
  const std::size_t n = input(kind_of(state), size_of(state)).size();
  Bytes out(n);
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  run(state, n, [&]() -> std::size_t {
    std::size_t got = 0;
    return libdeflate_deflate_decompress(d, stream.data(), stream.size(), out.data(), out.size(),
                                         &got) == LIBDEFLATE_SUCCESS
               ? got
               : 0;
  });
  libdeflate_free_decompressor(d);
}

// libdeflate into memory the call allocates (malloc, not zero-filled) and
// frees, as an API that returns its output must: beside the kept buffer of
// the anchor above, what fresh pages cost. A large output is asked for
// huge pages, as our decoders ask for theirs, so that both sides write
// into the same kind of memory.
std::uint8_t* fresh_output(std::size_t n) {
  constexpr std::size_t kHuge = 2u << 20;
  if (n < (4u << 20)) return static_cast<std::uint8_t*>(std::malloc(n));
  void* p = std::aligned_alloc(kHuge, (n + kHuge - 1) / kHuge * kHuge);
  if (p) (void)madvise(p, (n + kHuge - 1) / kHuge * kHuge, MADV_HUGEPAGE);
  return static_cast<std::uint8_t*>(p);
}

void BM_inflate_libdeflate_fresh(benchmark::State& state) {
  const Bytes& stream = zlib_stream(kind_of(state), size_of(state));
  const std::size_t n = input(kind_of(state), size_of(state)).size();
  libdeflate_decompressor* d = libdeflate_alloc_decompressor();
  run(state, n, [&]() -> std::size_t {
    std::unique_ptr<std::uint8_t, void (*)(void*)> out(fresh_output(n), std::free);
    std::size_t got = 0;
    const auto rc =
        libdeflate_deflate_decompress(d, stream.data(), stream.size(), out.get(), n, &got);
    benchmark::DoNotOptimize(out.get());
    return rc == LIBDEFLATE_SUCCESS ? got : 0;
  });
  libdeflate_free_decompressor(d);
}

// ---- deflate (the compressed size over the input's as the counter "ratio")

void BM_deflate_ours(benchmark::State& state) {
  const Bytes& in = input(kind_of(state), size_of(state));
  std::size_t size = 0;
  run(state, in.size(), [&] {
    const Bytes out = deflate_raw(in);
    size = out.size();
    return in.size();
  });
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
}

void BM_deflate_zlib(benchmark::State& state) {
  const Bytes& in = input(kind_of(state), size_of(state));
  z_stream z{};
  if (deflateInit2(&z, 1, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK)
    throw std::runtime_error("deflateInit2");
  Bytes out(deflateBound(&z, in.size()) + 16);
  std::size_t size = 0;
  run(state, in.size(), [&]() -> std::size_t {
    deflateReset(&z);
    z.next_in = const_cast<Bytef*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    if (deflate(&z, Z_FINISH) != Z_STREAM_END) return 0;
    size = z.total_out;
    return in.size();
  });
  deflateEnd(&z);
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
}

void BM_deflate_libdeflate(benchmark::State& state) {
  const Bytes& in = input(kind_of(state), size_of(state));
  libdeflate_compressor* c = libdeflate_alloc_compressor(1);
  Bytes out(libdeflate_deflate_compress_bound(c, in.size()));
  std::size_t size = 0;
  run(state, in.size(), [&] {
    size = libdeflate_deflate_compress(c, in.data(), in.size(), out.data(), out.size());
    return size ? in.size() : 0;
  });
  libdeflate_free_compressor(c);
  state.counters["ratio"] = static_cast<double>(size) / static_cast<double>(in.size());
}

void inflate_args(benchmark::internal::Benchmark* b) {
  for (int k = 0; k < kCodedKinds; ++k)
    for (int s = 0; s < kSizeCount; ++s) b->Args({k, s});
}
void deflate_args(benchmark::internal::Benchmark* b) {
  for (int k = 0; k <= kRandom; ++k)
    for (int s = 0; s < kSizeCount; ++s) b->Args({k, s});
}

BENCHMARK(BM_inflate_ours)->Apply(inflate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_table_chunk_ours)->Apply(inflate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_inflate_zlib)->Apply(inflate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_inflate_libdeflate)->Apply(inflate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_inflate_libdeflate_fresh)->Apply(inflate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_deflate_ours)->Apply(deflate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_deflate_zlib)->Apply(deflate_args)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_deflate_libdeflate)->Apply(deflate_args)->Unit(benchmark::kMicrosecond);

// Collects bytes/s and faults per run (the median where runs are repeated)
// so that the summary can set ours beside the anchors.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      const bool median = r.run_type == Run::RT_Aggregate && r.aggregate_name == "median";
      if (r.run_type == Run::RT_Aggregate && !median) continue;
      std::string key = r.run_name.str();
      if (median) {
        key = "median " + key;
        any_median_ = true;
      }
      for (const char* counter : {"bytes_per_second", "faults", "ratio"}) {
        auto it = r.counters.find(counter);
        if (it != r.counters.end()) values_[key + " " + counter] = it->second.value;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    std::printf(
        "\nInflate of zlib level 6 streams, MB/s of output (same bytes, same run%s); page faults "
        "per call in brackets\n",
        any_median_ ? ", median of the repetitions" : "");
    std::printf("  %-10s %-6s | %-16s %-16s | %-16s %-16s | %-14s %-8s | %-16s %-14s\n", "input",
                "size", "inflate_raw", "table chunk", "zlib", "libdeflate kept", "vs zlib",
                "vs kept", "libdeflate fresh", "vs fresh (goal)");
    for (int kind = 0; kind < kCodedKinds; ++kind) {
      for (int size = 0; size < kSizeCount; ++size) {
        const double* ours = value("BM_inflate_ours", kind, size, "bytes_per_second");
        const double* chunk = value("BM_table_chunk_ours", kind, size, "bytes_per_second");
        const double* zlib = value("BM_inflate_zlib", kind, size, "bytes_per_second");
        const double* lib = value("BM_inflate_libdeflate", kind, size, "bytes_per_second");
        const double* fresh = value("BM_inflate_libdeflate_fresh", kind, size, "bytes_per_second");
        if (!ours || !zlib || !lib) continue;
        const double slower = std::min(*ours, chunk ? *chunk : *ours);
        std::printf(
            "  %-10s %-6s | %s %s | %s %s | %s %6.2fx  | %s %s\n", kind_name(kind),
            kSizeNames[size], cell("BM_inflate_ours", kind, size).c_str(),
            cell("BM_table_chunk_ours", kind, size).c_str(),
            cell("BM_inflate_zlib", kind, size).c_str(),
            cell("BM_inflate_libdeflate", kind, size).c_str(),
            verdict(slower / *zlib, kZlibGoal, size >= kZlibGoalFrom).c_str(), slower / *lib,
            cell("BM_inflate_libdeflate_fresh", kind, size).c_str(),
            verdict(fresh ? slower / *fresh : 0.0, kLibdeflateGoal, size >= kLibdeflateGoalFrom)
                .c_str());
      }
    }
    std::printf(
        "  (ratios of the slower of inflate_raw and table chunk; goals: >= %.1f x zlib from %s "
        "(zlib into a buffer it keeps),\n   >= %.1f x libdeflate from %s with both writing into "
        "memory allocated per call (fresh); vs kept: libdeflate into a buffer it keeps, no goal)\n",
        kZlibGoal, kSizeNames[kZlibGoalFrom], kLibdeflateGoal, kSizeNames[kLibdeflateGoalFrom]);

    std::printf(
        "\nDeflate, MB/s of input and compressed size / input size; page faults per call in "
        "brackets\n");
    std::printf("  %-10s %-6s | %-16s %-6s | %-16s %-6s | %-16s %-6s | %-8s %-8s\n", "input",
                "size", "deflate_raw", "size", "zlib level 1", "size", "libdeflate 1", "size",
                "vs zlib", "vs libdeflate");
    for (int kind = 0; kind <= kRandom; ++kind) {
      for (int size = 0; size < kSizeCount; ++size) {
        const double* ours = value("BM_deflate_ours", kind, size, "bytes_per_second");
        const double* zlib = value("BM_deflate_zlib", kind, size, "bytes_per_second");
        const double* lib = value("BM_deflate_libdeflate", kind, size, "bytes_per_second");
        if (!ours || !zlib || !lib) continue;
        std::printf("  %-10s %-6s | %s %6.3f | %s %6.3f | %s %6.3f | %7.2fx %7.2fx\n",
                    kind_name(kind), kSizeNames[size], cell("BM_deflate_ours", kind, size).c_str(),
                    or_zero(value("BM_deflate_ours", kind, size, "ratio")),
                    cell("BM_deflate_zlib", kind, size).c_str(),
                    or_zero(value("BM_deflate_zlib", kind, size, "ratio")),
                    cell("BM_deflate_libdeflate", kind, size).c_str(),
                    or_zero(value("BM_deflate_libdeflate", kind, size, "ratio")), *ours / *zlib,
                    *ours / *lib);
      }
    }
  }

 private:
  const double* value(const char* bench, int kind, int size, const char* counter) {
    const std::string name =
        std::string(bench) + "/" + std::to_string(kind) + "/" + std::to_string(size);
    auto m = values_.find("median " + name + " " + counter);
    if (m != values_.end()) return &m->second;
    auto s = values_.find(name + " " + counter);
    return s != values_.end() ? &s->second : nullptr;
  }
  // "MB/s [faults]" of one run, 16 characters.
  std::string cell(const char* bench, int kind, int size) {
    const double* rate = value(bench, kind, size, "bytes_per_second");
    const double* faults = value(bench, kind, size, "faults");
    if (!rate) return std::string(16, ' ');
    char buf[64];
    std::snprintf(buf, sizeof buf, "%7.0f [%6.1f]", *rate / 1e6, faults ? *faults : 0.0);
    return buf;
  }
  static std::string verdict(double ratio, double goal, bool applies) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%5.2fx %-7s", ratio,
                  !applies        ? ""
                  : ratio >= goal ? "met"
                                  : "MISSED");
    return buf;
  }
  static double or_zero(const double* v) { return v ? *v : 0.0; }

  std::map<std::string, double> values_;
  bool any_median_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}

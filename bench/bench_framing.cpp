// NI frame cutting and WebSocket unmasking, each beside memcpy of the same
// bytes measured in the same run. Counters: MB/s of our code, MB/s of the
// memcpy anchor, and their ratio (ours / memcpy).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>

#include "tests/support/sample_data.hpp"
#include "wire/ni.hpp"
#include "wire/ws.hpp"

using namespace quib::wire;

namespace {

using Clock = std::chrono::steady_clock;

Bytes random_bytes(std::size_t n) { return quib::test::random_bytes(n, 5); }

// memcpy throughput over `size` bytes, repeated like the measured loop.
double memcpy_mbps(std::size_t size, std::int64_t reps) {
  const Bytes src = random_bytes(size);
  Bytes dst(size);
  const auto t0 = Clock::now();
  for (std::int64_t i = 0; i < reps; ++i) {
    std::memcpy(dst.data(), src.data(), size);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  const double s = std::chrono::duration<double>(Clock::now() - t0).count();
  return static_cast<double>(size) * static_cast<double>(reps) / s / 1e6;
}

void report(benchmark::State& state, std::size_t bytes_per_iter, double seconds) {
  const auto iters = static_cast<std::int64_t>(state.iterations());
  state.SetBytesProcessed(iters * static_cast<std::int64_t>(bytes_per_iter));
  const double ours =
      static_cast<double>(bytes_per_iter) * static_cast<double>(iters) / seconds / 1e6;
  const double anchor = memcpy_mbps(bytes_per_iter, iters);
  state.counters["ours_MB/s"] = ours;
  state.counters["memcpy_MB/s"] = anchor;
  state.counters["x_memcpy"] = ours / anchor;
}

// An NI stream of frames of one payload size, pushed in 16 KiB reads (as the
// transport reads its socket) and cut into frames, each payload copied out.
void BM_NiCut(benchmark::State& state) {
  const auto payload_size = static_cast<std::size_t>(state.range(0));
  Bytes stream;
  const Bytes payload = random_bytes(payload_size);
  while (stream.size() < (4u << 20)) (void)write_ni_frame(payload, stream);
  Bytes copy;
  const auto t0 = Clock::now();
  for (auto _ : state) {
    NiFrameReader reader(kNiDefaultLimit);
    for (std::size_t pos = 0; pos < stream.size(); pos += 16384) {
      reader.push(ByteView(stream).subspan(pos, std::min<std::size_t>(16384, stream.size() - pos)));
      for (;;) {
        auto f = reader.next_ni_frame();
        if (!f.ok() || !*f) break;
        copy.assign((*f)->begin(), (*f)->end());
        benchmark::DoNotOptimize(copy.data());
      }
    }
  }
  report(state, stream.size(), std::chrono::duration<double>(Clock::now() - t0).count());
}
BENCHMARK(BM_NiCut)->Arg(100)->Arg(28080)->Arg(1 << 20);

// A masked binary frame read: the payload copied out and unmasked.
void BM_WsReadMasked(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  Bytes frame;
  write_ws_frame(WsFrameKind::binary(), true, random_bytes(size), WsMaskKey{1, 2, 3, 4}, frame);
  const auto t0 = Clock::now();
  for (auto _ : state) {
    auto f = read_ws_frame(frame, kWsDefaultBudget);
    benchmark::DoNotOptimize(f);
  }
  report(state, size, std::chrono::duration<double>(Clock::now() - t0).count());
}
BENCHMARK(BM_WsReadMasked)->Arg(4096)->Arg(1 << 20);

// Unmasking in place alone.
void BM_WsUnmaskInPlace(benchmark::State& state) {
  const auto size = static_cast<std::size_t>(state.range(0));
  Bytes data = random_bytes(size);
  const auto t0 = Clock::now();
  for (auto _ : state) {
    ws_apply_mask(data, WsMaskKey{1, 2, 3, 4}, 1);
    benchmark::DoNotOptimize(data.data());
    benchmark::ClobberMemory();
  }
  report(state, size, std::chrono::duration<double>(Clock::now() - t0).count());
}
BENCHMARK(BM_WsUnmaskInPlace)->Arg(4096)->Arg(1 << 20);

}  // namespace

BENCHMARK_MAIN();

// Decoding a classic reply of 1M rows already in memory: walking the
// container, decoding the records into a CallReply and handing out the table's
// rows. Three shapes of the same 1M rows of 80 bytes:
//
//   bulk        one record holding all rows uncompressed
//   compressed  the rows compressed (LZH, as servers send them), in 64 KiB records
//   records     one TableContent record per row (99,990 rows: a container holds
//               at most 100,000 records), reported per row
//
// Each figure stands beside its anchor measured in the same run: a memcpy of
// the rows for bulk, zlib's inflate of the same DEFLATE stream for
// compressed, and the bare container walk for records. Allocations are
// counted by a replaced operator new; peak memory is the largest number of
// bytes held at once during one decode, the reply itself not included.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <zlib.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <new>

#include "proto/call/reply.hpp"
#include "tests/support/compressed_table.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "wire/container.hpp"
#include "wire/utf.hpp"

// ---------------------------------------------------------------- allocation counting

namespace {
std::atomic<std::uint64_t> g_allocs{0};
std::atomic<std::int64_t> g_live{0};
std::atomic<std::int64_t> g_peak{0};

void note_alloc(void* p) {
  g_allocs.fetch_add(1, std::memory_order_relaxed);
  const auto now = g_live.fetch_add(static_cast<std::int64_t>(malloc_usable_size(p)),
                                    std::memory_order_relaxed) +
                   static_cast<std::int64_t>(malloc_usable_size(p));
  auto peak = g_peak.load(std::memory_order_relaxed);
  while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
  }
}
void note_free(void* p) {
  if (p)
    g_live.fetch_sub(static_cast<std::int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}
void* counted_new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  note_alloc(p);
  return p;
}
}  // namespace

void* operator new(std::size_t n) { return counted_new(n); }
void* operator new[](std::size_t n) { return counted_new(n); }
void operator delete(void* p) noexcept {
  note_free(p);
  std::free(p);
}
void operator delete[](void* p) noexcept {
  note_free(p);
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  note_free(p);
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  note_free(p);
  std::free(p);
}

// ---------------------------------------------------------------- replies

namespace {

using namespace quib;
using wire::Bytes;
using wire::RecordId;

constexpr std::uint32_t kWidth = 80;
constexpr std::uint32_t kRows = 1'000'000;
constexpr std::uint32_t kRecordRows = 99'990;

Bytes make_rows(std::uint32_t n) {
  Bytes rows(static_cast<std::size_t>(n) * kWidth);
  for (std::uint32_t i = 0; i < n; ++i) {
    std::uint8_t* r = rows.data() + static_cast<std::size_t>(i) * kWidth;
    wire::store_le32(r, i + 1);
    char name[24];
    std::snprintf(name, sizeof name, "ROW %07u", i + 1);
    for (int k = 0; k < 20; ++k) {
      r[4 + 2 * k] = static_cast<std::uint8_t>(k < 11 ? name[k] : ' ');
      r[5 + 2 * k] = 0;
    }
    r[51] = 0x0C;
    std::memcpy(r + 52,
                "2\0"
                "0\0"
                "2\0"
                "4\0"
                "0\0"
                "1\0"
                "0\0"
                "1\0",
                16);
    const double score = i / 4.0;
    std::memcpy(r + 72, &score, 8);
  }
  return rows;
}

Bytes table_head(wire::ContainerWriter& w, std::uint32_t rows) {
  w.put_record(RecordId::ParameterName, wire::encode_utf16le("E_ROWS"));
  Bytes count(4);
  wire::store_le32(count.data(), rows);
  w.put_record(RecordId::ParameterValue, count);
  w.put_record(RecordId::TableName, wire::encode_utf16le("T_OUT"));
  Bytes header(8);
  wire::store_be32(header.data(), kWidth);
  wire::store_be32(header.data() + 4, rows);
  w.put_record(RecordId::TableHeader, header);
  return header;
}

struct Reply {
  Bytes container;
  Bytes deflated;  // the compressed shape's DEFLATE stream, for the anchor
  std::uint32_t rows = 0;
};

const Reply& bulk_reply() {
  static const Reply r = [] {
    Reply out;
    out.rows = kRows;
    wire::ContainerWriter w;
    table_head(w, kRows);
    w.put_record(RecordId::TableCompressed, make_rows(kRows));
    out.container = std::move(w).finish_container().value();
    return out;
  }();
  return r;
}

const Reply& compressed_reply() {
  static const Reply r = [] {
    Reply out;
    out.rows = kRows;
    const Bytes rows = make_rows(kRows);
    out.deflated = test::zlib_deflate(rows, 6, Z_DEFAULT_STRATEGY, 9);
    const Bytes content =
        test::lzh_table_content(out.deflated, static_cast<std::uint32_t>(rows.size()));
    wire::ContainerWriter w;
    table_head(w, kRows);
    test::put_compressed_records(w, content);
    out.container = std::move(w).finish_container().value();
    return out;
  }();
  return r;
}

const Reply& records_reply() {
  static const Reply r = [] {
    Reply out;
    out.rows = kRecordRows;
    const Bytes rows = make_rows(kRecordRows);
    wire::ContainerWriter w;
    table_head(w, kRecordRows);
    for (std::uint32_t i = 0; i < kRecordRows; ++i)
      w.put_record(RecordId::TableContent,
                   wire::ByteView(rows).subspan(static_cast<std::size_t>(i) * kWidth, kWidth));
    out.container = std::move(w).finish_container().value();
    return out;
  }();
  return r;
}

// One decode: walk, decode, take the rows.
std::size_t decode_once(const Reply& reply) {
  auto reader = wire::ContainerReader::create(reply.container);
  auto records = reader->read_all_records();
  auto decoded = proto::decode_classic_reply(records.value(), nullptr, {});
  if (!decoded) std::abort();
  auto rows = proto::reply_table_rows(decoded->tables.at(0));
  if (!rows || (*rows)->row_count() != reply.rows) std::abort();
  return (*rows)->chunk_count();
}

void report(benchmark::State& state, const Reply& reply, std::uint64_t allocs, std::int64_t peak) {
  const double iters = static_cast<double>(state.iterations());
  state.counters["rows/s"] =
      benchmark::Counter(static_cast<double>(reply.rows) * iters, benchmark::Counter::kIsRate);
  state.SetBytesProcessed(static_cast<std::int64_t>(reply.container.size()) *
                          static_cast<std::int64_t>(state.iterations()));
  state.counters["allocs/row"] = static_cast<double>(allocs) / iters / reply.rows;
  state.counters["peak_MB"] = static_cast<double>(peak) / 1e6;
  state.counters["reply_MB"] = static_cast<double>(reply.container.size()) / 1e6;
}

template <const Reply& (*Make)()>
void BM_Decode(benchmark::State& state) {
  const Reply& reply = Make();
  std::uint64_t allocs = 0;
  std::int64_t peak = 0;
  for (auto _ : state) {
    const auto a0 = g_allocs.load();
    const auto live0 = g_live.load();
    g_peak.store(live0);
    benchmark::DoNotOptimize(decode_once(reply));
    allocs += g_allocs.load() - a0;
    peak = std::max(peak, g_peak.load() - live0);
  }
  report(state, reply, allocs, peak);
}

// Anchors.
void BM_Anchor_BulkMemcpy(benchmark::State& state) {
  const Reply& reply = bulk_reply();
  Bytes dst;
  for (auto _ : state) {
    dst.assign(reply.container.begin(), reply.container.end());
    benchmark::DoNotOptimize(dst.data());
  }
  report(state, reply, 0, 0);
}

void BM_Anchor_ZlibInflate(benchmark::State& state) {
  const Reply& reply = compressed_reply();
  Bytes out(static_cast<std::size_t>(kRows) * kWidth);
  for (auto _ : state) {
    z_stream zs{};
    inflateInit2(&zs, -15);
    zs.next_in = const_cast<Bytef*>(reply.deflated.data());
    zs.avail_in = static_cast<uInt>(reply.deflated.size());
    zs.next_out = out.data();
    zs.avail_out = static_cast<uInt>(out.size());
    if (inflate(&zs, Z_FINISH) != Z_STREAM_END) std::abort();
    inflateEnd(&zs);
    benchmark::DoNotOptimize(out.data());
  }
  report(state, reply, 0, 0);
}

void BM_Anchor_ContainerWalk(benchmark::State& state) {
  const Reply& reply = records_reply();
  for (auto _ : state) {
    auto reader = wire::ContainerReader::create(reply.container);
    auto records = reader->read_all_records();
    benchmark::DoNotOptimize(records.value().data());
  }
  report(state, reply, 0, 0);
}

}  // namespace

BENCHMARK(BM_Decode<bulk_reply>)->Name("decode/bulk_1M")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Anchor_BulkMemcpy)->Name("anchor/bulk_memcpy")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode<compressed_reply>)->Name("decode/compressed_1M")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Anchor_ZlibInflate)->Name("anchor/zlib_inflate")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Decode<records_reply>)->Name("decode/records_99990")->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Anchor_ContainerWalk)->Name("anchor/container_walk")->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();

// basXML throughput on a document of about 2M elements shaped like a table
// reply (rows of fields with short texts): parsing and writing in elements
// per second, and the heap that a parse holds at its peak, per element and
// per payload byte. The anchor for the memory figure is the payload
// itself: a parsed tree should cost a small multiple of it.
#include <benchmark/benchmark.h>
#include <malloc.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>

#include "wire/basxml.hpp"

using namespace quib::wire;

// Heap accounting for the peak figure. Kept out of line: the replacement
// pairs malloc with free, which the compiler's new/delete pairing checks
// would otherwise see through.
static std::atomic<std::size_t> g_current{0};
static std::atomic<std::size_t> g_peak{0};

__attribute__((noinline)) void* operator new(std::size_t n) {
  void* p = std::malloc(n ? n : 1);
  if (!p) throw std::bad_alloc();
  const std::size_t now = g_current.fetch_add(malloc_usable_size(p)) + malloc_usable_size(p);
  std::size_t peak = g_peak.load();
  while (now > peak && !g_peak.compare_exchange_weak(peak, now)) {
  }
  return p;
}
__attribute__((noinline)) void operator delete(void* p) noexcept {
  if (!p) return;
  g_current.fetch_sub(malloc_usable_size(p));
  std::free(p);
}
__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
  operator delete(p);
}

namespace {

constexpr int kRows = 200000;
constexpr int kFields = 9;  // 200000 rows of 9 fields: 2.0M elements with the rows

BasxmlDocument table_document() {
  static const char* names[kFields] = {"MANDT", "MATNR", "WERKS", "LGORT",  "CHARG",
                                       "LABST", "MEINS", "ERSDA", "XMLFLAG"};
  BasxmlDocument doc;
  doc.version = "1.0";
  std::vector<ElementId> rows;
  rows.reserve(kRows);
  std::vector<ElementId> fields(kFields);
  for (int r = 0; r < kRows; ++r) {
    fields[0] = doc.text_element(names[0], "100");
    fields[1] = doc.text_element(names[1], "MAT-" + std::to_string(100000 + r));
    fields[2] = doc.text_element(names[2], "1000");
    fields[3] = doc.text_element(names[3], r % 3 ? "0001" : "0002");
    fields[4] = doc.new_element(names[4]);
    fields[5] = doc.text_element(names[5], std::to_string(r * 7 % 10000) + ".000");
    fields[6] = doc.text_element(names[6], "EA");
    fields[7] = doc.text_element(names[7], "2024-01-15");
    fields[8] = doc.text_element(names[8], r % 2 ? "X" : "");
    rows.push_back(doc.structure_element("item", fields));
  }
  doc.add_param(doc.table_element("DATA", rows));
  return doc;
}

const Bytes& payload() {
  static const Bytes bytes = [] {
    auto w = write_basxml(table_document());
    if (!w.ok()) std::abort();
    return std::move(w).value();
  }();
  return bytes;
}

void BM_parse_basxml(benchmark::State& state) {
  const Bytes& in = payload();
  std::size_t elements = 0, peak = 0, held = 0;
  for (auto _ : state) {
    const std::size_t before = g_current.load();
    g_peak.store(before);
    auto doc = parse_basxml(in);
    if (!doc.ok()) state.SkipWithError("parse failed");
    elements = doc->element_count();
    peak = g_peak.load() - before;
    held = g_current.load() - before;
    benchmark::DoNotOptimize(doc);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
  state.counters["elements"] = static_cast<double>(elements);
  state.counters["payload_B/elem"] = static_cast<double>(in.size()) / static_cast<double>(elements);
  state.counters["peak_B/elem"] = static_cast<double>(peak) / static_cast<double>(elements);
  state.counters["held_B/elem"] = static_cast<double>(held) / static_cast<double>(elements);
  state.counters["peak/payload"] = static_cast<double>(peak) / static_cast<double>(in.size());
}

void BM_write_basxml(benchmark::State& state) {
  const BasxmlDocument doc = table_document();
  std::size_t size = 0;
  for (auto _ : state) {
    auto w = write_basxml(doc);
    if (!w.ok()) state.SkipWithError("write failed");
    size = w->size();
    benchmark::DoNotOptimize(w);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * doc.element_count()));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * size));
}

void BM_build_tree(benchmark::State& state) {
  std::size_t elements = 0;
  for (auto _ : state) {
    BasxmlDocument doc = table_document();
    elements = doc.element_count();
    benchmark::DoNotOptimize(doc);
  }
  state.SetItemsProcessed(static_cast<std::int64_t>(state.iterations() * elements));
}

// The anchor: one pass over the same bytes that only reads each token byte
// (no tree), the floor that any parser of this stream stands on.
void BM_scan_payload(benchmark::State& state) {
  const Bytes& in = payload();
  for (auto _ : state) {
    std::size_t closes = 0;
    for (std::uint8_t b : in) closes += b == kTokenClose;
    benchmark::DoNotOptimize(closes);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * in.size()));
}

BENCHMARK(BM_parse_basxml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_write_basxml)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_build_tree)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_scan_payload)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

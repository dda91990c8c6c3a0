// A table parameter of 100,000 rows of 80 bytes (ID, NAME, AMOUNT, DAY,
// SCORE, laid out like a typical dictionary structure) through both call
// routes, in MB/s of row bytes:
//
//   encode  the request: basXML (rows taken apart by their layout into an
//           asXML document, written as tokens, deflated, wrapped in its
//           container) beside classic (one TableContent record per row)
//   decode  the reply: basXML (payload records joined, inflated, parsed, the
//           records read for ABAP errors, the rows rebuilt into images)
//           beside classic (the rows LZH-compressed in 64 KiB records, as a
//           server sends a large table, walked, expanded and handed out)
//
// After the runs each basXML figure is printed beside its classic anchor of
// the same run as a ratio.
#include <benchmark/benchmark.h>
#include <zlib.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "proto/call/basxml.hpp"
#include "proto/call/exchange.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/metadata/describe.hpp"
#include "tests/support/compressed_table.hpp"
#include "tests/support/descriptions.hpp"
#include "tests/support/zlib_oracle.hpp"
#include "wire/basxml.hpp"
#include "wire/container.hpp"
#include "wire/deflate.hpp"
#include "wire/utf.hpp"

namespace {

using namespace quib;
using proto::ParamDirection;
using test::field;
using wire::AbapType;
using wire::Bytes;
using wire::RecordId;

constexpr std::uint32_t kRows = 100'000;
constexpr std::uint32_t kWidth = 80;
constexpr double kRowBytes = static_cast<double>(kRows) * kWidth;

const proto::BasxmlTypes& types() {
  static const proto::BasxmlTypes t = [] {
    proto::BasxmlTypes m;
    m["ZBENCH_ROW"] =
        test::layout("ZBENCH_ROW",
                     {field("ID", AbapType::Int4, 0, 4), field("NAME", AbapType::Char, 4, 40),
                      field("AMOUNT", AbapType::Bcd, 44, 8, 2),
                      field("DAY", AbapType::Date, 52, 16), field("SCORE", AbapType::Float, 72, 8)},
                     kWidth);
    return m;
  }();
  return t;
}

const proto::FunctionDescription& description() {
  static const proto::FunctionDescription d = [] {
    proto::FunctionDescription f;
    f.name = "Z_BENCH";
    f.basxml_supported = true;
    f.parameters.push_back(
        test::param("T_ROWS", ParamDirection::Table, AbapType::Table, kWidth, "ZBENCH_ROW"));
    return f;
  }();
  return d;
}

// Row i: ID i + 1, NAME "ROW nnnnnnn", AMOUNT (i + 1) * 1.25 packed, DAY a
// date of 2024, SCORE i / 4.
Bytes make_row(std::uint32_t i) {
  Bytes r(kWidth, 0);
  wire::store_le32(r.data(), i + 1);
  char name[24];
  std::snprintf(name, sizeof name, "ROW %07u", i + 1);
  for (int k = 0; k < 20; ++k) {
    r[4 + 2 * k] = static_cast<std::uint8_t>(k < 11 ? name[k] : ' ');
    r[5 + 2 * k] = 0;
  }
  // (i + 1) * 125 hundredths as 15 packed digits and the sign nibble C.
  std::uint64_t v = static_cast<std::uint64_t>(i + 1) * 125;
  r[51] = static_cast<std::uint8_t>((v % 10) << 4 | 0x0C);
  v /= 10;
  for (int b = 50; b >= 44; --b) {
    r[b] = static_cast<std::uint8_t>((v % 10) | ((v / 10) % 10) << 4);
    v /= 100;
  }
  char day[9];
  std::snprintf(day, sizeof day, "2024%02u%02u", 1 + i % 12, 1 + i % 28);
  for (int k = 0; k < 8; ++k) r[52 + 2 * k] = static_cast<std::uint8_t>(day[k]);
  const double score = i / 4.0;
  std::memcpy(r.data() + 72, &score, 8);
  return r;
}

const std::vector<Bytes>& rows() {
  static const std::vector<Bytes> r = [] {
    std::vector<Bytes> out;
    out.reserve(kRows);
    for (std::uint32_t i = 0; i < kRows; ++i) out.push_back(make_row(i));
    return out;
  }();
  return r;
}

const std::vector<wire::TableArg>& table_args() {
  static const std::vector<wire::TableArg> t = {
      wire::TableArg::byte_rows("T_ROWS", rows(), kWidth)};
  return t;
}

Bytes basxml_request() {
  auto doc = proto::encode_basxml_request(description(), types(), {}, {}, table_args());
  if (!doc) std::abort();
  auto text = wire::write_basxml(doc.value());
  if (!text) std::abort();
  const std::vector<std::string> outputs = description().requested_outputs();
  auto request =
      proto::basxml_request_container("Z_BENCH", outputs, wire::deflate_raw(text.value()));
  if (!request) std::abort();
  return std::move(request).value();
}

Bytes classic_request() {
  const std::vector<std::string> outputs = description().requested_outputs();
  auto request = proto::encode_classic_request("Z_BENCH", {}, outputs, table_args());
  if (!request) std::abort();
  return std::move(request).value();
}

// The reply a server sends on each route, made once.
const Bytes& basxml_reply() {
  static const Bytes r = [] {
    auto doc = proto::encode_basxml_request(description(), types(), {}, {}, table_args());
    const Bytes deflated = wire::deflate_raw(wire::write_basxml(doc.value()).value());
    wire::ContainerWriter w;
    w.put_record(RecordId::BasxmlVersion, Bytes{1, 1});
    for (std::size_t pos = 0; pos < deflated.size(); pos += 65536)
      w.put_record(RecordId::BasxmlPayload,
                   wire::ByteView(deflated).subspan(
                       pos, std::min<std::size_t>(65536, deflated.size() - pos)));
    w.put_record(RecordId::BasxmlEnd, {});
    return std::move(w).finish_container().value();
  }();
  return r;
}

const Bytes& classic_reply() {
  static const Bytes r = [] {
    Bytes plain;
    for (const Bytes& row : rows()) plain.insert(plain.end(), row.begin(), row.end());
    const Bytes content =
        test::lzh_table_content(test::zlib_deflate(plain, 6, Z_DEFAULT_STRATEGY, 9),
                                static_cast<std::uint32_t>(plain.size()));
    wire::ContainerWriter w;
    w.put_record(RecordId::TableName, wire::encode_utf16le("T_ROWS"));
    Bytes header(8);
    wire::store_be32(header.data(), kWidth);
    wire::store_be32(header.data() + 4, kRows);
    w.put_record(RecordId::TableHeader, header);
    test::put_compressed_records(w, content);
    return std::move(w).finish_container().value();
  }();
  return r;
}

std::vector<wire::Record> records_of(const Bytes& container) {
  auto reader = wire::ContainerReader::create(container);
  auto all = reader->read_all_records();
  if (!all) std::abort();
  return std::move(all).value();
}

// run_call's reading of a basXML reply, its dictionary types at hand.
std::uint64_t decode_basxml(const Bytes& reply) {
  const auto records = records_of(reply);
  Bytes payload;
  for (const auto& r : records)
    if (r.id == RecordId::BasxmlPayload)
      payload.insert(payload.end(), r.value.begin(), r.value.end());
  wire::ExpansionBudget budget(proto::reply_budget_bytes(reply.size()));
  auto text = wire::inflate_raw(payload, proto::kMaxBasxmlReply, budget);
  if (!text) std::abort();
  const auto selection = proto::reply_selection(description(), types());
  auto doc = wire::parse_basxml(text.value(), budget, selection.get());
  if (!doc) std::abort();
  auto decoded = proto::decode_classic_reply(records, &description(), {}, budget);
  if (!decoded) std::abort();
  proto::CallReply reply_out = std::move(decoded).value();
  if (!proto::decode_basxml_reply(doc.value(), description(), types(), reply_out, budget))
    std::abort();
  auto table = proto::reply_table_rows(reply_out.tables.at(0));
  if (!table || (*table)->row_count() != kRows) std::abort();
  return (*table)->row_count();
}

std::uint64_t decode_classic(const Bytes& reply) {
  const auto records = records_of(reply);
  auto decoded = proto::decode_classic_reply(records, &description(), {});
  if (!decoded) std::abort();
  auto table = proto::reply_table_rows(decoded->tables.at(0));
  if (!table || (*table)->row_count() != kRows) std::abort();
  return (*table)->row_count();
}

void rate(benchmark::State& state, std::size_t wire_bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(kRowBytes) * state.iterations());
  state.counters["wire_MB"] = static_cast<double>(wire_bytes) / 1e6;
}

void BM_EncodeBasxml(benchmark::State& state) {
  std::size_t n = 0;
  for (auto _ : state) {
    Bytes r = basxml_request();
    n = r.size();
    benchmark::DoNotOptimize(r.data());
  }
  rate(state, n);
}

void BM_EncodeClassic(benchmark::State& state) {
  std::size_t n = 0;
  for (auto _ : state) {
    Bytes r = classic_request();
    n = r.size();
    benchmark::DoNotOptimize(r.data());
  }
  rate(state, n);
}

void BM_DecodeBasxml(benchmark::State& state) {
  const Bytes& reply = basxml_reply();
  for (auto _ : state) benchmark::DoNotOptimize(decode_basxml(reply));
  rate(state, reply.size());
}

void BM_DecodeClassic(benchmark::State& state) {
  const Bytes& reply = classic_reply();
  for (auto _ : state) benchmark::DoNotOptimize(decode_classic(reply));
  rate(state, reply.size());
}

BENCHMARK(BM_EncodeBasxml)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_EncodeClassic)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecodeBasxml)->Unit(benchmark::kMillisecond)->MinTime(2.0);
BENCHMARK(BM_DecodeClassic)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// Keeps each run's rate to print the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& r : runs) {
      auto it = r.counters.find("bytes_per_second");
      if (it != r.counters.end()) rates_[r.benchmark_name()] = it->second.value;
    }
  }
  void print_ratios() const {
    for (const char* step : {"Encode", "Decode"}) {
      const std::string b = std::string("BM_") + step + "Basxml/min_time:2.000";
      const std::string c = std::string("BM_") + step + "Classic/min_time:2.000";
      auto bi = rates_.find(b);
      auto ci = rates_.find(c);
      if (bi == rates_.end() || ci == rates_.end() || ci->second <= 0) continue;
      std::printf("%s %u rows: basXML %.1f MB/s, classic %.1f MB/s, basXML/classic %.3f\n", step,
                  kRows, bi->second / 1e6, ci->second / 1e6, bi->second / ci->second);
    }
  }

 private:
  std::map<std::string, double> rates_;
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.print_ratios();
  benchmark::Shutdown();
  return 0;
}

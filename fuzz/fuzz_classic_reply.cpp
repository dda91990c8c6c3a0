// Classic reply decoding of arbitrary bytes against a fixed description and
// two sent tables. Whatever the bytes, the decode must not crash and its
// result must be consistent: one text pair per value, tables whose rows fill
// exactly width x count bytes, rows handed out only when the table is sound.
// The assembler that collects a reply must agree with the reader about
// whether the bytes form a complete container, however they are split.
#include <cstdlib>
#include <memory>

#include "proto/call/reply.hpp"
#include "proto/metadata/describe.hpp"
#include "tests/support/descriptions.hpp"
#include "wire/container.hpp"

using namespace quib;
using proto::ParamDirection;
using wire::AbapType;

namespace {

const proto::FunctionDescription& description() {
  static const proto::FunctionDescription d = [] {
    proto::FunctionDescription f;
    f.name = "Z_FUZZ";
    const std::pair<const char*, AbapType> params[] = {
        {"CHAR", AbapType::Char},       {"NUMC", AbapType::Numc},
        {"PACKED", AbapType::Bcd},      {"FLOAT", AbapType::Float},
        {"INT1", AbapType::Int1},       {"INT4", AbapType::Int4},
        {"INT8", AbapType::Int8},       {"RAW", AbapType::Byte},
        {"STRING", AbapType::String},   {"DF16", AbapType::DecFloat16},
        {"DF34", AbapType::DecFloat34}, {"UTCLONG", AbapType::Utclong},
        {"ROW", AbapType::Structure},   {"ODD", AbapType::unknown('q')},
    };
    for (const auto& [n, t] : params) {
      f.parameters.push_back(test::param(n, ParamDirection::Export, t, 0));
    }
    return f;
  }();
  return d;
}

const std::vector<wire::TableArg>& sent() {
  static const std::vector<wire::TableArg> s = {
      wire::TableArg::byte_rows("T1", {wire::Bytes(6, 1), wire::Bytes(6, 2)}, 6),
      wire::TableArg::text_rows("T2", {"ab"}, 4),
  };
  return s;
}

void check(const proto::CallReply& r) {
  if (r.text_pairs.size() != r.values.size()) std::abort();
  for (std::size_t i = 0; i < r.values.size(); ++i)
    if (r.text_pairs[i].first != r.values[i].first) std::abort();
  if (r.deep_values.size() != r.deep_nodes.size()) std::abort();
  for (const auto& t : r.tables) {
    if (!t.content.empty()) std::abort();  // consumed at the end of the decode
    const auto& rows = t.rows;
    if (rows.bytes().size() != rows.row_width() * rows.row_count()) std::abort();
    auto got = proto::reply_table_rows(t);
    if (got) {
      if (!t.kept_compressed.empty() || t.shape_error) std::abort();
      const std::size_t n = (*got)->chunk_count();
      if (rows.row_width() != 0 && n != rows.row_count()) std::abort();
      for (std::size_t i = 0; i < n; ++i)
        if ((*got)->chunk(i).size() != (rows.row_width() ? rows.row_width() : 1)) std::abort();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  wire::ByteView in(data, size);

  auto reader = wire::ContainerReader::create(in);
  std::optional<std::vector<wire::Record>> records;
  if (reader) {
    auto all = reader->read_all_records();
    if (all) records = std::move(all).value();
  }

  // The assembler, fed in pieces, reaches the reader's verdict.
  wire::ContainerAssembler assembler;
  bool complete = false;
  std::size_t pos = 0;
  const std::size_t step = size > 0 ? 1 + data[0] % 13 : 1;
  while (pos < size && !complete) {
    const std::size_t n = std::min(step, size - pos);
    auto st = assembler.push(in.subspan(pos, n));
    pos += n;
    if (!st) break;
    complete = st.value() == wire::AssemblyStatus::Complete;
  }
  if (complete && !records) std::abort();

  if (!records) return 0;
  for (const proto::FunctionDescription* d :
       {&description(), (const proto::FunctionDescription*)nullptr}) {
    auto r = proto::decode_classic_reply(*records, d, sent());
    if (r) check(r.value());
  }
  return 0;
}

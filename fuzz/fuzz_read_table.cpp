// RFC_READ_TABLE pages from any reply: the first page is the input, a
// second one never comes. Reading never crashes, never returns more rows
// than asked for, and every row splits into fields that rejoin into its
// text.
#include <cstdlib>
#include <string>

#include "fuzz/check.hpp"
#include "proto/invoke/lookups.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/descriptions.hpp"

using namespace quib;
using fuzz::check;
using proto::ParamDirection;
using wire::AbapType;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::FakeSession s;
  auto d = std::make_shared<proto::FunctionDescription>();
  d->name = "RFC_READ_TABLE";
  d->parameters = {test::param("QUERY_TABLE", ParamDirection::Import, AbapType::Char, 60),
                   test::param("DELIMITER", ParamDirection::Import, AbapType::Char, 2),
                   test::param("ROWSKIPS", ParamDirection::Import, AbapType::Int4, 4),
                   test::param("ROWCOUNT", ParamDirection::Import, AbapType::Int4, 4),
                   test::param("GET_SORTED", ParamDirection::Import, AbapType::Char, 2),
                   test::param("DATA", ParamDirection::Table, AbapType::Table, 1024)};
  d->index_parameters();
  s.cache->put_function_description("SIM", d->name, d);
  s.reply(wire::Bytes(data, data + size));

  proto::ReadTableOptions options;
  options.max_rows = 3;
  options.delimiter = U'|';
  auto rows = proto::read_table(s.connection, "T000", options);
  if (!rows) return 0;
  check(rows->size() <= 3);
  for (const proto::DelimitedRow& row : *rows) {
    std::string joined;
    for (std::size_t k = 0; k < row.field_count(); ++k) {
      if (k > 0) joined += '|';
      joined += row.field(k, U'|');
    }
    check(joined == row.text);
  }
  return 0;
}

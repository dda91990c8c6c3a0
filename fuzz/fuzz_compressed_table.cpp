// Compressed table content: any bytes expand without crashing, and the
// output never passes the declared length; with an expansion budget the
// output is the same when the budget holds it (and takes exactly its
// size), and OutputOverflow with the budget exhausted when it is one byte
// smaller.
#include <cstdlib>

#include "fuzz/check.hpp"
#include "wire/bytes.hpp"
#include "wire/compress.hpp"

using namespace quib::wire;
using quib::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto out = decompress_table_chunk(in);
  if (!out.ok()) {
    using K = DecompressError::Kind;
    const K k = out.error().kind;
    check(size < 8 ? k == K::TooShort : k != K::TooShort);
    check(k != K::Stopped);
    return 0;
  }
  check(size >= 8);
  const std::uint32_t declared = load_le32(data);
  check(out->size() <= declared);

  ExpansionBudget exact(out->size());
  auto same = decompress_table_chunk(in, exact);
  check(same.ok() && same.value() == out.value() && exact.left() == 0);
  if (!out->empty()) {
    ExpansionBudget short_by_one(out->size() - 1);
    auto refused = decompress_table_chunk(in, short_by_one);
    check(!refused.ok() && short_by_one.exhausted() &&
          refused.error() == DecompressError::output_overflow(out->size() - 1));
  }
  return 0;
}

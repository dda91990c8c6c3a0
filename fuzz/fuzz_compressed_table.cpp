// Compressed table content: any bytes expand without crashing, and the
// output never passes the declared length.
#include <cstdlib>

#include "wire/bytes.hpp"
#include "wire/compress.hpp"

using namespace quib::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto out = decompress_table_chunk(in);
  if (!out.ok()) {
    using K = DecompressError::Kind;
    const K k = out.error().kind;
    if (size < 8 ? k != K::TooShort : k == K::TooShort) std::abort();
    return 0;
  }
  if (size < 8) std::abort();
  const std::uint32_t declared = load_le32(data);
  if (out->size() > declared) std::abort();
  return 0;
}

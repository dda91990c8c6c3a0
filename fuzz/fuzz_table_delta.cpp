// The head of a table-delta block: any bytes give a head or the short-block
// error; a head is the first twelve bytes read back, whatever follows them.
#include <cstdlib>
#include <cstring>

#include "wire/table_delta.hpp"

using namespace quib;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const wire::ByteView block(data, size);
  auto h = wire::parse_table_delta_header(block);
  if (size < wire::kDeltaHeaderSize) {
    if (h.ok() || h.error().size != size) std::abort();
    return 0;
  }
  if (!h.ok()) std::abort();
  const auto bytes = wire::table_delta_header(*h);
  if (std::memcmp(bytes.data(), data, bytes.size()) != 0) std::abort();
  return 0;
}

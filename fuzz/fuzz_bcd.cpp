// Packed decimals: unpacking never crashes; an unpacked text packs back into
// the same width and unpacks to the same text. The input read as text
// exercises the packer the same way.
#include "fuzz/check.hpp"
#include "wire/types.hpp"

using namespace quib::wire;

using quib::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::uint32_t decimals = data[0] % 48;
  const ByteView field(data + 1, size - 1);
  if (auto text = unpack_bcd(field, decimals)) {
    auto packed = pack_bcd(*text, static_cast<std::uint32_t>(field.size()), decimals);
    check(packed.ok() && packed->size() == field.size());
    auto again = unpack_bcd(*packed, decimals);
    check(again.ok() && *again == *text);
    // Digits and the sign nibble D survive; other sign nibbles become C.
    for (std::size_t i = 0; i + 1 < field.size(); ++i) check((*packed)[i] == field[i]);
  }
  const std::uint32_t width = static_cast<std::uint32_t>(data[0] % 17);
  if (auto packed = pack_bcd(as_chars(field), width, decimals)) {
    check(packed->size() == width);
    auto text = unpack_bcd(*packed, decimals);
    check(text.ok());
    auto again = pack_bcd(*text, width, decimals);
    check(again.ok() && *again == *packed);
  }
  return 0;
}

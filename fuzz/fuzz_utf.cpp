// Text decoders never fail: UTF-16LE and lossy UTF-8 give valid UTF-8 for
// any bytes, and re-encoding valid text round-trips.
#include <cstdlib>

#include "wire/utf.hpp"

using namespace quib::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView in(data, size);
  std::string a = decode_utf16le(in);
  if (!is_valid_utf8(a)) std::abort();
  if (is_valid_utf16le(in) && encode_utf16le(a) != Bytes(in.begin(), in.end())) std::abort();
  std::string b = utf8_lossy(in);
  if (!is_valid_utf8(b)) std::abort();
  if (is_valid_utf8(as_chars(in)) && b != as_chars(in)) std::abort();
  if (decode_utf16le(encode_utf16le(b)) != b) std::abort();
  return 0;
}

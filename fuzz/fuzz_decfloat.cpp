// DECFLOAT: any 8 or 16 bytes decode; the text encodes back to the canonical
// bytes of the same number, and canonical bytes round-trip exactly. The input
// read as text exercises the encoder: whatever it accepts decodes and
// re-encodes to the same bytes.
#include "fuzz/check.hpp"
#include "wire/decfloat.hpp"

using namespace quib::wire;

namespace {

using quib::fuzz::check;

void bytes_round_trip(ByteView b, bool wide) {
  auto text = wide ? decode_decfloat34(b) : decode_decfloat16(b);
  check(text.ok());
  auto enc = wide ? encode_decfloat34(*text) : encode_decfloat16(*text);
  check(enc.ok());
  auto again = wide ? decode_decfloat34(*enc) : decode_decfloat16(*enc);
  check(again.ok() && *again == *text);
  // The canonical form is a fixed point.
  auto enc2 = wide ? encode_decfloat34(*again) : encode_decfloat16(*again);
  check(enc2.ok() && *enc2 == *enc);
}

void text_round_trip(std::string_view t, bool wide) {
  auto enc = wide ? encode_decfloat34(t) : encode_decfloat16(t);
  if (!enc) return;
  auto text = wide ? decode_decfloat34(*enc) : decode_decfloat16(*enc);
  check(text.ok());
  bool all_zero = true;
  for (auto x : *enc) all_zero = all_zero && x == 0;
  if (all_zero) return;  // reads as "0", a different exponent
  auto enc2 = wide ? encode_decfloat34(*text) : encode_decfloat16(*text);
  check(enc2.ok() && *enc2 == *enc);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  if (size >= 8) bytes_round_trip(in.first(8), false);
  if (size >= 16) bytes_round_trip(in.first(16), true);
  (void)decode_decfloat16(in);
  (void)decode_decfloat34(in);
  text_round_trip(as_chars(in), false);
  text_round_trip(as_chars(in), true);
  return 0;
}

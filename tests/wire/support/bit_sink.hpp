// A DEFLATE bit writer for hand-built streams: bits go least significant
// first, Huffman codes most significant bit first (RFC 1951, section 3.1.1).
#pragma once

#include <cstdint>

#include "wire/bytes.hpp"

namespace quib::test {

struct BitSink {
  wire::Bytes out;
  unsigned fill = 0;  // bits used in the last byte of `out`, 0 when it is full

  void bit(unsigned b) {
    if (fill == 0) out.push_back(0);
    out.back() |= static_cast<std::uint8_t>((b & 1u) << fill);
    fill = (fill + 1) & 7u;
  }
  // The low `n` bits of `v`, least significant first.
  void bits(std::uint32_t v, unsigned n) {
    for (unsigned i = 0; i < n; ++i) bit(v >> i);
  }
  // An `n`-bit Huffman code, most significant bit first.
  void code(std::uint32_t c, unsigned n) {
    for (unsigned i = n; i-- > 0;) bit(c >> i);
  }
  // Fixed literal/length code of a symbol.
  void fixed(unsigned sym) {
    if (sym < 144)
      code(0x30 + sym, 8);
    else if (sym < 256)
      code(0x190 + sym - 144, 9);
    else if (sym < 280)
      code(sym - 256, 7);
    else
      code(0xC0 + sym - 280, 8);
  }
  // Fixed distance code of a symbol.
  void fixed_distance(unsigned sym) { code(sym, 5); }
  // Every bit of a byte stream, in stream order.
  void stream(wire::ByteView bytes) {
    for (std::uint8_t b : bytes) bits(b, 8);
  }
};

}  // namespace quib::test

// zlib as the independent implementation of raw DEFLATE (windowBits -15, no
// wrapper) that the tests, the DEFLATE benchmark and the inflate fuzz target
// hold ours against. No GoogleTest here: a zlib call that fails where it
// cannot fail throws.
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <stdexcept>

#include "wire/bytes.hpp"

namespace quib::test {

// zlib's raw stream of `in` at `level` (0..9) with `strategy` and
// `mem_level` (1..9).
inline wire::Bytes zlib_deflate(wire::ByteView in, int level, int strategy = Z_DEFAULT_STRATEGY,
                                int mem_level = 8) {
  z_stream s{};
  if (deflateInit2(&s, level, Z_DEFLATED, -15, mem_level, strategy) != Z_OK)
    throw std::runtime_error("zlib deflateInit2 refused the level or strategy");
  wire::Bytes out(deflateBound(&s, in.size()) + 16);
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = deflate(&s, Z_FINISH);
  out.resize(s.total_out);
  deflateEnd(&s);
  if (rc != Z_STREAM_END) throw std::runtime_error("zlib deflate did not finish the stream");
  return out;
}

// What zlib inflates from `in`, or nothing when it refuses the stream or
// the stream does not end.
inline std::optional<wire::Bytes> zlib_inflate(wire::ByteView in) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return std::nullopt;
  wire::Bytes out;
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  int rc = Z_OK;
  std::uint8_t chunk[65536];
  while (rc == Z_OK) {
    s.next_out = chunk;
    s.avail_out = sizeof chunk;
    rc = inflate(&s, Z_NO_FLUSH);
    out.insert(out.end(), chunk, chunk + (sizeof chunk - s.avail_out));
    if (rc == Z_BUF_ERROR && s.avail_in == 0) break;
  }
  inflateEnd(&s);
  if (rc != Z_STREAM_END) return std::nullopt;
  return out;
}

// zlib inflating `in` into a ready buffer in one call (its fastest way):
// the output size when the stream ended within `out`, else nothing.
inline std::optional<std::size_t> zlib_inflate_into(wire::ByteView in,
                                                    std::span<std::uint8_t> out) {
  z_stream s{};
  if (inflateInit2(&s, -15) != Z_OK) return std::nullopt;
  s.next_in = const_cast<Bytef*>(in.data());
  s.avail_in = static_cast<uInt>(in.size());
  s.next_out = out.data();
  s.avail_out = static_cast<uInt>(out.size());
  const int rc = inflate(&s, Z_FINISH);
  const std::size_t n = s.total_out;
  inflateEnd(&s);
  if (rc != Z_STREAM_END) return std::nullopt;
  return n;
}

}  // namespace quib::test

// Compressed table content as an ABAP server sends it, for the benchmarks
// that decode large replies: the LZH variant's header around a raw DEFLATE
// stream (zlib's, see zlib_oracle.hpp; this system has no compressor), and
// the content cut into records as a reply carries it. No GoogleTest here.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "wire/bytes.hpp"
#include "wire/container.hpp"

namespace quib::test {

// The content of a compressed table: the record prefix, the declared
// (uncompressed) length, the algorithm, and the DEFLATE bits of `deflated`
// after a two-bit skip count of 0.
inline wire::Bytes lzh_table_content(wire::ByteView deflated, std::uint32_t declared) {
  wire::Bytes out = {0x7B, 0x02, 0x01, 0xEA, 0, 0, 0, 0};
  wire::append_le32(out, declared);
  out.insert(out.end(), {0x12, 0x1F, 0x9D, 0x01});
  const std::size_t base = out.size();
  out.resize(base + deflated.size() + 1, 0);
  for (std::size_t i = 0; i < deflated.size(); ++i) {
    out[base + i] |= static_cast<std::uint8_t>(deflated[i] << 2);
    out[base + i + 1] |= static_cast<std::uint8_t>(deflated[i] >> 6);
  }
  return out;
}

// Compressed content in records of `piece` bytes: the first a
// TableCompressed record, the rest TableCompressedChunk records.
inline void put_compressed_records(wire::ContainerWriter& w, wire::ByteView content,
                                   std::size_t piece = 65536) {
  for (std::size_t pos = 0; pos < content.size(); pos += piece) {
    const std::size_t n = std::min(piece, content.size() - pos);
    w.put_record(pos == 0 ? wire::RecordId::TableCompressed : wire::RecordId::TableCompressedChunk,
                 content.subspan(pos, n));
  }
}

}  // namespace quib::test

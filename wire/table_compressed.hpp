// The layout of compressed table content: a table's content bytes when the
// server sent its rows compressed (the records TableCompressed and
// TableCompressedChunk, joined).
//
//   0..7    record prefix: bytes 0, 1 and 3 are 7B 02 EA; bytes 2 and 4..7
//           are not read
//   8..15   the chunk's head:
//             8..11  declared length: the bytes the content expands to,
//                    unsigned 32-bit little-endian
//             12     algorithm byte, 0x11 or 0x12; its low 4 bits name the
//                    algorithm, and only 2 (LZH) is expanded
//             13..14 1F 9D
//             15     not read
//   16..    the LZH bit stream (wire/compress.hpp)
//
// The chunk is the content from byte 8 on: the decompressor is handed it,
// head first. Content is recognised by the container reader
// (detect_compressed_table, wire/container.hpp) and expanded by
// decompress_table_chunk (wire/compress.hpp); both read the head here.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

inline constexpr std::size_t kCompressedTablePrefixSize = 8;
inline constexpr std::size_t kCompressedTableHeaderSize = 8;

// The bytes of the record prefix that mark compressed content.
struct CompressedTablePrefixMark {
  std::size_t offset = 0;
  std::uint8_t value = 0;
};
inline constexpr std::array<CompressedTablePrefixMark, 3> kCompressedTablePrefixMarks{{
    {0, 0x7B},
    {1, 0x02},
    {3, 0xEA},
}};

// Offsets within the chunk's head.
inline constexpr std::size_t kCompressedTableAlgorithmOffset = 4;
inline constexpr std::size_t kCompressedTableMarkOffset = 5;
inline constexpr std::array<std::uint8_t, 2> kCompressedTableMark{0x1F, 0x9D};

// The algorithm bytes that mark compressed content, and the algorithm (the
// low 4 bits of that byte) that is expanded.
inline constexpr std::uint8_t kCompressedTableAlgorithmByteLzc = 0x11;
inline constexpr std::uint8_t kCompressedTableAlgorithmByteLzh = 0x12;
inline constexpr std::uint8_t kCompressedTableAlgorithmLzh = 2;

struct CompressedTableHeader {
  std::uint32_t declared_length = 0;  // the uncompressed length
  std::uint8_t algorithm = 0;         // the algorithm byte, whole
  // The algorithm it names: the byte's low 4 bits.
  std::uint8_t algorithm_code() const { return algorithm & 0x0F; }
  friend bool operator==(const CompressedTableHeader&, const CompressedTableHeader&) = default;
};

// A chunk shorter than its head.
struct CompressedTableHeaderError {
  std::uint64_t size = 0;  // the chunk's bytes
  // "{size}-byte compressed table header"
  std::string message() const;
  friend bool operator==(const CompressedTableHeaderError&,
                         const CompressedTableHeaderError&) = default;
};

// The head of a chunk (the content from byte 8 on). The mark bytes 1F 9D
// are not checked here: the recogniser checks them, the decompressor does
// not.
Result<CompressedTableHeader, CompressedTableHeaderError> parse_compressed_table_header(
    ByteView chunk);

// The 8 bytes of a head: declared length, algorithm byte, 1F 9D, and a zero
// byte where nothing is read.
std::array<std::uint8_t, kCompressedTableHeaderSize> compressed_table_header(
    const CompressedTableHeader& header);

// The chunk of compressed content: everything after the record prefix
// (empty when the content is not longer than the prefix).
inline ByteView compressed_table_chunk(ByteView content) {
  return content.size() > kCompressedTablePrefixSize ? content.subspan(kCompressedTablePrefixSize)
                                                     : ByteView();
}

}  // namespace quib::wire

// Compressed table content: an ABAP server may send a table's rows as an
// LZH variant that uses DEFLATE's bit format, Huffman codes and
// length/distance alphabets. This file expands it; there is no compressor.
//
// Layout of the bytes handed in (they start at offset 8 of the table
// content, after the record prefix that the reply decoder recognises):
//   0..3  declared length, unsigned 32-bit little-endian
//   4     low 4 bits: algorithm (only 2, LZH, is decoded)
//   5..7  not read
//   8..   the bit stream: two bits s, s bits skipped, then fixed (1) and
//         dynamic (2) blocks as in RFC 1951; stored (0) and type 3 blocks
//         are not part of the format. The stream ends after a block with
//         the last-block flag or after any block that fills the declared
//         length.
#pragma once

#include "wire/bytes.hpp"
#include "wire/deflate.hpp"
#include "wire/result.hpp"

namespace quib::wire {

inline constexpr std::size_t kCompressedTableHeaderSize = 8;
inline constexpr std::uint8_t kCompressedTableAlgorithmLzh = 2;

// How far a chunk may expand beyond its declared length's say-so: at most
// kTableExpansionRatio bytes per byte of the bit stream, or
// kTableExpansionAllowance bytes whatever the stream's size.
//
// Rows padded with blanks compress well, but not without bound. Measured
// with zlib at level 6 (what the simulated server sends) on UTF-16 rows
// that carry a distinct key and blanks to the row width, the ratio is
// 13 (16 characters), 44 (64), 110 (256), 190 (512), 307 (1024),
// 590 (4096) and 840 (16384 characters); fixed-code streams never pass
// 159. Only rows that are blank from end to end, or rows of thousands of
// characters that hold next to nothing, come near DEFLATE's own ceiling
// of 1032 (a 258-byte match in two bits). 512 keeps every table up to
// rows of 4096 characters, and the allowance keeps small tables of blank
// rows; beyond both a chunk is taken for what it is, an amplifier.
inline constexpr std::uint64_t kTableExpansionRatio = 512;
inline constexpr std::uint64_t kTableExpansionAllowance = 8ull << 20;

// The most bytes a chunk declaring `declared` bytes, with `stream_bytes`
// bytes of bit stream, may expand to.
std::uint64_t table_expansion_limit(std::uint64_t declared, std::uint64_t stream_bytes);

// The row bytes of a compressed table chunk. The output never grows past
// table_expansion_limit (OutputOverflow { declared: that limit } when the
// stream tries to), and nothing is reserved from the declared length up
// front. It may be shorter than declared when a last block ends early.
Result<Bytes, DecompressError> decompress_table_chunk(ByteView bytes);

}  // namespace quib::wire

// Compressed table content: an ABAP server may send a table's rows as an
// LZH variant that uses DEFLATE's bit format, Huffman codes and
// length/distance alphabets. This file expands it; there is no compressor.
//
// The bytes handed in are the chunk of the table content (its layout:
// wire/table_compressed.hpp): the 8-byte head, whose declared length and
// algorithm are read (only 2, LZH, is decoded), then from byte 8 on the bit
// stream: two bits s, s bits skipped, then fixed (1) and dynamic (2) blocks
// as in RFC 1951; stored (0) and type 3 blocks are not part of the format.
// The stream ends after a block with the last-block flag or after any block
// that fills the declared length.
#pragma once

#include "wire/bytes.hpp"
#include "wire/deflate.hpp"
#include "wire/expansion.hpp"
#include "wire/result.hpp"
#include "wire/table_compressed.hpp"

namespace quib::wire {

// The row bytes of a compressed table chunk. The output never grows past
// the declared length (OutputOverflow { declared: D } when the stream tries
// to), and nothing is reserved from the declared length up front. It may be
// shorter than declared when a last block ends early.
Result<Bytes, DecompressError> decompress_table_chunk(ByteView bytes);
// The same drawing from `budget`: the output is bounded by what is left of
// it too (OutputOverflow with that bound, the budget marked exhausted) and
// taken from it once made, and the work is reported to it (Stopped when its
// owner says stop).
Result<Bytes, DecompressError> decompress_table_chunk(ByteView bytes, ExpansionBudget& budget);
// The same handed to `sink` as it is made, through a buffer of about
// `window` bytes (InflateOutput's handed-out form), instead of being held
// whole; the number of bytes made. The sink's stop is Stopped.
Result<std::uint64_t, DecompressError> decompress_table_chunk_to(ByteView bytes,
                                                                 ExpansionBudget& budget,
                                                                 std::size_t window,
                                                                 const InflateOutput::Sink& sink);

}  // namespace quib::wire

#include "wire/compress.hpp"

#include <algorithm>
#include <cstdint>
#include <memory>

namespace quib::wire {

namespace {
constexpr std::uint8_t kBlockFixed = 1;
constexpr std::uint8_t kBlockDynamic = 2;
// The output is reserved once for the declared length when the stream may
// plausibly expand to it: up to this many bytes per byte of the stream are
// reserved before anything is produced (table rows expand 5 to 15 times,
// rows padded with blanks more). Beyond that it grows with what the stream
// produces, towards the declared length, within the reply's budget.
constexpr std::uint64_t kFirstCapacityPerInputByte = 64;

// The declared length of a chunk, once its header is checked.
Result<std::uint32_t, DecompressError> chunk_header(ByteView bytes) {
  auto header = parse_compressed_table_header(bytes);
  if (!header) return err(DecompressError::too_short(header.error().size));
  const std::uint8_t algorithm = header.value().algorithm_code();
  if (algorithm != kCompressedTableAlgorithmLzh)
    return err(DecompressError::unsupported_algorithm(algorithm));
  if (bytes.size() == kCompressedTableHeaderSize) return err(DecompressError::unexpected_end());
  return header.value().declared_length;
}

// Decodes the blocks of the chunk's bit stream into `out`.
Status<DecompressError> decode_blocks(ByteView stream, std::uint32_t declared, InflateOutput& out) {
  BitReader in(stream);
  // The first byte holds the skip count s in its low two bits; the first
  // block header follows the s skipped bits (at most bit 5 of that byte).
  std::uint32_t skip = 0;
  if (!in.read(2, skip)) return err(DecompressError::unexpected_end());
  std::uint32_t ignored = 0;
  if (!in.read(skip, ignored)) return err(DecompressError::unexpected_end());

  DynamicTables dynamic;
  for (;;) {
    const std::size_t block_start = in.pos;
    std::uint32_t header = 0;
    if (!in.read(3, header)) return err(DecompressError::unexpected_end());
    const bool last = header & 1u;
    const std::uint8_t type = static_cast<std::uint8_t>(header >> 1);
    if (type == kBlockFixed) {
      QUIB_CHECK(inflate_block_data(in, fixed_huffman_tables(), out));
    } else if (type == kBlockDynamic) {
      QUIB_CHECK(read_dynamic_tables(in, dynamic.get()));
      QUIB_CHECK(inflate_block_data(in, dynamic.get(), out));
    } else {
      return err(DecompressError::unsupported_block_type(type));
    }
    if (!out.work(kInflateBlockWork + (in.pos - block_start)))
      return err(DecompressError::stopped());
    if (last || out.produced() == declared) return ok_unit;
  }
}

Result<Bytes, DecompressError> decompress(ByteView bytes, ExpansionBudget* budget) {
  QUIB_TRY(const std::uint32_t declared, chunk_header(bytes));
  const ByteView stream = bytes.subspan(kCompressedTableHeaderSize);
  InflateOutput out(
      declared,
      std::min<std::uint64_t>(declared, std::uint64_t{stream.size()} * kFirstCapacityPerInputByte),
      budget);
  QUIB_CHECK(decode_blocks(stream, declared, out));
  return out.take();
}

}  // namespace

Result<Bytes, DecompressError> decompress_table_chunk(ByteView bytes) {
  return decompress(bytes, nullptr);
}

Result<Bytes, DecompressError> decompress_table_chunk(ByteView bytes, ExpansionBudget& budget) {
  return decompress(bytes, &budget);
}

Result<std::uint64_t, DecompressError> decompress_table_chunk_to(ByteView bytes,
                                                                 ExpansionBudget& budget,
                                                                 std::size_t window,
                                                                 const InflateOutput::Sink& sink) {
  QUIB_TRY(const std::uint32_t declared, chunk_header(bytes));
  InflateOutput out(declared, window, &budget, sink);
  QUIB_CHECK(decode_blocks(bytes.subspan(kCompressedTableHeaderSize), declared, out));
  if (!out.finish()) return err(DecompressError::stopped());
  return out.produced();
}

}  // namespace quib::wire

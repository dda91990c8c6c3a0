#include "wire/table_compressed.hpp"

#include <fmt/format.h>

namespace quib::wire {

std::string CompressedTableHeaderError::message() const {
  return fmt::format("{}-byte compressed table header", size);
}

Result<CompressedTableHeader, CompressedTableHeaderError> parse_compressed_table_header(
    ByteView chunk) {
  if (chunk.size() < kCompressedTableHeaderSize)
    return err(CompressedTableHeaderError{chunk.size()});
  return CompressedTableHeader{load_le32(chunk.data()), chunk[kCompressedTableAlgorithmOffset]};
}

std::array<std::uint8_t, kCompressedTableHeaderSize> compressed_table_header(
    const CompressedTableHeader& header) {
  std::array<std::uint8_t, kCompressedTableHeaderSize> out{};
  store_le32(out.data(), header.declared_length);
  out[kCompressedTableAlgorithmOffset] = header.algorithm;
  out[kCompressedTableMarkOffset] = kCompressedTableMark[0];
  out[kCompressedTableMarkOffset + 1] = kCompressedTableMark[1];
  return out;
}

}  // namespace quib::wire

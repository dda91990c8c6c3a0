#include <gtest/gtest.h>

#include "wire/table_delta.hpp"

namespace quib::wire {
namespace {

TEST(TableDeltaHeader, ReadsThreeBigEndianWords) {
  const Bytes block = {0x00, 0x00, 0x00, 0x06, 0x00, 0x00, 0x01,
                       0x02, 0x80, 0x00, 0x00, 0x01, 0xAA};  // one byte past the head
  auto h = parse_table_delta_header(block);
  ASSERT_TRUE(h) << h.error().message();
  EXPECT_EQ(*h, (TableDeltaHeader{kDeltaInsert, 0x0102, 0x80000001}));
  const auto bytes = table_delta_header(*h);
  EXPECT_TRUE(std::equal(bytes.begin(), bytes.end(), block.begin()));
}

TEST(TableDeltaHeader, ShortBlocksAreRefusedWithTheirSize) {
  for (std::size_t n : {0u, 1u, 11u}) {
    const Bytes block(n, 0x07);
    auto h = parse_table_delta_header(block);
    ASSERT_FALSE(h) << n;
    EXPECT_EQ(h.error(), TableDeltaError{n});
    EXPECT_EQ(h.error().message(), std::to_string(n) + "-byte block header");
  }
  EXPECT_TRUE(parse_table_delta_header(Bytes(kDeltaHeaderSize, 0)));
}

}  // namespace
}  // namespace quib::wire

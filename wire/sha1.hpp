// SHA-1 message digest (FIPS 180-4). The WebSocket upgrade needs it to check
// the server's Sec-WebSocket-Accept value; nothing here is used for security.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "wire/bytes.hpp"

namespace quib::wire {

inline constexpr std::size_t kSha1DigestSize = 20;
using Sha1Digest = std::array<std::uint8_t, kSha1DigestSize>;

// Incremental hashing: update() any number of times, then finish() once.
class Sha1 {
 public:
  Sha1();
  void update(ByteView data);
  Sha1Digest finish();

 private:
  void compress(const std::uint8_t* block);

  std::array<std::uint32_t, 5> h_;
  std::array<std::uint8_t, 64> block_{};
  std::size_t block_len_ = 0;
  std::uint64_t total_len_ = 0;  // bytes hashed so far
};

// The digest of one buffer.
Sha1Digest sha1(ByteView data);

}  // namespace quib::wire

#include "wire/sha1.hpp"

#include <algorithm>
#include <cstring>

namespace quib::wire {

namespace {

constexpr std::uint32_t rotl(std::uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

}  // namespace

Sha1::Sha1() : h_{0x67452301u, 0xEFCDAB89u, 0x98BADCFEu, 0x10325476u, 0xC3D2E1F0u} {}

void Sha1::compress(const std::uint8_t* block) {
  std::uint32_t w[80];
  for (int i = 0; i < 16; ++i) w[i] = load_be32(block + 4 * i);
  for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);

  std::uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
  for (int i = 0; i < 80; ++i) {
    std::uint32_t f, k;
    if (i < 20) {
      f = (b & c) | (~b & d);
      k = 0x5A827999u;
    } else if (i < 40) {
      f = b ^ c ^ d;
      k = 0x6ED9EBA1u;
    } else if (i < 60) {
      f = (b & c) | (b & d) | (c & d);
      k = 0x8F1BBCDCu;
    } else {
      f = b ^ c ^ d;
      k = 0xCA62C1D6u;
    }
    const std::uint32_t t = rotl(a, 5) + f + e + k + w[i];
    e = d;
    d = c;
    c = rotl(b, 30);
    b = a;
    a = t;
  }
  h_[0] += a;
  h_[1] += b;
  h_[2] += c;
  h_[3] += d;
  h_[4] += e;
}

void Sha1::update(ByteView data) {
  const std::uint8_t* p = data.data();
  std::size_t n = data.size();
  total_len_ += n;
  if (block_len_ > 0) {
    const std::size_t take = std::min(n, block_.size() - block_len_);
    std::memcpy(block_.data() + block_len_, p, take);
    block_len_ += take;
    p += take;
    n -= take;
    if (block_len_ < block_.size()) return;
    compress(block_.data());
    block_len_ = 0;
  }
  for (; n >= 64; p += 64, n -= 64) compress(p);
  if (n > 0) {
    std::memcpy(block_.data(), p, n);
    block_len_ = n;
  }
}

Sha1Digest Sha1::finish() {
  // Padding: one 1 bit, zeros up to 56 bytes mod 64, then the bit length.
  const std::uint64_t bit_len = total_len_ * 8;
  block_[block_len_++] = 0x80;
  if (block_len_ > 56) {
    std::memset(block_.data() + block_len_, 0, block_.size() - block_len_);
    compress(block_.data());
    block_len_ = 0;
  }
  std::memset(block_.data() + block_len_, 0, 56 - block_len_);
  store_be64(block_.data() + 56, bit_len);
  compress(block_.data());
  block_len_ = 0;

  Sha1Digest out;
  for (int i = 0; i < 5; ++i) store_be32(out.data() + 4 * i, h_[i]);
  return out;
}

Sha1Digest sha1(ByteView data) {
  Sha1 h;
  h.update(data);
  return h.finish();
}

}  // namespace quib::wire

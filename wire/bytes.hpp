// Byte helpers shared by every wire format: the byte vector and view types,
// big- and little-endian loads and stores, and appending integers to a
// growing buffer. Record framing on the wire is big-endian; field values
// inside records are little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace quib::wire {

using Bytes = std::vector<std::uint8_t>;
using ByteView = std::span<const std::uint8_t>;

inline ByteView as_bytes(std::string_view s) {
  return ByteView(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
}
inline std::string_view as_chars(ByteView b) {
  return std::string_view(reinterpret_cast<const char*>(b.data()), b.size());
}
inline Bytes to_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

// --- loads: `p` must point at enough bytes; callers check lengths first.

inline std::uint16_t load_be16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>((p[0] << 8) | p[1]);
}
inline std::uint32_t load_be32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) |
         std::uint32_t{p[3]};
}
inline std::uint64_t load_be64(const std::uint8_t* p) {
  return (std::uint64_t{load_be32(p)} << 32) | load_be32(p + 4);
}
inline std::uint16_t load_le16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t load_le32(const std::uint8_t* p) {
  return std::uint32_t{p[0]} | (std::uint32_t{p[1]} << 8) | (std::uint32_t{p[2]} << 16) |
         (std::uint32_t{p[3]} << 24);
}
inline std::uint64_t load_le64(const std::uint8_t* p) {
  return std::uint64_t{load_le32(p)} | (std::uint64_t{load_le32(p + 4)} << 32);
}

// --- stores into a buffer the caller sized.

constexpr void store_be16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 8);
  p[1] = static_cast<std::uint8_t>(v);
}
constexpr void store_be32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v >> 24);
  p[1] = static_cast<std::uint8_t>(v >> 16);
  p[2] = static_cast<std::uint8_t>(v >> 8);
  p[3] = static_cast<std::uint8_t>(v);
}
inline void store_be64(std::uint8_t* p, std::uint64_t v) {
  store_be32(p, static_cast<std::uint32_t>(v >> 32));
  store_be32(p + 4, static_cast<std::uint32_t>(v));
}
inline void store_le16(std::uint8_t* p, std::uint16_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void store_le32(std::uint8_t* p, std::uint32_t v) {
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
}
inline void store_le64(std::uint8_t* p, std::uint64_t v) {
  store_le32(p, static_cast<std::uint32_t>(v));
  store_le32(p + 4, static_cast<std::uint32_t>(v >> 32));
}

// --- appends to a growing buffer.

inline void append_u8(Bytes& out, std::uint8_t v) { out.push_back(v); }

// The bytes `store` writes for `v`, appended.
template <class T>
inline void append_stored(Bytes& out, T v, void (*store)(std::uint8_t*, T)) {
  std::uint8_t b[sizeof(T)];
  store(b, v);
  out.insert(out.end(), b, b + sizeof(T));
}
inline void append_be16(Bytes& out, std::uint16_t v) { append_stored(out, v, store_be16); }
inline void append_be32(Bytes& out, std::uint32_t v) { append_stored(out, v, store_be32); }
inline void append_be64(Bytes& out, std::uint64_t v) { append_stored(out, v, store_be64); }
inline void append_le16(Bytes& out, std::uint16_t v) { append_stored(out, v, store_le16); }
inline void append_le32(Bytes& out, std::uint32_t v) { append_stored(out, v, store_le32); }
inline void append_le64(Bytes& out, std::uint64_t v) { append_stored(out, v, store_le64); }
inline void append_bytes(Bytes& out, ByteView v) { out.insert(out.end(), v.begin(), v.end()); }
inline void append_bytes(Bytes& out, std::string_view v) {
  out.insert(out.end(), v.begin(), v.end());
}

// Overwrites the memory of a buffer that held a secret, in a way the
// optimiser may not drop.
void secure_wipe(void* p, std::size_t n);
inline void secure_wipe(Bytes& b) { secure_wipe(b.data(), b.size()); }
inline void secure_wipe(std::string& s) { secure_wipe(s.data(), s.size()); }

}  // namespace quib::wire

// Writing fixed byte layouts at compile time: the packets and templates of
// the session set-up, the transport and the message server are std::arrays
// built by constexpr code from these few helpers, so every fixed byte has
// its offset in one place.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string_view>

namespace quib::wire {

// `bytes` from `offset` on.
template <std::size_t N>
constexpr void put_bytes(std::array<std::uint8_t, N>& out, std::size_t offset,
                         std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) out[offset++] = b;
}

// The characters of `text`, one byte each, from `offset` on.
template <std::size_t N>
constexpr void put_text(std::array<std::uint8_t, N>& out, std::size_t offset,
                        std::string_view text) {
  for (char c : text) out[offset++] = static_cast<std::uint8_t>(c);
}

// `value` at every offset of [first, last].
template <std::size_t N>
constexpr void fill_bytes(std::array<std::uint8_t, N>& out, std::size_t first, std::size_t last,
                          std::uint8_t value) {
  for (std::size_t i = first; i <= last; ++i) out[i] = value;
}

}  // namespace quib::wire

#include "wire/scramble.hpp"

#include <fmt/format.h>

#include <array>

namespace quib::wire {

namespace {

constexpr std::size_t kKeySize = 64;

constexpr std::uint8_t hex_digit(char c) {
  return static_cast<std::uint8_t>(c <= '9' ? c - '0' : c - 'a' + 10);
}

constexpr std::array<std::uint8_t, kKeySize> parse_key(std::string_view hex) {
  std::array<std::uint8_t, kKeySize> key{};
  for (std::size_t i = 0; i < kKeySize; ++i)
    key[i] = static_cast<std::uint8_t>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
  return key;
}

constexpr std::string_view kKeyHex =
    "1f2e3d4c5b6a79880a0b0c0d0e0f10213243546576879809a1b2c3d4e5f60718"
    "293a4b5c6d7e8f90a0b0c0d0e0f010213243546576879800a1b2c3d4e5f60719";
static_assert(kKeyHex.size() == 2 * kKeySize);

constexpr std::array<std::uint8_t, kKeySize> kScrambleKey = parse_key(kKeyHex);

constexpr std::uint8_t kFirstPrintable = 0x20;
constexpr std::uint8_t kLastPrintable = 0x7E;

}  // namespace

std::string PasswordError::message() const {
  switch (kind) {
    case Kind::TooLong:
      return fmt::format("password of {} bytes exceeds the maximum of {}", length, maximum);
    case Kind::NotPrintable:
      return "password contains characters outside printable ASCII";
  }
  return "password refused";
}

Result<ScrambledPassword, PasswordError> scramble_password(ByteView password, std::uint32_t seed) {
  const std::size_t n = password.size();
  if (n > kMaxPasswordLength) return err(PasswordError::too_long(n));
  for (std::uint8_t b : password)
    if (b < kFirstPrintable || b > kLastPrintable) return err(PasswordError::not_printable());

  // Sized once, so no reallocation leaves a stray copy behind.
  Bytes out(kScrambleSeedSize + n);
  store_le32(out.data(), seed);
  const std::uint32_t start = ((seed >> 5) ^ (seed << 1) ^ seed) % kKeySize;
  for (std::size_t i = 0; i < n; ++i) {
    const auto ui = static_cast<std::uint32_t>(i);
    const auto t = static_cast<std::uint8_t>(ui * (seed * ui - 1u));
    out[kScrambleSeedSize + i] =
        static_cast<std::uint8_t>(password[i] ^ kScrambleKey[(start + i) % kKeySize] ^ t);
  }
  return ScrambledPassword(std::move(out));
}

}  // namespace quib::wire

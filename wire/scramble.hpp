// Scrambling of the logon password: the value of the Password record is the
// 32-bit seed (LE) followed by the password bytes mixed with a fixed 64-byte
// key table and a position-dependent byte. The scrambled value is as secret
// as the password itself: it is held in a buffer that is wiped when dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

inline constexpr std::size_t kMaxPasswordLength = 40;
inline constexpr std::size_t kScrambleSeedSize = 4;

enum class PasswordErrorKind : std::uint8_t {
  TooLong,       // length, maximum
  NotPrintable,  // a byte outside 0x20..0x7E
};

struct PasswordError {
  using Kind = PasswordErrorKind;

  Kind kind = Kind::NotPrintable;
  std::size_t length = 0;   // TooLong
  std::size_t maximum = 0;  // TooLong

  static PasswordError too_long(std::size_t length) {
    return {Kind::TooLong, length, kMaxPasswordLength};
  }
  static PasswordError not_printable() { return {Kind::NotPrintable}; }

  std::string message() const;
  friend bool operator==(const PasswordError&, const PasswordError&) = default;
};

// Owns the scrambled bytes and overwrites them when dropped or moved over.
// Converts to ByteView, so it can be written as a record value directly.
class ScrambledPassword {
 public:
  explicit ScrambledPassword(Bytes bytes) : bytes_(std::move(bytes)) {}
  ~ScrambledPassword() { secure_wipe(bytes_); }
  ScrambledPassword(ScrambledPassword&& other) noexcept : bytes_(std::move(other.bytes_)) {
    other.bytes_.clear();
  }
  ScrambledPassword& operator=(ScrambledPassword&& other) noexcept {
    if (this != &other) {
      secure_wipe(bytes_);
      bytes_ = std::move(other.bytes_);
      other.bytes_.clear();
    }
    return *this;
  }
  ScrambledPassword(const ScrambledPassword&) = delete;
  ScrambledPassword& operator=(const ScrambledPassword&) = delete;

  ByteView view() const { return bytes_; }
  operator ByteView() const { return bytes_; }
  std::size_t size() const { return bytes_.size(); }

 private:
  Bytes bytes_;
};

// The Password record value for `password` (at most 40 bytes, printable
// ASCII only) and `seed`: 4 + n bytes. No copy of the password is kept.
Result<ScrambledPassword, PasswordError> scramble_password(ByteView password, std::uint32_t seed);
inline Result<ScrambledPassword, PasswordError> scramble_password(std::string_view password,
                                                                  std::uint32_t seed) {
  return scramble_password(as_bytes(password), seed);
}

}  // namespace quib::wire

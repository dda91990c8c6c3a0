// NI frames: a 4-byte big-endian payload length, then the payload. Every byte
// exchanged over TCP with a gateway, a SAProuter or a message server travels
// in them. NiFrameReader is the receive buffer that cuts frames out of the
// byte stream; it does no I/O itself.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

inline constexpr std::size_t kNiLengthSize = 4;
// The payload limit every user of the reader configures: 256 MiB.
inline constexpr std::uint64_t kNiDefaultLimit = 0x10000000;
// The largest payload the 32-bit length field can describe.
inline constexpr std::uint64_t kNiMaxPayload = 0xFFFFFFFFu;

struct NiError {
  std::uint64_t declared = 0;  // the payload length of the frame
  std::uint64_t limit = 0;     // the limit it exceeds

  std::string message() const;
  friend bool operator==(const NiError&, const NiError&) = default;
};

// Appends the length field and the payload to `out`, leaving what `out`
// already holds untouched. A payload the 32-bit length cannot describe is
// refused (NiError against kNiMaxPayload) and nothing is appended.
Status<NiError> write_ni_frame(ByteView payload, Bytes& out);

class NiFrameReader {
 public:
  // Buffers whose capacity grew above this shrink back once mostly consumed.
  static constexpr std::size_t kShrinkFloor = 65536;

  explicit NiFrameReader(std::uint64_t limit);

  // Appends received bytes at the end of the buffer.
  void push(ByteView bytes);

  // The next complete payload, nullopt while the frame is incomplete, or
  // NiError when the next frame declares more than the limit (reported again
  // on every later call: nothing is consumed). The view stays valid until the
  // next push() or next_ni_frame().
  Result<std::optional<ByteView>, NiError> next_ni_frame();

  std::uint64_t limit() const { return limit_; }
  std::size_t filled() const { return filled_; }
  std::size_t consumed() const { return consumed_; }
  std::size_t remaining() const { return filled_ - consumed_; }
  std::size_t capacity() const { return capacity_; }

 private:
  void reallocate(std::size_t capacity);

  // The buffer is managed by hand so that its capacity is exactly what the
  // growth and shrink policy decides.
  std::unique_ptr<std::uint8_t[]> data_;
  std::size_t capacity_ = 0;
  std::size_t filled_ = 0;
  std::size_t consumed_ = 0;
  std::uint64_t limit_;
};

}  // namespace quib::wire

#include "wire/ni.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

namespace quib::wire {

std::string NiError::message() const {
  return fmt::format("NI payload of {} bytes exceeds the configured limit of {}", declared, limit);
}

Status<NiError> write_ni_frame(ByteView payload, Bytes& out) {
  const std::uint64_t size = payload.size();
  if (size > kNiMaxPayload) return err(NiError{size, kNiMaxPayload});
  append_be32(out, static_cast<std::uint32_t>(size));
  append_bytes(out, payload);
  return ok_unit;
}

NiFrameReader::NiFrameReader(std::uint64_t limit) : limit_(limit) {}

void NiFrameReader::reallocate(std::size_t capacity) {
  // Keeps the unconsumed bytes where they are relative to the buffer start;
  // callers compact first when they want them at the front.
  auto fresh = std::make_unique_for_overwrite<std::uint8_t[]>(capacity);
  if (filled_ > 0) std::memcpy(fresh.get(), data_.get(), filled_);
  data_ = std::move(fresh);
  capacity_ = capacity;
}

void NiFrameReader::push(ByteView bytes) {
  if (bytes.empty()) return;
  const std::size_t needed = filled_ + bytes.size();
  if (needed > capacity_) {
    // Geometric growth: bounded by the bytes that actually arrived, never by
    // a length read from the stream.
    reallocate(std::max(needed, std::max<std::size_t>(capacity_ * 2, 4096)));
  }
  std::memcpy(data_.get() + filled_, bytes.data(), bytes.size());
  filled_ = needed;
}

Result<std::optional<ByteView>, NiError> NiFrameReader::next_ni_frame() {
  // Compaction: only once at least half of the filled bytes are consumed, so
  // every byte is moved a bounded number of times.
  if (consumed_ > 0 && 2 * consumed_ >= filled_) {
    const std::size_t rest = filled_ - consumed_;
    if (rest > 0) std::memmove(data_.get(), data_.get() + consumed_, rest);
    filled_ = rest;
    consumed_ = 0;
  }
  const std::size_t rest = filled_ - consumed_;
  // Shrinking: a buffer that once held a very large frame goes back to
  // 64 KiB once most of it has been consumed.
  if (capacity_ > kShrinkFloor && 4 * static_cast<std::uint64_t>(rest) < capacity_) {
    reallocate(std::max(filled_, kShrinkFloor));
  }
  if (rest < kNiLengthSize) return std::optional<ByteView>{};

  const std::uint8_t* head = data_.get() + consumed_;
  const std::uint64_t declared = load_be32(head);
  // The limit comes before completeness: an oversized frame fails as soon as
  // its length field is in.
  if (declared > limit_) return err(NiError{declared, limit_});
  if (rest - kNiLengthSize < declared) return std::optional<ByteView>{};

  const auto len = static_cast<std::size_t>(declared);
  consumed_ += kNiLengthSize + len;
  return std::optional<ByteView>{ByteView(head + kNiLengthSize, len)};
}

}  // namespace quib::wire

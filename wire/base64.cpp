#include "wire/base64.hpp"

#include <array>

namespace quib::wire {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xFF;

constexpr std::array<std::uint8_t, 256> make_reverse() {
  std::array<std::uint8_t, 256> r{};
  for (auto& v : r) v = kInvalid;
  for (std::uint8_t i = 0; i < 64; ++i) r[static_cast<unsigned char>(kAlphabet[i])] = i;
  return r;
}
constexpr std::array<std::uint8_t, 256> kReverse = make_reverse();

}  // namespace

std::string base64_encode(ByteView data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= data.size(); i += 3) {
    const std::uint32_t v =
        (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8) | data[i + 2];
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back(kAlphabet[v & 63]);
  }
  const std::size_t rest = data.size() - i;
  if (rest == 1) {
    const std::uint32_t v = std::uint32_t{data[i]} << 16;
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.append("==");
  } else if (rest == 2) {
    const std::uint32_t v = (std::uint32_t{data[i]} << 16) | (std::uint32_t{data[i + 1]} << 8);
    out.push_back(kAlphabet[v >> 18]);
    out.push_back(kAlphabet[(v >> 12) & 63]);
    out.push_back(kAlphabet[(v >> 6) & 63]);
    out.push_back('=');
  }
  return out;
}

std::optional<Bytes> base64_decode(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out;
  out.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    std::size_t pad = 0;
    if (last) {
      if (text[i + 3] == '=') ++pad;
      if (pad == 1 && text[i + 2] == '=') ++pad;
    }
    std::uint32_t v = 0;
    for (std::size_t j = 0; j < 4 - pad; ++j) {
      const std::uint8_t d = kReverse[static_cast<unsigned char>(text[i + j])];
      if (d == kInvalid) return std::nullopt;
      v = (v << 6) | d;
    }
    v <<= 6 * pad;
    if (pad == 2) {
      if ((v & 0xFFFF) != 0) return std::nullopt;
      out.push_back(static_cast<std::uint8_t>(v >> 16));
    } else if (pad == 1) {
      if ((v & 0xFF) != 0) return std::nullopt;
      out.push_back(static_cast<std::uint8_t>(v >> 16));
      out.push_back(static_cast<std::uint8_t>(v >> 8));
    } else {
      out.push_back(static_cast<std::uint8_t>(v >> 16));
      out.push_back(static_cast<std::uint8_t>(v >> 8));
      out.push_back(static_cast<std::uint8_t>(v));
    }
  }
  return out;
}

}  // namespace quib::wire

#include "proto/base/params.hpp"

namespace quib::proto {

namespace {
constexpr std::uint16_t kGatewayBasePort = 3300;
constexpr std::uint16_t kSncGatewayBasePort = 4800;
}  // namespace

std::optional<std::uint16_t> parse_u16_decimal(std::string_view text) {
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 0xFFFF) return std::nullopt;
  }
  return static_cast<std::uint16_t>(value);
}

std::uint16_t parse_sysnr(std::string_view sysnr) { return parse_u16_decimal(sysnr).value_or(0); }

std::uint16_t gateway_port(const ConnectionParams& params) {
  if (params.port) return *params.port;
  const std::uint16_t base = params.snc ? kSncGatewayBasePort : kGatewayBasePort;
  return static_cast<std::uint16_t>(base + parse_sysnr(params.sysnr));
}

}  // namespace quib::proto

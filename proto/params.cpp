#include "proto/params.hpp"

namespace quib::proto {

namespace {
constexpr std::uint16_t kGatewayBasePort = 3300;
constexpr std::uint16_t kSncGatewayBasePort = 4800;
}  // namespace

std::uint16_t parse_sysnr(std::string_view sysnr) {
  if (!sysnr.empty() && sysnr.front() == '+') sysnr.remove_prefix(1);
  if (sysnr.empty()) return 0;
  std::uint32_t value = 0;
  for (char c : sysnr) {
    if (c < '0' || c > '9') return 0;
    value = value * 10 + static_cast<std::uint32_t>(c - '0');
    if (value > 0xFFFF) return 0;
  }
  return static_cast<std::uint16_t>(value);
}

std::uint16_t gateway_port(const ConnectionParams& params) {
  if (params.port) return *params.port;
  const std::uint16_t base = params.snc ? kSncGatewayBasePort : kGatewayBasePort;
  return static_cast<std::uint16_t>(base + parse_sysnr(params.sysnr));
}

}  // namespace quib::proto

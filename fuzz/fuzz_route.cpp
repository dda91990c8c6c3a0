// Route strings: a parsed route written back as a route string parses to
// the same hops; its request has consistent lengths; no error text and no
// display shows a password.
#include <cstdlib>
#include <string>

#include "wire/route.hpp"

using namespace quib::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  auto r = parse_route(text);
  if (!r.ok()) {
    (void)r.error().message();
    return 0;
  }
  const auto& hops = *r;
  if (hops.empty()) std::abort();
  std::string again;
  for (const RouteHop& h : hops) {
    if (h.host.empty() || h.service.empty()) std::abort();
    if (h.host.find('\0') != std::string::npos || h.password.find('\0') != std::string::npos)
      std::abort();
    again += "/H/" + h.host + "/S/" + h.service;
    if (!h.password.empty()) again += "/W/" + h.password;
  }
  // A final hop keeps trailing white space of the last value from being
  // trimmed away.
  auto back = parse_route(again + "/H/end");
  if (!back.ok() || back->size() != hops.size() + 1 || back->back() != RouteHop("end"))
    std::abort();
  back->pop_back();
  if (*back != hops) std::abort();

  // The display masks every password: re-parsed, each one reads "***".
  auto shown = parse_route(route_display(hops) + "/H/end");
  if (!shown.ok() || shown->size() != hops.size() + 1) std::abort();
  for (std::size_t i = 0; i < hops.size(); ++i) {
    if (!hops[i].password.empty() && (*shown)[i].password != kMaskedSecret) std::abort();
  }

  std::vector<RouteHop> all = hops;
  all.emplace_back("app", "3300");
  auto req = build_route_request(all);
  if (!req.ok()) std::abort();
  const Bytes& b = *req;
  if (b.size() < kNiRouteHeadSize) std::abort();
  if (load_be32(&b[16]) != b.size() - kNiRouteHeadSize) std::abort();
  if (load_be32(&b[12]) != all.size() - 1 || b[11] != static_cast<std::uint8_t>(all.size()))
    std::abort();
  const RouteHop& first = all.front();
  if (load_be32(&b[20]) != first.host.size() + first.service.size() + first.password.size() + 3)
    std::abort();
  return 0;
}

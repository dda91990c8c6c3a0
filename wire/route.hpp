// SAProuter route strings (/H/host/S/service/W/password/H/...) and the
// NI_ROUTE request that asks the first router to open the route.
//
// Passwords never leave this file in readable form except inside the request
// bytes: error texts and route_display() show "***" in their place, and a
// hop wipes its password when it is dropped.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

inline constexpr std::string_view kDefaultRouterService = "3299";
inline constexpr std::string_view kMaskedSecret = "***";
inline constexpr std::string_view kNiRouteMagic = "NI_ROUTE";
inline constexpr std::size_t kNiRouteHeadSize = 24;
inline constexpr std::uint8_t kNiRouteVersion = 0x02;
inline constexpr std::uint8_t kNiRouteNiVersion = 0x28;

class RouteHop {
 public:
  std::string host;
  std::string service{kDefaultRouterService};
  std::string password;

  RouteHop() = default;
  RouteHop(std::string host_, std::string service_ = std::string(kDefaultRouterService),
           std::string password_ = {});
  RouteHop(const RouteHop&) = default;
  RouteHop(RouteHop&& other) noexcept;
  RouteHop& operator=(const RouteHop& other);
  RouteHop& operator=(RouteHop&& other) noexcept;
  ~RouteHop();

  friend bool operator==(const RouteHop&, const RouteHop&) = default;
};

struct RouteError {
  enum Kind : std::uint8_t {
    NotARoute,   // text: the (masked) route string or "unknown segment /{}/"
    EmptyValue,  // text: the segment letter H or S
    NoHops,
    NulInValue,  // text: the segment letter whose value holds a NUL byte
    TooLong,     // length: the bytes of the hop list
  };

  Kind kind = NoHops;
  std::string text;
  std::uint64_t length = 0;

  static RouteError not_a_route(std::string text);
  static RouteError empty_value(std::string letter);
  static RouteError no_hops();
  static RouteError nul_in_value(std::string letter);
  static RouteError too_long(std::uint64_t length);

  std::string message() const;
  friend bool operator==(const RouteError&, const RouteError&) = default;
};

// The hops of a route string, in order. Never returns part of a route.
Result<std::vector<RouteHop>, RouteError> parse_route(std::string_view text);

// The NI_ROUTE request over all hops (the caller appends the application
// server as the last one); NoHops for fewer than two. The bytes hold the
// passwords in clear: wipe the buffer (secure_wipe) once it has been sent.
Result<Bytes, RouteError> build_route_request(std::span<const RouteHop> hops);

// True for a reply that begins with "NI_PONG" and a NUL.
bool is_ni_pong(ByteView reply);

// The hops as a route string for traces, every non-empty password as "***".
std::string route_display(std::span<const RouteHop> hops);

// A raw route text with every password replaced by "***": the first
// non-empty segment after each P or W segment (either letter case), which
// masks the value of every password pair and a mistyped route's too.
std::string mask_route_text(std::string_view text);

}  // namespace quib::wire

#include "wire/route.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <optional>

#include "wire/utf.hpp"

namespace quib::wire {

namespace {

constexpr char kNiPong[] = "NI_PONG";  // 7 letters and the terminating NUL: 8 bytes
constexpr std::size_t kNiPongSize = sizeof(kNiPong);

// Clears a string's whole buffer, not only its current length: a moved-from
// short string keeps its old characters in the inline buffer.
void wipe_string(std::string& s) {
  s.resize(s.capacity());
  secure_wipe(s);
  s.clear();
}

std::vector<std::string_view> split_slashes(std::string_view text) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = text.find('/', start);
    if (slash == std::string_view::npos) {
      pieces.push_back(text.substr(start));
      return pieces;
    }
    pieces.push_back(text.substr(start, slash - start));
    start = slash + 1;
  }
}

bool is_password_key(std::string_view piece) {
  return piece.size() == 1 &&
         (piece[0] == 'P' || piece[0] == 'W' || piece[0] == 'p' || piece[0] == 'w');
}

bool is_key_letter(std::string_view piece) {
  return piece.size() == 1 && std::string_view("HSPWhspw").find(piece[0]) != std::string_view::npos;
}

// Which pieces of a split route text may hold a password: the first
// non-empty piece after a P or W piece, and every piece after it up to the
// next piece that is a segment letter. That covers
// the value of each password pair, a password that itself holds slashes
// ("/P/pa/ss" is the password "pa/ss" to whoever typed it), and what a user
// meant as a password in a mistyped route ("/W//secret"), which the parser
// would report as an unknown key.
std::vector<bool> secret_pieces(const std::vector<std::string_view>& pieces) {
  std::vector<bool> secret(pieces.size(), false);
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (!is_password_key(pieces[i])) continue;
    std::size_t j = i + 1;
    while (j < pieces.size() && pieces[j].empty()) secret[j++] = true;
    if (j < pieces.size()) secret[j++] = true;  // the value, even a lone letter
    for (; j < pieces.size() && !is_key_letter(pieces[j]); ++j) secret[j] = true;
    i = j - 1;
  }
  return secret;
}

bool has_nul(std::string_view s) { return s.find('\0') != std::string_view::npos; }

}  // namespace

// --- RouteHop

RouteHop::RouteHop(std::string host_, std::string service_, std::string password_)
    : host(std::move(host_)), service(std::move(service_)), password(std::move(password_)) {}

RouteHop::RouteHop(RouteHop&& other) noexcept
    : host(std::move(other.host)), service(std::move(other.service)), password(other.password) {
  wipe_string(other.password);
}

RouteHop& RouteHop::operator=(const RouteHop& other) {
  if (this != &other) {
    host = other.host;
    service = other.service;
    wipe_string(password);
    password = other.password;
  }
  return *this;
}

RouteHop& RouteHop::operator=(RouteHop&& other) noexcept {
  if (this != &other) {
    host = std::move(other.host);
    service = std::move(other.service);
    wipe_string(password);
    password = other.password;
    wipe_string(other.password);
  }
  return *this;
}

RouteHop::~RouteHop() { wipe_string(password); }

// --- RouteError

RouteError RouteError::not_a_route(std::string text) {
  return {.kind = NotARoute, .text = std::move(text)};
}
RouteError RouteError::empty_value(std::string letter) {
  return {.kind = EmptyValue, .text = std::move(letter)};
}
RouteError RouteError::no_hops() { return {.kind = NoHops}; }
RouteError RouteError::nul_in_value(std::string letter) {
  return {.kind = NulInValue, .text = std::move(letter)};
}
RouteError RouteError::too_long(std::uint64_t length) {
  return {.kind = TooLong, .length = length};
}

std::string RouteError::message() const {
  switch (kind) {
    case NotARoute:
      return fmt::format("not a SAProuter route string: {} (expected /H/host/S/service)", text);
    case EmptyValue:
      return fmt::format("route string has a /{}/ with no value", text);
    case NoHops:
      return "a route needs at least one hop";
    case NulInValue:
      return fmt::format("route string has a NUL byte in a /{}/ value", text);
    case TooLong:
      return fmt::format("SAProuter route of {} bytes does not fit the route request", length);
  }
  return {};
}

// --- parsing

std::string mask_route_text(std::string_view text) {
  const auto pieces = split_slashes(text);
  const auto secret = secret_pieces(pieces);
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) out.push_back('/');
    if (!secret[i] || pieces[i].empty()) {
      out.append(pieces[i]);
      continue;
    }
    // One mask for the whole password, however many slashes it holds.
    out.append(kMaskedSecret);
    while (i + 1 < pieces.size() && secret[i + 1]) ++i;
  }
  return out;
}

Result<std::vector<RouteHop>, RouteError> parse_route(std::string_view text) {
  const std::string_view trimmed = trim_unicode(text);
  if (trimmed.empty()) return err(RouteError::no_hops());
  if (!(trimmed.size() > 2 && trimmed.substr(0, 3) == "/H/")) {
    return err(RouteError::not_a_route(mask_route_text(trimmed)));
  }

  const auto pieces = split_slashes(trimmed);
  const auto secret = secret_pieces(pieces);
  std::vector<RouteHop> hops;
  // pieces[0] is the empty text before the leading slash.
  for (std::size_t i = 1; i < pieces.size(); i += 2) {
    const std::string_view key = pieces[i];
    const bool has_value = i + 1 < pieces.size();
    const std::string_view value = has_value ? pieces[i + 1] : std::string_view{};
    if (key.empty()) continue;  // "//" or a trailing "/": skipped with its value
    if (key.size() != 1 || std::string_view("HSPW").find(key[0]) == std::string_view::npos) {
      return err(RouteError::not_a_route(
          fmt::format("unknown segment /{}/", secret[i] ? kMaskedSecret : key)));
    }
    const std::string letter(key);
    if (key[0] == 'H') {
      if (value.empty()) return err(RouteError::empty_value(letter));
      if (has_nul(value)) return err(RouteError::nul_in_value(letter));
      hops.emplace_back(std::string(value));
      continue;
    }
    if (hops.empty()) return err(RouteError::not_a_route(mask_route_text(trimmed)));
    if (key[0] == 'S') {
      if (value.empty()) return err(RouteError::empty_value(letter));
      if (has_nul(value)) return err(RouteError::nul_in_value(letter));
      hops.back().service.assign(value);
    } else {  // P or W: a missing value clears the password
      if (has_nul(value)) return err(RouteError::nul_in_value(letter));
      wipe_string(hops.back().password);
      hops.back().password.assign(value);
    }
  }
  if (hops.empty()) return err(RouteError::no_hops());
  return hops;
}

// --- the request

Result<Bytes, RouteError> build_route_request(std::span<const RouteHop> hops) {
  if (hops.size() < 2) return err(RouteError::no_hops());

  std::uint64_t list_size = 0;
  for (const RouteHop& hop : hops) {
    if (has_nul(hop.host)) return err(RouteError::nul_in_value("H"));
    if (has_nul(hop.service)) return err(RouteError::nul_in_value("S"));
    if (has_nul(hop.password)) return err(RouteError::nul_in_value("P"));
    list_size += std::uint64_t{hop.host.size()} + hop.service.size() + hop.password.size() + 3;
  }
  constexpr std::uint64_t kMaxField = std::numeric_limits<std::uint32_t>::max();
  if (list_size > kMaxField - kNiRouteHeadSize) return err(RouteError::too_long(list_size));
  const RouteHop& first = hops.front();
  const std::uint64_t first_size =
      first.host.size() + first.service.size() + first.password.size() + 3;

  Bytes out;
  out.reserve(kNiRouteHeadSize + static_cast<std::size_t>(list_size));
  append_bytes(out, kNiRouteMagic);
  append_u8(out, 0x00);
  append_u8(out, kNiRouteVersion);
  append_u8(out, kNiRouteNiVersion);
  append_u8(out, static_cast<std::uint8_t>(hops.size()));
  append_be32(out, static_cast<std::uint32_t>(hops.size() - 1));
  append_be32(out, static_cast<std::uint32_t>(list_size));
  append_be32(out, static_cast<std::uint32_t>(first_size));
  for (const RouteHop& hop : hops) {
    append_bytes(out, hop.host);
    append_u8(out, 0);
    append_bytes(out, hop.service);
    append_u8(out, 0);
    append_bytes(out, hop.password);
    append_u8(out, 0);
  }
  return out;
}

bool is_ni_pong(ByteView reply) {
  return reply.size() >= kNiPongSize && std::memcmp(reply.data(), kNiPong, kNiPongSize) == 0;
}

std::string route_display(std::span<const RouteHop> hops) {
  std::string out;
  for (const RouteHop& hop : hops) {
    out += "/H/";
    out += hop.host;
    out += "/S/";
    out += hop.service;
    if (!hop.password.empty()) {
      out += "/W/";
      out += kMaskedSecret;
    }
  }
  return out;
}

}  // namespace quib::wire

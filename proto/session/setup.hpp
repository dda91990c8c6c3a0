// The NI session set-up: the TCP connection to a gateway (directly or through
// SAProuters), the routing handshake, APPC initialize and allocate, and the
// SNC context exchange. The openers return a transport ready for the logon.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/net/socket.hpp"
#include "proto/net/waits.hpp"
#include "proto/transport/ni_transport.hpp"
#include "proto/transport/snc_channel.hpp"
#include "snc/frame.hpp"
#include "wire/bytes.hpp"

namespace quib::proto {

// ---------------------------------------------------------------- fixed packets

inline constexpr std::size_t kRoutingHandshakeSize = 64;
// The six-letter host name and the two-letter user name of the templates.
inline constexpr std::string_view kHandshakeHostName = "quibcl";
inline constexpr std::string_view kInitializeUserName = "QB";

using RoutingHandshakePacket = std::array<std::uint8_t, kRoutingHandshakeSize>;

inline constexpr RoutingHandshakePacket kRoutingHandshakePacket = [] {
  RoutingHandshakePacket p{};
  auto text = [&p](std::size_t offset, std::string_view s) {
    for (char c : s) p[offset++] = static_cast<std::uint8_t>(c);
  };
  p[0] = 0x02;
  p[1] = 0x03;
  p[2] = 0x7F;  // 127.0.0.1 in network order
  p[3] = 0x00;
  p[4] = 0x00;
  p[5] = 0x01;
  text(10, "nwrfc_stf");  // followed by one NUL at 19
  text(20, "1100");
  p[29] = 0x06;
  text(30, kHandshakeHostName);
  text(36, "  ");
  text(38, "nwrfc_st");
  text(46, "        ");
  p[54] = 0x06;
  p[55] = 0xCB;
  p[56] = 0xFF;
  p[57] = 0xFF;
  return p;
}();

inline constexpr std::size_t kInitializeBodySize = 373;
inline constexpr std::size_t kInitializeSncOffset = 10;
inline constexpr std::uint8_t kInitializePlain = 0x01;
inline constexpr std::uint8_t kInitializeWithSnc = 0x21;

// The Initialize header, byte 10 = 01 (0x21 with SNC, see initialize_template).
inline constexpr AppcTemplate kInitializeTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcInitialize);
  t[kInitializeSncOffset] = kInitializePlain;
  t[16] = 0xC0;
  t[21] = 0x04;
  detail::put(t, 26, {0x01, 0x75});  // 373, the body length
  t[30] = 0x05;
  detail::put_text(t, 48, "NWRFC   ");
  detail::put_text(t, 56, "localhos");
  detail::put_text(t, 64, "sapdp00 ");
  detail::put(t, 72, {0x49, 0x01, 0x00, 0x00, 0x00, 0x00, 0xFF, 0xFF});
  return t;
}();

constexpr AppcTemplate initialize_template(bool snc) {
  AppcTemplate t = kInitializeTemplate;
  t[kInitializeSncOffset] = snc ? kInitializeWithSnc : kInitializePlain;
  return t;
}

using InitializeBody = std::array<std::uint8_t, kInitializeBodySize>;

inline constexpr InitializeBody kInitializeBody = [] {
  InitializeBody b{};
  auto text = [&b](std::size_t offset, std::string_view s) {
    for (char c : s) b[offset++] = static_cast<std::uint8_t>(c);
  };
  text(0, "NWRFC");
  for (std::size_t i = 5; i < 32; ++i) b[i] = ' ';
  b[32] = 0x01;
  b[33] = 0x01;
  text(34, "CPIC");
  text(42, "6A7ADCFE6A7ADCFE6A7ADCFF6A7ADCFF");
  b[77] = 0x01;
  const std::uint8_t marks[8] = {0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE};
  for (std::size_t i = 0; i < 8; ++i) b[78 + i] = marks[i];
  b[86] = 0x02;
  text(105, "localhost");
  text(249, kInitializeUserName);
  for (std::size_t i = 251; i < 261; ++i) b[i] = ' ';
  text(309, "sapdp00");
  return b;
}();

inline constexpr AppcTemplate kSetPartnerLuNameTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcSetPartnerLuName);
  t[10] = 0x01;
  t[27] = 0x90;  // 144, the body length
  t[30] = 0x04;
  detail::put_text(t, 48, "localhos");
  t[59] = 0x09;
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

inline constexpr std::size_t kSetPartnerLuNameBodySize = 144;
using SetPartnerLuNameBody = std::array<std::uint8_t, kSetPartnerLuNameBodySize>;

// "localhost" padded with blanks to 128 bytes, then 16 NULs.
inline constexpr SetPartnerLuNameBody kSetPartnerLuNameBody = [] {
  SetPartnerLuNameBody b{};
  constexpr std::string_view host = "localhost";
  for (std::size_t i = 0; i < 128; ++i) {
    b[i] = i < host.size() ? static_cast<std::uint8_t>(host[i]) : ' ';
  }
  return b;
}();

inline constexpr AppcTemplate kAllocateTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcAllocate);
  t[30] = 0x01;
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

// At most this many SNC token exchanges are made before giving up.
inline constexpr std::uint64_t kMaxSncExchanges = 8;

// ---------------------------------------------------------------- openers

// A TCP connection to the first address of `host`:`port`, bounded by the
// connect time-out, with no-delay, the I/O time-out as the fixed limit of
// every later wait for the socket, and `waits` (when given: its deadline
// bounds the connect and every wait instead, and its wake-up ends them). A
// host without addresses is Io NotFound "cannot resolve {host}:{port}".
ProtoResult<Socket> open_tcp(std::string_view host, std::string_view port,
                             const ConnectionParams& params,
                             std::shared_ptr<const Waits> waits = nullptr);

// TCP to `ashost` at the gateway port, then the four set-up steps, all under
// `waits`.
ProtoResult<std::unique_ptr<NiTransport>> connect_direct(
    const ConnectionParams& params, std::shared_ptr<const Waits> waits = nullptr);

// The route string's hops plus the application server as the last hop; the
// NI_ROUTE request to the first hop, which must answer NI_PONG; then the
// four set-up steps through the routers, all under `waits`.
ProtoResult<std::unique_ptr<NiTransport>> connect_via_router(
    const ConnectionParams& params, std::string_view route,
    std::shared_ptr<const Waits> waits = nullptr);

// ---------------------------------------------------------------- steps

// The 64-byte routing packet; its one-frame reply is read and discarded.
ProtoStatus routing_handshake(NiTransport& transport);
// Initialize and its reply, which gives the conversation id.
ProtoStatus appc_initialize(NiTransport& transport, bool snc);
// SetPartnerLuName and Allocate, and the Allocate reply.
ProtoStatus appc_allocate(NiTransport& transport);
// The SNC context exchange over `initiator`; on success the context is
// installed in the transport.
ProtoStatus snc_handshake(NiTransport& transport, SncInitiator& initiator);
// The same with a context made from the options; on success the
// established context is installed in the transport, on any failure it is
// released.
ProtoStatus snc_handshake(NiTransport& transport, const SncOptions& options);

// The steps in order, after the TCP connection exists; the SNC context
// exchange only with SNC options.
ProtoStatus run_setup_steps(NiTransport& transport, const ConnectionParams& params);

}  // namespace quib::proto

// The NI session set-up: the TCP connection to a gateway (directly or through
// SAProuters), the routing handshake, APPC initialize and allocate, and the
// SNC context exchange. The openers return a transport ready for the logon.
// The fixed packets of the steps are in wire/ni_setup.hpp.
#pragma once

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
#include "wire/ni_setup.hpp"

namespace quib::proto {

// The steps of a set-up as a time-out names them ("timed out in the NI
// set-up (APPC allocate)"; proto/base/step_timeout.hpp).
inline constexpr std::string_view kSetupRoutingHandshake = "the NI set-up (routing handshake)";
inline constexpr std::string_view kSetupAppcInitialize = "the NI set-up (APPC initialize)";
inline constexpr std::string_view kSetupAppcAllocate = "the NI set-up (APPC allocate)";
inline constexpr std::string_view kSetupSncHandshake = "the NI set-up (SNC handshake)";
inline constexpr std::string_view kSetupSaprouterRoute = "the SAProuter route";

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
// exchange only with SNC options. A time-out names the step that was
// waiting.
ProtoStatus run_setup_steps(NiTransport& transport, const ConnectionParams& params);

}  // namespace quib::proto

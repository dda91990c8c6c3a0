// The openers of a client session, one per route: each sets up the
// transport (directly, through SAProuters, through a message server, or
// WebSocket RFC over TLS) and logs on, and gives the logged-on RfcConnection.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/net/waits.hpp"
#include "proto/session/connection.hpp"
#include "proto/session/metadata_cache.hpp"
#include "proto/transport/transport.hpp"

namespace quib::proto {

// Every opener runs under `waits` when given: its deadline bounds the whole
// open (connect, set-up, router and message-server legs, TLS and WebSocket
// handshakes, logon) and its wake-up ends it; the session keeps the waits
// until the caller gives it others. Without them the fixed connect and I/O
// time-outs bound each step. Either way a time-out names the step that was
// waiting ("cannot connect to {host}:{port}: ...", "timed out in the
// logon", ...; proto/base/step_timeout.hpp).

// The logon as a time-out names it.
inline constexpr std::string_view kOpenLogon = "the logon";

// The destination of a session in the caller's own terms: the route kind,
// the host (or message server, service and group), the gateway port or
// system number, the SAProuter route with its passwords masked, and the
// client. Two sessions share metadata only when these agree.
std::string destination_key(const ConnectionParams& params, const Route& route);

// Opens and logs on by the route: Direct, Saprouter, WsRfc, MessageServer.
// The MessageServer route does not use `cache`: the reference is released
// and the load-balanced opener builds a cache of its own.
ProtoResult<RfcConnection> open_by_route(const ConnectionParams& params, const Route& route,
                                         std::shared_ptr<MetadataCache> cache,
                                         std::shared_ptr<const Waits> waits = nullptr);

// TCP to the gateway, the NI set-up, then the logon.
ProtoResult<RfcConnection> open_direct(const ConnectionParams& params,
                                       std::shared_ptr<MetadataCache> cache,
                                       std::shared_ptr<const Waits> waits = nullptr);

// Through the SAProuters of `route` to the gateway, then the logon.
ProtoResult<RfcConnection> open_via_router(const ConnectionParams& params, std::string_view route,
                                           std::shared_ptr<MetadataCache> cache,
                                           std::shared_ptr<const Waits> waits = nullptr);

// WebSocket RFC: missing certificate or key fail as UnexpectedRecord
// ("wsrfc open") before any network activity; then the TLS transport to
// wshost (else ashost) and wsport (else 443), the session identifier (not
// sent) and the WebSocket logon.
ProtoResult<RfcConnection> open_wsrfc(const ConnectionParams& params,
                                      std::shared_ptr<MetadataCache> cache,
                                      std::shared_ptr<const Waits> waits = nullptr);

// The common tail of every opener once a transport stands: the session
// identifier, the connection, the parameter set's basXML mode, the NI logon.
// A logon failure drops the connection (its socket closes).
ProtoResult<RfcConnection> finish_ni_open(std::unique_ptr<Transport> transport,
                                          const ConnectionParams& params,
                                          std::shared_ptr<MetadataCache> cache);

// The opener of the MessageServer route: the lookup, then a direct session to
// the server it named (or to `mshost_override`, at the named port's system
// number) with a metadata cache of its own, empty at every open.
// The lookup and the direct open both run under `waits`.
ProtoResult<RfcConnection> open_load_balanced(const ConnectionParams& params,
                                              std::string_view mshost, std::string_view msserv,
                                              std::string_view group,
                                              const std::optional<std::string>& mshost_override,
                                              std::shared_ptr<const Waits> waits = nullptr);

}  // namespace quib::proto

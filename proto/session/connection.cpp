#include "proto/session/connection.hpp"

#include <fmt/format.h>

#include <chrono>
#include <type_traits>

#include "proto/session/logon.hpp"
#include "proto/session/msserv.hpp"
#include "proto/session/setup.hpp"
#include "proto/transport/ni_transport.hpp"
#include "proto/transport/ws_transport.hpp"
#include "wire/route.hpp"

namespace quib::proto {

namespace {

constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr int kSessionIdRotation = 17;

void fnv1a(std::uint64_t& h, wire::ByteView bytes) {
  for (std::uint8_t b : bytes) {
    h ^= b;
    h *= kFnvPrime;
  }
}

std::uint64_t unix_nanos_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

}  // namespace

SessionId session_identifier(std::string_view user, std::string_view client,
                             std::uint64_t unix_nanos) {
  std::uint64_t h = kFnvOffsetBasis;
  fnv1a(h, wire::as_bytes(user));
  fnv1a(h, wire::as_bytes(client));
  std::uint8_t t[8];
  wire::store_le64(t, unix_nanos);
  fnv1a(h, t);
  SessionId id{};
  wire::store_le64(id.data(), h);
  const std::uint64_t rotated = (h << kSessionIdRotation) | (h >> (64 - kSessionIdRotation));
  wire::store_be64(id.data() + 8, rotated);
  return id;
}

SessionId session_identifier_now(std::string_view user, std::string_view client) {
  return session_identifier(user, client, unix_nanos_now());
}

std::uint32_t scramble_seed(const SessionId& id) { return wire::load_le32(id.data()); }

// ---------------------------------------------------------------- RfcConnection

RfcConnection::RfcConnection(std::unique_ptr<Transport> transport,
                             std::shared_ptr<MetadataCache> cache, const SessionId& session_id)
    : transport_(std::move(transport)),
      cache_(std::move(cache)),
      alive_(std::make_shared<std::atomic<bool>>(true)),
      calls_in_flight_(std::make_shared<std::atomic<std::uint32_t>>(0)),
      session_id_(session_id) {}

ProtoResult<std::optional<CancelHandle>> RfcConnection::cancel_handle() {
  QUIB_TRY(std::optional<CancelHandle> handle, transport_->cancel_handle());
  if (handle) handle->share_flag(alive_);
  return handle;
}

ProtoStatus RfcConnection::close() && {
  alive_->exchange(false);
  // The transport leaves with this call: dropping it at the end closes the
  // socket whatever the close record's fate.
  std::unique_ptr<Transport> transport = std::move(transport_);
  if (!transport) return wire::ok_unit;
  return transport->close();
}

// ---------------------------------------------------------------- openers

ProtoResult<RfcConnection> finish_ni_open(std::unique_ptr<Transport> transport,
                                          const ConnectionParams& params,
                                          std::shared_ptr<MetadataCache> cache) {
  RfcConnection connection(std::move(transport), std::move(cache),
                           session_identifier_now(params.user, params.client));
  connection.set_basxml_mode(params.basxml_mode);
  QUIB_CHECK(logon_ni(connection, params));
  return connection;
}

ProtoResult<RfcConnection> open_direct(const ConnectionParams& params,
                                       std::shared_ptr<MetadataCache> cache,
                                       std::shared_ptr<const Waits> waits) {
  QUIB_TRY(std::unique_ptr<NiTransport> transport, connect_direct(params, std::move(waits)));
  return finish_ni_open(std::move(transport), params, std::move(cache));
}

ProtoResult<RfcConnection> open_via_router(const ConnectionParams& params, std::string_view route,
                                           std::shared_ptr<MetadataCache> cache,
                                           std::shared_ptr<const Waits> waits) {
  QUIB_TRY(std::unique_ptr<NiTransport> transport,
           connect_via_router(params, route, std::move(waits)));
  return finish_ni_open(std::move(transport), params, std::move(cache));
}

ProtoResult<RfcConnection> open_wsrfc(const ConnectionParams& params,
                                      std::shared_ptr<MetadataCache> cache,
                                      std::shared_ptr<const Waits> waits) {
  // Checked in this order, before any network activity.
  if (!params.ws_client_cert_der) {
    return wire::err(
        ProtocolError::unexpected_record(kStepWsrfcOpen, "missing ws_client_cert_der"));
  }
  if (!params.ws_client_key_pkcs8_der) {
    return wire::err(
        ProtocolError::unexpected_record(kStepWsrfcOpen, "missing ws_client_key_pkcs8_der"));
  }
  const std::string language = logon_language(params.lang);
  QUIB_TRY(
      std::unique_ptr<WsTransport> transport,
      connect_wsrfc(params.ws_host(), params.ws_port(), params.ws_path, params.client, language,
                    *params.ws_client_cert_der, params.ws_client_key_pkcs8_der->bytes(),
                    params.connect_timeout, std::move(waits)));
  RfcConnection connection(std::move(transport), std::move(cache),
                           session_identifier_now(params.user, params.client));
  connection.set_basxml_mode(params.basxml_mode);
  QUIB_CHECK(logon_wsrfc(connection, params));
  return connection;
}

std::string RfcConnection::metadata_scope() const {
  // A session made without an opener (a test's) has only its system ID.
  if (destination_.empty()) return attributes_.system_id;
  std::string scope = destination_;
  scope.push_back('\n');
  scope += attributes_.system_id;
  return scope;
}

std::string destination_key(const ConnectionParams& params, const Route& route) {
  const std::string gateway =
      params.port ? fmt::format("port {}", *params.port) : fmt::format("sysnr {}", params.sysnr);
  const std::string where = std::visit(
      [&](const auto& r) -> std::string {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, Route::Direct>) {
          return fmt::format("direct\n{}\n{}", params.ashost, gateway);
        } else if constexpr (std::is_same_v<R, Route::Saprouter>) {
          return fmt::format("saprouter\n{}\n{}\n{}", wire::mask_route_text(r.route), params.ashost,
                             gateway);
        } else if constexpr (std::is_same_v<R, Route::WsRfc>) {
          return fmt::format("wsrfc\n{}\n{}\n{}", params.ws_host(), params.ws_port(),
                             params.ws_path);
        } else {
          return fmt::format("msserver\n{}\n{}\n{}\n{}", r.mshost, r.msserv, r.group,
                             r.mshost_override.value_or(std::string()));
        }
      },
      route.value);
  return fmt::format("{}\nclient {}", where, params.client);
}

namespace {

ProtoResult<RfcConnection> open_route(const ConnectionParams& params, const Route& route,
                                      std::shared_ptr<MetadataCache> cache,
                                      std::shared_ptr<const Waits> waits) {
  return std::visit(
      [&](const auto& r) -> ProtoResult<RfcConnection> {
        using R = std::decay_t<decltype(r)>;
        if constexpr (std::is_same_v<R, Route::Direct>) {
          return open_direct(params, std::move(cache), std::move(waits));
        } else if constexpr (std::is_same_v<R, Route::Saprouter>) {
          return open_via_router(params, r.route, std::move(cache), std::move(waits));
        } else if constexpr (std::is_same_v<R, Route::WsRfc>) {
          return open_wsrfc(params, std::move(cache), std::move(waits));
        } else {
          // A load-balanced session gets a cache of its own at every open;
          // the shared one is released here.
          cache.reset();
          return open_load_balanced(params, r.mshost, r.msserv, r.group, r.mshost_override,
                                    std::move(waits));
        }
      },
      route.value);
}

}  // namespace

ProtoResult<RfcConnection> open_by_route(const ConnectionParams& params, const Route& route,
                                         std::shared_ptr<MetadataCache> cache,
                                         std::shared_ptr<const Waits> waits) {
  auto opened = open_route(params, route, std::move(cache), std::move(waits));
  if (opened) opened->set_destination(destination_key(params, route));
  return opened;
}

}  // namespace quib::proto

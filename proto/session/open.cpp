#include "proto/session/open.hpp"

#include <fmt/format.h>

#include <type_traits>
#include <utility>

#include "proto/base/step_timeout.hpp"
#include "proto/session/logon.hpp"
#include "proto/session/msserv.hpp"
#include "proto/session/setup.hpp"
#include "proto/transport/ni_transport.hpp"
#include "proto/transport/ws_transport.hpp"
#include "wire/route.hpp"

namespace quib::proto {

ProtoResult<RfcConnection> finish_ni_open(std::unique_ptr<Transport> transport,
                                          const ConnectionParams& params,
                                          std::shared_ptr<MetadataCache> cache) {
  RfcConnection connection(std::move(transport), std::move(cache),
                           session_identifier_now(params.user, params.client));
  connection.set_basxml_mode(params.basxml_mode);
  QUIB_CHECK(in_step(logon_ni(connection, params), kOpenLogon));
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
  QUIB_CHECK(in_step(logon_wsrfc(connection, params), kOpenLogon));
  return connection;
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

ProtoResult<RfcConnection> open_load_balanced(const ConnectionParams& params,
                                              std::string_view mshost, std::string_view msserv,
                                              std::string_view group,
                                              const std::optional<std::string>& mshost_override,
                                              std::shared_ptr<const Waits> waits) {
  QUIB_TRY(ApplicationServer server,
           in_step(lookup_application_server(mshost, msserv, group, params.connect_timeout, waits),
                   fmt::format("the message server lookup at {}:{}", mshost, msserv)));
  const ConnectionParams direct = load_balanced_params(params, server, mshost_override);
  // Never the process-wide cache: each open through the message server starts
  // with an empty cache of its own.
  return open_direct(direct, std::make_shared<MetadataCache>(), std::move(waits));
}

}  // namespace quib::proto

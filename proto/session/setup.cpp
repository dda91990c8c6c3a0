#include "proto/session/setup.hpp"

#include <fmt/format.h>

#include <string>
#include <vector>

#include "proto/base/step_timeout.hpp"
#include "proto/base/wipe.hpp"
#include "wire/appc.hpp"
#include "wire/container.hpp"
#include "wire/route.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

ProtocolError route_error(const wire::RouteError& e) {
  return ProtocolError::unexpected_record(kStepSaprouterRoute, e.message());
}

}  // namespace

ProtoResult<Socket> open_tcp(std::string_view host, std::string_view port,
                             const ConnectionParams& params, std::shared_ptr<const Waits> waits) {
  QUIB_TRY(Socket socket, connect_host(host, port, params.connect_timeout, waits.get()));
  QUIB_CHECK(socket.set_nodelay(true));
  QUIB_CHECK(socket.set_wait_limit(params.io_timeout));
  socket.set_waits(std::move(waits));
  return socket;
}

ProtoStatus routing_handshake(NiTransport& transport) {
  QUIB_CHECK(transport.write_ni_frame(wire::kRoutingHandshakePacket));
  // The reply is read and ignored, whatever it holds.
  QUIB_TRY(wire::Bytes reply, transport.read_ni_frame(kStepRoutingHandshake));
  (void)reply;
  return wire::ok_unit;
}

ProtoStatus appc_initialize(NiTransport& transport, bool snc) {
  std::uint64_t ignored = 0;
  QUIB_CHECK(transport.send_cpic(wire::initialize_template(snc), wire::kInitializeBody, ignored));
  // Read directly, not through receive_cpic: no SNC is in force yet.
  QUIB_TRY(wire::Bytes frame, transport.read_ni_frame(kStepAppcInitialize));
  QUIB_TRY(wire::AppcRecord record, wire::parse_appc_header(frame));
  if (record.request_type.kind != wire::AppcRequestType::Initialize) {
    return wire::err(
        ProtocolError::unexpected_record(kStepAppcInitialize, record.request_type.debug()));
  }
  const auto id = wire::appc_conversation_id(record.header);
  if (!id) {
    return wire::err(ProtocolError::unexpected_record(kStepAppcInitialize,
                                                      "response without a conversation ID"));
  }
  transport.set_conversation_id(*id);
  return wire::ok_unit;
}

ProtoStatus appc_allocate(NiTransport& transport) {
  std::uint64_t ignored = 0;
  QUIB_CHECK(
      transport.send_cpic(wire::kSetPartnerLuNameTemplate, wire::kSetPartnerLuNameBody, ignored));
  QUIB_CHECK(transport.send_cpic(wire::kAllocateTemplate, {}, ignored));
  QUIB_TRY(CpicRecord reply, transport.receive_cpic(kStepAppcAllocate));
  if (reply.request_type.kind != wire::AppcRequestType::Allocate) {
    return wire::err(
        ProtocolError::unexpected_record(kStepAppcAllocate, reply.request_type.debug()));
  }
  return wire::ok_unit;
}

ProtoStatus snc_handshake(NiTransport& transport, SncInitiator& initiator) {
  std::optional<wire::Bytes> acceptor_token;
  bool complete = false;
  for (std::uint64_t exchanges = 0; exchanges < kMaxSncExchanges; ++exchanges) {
    std::optional<wire::ByteView> input;
    if (acceptor_token) input = wire::ByteView(*acceptor_token);
    QUIB_TRY(SncInitiator::Step step, initiator.init_sec_context_step(input));
    complete = step.complete;
    if (!step.token) break;

    // The first SNC frame of a transport announces the partner name.
    std::optional<wire::Bytes> announcement;
    if (transport.snc_frame_count() == 0) {
      QUIB_TRY(announcement, initiator.export_name());
    }
    std::optional<wire::ByteView> announcement_view;
    if (announcement) announcement_view = wire::ByteView(*announcement);
    QUIB_TRY(wire::Bytes frame, snc::write_snc_frame(snc::SncFrameKind::initiator_token(),
                                                     announcement_view, *step.token));
    QUIB_CHECK(wire::append_message_trailer(frame));
    transport.count_snc_frame();
    std::uint64_t ignored = 0;
    QUIB_CHECK(transport.send_cpic(wire::kSncHandshakeTemplate, frame, ignored));
    if (complete) break;

    QUIB_TRY(CpicRecord reply, transport.receive_cpic(kStepSncHandshake));
    if (reply.request_type.kind != wire::AppcRequestType::Data &&
        reply.request_type.kind != wire::AppcRequestType::DataLast) {
      return wire::err(
          ProtocolError::unexpected_record(kStepSncHandshake, reply.request_type.debug()));
    }
    QUIB_TRY(snc::SncFrame parsed, snc::parse_snc_frame(reply.data));
    if (parsed.kind.tag != snc::SncFrameKind::AcceptorToken) {
      return wire::err(ProtocolError::snc(fmt::format(
          "expected an acceptor token during the SNC handshake, got {}", parsed.kind.debug())));
    }
    acceptor_token = wire::Bytes(parsed.token.begin(), parsed.token.end());
  }
  if (!complete) {
    return wire::err(
        ProtocolError::snc("the SNC context did not establish within the permitted rounds"));
  }
  transport.install_snc(initiator.into_channel());
  return wire::ok_unit;
}

ProtoStatus snc_handshake(NiTransport& transport, const SncOptions& options) {
  // The initiator, and with it the context, is dropped on every way out
  // but success, where the context has moved into the transport.
  QUIB_TRY(std::unique_ptr<GssSncInitiator> initiator, open_snc_initiator(options));
  return snc_handshake(transport, *initiator);
}

ProtoStatus run_setup_steps(NiTransport& transport, const ConnectionParams& params) {
  QUIB_CHECK(in_step(routing_handshake(transport), kSetupRoutingHandshake));
  QUIB_CHECK(in_step(appc_initialize(transport, params.snc.has_value()), kSetupAppcInitialize));
  QUIB_CHECK(in_step(appc_allocate(transport), kSetupAppcAllocate));
  if (params.snc) QUIB_CHECK(in_step(snc_handshake(transport, *params.snc), kSetupSncHandshake));
  return wire::ok_unit;
}

ProtoResult<std::unique_ptr<NiTransport>> connect_direct(const ConnectionParams& params,
                                                         std::shared_ptr<const Waits> waits) {
  const std::string port = std::to_string(gateway_port(params));
  QUIB_TRY(Socket socket, open_tcp(params.ashost, port, params, std::move(waits)));
  auto transport = std::make_unique<NiTransport>(std::move(socket));
  QUIB_CHECK(run_setup_steps(*transport, params));
  return transport;
}

ProtoResult<std::unique_ptr<NiTransport>> connect_via_router(const ConnectionParams& params,
                                                             std::string_view route,
                                                             std::shared_ptr<const Waits> waits) {
  auto parsed = wire::parse_route(route);
  if (!parsed) return wire::err(route_error(parsed.error()));
  std::vector<wire::RouteHop> hops = std::move(parsed).value();
  hops.emplace_back(params.ashost, std::to_string(gateway_port(params)), std::string());
  auto request = wire::build_route_request(hops);
  if (!request) return wire::err(route_error(request.error()));
  wire::Bytes request_bytes = std::move(request).value();
  WipeOnExit wipe(request_bytes);

  QUIB_TRY(Socket socket,
           open_tcp(hops.front().host, hops.front().service, params, std::move(waits)));
  auto transport = std::make_unique<NiTransport>(std::move(socket));
  QUIB_CHECK(in_step(transport->write_ni_frame(request_bytes), kSetupSaprouterRoute));
  QUIB_TRY(wire::Bytes reply,
           in_step(transport->read_ni_frame(kStepSaprouterRoute), kSetupSaprouterRoute));
  if (!wire::is_ni_pong(reply)) {
    const std::string text = wire::utf8_lossy(reply);
    return wire::err(ProtocolError::unexpected_record(kStepSaprouterRoute,
                                                      std::string(wire::trim_unicode(text))));
  }
  QUIB_CHECK(run_setup_steps(*transport, params));
  return transport;
}

}  // namespace quib::proto

#include "proto/session/msserv.hpp"

#include <fmt/format.h>

#include <memory>
#include <utility>

#include "proto/session/setup.hpp"
#include "proto/transport/ni_frames.hpp"
#include "wire/ni.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

ProtocolError ms_error(const wire::MsError& e) {
  return ProtocolError::unexpected_record(kStepMessageServer, e.message());
}

}  // namespace

ProtoResult<wire::LogonGroupRequest> logon_group_request(std::string_view group) {
  auto request = wire::logon_group_request(group);
  if (!request) return wire::err(ms_error(request.error()));
  return request.value();
}

ProtoResult<ApplicationServer> parse_logon_group_reply(wire::ByteView reply) {
  auto server = wire::parse_logon_group_reply(reply);
  if (!server) return wire::err(ms_error(server.error()));
  return std::move(server).value();
}

std::string system_number_of_dispatcher(std::uint16_t port) {
  return fmt::format("{:02d}", static_cast<unsigned>(port - wire::kDispatcherPortBase));
}

ConnectionParams load_balanced_params(const ConnectionParams& params,
                                      const ApplicationServer& server,
                                      const std::optional<std::string>& mshost_override) {
  ConnectionParams copy = params;
  copy.ashost = mshost_override ? *mshost_override : server.host;
  copy.sysnr = system_number_of_dispatcher(server.port);
  copy.port.reset();
  return copy;
}

ProtoResult<ApplicationServer> lookup_application_server(std::string_view mshost,
                                                         std::string_view msserv,
                                                         std::string_view group,
                                                         Duration connect_timeout,
                                                         std::shared_ptr<const Waits> waits) {
  // The lookup's reads and writes are bounded by the connect time-out, not
  // by the session's I/O time-out.
  ConnectionParams limits;
  limits.connect_timeout = connect_timeout;
  limits.io_timeout = connect_timeout;
  // The socket closes when this function returns, whatever the outcome.
  QUIB_TRY(Socket socket, open_tcp(mshost, msserv, limits, std::move(waits)));
  // The reader holds only what has arrived: a declared length allocates
  // nothing.
  wire::NiFrameReader reader(kMsFrameLimit);
  std::array<std::uint8_t, kMsReadPiece> piece;

  for (wire::ByteView packet :
       {wire::ByteView(wire::kMsFirstPacket), wire::ByteView(wire::kMsSecondPacket)}) {
    QUIB_CHECK(send_ni_frame(socket, packet));
    QUIB_TRY(wire::Bytes discarded, read_ni_frame(socket, reader, piece, kStepMessageServer));
    (void)discarded;
  }

  QUIB_TRY(wire::LogonGroupRequest request, logon_group_request(group));
  QUIB_CHECK(send_ni_frame(socket, request));
  QUIB_TRY(wire::Bytes reply, read_ni_frame(socket, reader, piece, kStepMessageServer));
  return parse_logon_group_reply(reply);
}

}  // namespace quib::proto

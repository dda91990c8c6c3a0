#include "proto/session/msserv.hpp"

#include <fmt/format.h>

#include <memory>
#include <utility>

#include "proto/session/setup.hpp"
#include "wire/ni.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

constexpr std::string_view kNoEyecatcher = "response without the **MESSAGE** eyecatcher";
constexpr std::string_view kNoApplicationServer = "response contained no application server";

// Every character of the host printable ASCII, blanks excluded.
bool is_printable_host(std::string_view host) {
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7E) return false;
  }
  return true;
}

// The host of a candidate entry, when it is acceptable.
std::optional<std::string> candidate_host(wire::ByteView bytes) {
  const std::string decoded = wire::utf8_lossy(bytes);
  const std::string_view host = wire::trim_unicode(decoded);
  if (host.empty() || !is_printable_host(host)) return std::nullopt;
  return std::string(host);
}

ProtoStatus send_frame(const Socket& socket, wire::ByteView payload) {
  wire::Bytes frame;
  frame.reserve(wire::kNiLengthSize + payload.size());
  QUIB_CHECK(wire::write_ni_frame(payload, frame));
  QUIB_CHECK(socket.send_all(frame));
  return wire::ok_unit;
}

// The next NI frame of the lookup connection, copied out of the reader. The
// reader holds only what has arrived: a declared length allocates nothing.
ProtoResult<wire::Bytes> read_frame(const Socket& socket, wire::NiFrameReader& reader) {
  std::array<std::uint8_t, kMsReadPiece> piece;
  for (;;) {
    QUIB_TRY(std::optional<wire::ByteView> frame, reader.next_ni_frame());
    if (frame) return wire::Bytes(frame->begin(), frame->end());
    QUIB_TRY(std::size_t n, socket.receive_some(piece));
    if (n == 0) return wire::err(ProtocolError::closed_by_peer(kStepMessageServer));
    reader.push(wire::ByteView(piece.data(), n));
  }
}

}  // namespace

ProtoResult<LogonGroupRequest> logon_group_request(std::string_view group) {
  if (group.size() > kMaxLogonGroupSize) {
    return wire::err(ProtocolError::unexpected_record(
        kStepMessageServer,
        fmt::format("logon group {} exceeds {} characters", group, kMaxLogonGroupSize)));
  }
  LogonGroupRequest request = kLogonGroupRequestTemplate;
  for (std::size_t i = 0; i < group.size(); ++i) {
    request[kLogonGroupOffset + i] = static_cast<std::uint8_t>(group[i]);
  }
  return request;
}

ProtoResult<ApplicationServer> parse_logon_group_reply(wire::ByteView reply) {
  if (reply.size() < kMsEyecatcherSize ||
      std::string_view(reinterpret_cast<const char*>(reply.data()), kMsEyecatcher.size()) !=
          kMsEyecatcher ||
      reply[kMsEyecatcher.size()] != 0x00) {
    return wire::err(
        ProtocolError::unexpected_record(kStepMessageServer, std::string(kNoEyecatcher)));
  }
  // Backwards from the last position that leaves room for port and length,
  // so that the entry nearest the end wins. The host's extent is compared
  // with the reply's size before a byte of it is read.
  const std::size_t size = reply.size();
  for (std::size_t p = size - 4; p-- > 0;) {  // p = size - 5 down to 0
    const std::uint16_t port = wire::load_be16(reply.data() + p);
    const std::uint16_t length = wire::load_be16(reply.data() + p + 2);
    if (length < 1 || length > kMaxReplyHostSize) continue;
    if (p + 4 + length > size) continue;
    if (port < kDispatcherPortBase || port > kDispatcherPortLast) continue;
    if (auto host = candidate_host(reply.subspan(p + 4, length))) {
      return ApplicationServer{std::move(*host), port};
    }
  }
  return wire::err(
      ProtocolError::unexpected_record(kStepMessageServer, std::string(kNoApplicationServer)));
}

std::string system_number_of_dispatcher(std::uint16_t port) {
  return fmt::format("{:02d}", static_cast<unsigned>(port - kDispatcherPortBase));
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
  wire::NiFrameReader reader(kMsFrameLimit);

  for (wire::ByteView packet : {wire::ByteView(kMsFirstPacket), wire::ByteView(kMsSecondPacket)}) {
    QUIB_CHECK(send_frame(socket, packet));
    QUIB_TRY(wire::Bytes discarded, read_frame(socket, reader));
    (void)discarded;
  }

  QUIB_TRY(LogonGroupRequest request, logon_group_request(group));
  QUIB_CHECK(send_frame(socket, request));
  QUIB_TRY(wire::Bytes reply, read_frame(socket, reader));
  return parse_logon_group_reply(reply);
}

}  // namespace quib::proto

#include "proto/server/registered_server.hpp"

#include <netinet/in.h>

#include <array>
#include <cstring>

#include "proto/base/params.hpp"
#include "proto/transport/ni_frames.hpp"
#include "wire/server.hpp"

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;

// ---------------------------------------------------------------- parameters

std::uint16_t gateway_port(std::string_view gwserv) {
  if (gwserv.substr(0, kGwservPrefix.size()) == kGwservPrefix) {
    const auto n = parse_u16_decimal(gwserv.substr(kGwservPrefix.size()));
    if (!n) return kDefaultGatewayPort;
    return static_cast<std::uint16_t>((kDefaultGatewayPort + *n) & 0xFFFF);
  }
  return parse_u16_decimal(gwserv).value_or(kDefaultGatewayPort);
}

// ---------------------------------------------------------------- replies

ProtoResult<Bytes> build_reply_container(std::string_view program_id, const wire::InboundCall& call,
                                         std::span<const ExportValue> exports) {
  QUIB_TRY(Bytes container, wire::build_reply_container(program_id, call, exports));
  return container;
}

// ---------------------------------------------------------------- the session

namespace {

// A read that ended without a frame but left the stream as it was: its wait
// timed out or was interrupted, and what had arrived stays in the reader.
bool is_pause(const ProtocolError& e) {
  const IoError* io = e.get<IoError>();
  return io != nullptr && (io->is_timeout() || io->is_interrupted());
}

// Whether a failed read ends the registration: the gateway closed the
// connection, the framing broke (after a length beyond the limit there is
// no telling where the next frame begins), or the socket itself failed.
bool ends_registration(const ProtocolError& e) {
  if (e.is(ProtocolError::ClosedByPeer) || e.is(ProtocolError::Ni)) return true;
  return e.is(ProtocolError::Io) && !is_pause(e);
}

ProtocolError registration_ended() {
  return ProtocolError(IoError::custom(IoError::NotConnected, "the registration has ended"));
}

}  // namespace

RegisteredServer::RegisteredServer(Socket socket, std::string program_id)
    : program_id_(std::move(program_id)), socket_(std::move(socket)) {}

RegisteredServer& RegisteredServer::operator=(RegisteredServer&& other) noexcept {
  if (this != &other) {
    release();
    reader_ = std::move(other.reader_);
    program_id_ = std::move(other.program_id_);
    pending_ = std::move(other.pending_);
    socket_ = std::move(other.socket_);
    conversation_id_ = other.conversation_id_;
    partial_ = std::move(other.partial_);
    resumed_ = other.resumed_;
    detached_ = other.detached_;
    ended_ = other.ended_;
  }
  return *this;
}

RegisteredServer::~RegisteredServer() { release(); }

void RegisteredServer::release() {
  if (!socket_.valid()) return;
  detach();
  socket_.close();
}

void RegisteredServer::detach() {
  if (detached_ || !socket_.valid()) return;
  detached_ = true;
  // Waits of its own: those of the last operation may have been
  // interrupted (close() from another thread), or be far from over.
  socket_.set_waits(std::make_shared<Waits>(saturating_deadline(Clock::now(), kDetachRecordLimit)));
  const wire::AppcHeader h = wire::AppcHeader::make(wire::kAppcServerAccept);
  (void)write_frame(h.view());
}

void RegisteredServer::abandon() {
  detached_ = true;
  socket_.close();
}

ProtoResult<Bytes> RegisteredServer::read_frame(std::string_view label) {
  std::array<std::uint8_t, kServerReadPiece> piece;
  return read_ni_frame(socket_, reader_, piece, label);
}

ProtoStatus RegisteredServer::write_frame(ByteView payload) {
  if (ended_) return wire::err(registration_ended());
  // A send that its waits refuse before the first byte leaves the stream
  // whole; one that fails later has cut a record short.
  const Waits* waits = socket_.waits().get();
  const bool refused_before_start =
      waits != nullptr && (waits->was_interrupted() || waits->past_deadline());
  ProtoStatus sent = send_ni_frame(socket_, payload);
  if (!sent && !refused_before_start && sent.error().is(ProtocolError::Io)) ended_ = true;
  return sent;
}

ProtoResult<wire::InboundCall> RegisteredServer::receive_call() {
  if (ended_) return wire::err(registration_ended());
  if (!partial_) {
    partial_.emplace();
    resumed_ = false;
    if (pending_) {
      const Bytes announcement = std::move(*pending_);
      pending_.reset();
      if (auto taken = partial_->push(announcement); !taken) {
        partial_.reset();
        return wire::err(std::move(taken).error());
      }
      conversation_id_ = partial_->conversation_id();
    }
  }
  return assemble();
}

ProtoResult<wire::InboundCall> RegisteredServer::assemble() {
  wire::InboundAssembler& call = *partial_;
  while (!call.complete()) {
    auto frame = read_frame(server_step_label(call.next_step()));
    if (!frame) {
      if (is_pause(frame.error())) {
        resumed_ = true;
      } else {
        partial_.reset();
        if (ends_registration(frame.error())) ended_ = true;
      }
      return wire::err(std::move(frame).error());
    }
    // After a pause the gateway may have given up the call it had begun
    // and announce a new one.
    if (resumed_ && call.stage() != wire::InboundAssembler::Stage::Announcement &&
        wire::is_inbound_announcement(frame.value())) {
      call = wire::InboundAssembler();
    }
    resumed_ = false;
    if (auto taken = call.push(frame.value()); !taken) {
      partial_.reset();
      return wire::err(std::move(taken).error());
    }
    conversation_id_ = call.conversation_id();
  }
  auto decoded = call.decode();
  partial_.reset();
  if (!decoded) return wire::err(std::move(decoded).error());
  return std::move(decoded).value();
}

ProtoStatus RegisteredServer::send_reply(ReplyKind kind, ByteView container) {
  for (const Bytes& frame : wire::container_frames(kind, conversation_id_, container)) {
    QUIB_CHECK(write_frame(frame));
  }
  for (const Bytes& record : wire::end_of_conversation_records(conversation_id_)) {
    QUIB_CHECK(write_frame(record));
  }
  return wire::ok_unit;
}

ProtoStatus RegisteredServer::send_reply_exports_only(const wire::InboundCall& call,
                                                      std::span<const ExportValue> exports) {
  QUIB_TRY(Bytes container, wire::build_reply_container(program_id_, call, exports));
  return send_reply(ReplyKind::Normal, container);
}

ProtoStatus RegisteredServer::send_exception_reply(const ExceptionReply& reply) {
  QUIB_TRY(Bytes container, wire::build_exception_container(program_id_, reply));
  return send_reply(ReplyKind::Exception, container);
}

ProtoResult<RegisteredServer> register_at_gateway(const ServerParams& params,
                                                  std::shared_ptr<const Waits> waits) {
  if (params.program_id.empty()) {
    return wire::err(
        ProtocolError::unexpected_record(kStepGatewayRegistration, "an empty program ID"));
  }
  const std::string port = std::to_string(gateway_port(params.gwserv));
  QUIB_TRY(Socket socket, connect_host(params.gwhost, port, params.connect_timeout, waits.get()));
  QUIB_CHECK(socket.set_nodelay(true));
  QUIB_CHECK(socket.set_wait_limit(params.read_timeout));
  socket.set_waits(std::move(waits));
  QUIB_TRY(SocketAddress local, socket.local_address());
  wire::Ipv4Octets address{};
  if (local.family() == AF_INET) {
    const auto* in = reinterpret_cast<const sockaddr_in*>(&local.storage);
    std::memcpy(address.data(), &in->sin_addr.s_addr, address.size());
  }

  // From here on a failure drops the half-built server: it detaches and
  // closes the socket.
  RegisteredServer server(std::move(socket), params.program_id);
  const wire::RegistrationRecord record =
      wire::build_registration_record(params.program_id, params.local_host, address);
  QUIB_CHECK(server.write_frame(record));
  QUIB_TRY(Bytes handshake, server.read_frame(kStepRegistrationHandshake));
  (void)handshake;
  const wire::InfoBlock info = wire::build_info_block(params.program_id, params.local_host);
  QUIB_CHECK(server.write_frame(info));
  QUIB_CHECK(server.write_frame(wire::AppcHeader::make(wire::kAppcServerInfo).view()));

  QUIB_CHECK(server.set_read_timeout(params.registration_wait));
  auto answer = server.read_frame(kStepGatewayRegistration);
  QUIB_CHECK(server.set_read_timeout(params.read_timeout));
  // The waits were the registration's; the caller gives each later
  // operation its own.
  server.set_waits(nullptr);
  if (!answer) {
    // Silence for the whole registration wait means the gateway accepted.
    if (answer.error().is_timeout()) return server;
    return wire::err(std::move(answer).error());
  }
  QUIB_TRY(std::optional<Bytes> pending,
           wire::judge_registration_answer(params.program_id, answer.value()));
  server.pending_ = std::move(pending);
  return server;
}

}  // namespace quib::proto

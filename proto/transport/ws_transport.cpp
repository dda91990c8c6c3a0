#include "proto/transport/ws_transport.hpp"

#include <fmt/format.h>
#include <openssl/rand.h>

#include <array>
#include <vector>

#include "proto/base/step_timeout.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

constexpr std::string_view kHeadEnd = "\r\n\r\n";

IoError refused_upgrade(const wire::WsError& e) {
  // The server answered, but not with a WebSocket: the data is invalid.
  return IoError::custom(IoError::Other, e.message());
}

// 16 bytes from the TLS library's cryptographic random source.
wire::Result<wire::WsKeyNonce, IoError> key_nonce() {
  wire::WsKeyNonce nonce{};
  if (RAND_bytes(nonce.data(), static_cast<int>(nonce.size())) != 1) {
    return wire::err(IoError::custom(
        IoError::Other,
        fmt::format("no random bytes for the WebSocket key: {}", take_openssl_errors())));
  }
  return nonce;
}

}  // namespace

std::string ws_host_header(std::string_view host, std::uint16_t port) {
  const bool bare_ipv6 = host.find(':') != std::string_view::npos && !host.starts_with('[');
  return bare_ipv6 ? fmt::format("[{}]:{}", host, port) : fmt::format("{}:{}", host, port);
}

// Reads in reads of 4096 bytes until the head is complete, searching the
// whole buffer from its start before every read.
ProtoResult<UpgradeHead> read_upgrade_head(const WsReadSome& read) {
  wire::Bytes buffer;
  for (;;) {
    if (const auto end = find_head_end(buffer)) {
      const wire::ByteView all(buffer);
      UpgradeHead head;
      head.text = wire::utf8_lossy(all.first(*end));
      const wire::ByteView rest = all.subspan(*end + kHeadEnd.size());
      head.rest.assign(rest.begin(), rest.end());
      return head;
    }
    const std::size_t old = buffer.size();
    buffer.resize(old + kWsHeadReadSize);
    auto got = read(std::span<std::uint8_t>(buffer).subspan(old));
    if (!got) return wire::err(std::move(got).error());
    buffer.resize(old + *got);
    if (*got == 0) return wire::err(ProtocolError::closed_by_peer(kStepWsrfcUpgrade));
    if (buffer.size() > kWsHeadLimit) {
      return wire::err(IoError::custom(IoError::Other, std::string(kWsHeadTooLarge)));
    }
  }
}

ProtoResult<Received> receive_ws_message(wire::WsPartialMessage& partial,
                                         wire::WsReceiveBuffer& buffer, const WsReadSome& read,
                                         const WsSendPong& pong) {
  std::array<std::uint8_t, kWsReadSize> chunk;
  for (;;) {
    auto step = wire::next_ws_message(partial, buffer.view());
    if (!step) return wire::err(IoError::custom(IoError::Other, step.error().message()));
    buffer.consume(step->used);
    switch (step->what) {
      case wire::WsStep::Message:
        return Received{std::move(step->message), ReceiveKind::DataRecord};
      case wire::WsStep::Control:
        if (step->frame.kind.tag == wire::WsFrameKind::Ping) {
          QUIB_CHECK(pong(step->frame.payload));
        } else if (step->frame.kind.tag == wire::WsFrameKind::Close) {
          return wire::err(ProtocolError::closed_by_peer(kStepWsrfcRecv));
        }
        continue;  // pongs and other kinds are skipped
      case wire::WsStep::NeedMore:
        // A fragment was taken: the next one may be in the buffer already.
        if (step->used > 0) continue;
        break;
    }
    QUIB_TRY(const std::size_t n, read(chunk));
    if (n == 0) return wire::err(ProtocolError::closed_by_peer(kStepWsrfcRecv));
    buffer.push(wire::ByteView(chunk).first(n));
  }
}

std::optional<std::size_t> find_head_end(wire::ByteView bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  const std::size_t at = text.find(kHeadEnd);
  if (at == std::string_view::npos) return std::nullopt;
  return at;
}

// ---------------------------------------------------------------- WsTransport

WsTransport::WsTransport(TlsConnection tls, Socket socket, wire::ByteView leftover)
    : tls_(std::move(tls)), socket_(std::move(socket)) {
  partial_.budget = kWsMessageBudget;
  buffer_.push(leftover);
}

ProtoStatus WsTransport::write_frame(wire::WsFrameKind kind, wire::ByteView payload,
                                     const wire::WsMaskKey& key) {
  wire::Bytes frame;
  frame.reserve(payload.size() + 14);  // the longest head: 2 + 8 length + 4 key
  wire::write_ws_frame(kind, true, payload, key, frame);
  QUIB_CHECK(tls_.write_all(socket_, frame));
  return wire::ok_unit;
}

ProtoStatus WsTransport::send_counted(wire::ByteView data, std::uint64_t& counter) {
  QUIB_CHECK(write_frame(wire::WsFrameKind::binary(), data, mask_.next_key()));
  counter += data.size();
  return wire::ok_unit;
}

ProtoStatus WsTransport::send(wire::ByteView data) {
  std::uint64_t ignored = 0;
  return send_counted(data, ignored);
}

ProtoResult<Received> WsTransport::receive(std::string_view) {
  const WsReadSome read = [this](std::span<std::uint8_t> out) {
    return tls_.read_some(socket_, out);
  };
  const WsSendPong pong = [this](wire::ByteView payload) {
    return write_frame(wire::WsFrameKind::pong(), payload, kWsPongKey);
  };
  return receive_ws_message(partial_, buffer_, read, pong);
}

wire::Status<IoError> WsTransport::set_timeout(std::optional<Duration> timeout) {
  return socket_.set_wait_limit(timeout);
}

void WsTransport::set_waits(std::shared_ptr<const Waits> waits) {
  socket_.set_waits(std::move(waits));
}

std::string WsTransport::conversation_id() const { return {}; }

ProtoStatus WsTransport::close() { return wire::ok_unit; }

ProtoResult<std::optional<CancelHandle>> WsTransport::cancel_handle() {
  return std::optional<CancelHandle>();
}

// ---------------------------------------------------------------- connect

ProtoResult<std::unique_ptr<WsTransport>> connect_wsrfc(
    std::string_view host, std::uint16_t port, std::string_view path, std::string_view client,
    std::string_view language, wire::ByteView cert_der, wire::ByteView key_pkcs8_der,
    Duration connect_timeout, std::shared_ptr<const Waits> waits) {
  // Everything that can be refused without the network comes first.
  QUIB_TRY(TlsClientConfig config, TlsClientConfig::create(cert_der, key_pkcs8_der));
  QUIB_TRY(const ServerName name, server_name_from_host(host));
  QUIB_TRY(TlsConnection tls, TlsConnection::create(config, name));
  QUIB_TRY(const wire::WsKeyNonce nonce, key_nonce());
  const std::string key = wire::make_websocket_key(nonce);
  auto request = wire::build_upgrade_request(path, ws_host_header(host, port),
                                             wire::kWsRfcSubprotocol, client, language, key);
  if (!request) {
    return wire::err(IoError::custom(IoError::InvalidInput, request.error().message()));
  }

  // Only the first address is tried. Until the session sets its own, the
  // connect time-out bounds every wait for the socket (the TLS handshake
  // and the upgrade included), unless the operation has a deadline.
  QUIB_TRY(Socket socket, connect_host(host, std::to_string(port), connect_timeout, waits.get()));
  QUIB_CHECK(socket.set_wait_limit(connect_timeout));
  socket.set_waits(std::move(waits));

  // The TLS handshake runs as part of writing the request.
  if (auto sent = tls.write_all(socket, wire::as_bytes(*request)); !sent)
    return wire::err(timed_out_in(std::move(sent).error(), "the TLS handshake"));
  QUIB_TRY(UpgradeHead head, in_step(read_upgrade_head([&](std::span<std::uint8_t> out) {
                                       return tls.read_some(socket, out);
                                     }),
                                     "the WebSocket upgrade"));
  auto accepted = wire::check_upgrade_response(head.text, key);
  if (!accepted) return wire::err(refused_upgrade(accepted.error()));
  return std::make_unique<WsTransport>(std::move(tls), std::move(socket), head.rest);
}

}  // namespace quib::proto

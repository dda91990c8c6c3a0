// The WebSocket RFC transport: each RFC message travels as one binary
// WebSocket message over TLS to the application server's TLS port.
// connect_wsrfc opens it (TCP, TLS with a client certificate, the HTTP
// upgrade); the session opener then logs on over it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/net/socket.hpp"
#include "proto/net/tls_client.hpp"
#include "proto/net/waits.hpp"
#include "proto/transport/transport.hpp"
#include "wire/bytes.hpp"
#include "wire/ws.hpp"

namespace quib::proto {

// The message budget: the largest frame payload and joined message accepted.
inline constexpr std::uint64_t kWsMessageBudget = wire::kWsDefaultBudget;
// Decrypted bytes asked for per read, and per read of the upgrade response.
inline constexpr std::size_t kWsReadSize = 16384;
inline constexpr std::size_t kWsHeadReadSize = 4096;
// The upgrade response head may not grow beyond this without its end.
inline constexpr std::size_t kWsHeadLimit = 65536;
inline constexpr std::string_view kWsHeadTooLarge = "wsRFC upgrade response head too large";
// A pong is masked with zeros (the masking state does not advance).
inline constexpr wire::WsMaskKey kWsPongKey = {0, 0, 0, 0};

// The text after "host: " in the upgrade request: the host, a colon and the
// port; an IPv6 literal in brackets, as HTTP requires.
std::string ws_host_header(std::string_view host, std::uint16_t port);

// Where the upgrade response head ends: the offset of the first CR LF CR LF,
// or nothing when it has not arrived yet.
std::optional<std::size_t> find_head_end(wire::ByteView bytes);

// Decrypted bytes into the span, how many (0: the peer closed), or the error.
using WsReadSome = std::function<wire::Result<std::size_t, IoError>(std::span<std::uint8_t>)>;
// Sends a pong with the payload of a ping.
using WsSendPong = std::function<ProtoStatus(wire::ByteView)>;

struct UpgradeHead {
  std::string text;  // without the final empty line
  wire::Bytes rest;  // what followed it
};

// The upgrade response head read through `read`: ClosedByPeer
// "wsrfc upgrade" when the peer closes first, Io kWsHeadTooLarge past
// kWsHeadLimit bytes without its end.
ProtoResult<UpgradeHead> read_upgrade_head(const WsReadSome& read);

// The receive path of the transport: the next complete data message from
// what `buffer` holds and what `read` brings, each ping answered through
// `pong`; a close frame is ClosedByPeer "wsrfc recv".
ProtoResult<Received> receive_ws_message(wire::WsPartialMessage& partial,
                                         wire::WsReceiveBuffer& buffer, const WsReadSome& read,
                                         const WsSendPong& pong);

class WsTransport final : public Transport {
 public:
  // A transport over an upgraded connection; `leftover` holds what followed
  // the upgrade response head.
  WsTransport(TlsConnection tls, Socket socket, wire::ByteView leftover);
  ~WsTransport() override = default;
  WsTransport(const WsTransport&) = delete;
  WsTransport& operator=(const WsTransport&) = delete;

  // ---- Transport

  // One binary frame with FIN, masked with the next key of the masking
  // state, written whole and flushed.
  ProtoStatus send_counted(wire::ByteView data, std::uint64_t& counter) override;
  ProtoStatus send(wire::ByteView data) override;
  // The next complete data message (text and binary alike); pings are
  // answered on the way, pongs and other kinds skipped, a close frame is
  // ClosedByPeer "wsrfc recv". `label` is not used: every failure of a
  // WebSocket receive carries "wsrfc recv".
  ProtoResult<Received> receive(std::string_view label) override;
  wire::Status<IoError> set_timeout(std::optional<Duration> timeout) override;
  void set_waits(std::shared_ptr<const Waits> waits) override;
  const Waits* waits() const override { return socket_.waits().get(); }
  // Always empty.
  std::string conversation_id() const override;
  // Sends nothing (no close frame, no TLS close alert); the socket closes
  // when the transport is dropped.
  ProtoStatus close() override;
  // None: WebSocket RFC has no cancel record.
  ProtoResult<std::optional<CancelHandle>> cancel_handle() override;

  const Socket& socket() const { return socket_; }
  // The negotiated TLS protocol version ("TLSv1.3", "TLSv1.2").
  std::string tls_version() const { return tls_.protocol_version(); }

 private:
  ProtoStatus write_frame(wire::WsFrameKind kind, wire::ByteView payload,
                          const wire::WsMaskKey& key);

  TlsConnection tls_;
  Socket socket_;
  wire::WsPartialMessage partial_;
  wire::WsReceiveBuffer buffer_;
  wire::WsMaskState mask_;
};

// Opens a WebSocket RFC transport: TLS configuration from the certificate
// and PKCS #8 key, the server name from `host`, TCP to the first resolved
// address within `connect_timeout` (which also becomes the fixed limit of
// every later wait for the socket), the upgrade request with a fresh random
// key, and the check of the server's answer. With `waits`, its deadline
// bounds the whole open instead and its wake-up ends it. Failures are Io (a
// refused upgrade, the head limit, TLS errors with the library's text, a
// time-out, an interruption) or ClosedByPeer "wsrfc upgrade"; whatever was
// set up is dropped, closing the socket.
ProtoResult<std::unique_ptr<WsTransport>> connect_wsrfc(
    std::string_view host, std::uint16_t port, std::string_view path, std::string_view client,
    std::string_view language, wire::ByteView cert_der, wire::ByteView key_pkcs8_der,
    Duration connect_timeout, std::shared_ptr<const Waits> waits = nullptr);

}  // namespace quib::proto

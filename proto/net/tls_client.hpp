// TLS for WebSocket RFC: the client configuration (TLS 1.3, then 1.2, a
// client certificate with its PKCS #8 key, the AcceptAnyCert verifier), the
// server name made from the host text, and a client connection that OpenSSL
// drives through memory BIOs while every byte travels through the project's
// own socket layer (MSG_NOSIGNAL, EINTR retries, waits that poll the socket
// with the time left and the operation's wake-up descriptor, time-outs and
// interruptions as IoError). OpenSSL itself never touches the descriptor,
// so it never blocks in it.
#pragma once

#include <openssl/types.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "proto/net/socket.hpp"
#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::proto {

// The server-certificate verifier of WebSocket RFC: every server
// certificate is accepted, whatever its chain, name or validity, and no
// root store is loaded. The client certificate is the credential of the
// connection; the server is not authenticated. (OpenSSL itself still checks
// that the server's handshake signature matches the key of the certificate
// it sent, which proves nothing about who the server is.)
struct AcceptAnyCert {
  static constexpr std::string_view kDebugName = "AcceptAnyCert";
  // Makes it the verifier of `ctx`.
  static void install(SSL_CTX* ctx);
  std::string debug() const { return std::string(kDebugName); }
};

// The OpenSSL error queue of this thread as one text (entries joined by
// "; "), emptied; `fallback` when the queue holds nothing.
std::string take_openssl_errors(std::string_view fallback = "unknown TLS library error");

// How the host text names the server: a DNS name (sent as SNI) or an IP
// address literal (no SNI: names only).
struct ServerName {
  enum Kind : std::uint8_t { Dns, Ip };
  Kind kind = Dns;
  std::string text;  // without brackets and without a final dot
  friend bool operator==(const ServerName&, const ServerName&) = default;
};

// An IPv4 or IPv6 literal (IPv6 also in brackets) is an Ip name; otherwise
// the text must be a DNS name: at most 253 characters (a final dot aside),
// labels of 1 to 63 letters, digits, '-' or '_' that neither begin nor end
// with '-'. Anything else is InvalidInput.
wire::Result<ServerName, IoError> server_name_from_host(std::string_view host);

// The client side's TLS configuration. Move-only; the connections made from
// it keep it alive as long as they need it.
class TlsClientConfig {
 public:
  // TLS 1.3 and 1.2 only, AEAD suites (AES-GCM, ChaCha20-Poly1305) with
  // X25519, P-256 or P-384, AcceptAnyCert, and the one-certificate chain of
  // `cert_der` with the private key `key_pkcs8_der` (RSA, ECDSA or Ed25519,
  // PKCS #8 PrivateKeyInfo, unencrypted). A certificate or key the library
  // cannot use, or a key that does not belong to the certificate, is an
  // error carrying the library's text.
  static wire::Result<TlsClientConfig, IoError> create(wire::ByteView cert_der,
                                                       wire::ByteView key_pkcs8_der);

  SSL_CTX* native() const { return ctx_.get(); }

 private:
  struct Free {
    void operator()(SSL_CTX* ctx) const;
  };
  std::unique_ptr<SSL_CTX, Free> ctx_;
};

// One TLS client connection. It owns no socket: every operation is given
// the socket it runs over, so that the transport owns the one descriptor.
// The handshake runs as part of the first write (or read).
class TlsConnection {
 public:
  // Bytes asked of the socket per read: one TLS record and its overhead.
  static constexpr std::size_t kSocketReadSize = 18 * 1024;
  // Bytes handed to the TLS library per write: the encrypted output waiting
  // for the socket never exceeds about this much.
  static constexpr std::size_t kWriteChunk = 64 * 1024;

  static wire::Result<TlsConnection, IoError> create(const TlsClientConfig& config,
                                                     const ServerName& name);

  // Encrypts and writes every byte of `data` (and whatever the handshake
  // needs first), flushed to the socket before it returns.
  wire::Status<IoError> write_all(const Socket& socket, wire::ByteView data);
  // Decrypted bytes, at least one; 0 when the peer closed (a close alert or
  // the end of the TCP stream). A wait that runs out is TimedOut, one that
  // is interrupted Interrupted (the socket's waits).
  wire::Result<std::size_t, IoError> read_some(const Socket& socket, std::span<std::uint8_t> out);

  bool handshake_done() const;
  // The negotiated protocol ("TLSv1.3", "TLSv1.2"); empty before the
  // handshake.
  std::string protocol_version() const;

 private:
  struct Free {
    void operator()(SSL* ssl) const;
  };
  explicit TlsConnection(SSL* ssl, BIO* network_in, BIO* network_out);

  // Writes what the library has produced for the network.
  wire::Status<IoError> flush(const Socket& socket);
  // Reads once from the socket into the library; false at end of stream.
  wire::Result<bool, IoError> fill(const Socket& socket);
  // What a failed SSL_read / SSL_write call means, after the output it left
  // has been flushed: nothing (go on), or the error.
  enum class Step : std::uint8_t { Retry, NeedInput, Closed, Failed };
  Step classify(int rc, std::string& error_text) const;

  std::unique_ptr<SSL, Free> ssl_;
  BIO* network_in_ = nullptr;   // owned by ssl_: bytes from the server
  BIO* network_out_ = nullptr;  // owned by ssl_: bytes for the server
};

}  // namespace quib::proto

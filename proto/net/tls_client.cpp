#include "proto/net/tls_client.hpp"

#include <arpa/inet.h>
#include <fmt/format.h>
#include <netinet/in.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <algorithm>
#include <array>
#include <climits>

namespace quib::proto {

namespace {

// The AEAD suites of TLS 1.2 (forward-secret key exchange only) and of TLS
// 1.3, and the key-exchange groups offered.
constexpr const char* kTls12Ciphers =
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";
constexpr const char* kTls13Suites =
    "TLS_AES_256_GCM_SHA384:TLS_AES_128_GCM_SHA256:TLS_CHACHA20_POLY1305_SHA256";
constexpr const char* kGroups = "X25519:P-256:P-384";

constexpr std::size_t kMaxDnsName = 253;
constexpr std::size_t kMaxDnsLabel = 63;

IoError tls_error(std::string_view what, std::string_view fallback = "unknown TLS library error") {
  return IoError::custom(IoError::Other,
                         fmt::format("{}: {}", what, take_openssl_errors(fallback)));
}

// Whole-chain verification replaced by "accepted".
int accept_any_chain(X509_STORE_CTX*, void*) { return 1; }

bool is_label_char(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '_';
}

bool is_dns_name(std::string_view name) {
  if (name.empty() || name.size() > kMaxDnsName) return false;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find('.', start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view label = name.substr(start, end - start);
    if (label.empty() || label.size() > kMaxDnsLabel) return false;
    if (label.front() == '-' || label.back() == '-') return false;
    if (!std::all_of(label.begin(), label.end(), is_label_char)) return false;
    start = end + 1;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------- AcceptAnyCert

void AcceptAnyCert::install(SSL_CTX* ctx) {
  // The server must present a certificate (its key signs the handshake),
  // but the certificate itself is never judged.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
  SSL_CTX_set_cert_verify_callback(ctx, accept_any_chain, nullptr);
}

std::string take_openssl_errors(std::string_view fallback) {
  std::string out;
  char buffer[256];
  while (const unsigned long e = ERR_get_error()) {
    ERR_error_string_n(e, buffer, sizeof buffer);
    if (!out.empty()) out += "; ";
    out += buffer;
  }
  return out.empty() ? std::string(fallback) : out;
}

// ---------------------------------------------------------------- server name

wire::Result<ServerName, IoError> server_name_from_host(std::string_view host) {
  const bool bracketed = host.size() >= 2 && host.front() == '[' && host.back() == ']';
  const std::string bare(bracketed ? host.substr(1, host.size() - 2) : host);
  in6_addr v6{};
  if (::inet_pton(AF_INET6, bare.c_str(), &v6) == 1) return ServerName{ServerName::Ip, bare};
  in_addr v4{};
  if (!bracketed && ::inet_pton(AF_INET, bare.c_str(), &v4) == 1) {
    return ServerName{ServerName::Ip, bare};
  }
  std::string_view dns = bare;
  if (!bracketed && !dns.empty() && dns.back() == '.') dns.remove_suffix(1);
  if (!bracketed && is_dns_name(dns)) return ServerName{ServerName::Dns, std::string(dns)};
  return wire::err(IoError::custom(
      IoError::InvalidInput,
      fmt::format("invalid TLS server name \"{}\": neither a DNS name nor an IP address", host)));
}

// ---------------------------------------------------------------- TlsClientConfig

void TlsClientConfig::Free::operator()(SSL_CTX* ctx) const { SSL_CTX_free(ctx); }

wire::Result<TlsClientConfig, IoError> TlsClientConfig::create(wire::ByteView cert_der,
                                                               wire::ByteView key_pkcs8_der) {
  ERR_clear_error();
  TlsClientConfig config;
  config.ctx_.reset(SSL_CTX_new(TLS_client_method()));
  SSL_CTX* ctx = config.ctx_.get();
  if (ctx == nullptr) return wire::err(tls_error("TLS set-up failed"));
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1 ||
      SSL_CTX_set_cipher_list(ctx, kTls12Ciphers) != 1 ||
      SSL_CTX_set_ciphersuites(ctx, kTls13Suites) != 1 ||
      SSL_CTX_set1_groups_list(ctx, kGroups) != 1) {
    return wire::err(tls_error("TLS set-up failed"));
  }
  SSL_CTX_set_options(ctx, SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
  SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
  AcceptAnyCert::install(ctx);

  if (cert_der.size() > LONG_MAX || key_pkcs8_der.size() > LONG_MAX) {
    return wire::err(IoError::custom(IoError::InvalidInput, "wsRFC client credential too large"));
  }

  // The certificate: exactly one DER X.509 structure.
  const unsigned char* p = cert_der.data();
  X509* cert = d2i_X509(nullptr, &p, static_cast<long>(cert_der.size()));
  if (cert == nullptr) {
    return wire::err(tls_error("wsRFC client certificate is not a DER X.509 certificate"));
  }
  const bool whole = p == cert_der.data() + cert_der.size();
  const int used = whole ? SSL_CTX_use_certificate(ctx, cert) : 0;
  X509_free(cert);
  if (!whole) {
    return wire::err(tls_error("wsRFC client certificate is not a DER X.509 certificate",
                               "bytes follow the certificate"));
  }
  if (used != 1) return wire::err(tls_error("wsRFC client certificate cannot be used"));

  // The key: an unencrypted PKCS #8 PrivateKeyInfo. Freeing the decoded
  // structures clears the key material they held.
  const unsigned char* q = key_pkcs8_der.data();
  PKCS8_PRIV_KEY_INFO* info =
      d2i_PKCS8_PRIV_KEY_INFO(nullptr, &q, static_cast<long>(key_pkcs8_der.size()));
  const bool key_whole = info != nullptr && q == key_pkcs8_der.data() + key_pkcs8_der.size();
  EVP_PKEY* key = key_whole ? EVP_PKCS82PKEY(info) : nullptr;
  PKCS8_PRIV_KEY_INFO_free(info);
  if (key == nullptr) {
    return wire::err(tls_error("wsRFC client key is not an unencrypted PKCS #8 DER private key",
                               "bytes follow the key"));
  }
  const int key_used = SSL_CTX_use_PrivateKey(ctx, key);
  EVP_PKEY_free(key);
  // Taking the key checks it against the certificate's public key already.
  if (key_used != 1 || SSL_CTX_check_private_key(ctx) != 1) {
    return wire::err(tls_error("wsRFC client key does not belong to the client certificate"));
  }
  return config;
}

// ---------------------------------------------------------------- TlsConnection

void TlsConnection::Free::operator()(SSL* ssl) const { SSL_free(ssl); }

TlsConnection::TlsConnection(SSL* ssl, BIO* network_in, BIO* network_out)
    : ssl_(ssl), network_in_(network_in), network_out_(network_out) {}

wire::Result<TlsConnection, IoError> TlsConnection::create(const TlsClientConfig& config,
                                                           const ServerName& name) {
  ERR_clear_error();
  SSL* ssl = SSL_new(config.native());
  if (ssl == nullptr) return wire::err(tls_error("TLS connection set-up failed"));
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    SSL_free(ssl);
    return wire::err(tls_error("TLS connection set-up failed"));
  }
  // An empty input BIO means "wait for the network", never end of stream:
  // the end of the stream is the socket's to report.
  BIO_set_mem_eof_return(in, -1);
  BIO_set_mem_eof_return(out, -1);
  SSL_set_bio(ssl, in, out);  // the connection owns both from here on
  TlsConnection connection(ssl, in, out);
  SSL_set_connect_state(ssl);
  if (name.kind == ServerName::Dns && SSL_set_tlsext_host_name(ssl, name.text.c_str()) != 1) {
    return wire::err(tls_error("TLS server name refused"));
  }
  return connection;
}

bool TlsConnection::handshake_done() const { return SSL_is_init_finished(ssl_.get()) == 1; }

std::string TlsConnection::protocol_version() const {
  return handshake_done() ? std::string(SSL_get_version(ssl_.get())) : std::string();
}

wire::Status<IoError> TlsConnection::flush(const Socket& socket) {
  char* data = nullptr;
  const long pending = BIO_get_mem_data(network_out_, &data);
  if (pending <= 0) return wire::ok_unit;
  auto sent = socket.send_all(wire::ByteView(reinterpret_cast<const std::uint8_t*>(data),
                                             static_cast<std::size_t>(pending)));
  (void)BIO_reset(network_out_);
  return sent;
}

wire::Result<bool, IoError> TlsConnection::fill(const Socket& socket) {
  std::array<std::uint8_t, kSocketReadSize> buffer;
  QUIB_TRY(const std::size_t n, socket.receive_some(buffer));
  if (n == 0) return false;
  if (BIO_write(network_in_, buffer.data(), static_cast<int>(n)) != static_cast<int>(n)) {
    return wire::err(tls_error("TLS input refused"));
  }
  return true;
}

TlsConnection::Step TlsConnection::classify(int rc, std::string& error_text) const {
  switch (SSL_get_error(ssl_.get(), rc)) {
    case SSL_ERROR_WANT_READ:
      return Step::NeedInput;
    case SSL_ERROR_WANT_WRITE:
      return Step::Retry;  // the output has been flushed by then
    case SSL_ERROR_ZERO_RETURN:
      return Step::Closed;
    default:
      error_text = take_openssl_errors();
      return Step::Failed;
  }
}

wire::Status<IoError> TlsConnection::write_all(const Socket& socket, wire::ByteView data) {
  ERR_clear_error();
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t chunk = std::min(kWriteChunk, data.size() - done);
    const int rc = SSL_write(ssl_.get(), data.data() + done, static_cast<int>(chunk));
    std::string text;
    const Step step = rc > 0 ? Step::Retry : classify(rc, text);
    if (step == Step::Failed) {
      (void)flush(socket);  // the alert that says why, when the library made one
      return wire::err(IoError::custom(IoError::Other, fmt::format("TLS error: {}", text)));
    }
    QUIB_CHECK(flush(socket));
    if (rc > 0) {
      done += static_cast<std::size_t>(rc);
      continue;
    }
    if (step == Step::Closed) {
      return wire::err(
          IoError::custom(IoError::BrokenPipe, "the server closed the TLS connection"));
    }
    if (step == Step::NeedInput) {
      QUIB_TRY(const bool more, fill(socket));
      if (!more) {
        return wire::err(IoError::custom(
            IoError::UnexpectedEof, "the server closed the connection during the TLS handshake"));
      }
    }
  }
  return wire::ok_unit;
}

wire::Result<std::size_t, IoError> TlsConnection::read_some(const Socket& socket,
                                                            std::span<std::uint8_t> out) {
  ERR_clear_error();
  const int want = static_cast<int>(std::min<std::size_t>(out.size(), INT_MAX));
  for (;;) {
    const int rc = SSL_read(ssl_.get(), out.data(), want);
    std::string text;
    const Step step = rc > 0 ? Step::Retry : classify(rc, text);
    if (step == Step::Failed) {
      (void)flush(socket);
      return wire::err(IoError::custom(IoError::Other, fmt::format("TLS error: {}", text)));
    }
    // Reading may produce output too (handshake messages, key updates).
    QUIB_CHECK(flush(socket));
    if (rc > 0) return static_cast<std::size_t>(rc);
    if (step == Step::Closed) return std::size_t{0};
    if (step == Step::NeedInput) {
      QUIB_TRY(const bool more, fill(socket));
      if (!more) return std::size_t{0};
    }
  }
}

}  // namespace quib::proto

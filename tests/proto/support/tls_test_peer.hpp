// Test helpers for TLS and WebSocket: throwaway certificates made with the
// OpenSSL API, and a loopback TLS server that accepts one connection and
// runs a script against it on its own thread. The server side parses and
// builds WebSocket frames by hand, independently of wire/ws.hpp, and computes
// the accept value with OpenSSL's SHA-1 and Base64.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/sha.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace quib::test {

using Bytes = std::vector<std::uint8_t>;

enum class KeyType { Ec, Rsa, Ed25519 };

// A certificate and its key, both DER (the key as PKCS #8, and also in the
// key type's traditional form where it has one).
struct TestCert {
  Bytes cert_der;
  Bytes key_pkcs8_der;
  Bytes key_traditional_der;
};

namespace detail {

template <class T, void (*F)(T*)>
struct Deleter {
  void operator()(T* p) const { F(p); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using X509Ptr = std::unique_ptr<X509, Deleter<X509, X509_free>>;

inline void require(bool ok, const char* what) {
  if (!ok) {
    char text[256] = {};
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    throw std::runtime_error(std::string(what) + ": " + text);
  }
}

inline PkeyPtr make_key(KeyType type) {
  EVP_PKEY* key = nullptr;
  switch (type) {
    case KeyType::Ec:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "EC", "P-256");
      break;
    case KeyType::Rsa:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "RSA", static_cast<size_t>(2048));
      break;
    case KeyType::Ed25519:
      key = EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519");
      break;
  }
  require(key != nullptr, "key generation");
  return PkeyPtr(key);
}

template <class F>
Bytes der_of(F&& encode) {
  unsigned char* out = nullptr;
  const int n = encode(&out);
  require(n > 0, "DER encoding");
  Bytes bytes(out, out + n);
  OPENSSL_free(out);
  return bytes;
}

}  // namespace detail

// A self-signed certificate for `cn` with a fresh key; `expired` puts its
// validity entirely in the past.
inline TestCert make_cert(const std::string& cn, KeyType type = KeyType::Ec, bool expired = false) {
  detail::PkeyPtr key = detail::make_key(type);
  detail::X509Ptr cert(X509_new());
  detail::require(cert != nullptr, "X509_new");
  X509_set_version(cert.get(), 2);
  ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), 4242);
  const long day = 24L * 3600;
  X509_gmtime_adj(X509_getm_notBefore(cert.get()), expired ? -30 * day : -day);
  X509_gmtime_adj(X509_getm_notAfter(cert.get()), expired ? -20 * day : 2 * day);
  X509_set_pubkey(cert.get(), key.get());
  X509_NAME* name = X509_get_subject_name(cert.get());
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                             reinterpret_cast<const unsigned char*>(cn.c_str()), -1, -1, 0);
  X509_set_issuer_name(cert.get(), name);
  const EVP_MD* md = type == KeyType::Ed25519 ? nullptr : EVP_sha256();
  detail::require(X509_sign(cert.get(), key.get(), md) > 0, "X509_sign");

  TestCert out;
  out.cert_der = detail::der_of([&](unsigned char** p) { return i2d_X509(cert.get(), p); });
  PKCS8_PRIV_KEY_INFO* p8 = EVP_PKEY2PKCS8(key.get());
  detail::require(p8 != nullptr, "EVP_PKEY2PKCS8");
  out.key_pkcs8_der =
      detail::der_of([&](unsigned char** p) { return i2d_PKCS8_PRIV_KEY_INFO(p8, p); });
  PKCS8_PRIV_KEY_INFO_free(p8);
  if (type == KeyType::Ec) {
    // The SEC 1 ECPrivateKey structure: a DER key that is not PKCS #8.
    out.key_traditional_der =
        detail::der_of([&](unsigned char** p) { return i2d_PrivateKey(key.get(), p); });
  }
  return out;
}

// --- the WebSocket side of the server, written by hand.

struct ClientFrame {
  std::uint8_t first = 0;   // FIN, reserved bits, opcode
  std::uint8_t second = 0;  // MASK and the 7-bit length
  bool fin = false;
  std::uint8_t opcode = 0;
  bool masked = false;
  std::array<std::uint8_t, 4> key{};
  std::uint64_t length = 0;
  Bytes payload;  // unmasked
  Bytes raw;      // the frame as it arrived
};

// An unmasked server frame with the shortest length form.
inline Bytes server_frame(std::uint8_t opcode, std::string_view payload, bool fin = true) {
  Bytes f{static_cast<std::uint8_t>((fin ? 0x80 : 0x00) | opcode)};
  const std::uint64_t n = payload.size();
  if (n <= 125) {
    f.push_back(static_cast<std::uint8_t>(n));
  } else if (n <= 0xFFFF) {
    f.push_back(126);
    f.push_back(static_cast<std::uint8_t>(n >> 8));
    f.push_back(static_cast<std::uint8_t>(n));
  } else {
    f.push_back(127);
    for (int shift = 56; shift >= 0; shift -= 8) f.push_back(static_cast<std::uint8_t>(n >> shift));
  }
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

// A frame head declaring `length` payload bytes (64-bit form), no payload.
inline Bytes server_frame_head(std::uint8_t first, std::uint64_t length) {
  Bytes f{first, 127};
  for (int shift = 56; shift >= 0; shift -= 8)
    f.push_back(static_cast<std::uint8_t>(length >> shift));
  return f;
}

inline std::string websocket_accept_oracle(std::string_view key) {
  const std::string input = std::string(key) + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
  unsigned char digest[SHA_DIGEST_LENGTH];
  SHA1(reinterpret_cast<const unsigned char*>(input.data()), input.size(), digest);
  unsigned char b64[64] = {};
  const int n = EVP_EncodeBlock(b64, digest, SHA_DIGEST_LENGTH);
  return std::string(reinterpret_cast<const char*>(b64), static_cast<std::size_t>(n));
}

// Decoded Base64 (standard alphabet, padded), or nothing.
inline std::optional<Bytes> base64_decode_oracle(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  Bytes out(text.size() / 4 * 3 + 1);
  const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                static_cast<int>(text.size()));
  if (n < 0) return std::nullopt;
  std::size_t len = static_cast<std::size_t>(n);
  if (text.ends_with("=="))
    len -= 2;
  else if (text.ends_with("="))
    len -= 1;
  out.resize(len);
  return out;
}

inline std::string upgrade_response(std::string_view key) {
  return "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
         "Sec-WebSocket-Accept: " +
         websocket_accept_oracle(key) + "\r\n\r\n";
}

// --- the server

struct ServerOptions {
  int min_version = TLS1_2_VERSION;
  int max_version = TLS1_3_VERSION;
  // Allows protocol versions that the default security level forbids.
  bool legacy = false;
  // Require a client certificate; `refuse_client_cert` rejects every one.
  bool require_client_cert = true;
  bool refuse_client_cert = false;
  std::optional<TestCert> server_cert;  // default: a fresh self-signed EC certificate
};

// How the client's side of the stream ended.
enum class StreamEnd { CloseNotify, Eof, Data, Error };

// The server side of one accepted connection, used by the script.
class TlsPeer {
 public:
  TlsPeer(SSL* ssl) : ssl_(ssl) {}

  // Bytes up to CR LF CR LF (not included); whatever follows stays buffered.
  std::string read_head() {
    for (;;) {
      const std::string_view text(reinterpret_cast<const char*>(buffer_.data()), buffer_.size());
      const std::size_t end = text.find("\r\n\r\n");
      if (end != std::string_view::npos) {
        std::string head(text.substr(0, end));
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(end + 4));
        return head;
      }
      if (!fill()) throw std::runtime_error("the client closed before the end of its request");
    }
  }

  // The key of a head's "sec-websocket-key" line.
  static std::string key_of(const std::string& head) {
    const std::string marker = "sec-websocket-key: ";
    const std::size_t at = head.find(marker);
    if (at == std::string::npos) return {};
    const std::size_t end = head.find("\r\n", at);
    return head.substr(at + marker.size(),
                       end == std::string::npos ? std::string::npos : end - at - marker.size());
  }

  // Reads the upgrade request and answers it with a correct 101 response,
  // followed at once by `extra` in the same write. Returns the head.
  std::string accept_upgrade(const Bytes& extra = {}) {
    std::string head = read_head();
    const std::string response = upgrade_response(key_of(head));
    Bytes out(response.begin(), response.end());
    out.insert(out.end(), extra.begin(), extra.end());
    write(out);
    return head;
  }

  void write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const int n = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
      if (n <= 0) throw std::runtime_error("server write failed");
      done += static_cast<std::size_t>(n);
    }
  }
  void write(std::string_view text) { write(Bytes(text.begin(), text.end())); }

  // The next client frame, or nothing when the stream ended.
  std::optional<ClientFrame> read_frame() {
    for (;;) {
      if (auto f = parse()) return f;
      if (!fill()) return std::nullopt;
    }
  }

  // Reads until the client's stream ends and says how it ended.
  StreamEnd wait_end() {
    if (!buffer_.empty()) return StreamEnd::Data;
    std::uint8_t b[512];
    const int n = SSL_read(ssl_, b, sizeof b);
    if (n > 0) return StreamEnd::Data;
    const int e = SSL_get_error(ssl_, n);
    if (e == SSL_ERROR_ZERO_RETURN) return StreamEnd::CloseNotify;
    if (e == SSL_ERROR_SYSCALL) return StreamEnd::Eof;
    if (e == SSL_ERROR_SSL) {
      const unsigned long code = ERR_peek_last_error();
      ERR_clear_error();
      if (ERR_GET_REASON(code) == SSL_R_UNEXPECTED_EOF_WHILE_READING) return StreamEnd::Eof;
    }
    return StreamEnd::Error;
  }

  // A TLS close alert, then the end of the server's side.
  void close_notify() { SSL_shutdown(ssl_); }

  SSL* ssl() const { return ssl_; }

 private:
  bool fill() {
    std::uint8_t b[16384];
    const int n = SSL_read(ssl_, b, sizeof b);
    if (n <= 0) return false;
    buffer_.insert(buffer_.end(), b, b + n);
    return true;
  }

  std::optional<ClientFrame> parse() {
    if (buffer_.size() < 2) return std::nullopt;
    ClientFrame f;
    f.first = buffer_[0];
    f.second = buffer_[1];
    f.fin = (f.first & 0x80) != 0;
    f.opcode = f.first & 0x0F;
    f.masked = (f.second & 0x80) != 0;
    std::size_t pos = 2;
    f.length = f.second & 0x7F;
    if (f.length == 126) {
      if (buffer_.size() < 4) return std::nullopt;
      f.length = (std::uint64_t{buffer_[2]} << 8) | buffer_[3];
      pos = 4;
    } else if (f.length == 127) {
      if (buffer_.size() < 10) return std::nullopt;
      f.length = 0;
      for (int i = 0; i < 8; ++i) f.length = (f.length << 8) | buffer_[2 + i];
      pos = 10;
    }
    if (f.masked) {
      if (buffer_.size() < pos + 4) return std::nullopt;
      std::memcpy(f.key.data(), buffer_.data() + pos, 4);
      pos += 4;
    }
    if (buffer_.size() < pos + f.length) return std::nullopt;
    const std::size_t total = pos + static_cast<std::size_t>(f.length);
    f.payload.assign(buffer_.begin() + static_cast<std::ptrdiff_t>(pos),
                     buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    if (f.masked)
      for (std::size_t i = 0; i < f.payload.size(); ++i) f.payload[i] ^= f.key[i % 4];
    f.raw.assign(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(total));
    return f;
  }

  SSL* ssl_;
  Bytes buffer_;
};

// What the server saw of the TLS session.
struct ServerView {
  bool handshake_ok = false;
  std::string handshake_error;
  std::string version;      // "TLSv1.3", ...
  std::string server_name;  // SNI, empty when none was sent
  Bytes client_cert_der;
  std::string script_error;  // an exception the script threw
};

// A loopback TLS server for one connection. The script runs on the
// server's thread once the TLS handshake succeeded; the destructor waits for
// it. A client that never connects ends the wait after 30 seconds.
class TlsTestServer {
 public:
  using Script = std::function<void(TlsPeer&)>;

  explicit TlsTestServer(Script script, ServerOptions options = {})
      : options_(std::move(options)), script_(std::move(script)) {
    ::signal(SIGPIPE, SIG_IGN);  // a client that went away is an error value here too
    if (!options_.server_cert) options_.server_cert = make_cert("test server");
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, 4) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      throw std::runtime_error("cannot listen on the loopback address");
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~TlsTestServer() {
    if (thread_.joinable()) thread_.join();
    if (listener_ >= 0) ::close(listener_);
  }
  TlsTestServer(const TlsTestServer&) = delete;
  TlsTestServer& operator=(const TlsTestServer&) = delete;

  std::uint16_t port() const { return port_; }
  // Waits for the script and returns what the server saw.
  const ServerView& finish() {
    if (thread_.joinable()) thread_.join();
    return view_;
  }

 private:
  static int accept_any(int, X509_STORE_CTX*) { return 1; }
  static int refuse_all(int, X509_STORE_CTX*) { return 0; }

  SSL_CTX* context() {
    SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
    if (options_.legacy) {
      SSL_CTX_set_security_level(ctx, 0);
      SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
    }
    SSL_CTX_set_min_proto_version(ctx, options_.min_version);
    SSL_CTX_set_max_proto_version(ctx, options_.max_version);
    const Bytes& c = options_.server_cert->cert_der;
    const Bytes& k = options_.server_cert->key_pkcs8_der;
    SSL_CTX_use_certificate_ASN1(ctx, static_cast<int>(c.size()), c.data());
    const unsigned char* p = k.data();
    EVP_PKEY* key = d2i_AutoPrivateKey(nullptr, &p, static_cast<long>(k.size()));
    SSL_CTX_use_PrivateKey(ctx, key);
    EVP_PKEY_free(key);
    if (options_.require_client_cert) {
      SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER | SSL_VERIFY_FAIL_IF_NO_PEER_CERT,
                         options_.refuse_client_cert ? refuse_all : accept_any);
    }
    return ctx;
  }

  void serve() {
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 30000) != 1) return;
    const int fd = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
    if (fd < 0) return;
    timeval tv{30, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    SSL_CTX* ctx = context();
    SSL* ssl = SSL_new(ctx);
    SSL_set_fd(ssl, fd);
    if (SSL_accept(ssl) == 1) {
      view_.handshake_ok = true;
      view_.version = SSL_get_version(ssl);
      if (const char* sni = SSL_get_servername(ssl, TLSEXT_NAMETYPE_host_name))
        view_.server_name = sni;
      if (X509* peer = SSL_get1_peer_certificate(ssl)) {
        view_.client_cert_der =
            detail::der_of([&](unsigned char** q) { return i2d_X509(peer, q); });
        X509_free(peer);
      }
      TlsPeer peer(ssl);
      try {
        script_(peer);
      } catch (const std::exception& e) {
        view_.script_error = e.what();
      }
    } else {
      char text[256] = {};
      ERR_error_string_n(ERR_get_error(), text, sizeof text);
      view_.handshake_error = text;
    }
    ERR_clear_error();
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    ::close(fd);
  }

  ServerOptions options_;
  Script script_;
  int listener_ = -1;
  std::uint16_t port_ = 0;
  std::thread thread_;
  ServerView view_;
};

}  // namespace quib::test

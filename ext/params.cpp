#include "ext/params.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "ext/py.hpp"
#include "proto/net/socket.hpp"
#include "wire/utf.hpp"

namespace quib::ext {

namespace {

using wire::err;

constexpr std::string_view kSncPrefix = "snc_";
constexpr std::string_view kDefaultQop = "3";
constexpr std::string_view kPemMarker = "-----BEGIN";

bool has(const ParamMap& params, std::string_view key) { return params.find(key) != params.end(); }

// Any of the keys that only WebSocket RFC reads; ws_path does not count.
bool has_wsrfc_keys(const ParamMap& params) {
  return has(params, "wshost") || has(params, "wsport") || has(params, "tls_client_cert") ||
         has(params, "tls_client_key");
}

bool snc_requested(const ParamMap& params) {
  for (const auto& [key, value] : params)
    if (key.size() > 3 && key.starts_with(kSncPrefix)) return true;
  return false;
}

// basXML preference: classic only for "", "0", "NO" and "FALSE" (trimmed,
// any letter case), basXML-when-accepted for every other value.
proto::BasxmlMode basxml_mode(std::string_view value) {
  const std::string v = wire::ascii_upper(wire::trim_unicode(value));
  if (v.empty() || v == "0" || v == "NO" || v == "FALSE") return proto::BasxmlMode::Off;
  return proto::BasxmlMode::On;
}

// The protection level of an SNC quality-of-protection digit.
std::optional<std::uint8_t> qop_level(std::string_view qop) {
  if (qop == "1") return 0;
  if (qop == "2") return 1;
  if (qop == "3" || qop == "8" || qop == "9") return 2;
  return std::nullopt;
}

wire::Result<std::optional<proto::SncOptions>, std::string> parse_snc(const ParamMap& params,
                                                                      const EnvReader& env) {
  if (!snc_requested(params)) return std::optional<proto::SncOptions>();
  if (const std::string* mode = find_param(params, "snc_mode");
      mode && wire::trim_unicode(*mode) == "0")
    return std::optional<proto::SncOptions>();

  proto::SncOptions snc;
  if (const std::string* lib = find_param(params, "snc_lib")) {
    snc.library_path = *lib;
  } else if (auto from_env = env(kSncLibEnv)) {
    snc.library_path = std::move(*from_env);
  } else {
    return err(std::string(
        "SNC was requested but no library was given: set snc_lib (or the SNC_LIB environment "
        "variable) to CommonCryptoLib"));
  }
  const std::string* partner = find_param(params, "snc_partnername");
  if (!partner)
    return err(std::string(
        "SNC was requested but snc_partnername is missing: without it there is no server "
        "identity to authenticate against"));
  snc.partner_name = *partner;
  if (const std::string* own = find_param(params, "snc_myname")) snc.own_name = *own;
  const std::string* qop_value = find_param(params, "snc_qop");
  const std::string_view qop = wire::trim_unicode(qop_value ? *qop_value : kDefaultQop);
  auto level = qop_level(qop);
  if (!level) return err(fmt::format("snc_qop must be 1, 2, 3, 8 or 9, got {}", debug_quote(qop)));
  snc.protection_level = *level;
  return std::optional<proto::SncOptions>(std::move(snc));
}

// The refusal of a number parameter (port, wsport, sysnr, msserv) that
// parse_u16_decimal does not read.
std::string not_a_number(std::string_view key, std::string_view value) {
  return fmt::format("{} must be a number, got {}", key, debug_quote(value));
}

std::string read_error(std::string_view key, std::string_view path, std::string_view why) {
  return fmt::format("{}: cannot read {}: {}", key, path, why);
}

// Closes a descriptor when dropped.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

const std::string* find_param(const ParamMap& params, std::string_view key) {
  auto it = params.find(key);
  return it == params.end() ? nullptr : &it->second;
}

proto::ConnectionParams logon_params(const ParamMap& params) {
  proto::ConnectionParams cp = proto::ConnectionParams::defaults();
  if (const auto* v = find_param(params, "ashost")) cp.ashost = *v;
  if (const auto* v = find_param(params, "sysnr")) cp.sysnr = *v;
  if (const auto* v = find_param(params, "client")) cp.client = *v;
  if (const auto* v = find_param(params, "user")) cp.user = *v;
  if (const auto* v = find_param(params, "passwd")) cp.passwd = *v;
  if (const auto* v = find_param(params, "lang")) cp.lang = *v;
  return cp;
}

WipeParamsOnExit::~WipeParamsOnExit() {
  for (auto& entry : params_) wire::secure_wipe(entry.second);
  params_.clear();
}

std::optional<std::string> process_env(const char* name) {
  const char* v = std::getenv(name);
  if (!v) return std::nullopt;
  std::string s(v);
  if (!wire::is_valid_utf8(s)) return std::nullopt;
  return s;
}

wire::Result<wire::Bytes, std::string> read_tls_credential(std::string_view key,
                                                           std::string_view path) {
  // The path goes to the system as a C string: a NUL inside it would name
  // another file than the one given.
  if (path.find('\0') != std::string_view::npos)
    return err(read_error(key, path, "file name contained an unexpected NUL byte"));
  const std::string p(path);
  // Non-blocking open: a FIFO or a device named by mistake must not hang the
  // open; a regular file reads the same either way.
  Fd file{::open(p.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK)};
  if (file.fd < 0) return err(read_error(key, path, proto::IoError::from_errno(errno).message()));
  struct stat st {};
  if (::fstat(file.fd, &st) != 0)
    return err(read_error(key, path, proto::IoError::from_errno(errno).message()));
  if (!S_ISREG(st.st_mode)) return err(read_error(key, path, "not a regular file"));
  if (st.st_size < 0 || static_cast<std::uint64_t>(st.st_size) > kMaxCredentialFile)
    return err(read_error(key, path, fmt::format("larger than {} bytes", kMaxCredentialFile)));

  // One buffer of the cap and a byte more, so that a file growing after the
  // fstat is caught and no reallocation ever leaves a copy of a key behind.
  wire::Bytes buffer(kMaxCredentialFile + 1);
  std::size_t n = 0;
  while (n < buffer.size()) {
    const ssize_t got = ::read(file.fd, buffer.data() + n, buffer.size() - n);
    if (got < 0) {
      if (errno == EINTR) continue;
      const std::string why = proto::IoError::from_errno(errno).message();
      wire::secure_wipe(buffer.data(), n);
      return err(read_error(key, path, why));
    }
    if (got == 0) break;
    n += static_cast<std::size_t>(got);
  }
  auto refuse = [&](std::string message) {
    wire::secure_wipe(buffer.data(), n);
    return err(std::move(message));
  };
  if (n > kMaxCredentialFile)
    return refuse(read_error(key, path, fmt::format("larger than {} bytes", kMaxCredentialFile)));
  if (n == 0) return refuse(fmt::format("{}: {} is empty", key, path));
  if (n >= kPemMarker.size() &&
      std::memcmp(buffer.data(), kPemMarker.data(), kPemMarker.size()) == 0)
    return refuse(fmt::format(
        "{0}: {1} is PEM; wsRFC needs DER. Convert it with `openssl x509 -in {1} -outform DER "
        "-out cert.der` (a key: `openssl pkcs8 -topk8 -nocrypt -in {1} -outform DER -out "
        "key.der`)",
        key, path));
  wire::Bytes out(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(n));
  wire::secure_wipe(buffer.data(), n);
  return out;
}

wire::Result<ParsedParams, std::string> parse_connection_params(const ParamMap& params,
                                                                const EnvReader& env,
                                                                const CredentialReader& read) {
  // 1. The logon identity over its defaults.
  ParsedParams out{logon_params(params), proto::Route::direct()};
  proto::ConnectionParams& cp = out.params;

  // 2. The gateway port, and the system number it otherwise follows from.
  if (const auto* v = find_param(params, "port")) {
    auto port = proto::parse_u16_decimal(*v);
    if (!port) return err(not_a_number("port", *v));
    cp.port = *port;
  }
  if (const auto* v = find_param(params, "sysnr"); v && !proto::parse_u16_decimal(*v))
    return err(not_a_number("sysnr", *v));

  // 3. basXML preference; absent leaves Auto.
  if (const auto* v = find_param(params, "basxml")) cp.basxml_mode = basxml_mode(*v);

  // 4. SNC.
  QUIB_TRY(cp.snc, parse_snc(params, env));

  // 5. WebSocket RFC excludes the other routes and SNC.
  const bool wsrfc = has_wsrfc_keys(params);
  if (wsrfc) {
    for (std::string_view other : {"mshost", "saprouter"})
      if (has(params, other))
        return err(fmt::format("wsRFC and {} are different routes; give one or the other", other));
    if (cp.snc)
      return err(std::string(
          "SNC does not apply to a wsRFC connection, which is protected by TLS: pass snc_mode=0 "
          "or drop the wshost/tls_client_* parameters"));
  }

  // 6. The WebSocket endpoint, taken whenever given.
  if (const auto* v = find_param(params, "wshost")) cp.wshost = *v;
  if (const auto* v = find_param(params, "wsport")) {
    auto port = proto::parse_u16_decimal(*v);
    if (!port) return err(not_a_number("wsport", *v));
    cp.wsport = *port;
  }
  if (const auto* v = find_param(params, "ws_path")) cp.ws_path = *v;

  // 7. The client certificate and key of WebSocket RFC.
  if (wsrfc) {
    const std::string* cert = find_param(params, "tls_client_cert");
    if (!cert)
      return err(std::string(
          "wsRFC needs tls_client_cert: the client certificate is the only credential this "
          "transport can present"));
    const std::string* key = find_param(params, "tls_client_key");
    if (!key) return err(std::string("wsRFC needs tls_client_key alongside tls_client_cert"));
    QUIB_TRY(wire::Bytes cert_der, read("tls_client_cert", *cert));
    cp.ws_client_cert_der = std::move(cert_der);
    QUIB_TRY(wire::Bytes key_der, read("tls_client_key", *key));
    cp.ws_client_key_pkcs8_der = proto::SecretBytes(std::move(key_der));
  }

  // 8. The route: a message server wins over a router, which wins over
  // WebSocket RFC (which excludes both), which wins over a direct connection.
  if (const auto* mshost = find_param(params, "mshost")) {
    proto::Route::MessageServer ms;
    ms.mshost = *mshost;
    // The message server's port in decimal: service names are not looked
    // up.
    if (const auto* v = find_param(params, "msserv")) {
      auto port = proto::parse_u16_decimal(*v);
      if (!port) return err(not_a_number("msserv", *v));
      ms.msserv = std::to_string(*port);
    }
    if (const auto* v = find_param(params, "group")) ms.group = *v;
    if (const auto* v = find_param(params, "mshost_override")) ms.mshost_override = *v;
    out.route = proto::Route::message_server(std::move(ms));
  } else if (const auto* route = find_param(params, "saprouter")) {
    out.route = proto::Route::saprouter(*route);
  } else if (wsrfc) {
    out.route = proto::Route::wsrfc();
  }
  return out;
}

}  // namespace quib::ext

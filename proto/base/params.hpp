// The logon parameter set of one ABAP system (ConnectionParams), the way the
// system is reached (Route) and the SNC switch of the NI routes
// (SncOptions). Plain data: opening and checking happen elsewhere.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

#include "wire/bytes.hpp"

namespace quib::proto {

// A secret (a password, a private key) that wipes its bytes when it is
// dropped, overwritten or moved from, and never prints itself.
template <class Container>
class Secret {
 public:
  Secret() = default;
  Secret(Container value) : value_(std::move(value)) {}  // NOLINT: implicit on purpose
  Secret(const Secret& other) = default;
  Secret(Secret&& other) noexcept : value_(std::move(other.value_)) { other.clear(); }
  Secret& operator=(const Secret& other) {
    if (this != &other) {
      clear();
      value_ = other.value_;
    }
    return *this;
  }
  Secret& operator=(Secret&& other) noexcept {
    if (this != &other) {
      clear();
      value_ = std::move(other.value_);
      other.clear();
    }
    return *this;
  }
  Secret& operator=(Container value) {
    clear();
    value_ = std::move(value);
    return *this;
  }
  ~Secret() { clear(); }

  const Container& reveal() const { return value_; }
  wire::ByteView bytes() const {
    return wire::ByteView(reinterpret_cast<const std::uint8_t*>(value_.data()), value_.size());
  }
  std::size_t size() const { return value_.size(); }
  bool empty() const { return value_.empty(); }

  // Wipes and empties. The whole capacity is overwritten: a moved-from short
  // string keeps its characters in the object's own storage beyond its size.
  void clear() {
    value_.resize(value_.capacity());
    wire::secure_wipe(value_.data(), value_.size());
    value_.clear();
  }

  friend bool operator==(const Secret& a, const Secret& b) { return a.value_ == b.value_; }

 private:
  Container value_{};
};

using SecretText = Secret<std::string>;
using SecretBytes = Secret<wire::Bytes>;

// basXML preference: 0 classic only, 1 basXML when the function accepts it,
// 2 (the default) chooses as 1 does.
enum class BasxmlMode : std::uint8_t { Off = 0, On = 1, Auto = 2 };

struct SncOptions {
  std::string library_path;
  std::string own_name;  // empty when none was given
  std::string partner_name;
  std::uint8_t protection_level = 2;  // 0 authentication, 1 integrity, 2 privacy

  friend bool operator==(const SncOptions&, const SncOptions&) = default;
};

inline constexpr std::string_view kDefaultAshost = "localhost";
inline constexpr std::string_view kDefaultSysnr = "00";
inline constexpr std::string_view kDefaultClient = "001";
inline constexpr std::string_view kDefaultLang = "EN";
inline constexpr std::string_view kProgramName = "quib_proto";
inline constexpr std::string_view kDefaultWsPath = "/sap/bc/rfc?sap-apc-stateful=true";
inline constexpr std::uint16_t kDefaultWsPort = 443;
inline constexpr std::chrono::seconds kDefaultConnectTimeout{30};
inline constexpr std::chrono::seconds kDefaultIoTimeout{60};
inline constexpr std::string_view kDefaultMsserv = "3600";
inline constexpr std::string_view kDefaultGroup = "PUBLIC";

struct ConnectionParams {
  std::string ashost{kDefaultAshost};
  std::string sysnr{kDefaultSysnr};
  std::string client{kDefaultClient};
  std::string user;
  SecretText passwd;
  std::string lang{kDefaultLang};
  std::string program_name{kProgramName};
  std::string ws_path{kDefaultWsPath};
  std::optional<std::string> wshost;
  std::optional<std::uint16_t> wsport;
  std::optional<wire::Bytes> ws_client_cert_der;
  std::optional<SecretBytes> ws_client_key_pkcs8_der;
  std::optional<SncOptions> snc;
  std::chrono::nanoseconds connect_timeout{kDefaultConnectTimeout};
  std::chrono::nanoseconds io_timeout{kDefaultIoTimeout};
  std::optional<std::uint16_t> port;
  BasxmlMode basxml_mode = BasxmlMode::Auto;

  // The defaults (the same as a value-initialised parameter set).
  static ConnectionParams defaults() { return ConnectionParams{}; }

  // The WebSocket RFC host and port: wshost or ashost; wsport or 443 (the
  // gateway `port` never applies here).
  const std::string& ws_host() const { return wshost ? *wshost : ashost; }
  std::uint16_t ws_port() const { return wsport.value_or(kDefaultWsPort); }
};

// The four ways of reaching an ABAP system.
struct Route {
  struct Direct {
    friend bool operator==(const Direct&, const Direct&) = default;
  };
  struct MessageServer {
    std::string mshost;
    std::string msserv{kDefaultMsserv};
    std::string group{kDefaultGroup};
    std::optional<std::string> mshost_override;
    friend bool operator==(const MessageServer&, const MessageServer&) = default;
  };
  struct Saprouter {
    std::string route;
    friend bool operator==(const Saprouter&, const Saprouter&) = default;
  };
  struct WsRfc {
    friend bool operator==(const WsRfc&, const WsRfc&) = default;
  };

  std::variant<Direct, MessageServer, Saprouter, WsRfc> value;

  static Route direct() { return Route{Direct{}}; }
  static Route message_server(MessageServer ms) { return Route{std::move(ms)}; }
  static Route saprouter(std::string route) { return Route{Saprouter{std::move(route)}}; }
  static Route wsrfc() { return Route{WsRfc{}}; }

  friend bool operator==(const Route&, const Route&) = default;
};

// An unsigned 16-bit decimal: one optional leading "+", then digits only.
// Nothing for anything else (empty, a lone sign, a minus, another
// character, a value above 65535).
std::optional<std::uint16_t> parse_u16_decimal(std::string_view text);

// The system number as the gateway port derives it: parse_u16_decimal,
// with 0 for anything it refuses.
std::uint16_t parse_sysnr(std::string_view sysnr);

// The gateway port: `port` when given, else 3300 + the system number, or
// 4800 + it with SNC, modulo 65536.
std::uint16_t gateway_port(const ConnectionParams& params);

}  // namespace quib::proto

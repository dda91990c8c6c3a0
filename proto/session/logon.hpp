// The logon that ends every session opening: one RFC container carrying the
// logon identity and a ping of RFCPING, and one reply that refuses the logon
// or reports the identity of the ABAP system. The NI variant carries user
// and scrambled password; the WebSocket RFC variant neither (the TLS client
// certificate is the credential). The fixed record values are in
// wire/logon_records.hpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/session/connection.hpp"
#include "wire/bytes.hpp"

namespace quib::proto {

inline constexpr std::uint8_t kLogonStatusUnknown = 0xFF;

// The targets of local-address discovery (documentation addresses; nothing
// is ever sent to them) and the texts used when discovery fails.
inline constexpr std::string_view kIpv4Probe = "203.0.113.1";
inline constexpr std::string_view kIpv6Probe = "2001:db8::1";
inline constexpr std::uint16_t kProbePort = 9;
inline constexpr std::string_view kIpv4Fallback = "127.0.0.1";
inline constexpr std::string_view kIpv6Fallback = "::1";
inline constexpr const char* kHostnameEnv = "HOSTNAME";
inline constexpr const char* kHostnameFile = "/etc/hostname";

// The first character of `lang`, upper-cased by the full Unicode rule (which
// may give up to three characters); "E" when `lang` is empty.
std::string logon_language(std::string_view lang);

// HOSTNAME when it is set and valid UTF-8 (trimmed; an empty value gives the
// empty text without reading the file), else the trimmed contents of
// `hostname_file`, else the empty text.
std::string local_host_name(const char* hostname_file = kHostnameFile);

// The local address a UDP socket bound to `bind_ip` gets when connected to
// `probe_ip`:`probe_port` (nothing is sent), or `fallback`.
std::string local_ip_text(std::string_view bind_ip, std::string_view probe_ip,
                          std::uint16_t probe_port, std::string_view fallback);
std::string local_ipv4_text();  // "0.0.0.0" towards 203.0.113.1:9, else "127.0.0.1"
std::string local_ipv6_text();  // "::" towards [2001:db8::1]:9, else "::1"

// What the NI logon says about the client's own machine.
struct LocalIdentity {
  std::string host_name;
  std::string ipv4;
  std::string ipv6;
};
LocalIdentity discover_local_identity();

// The NI logon message: EBCDIC header, the twenty records, End and the
// message trailer. It holds the scrambled password, so it is a secret: the
// buffer is wiped when dropped. A password that cannot be scrambled is
// LogonRefused 0xff with the password error's text, before anything else is
// done. Without `local` the local identity is discovered after scrambling.
ProtoResult<SecretBytes> build_ni_logon(const ConnectionParams& params, const SessionId& session_id,
                                        std::optional<LocalIdentity> local = std::nullopt);

// The WebSocket RFC logon message: ten records and End, no header, no
// trailer, a session nonce of zeros.
wire::Bytes build_wsrfc_logon(const ConnectionParams& params);

// Judges a logon reply: a gateway "*ERR*" block is Gateway with its text;
// otherwise it stores the six system attributes it carries (a later
// record replaces an earlier one), then refuses when it holds an ABAP
// exception key or error message (LogonRefused, status from LogonStatus or
// 0xff). An unreadable reply is ContainerDump (with a hex dump around the
// offending record) or Container.
ProtoStatus judge_logon_reply(wire::ByteView payload, ConnectionAttributes& attributes);

// The NI logon over the connection's transport.
ProtoStatus logon_ni(RfcConnection& connection, const ConnectionParams& params);
// The WebSocket RFC logon over the connection's transport.
ProtoStatus logon_wsrfc(RfcConnection& connection, const ConnectionParams& params);

}  // namespace quib::proto

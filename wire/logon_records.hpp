// The fixed record values of the session containers this system writes: the
// logon (NI and WebSocket RFC), the head of every request, and the head of
// a registered server's replies. The logon and the server reply share their
// protocol version, capabilities and kernel release.
#pragma once

#include <cstdint>
#include <string_view>

#include "wire/container.hpp"

namespace quib::wire {

// The kernel release every logon, request and server reply names, whatever
// the partner's release.
inline constexpr std::string_view kKernelRelease = "753";
// The connection type of the logon and the server reply: external.
inline constexpr std::string_view kConnectionTypeExternal = "E";

inline constexpr std::uint8_t kProtocolVersion[] = {0x00, 0x00, 0x0E, 0x0B};
inline constexpr std::uint8_t kCapabilities[] = {0x04, 0x01, 0x00, 0x03, 0x00, 0x0A,
                                                 0x02, 0x00, 0x00, 0x00, 0x23};

// Records without a name in the id table.
inline constexpr RecordId kRecord0163{0x0163};
inline constexpr RecordId kRecord0501{0x0501};
inline constexpr RecordId kRecord0502{0x0502};  // also the first record of every request
inline constexpr RecordId kRecord0512{0x0512};  // follows the function name of a request

// ---------------------------------------------------------------- logon

inline constexpr std::uint8_t kLogonStart[] = {0x03, 0x01, 0x01, 0x01, 0x01, 0x01, 0x00, 0x00};
inline constexpr std::uint8_t kLogonFlag0501[] = {0x01};
// The function the logon pings, and the destination it names.
inline constexpr std::string_view kLogonFunction = "RFCPING";
inline constexpr std::string_view kLogonDestination = "<unknown>";

// ---------------------------------------------------------------- registered server reply

inline constexpr std::uint8_t kServerReplyStart[] = {0x03, 0x01, 0x01, 0x05,
                                                     0x04, 0x01, 0x00, 0x03};
inline constexpr std::string_view kServerReplyClientAddress = "127.0.0.1";
inline constexpr std::string_view kServerReplyPartnerSystem = "::1";
inline constexpr std::string_view kServerReplyKernelPatch = "793 127.0.0.1";
// The record of 8 zero bytes that closes every reply.
inline constexpr RecordId kServerReplyCloseRecord{0x0667};
inline constexpr std::size_t kServerReplyCloseRecordSize = 8;

}  // namespace quib::wire

// Load-balanced logon: ask the message server of an ABAP system for an
// application server of a logon group, then open a direct session to it.
//
// The lookup is a short exchange of three fixed packets in NI frames on a
// TCP connection of its own, closed when the lookup ends:
//
//   first packet (110 bytes)        -> one frame back, discarded
//   second packet (354 bytes)       -> one frame back, discarded
//   logon-group request (206 bytes) -> the reply naming the server
//
// The packets are fixed byte templates; only the group field of the last
// one varies.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/net/socket.hpp"
#include "proto/net/waits.hpp"
#include "wire/bytes.hpp"

namespace quib::proto {

// The application server a logon group named: its host and dispatcher port.
struct ApplicationServer {
  std::string host;
  std::uint16_t port = 0;  // 3200..3299
  friend bool operator==(const ApplicationServer&, const ApplicationServer&) = default;
};

// ---------------------------------------------------------------- packets

// "**MESSAGE**" and one NUL open every packet and every reply.
inline constexpr std::string_view kMsEyecatcher = "**MESSAGE**";
inline constexpr std::size_t kMsEyecatcherSize = 12;  // with its NUL

inline constexpr std::size_t kMsFirstPacketSize = 110;
inline constexpr std::size_t kMsSecondPacketSize = 354;
inline constexpr std::size_t kLogonGroupRequestSize = 206;

// The group field of the logon-group request: at most 10 bytes, NUL-padded.
inline constexpr std::size_t kLogonGroupOffset = 158;
inline constexpr std::size_t kMaxLogonGroupSize = 10;

// Dispatcher ports a reply may name: 3200 plus a two-digit system number.
inline constexpr std::uint16_t kDispatcherPortBase = 3200;
inline constexpr std::uint16_t kDispatcherPortLast = 3299;
// Host lengths a reply entry may declare.
inline constexpr std::uint16_t kMaxReplyHostSize = 64;

// Reads of the lookup connection: at most this many bytes at a time, and
// frames of at most 256 MiB.
inline constexpr std::size_t kMsReadPiece = 8192;
inline constexpr std::uint64_t kMsFrameLimit = 0x10000000;

using MsFirstPacket = std::array<std::uint8_t, kMsFirstPacketSize>;
using MsSecondPacket = std::array<std::uint8_t, kMsSecondPacketSize>;
using LogonGroupRequest = std::array<std::uint8_t, kLogonGroupRequestSize>;

namespace ms_detail {
template <std::size_t N>
constexpr void put_text(std::array<std::uint8_t, N>& p, std::size_t offset, std::string_view s) {
  for (char c : s) p[offset++] = static_cast<std::uint8_t>(c);
}
template <std::size_t N>
constexpr void put_bytes(std::array<std::uint8_t, N>& p, std::size_t offset,
                         std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) p[offset++] = b;
}
template <std::size_t N>
constexpr void fill(std::array<std::uint8_t, N>& p, std::size_t first, std::size_t last,
                    std::uint8_t value) {
  for (std::size_t i = first; i <= last; ++i) p[i] = value;
}
// Bytes 0..13: the eyecatcher, its NUL, then 04 00.
template <std::size_t N>
constexpr void put_head(std::array<std::uint8_t, N>& p) {
  put_text(p, 0, kMsEyecatcher);
  p[11] = 0x00;
  put_bytes(p, 12, {0x04, 0x00});
}
// Bytes 66..109 of every packet: a two-byte code, "-", 39 blanks, two NULs.
template <std::size_t N>
constexpr void put_code(std::array<std::uint8_t, N>& p, std::uint8_t hi, std::uint8_t lo) {
  put_bytes(p, 66, {hi, lo});
  p[68] = '-';
  fill(p, 69, 107, ' ');
}
}  // namespace ms_detail

inline constexpr MsFirstPacket kMsFirstPacket = [] {
  MsFirstPacket p{};
  ms_detail::put_head(p);
  p[14] = '-';
  ms_detail::fill(p, 15, 53, ' ');
  ms_detail::put_code(p, 0x02, 0x08);
  return p;
}();

inline constexpr MsSecondPacket kMsSecondPacket = [] {
  MsSecondPacket p{};
  ms_detail::put_head(p);
  p[14] = '-';
  ms_detail::put_text(p, 16, "NiSelSet");
  ms_detail::put_text(p, 25, "NiSelClear");
  ms_detail::put_text(p, 36, "NiSelClearSet");
  ms_detail::put_text(p, 50, "NiSe");
  ms_detail::put_code(p, 0x04, 0x05);
  ms_detail::put_text(p, 110, "AD-EYECATCH");
  ms_detail::put_bytes(p, 122, {0x01, 0x01});
  ms_detail::fill(p, 124, 131, ' ');
  ms_detail::put_text(p, 132, "104");
  ms_detail::fill(p, 135, 144, ' ');
  p[145] = '2';
  for (std::size_t at : {std::size_t{146}, std::size_t{250}}) {
    ms_detail::put_bytes(p, at, {0x15, 0x00, 0x00, 0x00});
    ms_detail::put_bytes(p, at + 4, {0x16, 0x14, 0x00, 0x28});
  }
  ms_detail::put_text(p, 154, "PUBLIC");
  ms_detail::fill(p, 160, 173, ' ');
  ms_detail::put_bytes(p, 258, {0xC3, 0x97, 0xC3, 0xA4, 0xC3, 0x82, 0xC3, 0x93, 0xC3, 0x89,
                                0xC3, 0x83, 0x40, 0x40, 0x40, 0x40, 0x20, 0x20, 0x20, 0x20});
  return p;
}();

// The logon-group request with an empty group field.
inline constexpr LogonGroupRequest kLogonGroupRequestTemplate = [] {
  LogonGroupRequest p{};
  ms_detail::put_head(p);
  ms_detail::put_text(p, 14, "MSG_SERVER");
  ms_detail::put_text(p, 25, "MsRSndName");
  ms_detail::put_text(p, 36, "MsSnd2Name");
  ms_detail::put_text(p, 47, "MsRSnd2");
  ms_detail::put_code(p, 0x02, 0x01);
  p[110] = 'D';
  p[112] = 0x01;
  ms_detail::put_bytes(p, 156, {0x00, static_cast<std::uint8_t>(kMaxLogonGroupSize)});
  p[198] = 0x01;
  return p;
}();

// The request for `group`. A group longer than 10 bytes is UnexpectedRecord
// ("message server", "logon group {} exceeds 10 characters").
ProtoResult<LogonGroupRequest> logon_group_request(std::string_view group);

// ---------------------------------------------------------------- reply

// The application server a logon-group reply names. The reply must open with
// the eyecatcher and its NUL; the entry is found by scanning backwards for a
// dispatcher port (big-endian u16), a host length L (big-endian u16, 1..64)
// and L bytes of host within the reply; the host, decoded as UTF-8 with
// invalid sequences replaced and trimmed, must be non-empty printable ASCII
// without blanks. The entry nearest the end wins.
ProtoResult<ApplicationServer> parse_logon_group_reply(wire::ByteView reply);

// ---------------------------------------------------------------- lookup

// The system number of a dispatcher port 3200..3299 (as the reply reader
// accepts them): port - 3200 as two digits ("07").
std::string system_number_of_dispatcher(std::uint16_t port);

// The parameter set of the direct session: a copy of `params` in which
// `ashost` is `mshost_override` when given, else the server's host; `sysnr`
// follows from the server's port; `port` is absent.
ConnectionParams load_balanced_params(const ConnectionParams& params,
                                      const ApplicationServer& server,
                                      const std::optional<std::string>& mshost_override);

// Asks the message server at `mshost`:`msserv` (a decimal port) for an
// application server of `group`. The connect and every wait for a read or a
// write are bounded by `connect_timeout`, or by the deadline of `waits` when
// it has one (and ended by its wake-up); the connection is closed before
// this returns.
ProtoResult<ApplicationServer> lookup_application_server(
    std::string_view mshost, std::string_view msserv, std::string_view group,
    Duration connect_timeout, std::shared_ptr<const Waits> waits = nullptr);

}  // namespace quib::proto

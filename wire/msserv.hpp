// The message server's logon-group lookup as bytes: three fixed packets in
// NI frames (only the group field of the last one varies) and the reader of
// the reply that names an application server of the group.
//
//   first packet (110 bytes)        -> one frame back, discarded
//   second packet (354 bytes)       -> one frame back, discarded
//   logon-group request (206 bytes) -> the reply naming the server
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/fixed_bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

// The application server a logon group named: its host and dispatcher port.
struct ApplicationServer {
  std::string host;
  std::uint16_t port = 0;  // 3200..3299
  friend bool operator==(const ApplicationServer&, const ApplicationServer&) = default;
};

struct MsError {
  enum Kind : std::uint8_t {
    GroupTooLong,         // group: the group asked for
    NoEyecatcher,         // the reply does not open with the eyecatcher
    NoApplicationServer,  // the reply names no acceptable server
  };
  Kind kind = NoEyecatcher;
  std::string group;

  // "logon group {} exceeds 10 characters", "response without the
  // **MESSAGE** eyecatcher", "response contained no application server".
  std::string message() const;
  friend bool operator==(const MsError&, const MsError&) = default;
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

using MsFirstPacket = std::array<std::uint8_t, kMsFirstPacketSize>;
using MsSecondPacket = std::array<std::uint8_t, kMsSecondPacketSize>;
using LogonGroupRequest = std::array<std::uint8_t, kLogonGroupRequestSize>;

namespace ms_detail {
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
  fill_bytes(p, 69, 107, ' ');
}
}  // namespace ms_detail

inline constexpr MsFirstPacket kMsFirstPacket = [] {
  MsFirstPacket p{};
  ms_detail::put_head(p);
  p[14] = '-';
  fill_bytes(p, 15, 53, ' ');
  ms_detail::put_code(p, 0x02, 0x08);
  return p;
}();

inline constexpr MsSecondPacket kMsSecondPacket = [] {
  MsSecondPacket p{};
  ms_detail::put_head(p);
  p[14] = '-';
  put_text(p, 16, "NiSelSet");
  put_text(p, 25, "NiSelClear");
  put_text(p, 36, "NiSelClearSet");
  put_text(p, 50, "NiSe");
  ms_detail::put_code(p, 0x04, 0x05);
  put_text(p, 110, "AD-EYECATCH");
  put_bytes(p, 122, {0x01, 0x01});
  fill_bytes(p, 124, 131, ' ');
  put_text(p, 132, "104");
  fill_bytes(p, 135, 144, ' ');
  p[145] = '2';
  for (std::size_t at : {std::size_t{146}, std::size_t{250}}) {
    put_bytes(p, at, {0x15, 0x00, 0x00, 0x00});
    put_bytes(p, at + 4, {0x16, 0x14, 0x00, 0x28});
  }
  put_text(p, 154, "PUBLIC");
  fill_bytes(p, 160, 173, ' ');
  put_bytes(p, 258, {0xC3, 0x97, 0xC3, 0xA4, 0xC3, 0x82, 0xC3, 0x93, 0xC3, 0x89,
                     0xC3, 0x83, 0x40, 0x40, 0x40, 0x40, 0x20, 0x20, 0x20, 0x20});
  return p;
}();

// The logon-group request with an empty group field.
inline constexpr LogonGroupRequest kLogonGroupRequestTemplate = [] {
  LogonGroupRequest p{};
  ms_detail::put_head(p);
  put_text(p, 14, "MSG_SERVER");
  put_text(p, 25, "MsRSndName");
  put_text(p, 36, "MsSnd2Name");
  put_text(p, 47, "MsRSnd2");
  ms_detail::put_code(p, 0x02, 0x01);
  p[110] = 'D';
  p[112] = 0x01;
  put_bytes(p, 156, {0x00, static_cast<std::uint8_t>(kMaxLogonGroupSize)});
  p[198] = 0x01;
  return p;
}();

// The request for `group`; a group longer than 10 bytes is GroupTooLong.
Result<LogonGroupRequest, MsError> logon_group_request(std::string_view group);

// ---------------------------------------------------------------- reply

// The application server a logon-group reply names. The reply must open with
// the eyecatcher and its NUL; the entry is found by scanning backwards for a
// dispatcher port (big-endian u16), a host length L (big-endian u16, 1..64)
// and L bytes of host within the reply; the host, decoded as UTF-8 with
// invalid sequences replaced and trimmed, must be non-empty printable ASCII
// without blanks. The entry nearest the end wins.
Result<ApplicationServer, MsError> parse_logon_group_reply(ByteView reply);

}  // namespace quib::wire

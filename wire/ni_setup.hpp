// The fixed packets of the NI session set-up: the 64-byte routing handshake,
// then the APPC Initialize, SetPartnerLuName and Allocate records with their
// bodies. Only the SNC flag of the Initialize header varies; every other
// byte is fixed. The headers are APPC header fields (wire/appc.hpp).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "wire/appc.hpp"
#include "wire/appc_templates.hpp"
#include "wire/fixed_bytes.hpp"

namespace quib::wire {

// ---------------------------------------------------------------- routing handshake

inline constexpr std::size_t kRoutingHandshakeSize = 64;
// The six-letter host name and the two-letter user name of the templates.
inline constexpr std::string_view kHandshakeHostName = "quibcl";
inline constexpr std::string_view kInitializeUserName = "QB";

using RoutingHandshakePacket = std::array<std::uint8_t, kRoutingHandshakeSize>;

inline constexpr RoutingHandshakePacket kRoutingHandshakePacket = [] {
  RoutingHandshakePacket p{};
  put_bytes(p, 0, {0x02, 0x03, 0x7F, 0x00, 0x00, 0x01});  // 127.0.0.1 in network order at 2
  put_text(p, 10, "nwrfc_stf");                           // followed by one NUL at 19
  put_text(p, 20, "1100");
  p[29] = 0x06;
  put_text(p, 30, kHandshakeHostName);
  put_text(p, 36, "  ");
  put_text(p, 38, "nwrfc_st");
  put_text(p, 46, "        ");
  put_bytes(p, 54, {0x06, 0xCB, 0xFF, 0xFF});
  return p;
}();

// ---------------------------------------------------------------- APPC initialize

inline constexpr std::size_t kInitializeBodySize = 373;
inline constexpr std::size_t kInitializeSncOffset = kAppcFlagsOffset;
inline constexpr std::uint8_t kInitializePlain = 0x01;
inline constexpr std::uint8_t kInitializeWithSnc = 0x21;

// The Initialize header; its flags say whether SNC follows (see
// initialize_template).
inline constexpr AppcHeaderFields kInitializeFields = {
    .request = kAppcInitialize,
    .flags = kInitializePlain,
    .control = 0xC0,
    .control_option = 0x04,
    .body_length = static_cast<std::uint16_t>(kInitializeBodySize),
    .mode = 0x05,
    .info = appc_text_info("NWRFC   localhossapdp00 ", {0x49, 0x01}),
    .trailer = 0x0000FFFF};

inline constexpr AppcTemplate kInitializeTemplate = write_appc_header(kInitializeFields);

constexpr AppcTemplate initialize_template(bool snc) {
  AppcHeaderFields f = kInitializeFields;
  f.flags = snc ? kInitializeWithSnc : kInitializePlain;
  return write_appc_header(f);
}

using InitializeBody = std::array<std::uint8_t, kInitializeBodySize>;

inline constexpr InitializeBody kInitializeBody = [] {
  InitializeBody b{};
  put_text(b, 0, "NWRFC");
  fill_bytes(b, 5, 31, ' ');
  put_bytes(b, 32, {0x01, 0x01});
  put_text(b, 34, "CPIC");
  put_text(b, 42, "6A7ADCFE6A7ADCFE6A7ADCFF6A7ADCFF");
  put_bytes(b, 77, {0x01, 0xFF, 0xFF, 0xFF, 0xFE, 0xFF, 0xFF, 0xFF, 0xFE, 0x02});
  put_text(b, 105, "localhost");
  put_text(b, 249, kInitializeUserName);
  fill_bytes(b, 251, 260, ' ');
  put_text(b, 309, "sapdp00");
  return b;
}();

// ---------------------------------------------------------------- APPC allocate

inline constexpr std::size_t kSetPartnerLuNameBodySize = 144;

inline constexpr AppcTemplate kSetPartnerLuNameTemplate =
    write_appc_header({.request = kAppcSetPartnerLuName,
                       .flags = 0x01,
                       .body_length = static_cast<std::uint16_t>(kSetPartnerLuNameBodySize),
                       .mode = 0x04,
                       .info = appc_text_info("localhos", {0x00, 0x00, 0x00, 0x09}),
                       .trailer = 0xFFFF0003});

using SetPartnerLuNameBody = std::array<std::uint8_t, kSetPartnerLuNameBodySize>;

// "localhost" padded with blanks to 128 bytes, then 16 NULs.
inline constexpr SetPartnerLuNameBody kSetPartnerLuNameBody = [] {
  SetPartnerLuNameBody b{};
  fill_bytes(b, 0, 127, ' ');
  put_text(b, 0, "localhost");
  return b;
}();

inline constexpr AppcTemplate kAllocateTemplate =
    write_appc_header({.request = kAppcAllocate, .mode = 0x01, .trailer = 0xFFFF0003});

}  // namespace quib::wire

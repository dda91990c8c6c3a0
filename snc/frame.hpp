// SNC frames: the envelope of every GSS-API token and wrapped message on an
// SNC connection, carried as the data of a CPIC record. Also SncError, the
// error type of the whole SNC adapter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::snc {

using wire::Bytes;
using wire::ByteView;

inline constexpr std::string_view kSncMagic = "SNCFRAME";
inline constexpr std::string_view kSncBanner = "Internal SNC-Adapter (Rev 1.1) to CommonCryptoLib";
inline constexpr std::size_t kSncHeadSize = 24;
inline constexpr std::size_t kSncAnnouncementHeadSize = 8;
inline constexpr std::uint8_t kSncVersion = 0x06;
inline constexpr std::uint16_t kSncWithAnnouncement = 0x0096;
inline constexpr std::uint16_t kSncWithoutAnnouncement = 0x0018;
inline constexpr std::uint16_t kSncField20 = 0x0003;
inline constexpr std::uint16_t kSncAcceptorTag = 0x007A;
inline constexpr std::uint16_t kSncInitiatorTag = 0x007E;
inline constexpr std::uint16_t kSncWrappedTag = 0x0000;
// The announcement length A is written as A + 2 in 16 bits.
inline constexpr std::uint64_t kSncMaxAnnouncement = 65533;
inline constexpr std::uint64_t kSncMaxToken = 0xFFFFFFFFu;

struct SncFrameKind {
  enum Tag : std::uint8_t { InitiatorToken, AcceptorToken, Wrapped, Unknown };

  Tag tag = Unknown;
  std::uint8_t byte = 0;  // the wire byte

  static SncFrameKind from_byte(std::uint8_t b);
  static SncFrameKind initiator_token() { return {InitiatorToken, 0x02}; }
  static SncFrameKind acceptor_token() { return {AcceptorToken, 0x04}; }
  static SncFrameKind wrapped() { return {Wrapped, 0x09}; }
  static SncFrameKind unknown(std::uint8_t b) { return {Unknown, b}; }
  // The variant name; Unknown prints the byte in decimal: "Unknown(5)".
  std::string debug() const;
  friend bool operator==(const SncFrameKind&, const SncFrameKind&) = default;
};

struct SncError {
  enum Kind : std::uint8_t {
    LoadFailed,     // text: library path; detail: reason
    MissingExport,  // text: entry-point name
    GssFailure,     // text: call name; major, minor; detail: status text (may be empty)
    NotSncFrame,
    TokenTruncated,  // declared, present
    LengthOverflow,  // text: "token" or "partner announcement"; declared: its length
  };

  Kind kind = NotSncFrame;
  std::string text;
  std::string detail;
  std::uint32_t major = 0;
  std::uint32_t minor = 0;
  std::uint64_t declared = 0;
  std::uint64_t present = 0;

  static SncError load_failed(std::string path, std::string reason);
  static SncError missing_export(std::string name);
  static SncError gss_failure(std::string call, std::uint32_t major, std::uint32_t minor,
                              std::string status_text);
  static SncError not_snc_frame();
  static SncError token_truncated(std::uint64_t declared, std::uint64_t present);
  static SncError length_overflow(std::string what, std::uint64_t length);

  std::string message() const;
  friend bool operator==(const SncError&, const SncError&) = default;
};

// The size of a frame of this kind and these lengths, or LengthOverflow when
// a length does not fit its field.
wire::Result<std::uint64_t, SncError> snc_frame_size(SncFrameKind kind,
                                                     std::optional<std::uint64_t> announcement,
                                                     std::uint64_t token);

wire::Result<Bytes, SncError> write_snc_frame(SncFrameKind kind,
                                              std::optional<ByteView> announcement, ByteView token);

struct SncFrame {
  SncFrameKind kind;
  ByteView token;  // a view into the parsed bytes
};

wire::Result<SncFrame, SncError> parse_snc_frame(ByteView bytes);

}  // namespace quib::snc

#include "snc/frame.hpp"

#include <fmt/format.h>

#include <cstring>

namespace quib::snc {

using wire::err;

SncFrameKind SncFrameKind::from_byte(std::uint8_t b) {
  switch (b) {
    case 0x02:
      return initiator_token();
    case 0x04:
      return acceptor_token();
    case 0x09:
      return wrapped();
    default:
      return unknown(b);
  }
}

std::string SncFrameKind::debug() const {
  switch (tag) {
    case InitiatorToken:
      return "InitiatorToken";
    case AcceptorToken:
      return "AcceptorToken";
    case Wrapped:
      return "Wrapped";
    case Unknown:
      break;
  }
  return fmt::format("Unknown({})", byte);
}

SncError SncError::load_failed(std::string path, std::string reason) {
  return {.kind = LoadFailed, .text = std::move(path), .detail = std::move(reason)};
}
SncError SncError::missing_export(std::string name) {
  return {.kind = MissingExport, .text = std::move(name)};
}
SncError SncError::gss_failure(std::string call, std::uint32_t major, std::uint32_t minor,
                               std::string status_text) {
  return {.kind = GssFailure,
          .text = std::move(call),
          .detail = std::move(status_text),
          .major = major,
          .minor = minor};
}
SncError SncError::not_snc_frame() { return {.kind = NotSncFrame}; }
SncError SncError::token_truncated(std::uint64_t declared, std::uint64_t present) {
  return {.kind = TokenTruncated, .declared = declared, .present = present};
}
SncError SncError::length_overflow(std::string what, std::uint64_t length) {
  return {.kind = LengthOverflow, .text = std::move(what), .declared = length};
}

std::string SncError::message() const {
  switch (kind) {
    case LoadFailed:
      return fmt::format("cannot load the GSS-API library {}: {}", text, detail);
    case MissingExport:
      return fmt::format("the GSS-API library does not export {}", text);
    case GssFailure:
      if (!detail.empty()) {
        return fmt::format("{} failed: {} (major 0x{:08x}, minor 0x{:08x})", text, detail, major,
                           minor);
      }
      return fmt::format("{} failed: major 0x{:08x}, minor 0x{:08x}", text, major, minor);
    case NotSncFrame:
      return "record does not begin with SNCFRAME";
    case TokenTruncated:
      return fmt::format("SNC frame declares {} token bytes but only {} are present", declared,
                         present);
    case LengthOverflow:
      return fmt::format("SNC {} of {} bytes does not fit the frame's length field", text,
                         declared);
  }
  return {};
}

namespace {

std::uint16_t tag_of(SncFrameKind kind) {
  switch (kind.tag) {
    case SncFrameKind::AcceptorToken:
      return kSncAcceptorTag;
    case SncFrameKind::Wrapped:
      return kSncWrappedTag;
    default:
      return kSncInitiatorTag;
  }
}

bool has_banner(SncFrameKind kind) { return kind.tag != SncFrameKind::Wrapped; }

}  // namespace

wire::Result<std::uint64_t, SncError> snc_frame_size(SncFrameKind kind,
                                                     std::optional<std::uint64_t> announcement,
                                                     std::uint64_t token) {
  if (token > kSncMaxToken) return err(SncError::length_overflow("token", token));
  if (announcement && *announcement > kSncMaxAnnouncement) {
    return err(SncError::length_overflow("partner announcement", *announcement));
  }
  std::uint64_t size = kSncHeadSize + token;
  if (announcement) size += kSncAnnouncementHeadSize + *announcement;
  if (has_banner(kind)) size += kSncBanner.size();
  return size;
}

wire::Result<Bytes, SncError> write_snc_frame(SncFrameKind kind,
                                              std::optional<ByteView> announcement,
                                              ByteView token) {
  std::optional<std::uint64_t> ann_len;
  if (announcement) ann_len = announcement->size();
  QUIB_TRY(const std::uint64_t size, snc_frame_size(kind, ann_len, token.size()));

  Bytes out;
  out.reserve(static_cast<std::size_t>(size));
  wire::append_bytes(out, kSncMagic);
  wire::append_u8(out, kind.byte);
  wire::append_u8(out, kSncVersion);
  wire::append_be16(out, announcement ? kSncWithAnnouncement : kSncWithoutAnnouncement);
  wire::append_be32(out, static_cast<std::uint32_t>(token.size()));
  wire::append_be32(out, has_banner(kind) ? static_cast<std::uint32_t>(kSncBanner.size()) : 0);
  wire::append_be16(out, kSncField20);
  wire::append_be16(out, tag_of(kind));
  if (announcement) {
    wire::append_be32(out, 1);
    wire::append_be16(out, static_cast<std::uint16_t>(announcement->size() + 2));
    wire::append_be16(out, kSncField20);
    wire::append_bytes(out, *announcement);
  }
  wire::append_bytes(out, token);
  if (has_banner(kind)) wire::append_bytes(out, kSncBanner);
  return out;
}

wire::Result<SncFrame, SncError> parse_snc_frame(ByteView bytes) {
  if (bytes.size() < kSncHeadSize ||
      std::memcmp(bytes.data(), kSncMagic.data(), kSncMagic.size()) != 0) {
    return err(SncError::not_snc_frame());
  }
  const std::uint64_t declared = wire::load_be32(bytes.data() + 12);
  std::uint64_t start = kSncHeadSize;
  if (wire::load_be16(bytes.data() + 10) == kSncWithAnnouncement) {
    // The announcement block: u32 1, u16 A + 2, u16 3, then A bytes; the
    // token starts A + 2 bytes after offset 30.
    if (bytes.size() < 30)
      return err(SncError::token_truncated(declared, bytes.size() - kSncHeadSize));
    start = 30 + std::uint64_t{wire::load_be16(bytes.data() + 28)};
    if (bytes.size() < start) return err(SncError::token_truncated(declared, 0));
  }
  const std::uint64_t rest = bytes.size() - start;
  if (rest < declared) return err(SncError::token_truncated(declared, rest));
  SncFrame f;
  f.kind = SncFrameKind::from_byte(bytes[8]);
  f.token = bytes.subspan(static_cast<std::size_t>(start), static_cast<std::size_t>(declared));
  return f;
}

}  // namespace quib::snc

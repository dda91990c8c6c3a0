#include "wire/server.hpp"

#include <algorithm>

#include "wire/appc.hpp"
#include "wire/inbound_call.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

constexpr std::uint8_t kBlank = 0x20;

// Registration record layout: offsets and sizes of its fields.
constexpr std::uint8_t kRegistrationLead[2] = {0x02, 0x0B};
constexpr std::size_t kAddressOffset = 2;
constexpr std::size_t kProgramField1Offset = 10;
constexpr std::size_t kProgramField1Size = 10;  // up to 9 bytes, a NUL, blanks
constexpr std::size_t kVersionOffset = 20;
constexpr std::string_view kVersionText = "1100";
constexpr std::size_t kMarkerOffset = 29;
constexpr std::uint8_t kMarker = 0x06;
constexpr std::size_t kHostOffset = 30;
constexpr std::size_t kHostSize = 8;
constexpr std::size_t kProgramField2Offset = 38;
constexpr std::size_t kProgramField2Size = 8;
constexpr std::size_t kBlankFieldOffset = 46;
constexpr std::size_t kBlankFieldSize = 8;
constexpr std::size_t kTrailerOffset = 54;
constexpr std::uint8_t kTrailer[4] = {0x06, 0xCB, 0xFF, 0xFF};

// Information block layout: two NUL-terminated texts of at most 127 bytes.
constexpr std::size_t kInfoHostOffset = 0;
constexpr std::size_t kInfoProgramOffset = 128;
constexpr std::size_t kInfoTextLimit = 127;

constexpr std::string_view kErrMarker = "*ERR*";
constexpr std::size_t kMinErrPiece = 2;

template <std::size_t N>
void put_text(std::array<std::uint8_t, N>& out, std::size_t offset, std::string_view text) {
  std::copy(text.begin(), text.end(), out.begin() + static_cast<std::ptrdiff_t>(offset));
}

// Writes `text` cut to `size` bytes at `offset`, blanks after it.
template <std::size_t N>
void put_padded(std::array<std::uint8_t, N>& out, std::size_t offset, std::size_t size,
                std::string_view text) {
  std::string_view cut = cut_at_char_boundary(text, size);
  std::fill_n(out.begin() + static_cast<std::ptrdiff_t>(offset), size, kBlank);
  put_text(out, offset, cut);
}

}  // namespace

std::string_view cut_at_char_boundary(std::string_view text, std::size_t limit) {
  if (text.size() <= limit) return text;
  // Walk the characters from the start: a malformed sequence counts as one
  // character, as the lossy decoder reads it.
  std::size_t boundary = 0, pos = 0;
  while (pos < text.size()) {
    next_utf8(text, pos);
    if (pos > limit) break;
    boundary = pos;
  }
  return text.substr(0, boundary);
}

RegistrationRecord build_registration_record(std::string_view program_id,
                                             std::string_view local_host,
                                             const Ipv4Octets& address) {
  RegistrationRecord r{};
  r[0] = kRegistrationLead[0];
  r[1] = kRegistrationLead[1];
  std::copy(address.begin(), address.end(), r.begin() + kAddressOffset);
  // Program ID, at most 9 bytes, then a NUL, then blanks.
  std::string_view prog9 = cut_at_char_boundary(program_id, kProgramField1Size - 1);
  std::fill_n(r.begin() + kProgramField1Offset, kProgramField1Size, kBlank);
  put_text(r, kProgramField1Offset, prog9);
  r[kProgramField1Offset + prog9.size()] = 0x00;
  put_text(r, kVersionOffset, kVersionText);
  r[kMarkerOffset] = kMarker;
  put_padded(r, kHostOffset, kHostSize, local_host);
  put_padded(r, kProgramField2Offset, kProgramField2Size, program_id);
  std::fill_n(r.begin() + kBlankFieldOffset, kBlankFieldSize, kBlank);
  std::copy(std::begin(kTrailer), std::end(kTrailer), r.begin() + kTrailerOffset);
  return r;
}

InfoBlock build_info_block(std::string_view program_id, std::string_view local_host) {
  InfoBlock b;
  b.fill(kBlank);
  std::string_view host = cut_at_char_boundary(local_host, kInfoTextLimit);
  put_text(b, kInfoHostOffset, host);
  b[kInfoHostOffset + host.size()] = 0x00;
  std::string_view prog = cut_at_char_boundary(program_id, kInfoTextLimit);
  put_text(b, kInfoProgramOffset, prog);
  b[kInfoProgramOffset + prog.size()] = 0x00;
  return b;
}

GatewayErrText find_err_text(ByteView reply) {
  const std::string_view data = as_chars(reply);
  const std::size_t at =
      data.size() >= kErrMarker.size() ? data.find(kErrMarker) : std::string_view::npos;
  GatewayErrText out;
  if (at != std::string_view::npos) {
    out.kind = GatewayErrText::Kind::ErrorText;
    std::string_view rest = data.substr(at + kErrMarker.size());
    while (true) {
      const std::size_t nul = rest.find('\0');
      const std::string_view piece = rest.substr(0, nul);
      if (piece.size() >= kMinErrPiece) {
        out.text = lossy_trimmed_text(as_bytes(piece));
        break;
      }
      if (nul == std::string_view::npos) break;
      rest.remove_prefix(nul + 1);
    }
    return out;
  }
  if (std::any_of(reply.begin(), reply.end(), [](std::uint8_t b) { return b != 0; })) {
    out.kind = GatewayErrText::Kind::OtherBytes;
    out.bytes.assign(reply.begin(), reply.end());
  }
  return out;
}

Result<std::optional<Bytes>, ServerRecordError> judge_registration_answer(
    std::string_view program_id, ByteView frame) {
  if (is_inbound_announcement(frame))
    return std::optional<Bytes>(Bytes(frame.begin(), frame.end()));
  const ByteView rest =
      frame.size() > kAppcHeaderSize ? frame.subspan(kAppcHeaderSize) : ByteView();
  GatewayErrText found = find_err_text(rest);
  switch (found.kind) {
    case GatewayErrText::Kind::ErrorText:
      return err(ServerRecordError::refused(std::string(program_id), std::move(found.text)));
    case GatewayErrText::Kind::Nothing:
      return std::optional<Bytes>();
    case GatewayErrText::Kind::OtherBytes:
      break;
  }
  return err(ServerRecordError::unclear_answer(found.bytes));
}

}  // namespace quib::wire

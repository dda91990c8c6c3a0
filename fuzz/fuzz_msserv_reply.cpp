// The message server's logon-group reply reader: any bytes give an
// application server or one of the two reply errors; a server found has a
// port 3200..3299 and a printable host of at most 64 bytes that stands in
// the reply behind its port and length; no plainly valid entry lies nearer
// the end than the one chosen; trailing NULs change nothing. The session
// layer's reader gives the same server, or UnexpectedRecord "message
// server" with the same text.
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "proto/session/msserv.hpp"
#include "wire/bytes.hpp"
#include "wire/msserv.hpp"

using namespace quib;

namespace {

bool has_eyecatcher(wire::ByteView b) {
  return b.size() >= wire::kMsEyecatcherSize && std::memcmp(b.data(), "**MESSAGE**", 11) == 0 &&
         b[11] == 0;
}

// An entry at p whose host bytes are all printable ASCII, needing no
// trimming: the reader must accept it.
bool plainly_valid_entry(wire::ByteView b, std::size_t p) {
  if (p + 4 > b.size()) return false;
  const unsigned port = (unsigned{b[p]} << 8) | b[p + 1];
  const std::size_t len = (std::size_t{b[p + 2]} << 8) | b[p + 3];
  if (port < 3200 || port > 3299 || len < 1 || len > 64 || p + 4 + len > b.size()) return false;
  for (std::size_t i = 0; i < len; ++i) {
    if (b[p + 4 + i] < 0x21 || b[p + 4 + i] > 0x7E) return false;
  }
  return true;
}

// The positions whose entry could have produced `server`.
bool stands_in_reply(wire::ByteView b, const wire::ApplicationServer& server, std::size_t& at) {
  for (std::size_t p = b.size() >= 5 ? b.size() - 5 + 1 : 0; p-- > 0;) {
    const unsigned port = (unsigned{b[p]} << 8) | b[p + 1];
    const std::size_t len = (std::size_t{b[p + 2]} << 8) | b[p + 3];
    if (port != server.port || len < server.host.size() || len > 64 || p + 4 + len > b.size())
      continue;
    const std::string_view field(reinterpret_cast<const char*>(b.data() + p + 4), len);
    if (field.find(server.host) != std::string_view::npos) {
      at = p;
      return true;
    }
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const wire::ByteView reply(data, size);
  auto r = wire::parse_logon_group_reply(reply);

  if (!r.ok()) {
    const bool eye = has_eyecatcher(reply);
    const auto expected = eye ? wire::MsError::NoApplicationServer : wire::MsError::NoEyecatcher;
    if (r.error().kind != expected) std::abort();
    // With the eyecatcher, no plainly valid entry may have been overlooked.
    if (eye) {
      for (std::size_t p = 0; p < size; ++p)
        if (plainly_valid_entry(reply, p)) std::abort();
    }
    const auto mapped = proto::parse_logon_group_reply(reply);
    if (mapped.ok()) std::abort();
    const auto* info = mapped.error().get<proto::ProtocolError::UnexpectedRecordInfo>();
    if (info == nullptr || info->label != proto::kStepMessageServer ||
        info->detail != r.error().message())
      std::abort();
  } else {
    const wire::ApplicationServer& s = *r;
    if (!has_eyecatcher(reply)) std::abort();
    if (s.port < wire::kDispatcherPortBase || s.port > wire::kDispatcherPortLast) std::abort();
    if (s.host.empty() || s.host.size() > wire::kMaxReplyHostSize) std::abort();
    for (char c : s.host) {
      const auto u = static_cast<unsigned char>(c);
      if (u < 0x21 || u > 0x7E) std::abort();
    }
    std::size_t at = 0;
    if (!stands_in_reply(reply, s, at)) std::abort();
    // Nothing plainly valid beyond the chosen entry.
    for (std::size_t p = at + 1; p < size; ++p)
      if (plainly_valid_entry(reply, p)) std::abort();
    if (proto::system_number_of_dispatcher(s.port).size() != 2) std::abort();
    const auto mapped = proto::parse_logon_group_reply(reply);
    if (!mapped.ok() || !(*mapped == s)) std::abort();
  }

  // Trailing NULs form no entry and complete none (a reply cut inside the
  // eyecatcher would be completed by them, so only whole eyecatchers count).
  if (!has_eyecatcher(reply)) return 0;
  wire::Bytes padded(reply.begin(), reply.end());
  padded.resize(size + 70, 0x00);
  auto again = wire::parse_logon_group_reply(padded);
  if (again.ok() != r.ok()) std::abort();
  if (r.ok() && !(*again == *r)) std::abort();
  if (!r.ok() && !(again.error() == r.error())) std::abort();
  return 0;
}

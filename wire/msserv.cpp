#include "wire/msserv.hpp"

#include <fmt/format.h>

#include <optional>

#include "wire/utf.hpp"

namespace quib::wire {

namespace {

// Every character of the host printable ASCII, blanks excluded.
bool is_printable_host(std::string_view host) {
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u < 0x21 || u > 0x7E) return false;
  }
  return true;
}

// The host of a candidate entry, when it is acceptable.
std::optional<std::string> candidate_host(ByteView bytes) {
  const std::string decoded = utf8_lossy(bytes);
  const std::string_view host = trim_unicode(decoded);
  if (host.empty() || !is_printable_host(host)) return std::nullopt;
  return std::string(host);
}

}  // namespace

std::string MsError::message() const {
  switch (kind) {
    case GroupTooLong:
      return fmt::format("logon group {} exceeds {} characters", group, kMaxLogonGroupSize);
    case NoEyecatcher:
      return "response without the **MESSAGE** eyecatcher";
    case NoApplicationServer:
      break;
  }
  return "response contained no application server";
}

Result<LogonGroupRequest, MsError> logon_group_request(std::string_view group) {
  if (group.size() > kMaxLogonGroupSize)
    return err(MsError{MsError::GroupTooLong, std::string(group)});
  LogonGroupRequest request = kLogonGroupRequestTemplate;
  for (std::size_t i = 0; i < group.size(); ++i) {
    request[kLogonGroupOffset + i] = static_cast<std::uint8_t>(group[i]);
  }
  return request;
}

Result<ApplicationServer, MsError> parse_logon_group_reply(ByteView reply) {
  if (reply.size() < kMsEyecatcherSize ||
      as_chars(reply.first(kMsEyecatcher.size())) != kMsEyecatcher ||
      reply[kMsEyecatcher.size()] != 0x00) {
    return err(MsError{MsError::NoEyecatcher, {}});
  }
  // Backwards from the last position that leaves room for port and length,
  // so that the entry nearest the end wins. The host's extent is compared
  // with the reply's size before a byte of it is read.
  const std::size_t size = reply.size();
  for (std::size_t p = size - 4; p-- > 0;) {  // p = size - 5 down to 0
    const std::uint16_t port = load_be16(reply.data() + p);
    const std::uint16_t length = load_be16(reply.data() + p + 2);
    if (length < 1 || length > kMaxReplyHostSize) continue;
    if (p + 4 + length > size) continue;
    if (port < kDispatcherPortBase || port > kDispatcherPortLast) continue;
    if (auto host = candidate_host(reply.subspan(p + 4, length))) {
      return ApplicationServer{std::move(*host), port};
    }
  }
  return err(MsError{MsError::NoApplicationServer, {}});
}

}  // namespace quib::wire

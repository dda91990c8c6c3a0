#include "wire/ws.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "wire/base64.hpp"
#include "wire/sha1.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

constexpr std::uint8_t kFinBit = 0x80;
constexpr std::uint8_t kMaskBit = 0x80;
constexpr std::uint8_t kOpcodeBits = 0x0F;
constexpr std::uint8_t kLength16 = 126;
constexpr std::uint8_t kLength64 = 127;
constexpr std::uint64_t kMaxLength7 = 125;
constexpr std::uint64_t kMaxLength16 = 0xFFFF;

constexpr std::uint32_t kMaskMultiplier = 1664525u;
constexpr std::uint32_t kMaskIncrement = 1013904223u;

constexpr std::string_view kCrLf = "\r\n";
constexpr std::string_view kAcceptHeader = "sec-websocket-accept";

bool is_control(char c) {
  const auto u = static_cast<unsigned char>(c);
  return u < 0x20 || u == 0x7F;
}

bool has_control(std::string_view s) { return std::any_of(s.begin(), s.end(), is_control); }

}  // namespace

// --- WsError

WsError WsError::payload_too_large(std::uint64_t length) {
  return {.kind = PayloadTooLarge, .length = length};
}
WsError WsError::continuation_without_start() { return {.kind = ContinuationWithoutStart}; }
WsError WsError::upgrade_refused() { return {.kind = UpgradeRefused}; }
WsError WsError::invalid_header_value(std::string field) {
  return {.kind = InvalidHeaderValue, .field = std::move(field)};
}

std::string WsError::message() const {
  switch (kind) {
    case PayloadTooLarge:
      return fmt::format("WebSocket payload of {} bytes exceeds the budget", length);
    case ContinuationWithoutStart:
      return "WebSocket continuation without a start frame";
    case UpgradeRefused:
      return "WebSocket upgrade was refused";
    case InvalidHeaderValue:
      return fmt::format("WebSocket upgrade {} contains a {}control character", field,
                         field == "path" ? "blank or " : "");
  }
  return {};
}

// --- handshake

std::string websocket_accept(std::string_view key) {
  Sha1 h;
  h.update(as_bytes(key));
  h.update(as_bytes(kWsAcceptGuid));
  const Sha1Digest digest = h.finish();
  return base64_encode(digest);
}

std::string make_websocket_key(const WsKeyNonce& nonce) { return base64_encode(nonce); }

Result<std::string, WsError> build_upgrade_request(
    std::string_view path, std::string_view host_port, std::string_view subprotocol,
    std::string_view client, std::string_view language, std::string_view key) {
  if (has_control(path) || path.find(' ') != std::string_view::npos) {
    return err(WsError::invalid_header_value("path"));
  }
  const std::pair<const char*, std::string_view> values[] = {{"host", host_port},
                                                             {"subprotocol", subprotocol},
                                                             {"client", client},
                                                             {"language", language},
                                                             {"key", key}};
  for (const auto& [field, value] : values) {
    if (has_control(value)) return err(WsError::invalid_header_value(field));
  }
  return fmt::format(
      "GET {} HTTP/1.1\r\n"
      "host: {}\r\n"
      "sec-websocket-protocol: {}\r\n"
      "sap-rfc-options: rfc-delta=off\r\n"
      "sap-client: {}\r\n"
      "sap-language: {}\r\n"
      "sap-rfc-subtype: sync\r\n"
      "sap-rfcpro-suppvers: 5-5\r\n"
      "sap-rfcser-suppvers: 2-3\r\n"
      "upgrade: websocket\r\n"
      "connection: Upgrade\r\n"
      "sec-websocket-version: 13\r\n"
      "sec-websocket-key: {}\r\n"
      "\r\n",
      path, host_port, subprotocol, client, language, key);
}

Status<WsError> check_upgrade_response(std::string_view head, std::string_view key) {
  std::size_t line_end = head.find(kCrLf);
  const std::string_view status = head.substr(0, line_end);
  // The status code is the token after the protocol version.
  const std::size_t blank = status.find(' ');
  if (blank == std::string_view::npos) return err(WsError::upgrade_refused());
  std::string_view code = status.substr(blank + 1);
  code = code.substr(0, code.find(' '));
  if (code != "101") return err(WsError::upgrade_refused());

  std::optional<std::string_view> accept;
  while (line_end != std::string_view::npos) {
    const std::size_t start = line_end + kCrLf.size();
    line_end = head.find(kCrLf, start);
    const std::string_view line = head.substr(
        start, line_end == std::string_view::npos ? std::string_view::npos : line_end - start);
    const std::size_t colon = line.find(':');
    if (colon == std::string_view::npos) continue;
    if (ascii_lower(trim_unicode(line.substr(0, colon))) == kAcceptHeader) {
      accept = trim_unicode(line.substr(colon + 1));
    }
  }
  if (!accept || *accept != websocket_accept(key)) return err(WsError::upgrade_refused());
  return ok_unit;
}

WsMaskKey WsMaskState::next_key() {
  state_ = state_ * kMaskMultiplier + kMaskIncrement;
  WsMaskKey key;
  store_be32(key.data(), state_);
  return key;
}

// --- frames

WsFrameKind WsFrameKind::from_opcode(std::uint8_t opcode) {
  switch (opcode) {
    case kWsOpContinuation:
      return continuation();
    case kWsOpText:
      return text();
    case kWsOpBinary:
      return binary();
    case kWsOpClose:
      return close();
    case kWsOpPing:
      return ping();
    case kWsOpPong:
      return pong();
    default:
      return other(opcode);
  }
}

void ws_apply_mask(std::span<std::uint8_t> data, const WsMaskKey& key, std::size_t phase) {
  std::uint8_t* p = data.data();
  std::size_t n = data.size();
  // Align the key to the start of `data`, then XOR eight bytes at a time
  // with the key repeated twice (the byte order of the word does not matter
  // since load and store use the same order).
  std::uint8_t rot[8];
  for (std::size_t i = 0; i < 8; ++i) rot[i] = key[(phase + i) & 3];
  std::uint64_t word_key;
  std::memcpy(&word_key, rot, 8);
  for (; n >= 8; p += 8, n -= 8) {
    std::uint64_t w;
    std::memcpy(&w, p, 8);
    w ^= word_key;
    std::memcpy(p, &w, 8);
  }
  for (std::size_t i = 0; i < n; ++i) p[i] ^= rot[i];
}

void write_ws_frame(WsFrameKind kind, bool fin, ByteView payload,
                    const std::optional<WsMaskKey>& key, Bytes& out) {
  const std::uint64_t len = payload.size();
  const std::uint8_t mask_bit = key ? kMaskBit : 0;
  out.reserve(out.size() + 14 + payload.size());
  append_u8(out, static_cast<std::uint8_t>((fin ? kFinBit : 0) | (kind.opcode & kOpcodeBits)));
  if (len <= kMaxLength7) {
    append_u8(out, static_cast<std::uint8_t>(mask_bit | len));
  } else if (len <= kMaxLength16) {
    append_u8(out, mask_bit | kLength16);
    append_be16(out, static_cast<std::uint16_t>(len));
  } else {
    append_u8(out, mask_bit | kLength64);
    append_be64(out, len);
  }
  if (key) out.insert(out.end(), key->begin(), key->end());
  const std::size_t start = out.size();
  append_bytes(out, payload);
  if (key) ws_apply_mask(std::span<std::uint8_t>(out).subspan(start), *key);
}

Result<std::optional<WsFrameHeader>, WsError> read_ws_frame_header(ByteView bytes,
                                                                   std::uint64_t budget) {
  if (bytes.size() < 2) return std::optional<WsFrameHeader>{};
  WsFrameHeader h;
  h.fin = (bytes[0] & kFinBit) != 0;
  h.kind = WsFrameKind::from_opcode(bytes[0] & kOpcodeBits);
  h.masked = (bytes[1] & kMaskBit) != 0;
  const std::uint8_t len7 = bytes[1] & 0x7F;
  std::size_t pos = 2;
  if (len7 == kLength16) {
    if (bytes.size() < pos + 2) return std::optional<WsFrameHeader>{};
    h.payload_length = load_be16(bytes.data() + pos);
    pos += 2;
  } else if (len7 == kLength64) {
    if (bytes.size() < pos + 8) return std::optional<WsFrameHeader>{};
    h.payload_length = load_be64(bytes.data() + pos);
    pos += 8;
  } else {
    h.payload_length = len7;
  }
  if (h.payload_length > budget) return err(WsError::payload_too_large(h.payload_length));
  if (h.masked) {
    if (bytes.size() < pos + 4) return std::optional<WsFrameHeader>{};
    std::copy_n(bytes.begin() + static_cast<std::ptrdiff_t>(pos), 4, h.key.begin());
    pos += 4;
  }
  h.header_size = pos;
  return std::optional<WsFrameHeader>{h};
}

namespace {

// True when the whole payload of a frame with this head has arrived.
bool payload_complete(const WsFrameHeader& h, ByteView bytes) {
  return bytes.size() - h.header_size >= h.payload_length;
}

// Appends the frame's payload to `out`, unmasked.
void append_payload(const WsFrameHeader& h, ByteView bytes, Bytes& out) {
  const auto len = static_cast<std::size_t>(h.payload_length);
  const std::size_t start = out.size();
  append_bytes(out, bytes.subspan(h.header_size, len));
  if (h.masked) ws_apply_mask(std::span<std::uint8_t>(out).subspan(start), h.key);
}

WsFrame take_frame(const WsFrameHeader& h, ByteView bytes) {
  WsFrame f;
  append_payload(h, bytes, f.payload);
  f.kind = h.kind;
  f.opcode = h.kind.opcode;
  f.fin = h.fin;
  f.size = h.header_size + static_cast<std::size_t>(h.payload_length);
  return f;
}

}  // namespace

Result<std::optional<WsFrame>, WsError> read_ws_frame(ByteView bytes, std::uint64_t budget) {
  QUIB_TRY(const auto head, read_ws_frame_header(bytes, budget));
  if (!head || !payload_complete(*head, bytes)) return std::optional<WsFrame>{};
  return std::optional<WsFrame>{take_frame(*head, bytes)};
}

// --- messages

void WsPartialMessage::reset() {
  joined = Bytes();
  kind = kWsNoMessage;
}

Result<WsStep, WsError> next_ws_message(WsPartialMessage& state, ByteView received) {
  QUIB_TRY(const auto head, read_ws_frame_header(received, state.budget));
  WsStep step;
  if (!head) return step;  // NeedMore, nothing used
  const WsFrameHeader& h = *head;

  // Judged on the head alone, before the payload is buffered.
  if (h.kind.tag == WsFrameKind::Continuation) {
    if (!state.in_progress()) return err(WsError::continuation_without_start());
    const std::uint64_t joined = std::uint64_t{state.joined.size()} + h.payload_length;
    if (joined > state.budget) return err(WsError::payload_too_large(joined));
  } else if (h.kind.is_data() && state.in_progress()) {
    return err(WsError::continuation_without_start());
  }
  if (!payload_complete(h, received)) return step;

  const std::size_t size = h.header_size + static_cast<std::size_t>(h.payload_length);
  step.used = size;
  if (h.kind.tag == WsFrameKind::Continuation) {
    append_payload(h, received, state.joined);
    if (h.fin) {
      step.what = WsStep::Message;
      step.message = std::move(state.joined);
      state.reset();
    }
    return step;
  }
  if (h.kind.is_data()) {
    if (h.fin) {
      step.what = WsStep::Message;
      append_payload(h, received, step.message);
    } else {
      state.joined.clear();
      append_payload(h, received, state.joined);
      state.kind = h.kind.opcode;
    }
    return step;
  }
  step.what = WsStep::Control;
  step.frame = take_frame(h, received);
  return step;
}

void WsReceiveBuffer::push(ByteView bytes) {
  if (consumed_ > 0 && 2 * consumed_ >= buffer_.size()) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed_));
    consumed_ = 0;
  }
  append_bytes(buffer_, bytes);
}

void WsReceiveBuffer::consume(std::size_t n) {
  consumed_ += std::min(n, size());
  if (consumed_ == buffer_.size()) {
    buffer_.clear();
    consumed_ = 0;
  }
}

}  // namespace quib::wire

// WebSocket pieces of WebSocket RFC: the upgrade request and the check of
// the server's answer, the frame codec (RFC 6455 section 5) with the
// system's budget, and the joining of fragments into messages. No I/O: the
// transport owns the socket, TLS, the random nonce of the key and the
// masking state, and feeds received bytes in.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/result.hpp"

namespace quib::wire {

inline constexpr std::string_view kWsDefaultPath = "/sap/bc/rfc?sap-apc-stateful=true";
// The subprotocol token of WebSocket RFC.
inline constexpr std::string_view kWsRfcSubprotocol = "rfc.sap.com";
inline constexpr std::string_view kWsAcceptGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
// The largest frame payload and joined message accepted: 128 MiB.
inline constexpr std::uint64_t kWsDefaultBudget = 0x8000000;
// The key is the Base64 text of this many random bytes.
inline constexpr std::size_t kWsKeyNonceSize = 16;
inline constexpr std::uint32_t kWsMaskSeed = 0x9E3779B9;
// Stored as the kind of the partial message when none is being joined.
inline constexpr std::uint8_t kWsNoMessage = 0xFF;

// Opcodes.
inline constexpr std::uint8_t kWsOpContinuation = 0x0;
inline constexpr std::uint8_t kWsOpText = 0x1;
inline constexpr std::uint8_t kWsOpBinary = 0x2;
inline constexpr std::uint8_t kWsOpClose = 0x8;
inline constexpr std::uint8_t kWsOpPing = 0x9;
inline constexpr std::uint8_t kWsOpPong = 0xA;

using WsMaskKey = std::array<std::uint8_t, 4>;
using WsKeyNonce = std::array<std::uint8_t, kWsKeyNonceSize>;

struct WsError {
  enum Kind : std::uint8_t {
    PayloadTooLarge,  // length: the payload or joined size
    ContinuationWithoutStart,
    UpgradeRefused,
    InvalidHeaderValue,  // field: which upgrade value was refused
  };

  Kind kind = UpgradeRefused;
  std::uint64_t length = 0;
  std::string field;

  static WsError payload_too_large(std::uint64_t length);
  static WsError continuation_without_start();
  static WsError upgrade_refused();
  static WsError invalid_header_value(std::string field);

  std::string message() const;
  friend bool operator==(const WsError&, const WsError&) = default;
};

// --- handshake

// Base64 of SHA-1 over the key and the WebSocket GUID.
std::string websocket_accept(std::string_view key);

// The Sec-WebSocket-Key: Base64 of 16 bytes the caller draws from a
// cryptographic random source (getrandom, RAND_bytes) for every transport.
std::string make_websocket_key(const WsKeyNonce& nonce);

// The upgrade request head, ending with the empty line. A control character
// in any value (or a blank in the path) would let a caller's text add header
// lines or break the request line; such a value is refused.
Result<std::string, WsError> build_upgrade_request(std::string_view path,
                                                   std::string_view host_port,
                                                   std::string_view subprotocol,
                                                   std::string_view client,
                                                   std::string_view language, std::string_view key);

// Checks the response head (without its final empty line): a status line
// with the code 101 and a Sec-WebSocket-Accept header (name in any case, the
// last one when repeated) equal to the accept value of the key.
Status<WsError> check_upgrade_response(std::string_view head, std::string_view key);

// The client's masking keys: a 32-bit linear congruential sequence from
// kWsMaskSeed; each key is the next state, most significant byte first.
class WsMaskState {
 public:
  WsMaskKey next_key();
  std::uint32_t state() const { return state_; }

 private:
  std::uint32_t state_ = kWsMaskSeed;
};

// --- frames

struct WsFrameKind {
  enum Tag : std::uint8_t { Continuation, Text, Binary, Close, Ping, Pong, Other };

  Tag tag = Other;
  std::uint8_t opcode = 0;  // 0..15

  static WsFrameKind from_opcode(std::uint8_t opcode);
  static WsFrameKind continuation() { return {Continuation, kWsOpContinuation}; }
  static WsFrameKind text() { return {Text, kWsOpText}; }
  static WsFrameKind binary() { return {Binary, kWsOpBinary}; }
  static WsFrameKind close() { return {Close, kWsOpClose}; }
  static WsFrameKind ping() { return {Ping, kWsOpPing}; }
  static WsFrameKind pong() { return {Pong, kWsOpPong}; }
  static WsFrameKind other(std::uint8_t opcode) {
    return {Other, static_cast<std::uint8_t>(opcode & 0x0F)};
  }
  bool is_data() const { return tag == Text || tag == Binary; }
  friend bool operator==(const WsFrameKind&, const WsFrameKind&) = default;
};

// XORs data with key[(phase + i) mod 4].
void ws_apply_mask(std::span<std::uint8_t> data, const WsMaskKey& key, std::size_t phase = 0);

// Appends one frame, the length in its shortest form, the payload masked
// when a key is given.
void write_ws_frame(WsFrameKind kind, bool fin, ByteView payload,
                    const std::optional<WsMaskKey>& key, Bytes& out);

// A frame head whose length field (and masking key) has arrived.
struct WsFrameHeader {
  WsFrameKind kind;
  bool fin = false;
  bool masked = false;
  WsMaskKey key{};
  std::uint64_t payload_length = 0;
  std::size_t header_size = 0;  // bytes before the payload
};

// nullopt while the head is incomplete; payload too large as soon as the
// length is known to exceed the budget.
Result<std::optional<WsFrameHeader>, WsError> read_ws_frame_header(ByteView bytes,
                                                                   std::uint64_t budget);

struct WsFrame {
  Bytes payload;  // unmasked
  WsFrameKind kind;
  std::uint8_t opcode = 0;
  bool fin = false;
  std::size_t size = 0;  // bytes the frame occupied
};

// nullopt while incomplete.
Result<std::optional<WsFrame>, WsError> read_ws_frame(ByteView bytes, std::uint64_t budget);

// --- messages

struct WsPartialMessage {
  Bytes joined;
  std::uint64_t budget = kWsDefaultBudget;
  std::uint8_t kind = kWsNoMessage;  // opcode of the message being joined

  bool in_progress() const { return kind != kWsNoMessage; }
  void reset();
};

struct WsStep {
  enum What : std::uint8_t {
    Message,   // `message` holds a complete data message
    Control,   // `frame` is a control or other-kind frame, handed up as it is
    NeedMore,  // more bytes are needed
  };

  What what = NeedMore;
  Bytes message;
  WsFrame frame;
  std::size_t used = 0;  // leading bytes of the input used; drop them
};

// One step of joining: a complete message, a control frame or "need more";
// every outcome says how many bytes were used. A fragment whose joined size
// would exceed the budget, or a continuation with no message open (or a new
// data frame while one is open), fails as soon as its head has arrived.
Result<WsStep, WsError> next_ws_message(WsPartialMessage& state, ByteView received);

// A receive buffer that consumes from the front by moving an offset and
// moves its unconsumed bytes to the front only once at least half of it has
// been consumed.
class WsReceiveBuffer {
 public:
  void push(ByteView bytes);
  void consume(std::size_t n);  // n <= size()
  ByteView view() const { return ByteView(buffer_).subspan(consumed_); }
  std::size_t size() const { return buffer_.size() - consumed_; }
  bool empty() const { return size() == 0; }

 private:
  Bytes buffer_;
  std::size_t consumed_ = 0;
};

}  // namespace quib::wire

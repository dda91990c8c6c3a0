// The NI/CPIC transport: messages travel as CPIC records (an 80-byte APPC
// header and up to 28000 bytes of data) in NI frames over one TCP
// connection, optionally protected by an SNC security context.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/net/socket.hpp"
#include "proto/transport/snc_channel.hpp"
#include "proto/transport/transport.hpp"
#include "snc/frame.hpp"
#include "wire/appc.hpp"
#include "wire/bytes.hpp"
#include "wire/ni.hpp"

namespace quib::proto {

// ---------------------------------------------------------------- header templates

// An 80-byte APPC header template. Bytes 40..47 are replaced by the
// transport's conversation id whenever a record is built from it.
using AppcTemplate = std::array<std::uint8_t, wire::kAppcHeaderSize>;

namespace detail {
constexpr void put(AppcTemplate& t, std::size_t offset, std::initializer_list<std::uint8_t> bytes) {
  for (std::uint8_t b : bytes) t[offset++] = b;
}
constexpr void put_text(AppcTemplate& t, std::size_t offset, std::string_view text) {
  for (char c : text) t[offset++] = static_cast<std::uint8_t>(c);
}
}  // namespace detail

// The fixed first eight bytes of a client template, by request byte.
constexpr void put_request_head(AppcTemplate& t, std::uint8_t request) {
  detail::put(t, 0, {wire::kAppcVersion, request, 0x02, 0x00, 0xFF, 0xFF, 0x00, 0x00});
}

inline constexpr AppcTemplate kDataTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcData);
  t[27] = 0x08;
  detail::put(t, 30, {0x05, 0x0C});
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

inline constexpr AppcTemplate kSncDataTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcData);
  t[10] = 0x08;
  t[13] = 0x01;
  t[16] = 0x01;
  detail::put(t, 17, {0xFF, 0xFF, 0xFF, 0xFF});
  t[21] = 0x02;
  t[25] = 0x01;
  t[27] = 0x08;
  detail::put(t, 30, {0x05, 0x0C});
  t[50] = 0x85;
  t[55] = 0x02;
  detail::put(t, 58, {0x05, 0x26});
  t[63] = 0x01;
  detail::put_text(t, 69, "4103");
  t[79] = 0x03;
  return t;
}();

inline constexpr AppcTemplate kSncHandshakeTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcData);
  t[10] = 0x28;
  t[27] = 0x08;
  detail::put(t, 30, {0x05, 0x0C});
  t[50] = 0x85;
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

// Bytes 48..51 carry the piece length (big-endian) when a record is built.
inline constexpr AppcTemplate kChunkTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, 0x08);
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x08});
  return t;
}();
inline constexpr std::size_t kChunkLengthOffset = 48;

inline constexpr AppcTemplate kDataLastTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcDataLast);
  t[30] = 0x01;
  detail::put(t, 48, {0x00, 0x00, 0x6D, 0x60});  // 28000, whatever the piece sizes were
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x08});
  return t;
}();

inline constexpr AppcTemplate kDeallocateTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcDeallocate);
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

inline constexpr AppcTemplate kCancelTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, wire::kAppcCancel);
  t[16] = 0x08;
  t[30] = 0x01;
  detail::put(t, 76, {0xFF, 0xFF, 0x00, 0x0A});
  return t;
}();

// A conversation id of eight blanks: the id of a transport before APPC
// initialize has stored the server's.
inline constexpr wire::ConversationId kBlankConversationId = {' ', ' ', ' ', ' ',
                                                              ' ', ' ', ' ', ' '};

// The record bytes of a template: the template with `conversation_id` at
// 40..47.
AppcTemplate appc_record_header(const AppcTemplate& header,
                                const wire::ConversationId& conversation_id);

// One complete NI frame: length, header (with the conversation id), data.
void append_cpic_frame(wire::Bytes& out, const AppcTemplate& header,
                       const wire::ConversationId& conversation_id, wire::ByteView data);

// The 84-byte cancel frame of a conversation.
wire::Bytes cancel_frame(const wire::ConversationId& conversation_id);

// ---------------------------------------------------------------- transport

// One received CPIC record.
struct CpicRecord {
  wire::AppcRequestType request_type;
  std::uint8_t request_byte = 0;
  wire::Bytes data;  // the payload after the header; with SNC on, unwrapped
};

// Maps a request type to what `receive` reports.
ReceiveKind receive_kind_of(wire::AppcRequestType type);

class NiTransport final : public Transport {
 public:
  // Largest payload a received frame may declare.
  static constexpr std::uint64_t kFrameLimit = wire::kNiDefaultLimit;
  // Bytes asked of the socket per read.
  static constexpr std::size_t kReadPiece = 16384;

  // A transport over a connected socket: empty frame reader, conversation id
  // eight blanks, no SNC context, SNC frame count 0.
  // The socket keeps its wait limit and waits.
  explicit NiTransport(Socket socket);
  ~NiTransport() override = default;
  NiTransport(const NiTransport&) = delete;
  NiTransport& operator=(const NiTransport&) = delete;

  // ---- Transport
  ProtoStatus send_counted(wire::ByteView data, std::uint64_t& counter) override;
  ProtoStatus send(wire::ByteView data) override;
  ProtoResult<Received> receive(std::string_view label) override;
  wire::Status<IoError> set_timeout(std::optional<Duration> timeout) override;
  void set_waits(std::shared_ptr<const Waits> waits) override;
  std::string conversation_id() const override;
  ProtoStatus close() override;
  ProtoResult<std::optional<CancelHandle>> cancel_handle() override;

  // ---- CPIC layer (also used by the session set-up)

  // Sends `data` under `header`: one record when it holds at most 28000
  // bytes; otherwise Chunk records of 28000 bytes and a final DataLast
  // record (the caller's template is then not used). The counter grows by
  // the data bytes that were written.
  ProtoStatus send_cpic(const AppcTemplate& header, wire::ByteView data, std::uint64_t& counter);
  // The next CPIC record; with SNC on, Data and DataLast records are unwrapped.
  ProtoResult<CpicRecord> receive_cpic(std::string_view label);
  // The next NI frame, copied out of the receive buffer.
  ProtoResult<wire::Bytes> read_ni_frame(std::string_view label);
  // One NI frame holding `payload` (the routing handshake and route request).
  ProtoStatus write_ni_frame(wire::ByteView payload);

  const wire::ConversationId& conversation_id_bytes() const { return conversation_id_; }
  void set_conversation_id(const wire::ConversationId& id) { conversation_id_ = id; }

  bool snc_active() const { return snc_ != nullptr; }
  // Installs an established context (releasing one already held).
  void install_snc(std::unique_ptr<SncChannel> channel) { snc_ = std::move(channel); }
  std::uint64_t snc_frame_count() const { return snc_frame_count_; }
  void count_snc_frame() { ++snc_frame_count_; }

  const Socket& socket() const { return socket_; }
  const WriteLock& write_lock() const { return write_lock_; }

 private:
  // The next frame as a view into the reader, valid until the next read.
  ProtoResult<wire::ByteView> next_frame(std::string_view label);
  ProtoStatus write_frame_bytes(wire::ByteView frame);

  wire::NiFrameReader reader_;
  std::unique_ptr<SncChannel> snc_;
  Socket socket_;
  wire::ConversationId conversation_id_ = kBlankConversationId;
  std::uint64_t snc_frame_count_ = 0;
  WriteLock write_lock_;
};

}  // namespace quib::proto

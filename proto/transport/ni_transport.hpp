// The NI/CPIC transport: messages travel as CPIC records (an 80-byte APPC
// header and up to 28000 bytes of data) in NI frames over one TCP
// connection, optionally protected by an SNC security context.
#pragma once

#include <cstddef>
#include <cstdint>
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
#include "wire/appc_templates.hpp"
#include "wire/bytes.hpp"
#include "wire/ni.hpp"

namespace quib::proto {

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
  const Waits* waits() const override { return socket_.waits().get(); }
  std::string conversation_id() const override;
  ProtoStatus close() override;
  ProtoResult<std::optional<CancelHandle>> cancel_handle() override;

  // ---- CPIC layer (also used by the session set-up)

  // Sends `data` under `header`: one record when it holds at most 28000
  // bytes; otherwise Chunk records of 28000 bytes and a final DataLast
  // record (the caller's template is then not used). The counter grows by
  // the data bytes that were written.
  ProtoStatus send_cpic(const wire::AppcTemplate& header, wire::ByteView data,
                        std::uint64_t& counter);
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
  // One frame as its head and data (either may be empty), with the write
  // lock held; a failure marks the stream broken.
  ProtoStatus write_frame_bytes(wire::ByteView head, wire::ByteView data);

  wire::NiFrameReader reader_;
  std::unique_ptr<SncChannel> snc_;
  Socket socket_;
  wire::ConversationId conversation_id_ = wire::kBlankConversationId;
  std::uint64_t snc_frame_count_ = 0;
  WriteLock write_lock_;
};

}  // namespace quib::proto

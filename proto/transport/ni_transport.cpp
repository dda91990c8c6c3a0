#include "proto/transport/ni_transport.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>

#include "proto/base/trace.hpp"
#include "proto/base/wipe.hpp"
#include "proto/transport/ni_frames.hpp"
#include "wire/container.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

ReceiveKind receive_kind_of(wire::AppcRequestType type) {
  switch (type.kind) {
    case wire::AppcRequestType::Data:
    case wire::AppcRequestType::DataLast:
      return ReceiveKind::DataRecord;
    case wire::AppcRequestType::Canceled:
      return ReceiveKind::CancelRecord;
    default:
      return ReceiveKind::ControlRecord;
  }
}

NiTransport::NiTransport(Socket socket)
    : reader_(kFrameLimit),
      socket_(std::move(socket)),
      write_lock_(std::make_shared<WriteGate>()) {}

// ---------------------------------------------------------------- writing

ProtoStatus NiTransport::write_frame_bytes(wire::ByteView head, wire::ByteView data) {
  // Called with the write lock held.
  auto sent = socket_.send_all(head, data);
  if (!sent) {
    write_lock_->broken = true;
    return wire::err(std::move(sent).error());
  }
  return wire::ok_unit;
}

ProtoStatus NiTransport::write_ni_frame(wire::ByteView payload) {
  wire::Bytes frame;
  WipeOnExit wipe(frame);
  frame.reserve(wire::kNiLengthSize + payload.size());
  QUIB_CHECK(wire::write_ni_frame(payload, frame));
  std::lock_guard<std::mutex> lock(write_lock_->mutex);
  return write_frame_bytes(frame, {});
}

ProtoStatus NiTransport::send_cpic(const wire::AppcTemplate& header, wire::ByteView data,
                                   std::uint64_t& counter) {
  // Each frame goes out as its head (NI length and APPC header) beside the
  // data where the caller holds it: the message is never copied.
  if (data.size() <= wire::kAppcChunkSize) {
    trace_wire(kTraceSend, data);
    const wire::CpicFrameHead head = wire::cpic_frame_head(header, conversation_id_, data.size());
    std::lock_guard<std::mutex> lock(write_lock_->mutex);
    QUIB_CHECK(write_frame_bytes(head, data));
    counter += data.size();
    return wire::ok_unit;
  }

  // The whole chunked message goes out under one hold of the write lock, so
  // a cancel record can never land between its pieces.
  std::lock_guard<std::mutex> lock(write_lock_->mutex);
  for (wire::ByteView piece : wire::chunk_appc_data(data)) {
    wire::AppcTemplate chunk = wire::kChunkTemplate;
    wire::store_be32(chunk.data() + wire::kChunkLengthOffset,
                     static_cast<std::uint32_t>(piece.size()));
    const wire::CpicFrameHead head = wire::cpic_frame_head(chunk, conversation_id_, piece.size());
    QUIB_CHECK(write_frame_bytes(head, piece));
    counter += piece.size();
  }
  const wire::CpicFrameHead last =
      wire::cpic_frame_head(wire::kDataLastTemplate, conversation_id_, 0);
  return write_frame_bytes(last, {});
}

ProtoStatus NiTransport::send_counted(wire::ByteView data, std::uint64_t& counter) {
  if (!snc_) return send_cpic(wire::kDataTemplate, data, counter);

  QUIB_TRY(wire::Bytes wrapped, snc_->wrap_message(data));
  WipeOnExit wipe_wrapped(wrapped);
  ++snc_frame_count_;
  QUIB_TRY(wire::Bytes frame,
           snc::write_snc_frame(snc::SncFrameKind::wrapped(), std::nullopt, wrapped));
  WipeOnExit wipe_frame(frame);
  QUIB_CHECK(wire::append_message_trailer(frame));
  std::uint64_t on_wire = 0;
  QUIB_CHECK(send_cpic(wire::kSncDataTemplate, frame, on_wire));
  // The caller counts the plain message, not the larger wrapped frame.
  counter += data.size();
  return wire::ok_unit;
}

ProtoStatus NiTransport::send(wire::ByteView data) {
  std::uint64_t ignored = 0;
  return send_counted(data, ignored);
}

ProtoStatus NiTransport::close() {
  std::uint64_t ignored = 0;
  return send_cpic(wire::kDeallocateTemplate, {}, ignored);
}

// ---------------------------------------------------------------- reading

ProtoResult<wire::ByteView> NiTransport::next_frame(std::string_view label) {
  std::array<std::uint8_t, kReadPiece> piece;
  return next_ni_frame(socket_, reader_, piece, label);
}

ProtoResult<wire::Bytes> NiTransport::read_ni_frame(std::string_view label) {
  QUIB_TRY(wire::ByteView frame, next_frame(label));
  return wire::Bytes(frame.begin(), frame.end());
}

ProtoResult<CpicRecord> NiTransport::receive_cpic(std::string_view label) {
  QUIB_TRY(wire::ByteView frame, next_frame(label));
  QUIB_TRY(wire::AppcRecord record, wire::parse_appc_header(frame));
  CpicRecord out;
  out.request_type = record.request_type;
  out.request_byte = record.request_byte;

  const bool data_record = record.request_type.kind == wire::AppcRequestType::Data ||
                           record.request_type.kind == wire::AppcRequestType::DataLast;
  if (snc_ && data_record && !record.payload.empty()) {
    QUIB_TRY(snc::SncFrame snc_frame, snc::parse_snc_frame(record.payload));
    if (snc_frame.kind.tag != snc::SncFrameKind::Wrapped) {
      return wire::err(ProtocolError::snc(fmt::format(
          "expected wrapped data on an established context, got {}", snc_frame.kind.debug())));
    }
    QUIB_TRY(out.data, snc_->unwrap_message(snc_frame.token));
  } else {
    out.data.assign(record.payload.begin(), record.payload.end());
  }
  trace_wire(kTraceRecv, out.data);
  return out;
}

ProtoResult<Received> NiTransport::receive(std::string_view label) {
  QUIB_TRY(CpicRecord record, receive_cpic(label));
  return Received{std::move(record.data), receive_kind_of(record.request_type)};
}

// ---------------------------------------------------------------- the rest

wire::Status<IoError> NiTransport::set_timeout(std::optional<Duration> timeout) {
  return socket_.set_wait_limit(timeout);
}

void NiTransport::set_waits(std::shared_ptr<const Waits> waits) {
  socket_.set_waits(std::move(waits));
}

std::string NiTransport::conversation_id() const {
  return wire::utf8_lossy(wire::ByteView(conversation_id_));
}

ProtoResult<std::optional<CancelHandle>> NiTransport::cancel_handle() {
  QUIB_TRY(Socket dup, socket_.duplicate());
  // The cancel frame never waits long: cancel() returns at once.
  QUIB_CHECK(dup.set_wait_limit(kCancelWriteLimit));
  return std::optional<CancelHandle>(
      CancelHandle(std::move(dup), std::make_shared<std::atomic<bool>>(true),
                   wire::cancel_frame(conversation_id_), write_lock_));
}

}  // namespace quib::proto

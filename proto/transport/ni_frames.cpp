#include "proto/transport/ni_frames.hpp"

#include <optional>

namespace quib::proto {

ProtoResult<wire::ByteView> next_ni_frame(const Socket& socket, wire::NiFrameReader& reader,
                                          std::span<std::uint8_t> piece, std::string_view label) {
  for (;;) {
    QUIB_TRY(std::optional<wire::ByteView> frame, reader.next_ni_frame());
    if (frame) return *frame;
    QUIB_TRY(std::size_t n, socket.receive_some(piece));
    if (n == 0) return wire::err(ProtocolError::closed_by_peer(label));
    reader.push(wire::ByteView(piece.data(), n));
  }
}

ProtoResult<wire::Bytes> read_ni_frame(const Socket& socket, wire::NiFrameReader& reader,
                                       std::span<std::uint8_t> piece, std::string_view label) {
  QUIB_TRY(wire::ByteView frame, next_ni_frame(socket, reader, piece, label));
  return wire::Bytes(frame.begin(), frame.end());
}

ProtoStatus send_ni_frame(const Socket& socket, wire::ByteView payload) {
  wire::Bytes frame;
  frame.reserve(wire::kNiLengthSize + payload.size());
  QUIB_CHECK(wire::write_ni_frame(payload, frame));
  QUIB_CHECK(socket.send_all(frame));
  return wire::ok_unit;
}

}  // namespace quib::proto

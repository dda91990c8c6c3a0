// NI frames straight over a socket: the reading loop every NI connection of
// this layer shares (the session transport, the message-server lookup, the
// registered server) and the writing of one frame. The reader holds only
// what has arrived, so a declared length allocates nothing.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/net/socket.hpp"
#include "wire/bytes.hpp"
#include "wire/ni.hpp"

namespace quib::proto {

// The next NI frame: from what `reader` holds, else from what `socket`
// brings, read into `piece` a piece at a time. A view into the reader,
// valid until its next use; the peer's close is ClosedByPeer (`label`).
ProtoResult<wire::ByteView> next_ni_frame(const Socket& socket, wire::NiFrameReader& reader,
                                          std::span<std::uint8_t> piece, std::string_view label);

// The same, copied out of the reader.
ProtoResult<wire::Bytes> read_ni_frame(const Socket& socket, wire::NiFrameReader& reader,
                                       std::span<std::uint8_t> piece, std::string_view label);

// One NI frame holding `payload`, written whole.
ProtoStatus send_ni_frame(const Socket& socket, wire::ByteView payload);

}  // namespace quib::proto

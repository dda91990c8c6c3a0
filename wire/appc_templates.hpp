// The fixed APPC headers this system writes: the templates of the client
// transport's CPIC records (data, SNC data and handshake, chunks, the last
// chunk, deallocate, cancel) and of the registered server's replies, and
// the small builders that put a conversation id and a piece length into
// them. Every other byte of a header is the template's.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "wire/appc.hpp"
#include "wire/bytes.hpp"
#include "wire/fixed_bytes.hpp"

namespace quib::wire {

// An 80-byte APPC header template. Bytes 40..47 are replaced by the
// conversation id whenever a record is built from it.
using AppcTemplate = std::array<std::uint8_t, kAppcHeaderSize>;

// Where a header carries the length of the piece it heads (big-endian).
inline constexpr std::size_t kAppcPieceLengthOffset = 48;

// The fixed first eight bytes of a client template, by request byte.
constexpr void put_request_head(AppcTemplate& t, std::uint8_t request) {
  put_bytes(t, 0, {kAppcVersion, request, 0x02, 0x00, 0xFF, 0xFF, 0x00, 0x00});
}

// ---------------------------------------------------------------- client records

inline constexpr AppcTemplate kDataTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, kAppcData);
  t[27] = 0x08;
  put_bytes(t, 30, {0x05, 0x0C});
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

inline constexpr AppcTemplate kSncDataTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, kAppcData);
  t[10] = 0x08;
  t[13] = 0x01;
  t[16] = 0x01;
  put_bytes(t, 17, {0xFF, 0xFF, 0xFF, 0xFF});
  t[21] = 0x02;
  t[25] = 0x01;
  t[27] = 0x08;
  put_bytes(t, 30, {0x05, 0x0C});
  t[50] = 0x85;
  t[55] = 0x02;
  put_bytes(t, 58, {0x05, 0x26});
  t[63] = 0x01;
  put_text(t, 69, "4103");
  t[79] = 0x03;
  return t;
}();

inline constexpr AppcTemplate kSncHandshakeTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, kAppcData);
  t[10] = 0x28;
  t[27] = 0x08;
  put_bytes(t, 30, {0x05, 0x0C});
  t[50] = 0x85;
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

// The request byte of a chunk of a long message.
inline constexpr std::uint8_t kAppcChunk = 0x08;

// Bytes 48..51 carry the piece length when a record is built.
inline constexpr AppcTemplate kChunkTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, kAppcChunk);
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x08});
  return t;
}();
inline constexpr std::size_t kChunkLengthOffset = kAppcPieceLengthOffset;

inline constexpr AppcTemplate kDataLastTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, kAppcDataLast);
  t[30] = 0x01;
  put_bytes(t, 48, {0x00, 0x00, 0x6D, 0x60});  // 28000, whatever the piece sizes were
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x08});
  return t;
}();

inline constexpr AppcTemplate kDeallocateTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, kAppcDeallocate);
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x03});
  return t;
}();

inline constexpr AppcTemplate kCancelTemplate = [] {
  AppcTemplate t{};
  put_request_head(t, kAppcCancel);
  t[16] = 0x08;
  t[30] = 0x01;
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x0A});
  return t;
}();

// A conversation id of eight blanks: the id of a transport before APPC
// initialize has stored the server's.
inline constexpr ConversationId kBlankConversationId = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// ---------------------------------------------------------------- registered server

// The header of a reply piece: 06 08 07 00 FF FF 00 00, zeros, FF FF 00 09
// at 76..79; the piece length goes to 48..51.
inline constexpr AppcTemplate kServerReplyTemplate = [] {
  AppcTemplate t{};
  put_bytes(t, 0, {kAppcVersion, 0x08, 0x07, 0x00, 0xFF, 0xFF, 0x00, 0x00});
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x09});
  return t;
}();

// The header of an exception reply piece: the reply header with 0x05 at 79.
inline constexpr AppcTemplate kServerExceptionTemplate = [] {
  AppcTemplate t = kServerReplyTemplate;
  t[79] = 0x05;
  return t;
}();

// The first record of the end of a conversation after a reply:
// 06 0B 07 00 FF FF 00 00, the conversation id, FF FF 00 09 at 76..79.
inline constexpr AppcTemplate kConversationEndTemplate = [] {
  AppcTemplate t{};
  put_bytes(t, 0, {kAppcVersion, kAppcDeallocate, 0x07, 0x00, 0xFF, 0xFF, 0x00, 0x00});
  put_bytes(t, 76, {0xFF, 0xFF, 0x00, 0x09});
  return t;
}();

// ---------------------------------------------------------------- builders

// The record bytes of a template: the template with `conversation_id` at
// 40..47.
AppcTemplate appc_record_header(const AppcTemplate& header, const ConversationId& conversation_id);

// The same with `piece_length` at 48..51 (big-endian).
AppcTemplate appc_piece_header(const AppcTemplate& header, const ConversationId& conversation_id,
                               std::uint32_t piece_length);

// One complete NI frame: length, header (with the conversation id), data.
void append_cpic_frame(Bytes& out, const AppcTemplate& header,
                       const ConversationId& conversation_id, ByteView data);

// The 84-byte cancel frame of a conversation.
Bytes cancel_frame(const ConversationId& conversation_id);

}  // namespace quib::wire

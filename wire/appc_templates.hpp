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
#include "wire/ni.hpp"

namespace quib::wire {

// An 80-byte APPC header template. Bytes 40..47 are replaced by the
// conversation id whenever a record is built from it.
using AppcTemplate = AppcHeaderBytes;

// ---------------------------------------------------------------- client records

// The fields shared by the data records: Data, SNC data and SNC handshake.
inline constexpr AppcHeaderFields kDataFields = {
    .request = kAppcData, .body_length = 8, .mode = 0x05, .mode_option = 0x0C};

inline constexpr AppcTemplate kDataTemplate = [] {
  AppcHeaderFields f = kDataFields;
  f.trailer = 0xFFFF0003;
  return write_appc_header(f);
}();

inline constexpr AppcTemplate kSncDataTemplate = [] {
  AppcHeaderFields f = kDataFields;
  f.flags = 0x08;
  f.security = 0x01;
  f.control = 0x01;
  f.limit = 0xFFFFFFFF;
  f.control_option = 0x02;
  f.security_option = 0x01;
  f.info = {0x00, 0x00, 0x85, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00, 0x05, 0x26, 0x00, 0x00,
            0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, '4',  '1',  '0',  '3',  0x00, 0x00, 0x00};
  f.trailer = 0x00000003;
  return write_appc_header(f);
}();

inline constexpr AppcTemplate kSncHandshakeTemplate = [] {
  AppcHeaderFields f = kDataFields;
  f.flags = 0x28;
  f.info = {0x00, 0x00, 0x85, 0x00};
  f.trailer = 0xFFFF0003;
  return write_appc_header(f);
}();

// The request byte of a chunk of a long message.
inline constexpr std::uint8_t kAppcChunk = 0x08;

// The piece length goes to the info area when a record is built.
inline constexpr AppcTemplate kChunkTemplate =
    write_appc_header({.request = kAppcChunk, .trailer = 0xFFFF0008});
inline constexpr std::size_t kChunkLengthOffset = kAppcPieceLengthOffset;

// 28000 as the piece length, whatever the piece sizes were.
inline constexpr AppcTemplate kDataLastTemplate =
    write_appc_header({.request = kAppcDataLast,
                       .mode = 0x01,
                       .info = appc_piece_info(static_cast<std::uint32_t>(kAppcChunkSize)),
                       .trailer = 0xFFFF0008});

inline constexpr AppcTemplate kDeallocateTemplate =
    write_appc_header({.request = kAppcDeallocate, .trailer = 0xFFFF0003});

inline constexpr AppcTemplate kCancelTemplate = write_appc_header(
    {.request = kAppcCancel, .control = 0x08, .mode = 0x01, .trailer = 0xFFFF000A});

// A conversation id of eight blanks: the id of a transport before APPC
// initialize has stored the server's.
inline constexpr ConversationId kBlankConversationId = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};

// ---------------------------------------------------------------- registered server

// The header of a reply piece; the piece length goes to the info area.
inline constexpr AppcTemplate kServerReplyTemplate =
    write_appc_header({.request = kAppcChunk, .origin = kAppcServerOrigin, .trailer = 0xFFFF0009});

// The header of an exception reply piece: the reply header with 0x05 at 79.
inline constexpr AppcTemplate kServerExceptionTemplate =
    write_appc_header({.request = kAppcChunk, .origin = kAppcServerOrigin, .trailer = 0xFFFF0005});

// The first record of the end of a conversation after a reply; the
// conversation id goes to 40..47.
inline constexpr AppcTemplate kConversationEndTemplate = write_appc_header(
    {.request = kAppcDeallocate, .origin = kAppcServerOrigin, .trailer = 0xFFFF0009});

// ---------------------------------------------------------------- builders

// The record bytes of a template: the template with `conversation_id` at
// 40..47.
AppcTemplate appc_record_header(const AppcTemplate& header, const ConversationId& conversation_id);

// The same with `piece_length` at 48..51 (big-endian).
AppcTemplate appc_piece_header(const AppcTemplate& header, const ConversationId& conversation_id,
                               std::uint32_t piece_length);

// The bytes of an NI frame that come before its data: the NI length of a
// frame carrying `data_size` bytes (at most kAppcChunkSize), then the header
// with the conversation id. Written beside the data, the pair is the frame.
using CpicFrameHead = std::array<std::uint8_t, kNiLengthSize + kAppcHeaderSize>;
CpicFrameHead cpic_frame_head(const AppcTemplate& header, const ConversationId& conversation_id,
                              std::size_t data_size);

// One complete NI frame: length, header (with the conversation id), data.
void append_cpic_frame(Bytes& out, const AppcTemplate& header,
                       const ConversationId& conversation_id, ByteView data);

// The 84-byte cancel frame of a conversation.
Bytes cancel_frame(const ConversationId& conversation_id);

}  // namespace quib::wire

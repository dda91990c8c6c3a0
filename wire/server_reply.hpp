// The replies of a registered server: the reply container (the exports the
// call asked for) and the exception container (an ABAP exception key or an
// ABAP message), the 80-byte headers and the NI frame payloads that carry a
// container, and the three records that end the conversation after a reply.
// Pure format code: the session sends the frames.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "wire/appc.hpp"
#include "wire/bytes.hpp"
#include "wire/inbound_call.hpp"
#include "wire/result.hpp"
#include "wire/server_error.hpp"
#include "wire/types.hpp"

namespace quib::wire {

// What an exception reply sends: a plain ABAP exception key, or an ABAP
// message (only the first four variables are sent).
struct ExceptionReply {
  struct Key {
    std::string key;
    friend bool operator==(const Key&, const Key&) = default;
  };
  struct Message {
    std::string msg_class;
    std::string msg_number;
    std::string msg_type;
    std::vector<std::string> variables;
    friend bool operator==(const Message&, const Message&) = default;
  };
  std::variant<Key, Message> content;

  static ExceptionReply exception_key(std::string key) { return {Key{std::move(key)}}; }
  static ExceptionReply abap_message(std::string msg_class, std::string msg_number,
                                     std::string msg_type, std::vector<std::string> variables) {
    return {Message{std::move(msg_class), std::move(msg_number), std::move(msg_type),
                    std::move(variables)}};
  }
  friend bool operator==(const ExceptionReply&, const ExceptionReply&) = default;
};

// One export value of a reply: the parameter name and its value. An export
// encoded for its field (by whoever holds the function's description: its
// type, length and decimals) is a Bytes value of the field's bytes, which
// go as they are. Otherwise each value goes by its kind: a Text as
// UTF-16LE, an Int as an Int4 (4 bytes little-endian), a Float as its 8
// IEEE 754 bytes little-endian, Bytes and Undecoded values as their bytes.
using ExportValue = std::pair<std::string, RfcValue>;

// The normal reply container: the reply header records (with `program_id`
// in Program), the exports that the call requested (all of them when it
// requested none) in the order given, the closing 0x0667 record and End.
// An Int outside Int4 fails with ExportTooWide.
Result<Bytes, ServerRecordError> build_reply_container(std::string_view program_id,
                                                       const InboundCall& call,
                                                       std::span<const ExportValue> exports);

// The exception reply container: the reply header records, the exception
// key or the ABAP message records, the closing 0x0667 record and End.
Result<Bytes, ServerRecordError> build_exception_container(std::string_view program_id,
                                                           const ExceptionReply& reply);

enum class ReplyKind : std::uint8_t { Normal, Exception };

// The 80-byte header under which a piece of a reply container travels, with
// the conversation id at 40..47 and the piece length at 48..51.
Bytes reply_header(ReplyKind kind, const ConversationId& conversation_id,
                   std::uint32_t piece_length);

// The NI frame payloads that carry a container: pieces of at most 28000
// bytes, each under the reply or exception header with the conversation id
// and the piece length.
std::vector<Bytes> container_frames(ReplyKind kind, const ConversationId& conversation_id,
                                    ByteView container);

// The three 80-byte records that end a conversation after a reply.
std::vector<Bytes> end_of_conversation_records(const ConversationId& conversation_id);

}  // namespace quib::wire

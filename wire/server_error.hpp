// The error of the registered server's formats: the verdict on the gateway's
// answer to the registration, the reassembly and decoding of inbound calls,
// and the reply containers. Each error names the step of the exchange it
// arose in, so that the session can report it under that step's label.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

#include "wire/appc.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"

namespace quib::wire {

// The steps of a registered server's exchange with its gateway.
enum class ServerStep : std::uint8_t {
  Registration,  // the gateway's answer to the registration
  Announcement,  // the announcement of an inbound call
  Request,       // the request record of an inbound call
  Continuation,  // a continuation record of an inbound call
  Reply,         // encoding a reply
};

struct ServerRecordError {
  enum Kind : std::uint8_t {
    ShortRecord,        // length: a record shorter than its 80-byte header
    WrongRequest,       // request: the request byte found (0 when the record has none)
    ContinuationDue,    // request, reassembled: another record where a continuation was due
    OtherConversation,  // found, opened: the record's conversation id and the announcement's
    ShortPayload,       // declared, length: fewer payload bytes than the header declares
    RequestTooLarge,    // limit, reassembled: the request would outgrow the limit
    RecordAfterLast,    // a record pushed after the last one of a request
    Container,          // container: the request's records do not read, or the reply's do not fit
    Refused,            // program_id, text: the gateway's "*ERR*" text
    UnclearAnswer,      // bytes: an answer that is neither an acceptance nor a refusal
    ExportTooWide,      // name, value: an undescribed Int export outside Int4
  };

  Kind kind = ShortRecord;
  ServerStep step = ServerStep::Request;
  std::uint64_t length = 0;       // ShortRecord: the record; ShortPayload: the bytes present
  std::uint8_t request = 0;       // WrongRequest, ContinuationDue
  std::uint64_t reassembled = 0;  // ContinuationDue, RequestTooLarge: payload bytes so far
  std::uint64_t declared = 0;     // ShortPayload
  std::uint64_t limit = 0;        // RequestTooLarge
  ConversationId found{};         // OtherConversation
  ConversationId opened{};        // OtherConversation
  ContainerError container{};     // Container
  std::string program_id;         // Refused
  std::string text;               // Refused: the gateway's text; ExportTooWide: the export's name
  Bytes bytes;                    // UnclearAnswer
  std::int64_t value = 0;         // ExportTooWide

  static ServerRecordError short_record(ServerStep step, std::uint64_t length) {
    return {.kind = ShortRecord, .step = step, .length = length};
  }
  static ServerRecordError wrong_request(ServerStep step, std::uint8_t request) {
    return {.kind = WrongRequest, .step = step, .request = request};
  }
  static ServerRecordError continuation_due(std::uint8_t request, std::uint64_t reassembled) {
    return {.kind = ContinuationDue,
            .step = ServerStep::Continuation,
            .request = request,
            .reassembled = reassembled};
  }
  static ServerRecordError other_conversation(ServerStep step, const ConversationId& found,
                                              const ConversationId& opened) {
    return {.kind = OtherConversation, .step = step, .found = found, .opened = opened};
  }
  static ServerRecordError short_payload(ServerStep step, std::uint64_t declared,
                                         std::uint64_t present) {
    return {.kind = ShortPayload, .step = step, .length = present, .declared = declared};
  }
  static ServerRecordError request_too_large(ServerStep step, std::uint64_t limit,
                                             std::uint64_t reassembled) {
    return {.kind = RequestTooLarge, .step = step, .reassembled = reassembled, .limit = limit};
  }
  static ServerRecordError record_after_last() {
    return {.kind = RecordAfterLast, .step = ServerStep::Continuation};
  }
  static ServerRecordError container_error(ServerStep step, ContainerError error) {
    return {.kind = Container, .step = step, .container = std::move(error)};
  }
  static ServerRecordError refused(std::string program_id, std::string text) {
    return {.kind = Refused,
            .step = ServerStep::Registration,
            .program_id = std::move(program_id),
            .text = std::move(text)};
  }
  static ServerRecordError unclear_answer(ByteView bytes) {
    return {.kind = UnclearAnswer,
            .step = ServerStep::Registration,
            .bytes = Bytes(bytes.begin(), bytes.end())};
  }
  static ServerRecordError export_too_wide(std::string name, std::int64_t value) {
    return {
        .kind = ExportTooWide, .step = ServerStep::Reply, .text = std::move(name), .value = value};
  }

  // What is wrong, e.g. "a 79-byte record" (the container error's own text
  // for Container).
  std::string message() const;
  friend bool operator==(const ServerRecordError&, const ServerRecordError&) = default;
};

}  // namespace quib::wire

// Inbound calls of a registered server: the reassembly of one call from the
// records the gateway sends (the announcement, the request record, then
// continuation records until one is marked as the last), and the decoding
// of the call's container records into an InboundCall. Pure format code:
// the session reads the frames and hands them over one by one.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "wire/appc.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/ni.hpp"
#include "wire/result.hpp"
#include "wire/server_error.hpp"

namespace quib::wire {

// ---------------------------------------------------------------- the call

// Record ids read from inbound calls that have no name in the id table.
inline constexpr RecordId kInboundSystemId{0x0003};
inline constexpr RecordId kInboundCallerHost{0x0002};

// One table of an inbound call.
struct InboundTable {
  std::string name;
  std::vector<Bytes> rows;      // one per TableContent record
  std::uint32_t row_width = 0;  // 0 until a header arrives
  bool short_header = false;    // a TableHeader had fewer than 4 bytes

  friend bool operator==(const InboundTable&, const InboundTable&) = default;
};

// One decoded inbound request.
struct InboundCall {
  std::string function;
  std::string destination;
  std::string user;
  std::string client;
  std::string system_id;
  std::string caller_host;
  std::string program;
  std::vector<std::pair<std::string, Bytes>> parameters;
  std::vector<InboundTable> tables;
  std::vector<std::string> requested_outputs;

  friend bool operator==(const InboundCall&, const InboundCall&) = default;
};

// A text as the registered server's formats read it: UTF-8 with invalid
// sequences replaced, trimmed of white space.
std::string lossy_trimmed_text(ByteView bytes);

// Decodes the records of one inbound request, in order of arrival. Texts are
// UTF-8 (invalid sequences replaced) trimmed of white space. Cannot fail:
// records it does not know, and records out of place, are ignored.
InboundCall decode_inbound_call(std::span<const Record> records);

// The records of a reassembled request, read up to End and decoded. A
// container that does not read is Container.
Result<InboundCall, ServerRecordError> decode_inbound_request(ByteView payload);

// ---------------------------------------------------------------- reassembly

// Largest inbound request reassembled from its records. Each record is
// bounded by the frame limit, but their number is the gateway's choice: the
// request as a whole is bounded too, so that a peer that never sends the
// last record cannot make the buffer grow without end.
inline constexpr std::uint64_t kInboundRequestLimit = kNiDefaultLimit;

// Whether a record is the announcement of an inbound call (a whole header
// with the announcement's request byte).
bool is_inbound_announcement(ByteView record);

// Reassembles one inbound call from the records the gateway sends.
class InboundAssembler {
 public:
  enum class Stage : std::uint8_t { Announcement, Request, Continuation, Complete };

  // `limit`: the largest request payload reassembled.
  explicit InboundAssembler(std::uint64_t limit = kInboundRequestLimit) : limit_(limit) {}

  // The step the next record belongs to (a continuation once complete:
  // nothing more is due, and a record pushed then is refused as one).
  ServerStep next_step() const;
  Stage stage() const { return stage_; }
  bool complete() const { return stage_ == Stage::Complete; }

  // Takes the next record. An error ends the call: the caller discards the
  // assembler, and the announcement it belonged to is lost.
  Status<ServerRecordError> push(ByteView record);

  // The conversation id the announcement opened (zeros before it).
  const ConversationId& conversation_id() const { return conversation_id_; }
  // The payload reassembled so far.
  const Bytes& payload() const { return payload_; }

  // The call, once complete: decode_inbound_request of the payload.
  Result<InboundCall, ServerRecordError> decode() const;

 private:
  Status<ServerRecordError> take_record(ServerStep step, ByteView record);

  std::uint64_t limit_;
  Stage stage_ = Stage::Announcement;
  ConversationId conversation_id_{};
  Bytes payload_;
};

}  // namespace quib::wire

// The call exchange: one remote function call on a logged-on RfcConnection,
// from the finished request to the records of the whole reply, and the
// readings of those records given what the caller knows (the function's
// description, the dictionary types of a basXML document). Nothing here
// fetches a description or asks the dictionary: that is proto/invoke's
// business, which reads the reply through this layer.
//
// The exchange sends the request through the connection's transport,
// reassembles the reply, recognises cancellation and gateway errors, and
// feeds the connection's throughput counters. A conversation on which an
// exchange failed between sending the request and reading the whole reply
// (an I/O error, a time-out, a peer that closed, a gateway error, a cancel)
// is marked dead by clearing the connection's alive flag, and an exchange
// refuses to start on a dead conversation: a reply that arrives late is
// never read as the answer to the next call.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/base/throughput.hpp"
#include "proto/call/basxml.hpp"
#include "proto/call/description.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/session/connection.hpp"
#include "wire/basxml.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/expansion.hpp"
#include "wire/table.hpp"

namespace quib::proto {

// The largest inflated basXML reply document.
inline constexpr std::uint64_t kMaxBasxmlReply = 64ull << 20;

// The whole reply of one exchange.
struct ExchangedReply {
  wire::Bytes bytes;                  // the reply container
  std::vector<wire::Record> records;  // its records (views into `bytes`)
  // The joined BasxmlPayload records, when the reply carries any.
  bool basxml = false;
  wire::Bytes basxml_payload;
};

// Reads the records of a reply into the call's result; `counters` (null:
// none) are the connection's throughput counters of the call, `budget` the
// reply's expansion budget (reply_budget_bytes of the reply's size; its
// owner stops the reading when the connection's waits say so).
using ReplyReader = std::function<ProtoResult<CallReply>(
    const ExchangedReply& reply, ThroughputCounters* counters, wire::ExpansionBudget& budget)>;

// The exchange: sends the finished request (container and trailer), waits
// for the whole reply, parses its records and hands them to `read`. The
// call's totalTime covers the reading too (for the outermost call on the
// connection only); a memory shortage anywhere in it is OutOfMemory, and
// leaves the conversation standing once the reply was in. The reading is
// work of the call: when the connection's waits end it (a cancel, a close,
// a signal, the deadline), the exchange fails with the error a wait would
// have failed with, and the conversation counts as ended, as after a wait
// that was broken off.
ProtoResult<CallReply> exchange(RfcConnection& connection, wire::Bytes request,
                                const ReplyReader& read);

// The classic reading of a reply's records against `description` (null:
// every scalar decodes as text) and the tables the request carried, timed
// into deserializationTime.
ProtoResult<CallReply> decode_classic_timed(ThroughputCounters* counters,
                                            std::span<const wire::Record> records,
                                            const FunctionDescription* description,
                                            std::span<const wire::TableArg> sent_tables,
                                            wire::ExpansionBudget& budget,
                                            TableContent content = TableContent::Expanded);

// The reading of a reply without a description: a basXML reply cannot be
// read (BasxmlReply when it does not inflate, else Unsupported), a classic
// one is read with every scalar as text.
ProtoResult<CallReply> read_undescribed_reply(const ExchangedReply& reply,
                                              ThroughputCounters* counters,
                                              wire::ExpansionBudget& budget);

// The document of a basXML reply: the payload inflated (at most
// kMaxBasxmlReply bytes, and what the budget allows) and dumped as "reply"
// under the function's name.
ProtoResult<wire::Bytes> open_basxml_reply(const wire::Bytes& payload,
                                           const FunctionDescription& description,
                                           wire::ExpansionBudget& budget);

// The names a reply document gives describe_types_for_basxml: those of its
// parameters that the description knows, when they decide the types
// (reply_types_depend_on_names); none otherwise. A stream that cannot be
// read fails here, before any type is described.
ProtoResult<std::vector<std::string>> basxml_reply_names(const wire::Bytes& document,
                                                         const FunctionDescription& description,
                                                         ThroughputCounters* counters,
                                                         wire::ExpansionBudget& budget);

// The reading of a basXML reply given the dictionary types its document
// needs: the document parsed keeping what its decoding reads
// (reply_selection; the text is dropped then), the records read by the
// classic decoder for the ABAP errors and deep values beside the document,
// then the document read into that reply.
ProtoResult<CallReply> read_basxml_reply(wire::Bytes document,
                                         std::span<const wire::Record> records,
                                         const FunctionDescription& description,
                                         const BasxmlTypes& types, ThroughputCounters* counters,
                                         wire::ExpansionBudget& budget);

// A classic request, its encoding timed into the connection's
// serializationTime.
ProtoResult<wire::Bytes> encode_classic_timed(RfcConnection& connection,
                                              std::string_view function_name,
                                              std::span<const EncodedImport> imports,
                                              std::span<const std::string> requested_outputs,
                                              std::span<const wire::TableArg> tables = {});

// A classic call without a description: each import as its UTF-16LE text,
// every scalar of the reply as text.
ProtoResult<CallReply> call_with_text_imports(RfcConnection& connection,
                                              std::string_view function_name,
                                              std::span<const TextImport> imports,
                                              std::span<const std::string> requested_outputs);

}  // namespace quib::proto

#include "proto/call/exchange.hpp"

#include <fmt/format.h>

#include <atomic>
#include <memory>
#include <new>
#include <utility>

#include "proto/base/trace.hpp"
#include "wire/deflate.hpp"
#include "wire/dump.hpp"

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;
using C = ThroughputCounters::Counter;

namespace {

constexpr std::string_view kNonDataControlRecord = "non-data control record";
constexpr std::string_view kDeadConversation =
    "the conversation ended with an earlier failed exchange; the connection must be reopened";

// Keeps the calls-in-flight counter up while a call runs.
class InFlight {
 public:
  explicit InFlight(std::atomic<std::uint32_t>& counter) : counter_(counter) {
    counter_.fetch_add(1, std::memory_order_relaxed);
  }
  ~InFlight() { counter_.fetch_sub(1, std::memory_order_relaxed); }
  InFlight(const InFlight&) = delete;
  InFlight& operator=(const InFlight&) = delete;

 private:
  std::atomic<std::uint32_t>& counter_;
};

// Receives records until the reply container is complete.
ProtoResult<Bytes> receive_reply(RfcConnection& connection) {
  wire::ContainerAssembler assembler;
  for (;;) {
    QUIB_TRY(Received rec, connection.transport().receive(kStepFunctionCall));
    switch (rec.kind) {
      case ReceiveKind::CancelRecord:
        connection.clear_alive();
        return wire::err(ProtocolError::cancelled());
      case ReceiveKind::ControlRecord:
        return wire::err(ProtocolError::unexpected_record(kStepFunctionCall,
                                                          std::string(kNonDataControlRecord)));
      case ReceiveKind::DataRecord:
        break;
    }
    // A gateway error block stands in place of a reply; inside a reply that
    // has begun, the same bytes are just data.
    if (assembler.buffer().empty()) {
      if (auto block = wire::parse_err_block(rec.data)) {
        connection.clear_alive();
        return wire::err(
            ProtocolError::gateway(std::move(block->message), std::move(block->origin)));
      }
    }
    auto status = assembler.push(std::move(rec.data));
    if (!status) return wire::err(container_error(std::move(status).error(), assembler.bytes()));
    switch (status.value()) {
      case wire::AssemblyStatus::NeedMore:
        continue;
      case wire::AssemblyStatus::Complete:
        return std::move(assembler).take_buffer();
      case wire::AssemblyStatus::NoData:
        return wire::err(ProtocolError::empty_reply(kStepFunctionCall));
    }
  }
}

// The exchange and the reading of its reply. `reply_complete` turns true once
// the whole reply has arrived: from then on the conversation stands whatever
// happens to the reading.
ProtoResult<CallReply> exchange_and_read(RfcConnection& connection, Bytes request,
                                         const ReplyReader& read, bool& reply_complete) {
  // A copy of the reference: the block stays valid for the whole call.
  const std::shared_ptr<ThroughputCounters> counters = connection.throughput();
  ThroughputCounters* tp = counters.get();
  const bool outer = connection.calls_in_flight().load(std::memory_order_relaxed) == 0;
  ScopedTimer total(outer ? tp : nullptr, C::totalTime);
  InFlight in_flight(connection.calls_in_flight());

  if (!connection.alive())
    return wire::err(
        ProtocolError(IoError::custom(IoError::NotConnected, std::string(kDeadConversation))));
  if (tp) tp->add_calls(1);

  // Send.
  std::uint64_t sent = 0;
  ProtoStatus send_status = wire::ok_unit;
  {
    ScopedTimer write(tp, C::networkWriteTime);
    send_status = connection.transport().send_counted(request, sent);
  }
  if (tp) tp->add_sent_bytes(sent);
  ScopedTimer wait(tp, C::replyWaitTime);
  if (!send_status) {
    wait.stop();
    connection.clear_alive();  // part of the request may be on the wire
    return wire::err(std::move(send_status).error());
  }

  // Receive.
  auto received = receive_reply(connection);
  wait.stop();
  if (!received) {
    // The conversation stands at an unknown point: whatever arrives later
    // must not be taken for the answer to another call.
    connection.clear_alive();
    return wire::err(std::move(received).error());
  }
  ExchangedReply reply;
  reply.bytes = std::move(received).value();
  reply_complete = true;
  if (tp) tp->add_received_bytes(reply.bytes.size());
  // A cancel written while the reply was on its way: its confirmation is
  // still to come, so this conversation is over; report the cancel.
  if (!connection.alive()) return wire::err(ProtocolError::cancelled());

  // Parse.
  {
    ScopedTimer parse(tp, C::deserializationTime);
    auto reader = wire::ContainerReader::create(reply.bytes);
    if (!reader) return wire::err(container_error(std::move(reader).error(), reply.bytes));
    auto all = reader->read_all_records();
    if (!all) return wire::err(container_error(std::move(all).error(), reply.bytes));
    reply.records = std::move(all).value();
  }
  dump_fields(reply.records);

  // basXML or classic.
  for (const auto& r : reply.records) {
    if (r.id == wire::RecordId::BasxmlPayload) {
      reply.basxml = true;
      reply.basxml_payload.insert(reply.basxml_payload.end(), r.value.begin(), r.value.end());
    }
  }
  return read(reply, tp);
}

ProtoResult<Bytes> inflate_basxml_reply(const Bytes& payload) {
  auto inflated = wire::inflate_raw(payload, kMaxBasxmlReply);
  if (!inflated)
    return wire::err(ProtocolError::basxml_reply(
        fmt::format("inflating the reply: {}", inflated.error().message())));
  return std::move(inflated).value();
}

}  // namespace

ProtoResult<CallReply> exchange(RfcConnection& connection, Bytes request, const ReplyReader& read) {
  bool reply_complete = false;
  try {
    return exchange_and_read(connection, std::move(request), read, reply_complete);
  } catch (const std::bad_alloc&) {
    // Memory ran out. Once the reply is in, only its reading failed and the
    // conversation goes on; before that, its position is unknown.
    if (!reply_complete) connection.clear_alive();
    return wire::err(ProtocolError::out_of_memory(kStepFunctionCall));
  }
}

ProtoResult<CallReply> decode_classic_timed(ThroughputCounters* counters,
                                            std::span<const wire::Record> records,
                                            const FunctionDescription* description,
                                            std::span<const wire::TableArg> sent_tables) {
  ScopedTimer timer(counters, C::deserializationTime);
  return decode_classic_reply(records, description, sent_tables);
}

ProtoResult<CallReply> read_undescribed_reply(const ExchangedReply& reply,
                                              ThroughputCounters* counters) {
  if (reply.basxml) {
    QUIB_CHECK(inflate_basxml_reply(reply.basxml_payload));
    return wire::err(ProtocolError::unsupported(
        kStepBasxml, "a basXML reply arrived for a call made without metadata"));
  }
  return decode_classic_timed(counters, reply.records, nullptr, {});
}

ProtoResult<BasxmlReplyDocument> open_basxml_reply(const Bytes& payload,
                                                   const FunctionDescription& description,
                                                   ThroughputCounters* counters) {
  BasxmlReplyDocument reply;
  QUIB_TRY(reply.text, inflate_basxml_reply(payload));
  dump_basxml(kDumpReply, description.name, reply.text);
  auto document = [&] {
    ScopedTimer parse(counters, C::deserializationTime);
    return wire::parse_basxml(reply.text, wire::basxml_node_limit(payload.size()));
  }();
  if (!document)
    return wire::err(
        ProtocolError::basxml_reply(fmt::format("reply document: {}", document.error().message())));
  reply.document = std::move(document).value();
  return reply;
}

std::vector<std::string> basxml_reply_names(const BasxmlReplyDocument& reply) {
  std::vector<std::string> names;
  names.reserve(reply.document.param_count());
  for (std::size_t i = 0; i < reply.document.param_count(); ++i)
    names.emplace_back(reply.document.param(i).name());
  return names;
}

ProtoResult<CallReply> read_basxml_reply(const BasxmlReplyDocument& reply,
                                         std::span<const wire::Record> records,
                                         const FunctionDescription& description,
                                         const BasxmlTypes& types, ThroughputCounters* counters) {
  // An ABAP error beside the document is reported as such.
  QUIB_TRY(CallReply result, decode_classic_timed(counters, records, &description, {}));
  result.text_pairs.clear();
  result.values.clear();
  result.tables.clear();
  ScopedTimer decode(counters, C::deserializationTime);
  QUIB_CHECK(decode_basxml_reply(reply.document, description, types, result,
                                 basxml_image_budget(reply.text.size())));
  return result;
}

ProtoResult<Bytes> encode_classic_timed(RfcConnection& connection, std::string_view function_name,
                                        std::span<const EncodedImport> imports,
                                        std::span<const std::string> requested_outputs,
                                        std::span<const wire::TableArg> tables) {
  ScopedTimer encode(connection.throughput().get(), C::serializationTime);
  return encode_classic_request(function_name, imports, requested_outputs, tables);
}

ProtoResult<CallReply> call_with_text_imports(RfcConnection& connection,
                                              std::string_view function_name,
                                              std::span<const TextImport> imports,
                                              std::span<const std::string> requested_outputs) {
  const std::vector<EncodedImport> encoded = encode_raw_text_imports(imports);
  QUIB_TRY(Bytes request,
           encode_classic_timed(connection, function_name, encoded, requested_outputs));
  return exchange(connection, std::move(request), read_undescribed_reply);
}

}  // namespace quib::proto

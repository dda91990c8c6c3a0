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

  // The reading: within the reply's budget, and asking the operation's
  // waits as it goes, as a wait would.
  const Waits* waits = connection.waits();
  wire::ExpansionBudget budget(reply_budget_bytes(reply.bytes.size()),
                               [waits] { return waits == nullptr || waits->keep_working(); });
  auto result = read(reply, tp, budget);
  if (budget.stopped()) {
    // Broken off like a wait: the conversation is given up, and a cancel
    // record the binding sends now is answered on a conversation nobody
    // reads any more.
    connection.clear_alive();
    return wire::err(ProtocolError(waits->stop_error()));
  }
  return result;
}

ProtoResult<Bytes> inflate_basxml_reply(const Bytes& payload, wire::ExpansionBudget& budget) {
  auto inflated = wire::inflate_raw(payload, kMaxBasxmlReply, budget);
  if (!inflated) {
    if (budget.stopped()) return wire::err(decoding_stopped());
    const std::string why =
        budget.exhausted() ? reply_budget_text(budget) : inflated.error().message();
    return wire::err(ProtocolError::basxml_reply(fmt::format("inflating the reply: {}", why)));
  }
  return std::move(inflated).value();
}

ProtocolError reply_document_error(const wire::BasxmlError& error,
                                   const wire::ExpansionBudget& budget) {
  if (budget.stopped()) return decoding_stopped();
  return ProtocolError::basxml_reply(fmt::format("reply document: {}", error.message()));
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
                                            std::span<const wire::TableArg> sent_tables,
                                            wire::ExpansionBudget& budget, TableContent content) {
  ScopedTimer timer(counters, C::deserializationTime);
  return decode_classic_reply(records, description, sent_tables, budget, content);
}

ProtoResult<CallReply> read_undescribed_reply(const ExchangedReply& reply,
                                              ThroughputCounters* counters,
                                              wire::ExpansionBudget& budget) {
  if (reply.basxml) {
    QUIB_CHECK(inflate_basxml_reply(reply.basxml_payload, budget));
    return wire::err(ProtocolError::unsupported(
        kStepBasxml, "a basXML reply arrived for a call made without metadata"));
  }
  return decode_classic_timed(counters, reply.records, nullptr, {}, budget);
}

ProtoResult<Bytes> open_basxml_reply(const Bytes& payload, const FunctionDescription& description,
                                     wire::ExpansionBudget& budget) {
  QUIB_TRY(Bytes text, inflate_basxml_reply(payload, budget));
  dump_basxml(kDumpReply, description.name, text);
  return text;
}

ProtoResult<std::vector<std::string>> basxml_reply_names(const Bytes& document,
                                                         const FunctionDescription& description,
                                                         ThroughputCounters* counters,
                                                         wire::ExpansionBudget& budget) {
  if (!reply_types_depend_on_names(description)) return std::vector<std::string>{};
  ScopedTimer parse(counters, C::deserializationTime);
  auto names = reply_parameter_names(document, description, budget);
  if (!names) return wire::err(reply_document_error(names.error(), budget));
  return std::move(names).value();
}

ProtoResult<CallReply> read_basxml_reply(Bytes document, std::span<const wire::Record> records,
                                         const FunctionDescription& description,
                                         const BasxmlTypes& types, ThroughputCounters* counters,
                                         wire::ExpansionBudget& budget) {
  auto parsed = [&] {
    ScopedTimer parse(counters, C::deserializationTime);
    const std::unique_ptr<wire::BasxmlSelection> selection = reply_selection(description, types);
    return wire::parse_basxml(document, budget, selection.get());
  }();
  if (!parsed) return wire::err(reply_document_error(parsed.error(), budget));
  // The tree holds what the decoding reads; the stream is no longer needed.
  document = Bytes();
  // An ABAP error beside the document is reported as such.
  QUIB_TRY(CallReply result, decode_classic_timed(counters, records, &description, {}, budget));
  result.text_pairs.clear();
  result.values.clear();
  result.tables.clear();
  ScopedTimer decode(counters, C::deserializationTime);
  QUIB_CHECK(decode_basxml_reply(parsed.value(), description, types, result, budget));
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

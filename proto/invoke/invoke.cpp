#include "proto/invoke/invoke.hpp"

#include <fmt/format.h>

#include <chrono>
#include <new>
#include <optional>
#include <utility>

#include "proto/base/throughput.hpp"
#include "proto/base/trace.hpp"
#include "proto/call/basxml.hpp"
#include "proto/call/structure.hpp"
#include "proto/metadata/dictionary.hpp"
#include "wire/container.hpp"
#include "wire/deflate.hpp"
#include "wire/dump.hpp"

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;
using C = ThroughputCounters::Counter;
using Clock = std::chrono::steady_clock;

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

// A container error of the reply, with a dump of the bytes around the
// offending record when the error has an offset.
ProtocolError reply_container_error(wire::ContainerError e, ByteView bytes) {
  if (e.has_offset()) {
    std::string dump =
        wire::hex_dump(bytes, static_cast<std::size_t>(e.offset), wire::kDumpContext);
    return ProtocolError::container_dump(std::move(e), std::move(dump));
  }
  return ProtocolError(std::move(e));
}

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
    auto status = assembler.push(rec.data);
    if (!status)
      return wire::err(reply_container_error(std::move(status).error(), assembler.bytes()));
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

ProtoResult<CallReply> decode_timed(ThroughputCounters* tp, std::span<const wire::Record> records,
                                    const FunctionDescription* description,
                                    std::span<const wire::TableArg> sent) {
  ScopedTimer timer(tp, C::deserializationTime);
  return decode_classic_reply(records, description, sent);
}

// The connection whose dictionary types a basXML call is describing on this
// thread, if any. The dictionary calls made meanwhile travel classic: a
// dictionary function that accepts basXML would otherwise need its own
// types described first, and that description the same types again.
thread_local const RfcConnection* t_describing_for_basxml = nullptr;

class DescribingForBasxml {
 public:
  explicit DescribingForBasxml(const RfcConnection& connection)
      : previous_(std::exchange(t_describing_for_basxml, &connection)) {}
  ~DescribingForBasxml() { t_describing_for_basxml = previous_; }
  DescribingForBasxml(const DescribingForBasxml&) = delete;
  DescribingForBasxml& operator=(const DescribingForBasxml&) = delete;

 private:
  const RfcConnection* previous_;
};

// The basXML branch of a reply: the joined payload records inflated, dumped
// and parsed; the records read by the classic decoder for the ABAP errors
// and deep values beside the document; then the document read into that
// reply.
ProtoResult<CallReply> basxml_reply(RfcConnection& connection, const Bytes& payload,
                                    std::span<const wire::Record> records,
                                    const FunctionDescription* description,
                                    ThroughputCounters* tp) {
  auto inflated = wire::inflate_raw(payload, kMaxBasxmlReply);
  if (!inflated)
    return wire::err(ProtocolError::basxml_reply(
        fmt::format("inflating the reply: {}", inflated.error().message())));
  if (!description)
    return wire::err(ProtocolError::unsupported(
        kStepBasxml, "a basXML reply arrived for a call made without metadata"));
  const Bytes& text = inflated.value();
  dump_basxml(kDumpReply, description->name, text);
  auto document = [&] {
    ScopedTimer parse(tp, C::deserializationTime);
    return wire::parse_basxml(text, wire::basxml_node_limit(payload.size()));
  }();
  if (!document)
    return wire::err(
        ProtocolError::basxml_reply(fmt::format("reply document: {}", document.error().message())));
  std::vector<std::string> names;
  names.reserve(document->param_count());
  for (std::size_t i = 0; i < document->param_count(); ++i)
    names.emplace_back(document->param(i).name());
  QUIB_TRY(auto types, describe_types_for_basxml(connection, *description, names));
  // An ABAP error beside the document is reported as such.
  QUIB_TRY(CallReply reply, decode_timed(tp, records, description, {}));
  reply.text_pairs.clear();
  reply.values.clear();
  reply.tables.clear();
  ScopedTimer decode(tp, C::deserializationTime);
  QUIB_CHECK(decode_basxml_reply(document.value(), *description, types, reply,
                                 basxml_image_budget(text.size())));
  return reply;
}

}  // namespace

bool is_stale_description_error(const ProtocolError& error) {
  switch (error.kind()) {
    case ProtocolError::Container:
    case ProtocolError::Value:
    case ProtocolError::TableShape:
    case ProtocolError::DeltaRowCount:
    case ProtocolError::ContainerDump:
      return true;
    default:
      return false;
  }
}

bool use_basxml(const RfcConnection& connection, const FunctionDescription& description) {
  return description.basxml_supported && connection.basxml_mode() != BasxmlMode::Off &&
         t_describing_for_basxml != &connection;
}

namespace {

// The exchange and the reading of its reply. `reply_complete` turns true once
// the whole reply has arrived: from then on the conversation stands whatever
// happens to the reading.
ProtoResult<CallReply> exchange_and_read(RfcConnection& connection, Bytes request,
                                         FunctionDescriptionPtr description,
                                         std::span<const wire::TableArg> sent_tables,
                                         bool& reply_complete) {
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
  const Bytes reply = std::move(received).value();
  reply_complete = true;
  if (tp) tp->add_received_bytes(reply.size());
  // A cancel written while the reply was on its way: its confirmation is
  // still to come, so this conversation is over; report the cancel.
  if (!connection.alive()) return wire::err(ProtocolError::cancelled());

  // Parse.
  std::vector<wire::Record> records;
  {
    ScopedTimer parse(tp, C::deserializationTime);
    auto reader = wire::ContainerReader::create(reply);
    if (!reader) return wire::err(reply_container_error(std::move(reader).error(), reply));
    auto all = reader->read_all_records();
    if (!all) return wire::err(reply_container_error(std::move(all).error(), reply));
    records = std::move(all).value();
  }
  dump_fields(records);

  // basXML or classic.
  Bytes payload;
  bool is_basxml = false;
  for (const auto& r : records) {
    if (r.id == wire::RecordId::BasxmlPayload) {
      is_basxml = true;
      payload.insert(payload.end(), r.value.begin(), r.value.end());
    }
  }
  if (is_basxml) return basxml_reply(connection, payload, records, description.get(), tp);

  auto decoded = decode_timed(tp, records, description.get(), sent_tables);
  if (!decoded) {
    if (!description || !is_stale_description_error(decoded.error()))
      return wire::err(std::move(decoded).error());
    // The cached description may be older than the function on the server:
    // fetch it again and decode the same records once more. Nothing is sent
    // again.
    connection.cache()->forget_function_description(connection.metadata_scope(), description->name);
    QUIB_TRY(description, function_description(connection, description->name));
    decoded = decode_timed(tp, records, description.get(), sent_tables);
    if (!decoded) return wire::err(std::move(decoded).error());
  }
  CallReply result = std::move(decoded).value();
  if (description) QUIB_CHECK(apply_bcd_decimals(connection, *description, result));
  return result;
}

}  // namespace

ProtoResult<CallReply> run_call(RfcConnection& connection, Bytes request,
                                FunctionDescriptionPtr description,
                                std::span<const wire::TableArg> sent_tables) {
  bool reply_complete = false;
  try {
    return exchange_and_read(connection, std::move(request), std::move(description), sent_tables,
                             reply_complete);
  } catch (const std::bad_alloc&) {
    // Memory ran out. Once the reply is in, only its reading failed and the
    // conversation goes on; before that, its position is unknown.
    if (!reply_complete) connection.clear_alive();
    return wire::err(ProtocolError::out_of_memory(kStepFunctionCall));
  }
}

ProtoResult<CallReply> invoke_classic(RfcConnection& connection, std::string_view function_name,
                                      std::span<const EncodedImport> imports,
                                      std::span<const std::string> requested_outputs,
                                      FunctionDescriptionPtr description) {
  auto request = [&] {
    ScopedTimer encode(connection.throughput().get(), C::serializationTime);
    return encode_classic_request(function_name, imports, requested_outputs, {});
  }();
  if (!request) return wire::err(std::move(request).error());
  return run_call(connection, std::move(request).value(), std::move(description), {});
}

ProtoResult<CallReply> call_with_text_imports(RfcConnection& connection,
                                              std::string_view function_name,
                                              std::span<const TextImport> imports,
                                              std::span<const std::string> requested_outputs) {
  const std::vector<EncodedImport> encoded = encode_raw_text_imports(imports);
  return invoke_classic(connection, function_name, encoded, requested_outputs, nullptr);
}

ProtoResult<CallReply> invoke(RfcConnection& connection, std::string_view function_name,
                              std::span<const ValueImport> imports) {
  QUIB_TRY(FunctionDescriptionPtr description, function_description(connection, function_name));
  if (use_basxml(connection, *description))
    return invoke_basxml(connection, description, imports, {});
  QUIB_TRY(auto encoded, encode_imports(connection, *description, imports));
  const std::vector<std::string> outputs = description->requested_outputs();
  return invoke_classic(connection, function_name, encoded, outputs, std::move(description));
}

ProtoResult<CallReply> invoke_text(RfcConnection& connection, std::string_view function_name,
                                   std::span<const TextImport> imports) {
  QUIB_TRY(FunctionDescriptionPtr description, function_description(connection, function_name));
  if (use_basxml(connection, *description)) {
    std::vector<ValueImport> values;
    values.reserve(imports.size());
    for (const auto& [name, text] : imports) values.emplace_back(name, wire::text_value(text));
    return invoke_basxml(connection, description, values, {});
  }
  QUIB_TRY(auto encoded, encode_text_imports(connection, *description, imports));
  const std::vector<std::string> outputs = description->requested_outputs();
  return invoke_classic(connection, function_name, encoded, outputs, std::move(description));
}

ProtoResult<CallReply> invoke_with_tables(RfcConnection& connection,
                                          std::span<const ValueImport> imports,
                                          std::span<const TextTable> tables) {
  QUIB_TRY(FunctionDescriptionPtr description,
           function_description(connection, kReadTableFunction));
  QUIB_TRY(auto encoded, encode_imports(connection, *description, imports));
  std::vector<wire::TableArg> args;
  args.reserve(tables.size());
  for (const auto& t : tables) {
    const ParameterDescription* p = description->find_parameter(t.name);
    if (!p)
      return wire::err(ProtocolError::unexpected_record(
          kStepInvokeWithTables,
          fmt::format("{} has no table parameter {}", kReadTableFunction, t.name)));
    // Every row is filled to the width the description gives: a width past
    // the row limit is refused before any row is built.
    if (p->length > kMaxTableArgRow)
      return wire::err(ProtocolError::unexpected_record(
          kStepInvokeWithTables,
          fmt::format("{} claims {}-byte rows for {}, past the {}-byte limit", kReadTableFunction,
                      p->length, t.name, kMaxTableArgRow)));
    args.push_back(wire::TableArg::text_rows(t.name, t.rows, p->length));
  }
  const std::vector<std::string> outputs = description->requested_outputs();
  QUIB_TRY(Bytes request, encode_classic_request(kReadTableFunction, encoded, outputs, args));
  return run_call(connection, std::move(request), std::move(description), args);
}

ProtoResult<CallReply> invoke_basxml(RfcConnection& connection,
                                     const FunctionDescriptionPtr& description,
                                     std::span<const ValueImport> imports,
                                     std::span<const wire::TableArg> tables) {
  const FunctionDescription& d = *description;
  // The caller's names: the imports, then the tables.
  std::vector<std::string> given;
  given.reserve(imports.size() + tables.size());
  for (const auto& import : imports) given.push_back(import.first);
  for (const auto& t : tables) given.push_back(t.name);
  QUIB_TRY(auto types, describe_types_for_basxml(connection, d, given));

  BasxmlDecimals decimals;
  for (const auto& import : imports) {
    const ParameterDescription* p = d.find_parameter(import.first);
    if (!p || p->type != wire::AbapType::Bcd || p->type_name.empty()) continue;
    QUIB_TRY(std::uint32_t places, element_description(connection, p->type_name));
    decimals[p->name] = places;
  }

  QUIB_TRY(wire::BasxmlDocument document,
           encode_basxml_request(d, types, decimals, imports, tables));
  auto written = wire::write_basxml(document);
  if (!written)
    return wire::err(ProtocolError::unsupported(kStepBasxml, written.error().message()));
  const Bytes& text = written.value();
  dump_basxml(kDumpRequest, d.name, text);
  const Bytes deflated = wire::deflate_raw(text);
  const std::vector<std::string> outputs = d.requested_outputs();
  QUIB_TRY(Bytes request, basxml_request_container(d.name, outputs, deflated));
  return run_call(connection, std::move(request), description, tables);
}

ProtoResult<std::map<std::string, std::shared_ptr<const StructureLayout>>>
describe_types_for_basxml(RfcConnection& connection, const FunctionDescription& description,
                          std::span<const std::string> names) {
  DescribingForBasxml marker(connection);
  BasxmlTypes types;
  std::vector<std::string> work = select_types_for_basxml(description, names);
  while (!work.empty()) {
    std::string name = std::move(work.back());
    work.pop_back();
    if (types.count(name)) continue;
    // Every name costs a dictionary call, and the names come from the
    // peer's layouts: their number is bounded.
    if (types.size() >= kMaxBasxmlTypes)
      return wire::err(ProtocolError::unsupported(
          kStepBasxml, fmt::format("{} needs more than {} dictionary types", description.name,
                                   kMaxBasxmlTypes)));
    QUIB_TRY(StructureLayoutPtr layout, describe_structure(connection, name));
    for (const FieldLayout& f : layout->fields)
      if (f.datatype == kDatatypeStructure && !f.rollname.empty() && !types.count(f.rollname))
        work.push_back(f.rollname);
    types.emplace(std::move(name), std::move(layout));
  }
  return types;
}

}  // namespace quib::proto

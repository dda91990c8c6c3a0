#include "proto/invoke/invoke.hpp"

#include <fmt/format.h>

#include <optional>
#include <utility>

#include "proto/base/throughput.hpp"
#include "proto/base/trace.hpp"
#include "proto/call/structure.hpp"
#include "proto/metadata/dictionary.hpp"
#include "proto/session/metadata_cache.hpp"
#include "wire/deflate.hpp"

namespace quib::proto {

using wire::Bytes;

namespace {

// The metadata lookups call through the general call.
class GeneralCall final : public Caller {
 public:
  ProtoResult<CallReply> invoke(RfcConnection& connection, std::string_view function_name,
                                std::span<const ValueImport> imports) override {
    return proto::invoke(connection, function_name, imports);
  }
  ProtoResult<CallReply> invoke_with_tables(RfcConnection& connection,
                                            std::span<const ValueImport> imports,
                                            std::span<const TextTable> tables) override {
    return proto::invoke_with_tables(connection, imports, tables);
  }
};

// The basXML branch of a reply: the document, the dictionary types its
// parameters need, then the document read against them.
ProtoResult<CallReply> basxml_reply(RfcConnection& connection, const ExchangedReply& reply,
                                    const FunctionDescription& description, ThroughputCounters* tp,
                                    wire::ExpansionBudget& budget) {
  QUIB_TRY(Bytes document, open_basxml_reply(reply.basxml_payload, description, budget));
  QUIB_TRY(const std::vector<std::string> names,
           basxml_reply_names(document, description, tp, budget));
  QUIB_TRY(const BasxmlTypes types, describe_types_for_basxml(connection, description, names));
  return read_basxml_reply(std::move(document), reply.records, description, types, tp, budget);
}

// The reading of a reply against the call's description.
ProtoResult<CallReply> read_reply(RfcConnection& connection, const ExchangedReply& reply,
                                  FunctionDescriptionPtr description,
                                  std::span<const wire::TableArg> sent_tables,
                                  ThroughputCounters* tp, wire::ExpansionBudget& budget,
                                  TableContent content) {
  if (!description) return read_undescribed_reply(reply, tp, budget);
  if (reply.basxml) return basxml_reply(connection, reply, *description, tp, budget);

  const std::uint64_t before = budget.used();
  auto decoded =
      decode_classic_timed(tp, reply.records, description.get(), sent_tables, budget, content);
  if (!decoded) {
    if (budget.stopped() || !is_stale_description_error(decoded.error()))
      return wire::err(std::move(decoded).error());
    // The cached description may be older than the function on the server:
    // fetch it again and decode the same records once more. Nothing is sent
    // again, and what the failed decoding made is gone.
    budget.give_back(budget.used() - before);
    connection.cache()->forget_function_description(connection.metadata_scope(), description->name);
    QUIB_TRY(description, function_description(connection, description->name));
    decoded =
        decode_classic_timed(tp, reply.records, description.get(), sent_tables, budget, content);
    if (!decoded) return wire::err(std::move(decoded).error());
  }
  CallReply result = std::move(decoded).value();
  QUIB_CHECK(apply_bcd_decimals(connection, *description, result));
  return result;
}

}  // namespace

Caller& general_call() {
  static GeneralCall call;
  return call;
}

DecimalsLookup element_decimals(RfcConnection& connection) {
  return [&connection](std::string_view data_element) {
    return element_description(connection, general_call(), data_element);
  };
}

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
         !connection.describing().describing_basxml_types();
}

ProtoResult<CallReply> run_call(RfcConnection& connection, Bytes request,
                                FunctionDescriptionPtr description,
                                std::span<const wire::TableArg> sent_tables, TableContent content) {
  return exchange(
      connection, std::move(request),
      [&](const ExchangedReply& reply, ThroughputCounters* tp, wire::ExpansionBudget& budget) {
        return read_reply(connection, reply, description, sent_tables, tp, budget, content);
      });
}

ProtoResult<std::vector<EncodedImport>> encode_imports(RfcConnection& connection,
                                                       const FunctionDescription& description,
                                                       std::span<const ValueImport> imports) {
  return encode_imports(description, imports, element_decimals(connection));
}

ProtoResult<std::vector<EncodedImport>> encode_text_imports(RfcConnection& connection,
                                                            const FunctionDescription& description,
                                                            std::span<const TextImport> imports) {
  return encode_imports(connection, description, text_values(imports));
}

ProtoStatus apply_bcd_decimals(RfcConnection& connection, const FunctionDescription& description,
                               CallReply& reply) {
  return apply_bcd_decimals(description, reply, element_decimals(connection));
}

ProtoResult<CallReply> invoke_classic(RfcConnection& connection, std::string_view function_name,
                                      std::span<const EncodedImport> imports,
                                      std::span<const std::string> requested_outputs,
                                      FunctionDescriptionPtr description, TableContent content) {
  QUIB_TRY(Bytes request,
           encode_classic_timed(connection, function_name, imports, requested_outputs));
  return run_call(connection, std::move(request), std::move(description), {}, content);
}

ProtoResult<CallReply> invoke_described(RfcConnection& connection, std::string_view function_name,
                                        const FunctionDescriptionPtr& description,
                                        std::span<const ValueImport> imports,
                                        std::span<const wire::TableArg> tables,
                                        TableContent content) {
  if (use_basxml(connection, *description))
    return invoke_basxml(connection, description, imports, tables);
  QUIB_TRY(auto encoded, encode_imports(connection, *description, imports));
  std::vector<std::string> scratch;
  const std::span<const std::string> outputs = description->requested_outputs(scratch);
  if (tables.empty())
    return invoke_classic(connection, function_name, encoded, outputs, description, content);
  QUIB_TRY(Bytes request, encode_classic_request(function_name, encoded, outputs, tables));
  return run_call(connection, std::move(request), description, tables, content);
}

ProtoResult<CallReply> invoke(RfcConnection& connection, std::string_view function_name,
                              std::span<const ValueImport> imports) {
  QUIB_TRY(FunctionDescriptionPtr description, function_description(connection, function_name));
  return invoke_described(connection, function_name, description, imports, {});
}

ProtoResult<CallReply> invoke_text(RfcConnection& connection, std::string_view function_name,
                                   std::span<const TextImport> imports) {
  return invoke(connection, function_name, text_values(imports));
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
  std::vector<std::string> scratch;
  const std::span<const std::string> outputs = description->requested_outputs(scratch);
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
    if (!p || !has_element_decimals(*p)) continue;
    QUIB_TRY(std::uint32_t places, element_description(connection, general_call(), p->type_name));
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
  std::vector<std::string> scratch;
  const std::span<const std::string> outputs = d.requested_outputs(scratch);
  QUIB_TRY(Bytes request, basxml_request_container(d.name, outputs, deflated));
  return run_call(connection, std::move(request), description, tables);
}

ProtoResult<BasxmlTypes> describe_types_for_basxml(RfcConnection& connection,
                                                   const FunctionDescription& description,
                                                   std::span<const std::string> names) {
  const Describing::BasxmlTypesScope describing(connection.describing());
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
    QUIB_TRY(StructureLayoutPtr layout, describe_structure(connection, general_call(), name));
    for (const FieldLayout& f : layout->fields)
      if (f.datatype == kDatatypeStructure && !f.rollname.empty() && !types.count(f.rollname))
        work.push_back(f.rollname);
    types.emplace(std::move(name), std::move(layout));
  }
  return types;
}

}  // namespace quib::proto

#include "proto/call/request.hpp"

#include <fmt/format.h>

#include "wire/logon_records.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

ProtoResult<ImportField> import_field(const FunctionDescription& description, std::string_view name,
                                      const DecimalsLookup& decimals) {
  const ParameterDescription* p = description.find_parameter(name);
  if (!p) return ImportField{wire::AbapType::String, 0, 0};
  ImportField f{p->type, p->length, 0};
  if (has_element_decimals(*p)) {
    QUIB_TRY(f.decimals, decimals(p->type_name));
  }
  return f;
}

ProtoResult<std::vector<EncodedImport>> encode_imports(const FunctionDescription& description,
                                                       std::span<const ValueImport> imports,
                                                       const DecimalsLookup& decimals) {
  std::vector<EncodedImport> out;
  out.reserve(imports.size());
  for (const auto& [name, value] : imports) {
    QUIB_TRY(const ImportField f, import_field(description, name, decimals));
    auto bytes = wire::encode_given_value(value, f.type, f.width, f.decimals);
    if (!bytes) return wire::err(wire::refused_at(std::move(bytes).error(), name, value));
    out.push_back(EncodedImport{name, std::move(bytes).value()});
  }
  return out;
}

std::vector<ValueImport> text_values(std::span<const TextImport> imports) {
  std::vector<ValueImport> values;
  values.reserve(imports.size());
  for (const auto& [name, text] : imports) values.emplace_back(name, wire::text_value(text));
  return values;
}

std::vector<EncodedImport> encode_raw_text_imports(std::span<const TextImport> imports) {
  std::vector<EncodedImport> out;
  out.reserve(imports.size());
  for (const auto& [name, text] : imports)
    out.push_back(EncodedImport{name, wire::encode_utf16le(text)});
  return out;
}

std::uint64_t request_record_count(std::size_t imports, std::size_t requested_outputs,
                                   std::span<const wire::TableArg> tables) {
  // 0x0502, Kernel, Function, 0x0512 and End; a name and a value per
  // import; name, running number and header per table, and a row each.
  constexpr std::uint64_t kFixedRecords = 5;
  constexpr std::uint64_t kRecordsPerTable = 3;
  std::uint64_t n = kFixedRecords + requested_outputs + 2 * std::uint64_t{imports};
  for (const wire::TableArg& t : tables) n += kRecordsPerTable + t.row_count();
  return n;
}

void write_request_head(wire::ContainerWriter& w, std::string_view function_name,
                        std::span<const std::string> requested_outputs) {
  using wire::RecordId;
  w.put_record(wire::kRecord0502, {});
  // The same in every request: encoded once.
  static const wire::Bytes kKernel = wire::encode_utf16le(wire::kKernelRelease);
  w.put_record(RecordId::Kernel, kKernel);
  w.put_record(RecordId::Function, wire::encode_utf16le(function_name));
  w.put_record(wire::kRecord0512, {});
  for (const auto& name : requested_outputs)
    w.put_record(RecordId::RequestedOutput, wire::encode_utf16le(name));
}

ProtoResult<wire::Bytes> finish_request(wire::ContainerWriter&& w) {
  auto bytes = std::move(w).finish_container();
  if (!bytes) return wire::err(ProtocolError(std::move(bytes).error()));
  wire::Bytes out = std::move(bytes).value();
  if (auto st = wire::append_message_trailer(out); !st)
    return wire::err(ProtocolError(std::move(st).error()));
  return out;
}

ProtoResult<wire::Bytes> encode_classic_request(std::string_view function_name,
                                                std::span<const EncodedImport> imports,
                                                std::span<const std::string> requested_outputs,
                                                std::span<const wire::TableArg> tables) {
  using wire::RecordId;
  // The peer reads at most kRecordLimit records from one container: a
  // request it would refuse is refused here, before anything is written.
  const std::uint64_t records =
      request_record_count(imports.size(), requested_outputs.size(), tables);
  if (records > wire::kRecordLimit)
    return wire::err(ProtocolError::text_message(
        fmt::format("request holds {} records, at most {}", records, wire::kRecordLimit)));
  wire::ContainerWriter w;
  write_request_head(w, function_name, requested_outputs);
  for (const auto& imp : imports) {
    w.put_record(RecordId::ParameterName, wire::encode_utf16le(imp.name));
    w.put_record(RecordId::ParameterValue, imp.bytes);
  }
  if (auto st = wire::write_table_records(w, tables); !st)
    return wire::err(ProtocolError(std::move(st).error()));
  return finish_request(std::move(w));
}

}  // namespace quib::proto

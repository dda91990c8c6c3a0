#include "proto/request.hpp"

#include "proto/describe.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

ProtoResult<ImportField> import_field(RfcConnection& connection,
                                      const FunctionDescription& description,
                                      std::string_view name) {
  const ParameterDescription* p = description.find_parameter(name);
  if (!p) return ImportField{wire::AbapType::String, 0, 0};
  ImportField f{p->type, p->length, 0};
  if (p->type == wire::AbapType::Bcd && !p->type_name.empty()) {
    QUIB_TRY(f.decimals, element_description(connection, p->type_name));
  }
  return f;
}

ProtoResult<std::vector<EncodedImport>> encode_imports(RfcConnection& connection,
                                                       const FunctionDescription& description,
                                                       std::span<const ValueImport> imports) {
  std::vector<EncodedImport> out;
  out.reserve(imports.size());
  for (const auto& [name, value] : imports) {
    QUIB_TRY(const ImportField f, import_field(connection, description, name));
    auto bytes = wire::encode_field_value(value, f.type, f.width, f.decimals);
    if (!bytes) return wire::err(ProtocolError(std::move(bytes).error()));
    out.push_back(EncodedImport{name, std::move(bytes).value()});
  }
  return out;
}

ProtoResult<std::vector<EncodedImport>> encode_text_imports(RfcConnection& connection,
                                                            const FunctionDescription& description,
                                                            std::span<const TextImport> imports) {
  std::vector<ValueImport> values;
  values.reserve(imports.size());
  for (const auto& [name, text] : imports) values.emplace_back(name, wire::text_value(text));
  return encode_imports(connection, description, values);
}

std::vector<EncodedImport> encode_raw_text_imports(std::span<const TextImport> imports) {
  std::vector<EncodedImport> out;
  out.reserve(imports.size());
  for (const auto& [name, text] : imports)
    out.push_back(EncodedImport{name, wire::encode_utf16le(text)});
  return out;
}

ProtoResult<wire::Bytes> encode_classic_request(std::string_view function_name,
                                                std::span<const EncodedImport> imports,
                                                std::span<const std::string> requested_outputs,
                                                std::span<const wire::TableArg> tables) {
  using wire::RecordId;
  wire::ContainerWriter w;
  w.put_record(kRequestFirstRecord, {});
  w.put_record(RecordId::Kernel, wire::encode_utf16le(kRequestKernel));
  w.put_record(RecordId::Function, wire::encode_utf16le(function_name));
  w.put_record(kRequestAfterFunction, {});
  for (const auto& name : requested_outputs)
    w.put_record(RecordId::RequestedOutput, wire::encode_utf16le(name));
  for (const auto& imp : imports) {
    w.put_record(RecordId::ParameterName, wire::encode_utf16le(imp.name));
    w.put_record(RecordId::ParameterValue, imp.bytes);
  }
  if (auto st = wire::write_table_records(w, tables); !st)
    return wire::err(ProtocolError(std::move(st).error()));
  auto bytes = std::move(w).finish_container();
  if (!bytes) return wire::err(ProtocolError(std::move(bytes).error()));
  wire::Bytes out = std::move(bytes).value();
  if (auto st = wire::append_message_trailer(out); !st)
    return wire::err(ProtocolError(std::move(st).error()));
  return out;
}

}  // namespace quib::proto

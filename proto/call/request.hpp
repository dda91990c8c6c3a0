// Classic request encoding: one RFC container that names the function, lists
// the outputs the caller wants back and carries every import as a name
// record and a value record, then every table parameter.
//
//   0x0502 (empty) | Kernel "753" | Function | 0x0512 (empty)
//   | RequestedOutput*  | (ParameterName ParameterValue)*  | table records*
//   | End | trailer (u32 BE length of the bytes before it, 00 00 85 00)
//
// Requests have no EBCDIC header and are never compressed.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/description.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/table.hpp"
#include "wire/types.hpp"

namespace quib::proto {

// An import parameter as it goes on the wire: the name as the caller spelled
// it and the field bytes of its value.
struct EncodedImport {
  std::string name;
  wire::Bytes bytes;
  friend bool operator==(const EncodedImport&, const EncodedImport&) = default;
};

using ValueImport = std::pair<std::string, wire::RfcValue>;
using TextImport = std::pair<std::string, std::string>;

// A table argument of text rows, as RFC_READ_TABLE takes its FIELDS and
// OPTIONS.
struct TextTable {
  std::string name;
  std::vector<std::string> rows;
};

// The field type, width and decimals an import is encoded with.
struct ImportField {
  wire::AbapType type;
  std::uint32_t width = 0;
  std::uint32_t decimals = 0;
};

// The field an import of `name` is encoded as: its parameter's type and
// length (with the data element's decimals for a packed number with a type
// name, asked of `decimals`), or a String of width 0 when the description
// does not know the name.
ProtoResult<ImportField> import_field(const FunctionDescription& description, std::string_view name,
                                      const DecimalsLookup& decimals);

// The imports encoded against the description, in the caller's order, as
// values a caller gives (encode_given_value): a value its field refuses
// fails with Value naming the import and the value. The decimals of each
// packed import are asked of `decimals` when its turn comes.
ProtoResult<std::vector<EncodedImport>> encode_imports(const FunctionDescription& description,
                                                       std::span<const ValueImport> imports,
                                                       const DecimalsLookup& decimals);

// Text imports as values: each text becomes a Text value.
std::vector<ValueImport> text_values(std::span<const TextImport> imports);

// Imports sent without any description: each text as its UTF-16LE bytes.
std::vector<EncodedImport> encode_raw_text_imports(std::span<const TextImport> imports);

// The records of a classic request with these parts, the end record
// included.
std::uint64_t request_record_count(std::size_t imports, std::size_t requested_outputs,
                                   std::span<const wire::TableArg> tables);

// The records that open every request (classic and basXML): 0x0502, Kernel,
// Function, 0x0512 and one RequestedOutput per name.
void write_request_head(wire::ContainerWriter& w, std::string_view function_name,
                        std::span<const std::string> requested_outputs);

// The finished request from its records: the container and its trailer.
ProtoResult<wire::Bytes> finish_request(wire::ContainerWriter&& w);

// The finished request: container and trailer. A request of more records
// than a container may hold (kRecordLimit) is refused before it is built:
// "request holds N records, at most 100000".
ProtoResult<wire::Bytes> encode_classic_request(std::string_view function_name,
                                                std::span<const EncodedImport> imports,
                                                std::span<const std::string> requested_outputs,
                                                std::span<const wire::TableArg> tables);

}  // namespace quib::proto

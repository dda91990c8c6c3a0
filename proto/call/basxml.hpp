// basXML calls: the parameter document of a request and the reading of the
// document a reply carries.
//
// A function that accepts basXML is called with its imports and tables in
// one asXML document instead of classic records. Structures and table rows
// are spelt out field by field (an image of the caller's is taken apart by
// its dictionary layout); the reply's structures and rows are rebuilt into
// images of the same layouts, so that the binding reads both routes alike.
//
// The request container:
//
//   0x0502 (empty) | Kernel "753" | Function | 0x0512 (empty) | RequestedOutput*
//   | BasxmlVersion 01 01 | BasxmlPayload (the deflated document) | BasxmlEnd
//   | End | trailer
//
// Everything in a reply is the peer's: images are bounded per row and per
// reply, structure nesting stops at 32 levels, and the layouts' offsets are
// checked before anything is written.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/call/structure.hpp"
#include "wire/asxml.hpp"
#include "wire/basxml.hpp"
#include "wire/bytes.hpp"
#include "wire/expansion.hpp"
#include "wire/table.hpp"

namespace quib::proto {

struct FunctionDescription;

// Dictionary layouts by type name (byte order), as a basXML call needs them.
using BasxmlTypes = std::map<std::string, StructureLayoutPtr>;
// Decimal places of packed imports, by the parameter name as the
// description spells it.
using BasxmlDecimals = std::map<std::string, std::uint32_t, std::less<>>;

// The two bytes of the BasxmlVersion record.
inline constexpr std::uint8_t kBasxmlVersionRecord[2] = {0x01, 0x01};
// The version text of a request document.
inline constexpr std::string_view kBasxmlDocumentVersion = "1.0";

// Structures nest at most this deep: the parameter's own structure and each
// table row are at depth 0, and a "STRU" field inside a structure at this
// depth is refused.
inline constexpr std::size_t kBasxmlMaxStructureDepth = 32;

// The largest structure or row image a reply may rebuild.
inline constexpr std::uint64_t kBasxmlMaxImage = 64ull << 20;

// What one value or text pair a reply yields costs beside its name and
// text: its records in the reply's lists.
inline constexpr std::uint64_t kReplyEntryCost = 128;

// --------------------------------------------------------------- selection

// The dictionary types a basXML request or reply needs, in description
// order, each once: parameters of direction Table or of type Structure,
// DeepStructure or Table with a type name, that are either named in `given`
// (ignoring ASCII case) or would come back anyway (not an import, not a
// deep structure, not a table type outside the tables).
std::vector<std::string> select_types_for_basxml(const FunctionDescription& description,
                                                 std::span<const std::string> given);

// --------------------------------------------------------------- request

// The items of one structure: one per field of the layout, in layout order.
// `values` maps ASCII upper-cased field names to values; a field without
// one takes its type's initial value, a field of type Table is an empty
// table, a "STRU" field with a row type is a nested structure from its
// bytes.
ProtoResult<wire::TypedValue> structure_items(const StructureLayout& layout,
                                              const std::map<std::string, wire::RfcValue>& values,
                                              const BasxmlTypes& types, std::size_t depth);

// The parameter document of a request: one item per import (in the
// caller's order, named as the description spells it), then one per table
// parameter of the description (in description order; an empty table when
// the caller gave none).
ProtoResult<wire::BasxmlDocument> encode_basxml_request(const FunctionDescription& description,
                                                        const BasxmlTypes& types,
                                                        const BasxmlDecimals& decimals,
                                                        std::span<const ValueImport> imports,
                                                        std::span<const wire::TableArg> tables);

// The finished request around an already deflated document: container and
// trailer. `function_name` is the description's (upper-case) name.
ProtoResult<wire::Bytes> basxml_request_container(std::string_view function_name,
                                                  std::span<const std::string> requested_outputs,
                                                  wire::ByteView deflated_document);

// --------------------------------------------------------------- reply

// The image of one structure or table row: as many bytes as the layout's
// largest field end, each field encoded from the child element of its name
// (ASCII case ignored; a missing child reads as empty content).
ProtoResult<wire::Bytes> element_to_image(const wire::Element& element,
                                          const StructureLayout& layout, const BasxmlTypes& types,
                                          std::size_t depth);

// Whether the parameter names of a reply document decide which dictionary
// types its decoding needs (select_types_for_basxml): only when the
// description has parameters whose types are described only when named.
bool reply_types_depend_on_names(const FunctionDescription& description);

// The names, each once, of the document's parameters that the description
// knows, read from the token stream without keeping the document: the
// `given` of select_types_for_basxml for a reply. The stream is checked
// whole, as parse_basxml checks it.
wire::Result<std::vector<std::string>, wire::BasxmlError> reply_parameter_names(
    wire::ByteView stream, const FunctionDescription& description, wire::ExpansionBudget& budget);

// What the decoding of a reply reads of its document: the parameters, and
// below them only the rows of tables, the components that fields of the
// layouts take (the first of each name), and whole deep values. Everything
// else is left out of the parsed tree.
std::unique_ptr<wire::BasxmlSelection> reply_selection(const FunctionDescription& description,
                                                       const BasxmlTypes& types);

// Fills `reply` from the parameter elements of a reply document: scalars as
// values (and text pairs), structures as images, Table parameters as reply
// tables of fixed-width rows, deep structures and table types as deep
// values. Stops at the first error. What it makes (images, values, text
// pairs, deep values) is taken from `budget` first, and its work reported
// to it (decoding_stopped() when its owner says stop).
ProtoStatus decode_basxml_reply(const wire::BasxmlDocument& document,
                                const FunctionDescription& description, const BasxmlTypes& types,
                                CallReply& reply, wire::ExpansionBudget& budget);
// The same without a bound.
ProtoStatus decode_basxml_reply(const wire::BasxmlDocument& document,
                                const FunctionDescription& description, const BasxmlTypes& types,
                                CallReply& reply);

}  // namespace quib::proto

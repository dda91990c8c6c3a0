// Classic reply decoding: the records of one reply container become either a
// CallReply (scalar values, tables, deep values) or the AbapException error
// when the server reports an ABAP error.
//
// Values that cannot be decoded do not fail the decode: a field stays
// Undecoded with its raw bytes, a row wider than its table or content that
// does not fit its header becomes the table's shape error, and compressed
// content that cannot be expanded is kept as it came. They surface only when
// a table is read through reply_table_rows.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/description.hpp"
#include "proto/call/tables.hpp"
#include "wire/bytes.hpp"
#include "wire/container.hpp"
#include "wire/deep.hpp"
#include "wire/table.hpp"
#include "wire/types.hpp"

namespace quib::proto {

// The largest row width a TableHeader may declare.
inline constexpr std::uint64_t kMaxDeclaredRowWidth = 64ull << 20;

using TextPair = std::pair<std::string, std::string>;
using NamedValue = std::pair<std::string, wire::RfcValue>;

// The decoded reply of a call.
struct CallReply {
  // For every decoded value: its name and value_text of the value.
  std::vector<TextPair> text_pairs;
  // The decoded values, in reply order.
  std::vector<NamedValue> values;
  // The tables the records started, in the order they were closed, then the
  // tables the call sent (changed by deltas, or unchanged).
  std::vector<ReplyTable> tables;
  // One flattened value and one node per top-level element of each deep section.
  std::vector<wire::FlatDeepValue> deep_values;
  std::vector<wire::DeepNode> deep_nodes;

  // The first value / table of that name (exact byte comparison), or null.
  const wire::RfcValue* value(std::string_view name) const;
  const ReplyTable* table(std::string_view name) const;
};

// The text of a record whose encoding the partner chose, without trailing
// white space.
std::string field_text(wire::ByteView value);

// A value as text: a text without trailing white space, an integer in
// decimal, a float in its shortest form, bytes as lower-case hex, and
// "<undecoded {type}, {n} bytes>".
std::string value_text(const wire::RfcValue& value);

// Decodes the records of a classic reply (wire order, end record excluded)
// against the call's description (null: every scalar decodes as Char text)
// and the tables the call sent.
ProtoResult<CallReply> decode_classic_reply(std::span<const wire::Record> records,
                                            const FunctionDescription* description,
                                            std::span<const wire::TableArg> sent_tables);

// The AbapException of a reply's error records, or none when the reply holds
// none of AbapExceptionKey, AbapErrorMessage, AbapT100Text, AbapMessageV1.
std::optional<ProtocolError> abap_error_of(std::span<const wire::Record> records);

// Gives packed values of parameters whose data element has decimals their
// decimal point, in the values and in the matching text pair; `decimals`
// names the decimals of each data element, value by value (its failure
// ends the pass).
ProtoStatus apply_bcd_decimals(const FunctionDescription& description, CallReply& reply,
                               const DecimalsLookup& decimals);

}  // namespace quib::proto

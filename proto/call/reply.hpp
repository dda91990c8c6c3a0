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
#include <functional>
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
#include "wire/expansion.hpp"
#include "wire/table.hpp"
#include "wire/types.hpp"

namespace quib::proto {

// The largest row width a TableHeader may declare.
inline constexpr std::uint64_t kMaxDeclaredRowWidth = 64ull << 20;

// What decoding one reply may make: kReplyExpansionRatio bytes for every
// byte of the reply container received, and kReplyExpansionAllowance
// beside, whatever lengths the reply declares. One budget
// (wire/expansion.hpp) serves all its pieces: expanded table content, the
// inflated basXML document and its parsed tree, the structures and rows
// rebuilt from it, the values and text pairs it yields, and deep values.
//
// Measured on legitimate replies of the simulated system (zlib at level 6
// and 9, what the ratio of bytes made to bytes received comes to):
//   compressed tables of UTF-16 rows, a distinct key and blanks to the
//     row width: 14 (16 characters), 44 (64), 110-138 (256), 189-217
//     (512), 307-343 (1024), 592-669 (4096), 850-868 (16384);
//   rows as an ABAP system holds them: material master rows of 268
//     characters 24-25, RFC_READ_TABLE rows of 512 characters 72-76;
//   basXML tables (document, tree and rebuilt rows): RFC_READ_TABLE rows
//     145-150, material rows 66-67, a key and 15 empty CHAR10 fields
//     295-301, a key and 15 empty CHAR40 fields 627-639;
//   rows blank from end to end come near DEFLATE's ceiling of 1032.
// 256 keeps every row shape up to 512 characters and every realistic row;
// the allowance keeps small replies of any shape (a reply of rows blank
// from end to end expands up to about 42 MiB before it is refused, one of
// sparse 1024-character rows 126 to 193 MiB). Beyond both a reply is
// taken for what it is, an amplifier: its expansion stops at the budget.
inline constexpr std::uint64_t kReplyExpansionRatio = 256;
inline constexpr std::uint64_t kReplyExpansionAllowance = 32ull << 20;

// The budget of a reply container of `received` bytes (saturating).
std::uint64_t reply_budget_bytes(std::uint64_t received);
// What a reply that would make more than its budget is told.
std::string reply_budget_text(const wire::ExpansionBudget& budget);
// The error of a decoding that the budget's owner stopped; the exchange
// reports the reason instead (the deadline, a cancel, a signal).
ProtocolError decoding_stopped();

// What the decoding does with compressed table content: expands it into the
// table's rows, or leaves it compressed for the reader, which expands it
// row window by row window as it converts the rows (drawing on what the
// reply's budget has left): a large table is then never held whole.
enum class TableContent : std::uint8_t { Expanded, LeftCompressed };

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
  // What the reply's budget had left when the decoding ended: the tables
  // whose content was left compressed draw their expansion from it, in the
  // order they are read, as the decoding would have in table order.
  std::uint64_t budget_left = 0;

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
// The same drawing what it expands (compressed table content, deep values)
// from the reply's budget: content the budget cannot hold stays compressed
// (reading its table reports CompressedTable), deep values beyond it fail
// the decode; and reporting its work to it (decoding_stopped() when its
// owner says stop). With TableContent::LeftCompressed, compressed content
// of a table with a row width and rows is left to
// read_left_compressed_rows, which draws from what the budget has left
// when the decoding ends (CallReply::budget_left).
ProtoResult<CallReply> decode_classic_reply(std::span<const wire::Record> records,
                                            const FunctionDescription* description,
                                            std::span<const wire::TableArg> sent_tables,
                                            wire::ExpansionBudget& budget,
                                            TableContent content = TableContent::Expanded);

// The bytes of expanded rows held at once by read_left_compressed_rows
// (beside the history a match may reach back into).
inline constexpr std::size_t kRowWindow = 512u << 10;

// Whole rows of left compressed content, in order, as they are expanded:
// `count` rows of the table's width at `rows`, never more than the
// declared count in all. The expansion is bounded by the declared length
// and by `budget_left` (the reply's budget_left, shared by its tables),
// from which it takes what it made. Fails as reading the same content
// expanded whole would (CompressedTable when it cannot be expanded,
// TableShape when it holds fewer rows than declared), after the rows
// before the fault were handed out; decoding_stopped() when `keep_going`
// (asked as the expansion goes) or `rows` says stop.
using RowsSink = std::function<bool(wire::ByteView rows, std::uint64_t count)>;
ProtoStatus read_left_compressed_rows(const ReplyTable& table, std::uint64_t& budget_left,
                                      const wire::ExpansionBudget::KeepGoing& keep_going,
                                      const RowsSink& rows);

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

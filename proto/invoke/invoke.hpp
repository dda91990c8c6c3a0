// The call exchange: one remote function call on a logged-on RfcConnection.
//
// It picks the classic or the basXML route, has the request encoded, sends
// it through the connection's transport, reassembles the reply, recognises
// cancellation and gateway errors, decodes the reply, recovers once from a
// stale cached description and feeds the connection's throughput counters.
//
// A conversation on which an exchange failed between sending the request and
// reading the whole reply (an I/O error, a time-out, a peer that closed, a
// gateway error, a cancel) is marked dead by clearing the connection's alive
// flag, and run_call refuses to start on a dead conversation: a reply that
// arrives late is never read as the answer to the next call.
#pragma once

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/session/connection.hpp"
#include "wire/bytes.hpp"
#include "wire/table.hpp"

namespace quib::proto {

struct StructureLayout;

// The largest inflated basXML reply document.
inline constexpr std::uint64_t kMaxBasxmlReply = 64ull << 20;

// The most dictionary types one basXML call describes (nested structures
// included): each is a dictionary call, and the names are the peer's.
inline constexpr std::size_t kMaxBasxmlTypes = 4096;

inline constexpr std::string_view kReadTableFunction = "RFC_READ_TABLE";

// The widest row a table argument may have: rows are filled to the width
// the function's description gives, and that width is the peer's.
inline constexpr std::uint64_t kMaxTableArgRow = 64ull << 20;

// A table argument of text rows, as RFC_READ_TABLE takes its FIELDS and
// OPTIONS.
struct TextTable {
  std::string name;
  std::vector<std::string> rows;
};

// The exchange: sends the finished request (container and trailer), waits
// for the reply and decodes it against `description` (null: every scalar
// decodes as text) and the tables the request carried.
ProtoResult<CallReply> run_call(RfcConnection& connection, wire::Bytes request,
                                FunctionDescriptionPtr description,
                                std::span<const wire::TableArg> sent_tables = {});

// The general call: the description from the cache or the server, then the
// basXML route when the function accepts it and the connection allows it,
// else the classic route.
ProtoResult<CallReply> invoke(RfcConnection& connection, std::string_view function_name,
                              std::span<const ValueImport> imports);
// The same with text imports (each text becomes a Text value).
ProtoResult<CallReply> invoke_text(RfcConnection& connection, std::string_view function_name,
                                   std::span<const TextImport> imports);

// A classic request without tables, its encoding timed into
// serializationTime, then the exchange.
ProtoResult<CallReply> invoke_classic(RfcConnection& connection, std::string_view function_name,
                                      std::span<const EncodedImport> imports,
                                      std::span<const std::string> requested_outputs,
                                      FunctionDescriptionPtr description);

// A classic call without a description: each import as its UTF-16LE text.
ProtoResult<CallReply> call_with_text_imports(RfcConnection& connection,
                                              std::string_view function_name,
                                              std::span<const TextImport> imports,
                                              std::span<const std::string> requested_outputs);

// RFC_READ_TABLE with table parameters of text rows; always classic.
ProtoResult<CallReply> invoke_with_tables(RfcConnection& connection,
                                          std::span<const ValueImport> imports,
                                          std::span<const TextTable> tables);

// The basXML route: the dictionary types the document needs, the decimals
// of packed imports, the parameter document (dumped as "request", then
// deflated) in a container of its own, then the exchange with the tables as
// sent tables.
ProtoResult<CallReply> invoke_basxml(RfcConnection& connection,
                                     const FunctionDescriptionPtr& description,
                                     std::span<const ValueImport> imports,
                                     std::span<const wire::TableArg> tables);

// The dictionary layouts a basXML document of the call needs, by type name:
// the types select_types_for_basxml picks for `names` (the caller's import
// and table names for a request, the document's parameter names for a
// reply), and every nested structure of theirs. The dictionary calls made
// meanwhile travel classic.
ProtoResult<std::map<std::string, std::shared_ptr<const StructureLayout>>>
describe_types_for_basxml(RfcConnection& connection, const FunctionDescription& description,
                          std::span<const std::string> names);

// True when the call should travel as basXML: the function accepts it, the
// connection's mode is not Off, and the call is not one of the dictionary
// calls that describe the types of a basXML call on this connection.
bool use_basxml(const RfcConnection& connection, const FunctionDescription& description);

// True for the decode errors after which the description is fetched again
// and the same reply decoded once more.
bool is_stale_description_error(const ProtocolError& error);

}  // namespace quib::proto

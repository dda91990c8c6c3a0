// The general call: a remote function called by name on a logged-on
// RfcConnection, with everything the call needs fetched on the way.
//
// It takes the function's description from the metadata cache or the
// server, picks the classic or the basXML route, asks the dictionary for
// the decimals of packed values and the types of a basXML document, runs
// the exchange (proto/call/exchange.hpp) and reads its reply, fetching the
// description once more when a reply does not fit a cached one. The
// dictionary lookups are calls of this same path (proto/metadata/caller.hpp):
// general_call() is the Caller this path hands them.
#pragma once

#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/basxml.hpp"
#include "proto/call/description.hpp"
#include "proto/call/exchange.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/metadata/caller.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/metadata/read_table.hpp"
#include "proto/session/connection.hpp"
#include "wire/bytes.hpp"
#include "wire/table.hpp"

namespace quib::proto {

struct StructureLayout;

// The most dictionary types one basXML call describes (nested structures
// included): each is a dictionary call, and the names are the peer's.
inline constexpr std::size_t kMaxBasxmlTypes = 4096;

// The widest row a table argument may have: rows are filled to the width
// the function's description gives, and that width is the peer's.
inline constexpr std::uint64_t kMaxTableArgRow = 64ull << 20;

// The Caller of the metadata lookups: this general call.
Caller& general_call();

// The decimals of a data element through the dictionary of the connection
// (cached, else asked of the server on this path).
DecimalsLookup element_decimals(RfcConnection& connection);

// The exchange: sends the finished request (container and trailer), waits
// for the reply and decodes it against `description` (null: every scalar
// decodes as text) and the tables the request carried. A classic reply that
// does not decode against the description (is_stale_description_error) is
// decoded once more against the description fetched anew; nothing is sent
// again. Packed values get their data element's decimal point. `content`:
// what a classic reply's compressed table content becomes.
ProtoResult<CallReply> run_call(RfcConnection& connection, wire::Bytes request,
                                FunctionDescriptionPtr description,
                                std::span<const wire::TableArg> sent_tables = {},
                                TableContent content = TableContent::Expanded);

// The general call: the description from the cache or the server, then the
// basXML route when the function accepts it and the connection allows it,
// else the classic route.
ProtoResult<CallReply> invoke(RfcConnection& connection, std::string_view function_name,
                              std::span<const ValueImport> imports);
// The same with text imports (each text becomes a Text value).
ProtoResult<CallReply> invoke_text(RfcConnection& connection, std::string_view function_name,
                                   std::span<const TextImport> imports);

// The call of a function whose description the caller holds, with named
// values and table arguments: the basXML route when the function accepts it
// and the connection allows it (use_basxml), else a classic request, its
// encoding timed into serializationTime when it carries no tables.
// `content`: what a classic reply's compressed table content becomes.
ProtoResult<CallReply> invoke_described(RfcConnection& connection, std::string_view function_name,
                                        const FunctionDescriptionPtr& description,
                                        std::span<const ValueImport> imports,
                                        std::span<const wire::TableArg> tables,
                                        TableContent content = TableContent::Expanded);

// A classic request without tables, its encoding timed into
// serializationTime, then the exchange.
ProtoResult<CallReply> invoke_classic(RfcConnection& connection, std::string_view function_name,
                                      std::span<const EncodedImport> imports,
                                      std::span<const std::string> requested_outputs,
                                      FunctionDescriptionPtr description,
                                      TableContent content = TableContent::Expanded);

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
ProtoResult<BasxmlTypes> describe_types_for_basxml(RfcConnection& connection,
                                                   const FunctionDescription& description,
                                                   std::span<const std::string> names);

// True when the call should travel as basXML: the function accepts it, the
// connection's mode is not Off, and the call is not one of the dictionary
// calls that describe the types of a basXML call on this connection.
bool use_basxml(const RfcConnection& connection, const FunctionDescription& description);

// True for the decode errors after which the description is fetched again
// and the same reply decoded once more.
bool is_stale_description_error(const ProtocolError& error);

// The imports encoded against the description, the decimals of packed ones
// from the connection's dictionary.
ProtoResult<std::vector<EncodedImport>> encode_imports(RfcConnection& connection,
                                                       const FunctionDescription& description,
                                                       std::span<const ValueImport> imports);
ProtoResult<std::vector<EncodedImport>> encode_text_imports(RfcConnection& connection,
                                                            const FunctionDescription& description,
                                                            std::span<const TextImport> imports);

// Gives packed values of parameters whose data element has decimals their
// decimal point, the decimals from the connection's dictionary.
ProtoStatus apply_bcd_decimals(RfcConnection& connection, const FunctionDescription& description,
                               CallReply& reply);

}  // namespace quib::proto

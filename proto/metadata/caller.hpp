// How the metadata lookups make their calls.
//
// A dictionary lookup is itself a remote function call (DDIF_FIELDINFO_GET,
// RFC_READ_TABLE on DD40L), and it travels the general call path: its
// function's description comes from the cache or the server, a dictionary
// function that accepts basXML is called as basXML (its own types described
// first), a stale description is fetched again. That path is proto/invoke,
// which in turn needs these lookups; it hands itself in as a Caller, so the
// lookups decide what to ask and how to read the answer, and invoke decides
// how the call travels.
#pragma once

#include <span>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"

namespace quib::proto {

class RfcConnection;

class Caller {
 public:
  virtual ~Caller() = default;

  // The general call of a function by name.
  virtual ProtoResult<CallReply> invoke(RfcConnection& connection, std::string_view function_name,
                                        std::span<const ValueImport> imports) = 0;
  // RFC_READ_TABLE with table parameters of text rows; always classic.
  virtual ProtoResult<CallReply> invoke_with_tables(RfcConnection& connection,
                                                    std::span<const ValueImport> imports,
                                                    std::span<const TextTable> tables) = 0;
};

}  // namespace quib::proto

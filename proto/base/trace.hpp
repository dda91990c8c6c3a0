// Diagnostics: four opt-in switches, each an environment variable.
//
//   DUVUDO_TRACE_WIRE     read once per process   every CPIC record sent and received
//   QUIB_DUMP_FIELDS      read once per process   every record of every reply
//   QUIB_DUMP_BASXML      read at every dump      basXML documents on standard error
//   QUIB_DUMP_BASXML_DIR  read at every dump      basXML documents as files in that directory
//
// A switch is on when the variable exists, whatever its value (the empty value
// included). Output goes to standard error, each printed piece in one write,
// so pieces of different threads do not mix. Nothing here changes what is
// sent or received, and a failure to write is never an error of the call.
#pragma once

#include <span>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/container.hpp"

namespace quib::proto {

inline constexpr const char* kTraceWireEnv = "DUVUDO_TRACE_WIRE";
inline constexpr const char* kDumpFieldsEnv = "QUIB_DUMP_FIELDS";
inline constexpr const char* kDumpBasxmlEnv = "QUIB_DUMP_BASXML";
inline constexpr const char* kDumpBasxmlDirEnv = "QUIB_DUMP_BASXML_DIR";

// Labels the NI transport passes to trace_wire.
inline constexpr std::string_view kTraceSend = ">> send";
inline constexpr std::string_view kTraceRecv = "<< recv";

// Kinds passed to dump_basxml.
inline constexpr std::string_view kDumpRequest = "request";
inline constexpr std::string_view kDumpReply = "reply";

// Number of value bytes a field-dump line shows.
inline constexpr std::size_t kFieldDumpBytes = 48;

// The read-once switches (the first call reads the environment; later
// changes of the variable have no effect for the life of the process).
bool wire_trace_enabled();
bool field_dump_enabled();

// One traced CPIC record: "[wire] {label} ({n} B)\n{describe_container}\n",
// written when DUVUDO_TRACE_WIRE is on.
void trace_wire(std::string_view label, wire::ByteView data);
std::string format_wire_trace(std::string_view label, wire::ByteView data);

// Every record of a reply, one "FIELD {id} {length} [{hex}, ...]\n" line each,
// written when QUIB_DUMP_FIELDS is on.
void dump_fields(std::span<const wire::Record> records);
std::string format_field_line(const wire::Record& record);

// A basXML document of a call ("request" just before it is compressed,
// "reply" just after it was inflated), to standard error when
// QUIB_DUMP_BASXML is set and to "{function}.{kind}.bxml" inside the
// directory QUIB_DUMP_BASXML_DIR names when that is set.
void dump_basxml(std::string_view kind, std::string_view function_name, wire::ByteView document);
std::string format_basxml_dump_head(std::string_view kind, std::string_view function_name);

// The file name of a basXML dump: the function name trimmed of white space at
// both ends and with ASCII upper-case letters lowered, then made safe as one
// path component (every '/', '\\', NUL and control character becomes '_', a
// name holding ".." has every '.' replaced, an empty name becomes "_"),
// followed by "." kind ".bxml".
std::string basxml_dump_file_name(std::string_view function_name, std::string_view kind);

// Writes `document` to `file_name` inside `directory`: the directory is
// opened first and the file opened relative to it without following a link
// or waiting on a FIFO, and only a regular file with a single link is
// truncated and written.
// Returns an empty string on success, else the operating system's error text.
std::string write_dump_file(const std::string& directory, const std::string& file_name,
                            wire::ByteView document);

// One piece of output to standard error, in a single write.
void write_stderr(std::string_view text);

}  // namespace quib::proto

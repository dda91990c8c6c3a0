// Transaction IDs of transactional (queued) units: obtained from the ABAP
// system with API_CREATE_TID, released with API_CLEAR_TID, and TidGuard,
// which releases the TID of a unit whose shipping did not complete.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/session/connection.hpp"
#include "wire/types.hpp"

namespace quib::proto {

inline constexpr std::string_view kCreateTidFunction = "API_CREATE_TID";
inline constexpr std::string_view kClearTidFunction = "API_CLEAR_TID";
// The export of API_CREATE_TID and the import of API_CLEAR_TID.
inline constexpr std::string_view kTidParameter = "TID";
// A TID is this many bytes of text (ASCII, so as many characters).
inline constexpr std::size_t kTidLength = 24;

// A transaction id: exactly kTidLength bytes, without surrounding white space.
using Tid = std::string;

// `text` as a Tid, or UnexpectedRecord ("transaction id", "a TID is 24
// characters, got {byte length}"). The text is taken as it is: no trimming.
ProtoResult<Tid> check_tid(std::string_view text);

// A new TID: API_CREATE_TID without parameters through the general call;
// the first reply value named exactly "TID" (a text, or UTF-16LE bytes),
// trimmed at both ends, must be 24 bytes long.
ProtoResult<Tid> create_tid(RfcConnection& connection);

// The value API_CLEAR_TID's TID import is sent as, chosen so that the field
// always carries the TID's UTF-16LE bytes: a Text for the text kinds and
// Unknown (their encoder writes UTF-16LE and fills the field with blanks, a
// 24-character TID filling a CHAR 24 exactly), the UTF-16LE bytes as a Bytes
// value for every other kind, or when the description has no such import.
// A Bytes value alone would be refused by a CHAR field's encoder.
wire::RfcValue tid_import_value(const FunctionDescription& description, std::string_view tid);

// Releases `tid` on the server: API_CLEAR_TID with the one import TID. The
// reply's content is discarded; an error is returned as it is.
ProtoStatus clear_tid(RfcConnection& connection, std::string_view tid);

// The TID of one unit while its calls are shipped. Dropped unfinished, it
// releases the TID on its connection (clear_tid, outcome ignored: the
// failure that caused the drop is what the caller reports); finished, it
// sends nothing. The connection must outlive the guard; the guard does not
// own it.
class TidGuard {
 public:
  TidGuard(Tid tid, std::optional<std::string> queue, RfcConnection& connection)
      : tid_(std::move(tid)), queue_(std::move(queue)), connection_(&connection) {}
  ~TidGuard();
  TidGuard(const TidGuard&) = delete;
  TidGuard& operator=(const TidGuard&) = delete;
  TidGuard(TidGuard&&) = delete;
  TidGuard& operator=(TidGuard&&) = delete;

  const Tid& tid() const { return tid_; }
  // Absent when the unit has no queue.
  const std::optional<std::string>& queue() const { return queue_; }
  RfcConnection& connection() const { return *connection_; }
  // The number of the unit's calls shipped so far.
  std::uint32_t counter() const { return counter_; }
  void set_counter(std::uint32_t counter) { counter_ = counter; }
  bool finished() const { return finished_; }

  // Every call went through: the TID stays on the server. Returns a copy of it.
  Tid finish() {
    finished_ = true;
    return tid_;
  }

 private:
  Tid tid_;
  std::optional<std::string> queue_;
  RfcConnection* connection_;
  std::uint32_t counter_ = 0;
  bool finished_ = false;
};

}  // namespace quib::proto

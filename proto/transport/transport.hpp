// The transport of a session: a few operations that hide whether messages
// travel as CPIC records in NI frames (NiTransport) or as WebSocket messages
// (WsTransport). Also the cancel handle, which lets another thread abort a
// conversation that waits for its reply.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/net/socket.hpp"
#include "proto/net/waits.hpp"
#include "wire/bytes.hpp"

namespace quib::proto {

// What `receive` says about the record it returns.
enum class ReceiveKind : std::uint8_t {
  DataRecord,     // a Data or DataLast record (on WebSocket RFC: every message)
  CancelRecord,   // a Canceled record
  ControlRecord,  // any other request type
};

struct Received {
  wire::Bytes data;
  ReceiveKind kind = ReceiveKind::DataRecord;
};

// The flag that says a conversation still stands; shared by a session and
// its cancel handles.
using SharedFlag = std::shared_ptr<std::atomic<bool>>;

// Serialises every write on one connection: the transport's records and the
// cancel records of its handles never interleave on the wire. `broken` is
// set (under the mutex) when a write of the transport failed: a frame may
// stand half-written on the wire, after which a cancel frame would be read
// as part of it, and the request it belonged to never reached the server
// whole, so there is nothing running there to cancel.
struct WriteGate {
  std::mutex mutex;
  bool broken = false;
};
using WriteLock = std::shared_ptr<WriteGate>;

// How long a cancel frame may wait for room in the socket's send buffer.
inline constexpr std::chrono::milliseconds kCancelWriteLimit{5};

// A second handle on the session's TCP connection, used at most once to
// write the cancel record while the session's thread blocks in a receive.
// The transport that makes the handle gives it the bytes of that record
// (on NI the 84-byte cancel frame of its conversation), so a cancel from
// another thread builds nothing and allocates nothing.
class CancelHandle {
 public:
  CancelHandle(Socket socket, SharedFlag armed, wire::Bytes cancel_record, WriteLock write_lock)
      : socket_(std::move(socket)),
        armed_(std::move(armed)),
        cancel_record_(std::move(cancel_record)),
        write_lock_(std::move(write_lock)) {}

  // Makes the handle share `flag` (the session's alive flag) instead of its own.
  void share_flag(SharedFlag flag) { armed_ = std::move(flag); }
  const SharedFlag& armed() const { return armed_; }
  bool is_armed() const { return armed_ && armed_->load(); }
  const wire::Bytes& cancel_record() const { return cancel_record_; }

  // Closes the duplicated socket handle; the connection stays open as long as
  // the transport holds its own.
  void close() { socket_.close(); }

 private:
  friend ProtoStatus send_cancel(CancelHandle& handle);

  Socket socket_;
  SharedFlag armed_;
  wire::Bytes cancel_record_;
  WriteLock write_lock_;
};

// Writes the handle's cancel record on its socket, once per
// conversation: NothingToCancel (nothing written) once the flag is false, or
// when a write of the transport has failed (the flag is then cleared); a
// write failure is Io and leaves the flag armed; after a successful write the
// flag is switched from true to false by compare-and-exchange. Cancels of
// handles sharing the flag are serialised by the connection's write lock, so
// exactly one of them writes. The record waits at most kCancelWriteLimit for
// room in the send buffer.
ProtoStatus send_cancel(CancelHandle& handle);

class Transport {
 public:
  virtual ~Transport() = default;

  // Sends one message; on success its length has been added to `counter`.
  virtual ProtoStatus send_counted(wire::ByteView data, std::uint64_t& counter) = 0;
  // send_counted with a counter that is thrown away.
  virtual ProtoStatus send(wire::ByteView data) = 0;
  // Receives one message; `label` (static storage) names the exchange in a
  // ClosedByPeer error.
  virtual ProtoResult<Received> receive(std::string_view label) = 0;
  // The fixed limit of each read and write wait when the operation has no
  // deadline; none waits without limit.
  virtual wire::Status<IoError> set_timeout(std::optional<Duration> timeout) = 0;
  // The waits of the operation that uses the transport from now on: its
  // deadline, its wake-up descriptor and its periodic check (none: only the
  // fixed limit). Every transport takes them, so none can lose a call's
  // deadline by leaving this out.
  virtual void set_waits(std::shared_ptr<const Waits> waits) = 0;
  // Those waits (null: none).
  virtual const Waits* waits() const = 0;
  virtual std::string conversation_id() const = 0;
  // Ends the conversation (on NI one Deallocate record); the socket itself is
  // closed when the transport is dropped.
  virtual ProtoStatus close() = 0;
  // A handle for cancelling from another thread, or none when the transport
  // has no cancel record.
  virtual ProtoResult<std::optional<CancelHandle>> cancel_handle() = 0;
};

}  // namespace quib::proto

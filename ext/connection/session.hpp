// The session behind a Connection, and the operations that use it.
//
// A Connection owns one logged-on session behind the mutex `inner`, the
// session's cancel handle behind the mutex `cancel`, an optional throughput
// attachment behind the mutex `throughput`, and the flag `alive`.
//
// Operations. Every method that uses the network (call, function_description,
// connection_attributes, the unit methods, reopen, the open of the
// constructor) runs as one Operation: one deadline for all of it when a
// `timeout` applies, a wake-up descriptor that every wait of the operation
// polls, and a look at pending Python signals every proto::kCheckSlice of a
// wait. cancel() and close() raise the wake-up descriptor of the operations
// in flight, so that a blocked wait ends at once; a pending KeyboardInterrupt
// ends the wait the same way and is then raised by the waiting thread.
//
// Reopening. A session whose conversation has ended (a cancel, a time-out, a
// failed exchange) is replaced when the next operation needs it, under that
// operation's deadline and with `inner` held: other threads wait for the new
// session instead of finding the connection closed, and cancel() never opens
// anything. A reopen that was interrupted or ran out of its operation's time
// leaves the reopen due for the next operation; one that failed otherwise
// leaves the connection closed.
//
// Locks. `cancel` and `throughput` are held for a few instructions only and
// never across a release of the interpreter lock. `inner` is held for whole
// network steps with the interpreter lock released, and waited for with the
// interpreter lock released too, so a thread that wants the session never
// holds the interpreter lock that the thread inside it needs to finish.
// Nothing that holds `cancel` or `throughput` ever waits for another lock;
// `cancel` may be taken while `inner` is held (installing the handle of a
// new session).
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "ext/errors.hpp"
#include "ext/options.hpp"
#include "ext/py.hpp"
#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/base/throughput.hpp"
#include "proto/net/waits.hpp"
#include "proto/session/open.hpp"
#include "proto/transport/transport.hpp"

namespace quib::ext {

inline constexpr std::string_view kClosed = "connection is closed";
inline constexpr std::string_view kNothingToCancel =
    "cancel() has nothing to cancel: the connection is closed, or its transport has no cancel "
    "record";
// How long the closing record may wait for room in the socket's send buffer:
// close() returns at once, whatever the peer does.
inline constexpr std::chrono::milliseconds kCloseRecordLimit{5};

class Operation;

struct State {
  proto::ConnectionParams params;
  proto::Route route;
  CallOptions defaults;

  std::mutex inner_mutex;
  std::optional<proto::RfcConnection> inner;  // absent: closed, or a reopen is due
  bool reopen_due = false;                    // under inner_mutex
  // The thread that holds `inner` for an operation (a signal handler that
  // runs on it and closes the connection must not wait for itself), and a
  // close that thread asked for, done when it lets `inner` go.
  std::atomic<std::thread::id> inner_owner{};
  std::atomic<bool> close_asked{false};

  std::atomic<bool> alive{false};

  std::mutex cancel_mutex;
  std::optional<proto::CancelHandle> cancel;
  std::vector<Operation*> running;  // under cancel_mutex

  std::mutex throughput_mutex;
  std::shared_ptr<proto::ThroughputCounters> throughput;

  std::uint64_t handle = 0;

  State(proto::ConnectionParams p, proto::Route r, CallOptions d)
      : params(std::move(p)), route(std::move(r)), defaults(d) {}
};

// The exception a refused signal check took out of the interpreter, kept
// until the operation's thread raises it. Touched with the interpreter lock
// held only.
struct PendingSignal {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
};

class Operation {
 public:
  enum class Kind : std::uint8_t {
    Call,  // cancel() and close() interrupt it
    Open,  // only close() interrupts it
  };

  // Registers a new operation of the calling thread (interpreter lock
  // held), without deadline until set_timeout. Null with the Python error
  // set when no wake-up descriptor can be had.
  static std::unique_ptr<Operation> start(const ModuleState& ms, State& s, Kind kind);
  ~Operation();  // interpreter lock held
  Operation(const Operation&) = delete;
  Operation& operator=(const Operation&) = delete;

  // The deadline: `timeout` after the start of the operation (none: the
  // fixed limits of each step).
  void set_timeout(std::optional<std::chrono::nanoseconds> timeout);
  bool timed() const { return waits_->deadline().has_value(); }

  Kind kind() const { return kind_; }
  const std::shared_ptr<proto::Waits>& waits() const { return waits_; }
  proto::Interruption interrupted() const { return waits_->interrupted(); }
  void interrupt(proto::Interruption why) const { waits_->interrupt(why); }

  // Sets the exception a refused signal check kept as the current Python
  // error; false when there is none.
  bool restore_signal_error();

 private:
  Operation(State& s, Kind kind, std::shared_ptr<proto::Waits> waits,
            std::shared_ptr<PendingSignal> signal);

  State& s_;
  Kind kind_;
  proto::TimePoint started_;
  std::shared_ptr<proto::Waits> waits_;
  std::shared_ptr<PendingSignal> signal_;
};

// A newly opened session and its cancel handle.
struct Opened {
  proto::RfcConnection connection;
  std::optional<proto::CancelHandle> handle;
};

// Opens a session by the connection's route under `op`'s waits. Blocking:
// runs with the interpreter lock released.
proto::ProtoResult<Opened> open_session(const State& s, const Operation& op);

// Puts a newly opened session and its handle in place (dropping whatever a
// racing thread put there meanwhile) and marks the connection alive.
// Interpreter lock held.
void install(State& s, Opened opened);

// Gives the current throughput attachment to the session, if there is one.
void attach_throughput(State& s);

// Interrupts the operations in flight, then closes the session: the closing
// record when it can go out at once, and the socket. Never fails.
// Interpreter lock held.
void close_inner(State& s);

// What `ready_session` found.
enum class SessionReady : std::uint8_t { Ready, Closed, ReopenFailed };

// With `inner` held: makes the session usable for `op`, opening a new one
// when the conversation has ended or a reopen is due, and gives it `op`'s
// waits. Interpreter lock released.
SessionReady ready_session(State& s, const Operation& op,
                           const std::shared_ptr<proto::ThroughputCounters>& throughput,
                           std::optional<proto::ProtocolError>& failure);

// Holds `inner` for an operation of this thread (interpreter lock
// released), and does the close this thread asked for meanwhile when it
// lets go.
class SessionAccess {
 public:
  explicit SessionAccess(State& s);
  ~SessionAccess();
  SessionAccess(const SessionAccess&) = delete;
  SessionAccess& operator=(const SessionAccess&) = delete;

 private:
  State& s_;
};

std::shared_ptr<proto::ThroughputCounters> throughput_copy(State& s);

// What `f` returns for the usable session (ready_session), run with `inner`
// held and the interpreter lock released; `inner` is free again when this
// returns. A failed reopen is returned as `f`'s error. Nothing, with the
// Python error set, when the connection is closed.
template <class F>
auto with_live_session(const ModuleState& ms, State& s, const Operation& op, F&& f)
    -> std::optional<decltype(f(std::declval<proto::RfcConnection&>()))> {
  using R = decltype(f(std::declval<proto::RfcConnection&>()));
  const std::shared_ptr<proto::ThroughputCounters> throughput = throughput_copy(s);
  std::optional<R> out;
  bool closed = false;
  without_gil([&] {
    SessionAccess access(s);
    std::optional<proto::ProtocolError> failure;
    switch (ready_session(s, op, throughput, failure)) {
      case SessionReady::Closed:
        closed = true;
        return;
      case SessionReady::ReopenFailed:
        out.emplace(wire::err(std::move(*failure)));
        return;
      case SessionReady::Ready:
        break;
    }
    out.emplace(f(*s.inner));
  });
  if (closed) {
    raise_external(ms, std::string(kClosed));
    return std::nullopt;
  }
  return out;
}

// The cancel record for the session's conversation, written by the
// operation's own thread after a time-out or a signal ended its wait: the
// server still runs the function and must be told to stop. The handle is
// used up; the conversation counts as ended. Interpreter lock held.
void cancel_on_server(State& s);

// cancel() from another thread: the cancel record on NI (once per
// conversation) and the interruption of the calls in flight. None, or null
// with the Python error set.
PyObject* cancel_connection(const ModuleState& ms, State& s);

// The Python error of a failed step of `op` (`what` names it in the
// message): an interruption as what interrupted it (cancel() as the
// Cancelled protocol error, close(), a pending signal, which also sends the
// cancel record), an open past its time-out as RFC_CANCELED "{what} did not
// open within the timeout: {the step's time-out}", else the protocol error
// as it maps. Always null.
std::nullptr_t raise_operation_error(const ModuleState& ms, State& s, Operation& op,
                                     std::string_view what, const proto::ProtocolError& error);

// `f`'s value for the live session, as one step of `op`; nothing, with the
// Python error set, when the connection is closed or `f` failed (its error
// as raise_operation_error maps it, `what` naming the step).
template <class F>
auto session_step(const ModuleState& ms, State& s, Operation& op, std::string_view what, F&& f)
    -> std::optional<typename decltype(f(std::declval<proto::RfcConnection&>()))::value_type> {
  auto result = with_live_session(ms, s, op, std::forward<F>(f));
  if (!result) return std::nullopt;
  if (!*result) {
    raise_operation_error(ms, s, op, what, result->error());
    return std::nullopt;
  }
  return std::move(*result).value();
}

}  // namespace quib::ext

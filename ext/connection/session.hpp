// The session behind a Connection, and the operations that use it.
//
// A Connection owns one logged-on session behind the lock `inner`, the
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
// Waiting for the session. `inner` is a proto::WaitableLock: an operation
// that finds another thread's operation inside waits for it as one more wait
// of its own, within its deadline, woken by close() and looking at signals.
// Such a wait never touches the session the other thread uses: when it ends
// without the session, no cancel record goes out and nothing is reopened.
// cancel() leaves operations that wait for the session alone: it cancels
// the one inside. Code that runs inside a wait of the thread that holds
// `inner` (a Python signal handler) is refused at once instead of waiting for
// its own thread.
//
// Reopening. A session whose conversation has ended (a cancel, a time-out, a
// failed exchange) is replaced when the next operation needs it, under that
// operation's deadline and with `inner` held: other threads wait for the new
// session instead of finding the connection closed, and cancel() never opens
// anything. reopen() itself is one more operation with `inner` held. A
// reopen that was interrupted or ran out of its operation's time leaves the
// reopen due for the next operation; one that failed otherwise leaves the
// connection closed.
//
// Locks. `cancel` and `throughput` are held for a few instructions only.
// `inner` is held for whole network steps with the interpreter lock
// released, and waited for with the interpreter lock released too, so a
// thread that wants the session never holds the interpreter lock that the
// thread inside it needs to finish. Nothing that holds `cancel` or
// `throughput` ever waits for another lock; `cancel` may be taken while
// `inner` is held (installing the handle of a new session).
//
// Forks. Everything above lives in one Live record, made for the process
// that opened the connection. A child of fork() that uses the connection
// (or frees it) leaves that record to the parent: it closes its copies of
// the session's socket, the cancel handle and the lock's bell, never sends a
// byte on them and never waits for a lock a parent's thread may hold, and
// starts a Live record of its own whose first operation opens a session.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ext/errors.hpp"
#include "ext/options.hpp"
#include "ext/py.hpp"
#include "ext/signals.hpp"
#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/base/throughput.hpp"
#include "proto/net/fork.hpp"
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

// What a connection holds in the process that uses it.
struct Live {
  proto::WaitableLock inner_lock;
  std::optional<proto::RfcConnection>
      inner;                // under inner_lock; absent: closed, or a reopen is due
  bool reopen_due = false;  // under inner_lock
  // A close() that has not got `inner` yet: set before it interrupts the
  // operations, so that no operation that takes `inner` before it (the
  // interrupted one letting go, another thread's next call, or the thread
  // inside the session when a signal handler of its own asked) goes on with
  // the session; whoever holds `inner` next closes it.
  std::atomic<bool> close_asked{false};

  std::mutex cancel_mutex;
  std::optional<proto::CancelHandle> cancel;
  std::vector<Operation*> running;  // under cancel_mutex

  std::mutex throughput_mutex;
  std::shared_ptr<proto::ThroughputCounters> throughput;
};

struct State {
  proto::ConnectionParams params;
  proto::Route route;
  CallOptions defaults;
  std::uint64_t handle = 0;

  // True from a successful open to the next close() or failed reopen: a
  // connection whose session is being replaced, or whose reopen is due
  // (Live::reopen_due), is getting a new session and stays alive.
  std::atomic<bool> alive{false};

  // The process `live` was made for.
  proto::ForkStamp stamp;
  std::unique_ptr<Live> live = std::make_unique<Live>();

  State(proto::ConnectionParams p, proto::Route r, CallOptions d)
      : params(std::move(p)), route(std::move(r)), defaults(d) {}
};

// The state for use by this process: in a forked child, first leaves what
// the parent's process holds to it (see Forks above). Interpreter lock held.
State& adopt_after_fork(State& s);

// Frees the state; in a forked child, without touching what belongs to the
// parent.
void free_state(State* s);

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

  // Whether the operation waits for another thread's operation to let the
  // session go (cancel() leaves it alone then).
  bool queued() const { return queued_.load(std::memory_order_acquire); }
  void set_queued(bool on) { queued_.store(on, std::memory_order_release); }

  // Sets the exception a refused signal check kept as the current Python
  // error; false when there is none.
  bool restore_signal_error();

 private:
  Operation(Live& live, Kind kind, std::shared_ptr<proto::Waits> waits,
            std::shared_ptr<SignalCatch> signal);

  Live& live_;
  Kind kind_;
  proto::TimePoint started_;
  std::shared_ptr<proto::Waits> waits_;
  std::shared_ptr<SignalCatch> signal_;
  std::atomic<bool> queued_{false};
};

// A newly opened session and its cancel handle.
struct Opened {
  proto::RfcConnection connection;
  std::optional<proto::CancelHandle> handle;
};

// Opens a session by the connection's route under `op`'s waits. Blocking:
// runs with the interpreter lock released.
proto::ProtoResult<Opened> open_session(const State& s, const Operation& op);

// Interrupts the operations in flight, then closes the session: the closing
// record when it can go out at once, and the socket. Never fails.
// Interpreter lock held.
void close_inner(State& s);

// reopen(): closes the session and opens a new one as one operation, with
// `inner` held throughout, so that other threads wait for the new session.
// None, or null with the Python error set (the connection is then closed).
PyObject* reopen_connection(const ModuleState& ms, State& s);

// What `ready_session` found.
enum class SessionReady : std::uint8_t { Ready, Closed, ReopenFailed };

// With `inner` held: makes the session usable for `op`, opening a new one
// when the conversation has ended or a reopen is due, and gives it `op`'s
// waits and the throughput attachment. Interpreter lock released.
SessionReady ready_session(State& s, const Operation& op,
                           const std::shared_ptr<proto::ThroughputCounters>& throughput,
                           std::optional<proto::ProtocolError>& failure);

// Waits for `inner` as a wait of `op` (interpreter lock released): its
// deadline, its wake-up and its signal check end the wait.
wire::Status<proto::IoError> take_session(State& s, Operation& op);

// Holds `inner`, taken by take_session, for an operation of this thread, and
// does the close this thread asked for meanwhile when it lets go.
class SessionAccess {
 public:
  explicit SessionAccess(State& s) : s_(s) {}
  ~SessionAccess();
  SessionAccess(const SessionAccess&) = delete;
  SessionAccess& operator=(const SessionAccess&) = delete;

 private:
  State& s_;
};

std::shared_ptr<proto::ThroughputCounters> throughput_copy(State& s);

// After a step on the session failed, with `inner` still held: a step that
// a signal or the operation's deadline broke off leaves the server running
// the function, so it is told to stop by the cancel record of the
// session's conversation. Done before the session is let go: once another
// thread has it, a record sent would cancel that thread's work.
// Interpreter lock released.
void after_failed_step(State& s, const Operation& op, const proto::ProtocolError& error);

// The Python error of code that runs inside a wait of the thread that holds
// `inner` and wants the session too (`what` names the operation). Null.
std::nullptr_t raise_in_use_here(const ModuleState& ms, std::string_view what);

// The Python error of an operation that did not get the session: its
// deadline passed ("{what} could not get the connection within the
// timeout"), close(), a signal, or the operating system's error. Null.
std::nullptr_t raise_not_got(const ModuleState& ms, Operation& op, std::string_view what,
                             const proto::IoError& error);

// Why with_live_session ran nothing.
enum class NoSession : std::uint8_t {
  Closed,  // the connection is closed
  NotGot,  // the operation did not get the session, or may not wait for it here
};

// What `f` returns for the usable session (ready_session), run with `inner`
// held and the interpreter lock released; `inner` is free again when this
// returns. A failed reopen is returned as `f`'s error. Nothing, with the
// Python error set and the reason in `*why` (when given), when the
// connection is closed or the operation did not get the session (`what`
// names it in the message).
template <class F>
auto with_live_session(const ModuleState& ms, State& s, Operation& op, std::string_view what, F&& f,
                       NoSession* why = nullptr)
    -> std::optional<decltype(f(std::declval<proto::RfcConnection&>()))> {
  using R = decltype(f(std::declval<proto::RfcConnection&>()));
  if (why) *why = NoSession::NotGot;
  if (s.live->inner_lock.held_by_this_thread()) {
    raise_in_use_here(ms, what);
    return std::nullopt;
  }
  const std::shared_ptr<proto::ThroughputCounters> throughput = throughput_copy(s);
  std::optional<R> out;
  std::optional<proto::IoError> not_got;
  bool closed = false;
  without_gil([&] {
    auto got = take_session(s, op);
    if (!got) {
      not_got = std::move(got).error();
      return;
    }
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
    out.emplace(f(*s.live->inner));
    if (!*out) after_failed_step(s, op, out->error());
  });
  if (not_got) {
    raise_not_got(ms, op, what, *not_got);
    return std::nullopt;
  }
  if (closed) {
    if (why) *why = NoSession::Closed;
    raise_external(ms, std::string(kClosed));
    return std::nullopt;
  }
  return out;
}

// cancel() from another thread: the cancel record on NI (once per
// conversation) and the interruption of the calls in flight. None, or null
// with the Python error set.
PyObject* cancel_connection(const ModuleState& ms, State& s);

// The Python error of a failed step of `op` (`what` names it in the
// message): an interruption as what interrupted it (cancel() as the
// Cancelled protocol error, close(), a pending signal), an open past its
// time-out as RFC_CANCELED "{what} did not open within the timeout: {the
// step's time-out}", else the protocol error as it maps. Always null.
std::nullptr_t raise_operation_error(const ModuleState& ms, Operation& op, std::string_view what,
                                     const proto::ProtocolError& error);

// `f`'s value for the live session, as one step of `op`; nothing, with the
// Python error set, when the connection is closed or `f` failed (its error
// as raise_operation_error maps it, `what` naming the step).
template <class F>
auto session_step(const ModuleState& ms, State& s, Operation& op, std::string_view what, F&& f)
    -> std::optional<typename decltype(f(std::declval<proto::RfcConnection&>()))::value_type> {
  auto result = with_live_session(ms, s, op, what, std::forward<F>(f));
  if (!result) return std::nullopt;
  if (!*result) {
    raise_operation_error(ms, op, what, result->error());
    return std::nullopt;
  }
  return std::move(*result).value();
}

}  // namespace quib::ext

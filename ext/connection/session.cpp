#include "ext/connection/session.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <variant>

#include "proto/session/metadata_cache.hpp"

namespace quib::ext {

namespace {

using proto::Interruption;
using proto::ProtocolError;

// Runs on the waiting thread between slices of a wait: takes the
// interpreter lock briefly and lets Python run its signal handlers. An
// exception they raise (KeyboardInterrupt) is kept for the operation's
// thread, and the operation ends.
bool look_at_signals(PendingSignal& pending) {
  const PyGILState_STATE gil = PyGILState_Ensure();
  const bool go_on = PyErr_CheckSignals() == 0;
  if (!go_on) {
    if (pending.type == nullptr) {
      PyErr_Fetch(&pending.type, &pending.value, &pending.traceback);
    } else {
      PyErr_Clear();
    }
  }
  PyGILState_Release(gil);
  return go_on;
}

void clear_signal(PendingSignal& pending) {
  Py_CLEAR(pending.type);
  Py_CLEAR(pending.value);
  Py_CLEAR(pending.traceback);
}

bool is_wsrfc(const proto::Route& route) {
  return std::holds_alternative<proto::Route::WsRfc>(route.value);
}

// Interrupts the registered operations that `why` concerns; whether there
// was one. Called with the cancel mutex held.
bool interrupt_running(State& s, Interruption why) {
  bool any = false;
  for (Operation* op : s.running) {
    if (why == Interruption::Cancelled && op->kind() != Operation::Kind::Call) continue;
    op->interrupt(why);
    any = true;
  }
  return any;
}

std::optional<proto::CancelHandle> take_cancel_handle(State& s) {
  std::lock_guard<std::mutex> guard(s.cancel_mutex);
  return std::exchange(s.cancel, std::nullopt);
}

void drop_cancel_handle(State& s) {
  std::optional<proto::CancelHandle> handle = take_cancel_handle(s);
  if (handle) handle->close();
}

// With `inner` held: the session out, its closing record sent when the
// socket takes it at once, the socket closed; the connection is closed.
void close_locked(State& s) {
  s.reopen_due = false;
  std::optional<proto::RfcConnection> taken = std::exchange(s.inner, std::nullopt);
  // A reopen that raced the close may have put a handle of its own there.
  drop_cancel_handle(s);
  s.alive.store(false);
  if (taken) {
    taken->set_waits(std::make_shared<proto::Waits>(
        proto::saturating_deadline(proto::Clock::now(), kCloseRecordLimit)));
    // The closing exchange; its failure changes nothing for the caller.
    (void)std::move(*taken).close();
  }
}

// Whether a failed reopen leaves the reopen due (the operation was broken
// off, or its own time ran out) rather than the connection closed.
bool reopen_still_due(const Operation& op, const ProtocolError& error) {
  return op.interrupted() != Interruption::None || (op.timed() && error.is_timeout());
}

}  // namespace

// ---------------------------------------------------------------- Operation

Operation::Operation(State& s, Kind kind, std::shared_ptr<proto::Waits> waits,
                     std::shared_ptr<PendingSignal> signal)
    : s_(s),
      kind_(kind),
      started_(proto::Clock::now()),
      waits_(std::move(waits)),
      signal_(std::move(signal)) {}

std::unique_ptr<Operation> Operation::start(const ModuleState& ms, State& s, Kind kind) {
  auto signal = std::make_shared<PendingSignal>();
  auto waits =
      proto::Waits::interruptible(std::nullopt, [signal] { return look_at_signals(*signal); });
  if (!waits) {
    raise_protocol_error(ms, ProtocolError(std::move(waits).error()));
    return nullptr;
  }
  std::unique_ptr<Operation> op(new Operation(s, kind, std::move(waits).value(), signal));
  std::lock_guard<std::mutex> guard(s.cancel_mutex);
  s.running.push_back(op.get());
  return op;
}

Operation::~Operation() {
  {
    std::lock_guard<std::mutex> guard(s_.cancel_mutex);
    s_.running.erase(std::remove(s_.running.begin(), s_.running.end(), this), s_.running.end());
  }
  // The waits may outlive the operation (a session keeps the last ones it
  // was given); the exception they hold may not.
  clear_signal(*signal_);
}

void Operation::set_timeout(std::optional<std::chrono::nanoseconds> timeout) {
  if (timeout) {
    waits_->set_deadline(proto::saturating_deadline(started_, *timeout));
  } else {
    waits_->set_deadline(std::nullopt);
  }
}

bool Operation::restore_signal_error() {
  PendingSignal& p = *signal_;
  if (p.type == nullptr) return false;
  PyErr_Restore(std::exchange(p.type, nullptr), std::exchange(p.value, nullptr),
                std::exchange(p.traceback, nullptr));
  return true;
}

// ---------------------------------------------------------------- sessions

proto::ProtoResult<Opened> open_session(const State& s, const Operation& op) {
  QUIB_TRY(proto::RfcConnection connection,
           proto::open_by_route(s.params, s.route, proto::metadata_cache(), op.waits()));
  // A failure here drops the just-opened session, closing its socket.
  QUIB_TRY(std::optional<proto::CancelHandle> handle, connection.cancel_handle());
  return Opened{std::move(connection), std::move(handle)};
}

void install(State& s, Opened opened) {
  without_gil([&] {
    std::lock_guard<std::mutex> lock(s.inner_mutex);
    s.inner.reset();
    s.inner.emplace(std::move(opened.connection));
    s.reopen_due = false;
  });
  {
    std::lock_guard<std::mutex> guard(s.cancel_mutex);
    if (s.cancel) s.cancel->close();
    s.cancel = std::move(opened.handle);
  }
  s.alive.store(true);
}

std::shared_ptr<proto::ThroughputCounters> throughput_copy(State& s) {
  std::lock_guard<std::mutex> guard(s.throughput_mutex);
  return s.throughput;
}

void attach_throughput(State& s) {
  std::shared_ptr<proto::ThroughputCounters> copy = throughput_copy(s);
  without_gil([&] {
    std::lock_guard<std::mutex> lock(s.inner_mutex);
    if (s.inner) s.inner->set_throughput(std::move(copy));
  });
}

void close_inner(State& s) {
  {
    std::lock_guard<std::mutex> guard(s.cancel_mutex);
    interrupt_running(s, Interruption::Closed);
    if (s.cancel) s.cancel->close();
    s.cancel.reset();
  }
  s.alive.store(false);
  if (s.inner_owner.load() == std::this_thread::get_id()) {
    // A signal handler of the thread inside the session: that thread closes
    // it as soon as its interrupted operation lets the session go.
    s.close_asked.store(true);
    return;
  }
  without_gil([&] {
    std::lock_guard<std::mutex> lock(s.inner_mutex);
    close_locked(s);
  });
}

SessionAccess::SessionAccess(State& s) : s_(s) {
  s_.inner_mutex.lock();
  s_.inner_owner.store(std::this_thread::get_id());
}

SessionAccess::~SessionAccess() {
  if (s_.close_asked.exchange(false)) close_locked(s_);
  s_.inner_owner.store(std::thread::id());
  s_.inner_mutex.unlock();
}

SessionReady ready_session(State& s, const Operation& op,
                           const std::shared_ptr<proto::ThroughputCounters>& throughput,
                           std::optional<ProtocolError>& failure) {
  if (!s.inner && !s.reopen_due) return SessionReady::Closed;
  if (s.inner && s.inner->alive()) {
    s.inner->set_waits(op.waits());
    return SessionReady::Ready;
  }
  // The conversation has ended: a new session, opened under this
  // operation's waits while `inner` stays held. The old one goes without
  // the closing exchange.
  s.inner.reset();
  drop_cancel_handle(s);
  auto opened = open_session(s, op);
  if (!opened) {
    failure = std::move(opened).error();
    s.reopen_due = reopen_still_due(op, *failure);
    if (!s.reopen_due) s.alive.store(false);
    return SessionReady::ReopenFailed;
  }
  Opened o = std::move(opened).value();
  s.inner.emplace(std::move(o.connection));
  s.inner->set_throughput(throughput);
  s.reopen_due = false;
  {
    std::lock_guard<std::mutex> guard(s.cancel_mutex);
    if (s.cancel) s.cancel->close();
    s.cancel = std::move(o.handle);
  }
  return SessionReady::Ready;
}

// ---------------------------------------------------------------- cancel

void cancel_on_server(State& s) {
  std::optional<proto::CancelHandle> handle = take_cancel_handle(s);
  if (!handle) return;
  // The failed wait has already marked the conversation as ended, and the
  // handle shares that flag, so it would refuse to write. The server still
  // has to be told to stop the function: the handle gets an armed flag of
  // its own for this one record. Whether the record got out changes
  // nothing here; the conversation is replaced either way.
  if (handle->armed()) handle->armed()->store(false);
  handle->share_flag(std::make_shared<std::atomic<bool>>(true));
  without_gil([&] { (void)proto::send_cancel(*handle); });
  handle->close();
}

PyObject* cancel_connection(const ModuleState& ms, State& s) {
  std::optional<proto::CancelHandle> handle;
  bool claimed = false;
  bool interrupted = false;
  {
    std::lock_guard<std::mutex> guard(s.cancel_mutex);
    handle = std::exchange(s.cancel, std::nullopt);
    if (handle && handle->armed()) {
      // The conversation counts as ended from here on, before the call in
      // flight wakes up: the record below is this conversation's only one,
      // and its own failing wait cannot disarm it first.
      claimed = handle->armed()->exchange(false);
      if (claimed) handle->share_flag(std::make_shared<std::atomic<bool>>(true));
    }
    // WebSocket RFC has no cancel record: its calls are left alone.
    if (handle || !is_wsrfc(s.route)) interrupted = interrupt_running(s, Interruption::Cancelled);
  }
  if (!handle) {
    if (interrupted) Py_RETURN_NONE;
    return raise_external(ms, std::string(kNothingToCancel));
  }
  if (!claimed) {
    handle->close();
    if (interrupted) Py_RETURN_NONE;
    return raise_protocol_error(ms, ProtocolError::nothing_to_cancel());
  }
  auto sent = without_gil([&] { return proto::send_cancel(*handle); });
  handle->close();
  // A request that never got out whole has nothing running to cancel.
  if (!sent && !(interrupted && sent.error().is(ProtocolError::NothingToCancel)))
    return raise_protocol_error(ms, sent.error());
  Py_RETURN_NONE;
}

std::nullptr_t raise_operation_error(const ModuleState& ms, State& s, Operation& op,
                                     std::string_view what, const ProtocolError& error) {
  switch (op.interrupted()) {
    case Interruption::Cancelled:
      // As when the server's answer to the cancel had ended the exchange.
      return raise_protocol_error(ms, ProtocolError::cancelled());
    case Interruption::Closed:
      return raise_error(ms, rfc::kClosed,
                         fmt::format("{} was interrupted: the connection was closed", what));
    case Interruption::Aborted:
      // A pending signal cancels the call the way cancel() would.
      cancel_on_server(s);
      if (op.restore_signal_error()) return nullptr;
      return raise_protocol_error(ms, ProtocolError::cancelled());
    case Interruption::None:
      break;
  }
  // An open that ran past its operation's time-out ends like a call that
  // did: RFC_CANCELED, naming the step that was waiting.
  if (op.kind() == Operation::Kind::Open && op.timed() && error.is_timeout())
    return raise_canceled(ms, fmt::format("{} did not open within the timeout: {}", what,
                                          error.get<proto::IoError>()->message()));
  return raise_protocol_error(ms, error);
}

}  // namespace quib::ext

#include "ext/connection/session.hpp"

#include <fmt/format.h>
#include <unistd.h>

#include <algorithm>
#include <thread>
#include <variant>

#include "proto/session/metadata_cache.hpp"
#include "proto/transport/ni_transport.hpp"
#include "proto/transport/ws_transport.hpp"

namespace quib::ext {

namespace {

using proto::Interruption;
using proto::ProtocolError;

bool is_wsrfc(const proto::Route& route) {
  return std::holds_alternative<proto::Route::WsRfc>(route.value);
}

// Interrupts the registered operations that `why` concerns; whether there
// was one. A cancel concerns the calls that are inside the session or on
// their way to it, not those that wait for another thread's operation to
// let it go. Called with the cancel mutex held.
bool interrupt_running(Live& l, Interruption why) {
  bool any = false;
  for (Operation* op : l.running) {
    if (why == Interruption::Cancelled && (op->kind() != Operation::Kind::Call || op->queued()))
      continue;
    op->interrupt(why);
    any = true;
  }
  return any;
}

std::optional<proto::CancelHandle> take_cancel_handle(Live& l) {
  std::lock_guard<std::mutex> guard(l.cancel_mutex);
  return std::exchange(l.cancel, std::nullopt);
}

void drop_cancel_handle(Live& l) {
  std::optional<proto::CancelHandle> handle = take_cancel_handle(l);
  if (handle) handle->close();
}

// With `inner` held: the session out, its closing record sent when the
// socket takes it at once, the socket closed.
void end_session_locked(Live& l) {
  std::optional<proto::RfcConnection> taken = std::exchange(l.inner, std::nullopt);
  // A reopen that raced the close may have put a handle of its own there.
  drop_cancel_handle(l);
  if (taken) {
    taken->set_waits(std::make_shared<proto::Waits>(
        proto::saturating_deadline(proto::Clock::now(), kCloseRecordLimit)));
    // The closing exchange; its failure changes nothing for the caller.
    (void)std::move(*taken).close();
  }
}

// With `inner` held: the connection is closed.
void close_locked(State& s) {
  s.live->close_asked.store(false);
  s.live->reopen_due = false;
  s.alive.store(false);
  end_session_locked(*s.live);
}

// With `inner` held: a newly opened session and its handle in place.
void install_locked(Live& l, Opened opened,
                    const std::shared_ptr<proto::ThroughputCounters>& throughput) {
  l.inner.emplace(std::move(opened.connection));
  l.inner->set_throughput(throughput);
  l.reopen_due = false;
  std::lock_guard<std::mutex> guard(l.cancel_mutex);
  if (l.cancel) l.cancel->close();
  l.cancel = std::move(opened.handle);
}

// Takes `lock` whatever happens: without a bell (no descriptor to be had)
// the wait polls.
void lock_without_limit(proto::WaitableLock& lock) {
  while (!lock.lock(nullptr, std::nullopt))
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Whether a failed reopen leaves the reopen due (the operation was broken
// off, or its own time ran out) rather than the connection closed.
bool reopen_still_due(const Operation& op, const ProtocolError& error) {
  return op.interrupted() != Interruption::None || (op.timed() && error.is_timeout());
}

// The socket of a session's transport, for a forked child to close its
// copy; -1 for a transport without one.
int session_socket(proto::RfcConnection& session) {
  proto::Transport& t = session.transport();
  if (auto* ni = dynamic_cast<proto::NiTransport*>(&t)) return ni->socket().fd();
  if (auto* ws = dynamic_cast<proto::WsTransport*>(&t)) return ws->socket().fd();
  return -1;
}

// In a forked child: closes the child's copies of the descriptors that the
// parent's session uses, so that the connection ends when the parent lets
// it go. Nothing is sent, no lock is taken (a parent's thread may have held
// one at the fork), and the objects are never freed here: a parent's thread
// may have been changing them.
void leave_to_parent(Live& inherited) {
  if (inherited.inner) {
    const int fd = session_socket(*inherited.inner);
    if (fd >= 0) ::close(fd);
  }
  if (inherited.cancel) inherited.cancel->close();
  inherited.inner_lock.abandon_after_fork();
}

}  // namespace

// ---------------------------------------------------------------- forks

State& adopt_after_fork(State& s) {
  if (!s.stamp.inherited()) return s;
  auto fresh = std::make_unique<Live>();
  Live* inherited = s.live.release();  // the parent's: left alone from here on
  // Copied with the interpreter lock held, under which alone it changes.
  fresh->throughput = inherited->throughput;
  // The child's first operation opens a session of its own.
  fresh->reopen_due = inherited->inner.has_value() || inherited->reopen_due;
  leave_to_parent(*inherited);
  s.live = std::move(fresh);
  s.stamp.renew();
  return s;
}

void free_state(State* s) {
  if (s->stamp.inherited()) {
    leave_to_parent(*s->live);
    (void)s->live.release();
  }
  delete s;
}

// ---------------------------------------------------------------- Operation

Operation::Operation(Live& live, Kind kind, std::shared_ptr<proto::Waits> waits,
                     std::shared_ptr<SignalCatch> signal)
    : live_(live),
      kind_(kind),
      started_(proto::Clock::now()),
      waits_(std::move(waits)),
      signal_(std::move(signal)) {}

std::unique_ptr<Operation> Operation::start(const ModuleState& ms, State& s, Kind kind) {
  auto signal = std::make_shared<SignalCatch>();
  auto waits = proto::Waits::interruptible(std::nullopt, [signal] { return signal->look(); });
  if (!waits) {
    raise_protocol_error(ms, ProtocolError(std::move(waits).error()));
    return nullptr;
  }
  Live& l = *s.live;
  std::unique_ptr<Operation> op(new Operation(l, kind, std::move(waits).value(), signal));
  std::lock_guard<std::mutex> guard(l.cancel_mutex);
  l.running.push_back(op.get());
  return op;
}

Operation::~Operation() {
  {
    std::lock_guard<std::mutex> guard(live_.cancel_mutex);
    live_.running.erase(std::remove(live_.running.begin(), live_.running.end(), this),
                        live_.running.end());
  }
  // The waits may outlive the operation (a session keeps the last ones it
  // was given); the exception they hold may not.
  signal_->clear();
}

void Operation::set_timeout(std::optional<std::chrono::nanoseconds> timeout) {
  if (timeout) {
    waits_->set_deadline(proto::saturating_deadline(started_, *timeout));
  } else {
    waits_->set_deadline(std::nullopt);
  }
}

bool Operation::restore_signal_error() { return signal_->restore(); }

// ---------------------------------------------------------------- sessions

proto::ProtoResult<Opened> open_session(const State& s, const Operation& op) {
  QUIB_TRY(proto::RfcConnection connection,
           proto::open_by_route(s.params, s.route, proto::metadata_cache(), op.waits()));
  // A failure here drops the just-opened session, closing its socket.
  QUIB_TRY(std::optional<proto::CancelHandle> handle, connection.cancel_handle());
  return Opened{std::move(connection), std::move(handle)};
}

std::shared_ptr<proto::ThroughputCounters> throughput_copy(State& s) {
  std::lock_guard<std::mutex> guard(s.live->throughput_mutex);
  return s.live->throughput;
}

void close_inner(State& s) {
  Live& l = *s.live;
  l.close_asked.store(true);
  {
    std::lock_guard<std::mutex> guard(l.cancel_mutex);
    interrupt_running(l, Interruption::Closed);
    if (l.cancel) l.cancel->close();
    l.cancel.reset();
  }
  s.alive.store(false);
  if (l.inner_lock.held_by_this_thread()) {
    // A signal handler of the thread inside the session: that thread closes
    // it as soon as its interrupted operation lets the session go.
    return;
  }
  without_gil([&] {
    // Every operation was interrupted: the one inside lets go at once.
    lock_without_limit(l.inner_lock);
    proto::WaitableLockGuard held(l.inner_lock);
    close_locked(s);
  });
}

PyObject* reopen_connection(const ModuleState& ms, State& s) {
  constexpr std::string_view kWhat = "reopen()";
  Live& l = *s.live;
  if (l.inner_lock.held_by_this_thread()) return raise_in_use_here(ms, kWhat);
  auto op = Operation::start(ms, s, Operation::Kind::Open);
  if (!op) return nullptr;
  op->set_timeout(s.defaults.timeout);
  const std::shared_ptr<proto::ThroughputCounters> throughput = throughput_copy(s);
  std::optional<proto::IoError> not_got;
  std::optional<ProtocolError> failed;
  without_gil([&] {
    auto got = take_session(s, *op);
    if (!got) {
      not_got = std::move(got).error();
      return;
    }
    SessionAccess access(s);
    // The old conversation ends with its closing record; the connection
    // stays alive meanwhile, since it is getting a new session.
    l.reopen_due = false;
    end_session_locked(l);
    auto opened = open_session(s, *op);
    // A close() that came while the new session was being opened wins.
    if (opened && op->interrupted() != Interruption::Closed) {
      install_locked(l, std::move(opened).value(), throughput);
      s.alive.store(true);
      return;
    }
    failed = opened ? ProtocolError(proto::interrupted_error(op->interrupted()))
                    : std::move(opened).error();
    s.alive.store(false);
  });
  if (not_got) return raise_not_got(ms, *op, kWhat, *not_got);
  if (failed) return raise_operation_error(ms, *op, kWhat, *failed);
  Py_RETURN_NONE;
}

wire::Status<proto::IoError> take_session(State& s, Operation& op) {
  proto::WaitableLock& lock = s.live->inner_lock;
  if (lock.try_lock()) return wire::ok_unit;
  op.set_queued(true);
  auto got = lock.lock(op.waits().get(), op.waits()->deadline());
  op.set_queued(false);
  return got;
}

SessionAccess::~SessionAccess() {
  Live& l = *s_.live;
  if (l.close_asked.exchange(false)) close_locked(s_);
  l.inner_lock.unlock();
}

SessionReady ready_session(State& s, const Operation& op,
                           const std::shared_ptr<proto::ThroughputCounters>& throughput,
                           std::optional<ProtocolError>& failure) {
  Live& l = *s.live;
  if (l.close_asked.load()) close_locked(s);
  if (!l.inner && !l.reopen_due) return SessionReady::Closed;
  if (l.inner && l.inner->alive()) {
    l.inner->set_waits(op.waits());
    l.inner->set_throughput(throughput);
    return SessionReady::Ready;
  }
  // The conversation has ended: a new session, opened under this
  // operation's waits while `inner` stays held. The old one goes without
  // the closing exchange.
  l.inner.reset();
  drop_cancel_handle(l);
  auto opened = open_session(s, op);
  if (!opened) {
    failure = std::move(opened).error();
    l.reopen_due = reopen_still_due(op, *failure);
    if (!l.reopen_due) s.alive.store(false);
    return SessionReady::ReopenFailed;
  }
  install_locked(l, std::move(opened).value(), throughput);
  return SessionReady::Ready;
}

// ---------------------------------------------------------------- failures

void after_failed_step(State& s, const Operation& op, const ProtocolError& error) {
  const Interruption why = op.interrupted();
  const bool broken_off = why == Interruption::Aborted ||
                          (why == Interruption::None && op.timed() && error.is_timeout());
  if (!broken_off) return;
  std::optional<proto::CancelHandle> handle = take_cancel_handle(*s.live);
  if (!handle) return;
  // The failed wait has already marked the conversation as ended, and the
  // handle shares that flag, so it would refuse to write. The server still
  // has to be told to stop the function: the handle gets an armed flag of
  // its own for this one record. Whether the record got out changes
  // nothing here; the conversation is replaced either way.
  if (handle->armed()) handle->armed()->store(false);
  handle->share_flag(std::make_shared<std::atomic<bool>>(true));
  (void)proto::send_cancel(*handle);
  handle->close();
}

std::nullptr_t raise_in_use_here(const ModuleState& ms, std::string_view what) {
  return raise_external(ms, fmt::format("{} cannot wait for the connection on the thread that "
                                        "holds it: code that runs during one of its waits, such "
                                        "as a signal handler, cannot use it",
                                        what));
}

std::nullptr_t raise_not_got(const ModuleState& ms, Operation& op, std::string_view what,
                             const proto::IoError& error) {
  switch (op.interrupted()) {
    case Interruption::Cancelled:
      // cancel() came while the operation was still on its way to the
      // session.
      return raise_canceled(ms, fmt::format("{} was cancelled", what));
    case Interruption::None:
      break;
    default:
      return raise_operation_error(ms, op, what, ProtocolError(error));
  }
  if (error.kind == proto::IoError::TimedOut)
    return raise_canceled(ms,
                          fmt::format("{} could not get the connection within the timeout", what));
  return raise_protocol_error(ms, ProtocolError(error));
}

// ---------------------------------------------------------------- cancel

PyObject* cancel_connection(const ModuleState& ms, State& s) {
  Live& l = *s.live;
  std::optional<proto::CancelHandle> handle;
  bool claimed = false;
  bool interrupted = false;
  {
    std::lock_guard<std::mutex> guard(l.cancel_mutex);
    handle = std::exchange(l.cancel, std::nullopt);
    if (handle && handle->armed()) {
      // The conversation counts as ended from here on, before the call in
      // flight wakes up: the record below is this conversation's only one,
      // and its own failing wait cannot disarm it first.
      claimed = handle->armed()->exchange(false);
      if (claimed) handle->share_flag(std::make_shared<std::atomic<bool>>(true));
    }
    // WebSocket RFC has no cancel record: its calls are left alone.
    if (handle || !is_wsrfc(s.route)) interrupted = interrupt_running(l, Interruption::Cancelled);
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

std::nullptr_t raise_operation_error(const ModuleState& ms, Operation& op, std::string_view what,
                                     const ProtocolError& error) {
  switch (op.interrupted()) {
    case Interruption::Cancelled:
      // As when the server's answer to the cancel had ended the exchange.
      return raise_protocol_error(ms, ProtocolError::cancelled());
    case Interruption::Closed:
      return raise_error(ms, rfc::kClosed,
                         fmt::format("{} was interrupted: the connection was closed", what));
    case Interruption::Aborted:
      // A pending signal: its exception, raised here; the server was told
      // to stop while the session was still this operation's.
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

// What bounds and interrupts the blocking socket steps of one operation (a
// call, an open, a close):
//
//   - a deadline for the whole operation, or none; without one every step
//     keeps its own fixed limit (the connect and I/O time-outs);
//   - a wake-up descriptor (an eventfd) that another thread raises to end
//     every wait of the operation at once: cancel() and close() of the
//     binding;
//   - an optional periodic check that a long wait runs between slices of
//     at most kCheckSlice (the binding's look at pending Python signals);
//     a refusal interrupts the operation.
//
// Long stretches of CPU work of the operation (decoding a large reply) ask
// keep_working() as they go: it looks at the interruption and the deadline
// every time, and runs the periodic check at most every kWorkCheckSlice.
//
// Every wait is a poll on the socket and the wake-up descriptor together
// with the time left; no socket option bounds a wait. A wait for a lock
// that another thread holds is one more such wait (WaitableLock).
#pragma once

#include <poll.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <thread>

#include "proto/base/io_error.hpp"
#include "proto/net/fork.hpp"
#include "wire/result.hpp"

namespace quib::proto {

using Clock = std::chrono::steady_clock;
using TimePoint = Clock::time_point;

// Why an operation was broken off from outside its own thread.
enum class Interruption : std::uint8_t {
  None,
  Cancelled,  // cancel() of the connection
  Closed,     // close() of the connection
  Aborted,    // the periodic check refused (a pending signal)
};

// "the call was cancelled", "the connection was closed", ...
std::string_view interruption_text(Interruption why);

// The longest sleep of a wait that has a periodic check to run.
inline constexpr std::chrono::milliseconds kCheckSlice{50};
// How often CPU work runs the periodic check: often enough that a pending
// signal ends it within a few milliseconds, seldom enough that taking the
// interpreter lock for the look costs nothing measurable.
inline constexpr std::chrono::milliseconds kWorkCheckSlice{4};

class Waits {
 public:
  // Runs on the waiting thread between slices; false ends the operation.
  using Check = std::function<bool()>;

  // Bounds without a wake-up descriptor: interrupt() is seen by the next
  // step, but cannot end a wait already in progress.
  explicit Waits(std::optional<TimePoint> deadline = std::nullopt, Check check = {});
  // Bounds with a wake-up descriptor; fails only when no descriptor can be
  // had (the process is out of them).
  static wire::Result<std::shared_ptr<Waits>, IoError> interruptible(
      std::optional<TimePoint> deadline, Check check = {});

  ~Waits();
  Waits(const Waits&) = delete;
  Waits& operator=(const Waits&) = delete;

  const std::optional<TimePoint>& deadline() const { return deadline_; }
  // Set by the thread that runs the operation, never while another thread
  // may be waiting under these waits.
  void set_deadline(std::optional<TimePoint> deadline) { deadline_ = deadline; }
  // Whether the deadline has passed (false without one).
  bool past_deadline() const { return deadline_ && Clock::now() >= *deadline_; }
  // When a step that starts now must end: at the deadline when the
  // operation has one, else after the step's own fixed limit (none: never).
  std::optional<TimePoint> end_of_step(std::optional<Duration> limit) const;

  // From any thread. The first reason stays; every wait of the operation,
  // the ones in progress included, ends with it.
  void interrupt(Interruption why) const;
  Interruption interrupted() const { return reason_.load(std::memory_order_acquire); }
  bool was_interrupted() const { return interrupted() != Interruption::None; }

  int wake_fd() const { return wake_fd_; }
  bool has_check() const { return static_cast<bool>(check_); }
  // Runs the check (when there is one); a refusal interrupts the operation
  // as Aborted. Returns whether the operation goes on.
  bool run_check() const;

  // For CPU work of the operation's own thread: false when the operation
  // was interrupted, its deadline has passed, or the periodic check (run
  // when kWorkCheckSlice has passed since its last run) refused.
  bool keep_working() const;
  // The error CPU work that keep_working() ended ends with, as a wait's
  // would: Interrupted with the reason, else TimedOut.
  IoError stop_error() const;

 private:
  std::optional<TimePoint> deadline_;
  Check check_;
  int wake_fd_ = -1;
  mutable std::atomic<Interruption> reason_{Interruption::None};
  // When keep_working() last ran the check; touched by the operation's own
  // thread only.
  mutable TimePoint last_work_check_{};
  // A forked child that drops inherited waits must not hand the parent's
  // descriptor to its own operations.
  ForkStamp stamp_;
};

// `start` + `span`, or the farthest time point when that lies beyond it.
TimePoint saturating_deadline(TimePoint start, Duration span);

// The end of a step that starts now: `waits`' rule, or the fixed limit
// alone without waits.
std::optional<TimePoint> end_of_step(const Waits* waits, std::optional<Duration> limit);

// The errors a wait ends with: Interrupted with the reason's text, and
// TimedOut "timed out".
IoError interrupted_error(Interruption why);
IoError timed_out_error();

// Waits until `fd` is ready for `events` (POLLIN, POLLOUT; an error or
// hang-up on it counts as ready, the I/O call reports it), until `end`
// passes (TimedOut; none: no end) or until the operation is interrupted
// (Interrupted). Signals that interrupt the poll are retried, after a run
// of the check.
wire::Status<IoError> wait_ready(int fd, short events, const Waits* waits,
                                 std::optional<TimePoint> end);

// A mutex whose waits belong to the operation that wants it: a thread that
// finds it held waits with its operation's deadline, wake-up and periodic
// check, like for any socket, instead of blocking until the holder lets go.
// A holder ringing a bell (an eventfd, made on the first contended wait)
// on unlock wakes the waiters, which then race for it; the holder never
// notices that anybody waits.
//
// Not recursive: the holder asking again is refused at once
// (held_by_this_thread tells beforehand), since waiting for itself would
// never end.
class WaitableLock {
 public:
  WaitableLock() = default;
  ~WaitableLock();
  WaitableLock(const WaitableLock&) = delete;
  WaitableLock& operator=(const WaitableLock&) = delete;

  bool try_lock();
  // Takes the lock, waiting while another thread holds it: until it is
  // free, until `end` passes (TimedOut; none: no end) or until the
  // operation of `waits` is interrupted (Interrupted). The operating
  // system's EDEADLK, without waiting, when this thread holds it already;
  // its error too when the bell cannot be made.
  wire::Status<IoError> lock(const Waits* waits, std::optional<TimePoint> end);
  void unlock();

  // Whether the calling thread holds the lock (a signal handler that runs
  // inside the holder's wait, on the holder's thread).
  bool held_by_this_thread() const {
    return owner_.load(std::memory_order_acquire) == std::this_thread::get_id();
  }

  // In a forked child that leaves the lock to the parent: closes the
  // child's copy of the bell, whatever state the lock was copied in. The
  // lock is not used again.
  void abandon_after_fork();

 private:
  std::mutex mutex_;  // held for a few instructions only
  bool held_ = false;
  std::atomic<std::thread::id> owner_{};
  unsigned waiters_ = 0;  // threads between a failed try and their next look
  bool rung_ = false;     // the bell's counter may be above zero
  int bell_fd_ = -1;
};

// Holds a WaitableLock taken by the caller; unlocks when dropped.
class WaitableLockGuard {
 public:
  explicit WaitableLockGuard(WaitableLock& lock) : lock_(lock) {}
  ~WaitableLockGuard() { lock_.unlock(); }
  WaitableLockGuard(const WaitableLockGuard&) = delete;
  WaitableLockGuard& operator=(const WaitableLockGuard&) = delete;

 private:
  WaitableLock& lock_;
};

}  // namespace quib::proto

#include "proto/net/waits.hpp"

#include <fmt/format.h>
#include <pthread.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>
#include <mutex>
#include <vector>

namespace quib::proto {

namespace {

// Milliseconds for poll: the time left rounded up (so that a wait never
// ends a fraction of a millisecond early and spins), capped to int; -1
// waits without end.
int poll_millis(std::optional<TimePoint> end, TimePoint now) {
  if (!end) return -1;
  if (*end <= now) return 0;
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(*end - now).count();
  return left > std::numeric_limits<int>::max() ? std::numeric_limits<int>::max()
                                                : static_cast<int>(left);
}

// Reads an eventfd's counter back to zero (EAGAIN: it was zero).
void drain_wake_fd(int fd) {
  std::uint64_t count = 0;
  while (::read(fd, &count, sizeof count) < 0 && errno == EINTR) {
  }
}

// Wake-up descriptors of ended operations, kept for the next ones: every
// call of the binding runs under waits of its own, and an eventfd and a
// close per call cost about an eighth of a small call over loopback.
// A descriptor comes back here only when no Waits holds it any more, its
// counter at zero (read back when the waits were interrupted). A forked
// child drops the spares: their counters are shared with the parent's.
class SpareWakeFds {
 public:
  static SpareWakeFds& instance() {
    static SpareWakeFds* pool = [] {
      auto* p = new SpareWakeFds;  // lives as long as the process
      ::pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                       [] { instance().forget_in_child(); });
      return p;
    }();
    return *pool;
  }

  int take() {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (!fds_.empty()) {
        const int fd = fds_.back();
        fds_.pop_back();
        return fd;
      }
    }
    return ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  }

  // `raised`: the counter may be above zero (the waits were interrupted).
  void give_back(int fd, bool raised) {
    if (raised) drain_wake_fd(fd);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      if (fds_.size() < kKept) {
        fds_.push_back(fd);
        return;
      }
    }
    ::close(fd);
  }

 private:
  // Enough for the operations of a few threads at once.
  static constexpr std::size_t kKept = 16;

  // In the child of a fork, where the parent's handler holds the mutex.
  void forget_in_child() {
    for (const int fd : fds_) ::close(fd);
    fds_.clear();
    mutex_.unlock();
  }

  std::mutex mutex_;
  std::vector<int> fds_;
};

int with_check_slice(int millis) {
  constexpr int slice = static_cast<int>(kCheckSlice.count());
  return millis < 0 || millis > slice ? slice : millis;
}

}  // namespace

std::string_view interruption_text(Interruption why) {
  switch (why) {
    case Interruption::Cancelled:
      return "the call was cancelled";
    case Interruption::Closed:
      return "the connection was closed";
    case Interruption::Aborted:
      return "the wait was broken off";
    case Interruption::None:
      break;
  }
  return "not interrupted";
}

Waits::Waits(std::optional<TimePoint> deadline, Check check)
    : deadline_(deadline), check_(std::move(check)) {}

wire::Result<std::shared_ptr<Waits>, IoError> Waits::interruptible(
    std::optional<TimePoint> deadline, Check check) {
  const int fd = SpareWakeFds::instance().take();
  if (fd < 0) return wire::err(IoError::from_errno(errno));
  auto waits = std::make_shared<Waits>(deadline, std::move(check));
  waits->wake_fd_ = fd;
  return waits;
}

Waits::~Waits() {
  if (wake_fd_ < 0) return;
  if (stamp_.inherited()) {
    // The parent's descriptor: its counter is shared with the parent.
    ::close(wake_fd_);
    return;
  }
  SpareWakeFds::instance().give_back(wake_fd_, was_interrupted());
}

std::optional<TimePoint> Waits::end_of_step(std::optional<Duration> limit) const {
  if (deadline_) return deadline_;
  if (limit) return saturating_deadline(Clock::now(), *limit);
  return std::nullopt;
}

void Waits::interrupt(Interruption why) const {
  if (why == Interruption::None) return;
  Interruption expected = Interruption::None;
  reason_.compare_exchange_strong(expected, why, std::memory_order_acq_rel);
  if (wake_fd_ >= 0) {
    // The counter stays above zero from now on: every later poll of the
    // descriptor returns at once. A full counter (EAGAIN) is readable too.
    const std::uint64_t one = 1;
    while (::write(wake_fd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
  }
}

bool Waits::run_check() const {
  if (!check_) return true;
  if (check_()) return true;
  interrupt(Interruption::Aborted);
  return false;
}

bool Waits::keep_working() const {
  if (was_interrupted()) return false;
  const TimePoint now = Clock::now();
  if (deadline_ && now >= *deadline_) return false;
  if (check_ && now - last_work_check_ >= kWorkCheckSlice) {
    last_work_check_ = now;
    return run_check();
  }
  return true;
}

IoError Waits::stop_error() const {
  if (was_interrupted()) return interrupted_error(interrupted());
  return timed_out_error();
}

TimePoint saturating_deadline(TimePoint start, Duration span) {
  const auto room = TimePoint::max() - start;
  if (span >= room) return TimePoint::max();
  return start + std::chrono::duration_cast<Clock::duration>(span);
}

std::optional<TimePoint> end_of_step(const Waits* waits, std::optional<Duration> limit) {
  if (waits) return waits->end_of_step(limit);
  if (limit) return saturating_deadline(Clock::now(), *limit);
  return std::nullopt;
}

IoError interrupted_error(Interruption why) {
  return IoError::custom(IoError::Interrupted,
                         fmt::format("interrupted: {}", interruption_text(why)));
}

IoError timed_out_error() {
  IoError e = IoError::custom(IoError::TimedOut, "timed out");
  e.os_code = ETIMEDOUT;
  return e;
}

wire::Status<IoError> wait_ready(int fd, short events, const Waits* waits,
                                 std::optional<TimePoint> end) {
  const int wake = waits ? waits->wake_fd() : -1;
  const bool checked = waits && waits->has_check();
  for (;;) {
    if (waits && waits->was_interrupted())
      return wire::err(interrupted_error(waits->interrupted()));
    const TimePoint now = Clock::now();
    if (end && now >= *end) return wire::err(timed_out_error());
    int millis = poll_millis(end, now);
    if (checked) millis = with_check_slice(millis);
    pollfd fds[2] = {{fd, events, 0}, {wake, POLLIN, 0}};
    const int r = ::poll(fds, wake >= 0 ? 2 : 1, millis);
    if (r < 0) {
      if (errno != EINTR) return wire::err(IoError::from_errno(errno));
      // A signal: let the check look at it now rather than a slice later.
      if (waits) waits->run_check();
      continue;
    }
    if (r == 0) {
      if (waits) waits->run_check();
      continue;
    }
    if (fds[1].revents != 0) {
      // Raised without an interruption: only a process forked while these
      // waits were in use can have written to it. Read it back to zero
      // rather than spin on it; an interruption is reported at the top.
      if (!waits->was_interrupted()) drain_wake_fd(wake);
      continue;
    }
    if (fds[0].revents != 0) return wire::ok_unit;
  }
}

// ---------------------------------------------------------------- WaitableLock

WaitableLock::~WaitableLock() {
  if (bell_fd_ >= 0) ::close(bell_fd_);
}

bool WaitableLock::try_lock() {
  std::lock_guard<std::mutex> guard(mutex_);
  if (held_) return false;
  held_ = true;
  owner_.store(std::this_thread::get_id(), std::memory_order_release);
  return true;
}

wire::Status<IoError> WaitableLock::lock(const Waits* waits, std::optional<TimePoint> end) {
  if (held_by_this_thread()) return wire::err(IoError::from_errno(EDEADLK));
  for (;;) {
    {
      std::lock_guard<std::mutex> guard(mutex_);
      // The bell is read back to zero before the look, under the mutex: an
      // unlock after the look rings again, so no release goes unheard.
      if (rung_) {
        drain_wake_fd(bell_fd_);
        rung_ = false;
      }
      if (!held_) {
        held_ = true;
        owner_.store(std::this_thread::get_id(), std::memory_order_release);
        return wire::ok_unit;
      }
      if (bell_fd_ < 0) {
        bell_fd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (bell_fd_ < 0) return wire::err(IoError::from_errno(errno));
      }
      ++waiters_;
    }
    auto rang = wait_ready(bell_fd_, POLLIN, waits, end);
    {
      std::lock_guard<std::mutex> guard(mutex_);
      --waiters_;
    }
    if (!rang) return rang;
  }
}

void WaitableLock::unlock() {
  std::lock_guard<std::mutex> guard(mutex_);
  held_ = false;
  owner_.store(std::thread::id(), std::memory_order_release);
  if (waiters_ == 0) return;
  const std::uint64_t one = 1;
  while (::write(bell_fd_, &one, sizeof one) < 0 && errno == EINTR) {
  }
  rung_ = true;
}

void WaitableLock::abandon_after_fork() {
  // The mutex may have been held by a thread that does not exist here: the
  // descriptor is read without it, and the lock is left as it was.
  if (bell_fd_ >= 0) ::close(bell_fd_);
  bell_fd_ = -1;
}

}  // namespace quib::proto

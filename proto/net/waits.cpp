#include "proto/net/waits.hpp"

#include <fmt/format.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <limits>

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
  const int fd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (fd < 0) return wire::err(IoError::from_errno(errno));
  auto waits = std::make_shared<Waits>(deadline, std::move(check));
  waits->wake_fd_ = fd;
  return waits;
}

Waits::~Waits() {
  if (wake_fd_ >= 0) ::close(wake_fd_);
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
    if (fds[1].revents != 0) continue;  // the top of the loop reports it
    if (fds[0].revents != 0) return wire::ok_unit;
  }
}

}  // namespace quib::proto

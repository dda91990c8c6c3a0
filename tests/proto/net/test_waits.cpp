// The waits of an operation: one deadline for the whole of it (however the
// peer dribbles its bytes), a wake-up that another thread raises to end a
// wait in progress, and a periodic check that can end it; what the socket
// and the NI transport do with them (nothing is sent once an operation is
// broken off, a torn request is never followed by a cancel frame); and the
// lock whose waits are such waits.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "proto/net/socket.hpp"
#include "proto/net/waits.hpp"
#include "proto/transport/ni_transport.hpp"
#include "proto/transport/transport.hpp"
#include "tests/proto/support/ni_test_peer.hpp"

namespace quib::proto {
namespace {

using namespace std::chrono_literals;
using test::socket_pair;
using wire::Bytes;

// Far beyond every bound below: a wait that runs into it has not been ended
// by what the case is about.
constexpr auto kFar = 20s;
constexpr auto kTolerance = 1500ms;

std::shared_ptr<Waits> interruptible(std::optional<TimePoint> deadline = std::nullopt,
                                     Waits::Check check = {}) {
  auto w = Waits::interruptible(deadline, std::move(check));
  EXPECT_TRUE(w) << w.error().message();
  return std::move(w).value();
}

// --------------------------------------------------------------- what ends a wait

struct EndCase {
  const char* name;
  // Makes the waits; may start a thread that acts on them later.
  std::function<std::shared_ptr<Waits>(std::thread&)> arrange;
  IoError::Kind kind;
  Interruption reason;
  Duration at_least;  // the wait lasts this long at least
  Duration at_most;   // and this long at most (plus the tolerance)
};

TEST(WaitEnds, EachWayOfEndingAWaitEndsItPromptlyAndSaysWhy) {
  const EndCase cases[] = {
      {"deadline", [](std::thread&) { return interruptible(Clock::now() + 200ms); },
       IoError::TimedOut, Interruption::None, 190ms, 200ms},
      {"cancel from another thread",
       [](std::thread& t) {
         auto w = interruptible(Clock::now() + kFar);
         t = std::thread([w] {
           std::this_thread::sleep_for(100ms);
           w->interrupt(Interruption::Cancelled);
         });
         return w;
       },
       IoError::Interrupted, Interruption::Cancelled, 90ms, 100ms},
      {"close wins over a later cancel",
       [](std::thread& t) {
         auto w = interruptible();
         t = std::thread([w] {
           std::this_thread::sleep_for(50ms);
           w->interrupt(Interruption::Closed);
           w->interrupt(Interruption::Cancelled);
         });
         return w;
       },
       IoError::Interrupted, Interruption::Closed, 40ms, 50ms},
      {"the check refuses on its third run",
       [](std::thread&) {
         auto runs = std::make_shared<int>(0);
         return interruptible(Clock::now() + kFar, [runs] { return ++*runs < 3; });
       },
       IoError::Interrupted, Interruption::Aborted, 2 * kCheckSlice, 3 * kCheckSlice},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.name);
    auto [mine, peer] = socket_pair();
    std::thread actor;
    auto waits = c.arrange(actor);
    mine.set_waits(waits);
    std::array<std::uint8_t, 16> buffer;
    const auto start = Clock::now();
    auto r = mine.receive_some(buffer);
    const auto took = Clock::now() - start;
    if (actor.joinable()) actor.join();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind, c.kind) << r.error().message();
    EXPECT_EQ(waits->interrupted(), c.reason);
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most + kTolerance);
    if (c.reason != Interruption::None) {
      EXPECT_EQ(r.error().message(), "interrupted: " + std::string(interruption_text(c.reason)));
    }
  }
}

TEST(WaitEnds, TheCheckRunsBetweenSlicesOfALongWait) {
  auto [mine, peer] = socket_pair();
  std::atomic<int> runs{0};
  mine.set_waits(interruptible(Clock::now() + 500ms, [&runs] {
    ++runs;
    return true;
  }));
  std::array<std::uint8_t, 16> buffer;
  auto r = mine.receive_some(buffer);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind, IoError::TimedOut);
  // 500 ms in slices of kCheckSlice: about ten runs, never a single long sleep.
  EXPECT_GE(runs.load(), 500ms / kCheckSlice - 2);
}

// --------------------------------------------------------------- deadline or fixed limit

// A peer that sends one frame of `size` payload bytes, one byte every `gap`.
std::thread trickle_frame(const Socket& peer, std::size_t size, Duration gap) {
  return std::thread([&peer, size, gap] {
    Bytes frame;
    wire::append_be32(frame, static_cast<std::uint32_t>(size));
    frame.resize(4 + size, 0x41);
    for (std::uint8_t b : frame) {
      std::this_thread::sleep_for(gap);
      if (::send(peer.fd(), &b, 1, MSG_NOSIGNAL) != 1) return;
    }
  });
}

TEST(Deadline, BoundsAWholeReceiveWhileAFixedLimitOnlyBoundsSilence) {
  struct Case {
    const char* name;
    bool deadline;  // else a fixed wait limit of the same length
    bool completes;
  };
  for (const Case c : {Case{"fixed limit: each byte resets it", false, true},
                       Case{"deadline: the frame is not done in time", true, false}}) {
    SCOPED_TRACE(c.name);
    auto [mine, peer] = socket_pair();
    if (c.deadline) {
      mine.set_waits(interruptible(Clock::now() + 300ms));
    } else {
      ASSERT_TRUE(mine.set_wait_limit(300ms));
    }
    NiTransport transport(std::move(mine));
    std::thread peer_thread = trickle_frame(peer, 16, 30ms);  // 20 bytes in 600 ms
    const auto start = Clock::now();
    auto frame = transport.read_ni_frame(kStepFunctionCall);
    const auto took = Clock::now() - start;
    (void)peer.shutdown_both();
    peer_thread.join();
    EXPECT_EQ(frame.ok(), c.completes) << (frame ? "" : frame.error().message());
    if (!c.completes) {
      EXPECT_TRUE(frame.error().is_timeout()) << frame.error().message();
      EXPECT_LE(took, 300ms + kTolerance);
    }
  }
}

// --------------------------------------------------------------- nothing after a stop

TEST(Interrupted, NothingIsSentOnceTheOperationIsBrokenOffOrOutOfTime) {
  struct Case {
    const char* name;
    std::function<void(Waits&)> stop;
    IoError::Kind kind;
  };
  const Case cases[] = {
      {"cancelled", [](Waits& w) { w.interrupt(Interruption::Cancelled); }, IoError::Interrupted},
      {"closed", [](Waits& w) { w.interrupt(Interruption::Closed); }, IoError::Interrupted},
      {"past its deadline", [](Waits& w) { w.set_deadline(Clock::now() - 1ms); },
       IoError::TimedOut},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    auto [mine, peer] = socket_pair();
    auto waits = interruptible();
    c.stop(*waits);
    mine.set_waits(waits);
    auto sent = mine.send_all(wire::as_bytes("request"));
    ASSERT_FALSE(sent.ok());
    EXPECT_EQ(sent.error().kind, c.kind);
    std::uint8_t b = 0;
    EXPECT_EQ(::recv(peer.fd(), &b, 1, MSG_DONTWAIT), -1);  // not a byte arrived
  }
  // Nor does a connect begin.
  test::Listener listener;
  auto address = resolve("127.0.0.1", std::to_string(listener.port()));
  ASSERT_TRUE(address.ok());
  auto waits = interruptible();
  waits->interrupt(Interruption::Closed);
  auto s = connect_tcp(address->front(), 5s, waits.get());
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind, IoError::Interrupted);
}

TEST(Interrupted, ABlockedSendEndsAndNoCancelFrameFollowsTheTornRequest) {
  auto [mine, peer] = socket_pair();
  const int small = 4096;
  ASSERT_EQ(::setsockopt(mine.fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  auto waits = interruptible();
  NiTransport transport(std::move(mine));
  transport.set_waits(waits);
  transport.set_conversation_id({'4', '2', '4', '2', '4', '2', '4', '2'});
  auto h = transport.cancel_handle();
  ASSERT_TRUE(h.ok() && h->has_value());
  CancelHandle handle = std::move(**h);

  // The peer reads nothing: the request cannot get out whole.
  ProtoStatus sent = wire::ok_unit;
  std::thread sender([&] {
    std::uint64_t counter = 0;
    sent = transport.send_counted(Bytes(10 * 28000, 0x55), counter);
  });
  std::this_thread::sleep_for(100ms);
  const auto start = Clock::now();
  waits->interrupt(Interruption::Cancelled);
  sender.join();
  EXPECT_LE(Clock::now() - start, kTolerance);
  ASSERT_FALSE(sent.ok());
  EXPECT_EQ(sent.error().message(), "I/O error: interrupted: the call was cancelled");

  // Nothing is running on the server: no cancel frame is written into the
  // half-sent request, and the handle is used up.
  auto cancel = send_cancel(handle);
  ASSERT_FALSE(cancel.ok());
  EXPECT_EQ(cancel.error(), ProtocolError::nothing_to_cancel());
  EXPECT_FALSE(handle.is_armed());
  handle.close();
  transport.set_waits(nullptr);
  Bytes wire_bytes;
  std::array<std::uint8_t, 65536> piece;
  for (;;) {
    const ssize_t n = ::recv(peer.fd(), piece.data(), piece.size(), MSG_DONTWAIT);
    if (n <= 0) break;
    wire_bytes.insert(wire_bytes.end(), piece.begin(), piece.begin() + n);
  }
  const Bytes cancel_bytes = wire::cancel_frame(transport.conversation_id_bytes());
  EXPECT_EQ(
      std::search(wire_bytes.begin(), wire_bytes.end(), cancel_bytes.begin(), cancel_bytes.end()),
      wire_bytes.end());
}

// Wake-up descriptors are kept from one operation for the next: a raised
// one must come back clear, and one raised from outside (a forked child
// sharing it) must neither end a wait nor make it spin.
TEST(WakeUp, ADescriptorRaisedBeforeStartsTheNextOperationClear) {
  auto [mine, peer] = socket_pair();
  // Its descriptor goes back to the spares, raised; the next waits take it.
  interruptible()->interrupt(Interruption::Cancelled);
  for (const bool raised_outside : {false, true}) {
    SCOPED_TRACE(raised_outside ? "raised without an interruption" : "after interrupted ones");
    auto w = interruptible(Clock::now() + 150ms);
    if (raised_outside) {
      const std::uint64_t one = 1;
      ASSERT_EQ(::write(w->wake_fd(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
    }
    const std::clock_t cpu_before = std::clock();
    const auto start = Clock::now();
    auto ready = wait_ready(mine.fd(), POLLIN, w.get(), w->deadline());
    const auto took = Clock::now() - start;
    const double cpu_ms = 1000.0 * static_cast<double>(std::clock() - cpu_before) / CLOCKS_PER_SEC;
    ASSERT_FALSE(ready);
    EXPECT_EQ(ready.error().kind, IoError::TimedOut) << ready.error().message();
    EXPECT_EQ(w->interrupted(), Interruption::None);
    EXPECT_GE(took, 140ms);
    EXPECT_LT(cpu_ms, 100.0) << "the wait spun on the wake-up descriptor";
  }
}

// --------------------------------------------------------------- CPU work

TEST(WorkChecks, LongWorkEndsAsAWaitWouldAndLooksAtSignalsAtAMeasuredRate) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<Waits>()> arrange;
    std::string error;  // empty: the work goes on
  };
  const Case cases[] = {
      {"nothing to stop it", [] { return interruptible(Clock::now() + kFar); }, ""},
      {"deadline passed", [] { return interruptible(Clock::now() - 1ms); }, "timed out"},
      {"cancelled",
       [] {
         auto w = interruptible();
         w->interrupt(Interruption::Cancelled);
         return w;
       },
       "interrupted: the call was cancelled"},
      {"closed",
       [] {
         auto w = interruptible(Clock::now() + kFar);
         w->interrupt(Interruption::Closed);
         return w;
       },
       "interrupted: the connection was closed"},
      {"a refusing check", [] { return interruptible(std::nullopt, [] { return false; }); },
       "interrupted: the wait was broken off"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const auto w = c.arrange();
    EXPECT_EQ(w->keep_working(), c.error.empty());
    if (!c.error.empty()) {
      EXPECT_EQ(w->stop_error().message(), c.error);
    }
  }

  // The check runs at the first look and then at most once per slice,
  // however often the work looks.
  int checks = 0;
  const auto w = interruptible(std::nullopt, [&] { return ++checks > 0; });
  const TimePoint start = Clock::now();
  for (int i = 0; i < 200000; ++i) ASSERT_TRUE(w->keep_working());
  const auto slices = (Clock::now() - start) / kWorkCheckSlice;
  EXPECT_GE(checks, 1);
  EXPECT_LE(checks, 1 + slices);
}

TEST(Deadline, SaturatesInsteadOfWrappingAround) {
  const TimePoint now = Clock::now();
  EXPECT_EQ(saturating_deadline(now, Duration::max()), TimePoint::max());
  EXPECT_EQ(saturating_deadline(now, 1s), now + 1s);
  Waits far(saturating_deadline(now, Duration::max()));
  EXPECT_FALSE(far.past_deadline());
  EXPECT_EQ(far.end_of_step(1s), TimePoint::max());
}

// --------------------------------------------------------------- the waitable lock

// The lock an operation waits for as one of its waits: a thread that finds
// it held waits until it is let go, until its deadline, until another
// thread interrupts its operation or until its periodic check refuses; the
// holder asking again is refused at once; and under contention it excludes
// and loses no release (ThreadSanitizer watches the counter it guards).

struct LockCase {
  const char* name;
  // The waiter's waits; may start a thread that acts on them later.
  std::function<std::shared_ptr<Waits>(std::thread&)> arrange;
  std::optional<Duration> released_after;  // the holder lets go then (none: after the wait)
  bool gets_it;
  IoError::Kind kind;  // how the wait ends when it does not get the lock
  Interruption reason;
  Duration at_least;
  Duration at_most;  // plus the tolerance
};

TEST(WaitableLock, AWaitForTheHolderEndsAsItsOperationSays) {
  const LockCase cases[] = {
      {"the holder lets go", [](std::thread&) { return interruptible(Clock::now() + kFar); }, 100ms,
       true, IoError::Other, Interruption::None, 90ms, 100ms},
      {"the deadline passes first",
       [](std::thread&) { return interruptible(Clock::now() + 200ms); }, std::nullopt, false,
       IoError::TimedOut, Interruption::None, 190ms, 200ms},
      {"close() from another thread",
       [](std::thread& t) {
         auto w = interruptible(Clock::now() + kFar);
         t = std::thread([w] {
           std::this_thread::sleep_for(100ms);
           w->interrupt(Interruption::Closed);
         });
         return w;
       },
       std::nullopt, false, IoError::Interrupted, Interruption::Closed, 90ms, 100ms},
      {"the check refuses (a pending signal)",
       [](std::thread&) {
         auto runs = std::make_shared<int>(0);
         return interruptible(std::nullopt, [runs] { return ++*runs < 3; });
       },
       std::nullopt, false, IoError::Interrupted, Interruption::Aborted, 2 * kCheckSlice,
       3 * kCheckSlice},
  };
  for (const LockCase& c : cases) {
    SCOPED_TRACE(c.name);
    WaitableLock lock;
    ASSERT_TRUE(lock.try_lock());
    std::thread actor;
    auto waits = c.arrange(actor);
    wire::Status<IoError> got = wire::ok_unit;
    Duration took{};
    std::thread waiter([&] {
      EXPECT_FALSE(lock.try_lock());
      const auto start = Clock::now();
      got = lock.lock(waits.get(), waits->deadline());
      took = Clock::now() - start;
      if (got) {
        EXPECT_TRUE(lock.held_by_this_thread());
        lock.unlock();
      }
    });
    if (c.released_after) {
      std::this_thread::sleep_for(*c.released_after);
      lock.unlock();
    }
    waiter.join();
    if (actor.joinable()) actor.join();
    if (!c.released_after) lock.unlock();
    EXPECT_EQ(got.ok(), c.gets_it) << (got ? "" : got.error().message());
    if (!got) {
      EXPECT_EQ(got.error().kind, c.kind) << got.error().message();
      EXPECT_EQ(waits->interrupted(), c.reason);
    }
    EXPECT_GE(took, c.at_least);
    EXPECT_LE(took, c.at_most + kTolerance);
    // Whatever the wait did, the lock is free again.
    EXPECT_TRUE(lock.try_lock());
    lock.unlock();
  }
}

TEST(WaitableLock, TheHolderAskingAgainIsRefusedAtOnce) {
  WaitableLock lock;
  ASSERT_TRUE(lock.try_lock());
  EXPECT_TRUE(lock.held_by_this_thread());
  bool elsewhere = true;
  std::thread([&] { elsewhere = lock.held_by_this_thread(); }).join();
  EXPECT_FALSE(elsewhere);
  auto waits = interruptible(Clock::now() + kFar);
  const auto start = Clock::now();
  auto again = lock.lock(waits.get(), waits->deadline());
  EXPECT_LE(Clock::now() - start, kTolerance);
  ASSERT_FALSE(again.ok());
  EXPECT_EQ(again.error().os_code, EDEADLK);
  EXPECT_FALSE(lock.try_lock());
  lock.unlock();
  EXPECT_FALSE(lock.held_by_this_thread());
}

TEST(WaitableLock, ExcludesAndLosesNoReleaseUnderContention) {
  // Short holds by many threads, waiting and trying: a lost release would
  // leave a waiter asleep until its deadline, a hole in the exclusion
  // would lose increments (and is a data race on `counter` to
  // ThreadSanitizer).
  WaitableLock lock;
  long counter = 0;
  constexpr int kThreads = 6;
  constexpr int kRounds = 3000;
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      auto waits = interruptible(Clock::now() + kFar);
      for (int i = 0; i < kRounds; ++i) {
        if ((i + t) % 5 == 0 && lock.try_lock()) {
          ++counter;
          lock.unlock();
          continue;
        }
        if (!lock.lock(waits.get(), waits->deadline())) {
          ++failures;
          return;
        }
        ++counter;
        lock.unlock();
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(counter, long{kThreads} * kRounds);
}

}  // namespace
}  // namespace quib::proto

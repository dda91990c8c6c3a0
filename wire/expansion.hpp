// What the readers of one received message may make of it, and whether
// they should go on at all.
//
// A message of a few kilobytes can declare gigabytes: compressed table
// content, a deflated document, a token stream of empty elements, rows of
// empty fields that stand for wide images. Every reader that expands
// received bytes draws what it makes from one ExpansionBudget that the
// owner of the message (the reply decoder) sets from what the message was
// worth, so that several pieces of one message share one bound instead of
// each having its own.
//
// The same object carries the owner's question whether the work should go
// on (a deadline passed, a cancel from another thread): readers report the
// work they do, and every kStride units of it the question is asked. Wire
// code knows nothing of clocks or threads; it only counts, and stops with
// its own error once told to. The owner tells a refusal (exhausted()) and
// a stop (stopped()) from the other failures by asking the budget.
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <utility>

namespace quib::wire {

class ExpansionBudget {
 public:
  // The owner's question; false: stop.
  using KeepGoing = std::function<bool()>;

  static constexpr std::uint64_t kUnlimited = std::numeric_limits<std::uint64_t>::max();
  // Units of work (about one byte read or made) between two questions:
  // well below a millisecond of any reader's work.
  static constexpr std::uint64_t kStride = 256u << 10;

  explicit ExpansionBudget(std::uint64_t bytes = kUnlimited, KeepGoing keep_going = {})
      : total_(bytes), left_(bytes), keep_going_(std::move(keep_going)) {}

  std::uint64_t total() const { return total_; }
  std::uint64_t left() const { return left_; }
  std::uint64_t used() const { return total_ - left_; }

  // Takes `n` bytes. False, with nothing taken, when fewer are left: the
  // budget then counts as exhausted.
  bool take(std::uint64_t n) {
    if (n > left_) {
      exhausted_ = true;
      return false;
    }
    left_ -= n;
    return true;
  }
  // Returns bytes taken before (what a failed attempt made and dropped).
  void give_back(std::uint64_t n) { left_ = n > total_ - left_ ? total_ : left_ + n; }
  // Marks the budget exhausted: a reader that bounded its output by left()
  // found it too small.
  void refuse() { exhausted_ = true; }
  bool exhausted() const { return exhausted_; }

  // Counts `units` of work done; asks the owner at every stride. False once
  // the owner said stop, and from then on.
  bool work(std::uint64_t units) {
    if (stopped_) return false;
    pending_ += units;
    if (pending_ < kStride) return true;
    return ask();
  }
  // Asks the owner now, whatever the work since the last question.
  bool ask();
  bool stopped() const { return stopped_; }

 private:
  std::uint64_t total_;
  std::uint64_t left_;
  std::uint64_t pending_ = 0;
  KeepGoing keep_going_;
  bool exhausted_ = false;
  bool stopped_ = false;
};

}  // namespace quib::wire

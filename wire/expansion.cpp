#include "wire/expansion.hpp"

namespace quib::wire {

bool ExpansionBudget::ask() {
  pending_ = 0;
  if (stopped_) return false;
  if (keep_going_ && !keep_going_()) stopped_ = true;
  return !stopped_;
}

}  // namespace quib::wire

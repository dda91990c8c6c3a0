#include "proto/transport/transport.hpp"

namespace quib::proto {

ProtoStatus send_cancel(CancelHandle& handle) {
  if (!handle.armed_ || !handle.write_lock_) return wire::err(ProtocolError::nothing_to_cancel());
  // The write lock is the transport's: the cancel frame never lands inside a
  // chunked message, and concurrent cancels of one conversation take turns,
  // so the second one finds the flag already cleared.
  std::lock_guard<std::mutex> lock(handle.write_lock_->mutex);
  if (!handle.armed_->load()) return wire::err(ProtocolError::nothing_to_cancel());
  if (handle.write_lock_->broken) {
    handle.armed_->store(false);
    return wire::err(ProtocolError::nothing_to_cancel());
  }
  auto sent = handle.socket_.send_all(handle.cancel_record_);
  if (!sent) return wire::err(std::move(sent).error());
  bool expected = true;
  handle.armed_->compare_exchange_strong(expected, false);
  return wire::ok_unit;
}

}  // namespace quib::proto

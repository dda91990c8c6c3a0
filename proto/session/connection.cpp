#include "proto/session/connection.hpp"

#include <fmt/format.h>

#include <chrono>

namespace quib::proto {

namespace {

constexpr std::uint64_t kFnvOffsetBasis = 0xcbf29ce484222325ULL;
constexpr std::uint64_t kFnvPrime = 0x100000001b3ULL;
constexpr int kSessionIdRotation = 17;

void fnv1a(std::uint64_t& h, wire::ByteView bytes) {
  for (std::uint8_t b : bytes) {
    h ^= b;
    h *= kFnvPrime;
  }
}

std::uint64_t unix_nanos_now() {
  const auto since_epoch = std::chrono::system_clock::now().time_since_epoch();
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(since_epoch).count();
  return ns < 0 ? 0 : static_cast<std::uint64_t>(ns);
}

}  // namespace

SessionId session_identifier(std::string_view user, std::string_view client,
                             std::uint64_t unix_nanos) {
  std::uint64_t h = kFnvOffsetBasis;
  fnv1a(h, wire::as_bytes(user));
  fnv1a(h, wire::as_bytes(client));
  std::uint8_t t[8];
  wire::store_le64(t, unix_nanos);
  fnv1a(h, t);
  SessionId id{};
  wire::store_le64(id.data(), h);
  const std::uint64_t rotated = (h << kSessionIdRotation) | (h >> (64 - kSessionIdRotation));
  wire::store_be64(id.data() + 8, rotated);
  return id;
}

SessionId session_identifier_now(std::string_view user, std::string_view client) {
  return session_identifier(user, client, unix_nanos_now());
}

std::uint32_t scramble_seed(const SessionId& id) { return wire::load_le32(id.data()); }

// ---------------------------------------------------------------- RfcConnection

RfcConnection::RfcConnection(std::unique_ptr<Transport> transport,
                             std::shared_ptr<MetadataCache> cache, const SessionId& session_id)
    : transport_(std::move(transport)),
      cache_(std::move(cache)),
      alive_(std::make_shared<std::atomic<bool>>(true)),
      calls_in_flight_(std::make_shared<std::atomic<std::uint32_t>>(0)),
      session_id_(session_id) {}

ProtoResult<std::optional<CancelHandle>> RfcConnection::cancel_handle() {
  QUIB_TRY(std::optional<CancelHandle> handle, transport_->cancel_handle());
  if (handle) handle->share_flag(alive_);
  return handle;
}

ProtoStatus RfcConnection::close() && {
  alive_->exchange(false);
  // The transport leaves with this call: dropping it at the end closes the
  // socket whatever the close record's fate.
  std::unique_ptr<Transport> transport = std::move(transport_);
  if (!transport) return wire::ok_unit;
  return transport->close();
}

const std::string& RfcConnection::metadata_scope() const {
  // A session made without an opener (a test's) has only its system ID.
  const std::string& id = attributes_.system_id;
  if (destination_.empty()) return id;
  // Built once and kept while the destination and system ID stay as they
  // were: every call's description look-up asks for it.
  const std::size_t n = destination_.size();
  const bool current = scope_.size() == n + 1 + id.size() &&
                       scope_.compare(0, n, destination_) == 0 && scope_[n] == '\n' &&
                       scope_.compare(n + 1, std::string::npos, id) == 0;
  if (!current) {
    scope_ = destination_;
    scope_.push_back('\n');
    scope_ += id;
  }
  return scope_;
}

}  // namespace quib::proto

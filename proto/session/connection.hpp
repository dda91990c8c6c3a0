// RfcConnection: one logged-on client session with an ABAP system, and the
// session identifier. The openers that set up the transport and log on are
// in proto/session/open.hpp.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/base/throughput.hpp"
#include "proto/session/describing.hpp"
#include "proto/session/metadata_cache.hpp"
#include "proto/transport/transport.hpp"

namespace quib::proto {

// The identity of the ABAP system as the logon reply reported it.
struct ConnectionAttributes {
  std::string system_id;
  std::string system_name;
  std::string system_number;
  std::string system_host;
  std::string kernel_release;
  std::string system_code_page;
  friend bool operator==(const ConnectionAttributes&, const ConnectionAttributes&) = default;
};

inline constexpr std::size_t kSessionIdSize = 16;
using SessionId = std::array<std::uint8_t, kSessionIdSize>;

// The 16-byte session identifier: FNV-1a 64 over `user`, `client` and the
// eight little-endian bytes of `unix_nanos`; bytes 0..7 the hash in
// little-endian order, bytes 8..15 the hash rotated left by 17 in big-endian
// order.
SessionId session_identifier(std::string_view user, std::string_view client,
                             std::uint64_t unix_nanos);
// The same from the wall clock (0 when it reads earlier than the epoch).
SessionId session_identifier_now(std::string_view user, std::string_view client);
// The seed of the password scrambling: the first four identifier bytes as a
// little-endian u32 (the low 32 bits of the hash).
std::uint32_t scramble_seed(const SessionId& id);

class RfcConnection {
 public:
  // Nothing being described, empty attributes, alive, no call in flight, no
  // throughput, basXML mode Auto.
  RfcConnection(std::unique_ptr<Transport> transport, std::shared_ptr<MetadataCache> cache,
                const SessionId& session_id);
  RfcConnection(RfcConnection&&) noexcept = default;
  RfcConnection& operator=(RfcConnection&&) noexcept = default;
  RfcConnection(const RfcConnection&) = delete;
  RfcConnection& operator=(const RfcConnection&) = delete;
  // Dropping sends nothing: the transport's drop closes the socket.
  ~RfcConnection() = default;

  // What the metadata lookups are describing on this connection: their
  // recursion guard.
  Describing& describing() { return describing_; }
  const Describing& describing() const { return describing_; }
  ConnectionAttributes& attributes() { return attributes_; }
  const ConnectionAttributes& attributes() const { return attributes_; }
  Transport& transport() { return *transport_; }
  const std::shared_ptr<MetadataCache>& cache() const { return cache_; }
  // True while the conversation is usable; shared with the cancel handle.
  const SharedFlag& alive_flag() const { return alive_; }
  bool alive() const { return alive_->load(); }
  // Cleared by atomic exchange; returns the previous value.
  bool clear_alive() { return alive_->exchange(false); }
  std::atomic<std::uint32_t>& calls_in_flight() { return *calls_in_flight_; }
  const std::shared_ptr<std::atomic<std::uint32_t>>& calls_in_flight_counter() const {
    return calls_in_flight_;
  }
  const SessionId& session_id() const { return session_id_; }
  const std::shared_ptr<ThroughputCounters>& throughput() const { return throughput_; }
  BasxmlMode basxml_mode() const { return basxml_mode_; }
  void set_basxml_mode(BasxmlMode mode) { basxml_mode_ = mode; }
  // Where the session was opened to (destination_key), set by the opener.
  const std::string& destination() const { return destination_; }
  void set_destination(std::string destination) { destination_ = std::move(destination); }
  // The first half of every metadata cache key of this session: where it
  // connected and the system ID its logon reported. A server can claim any
  // system ID, but not the destination the caller chose, so it never
  // replaces what another destination supplied.
  // The reference stays valid until the destination or system ID changes.
  const std::string& metadata_scope() const;

  // ---- operations between calls

  // The fixed limit of each read and write wait of the transport when the
  // operation has no deadline (none: no limit).
  wire::Status<IoError> set_timeout(std::optional<Duration> timeout) {
    return transport_->set_timeout(timeout);
  }
  // The waits of the operation that uses the session from now on (its
  // deadline, wake-up and periodic check; proto/net/waits.hpp).
  void set_waits(std::shared_ptr<const Waits> waits) { transport_->set_waits(std::move(waits)); }
  // Those waits (null: none); the CPU work of a call asks them too.
  const Waits* waits() const { return transport_->waits(); }
  // Replaces the attached counters (the previous reference is released).
  void set_throughput(std::shared_ptr<ThroughputCounters> counters) {
    throughput_ = std::move(counters);
  }
  std::string conversation_id() const { return transport_->conversation_id(); }
  // The transport's cancel handle, armed with this connection's alive flag,
  // so that a cancel and the call's own state agree on whether the
  // conversation still stands. None when the transport has no cancel record.
  ProtoResult<std::optional<CancelHandle>> cancel_handle();
  // Consumes the connection: clears the alive flag, ends the conversation
  // (on NI one Deallocate record) and drops the transport, closing its socket.
  ProtoStatus close() &&;

 private:
  Describing describing_;
  std::string destination_;
  mutable std::string scope_;  // metadata_scope() as last built
  ConnectionAttributes attributes_;
  std::unique_ptr<Transport> transport_;
  std::shared_ptr<MetadataCache> cache_;
  SharedFlag alive_;
  std::shared_ptr<std::atomic<std::uint32_t>> calls_in_flight_;
  SessionId session_id_;
  std::shared_ptr<ThroughputCounters> throughput_;
  BasxmlMode basxml_mode_ = BasxmlMode::Auto;
};

}  // namespace quib::proto

// The registered-server session: the reverse of a client session. The
// program connects to an SAP gateway, registers a program ID, and the
// gateway then forwards to it the RFC calls that ABAP programs address to
// that program ID. RegisteredServer registers, waits for and reassembles one
// inbound call at a time, sends the reply (export values) or an exception
// reply, and detaches when it is dropped.
//
// The byte formats (the registration records and the verdict on the
// gateway's answer, the reassembly of inbound calls, the reply containers
// and the frames that carry them) are wire/server.hpp's,
// wire/inbound_call.hpp's and wire/server_reply.hpp's; this is the session
// and its I/O.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>

#include "proto/base/error.hpp"
#include "proto/net/socket.hpp"
#include "proto/net/waits.hpp"
#include "wire/appc.hpp"
#include "wire/bytes.hpp"
#include "wire/inbound_call.hpp"
#include "wire/ni.hpp"
#include "wire/server_reply.hpp"
#include "wire/types.hpp"

namespace quib::proto {

// ---------------------------------------------------------------- parameters

inline constexpr std::string_view kDefaultGwhost = "localhost";
inline constexpr std::string_view kDefaultGwserv = "3300";
inline constexpr std::string_view kDefaultServerLocalHost = "localhost";
inline constexpr std::chrono::seconds kDefaultServerConnectTimeout{30};
inline constexpr std::chrono::seconds kDefaultServerReadTimeout{60};
inline constexpr std::chrono::seconds kDefaultRegistrationWait{2};

// The gateway port when `gwserv` does not read as a number.
inline constexpr std::uint16_t kDefaultGatewayPort = 3300;
inline constexpr std::string_view kGwservPrefix = "sapgw";

struct ServerParams {
  std::string gwhost{kDefaultGwhost};
  std::string gwserv{kDefaultGwserv};
  std::string program_id;  // must be set
  // The name the registration record and the information block announce.
  std::string local_host{kDefaultServerLocalHost};
  Duration connect_timeout{kDefaultServerConnectTimeout};
  // The limit of each read and write wait, outside the registration wait
  // (a wait polls the socket; no socket option is set).
  Duration read_timeout{kDefaultServerReadTimeout};
  // The limit of the wait for the gateway's answer to the registration.
  Duration registration_wait{kDefaultRegistrationWait};

  static ServerParams defaults() { return ServerParams{}; }
};

// The gateway port of a `gwserv` text: "sapgw" and a system number gives
// 3300 plus that number (modulo 65536), a plain number is the port itself,
// and anything that does not read gives 3300.
std::uint16_t gateway_port(std::string_view gwserv);

// ---------------------------------------------------------------- limits

// Largest NI frame accepted from the gateway.
inline constexpr std::uint64_t kServerFrameLimit = wire::kNiDefaultLimit;
// Bytes asked of the socket per read.
inline constexpr std::size_t kServerReadPiece = 8192;

// ---------------------------------------------------------------- replies

// The reply formats, under the names the session's operations take them by.
using wire::ExceptionReply;
using wire::ExportValue;
using wire::ReplyKind;

// The normal reply container of wire::build_reply_container, its failure
// as the session reports it (an undescribed Int outside Int4 is
// UnexpectedRecord during "server reply").
ProtoResult<wire::Bytes> build_reply_container(std::string_view program_id,
                                               const wire::InboundCall& call,
                                               std::span<const ExportValue> exports);

// ---------------------------------------------------------------- the session

// How long the detach record may wait for room in the socket's send buffer:
// dropping a registration never blocks on a gateway that does not read.
inline constexpr std::chrono::milliseconds kDetachRecordLimit{5};

class RegisteredServer {
 public:
  RegisteredServer(RegisteredServer&& other) noexcept = default;
  RegisteredServer& operator=(RegisteredServer&& other) noexcept;
  RegisteredServer(const RegisteredServer&) = delete;
  RegisteredServer& operator=(const RegisteredServer&) = delete;
  // Detaches (one 0xD0 record, send errors ignored) and closes the socket;
  // a registration that has ended closes its socket without a record.
  ~RegisteredServer();

  // Waits for and reassembles one inbound call. Each wait is bounded by the
  // waits given to set_waits (their deadline, wake-up and check) or else by
  // the read time-out; a time-out is Io "timed out" and an interruption Io
  // "interrupted". Neither loses anything: what has arrived of a call stays
  // and the next receive_call goes on with it (or starts over when the
  // gateway announces a new call instead).
  ProtoResult<wire::InboundCall> receive_call();

  // The normal reply to `call` (no tables), then the end of the conversation.
  ProtoStatus send_reply_exports_only(const wire::InboundCall& call,
                                      std::span<const ExportValue> exports);
  // The exception reply, then the end of the conversation.
  ProtoStatus send_exception_reply(const ExceptionReply& reply);
  // A reply container already built (build_reply_container, or the wire
  // format's builders) under the header of `kind`, then the end of the
  // conversation.
  ProtoStatus send_reply(ReplyKind kind, wire::ByteView container);

  // Sends the detach record once; later calls (and the drop) send nothing.
  void detach();
  // Closes the socket without sending anything: for a process that only
  // inherited the registration (a forked child), whose records would land
  // in the middle of the owner's conversation.
  void abandon();

  // Whether the registration has ended: the gateway closed the connection,
  // sent what cannot be framed, the socket failed, or a send broke off part
  // way (the gateway would read what follows as the rest of that record).
  // Nothing more can go over the connection.
  bool ended() const { return ended_; }

  const std::string& program_id() const { return program_id_; }
  const wire::ConversationId& conversation_id() const { return conversation_id_; }
  bool has_pending_announcement() const { return pending_.has_value(); }
  // Whether part of an inbound call has been taken in (a wait ended before
  // the whole call had arrived).
  bool has_partial_call() const { return partial_.has_value(); }
  const Socket& socket() const { return socket_; }
  // The limit of each read and write wait when the waits set have no
  // deadline (or none are set).
  wire::Status<IoError> set_read_timeout(Duration timeout) {
    return socket_.set_wait_limit(timeout);
  }
  // The waits of the operation that uses the registration from now on
  // (none: only the read time-out bounds the waits).
  void set_waits(std::shared_ptr<const Waits> waits) { socket_.set_waits(std::move(waits)); }

  // A server over a socket that is already connected (registration is the
  // caller's business); used by register_at_gateway and by tests.
  RegisteredServer(Socket socket, std::string program_id);

 private:
  friend ProtoResult<RegisteredServer> register_at_gateway(const ServerParams& params,
                                                           std::shared_ptr<const Waits> waits);

  ProtoResult<wire::Bytes> read_frame(std::string_view label);
  ProtoStatus write_frame(wire::ByteView payload);
  ProtoResult<wire::InboundCall> assemble();
  void release();

  wire::NiFrameReader reader_{kServerFrameLimit};
  std::string program_id_;
  std::optional<wire::Bytes> pending_;
  Socket socket_;
  wire::ConversationId conversation_id_{};
  // The call being taken in, kept when a wait ends part way; `resumed_`
  // while no frame has come for it since.
  std::optional<wire::InboundAssembler> partial_;
  bool resumed_ = false;
  bool detached_ = false;
  bool ended_ = false;
};

// Connects to the gateway and registers the program ID, every wait bounded
// by `waits` when given (their wake-up and check; the fixed limits of
// `params` apply to each step). A failure after the connection was made
// detaches and closes it.
ProtoResult<RegisteredServer> register_at_gateway(const ServerParams& params,
                                                  std::shared_ptr<const Waits> waits = nullptr);

}  // namespace quib::proto

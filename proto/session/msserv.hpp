// Load-balanced logon, first half: ask the message server of an ABAP system
// for an application server of a logon group (the opener in
// proto/session/open.hpp then opens a direct session to it).
//
// The lookup is a short exchange of three fixed packets in NI frames
// (wire/msserv.hpp) on a TCP connection of its own, closed when the lookup
// ends.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "proto/base/error.hpp"
#include "proto/base/params.hpp"
#include "proto/net/socket.hpp"
#include "proto/net/waits.hpp"
#include "wire/bytes.hpp"
#include "wire/msserv.hpp"

namespace quib::proto {

using wire::ApplicationServer;

// Reads of the lookup connection: at most this many bytes at a time, and
// frames of at most 256 MiB.
inline constexpr std::size_t kMsReadPiece = 8192;
inline constexpr std::uint64_t kMsFrameLimit = 0x10000000;

// The request for `group`. A group longer than 10 bytes is UnexpectedRecord
// ("message server", "logon group {} exceeds 10 characters").
ProtoResult<wire::LogonGroupRequest> logon_group_request(std::string_view group);

// The application server a logon-group reply names (wire/msserv.hpp); a
// reply without one is UnexpectedRecord ("message server", with the
// reader's text).
ProtoResult<ApplicationServer> parse_logon_group_reply(wire::ByteView reply);

// ---------------------------------------------------------------- lookup

// The system number of a dispatcher port 3200..3299 (as the reply reader
// accepts them): port - 3200 as two digits ("07").
std::string system_number_of_dispatcher(std::uint16_t port);

// The parameter set of the direct session: a copy of `params` in which
// `ashost` is `mshost_override` when given, else the server's host; `sysnr`
// follows from the server's port; `port` is absent.
ConnectionParams load_balanced_params(const ConnectionParams& params,
                                      const ApplicationServer& server,
                                      const std::optional<std::string>& mshost_override);

// Asks the message server at `mshost`:`msserv` (a decimal port) for an
// application server of `group`. The connect and every wait for a read or a
// write are bounded by `connect_timeout`, or by the deadline of `waits` when
// it has one (and ended by its wake-up); the connection is closed before
// this returns.
ProtoResult<ApplicationServer> lookup_application_server(
    std::string_view mshost, std::string_view msserv, std::string_view group,
    Duration connect_timeout, std::shared_ptr<const Waits> waits = nullptr);

}  // namespace quib::proto

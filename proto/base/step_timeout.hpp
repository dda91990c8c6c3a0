// Time-outs that say where they happened. A socket wait that runs out of
// time only knows that it did; the step that was waiting (the connect, the
// NI set-up, the SAProuter route, the message-server lookup, the TLS
// handshake, the WebSocket upgrade, the logon) names itself in the error on
// the way out, so that an open that stalls says which step stalled.
#pragma once

#include <string_view>
#include <utility>

#include "proto/base/error.hpp"

namespace quib::proto {

// The beginnings of the texts of I/O errors that already name their step:
// a failed connect ("cannot connect to {host}:{port}: ..."), a name look-up
// that ran out of time ("resolving {host} timed out") and a time-out named
// by timed_out_in ("timed out in {step}").
inline constexpr std::string_view kCannotConnectTo = "cannot connect to ";
inline constexpr std::string_view kResolving = "resolving ";
inline constexpr std::string_view kTimedOutIn = "timed out in ";

// `error` with an I/O time-out ("timed out", "would block") that names no
// step yet said to have happened in `step` ("timed out in the logon"),
// keeping its kind: callers still see a time-out. Every other error passes
// unchanged.
ProtocolError timed_out_in(ProtocolError error, std::string_view step);

// The same for the outcome of one step.
template <class T>
ProtoResult<T> in_step(ProtoResult<T> result, std::string_view step) {
  if (result) return result;
  return wire::err(timed_out_in(std::move(result).error(), step));
}

}  // namespace quib::proto

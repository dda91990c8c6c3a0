// IoError: the value every operating-system I/O failure of this layer
// becomes (sockets, waits, TLS), and the duration type of their limits.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace quib::proto {

using Duration = std::chrono::nanoseconds;

// An operating-system I/O failure: what kind of failure it is (callers test
// the kind: a time-out is silence, not a broken connection) and its text.
struct IoError {
  enum Kind : std::uint8_t {
    NotFound,
    PermissionDenied,
    ConnectionRefused,
    ConnectionReset,
    ConnectionAborted,
    NotConnected,
    AddrInUse,
    AddrNotAvailable,
    BrokenPipe,
    WouldBlock,
    InvalidInput,
    TimedOut,
    WriteZero,
    UnexpectedEof,
    HostUnreachable,
    NetworkUnreachable,
    Interrupted,  // a wait ended from outside its thread (proto/net/waits.hpp)
    Other,
  };

  Kind kind = Other;
  int os_code = 0;   // errno, or 0 when the error did not come from the OS
  std::string text;  // the error's own text; empty means the kind's text

  // From an errno value: the kind it maps to and the OS text with its code,
  // as in "Connection refused (os error 111)".
  static IoError from_errno(int code);
  // An error of the given kind with a text of this system's own.
  static IoError custom(Kind kind, std::string text);

  // The text of a kind: "timed out", "would block", "not found", ...
  static std::string_view kind_text(Kind kind);

  // The display text: the error's text, or the kind's text when it has none.
  std::string message() const;
  // Socket read or write time-out ("timed out" or "would block").
  bool is_timeout() const { return kind == TimedOut || kind == WouldBlock; }
  // A wait ended by cancel(), close() or the periodic check.
  bool is_interrupted() const { return kind == Interrupted; }

  friend bool operator==(const IoError&, const IoError&) = default;
};

}  // namespace quib::proto

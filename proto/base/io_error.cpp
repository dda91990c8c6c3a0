#include "proto/base/io_error.hpp"

#include <fmt/format.h>

#include <cerrno>
#include <cstring>

namespace quib::proto {

namespace {

IoError::Kind kind_of_errno(int code) {
  switch (code) {
    case ENOENT:
      return IoError::NotFound;
    case EACCES:
    case EPERM:
      return IoError::PermissionDenied;
    case ECONNREFUSED:
      return IoError::ConnectionRefused;
    case ECONNRESET:
      return IoError::ConnectionReset;
    case ECONNABORTED:
      return IoError::ConnectionAborted;
    case ENOTCONN:
      return IoError::NotConnected;
    case EADDRINUSE:
      return IoError::AddrInUse;
    case EADDRNOTAVAIL:
      return IoError::AddrNotAvailable;
    case EPIPE:
      return IoError::BrokenPipe;
#if EAGAIN != EWOULDBLOCK
    case EWOULDBLOCK:
#endif
    case EAGAIN:
    case EINPROGRESS:
      return IoError::WouldBlock;
    case EINVAL:
      return IoError::InvalidInput;
    case ETIMEDOUT:
      return IoError::TimedOut;
    case EHOSTUNREACH:
      return IoError::HostUnreachable;
    case ENETUNREACH:
      return IoError::NetworkUnreachable;
    default:
      return IoError::Other;
  }
}

std::string errno_text(int code) {
  char buffer[256];
  // The GNU strerror_r returns the text (possibly a static string).
  const char* text = strerror_r(code, buffer, sizeof buffer);
  return fmt::format("{} (os error {})", text, code);
}

}  // namespace

IoError IoError::from_errno(int code) {
  return IoError{kind_of_errno(code), code, errno_text(code)};
}

IoError IoError::custom(Kind kind, std::string text) { return IoError{kind, 0, std::move(text)}; }

std::string_view IoError::kind_text(Kind kind) {
  switch (kind) {
    case NotFound:
      return "not found";
    case PermissionDenied:
      return "permission denied";
    case ConnectionRefused:
      return "connection refused";
    case ConnectionReset:
      return "connection reset";
    case ConnectionAborted:
      return "connection aborted";
    case NotConnected:
      return "not connected";
    case AddrInUse:
      return "address in use";
    case AddrNotAvailable:
      return "address not available";
    case BrokenPipe:
      return "broken pipe";
    case WouldBlock:
      return "would block";
    case InvalidInput:
      return "invalid input parameter";
    case TimedOut:
      return "timed out";
    case WriteZero:
      return "write zero";
    case UnexpectedEof:
      return "unexpected end of file";
    case HostUnreachable:
      return "host unreachable";
    case NetworkUnreachable:
      return "network unreachable";
    case Interrupted:
      return "operation interrupted";
    case Other:
      break;
  }
  return "other error";
}

std::string IoError::message() const {
  if (!text.empty()) return text;
  return std::string(kind_text(kind));
}

}  // namespace quib::proto

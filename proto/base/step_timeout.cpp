#include "proto/base/step_timeout.hpp"

#include <fmt/format.h>

namespace quib::proto {

ProtocolError timed_out_in(ProtocolError error, std::string_view step) {
  const IoError* io = error.get<IoError>();
  if (!io || !io->is_timeout() || io->text.starts_with(kCannotConnectTo) ||
      io->text.starts_with(kResolving) || io->text.starts_with(kTimedOutIn))
    return error;
  IoError named = *io;
  named.text = fmt::format("{}{}", kTimedOutIn, step);
  return named;
}

}  // namespace quib::proto

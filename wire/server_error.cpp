#include "wire/server_error.hpp"

#include <fmt/format.h>

#include <algorithm>

#include "wire/dump.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

// The longest part of an unclear registration answer shown in hex.
constexpr std::size_t kAnswerDumpContext = 64;

std::string conversation_text(const ConversationId& id) { return utf8_lossy(ByteView(id)); }

// The text of unexpected bytes, readable: control characters become ".".
std::string printable_text(ByteView bytes) {
  const std::string text = utf8_lossy(bytes);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    const char32_t c = next_utf8(text, pos);
    if (c < 0x20 || (c >= 0x7F && c <= 0x9F)) {
      out += '.';
    } else {
      append_utf8(out, c);
    }
  }
  return out;
}

}  // namespace

std::string ServerRecordError::message() const {
  switch (kind) {
    case ShortRecord:
      return fmt::format("a {}-byte record", length);
    case WrongRequest:
      return fmt::format("function {:#04x}", request);
    case ContinuationDue:
      return fmt::format(
          "function {:#04x} where a continuation was due; {} bytes reassembled so far", request,
          reassembled);
    case OtherConversation:
      return fmt::format("conversation {}, but the announcement opened {}",
                         conversation_text(found), conversation_text(opened));
    case ShortPayload:
      return fmt::format("a record declaring {} payload bytes with {} present", declared, length);
    case RequestTooLarge:
      return fmt::format("a request of more than {} bytes; {} bytes reassembled so far", limit,
                         reassembled);
    case RecordAfterLast:
      return "a record after the last one";
    case Container:
      return container.message();
    case Refused:
      return fmt::format("program ID {} refused: {}", program_id, text);
    case UnclearAnswer:
      return fmt::format("a {}-byte answer that is neither an acceptance nor a refusal: {} / {}",
                         bytes.size(), printable_text(bytes),
                         hex_dump(bytes, 0, std::min(bytes.size(), kAnswerDumpContext)));
    case ExportTooWide:
      return fmt::format(
          "export {} is {}: an integer export whose field is not described goes as an ABAP "
          "Int4, which it does not fit",
          text, value);
  }
  return {};
}

}  // namespace quib::wire

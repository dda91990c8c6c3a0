#include "wire/appc_templates.hpp"

#include <algorithm>

#include "wire/ni.hpp"

namespace quib::wire {

AppcTemplate appc_record_header(const AppcTemplate& header, const ConversationId& conversation_id) {
  AppcTemplate h = header;
  std::copy(conversation_id.begin(), conversation_id.end(), h.begin() + kAppcConversationIdOffset);
  return h;
}

AppcTemplate appc_piece_header(const AppcTemplate& header, const ConversationId& conversation_id,
                               std::uint32_t piece_length) {
  AppcTemplate h = appc_record_header(header, conversation_id);
  store_be32(h.data() + kAppcPieceLengthOffset, piece_length);
  return h;
}

void append_cpic_frame(Bytes& out, const AppcTemplate& header,
                       const ConversationId& conversation_id, ByteView data) {
  // The payload of a CPIC frame never exceeds 80 + 28000 bytes, far below the
  // 32-bit length field's range.
  append_be32(out, static_cast<std::uint32_t>(kAppcHeaderSize + data.size()));
  const AppcTemplate h = appc_record_header(header, conversation_id);
  out.insert(out.end(), h.begin(), h.end());
  append_bytes(out, data);
}

Bytes cancel_frame(const ConversationId& conversation_id) {
  Bytes out;
  out.reserve(kNiLengthSize + kAppcHeaderSize);
  append_cpic_frame(out, kCancelTemplate, conversation_id, {});
  return out;
}

}  // namespace quib::wire

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

CpicFrameHead cpic_frame_head(const AppcTemplate& header, const ConversationId& conversation_id,
                              std::size_t data_size) {
  // The payload of a CPIC frame never exceeds 80 + 28000 bytes, far below the
  // 32-bit length field's range.
  CpicFrameHead head;
  store_be32(head.data(), static_cast<std::uint32_t>(kAppcHeaderSize + data_size));
  const AppcTemplate h = appc_record_header(header, conversation_id);
  std::copy(h.begin(), h.end(), head.begin() + kNiLengthSize);
  return head;
}

void append_cpic_frame(Bytes& out, const AppcTemplate& header,
                       const ConversationId& conversation_id, ByteView data) {
  const CpicFrameHead head = cpic_frame_head(header, conversation_id, data.size());
  out.insert(out.end(), head.begin(), head.end());
  append_bytes(out, data);
}

Bytes cancel_frame(const ConversationId& conversation_id) {
  Bytes out;
  out.reserve(kNiLengthSize + kAppcHeaderSize);
  append_cpic_frame(out, kCancelTemplate, conversation_id, {});
  return out;
}

}  // namespace quib::wire

// APPC header parsing: never reads past the record, splits it exactly, and
// the conversation id test agrees with its definition.
#include <cstdlib>

#include "wire/appc.hpp"

using namespace quib::wire;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);
  auto r = parse_appc_header(in);
  if (!r.ok()) {
    const AppcError& e = r.error();
    if (e.kind == AppcError::Truncated && (size >= kAppcHeaderSize || e.length != size))
      std::abort();
    if (e.kind == AppcError::VersionMismatch && (size < kAppcHeaderSize || e.found != data[0]))
      std::abort();
    (void)e.message();
    return 0;
  }
  if (size < kAppcHeaderSize || data[0] != kAppcVersion) std::abort();
  if (r->header.data() != data || r->header.size() != kAppcHeaderSize) std::abort();
  if (r->payload.data() != data + kAppcHeaderSize || r->payload.size() != size - kAppcHeaderSize)
    std::abort();
  if (r->request_byte != data[1] || r->request_type.byte != data[1]) std::abort();
  if (AppcRequestType::from_byte(data[1]) != r->request_type) std::abort();
  (void)r->request_type.debug();

  const auto id = appc_conversation_id(r->header);
  bool any = false;
  for (std::size_t i = 40; i < 48; ++i) any |= (data[i] != 0x00 && data[i] != 0x20);
  if (id.has_value() != any) std::abort();
  if (id && !std::equal(id->begin(), id->end(), data + 40)) std::abort();

  // Chunking covers the payload with consecutive slices.
  const auto slices = chunk_appc_data(r->payload);
  const std::uint8_t* next = r->payload.data();
  for (const ByteView s : slices) {
    if (s.data() != next || s.size() > kAppcChunkSize) std::abort();
    next += s.size();
  }
  if (next != r->payload.data() + r->payload.size()) std::abort();
  return 0;
}

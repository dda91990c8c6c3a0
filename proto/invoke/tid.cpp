#include "proto/invoke/tid.hpp"

#include <fmt/format.h>

#include <utility>
#include <vector>

#include "proto/call/reply.hpp"
#include "proto/call/request.hpp"
#include "proto/invoke/invoke.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

ProtoResult<Tid> check_tid(std::string_view text) {
  if (text.size() != kTidLength)
    return wire::err(ProtocolError::unexpected_record(
        kStepTransactionId,
        fmt::format("a TID is {} characters, got {}", kTidLength, text.size())));
  return Tid(text);
}

ProtoResult<Tid> create_tid(RfcConnection& connection) {
  QUIB_TRY(CallReply reply, invoke(connection, kCreateTidFunction, {}));
  const wire::RfcValue* value = reply.value(kTidParameter);
  if (!value)
    return wire::err(ProtocolError::unexpected_record(kStepApiCreateTid, "response without a TID"));
  std::string text;
  if (value->is_text()) {
    text = value->as_text();
  } else if (value->is_bytes()) {
    text = wire::decode_utf16le(value->as_bytes());
  } else {
    return wire::err(ProtocolError::unexpected_record(
        kStepApiCreateTid, fmt::format("unexpected TID value {}", value->debug())));
  }
  return check_tid(wire::trim_unicode(text));
}

wire::RfcValue tid_import_value(const FunctionDescription& description, std::string_view tid) {
  const ParameterDescription* p = description.find_parameter(kTidParameter);
  if (p && (p->type.is_text_kind() || p->type.kind == wire::AbapType::Unknown))
    return wire::text_value(tid);
  return wire::RfcValue::bytes(wire::encode_utf16le(tid));
}

ProtoStatus clear_tid(RfcConnection& connection, std::string_view tid) {
  QUIB_TRY(FunctionDescriptionPtr description, function_description(connection, kClearTidFunction));
  const std::vector<ValueImport> imports{
      {std::string(kTidParameter), tid_import_value(*description, tid)}};
  QUIB_CHECK(invoke(connection, kClearTidFunction, imports));
  return wire::ok_unit;
}

TidGuard::~TidGuard() {
  if (finished_) return;
  // The failure that caused the drop is what the caller sees; this release
  // is attempted once and its own outcome dropped (on a dead conversation
  // it fails without sending anything).
  (void)clear_tid(*connection_, tid_);
}

}  // namespace quib::proto

// The logon reply judge: any bytes give success or a ProtocolError, the
// stored attributes are valid UTF-8 without trailing white space, a refusal
// carries a status and its text, and an unreadable reply reports its dump.
#include <cstdlib>

#include "proto/session/logon.hpp"
#include "wire/utf.hpp"

using namespace quib;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  proto::ConnectionAttributes a;
  auto r = proto::judge_logon_reply(wire::ByteView(data, size), a);
  for (const std::string* s : {&a.system_id, &a.system_name, &a.system_number, &a.system_host,
                               &a.kernel_release, &a.system_code_page}) {
    if (!wire::is_valid_utf8(*s)) std::abort();
    if (wire::trim_end_unicode(*s).size() != s->size()) std::abort();
  }
  if (!r.ok()) {
    const proto::ProtocolError& e = r.error();
    if (!e.is(proto::ProtocolError::LogonRefused) && !e.is(proto::ProtocolError::Container) &&
        !e.is(proto::ProtocolError::ContainerDump) && !e.is(proto::ProtocolError::Gateway)) {
      std::abort();
    }
    if (e.is(proto::ProtocolError::ContainerDump) && e.message().find('\n') == std::string::npos) {
      std::abort();
    }
    if (!wire::is_valid_utf8(e.message())) std::abort();
  }
  return 0;
}

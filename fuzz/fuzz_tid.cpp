// Transaction-ID replies: API_CREATE_TID answered with any bytes. Reading
// never crashes, and a TID it accepts is exactly 24 bytes of valid UTF-8
// without surrounding white space, as check_tid itself would take it.
#include <cstdlib>

#include "fuzz/check.hpp"
#include "proto/invoke/tid.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/descriptions.hpp"
#include "wire/utf.hpp"

using namespace quib;
using fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  test::FakeSession s;
  auto d = std::make_shared<proto::FunctionDescription>();
  d->name = std::string(proto::kCreateTidFunction);
  d->parameters = {test::param(std::string(proto::kTidParameter), proto::ParamDirection::Export,
                               wire::AbapType::Char, 48)};
  d->index_parameters();
  s.cache->put_function_description("SIM", d->name, d);
  s.reply(wire::Bytes(data, data + size));

  auto tid = proto::create_tid(s.connection);
  if (!tid) return 0;
  check(tid->size() == proto::kTidLength);
  check(wire::is_valid_utf8(*tid));
  check(wire::trim_unicode(*tid).size() == tid->size());
  check(proto::check_tid(*tid).ok());
  return 0;
}

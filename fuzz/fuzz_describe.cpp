// Function descriptions from any reply: the PARAMS row decoder and the
// description built from a decoded reply never crash, texts come out as
// valid UTF-8, and the name index finds exactly what a search from the
// start finds, for every parameter and for the name upper-cased.
#include <cstdlib>

#include "fuzz/check.hpp"
#include "proto/call/reply.hpp"
#include "proto/metadata/describe.hpp"
#include "wire/container.hpp"
#include "wire/utf.hpp"

using namespace quib;
using fuzz::check;

namespace {

const proto::ParameterDescription* first_match(const proto::FunctionDescription& d,
                                               std::string_view name) {
  for (const auto& p : d.parameters)
    if (wire::ascii_iequals(p.name, name)) return &p;
  return nullptr;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const wire::ByteView in(data, size);
  const auto row = proto::decode_params_row(in);
  check(row.has_value() == (size >= proto::kParamsRowMinBytes));
  if (row) {
    check(wire::is_valid_utf8(row->name) && wire::is_valid_utf8(row->type_name) &&
          wire::is_valid_utf8(row->field_name));
  }

  auto reader = wire::ContainerReader::create(in);
  if (!reader) return 0;
  auto records = reader->read_all_records();
  if (!records) return 0;
  auto reply = proto::decode_classic_reply(*records, nullptr, {});
  if (!reply) return 0;
  auto d = proto::describe("F", *reply);
  if (!d) return 0;
  for (const auto& p : d->parameters) {
    const proto::ParameterDescription* found = d->find_parameter(p.name);
    check(found != nullptr && found == first_match(*d, p.name));
    check(d->find_parameter(wire::ascii_upper(p.name)) == found);
  }
  check(d->find_parameter("\x01 no such name") == first_match(*d, "\x01 no such name"));
  return 0;
}

// The registered server's decoders on arbitrary bytes: inbound calls decoded
// from container records (read from the input as a container, and from a
// compact record list that reaches every record id), the gateway's error
// text, and the registration record and information block built from
// arbitrary texts.
#include <algorithm>
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.hpp"
#include "wire/container.hpp"
#include "wire/inbound_call.hpp"
#include "wire/server.hpp"
#include "wire/utf.hpp"

using namespace quib::wire;

namespace {

using quib::fuzz::check;

constexpr RecordId kIds[] = {
    RecordId::Function,        RecordId::Destination,     RecordId::User,
    RecordId::Client,          kInboundSystemId,          kInboundCallerHost,
    RecordId::Program,         RecordId::ParameterName,   RecordId::ParameterValue,
    RecordId::RequestedOutput, RecordId::TableName,       RecordId::TableHeader,
    RecordId::TableContent,    RecordId::TableCompressed, RecordId::End,
};

bool is_clean_text(const std::string& s) { return is_valid_utf8(s) && trim_unicode(s) == s; }

void check_call(const InboundCall& call, std::span<const Record> records) {
  std::size_t values = 0, contents = 0, names = 0, outputs = 0;
  for (const Record& r : records) {
    values += r.id == RecordId::ParameterValue;
    contents += r.id == RecordId::TableContent;
    names += r.id == RecordId::TableName;
    outputs += r.id == RecordId::RequestedOutput;
  }
  check(call.parameters.size() <= values);
  check(call.tables.size() == names);
  check(call.requested_outputs.size() == outputs);
  std::size_t rows = 0;
  for (const InboundTable& t : call.tables) {
    check(is_clean_text(t.name));
    rows += t.rows.size();
  }
  check(rows <= contents);
  for (const std::string* s : {&call.function, &call.destination, &call.user, &call.client,
                               &call.system_id, &call.caller_host, &call.program})
    check(is_clean_text(*s));
  for (const auto& [name, value] : call.parameters) check(is_clean_text(name));
  for (const std::string& s : call.requested_outputs) check(is_clean_text(s));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);

  // The input as a container.
  if (auto reader = ContainerReader::create(in); reader.ok()) {
    if (auto records = reader.value().read_all_records(); records.ok())
      check_call(decode_inbound_call(records.value()), records.value());
  }

  // The input as a compact list: id index, value length, value.
  std::vector<Record> records;
  for (std::size_t pos = 0; pos + 2 <= size;) {
    const RecordId id = kIds[data[pos] % std::size(kIds)];
    const std::size_t len = std::min<std::size_t>(data[pos + 1], size - pos - 2);
    records.push_back(Record{id, in.subspan(pos + 2, len)});
    pos += 2 + len;
  }
  const InboundCall call = decode_inbound_call(records);
  check_call(call, records);

  // The gateway's error text.
  const GatewayErrText t = find_err_text(in);
  const bool marker = as_chars(in).find("*ERR*") != std::string_view::npos;
  switch (t.kind) {
    case GatewayErrText::Kind::ErrorText:
      check(marker && is_clean_text(t.text) && t.text.size() <= 3 * size);
      break;
    case GatewayErrText::Kind::OtherBytes:
      check(!marker && t.bytes == Bytes(in.begin(), in.end()));
      break;
    case GatewayErrText::Kind::Nothing:
      check(!marker && std::all_of(in.begin(), in.end(), [](std::uint8_t b) { return b == 0; }));
      break;
  }

  // Records built from the input as texts keep their fixed layout.
  const std::string_view half1 = as_chars(in.first(size / 2));
  const std::string_view half2 = as_chars(in.subspan(size / 2));
  const RegistrationRecord rec = build_registration_record(half1, half2, {1, 2, 3, 4});
  check(rec[0] == 0x02 && rec[1] == 0x0B && rec[29] == 0x06 && rec[54] == 0x06 && rec[55] == 0xCB &&
        rec[56] == 0xFF && rec[57] == 0xFF);
  const std::string_view prog9 = cut_at_char_boundary(half1, 9);
  check(prog9.size() <= 9 && half1.substr(0, prog9.size()) == prog9 && rec[10 + prog9.size()] == 0);
  const InfoBlock block = build_info_block(half1, half2);
  const std::string_view host = cut_at_char_boundary(half2, 127);
  check(block[host.size()] == 0 && block[128 + cut_at_char_boundary(half1, 127).size()] == 0);
  check(std::all_of(block.begin() + 256, block.end(), [](std::uint8_t b) { return b == 0x20; }));
  return 0;
}

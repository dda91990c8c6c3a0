// The container reader over arbitrary bytes: it never reads outside the data,
// keeps its record limit, and what it reads writes back to the same records.
// The dumps and the other recognisers of received bytes never crash.
#include <vector>

#include "fuzz/check.hpp"
#include "wire/container.hpp"
#include "wire/dump.hpp"

using namespace quib::wire;

using quib::fuzz::check;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const ByteView in(data, size);

  auto header = detect_rfc_header(in);
  auto reader = ContainerReader::create(in);
  check(header.ok() == reader.ok());
  if (reader) {
    std::vector<Record> seen;
    bool ended = false;
    for (;;) {
      auto step = reader->next_record();
      if (!step) {
        const ContainerError& e = step.error();
        check(e.kind != ContainerErrorKind::BadHeader);
        if (e.has_offset()) check(e.offset < size);
        check(!e.message().empty());
        break;
      }
      if (!step.value()) {
        ended = true;
        break;
      }
      const Record& r = *step.value();
      check(r.value.data() >= data && r.value.data() + r.value.size() <= data + size);
      check(r.id != RecordId::End);
      check(!render_value(r.value).empty());
      seen.push_back(r);
    }
    check(reader->record_count() <= kRecordLimit + 1);
    check(reader->position() <= size);

    if (ended) {
      // Writing the records back gives the same records (the bytes differ
      // only where the end record had a value or trailing bytes followed).
      ContainerWriter w = *header == 0 ? ContainerWriter() : ContainerWriter::with_rfc_header();
      for (const auto& r : seen) w.put_record(r.id, r.value);
      auto rewritten = std::move(w).finish_container();
      check(rewritten.ok());
      auto again = ContainerReader::create(*rewritten);
      check(again.ok());
      auto records = again->read_all_records();
      check(records.ok() && records->size() == seen.size());
      for (std::size_t i = 0; i < seen.size(); ++i) {
        check((*records)[i].id == seen[i].id);
        check(std::equal(seen[i].value.begin(), seen[i].value.end(), (*records)[i].value.begin(),
                         (*records)[i].value.end()));
      }
      check(rewritten->size() <= size);
    }
  }

  (void)describe_container(in);
  const std::size_t mark = size ? (data[0] * 131u + (size > 1 ? data[1] : 0)) : 0;
  const std::string dump = hex_dump(in, mark, size > 2 ? data[2] : 48);
  check(!dump.empty() && dump.back() != '\n');
  (void)hex_dump(in, SIZE_MAX, SIZE_MAX);
  (void)parse_err_block(in);
  if (auto t = detect_compressed_table(in)) check(t->algorithm == 0x11 || t->algorithm == 0x12);
  return 0;
}

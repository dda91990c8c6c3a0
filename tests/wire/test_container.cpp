// Containers: the writer's exact bytes, the reader's walk and its errors,
// the assembler's verdict on every split of the same bytes, the trailer, the
// "*ERR*" block and the compressed-table recogniser.
#include <gtest/gtest.h>
#include <sys/mman.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "tests/support/testutil.hpp"
#include "wire/container.hpp"

using namespace quib::wire;

// Counts allocations so that a test can show the reader walks without one
// allocation per record.
namespace {
std::atomic<std::size_t> g_allocations{0};
// Out of line, so that the compiler does not pair the builtin new with free.
[[gnu::noinline]] void release(void* p) noexcept { std::free(p); }
}  // namespace

void* operator new(std::size_t n) {
  g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(n ? n : 1)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return operator new(n); }
void operator delete(void* p) noexcept { release(p); }
void operator delete[](void* p) noexcept { release(p); }
void operator delete(void* p, std::size_t) noexcept { release(p); }
void operator delete[](void* p, std::size_t) noexcept { release(p); }

namespace {

using quib::test::cat;
using quib::test::unhex;

const Bytes kHeader(kRfcHeader.begin(), kRfcHeader.end());
const Bytes kEnd(kEndRecord.begin(), kEndRecord.end());

// Outcome of walking bytes with the reader: records as (id, value) or an error.
struct Walk {
  std::vector<std::pair<std::uint16_t, Bytes>> records;
  std::optional<ContainerError> error;
};

Walk walk(ByteView data) {
  Walk w;
  auto reader = ContainerReader::create(data);
  if (!reader) {
    w.error = reader.error();
    return w;
  }
  auto all = reader->read_all_records();
  if (!all) {
    w.error = all.error();
    return w;
  }
  for (const auto& r : *all)
    w.records.emplace_back(to_u16(r.id), Bytes(r.value.begin(), r.value.end()));
  return w;
}

// A container of small records, optionally with the header, of known layout.
Bytes sample_container(bool header) {
  ContainerWriter w = header ? ContainerWriter::with_rfc_header() : ContainerWriter::create();
  w.put_record(RecordId{0x0502}, {});
  w.put_record(RecordId::Function, as_bytes("RFC_PING"));
  w.put_record(RecordId::ParameterValue, Bytes(70000, 0x5A));  // long length form
  w.put_record(RecordId::End, {});  // an end record inside: the reader stops here
  return std::move(w).finish_container().value();
}

// ---------------------------------------------------------------- record ids

TEST(RecordIdTable, NamesOfTheFormatAndNoOthers) {
  // A spread over the table: its first and last entries, neighbours that
  // sit close together, and ids of every group.
  const std::pair<std::uint16_t, std::string_view> named[] = {
      {0x0006, "Destination"},       {0x000B, "Kernel"},          {0x0102, "Function"},
      {0x0117, "Password"},          {0x0203, "ParameterValue"},  {0x0305, "TableCompressedChunk"},
      {0x0330, "TableRowCount"},     {0x0336, "TableSectionEnd"}, {0x0404, "AbapT100Text"},
      {0x0417, "AbapMessageNumber"}, {0x0453, "SystemHost"},      {0x0514, "SessionNonce"},
      {0x3C05, "DeepContent"},       {0x4002, "BasxmlPayload"},   {0xFFFF, "End"},
  };
  for (auto [id, name] : named) EXPECT_EQ(record_id_name(RecordId{id}), name) << id;
  // Ids the system writes or reads without a name, and neighbours of named
  // ones.
  for (std::uint16_t id : {0x0000, 0x0002, 0x0003, 0x0005, 0x0163, 0x0501, 0x0502, 0x0512, 0x0667,
                           0x0202, 0x0306, 0x3C03, 0x4001, 0xFFFE})
    EXPECT_EQ(record_id_name(RecordId{id}), std::nullopt) << id;
  // 59 ids have a name, and no two share one.
  std::set<std::string_view> names;
  std::size_t count = 0;
  for (std::uint32_t id = 0; id <= 0xFFFF; ++id) {
    if (auto name = record_id_name(RecordId{static_cast<std::uint16_t>(id)})) {
      ++count;
      names.insert(*name);
    }
  }
  EXPECT_EQ(count, 59u);
  EXPECT_EQ(names.size(), 59u);
}

TEST(RecordIdTable, TextForm) {
  const std::pair<RecordId, std::string_view> cases[] = {
      {RecordId::Function, "Function(0x0102)"},
      {RecordId{0x0502}, "0x0502"},
      {RecordId::DeepContent, "DeepContent(0x3c05)"},
      {RecordId::End, "End(0xffff)"},
      {RecordId{0x0000}, "0x0000"},
      {RecordId{0xABCD}, "0xabcd"},
  };
  for (auto [id, text] : cases) EXPECT_EQ(record_id_text(id), text);
}

// ---------------------------------------------------------------- writer

TEST(ContainerWriter, ExactBytes) {
  struct Case {
    const char* name;
    ContainerWriter writer;
    Bytes expected;
  };
  std::vector<Case> cases;
  cases.push_back({"empty", ContainerWriter(), unhex("ffff0000ffff")});
  cases.push_back({"header only", ContainerWriter::with_rfc_header(),
                   unhex("d9c6c3f0f0f0f0f0f0f0f0f0 ffff0000ffff")});
  {
    ContainerWriter w;
    w.put_record(RecordId::Function, as_bytes("AB"));
    w.put_record(RecordId{0x0502}, {});
    cases.push_back(
        {"two records", std::move(w), unhex("0102 0002 4142 0102  0502 0000 0502  ffff0000ffff")});
  }
  for (auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto r = std::move(c.writer).finish_container();
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(*r, c.expected);
  }
}

TEST(ContainerWriter, LengthFormsAtTheEscapeBoundary) {
  struct Case {
    std::size_t length;
    Bytes length_bytes;  // what follows the id
  };
  const Case cases[] = {
      {0, unhex("0000")},
      {1, unhex("0001")},
      {65534, unhex("fffe")},
      {65535, unhex("ffff 0000ffff")},  // FF FF never means 65535 on its own
      {65536, unhex("ffff 00010000")},
      {200000, unhex("ffff 00030d40")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.length);
    Bytes value(c.length);
    for (std::size_t i = 0; i < value.size(); ++i) value[i] = static_cast<std::uint8_t>(i * 7);
    ContainerWriter w;
    w.put_record(RecordId::TableContent, value);
    Bytes bytes = std::move(w).finish_container().value();
    const Bytes expected = cat({unhex("0303"), c.length_bytes, value, unhex("0303"), kEnd});
    EXPECT_EQ(bytes, expected);
    Walk back = walk(bytes);
    ASSERT_FALSE(back.error) << back.error->message();
    ASSERT_EQ(back.records.size(), 1u);
    EXPECT_EQ(back.records[0].first, 0x0303);
    EXPECT_EQ(back.records[0].second, value);
  }
}

// A readable mapping of more than 4 GiB that costs no memory: put_record must
// refuse it by its length before touching its bytes.
class HugeValue {
 public:
  explicit HugeValue(std::size_t size) : size_(size) {
    ptr_ = mmap(nullptr, size_, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  }
  ~HugeValue() {
    if (ptr_ != MAP_FAILED) munmap(ptr_, size_);
  }
  bool ok() const { return ptr_ != MAP_FAILED; }
  ByteView view() const { return ByteView(static_cast<const std::uint8_t*>(ptr_), size_); }

 private:
  void* ptr_;
  std::size_t size_;
};

TEST(ContainerWriter, OversizedValueIsDeferredAndTheFirstErrorStays) {
  const std::size_t too_long = std::size_t{1} << 32;
  HugeValue first(too_long);
  HugeValue second(too_long + 5);
  if (!first.ok() || !second.ok()) GTEST_SKIP() << "cannot map 4 GiB of address space";

  ContainerWriter w;
  w.put_record(RecordId::Kernel, as_bytes("720"));
  const std::size_t before = w.size();
  w.put_record(RecordId::BasxmlPayload, first.view());
  EXPECT_EQ(w.size(), before) << "the oversized record must not be written";
  ASSERT_TRUE(w.deferred_error().has_value());
  EXPECT_EQ(*w.deferred_error(), ContainerError::value_too_long(too_long));
  EXPECT_NE(w.deferred_error()->message().find("4294967296"), std::string::npos);

  w.put_record(RecordId::Function, as_bytes("X"));  // still appended
  EXPECT_EQ(w.size(), before + 7);
  w.put_record(RecordId::BasxmlPayload, second.view());
  EXPECT_EQ(*w.deferred_error(), ContainerError::value_too_long(too_long));

  auto r = std::move(w).finish_container();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), ContainerError::value_too_long(too_long));
}

// ---------------------------------------------------------------- reader

TEST(ContainerReader, Errors) {
  struct Case {
    const char* name;
    Bytes data;
    ContainerError error;
  };
  const Case cases[] = {
      {"empty", {}, ContainerError::bad_header()},
      {"three bytes", unhex("ffff00"), ContainerError::bad_header()},
      {"14 bytes with the header mark", cat({kHeader, unhex("ffff")}),
       ContainerError::bad_header()},
      {"15 bytes with the header mark", cat({kHeader, unhex("ffff00")}),
       ContainerError::bad_header()},
      {"tag mismatch", cat({unhex("0102 0001 41 0201"), kEnd}),
       ContainerError::tag_mismatch(0, 0x0102, 0x0201)},
      {"tag mismatch after a header and a record",
       cat({kHeader, unhex("0502 0000 0502  0102 0001 41 0201"), kEnd}),
       ContainerError::tag_mismatch(18, 0x0102, 0x0201)},
      {"stops after a complete record", unhex("0102 0001 41 0102"), ContainerError::missing_end()},
      {"header then nothing but one record", cat({kHeader, unhex("0502 0000 0502")}),
       ContainerError::missing_end()},
      {"stops inside the length", unhex("0502 0000 0502  0102 00"), ContainerError::truncated(6)},
      {"stops inside the value", unhex("0502 0000 0502  0102 0005 4142"),
       ContainerError::truncated(6)},
      {"stops before the closing id", unhex("0102 0001 41 01"), ContainerError::truncated(0)},
      {"truncated after a header", cat({kHeader, unhex("0102 0005 4142")}),
       ContainerError::truncated(12)},
      {"long length cut", unhex("0303 ffff 0000"), ContainerError::truncated(0)},
      {"long length beyond the data", unhex("0303 ffff ffffffff 0303 ffff0000ffff"),
       ContainerError::truncated(0)},
      {"short length beyond the data", unhex("0303 fffe 0303 ffff0000ffff"),
       ContainerError::truncated(0)},
      {"end record with a wrong closing id", unhex("ffff 0000 fffe"),
       ContainerError::tag_mismatch(0, 0xffff, 0xfffe)},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Walk w = walk(c.data);
    ASSERT_TRUE(w.error.has_value());
    EXPECT_EQ(*w.error, c.error) << w.error->message();
  }
}

TEST(ContainerReader, Accepted) {
  struct Case {
    const char* name;
    Bytes data;
    std::vector<std::pair<std::uint16_t, Bytes>> records;
  };
  const Case cases[] = {
      {"only the end", kEnd, {}},
      {"14 bytes without the header mark are read from offset 0",
       cat({unhex("0102 0002 4142 0102"), kEnd}),
       {{0x0102, to_bytes("AB")}}},
      {"header and end", cat({kHeader, kEnd}), {}},
      // The first three bytes decide; the rest of the header is not checked.
      {"header mark with other filler", cat({unhex("d9c6c3 000000000000000000"), kEnd}), {}},
      {"end record with a value",
       cat({unhex("0111 0001 55 0111 ffff 0003 010203 ffff")}),
       {{0x0111, to_bytes("U")}}},
      {"bytes after the end are ignored", cat({kEnd, unhex("0102 00")}), {}},
      {"empty value and long form",
       cat({unhex("0502 0000 0502  0203 ffff 00000002 4142 0203"), kEnd}),
       {{0x0502, {}}, {0x0203, to_bytes("AB")}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Walk w = walk(c.data);
    ASSERT_FALSE(w.error.has_value()) << w.error->message();
    EXPECT_EQ(w.records, c.records);
  }
}

TEST(ContainerReader, ValuesAreViewsAndEndRepeats) {
  const Bytes data = sample_container(true);
  auto reader = ContainerReader::create(data).value();
  EXPECT_EQ(reader.position(), 12u);
  std::vector<Record> seen;
  for (;;) {
    auto step = reader.next_record();
    ASSERT_TRUE(step.ok()) << step.error().message();
    if (!step.value()) break;
    seen.push_back(*step.value());
  }
  ASSERT_EQ(seen.size(), 3u);
  for (const auto& r : seen) {
    EXPECT_GE(r.value.data(), data.data());
    EXPECT_LE(r.value.data() + r.value.size(), data.data() + data.size());
  }
  EXPECT_EQ(seen[1].value.data(), data.data() + 12 + 6 + 4);
  EXPECT_EQ(reader.record_count(), 4u);  // the end record counts
  EXPECT_TRUE(reader.done());
  for (int i = 0; i < 3; ++i) {
    auto again = reader.next_record();
    ASSERT_TRUE(again.ok());
    EXPECT_FALSE(again.value().has_value());
  }
}

Bytes many_empty_records(std::size_t n, bool header = false) {
  ContainerWriter w = header ? ContainerWriter::with_rfc_header() : ContainerWriter();
  for (std::size_t i = 0; i < n; ++i) w.put_record(RecordId::TableContent, {});
  return std::move(w).finish_container().value();
}

TEST(ContainerReader, RecordLimitCountsTheEndRecord) {
  Walk ok = walk(many_empty_records(99999));
  ASSERT_FALSE(ok.error.has_value()) << ok.error->message();
  EXPECT_EQ(ok.records.size(), 99999u);

  const Bytes over = many_empty_records(100000);
  auto reader = ContainerReader::create(over).value();
  auto all = reader.read_all_records();
  ASSERT_FALSE(all.ok());
  EXPECT_EQ(all.error(), ContainerError::too_many_records(100000));
  EXPECT_EQ(all.error().message(), "RFC_PRO message contains more than 100000 fields");
  EXPECT_EQ(reader.position(), over.size() - 6) << "fails at the end record";
}

TEST(ContainerReader, NoAllocationPerRecord) {
  ContainerWriter w;
  const Bytes row(100, 'r');
  for (int i = 0; i < 20000; ++i) w.put_record(RecordId::TableContent, row);
  const Bytes data = std::move(w).finish_container().value();

  const std::size_t before = g_allocations.load();
  auto reader = ContainerReader::create(data).value();
  std::size_t rows = 0;
  for (;;) {
    auto step = reader.next_record();
    ASSERT_TRUE(step.ok());
    if (!step.value()) break;
    ++rows;
  }
  EXPECT_EQ(rows, 20000u);
  EXPECT_EQ(g_allocations.load() - before, 0u);

  // read_all_records allocates its list only, which grows geometrically.
  const std::size_t before_all = g_allocations.load();
  auto all = ContainerReader::create(data).value().read_all_records();
  ASSERT_TRUE(all.ok());
  EXPECT_EQ(all->size(), 20000u);
  EXPECT_LT(g_allocations.load() - before_all, 40u);
}

TEST(ContainerError, Messages) {
  const std::pair<ContainerError, std::string_view> cases[] = {
      {ContainerError::bad_header(), "not an RFC_PRO message: bad EBCDIC header"},
      {ContainerError::truncated(18), "RFC_PRO field at offset 18 is truncated"},
      {ContainerError::tag_mismatch(0, 0x0102, 0x0201),
       "RFC_PRO field at offset 0 opened with tag 0x0102 but closed with 0x0201"},
      {ContainerError::tag_mismatch(7, 0xabcd, 0x000f),
       "RFC_PRO field at offset 7 opened with tag 0xabcd but closed with 0x000f"},
      {ContainerError::missing_end(), "RFC_PRO message ended without a 0xffff marker"},
      {ContainerError::too_many_records(100000),
       "RFC_PRO message contains more than 100000 fields"},
  };
  for (const auto& [e, text] : cases) EXPECT_EQ(e.message(), text);
  EXPECT_TRUE(ContainerError::truncated(1).has_offset());
  EXPECT_TRUE(ContainerError::tag_mismatch(1, 2, 3).has_offset());
  EXPECT_FALSE(ContainerError::missing_end().has_offset());
}

// ---------------------------------------------------------------- assembler

// Pushes `data` in pieces ending at `cuts` and returns every status, or the
// error of the push that failed.
struct Assembly {
  std::vector<AssemblyStatus> statuses;
  std::optional<ContainerError> error;
};

Assembly assemble(ContainerAssembler& a, const Bytes& data, const std::vector<std::size_t>& cuts) {
  Assembly out;
  std::size_t from = 0;
  std::vector<std::size_t> ends = cuts;
  ends.push_back(data.size());
  for (std::size_t to : ends) {
    auto r = a.push(ByteView(data).subspan(from, to - from));
    from = to;
    if (!r) {
      out.error = r.error();
      return out;
    }
    out.statuses.push_back(*r);
  }
  return out;
}

TEST(ContainerAssembler, SplitInsideARecordResumesAtThatRecord) {
  const Bytes data = sample_container(false);
  // Records: 0x0502 at 0 (6 bytes), Function at 6 (4 + 8 + 2), ParameterValue at 20.
  ContainerAssembler a;
  auto first = a.push(ByteView(data).subspan(0, 25));
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, AssemblyStatus::NeedMore);
  EXPECT_TRUE(a.header_decided());
  EXPECT_EQ(a.resume_offset(), 20u);
  auto second = a.push(ByteView(data).subspan(25));
  ASSERT_TRUE(second.ok());
  EXPECT_EQ(*second, AssemblyStatus::Complete);
  EXPECT_EQ(a.buffer(), data);
}

TEST(ContainerAssembler, EverySplitOfAGoodContainerCompletesOnlyAtItsEnd) {
  for (bool header : {false, true}) {
    SCOPED_TRACE(header ? "with header" : "without header");
    // A short container so that every two-piece split can be tried.
    ContainerWriter w = header ? ContainerWriter::with_rfc_header() : ContainerWriter();
    w.put_record(RecordId{0x0502}, {});
    w.put_record(RecordId::Function, as_bytes("RFC_PING"));
    w.put_record(RecordId::ParameterName, Bytes(300, 'a'));
    const Bytes data = std::move(w).finish_container().value();
    const Walk whole = walk(data);
    ASSERT_FALSE(whole.error);
    for (std::size_t cut = 0; cut <= data.size(); ++cut) {
      SCOPED_TRACE(cut);
      ContainerAssembler a;
      Assembly r = assemble(a, data, {cut});
      ASSERT_FALSE(r.error) << r.error->message();
      const AssemblyStatus expect_first = cut == 0             ? AssemblyStatus::NoData
                                          : cut == data.size() ? AssemblyStatus::Complete
                                                               : AssemblyStatus::NeedMore;
      EXPECT_EQ(r.statuses[0], expect_first);
      EXPECT_EQ(r.statuses[1], AssemblyStatus::Complete);
      EXPECT_EQ(walk(a.buffer()).records, whole.records);
    }
  }
}

TEST(ContainerAssembler, HeaderSplitAcrossPiecesWaits) {
  // Pieces too short to decide the header, or a header without the first
  // record's id and length, wait rather than fail or read the header as a
  // record.
  const Bytes data = cat({kHeader, unhex("0102 0001 41 0102"), kEnd});
  const std::vector<std::vector<std::size_t>> splits = {
      {1},  {2},  {3},
      {5},  {11}, {12},
      {13}, {15}, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15},
  };
  for (const auto& cuts : splits) {
    SCOPED_TRACE(cuts.back());
    ContainerAssembler a;
    Assembly r = assemble(a, data, cuts);
    ASSERT_FALSE(r.error) << r.error->message();
    for (std::size_t i = 0; i + 1 < r.statuses.size(); ++i)
      EXPECT_EQ(r.statuses[i], AssemblyStatus::NeedMore) << i;
    EXPECT_EQ(r.statuses.back(), AssemblyStatus::Complete);
    Walk back = walk(a.buffer());
    ASSERT_FALSE(back.error);
    ASSERT_EQ(back.records.size(), 1u);
    EXPECT_EQ(back.records[0].first, 0x0102);
  }
}

TEST(ContainerAssembler, ShortFirstPiecesWithoutHeader) {
  const Bytes data = cat({unhex("0102 0001 41 0102"), kEnd});
  for (std::size_t cut = 1; cut < 4; ++cut) {
    ContainerAssembler a;
    Assembly r = assemble(a, data, {cut});
    ASSERT_FALSE(r.error) << cut << ": " << r.error->message();
    EXPECT_EQ(r.statuses[0], AssemblyStatus::NeedMore) << cut;
    EXPECT_EQ(r.statuses[1], AssemblyStatus::Complete) << cut;
  }
}

TEST(ContainerAssembler, EmptyPushes) {
  ContainerAssembler a;
  EXPECT_EQ(a.push(ByteView{}).value(), AssemblyStatus::NoData);
  EXPECT_EQ(a.push(ByteView{}).value(), AssemblyStatus::NoData);
  EXPECT_EQ(a.push(unhex("0102")).value(), AssemblyStatus::NeedMore);
  EXPECT_EQ(a.push(ByteView{}).value(), AssemblyStatus::NeedMore);
  EXPECT_EQ(a.push(unhex("0000 0102 ffff0000ffff")).value(), AssemblyStatus::Complete);
  // Bytes after the end record do not change the verdict.
  EXPECT_EQ(a.push(unhex("0102")).value(), AssemblyStatus::Complete);
}

TEST(ContainerAssembler, OwnedPiecesAreAdoptedThenAppended) {
  const Bytes data = sample_container(true);
  {
    Bytes whole = data;
    const std::uint8_t* storage = whole.data();
    ContainerAssembler a;
    EXPECT_EQ(a.push(std::move(whole)).value(), AssemblyStatus::Complete);
    EXPECT_EQ(a.buffer().data(), storage) << "a one-piece reply is not copied";
  }
  for (std::size_t cut : {2, 13, 30, 40000}) {
    ContainerAssembler a;
    EXPECT_EQ(a.push(Bytes(data.begin(), data.begin() + cut)).value(), AssemblyStatus::NeedMore);
    EXPECT_EQ(a.push(Bytes(data.begin() + cut, data.end())).value(), AssemblyStatus::Complete);
    EXPECT_EQ(a.buffer(), data);
  }
}

TEST(ContainerAssembler, ErrorsCarryOffsetsIntoTheWholeBuffer) {
  const Bytes data = cat({kHeader, unhex("0502 0000 0502  0102 0001 41 0201"), kEnd});
  for (std::size_t cut : {std::size_t{0}, std::size_t{16}, std::size_t{20}, std::size_t{24}}) {
    ContainerAssembler a;
    Assembly r = assemble(a, data, {cut});
    ASSERT_TRUE(r.error.has_value()) << cut;
    EXPECT_EQ(*r.error, ContainerError::tag_mismatch(18, 0x0102, 0x0201)) << cut;
  }
}

TEST(ContainerAssembler, RecordLimitHoldsAcrossPieces) {
  // The same bytes that a reader refuses are refused however they arrive.
  for (bool header : {false, true}) {
    const Bytes over = many_empty_records(100000, header);
    for (const std::vector<std::size_t>& cuts :
         {std::vector<std::size_t>{}, {over.size() / 2}, {1000, 300001, 599999}}) {
      ContainerAssembler a;
      Assembly r = assemble(a, over, cuts);
      ASSERT_TRUE(r.error.has_value()) << cuts.size();
      EXPECT_EQ(*r.error, ContainerError::too_many_records(100000));
    }
    const Bytes fits = many_empty_records(99999, header);
    ContainerAssembler a;
    Assembly r = assemble(a, fits, {fits.size() / 3, fits.size() / 2});
    ASSERT_FALSE(r.error.has_value());
    EXPECT_EQ(r.statuses.back(), AssemblyStatus::Complete);
  }
}

// ---------------------------------------------------------------- trailer

TEST(MessageTrailer, AppendsLengthAndTag) {
  Bytes c = std::move(ContainerWriter::with_rfc_header()).finish_container().value();
  ASSERT_TRUE(append_message_trailer(c).ok());
  EXPECT_EQ(c, cat({kHeader, kEnd, unhex("00000012 00008500")}));

  Bytes big(0x12345, 0);
  ASSERT_TRUE(append_message_trailer(big).ok());
  EXPECT_EQ(Bytes(big.end() - 8, big.end()), unhex("00012345 00008500"));
}

TEST(MessageTrailer, LengthBeyondU32IsRefused) {
  struct Case {
    std::uint64_t length;
    std::optional<Bytes> trailer;
  };
  const Case cases[] = {
      {0, unhex("00000000 00008500")},
      {0xFFFFFFFFull, unhex("ffffffff 00008500")},
      {0x100000000ull, std::nullopt},
      {0x100000006ull, std::nullopt},  // would wrap to 6
  };
  for (const auto& c : cases) {
    auto r = message_trailer(c.length);
    if (c.trailer) {
      ASSERT_TRUE(r.ok());
      EXPECT_EQ(Bytes(r->begin(), r->end()), *c.trailer);
    } else {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), ContainerError::message_too_long(c.length));
      EXPECT_NE(r.error().message().find(std::to_string(c.length)), std::string::npos);
    }
  }
}

// ---------------------------------------------------------------- *ERR* block

TEST(ErrBlock, Parse) {
  using namespace std::string_literals;
  struct Case {
    std::string data;
    std::optional<ErrBlock> block;
  };
  const Case cases[] = {
      {"*ERR*\0x\0 connection refused \0gw\0"s, ErrBlock{"connection refused", "gw"}},
      {"*ERR*"s, std::nullopt},
      {"*ERR*\0"s, ErrBlock{"", ""}},
      {"*ERR"s, std::nullopt},
      {"xERR*\0a\0b"s, std::nullopt},
      {"*err*\0a\0b"s, std::nullopt},
      {"*ERR*\0\0\0"s, ErrBlock{"", ""}},
      {"*ERR*\0a\0msg"s, ErrBlock{"msg", "msg"}},
      {"*ERR*\0a\0\0*ERR*\0\0"s, ErrBlock{"", "a"}},
      {"*ERR* \0code\0\tpartner not reached\r\n\0"s,
       ErrBlock{"partner not reached", "partner not reached"}},
      {"*ERR*\0a\0bad \xff byte\0origin"s, ErrBlock{"bad \xef\xbf\xbd byte", "origin"}},
      {"*ERR*tail"s, ErrBlock{"", "*ERR*tail"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.data);
    EXPECT_EQ(parse_err_block(as_bytes(c.data)), c.block);
  }
}

// ---------------------------------------------------------------- compressed tables

TEST(CompressedTable, Detect) {
  const Bytes good = unhex("7b02 00ea 00000000 78563412 11 1f9d 00");
  struct Case {
    const char* name;
    Bytes value;
    std::optional<CompressedTableHeader> result;
  };
  auto with = [&](std::size_t at, std::uint8_t v) {
    Bytes b = good;
    b[at] = v;
    return b;
  };
  const Case cases[] = {
      {"LZC", good, CompressedTableHeader{0x12345678, 0x11}},
      {"LZH", with(12, 0x12), CompressedTableHeader{0x12345678, 0x12}},
      {"unexamined bytes", unhex("7b02 ffea ffffffff 01000000 12 1f9d ff ffff"),
       CompressedTableHeader{1, 0x12}},
      {"15 bytes", Bytes(good.begin(), good.end() - 1), std::nullopt},
      {"byte 0", with(0, 0x7c), std::nullopt},
      {"byte 1", with(1, 0x03), std::nullopt},
      {"byte 3", with(3, 0xeb), std::nullopt},
      {"algorithm", with(12, 0x10), std::nullopt},
      {"byte 13", with(13, 0x1e), std::nullopt},
      {"byte 14", with(14, 0x9c), std::nullopt},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(detect_compressed_table(c.value), c.result);
  }
}

}  // namespace

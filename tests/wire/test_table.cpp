#include <gtest/gtest.h>

#include "tests/support/testutil.hpp"
#include "wire/container.hpp"
#include "wire/table.hpp"

using namespace quib::wire;

namespace {

using quib::test::B;
using quib::test::cat;
using quib::test::hex;
using quib::test::U;

// A record as the container format writes it (short length form).
Bytes rec(std::uint16_t id, const Bytes& value) {
  Bytes b;
  append_be16(b, id);
  append_be16(b, static_cast<std::uint16_t>(value.size()));
  append_bytes(b, value);
  append_be16(b, id);
  return b;
}

Bytes be32(std::uint32_t v) {
  Bytes b(4);
  store_be32(b.data(), v);
  return b;
}

const Bytes kEnd = B({0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF});
const std::string kEmoji = "\xF0\x9F\x98\x80";  // U+1F600: D83D DE00

// ---------------------------------------------------------------------------
// Row images

TEST(RowImages, ByteRowsAreCutOrZeroFilled) {
  TableArg t = TableArg::byte_rows("T", {B({1, 2, 3, 4, 5}), Bytes(10, 7), {}}, 8);
  auto rows = fixed_width_rows(t);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[0], B({1, 2, 3, 4, 5, 0, 0, 0}));
  EXPECT_EQ(rows[1], Bytes(8, 7));
  EXPECT_EQ(rows[2], Bytes(8, 0));
}

TEST(RowImages, TextRows) {
  struct Case {
    const char* name;
    std::string text;
    std::uint64_t width;
    Bytes image;
  } cases[] = {
      {"filled", "AB", 8, U("AB  ")},
      {"cut", "ABCDEF", 8, U("ABCD")},
      {"odd width", "ABCDEF", 7, U("ABC")},
      {"width 1", "A", 1, {}},
      {"non-ascii", "\xC3\xA4", 4, B({0xE4, 0, 0x20, 0})},
      {"pair fits", "A" + kEmoji, 6, B({0x41, 0, 0x3D, 0xD8, 0x00, 0xDE})},
      // The cut would fall between the halves of the pair: the pair is left
      // out and its place filled with spaces.
      {"pair at the cut", "A" + kEmoji, 4, B({0x41, 0, 0x20, 0})},
      {"pair first", kEmoji + "B", 2, B({0x20, 0})},
  };
  for (const auto& c : cases) {
    TableArg t = TableArg::text_rows("T", {c.text}, c.width);
    EXPECT_EQ(hex(fixed_width_row(t, 0)), hex(c.image)) << c.name;
  }
}

TEST(Utf16Cut, NeverSplitsAPair) {
  EXPECT_EQ(utf16_cut("ABC", 2), u"AB");
  EXPECT_EQ(utf16_cut("A" + kEmoji, 2), u"A");
  EXPECT_EQ(utf16_cut("A" + kEmoji, 3), u"A\xD83D\xDE00");
  EXPECT_EQ(utf16_cut(kEmoji, 1), u"");
  EXPECT_EQ(utf16_cut("", 0), u"");
}

// ---------------------------------------------------------------------------
// The TableHeader record

TEST(TableHeaderRecord, ReadsWhatTheRecordHolds) {
  struct Case {
    const char* name;
    const char* value;
    ParsedTableHeader want;
  };
  const Case cases[] = {
      {"width and count", "00 00 01 02 80 00 00 03", {{0x0102, 0x80000003}, true}},
      {"bytes after the count are not read", "00 00 00 14 00 00 00 03 FF", {{20, 3}, true}},
      {"the width alone", "FF FF FF FE", {{0xFFFFFFFE, 0}, false}},
      {"a count cut short is not read", "00 00 00 08 00 00 01", {{8, 0}, false}},
  };
  for (const Case& c : cases) {
    auto h = parse_table_header(quib::test::unhex(c.value));
    ASSERT_TRUE(h) << c.name << ": " << h.error().message();
    EXPECT_EQ(*h, c.want) << c.name;
  }
}

TEST(TableHeaderRecord, FewerThanFourBytesAreRefusedWithTheirSize) {
  for (std::size_t n : {0u, 1u, 3u}) {
    auto h = parse_table_header(Bytes(n, 0x01));
    ASSERT_FALSE(h) << n;
    EXPECT_EQ(h.error(), TableHeaderError{n});
    EXPECT_EQ(h.error().message(), std::to_string(n) + "-byte table header");
  }
}

TEST(TableHeaderRecord, WritesWidthThenCountBigEndian) {
  const auto bytes = table_header(TableHeader{0x01020304, 0xA0B0C0D0});
  EXPECT_EQ(hex(Bytes(bytes.begin(), bytes.end())), hex(quib::test::unhex("01020304 A0B0C0D0")));
  auto back = parse_table_header(bytes);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, (ParsedTableHeader{{0x01020304, 0xA0B0C0D0}, true}));
}

// ---------------------------------------------------------------------------
// Table records

TEST(TableRecords, TablesAreNumberedAndRowsFollowTheHeader) {
  ContainerWriter w;
  std::vector<TableArg> tables = {
      TableArg::text_rows("T1", {"AB", "C"}, 4),
      TableArg::byte_rows("T2", {}, 3),
  };
  ASSERT_TRUE(write_table_records(w, tables).ok());
  const Bytes want = cat({
      rec(0x0301, U("T1")),
      rec(0x0330, be32(1)),
      rec(0x0302, cat({be32(4), be32(2)})),
      rec(0x0303, U("AB")),
      rec(0x0303, U("C ")),
      // A table without rows: name, number and a header with count 0 only.
      rec(0x0301, U("T2")),
      rec(0x0330, be32(2)),
      rec(0x0302, cat({be32(3), be32(0)})),
  });
  EXPECT_EQ(hex(w.bytes()), hex(want));
}

TEST(TableRecords, NumberingRestartsPerCall) {
  ContainerWriter w;
  std::vector<TableArg> one = {TableArg::byte_rows("A", {B({1})}, 1)};
  ASSERT_TRUE(write_table_records(w, one).ok());
  ASSERT_TRUE(write_table_records(w, one).ok());
  auto bytes = std::move(w).finish_container();
  ASSERT_TRUE(bytes.ok());
  auto reader = ContainerReader::create(*bytes);
  ASSERT_TRUE(reader.ok());
  auto records = reader->read_all_records();
  ASSERT_TRUE(records.ok());
  std::vector<std::uint32_t> numbers;
  for (const auto& r : *records)
    if (r.id == RecordId::TableRowCount) numbers.push_back(load_be32(r.value.data()));
  EXPECT_EQ(numbers, (std::vector<std::uint32_t>{1, 1}));
}

TEST(TableRecords, WidthBeyondTheHeaderIsRefused) {
  ContainerWriter w;
  std::vector<TableArg> tables = {
      TableArg::byte_rows("OK", {B({1})}, 1),
      TableArg::byte_rows("WIDE", {}, 0x100000000ull),
      TableArg::byte_rows("LATER", {}, 1),
  };
  auto st = write_table_records(w, tables);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error(), (TableSizeError{"row width", 0x100000000ull}));
  EXPECT_EQ(st.error().message(),
            "table row width of 4294967296 does not fit the wire header's u32");
  // The first table's records stay; nothing of the wide or later tables.
  const Bytes first = cat({rec(0x0301, U("OK")), rec(0x0330, be32(1)),
                           rec(0x0302, cat({be32(1), be32(1)})), rec(0x0303, B({1}))});
  EXPECT_EQ(hex(w.bytes()), hex(first));
  // The largest width that fits is written.
  ContainerWriter w2;
  std::vector<TableArg> max = {TableArg::byte_rows("M", {}, 0xFFFFFFFFull)};
  EXPECT_TRUE(write_table_records(w2, max).ok());
}

TEST(TableRecords, SizeErrorMessageForCounts) {
  EXPECT_EQ((TableSizeError{"row count", 4294967296ull}).message(),
            "table row count of 4294967296 does not fit the wire header's u32");
}

// ---------------------------------------------------------------------------
// Queued-call container

TEST(CallContainer, RecordsInOrder) {
  std::vector<CallParameter> params = {{"P1", B({1, 2})}, {"P2", {}}};
  std::vector<TableArg> tables = {TableArg::text_rows("T", {"X"}, 2)};
  auto c = encode_call_container("FM", "753", params, tables);
  ASSERT_TRUE(c.ok()) << c.error().message();
  const Bytes want = cat({
      rec(0x0502, {}),
      rec(0x000B, U("753")),
      rec(0x0102, U("FM")),
      rec(0x0201, U("P1")),
      rec(0x0203, B({1, 2})),
      rec(0x0201, U("P2")),
      rec(0x0203, {}),
      rec(0x0301, U("T")),
      rec(0x0330, be32(1)),
      rec(0x0302, cat({be32(2), be32(1)})),
      rec(0x0303, U("X")),
      kEnd,
  });
  EXPECT_EQ(hex(*c), hex(want));
}

TEST(CallContainer, TableErrorIsReturned) {
  std::vector<TableArg> tables = {TableArg::byte_rows("T", {}, 0x1FFFFFFFFull)};
  auto c = encode_call_container("FM", "753", {}, tables);
  ASSERT_FALSE(c.ok());
  ASSERT_EQ(c.error().error.index(), 0u);
  EXPECT_EQ(c.error().message(),
            "table row width of 8589934591 does not fit the wire header's u32");
}

// ---------------------------------------------------------------------------
// DATA payload

TEST(UnitData, Layout) {
  const Bytes container = B({0xAA, 0xBB});
  auto d = serialize_unit_call("0A1B2C3D4E5F", "EXTERNAL", container, 7);
  ASSERT_TRUE(d.ok()) << d.error().message();
  ASSERT_EQ(d->size(), kUnitDataHeaderSize + 2);
  const ByteView v(*d);
  EXPECT_EQ(hex(v.subspan(0, 48)), hex(U("0A1B2C3D4E5F            ")));
  EXPECT_EQ(hex(v.subspan(48, 64)), hex(U("EXTERNAL                        ")));
  EXPECT_EQ(hex(v.subspan(112, 16)), hex(U("00000007")));
  EXPECT_EQ(hex(v.subspan(128, 4)), "00000007");
  EXPECT_EQ(hex(v.subspan(132)), "aabb");
}

TEST(UnitData, SlotsAreFilledExactly) {
  const std::string tid(24, 'T'), queue(32, 'Q');
  auto d = serialize_unit_call(tid + "XYZ", queue, {}, kMaxUnitCounter);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(hex(*d), hex(cat({U(tid), U(queue), U("99999999"), be32(kMaxUnitCounter)})));
}

TEST(UnitData, RefusesWhatDoesNotFit) {
  auto d = serialize_unit_call("TID", std::string(40, 'Q'), {}, 1);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().kind, UnitPayloadError::Kind::QueueNameTooLong);
  EXPECT_EQ(d.error().value, 40u);
  EXPECT_EQ(d.error().message(), "queue name \"" + std::string(40, 'Q') +
                                     "\" has 40 characters, more than the 32 a queued unit allows");
  // A character above U+FFFF takes two of the slot's units.
  d = serialize_unit_call("TID", std::string(31, 'Q') + kEmoji, {}, 1);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().value, 33u);
  d = serialize_unit_call("TID", "Q", {}, kMaxUnitCounter + 1);
  ASSERT_FALSE(d.ok());
  EXPECT_EQ(d.error().kind, UnitPayloadError::Kind::CounterTooLarge);
  EXPECT_EQ(d.error().message(),
            "call counter 100000000 has more than the 8 digits a queued unit allows");
}

TEST(UnitData, TidCutBeforeAPair) {
  auto d = serialize_unit_call(std::string(23, 'T') + kEmoji, "Q", {}, 1);
  ASSERT_TRUE(d.ok());
  EXPECT_EQ(hex(ByteView(*d).subspan(0, 48)), hex(U(std::string(23, 'T') + " ")));
}

// ---------------------------------------------------------------------------
// STATE row

// The row built unit by unit from the layout, for comparison.
std::u16string expected_state_row(std::u16string tid, std::u16string queue, std::u16string counter,
                                  std::u16string function, std::u16string host,
                                  std::u16string program) {
  std::u16string row;
  auto slot = [&](std::u16string text, std::size_t units) {
    text.resize(units, u' ');
    row += text;
  };
  slot(tid, 24);
  slot(queue, 32);
  slot(counter, 16);
  slot(function, 30);
  row += u' ';
  row += std::u16string(14, u'0');
  row += std::u16string(36, u' ');
  slot(host, 58);
  slot(program, 255);
  row += std::u16string(20, u'\0');
  return row;
}

TEST(UnitState, Layout) {
  auto r = build_unit_state_row("0A1B2C", "EXTERNAL", "Z_FM", "host1", "quib_proto", 7);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r->size(), 972u);
  const auto want =
      expected_state_row(u"0A1B2C", u"EXTERNAL", u"00000007", u"Z_FM", u"host1", u"quib_proto");
  ASSERT_EQ(want.size(), 486u);
  EXPECT_EQ(hex(*r), hex(utf16_units_to_bytes(want)));
}

TEST(UnitState, CutsNamesAndRefusesLongQueues) {
  const std::string fn(40, 'F'), host(70, 'H'), prog(300, 'P');
  auto r =
      build_unit_state_row(std::string(30, 'T'), std::string(32, 'Q'), fn, host, prog, 4294967295u);
  ASSERT_TRUE(r.ok());
  const auto want = expected_state_row(std::u16string(24, u'T'), std::u16string(32, u'Q'),
                                       u"4294967295", std::u16string(30, u'F'),
                                       std::u16string(58, u'H'), std::u16string(255, u'P'));
  EXPECT_EQ(hex(*r), hex(utf16_units_to_bytes(want)));
  auto bad = build_unit_state_row("T", std::string(33, 'Q'), "F", "H", "P", 1);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind, UnitPayloadError::Kind::QueueNameTooLong);
}

TEST(UnitState, HostNameCutBeforeAPair) {
  auto r = build_unit_state_row("T", "Q", "F", std::string(57, 'h') + kEmoji, "P", 1);
  ASSERT_TRUE(r.ok());
  const auto want =
      expected_state_row(u"T", u"Q", u"00000001", u"F", std::u16string(57, u'h'), u"P");
  EXPECT_EQ(hex(*r), hex(utf16_units_to_bytes(want)));
}

}  // namespace

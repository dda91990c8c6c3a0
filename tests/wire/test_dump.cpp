// Dumps: value renderings in their order of preference, the record listing
// (passwords by length only, errors as a final line) and the hexadecimal
// dump's window, columns and mark.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <string>
#include <vector>

#include "wire/container.hpp"
#include "wire/dump.hpp"
#include "wire/utf.hpp"

using namespace quib::wire;
using namespace std::string_literals;

namespace {

Bytes iota_bytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

std::vector<std::string> lines_of(const std::string& s) {
  std::vector<std::string> out;
  std::size_t start = 0;
  for (;;) {
    std::size_t nl = s.find('\n', start);
    out.push_back(s.substr(start, nl == std::string::npos ? std::string::npos : nl - start));
    if (nl == std::string::npos) return out;
    start = nl + 1;
  }
}

// Column of byte `i` of a dump line: offset, two spaces, three columns a
// byte, one extra space after the eighth.
std::string fmt_offset(std::size_t off) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%08zx", off);
  return buf;
}

std::size_t column_of(std::size_t i) { return 10 + 3 * i + (i >= 8 ? 1 : 0); }

TEST(RenderValue, OrderOfPreference) {
  struct Case {
    Bytes value;
    std::string text;
  };
  const Case cases[] = {
      {{}, "(empty)"},
      {to_bytes("RFC_PING"), "\"RFC_PING\""},
      {encode_utf16le("RFC_PING"), "\"RFC_PING\" (utf-16le)"},
      {{0x01, 0x02, 0x03}, "<3 B> 01 02 03 "},
      {{0x01, 0x00, 0x00, 0x00}, "\"\\u{1}\\u{0}\" (utf-16le)"},
      {to_bytes("a\"b\\c\nd"), "\"a\\\"b\\\\c\\nd\""},
      {to_bytes("Gr\xc3\xbc\xc3\x9f"
                "e"),
       "\"Gr\xc3\xbc\xc3\x9f"
       "e\""},
      {to_bytes("a\tb"), "<3 B> 61 09 62 "},
      {encode_utf16le("a\tb\n"), "\"a\\u{9}b\\n\" (utf-16le)"},
      {{0xC2, 0x85}, "<2 B> c2 85 "},  // U+0085 is a C1 control
      {to_bytes("a\x7f"), "<2 B> 61 7f "},
      {{0x7F, 0x00}, "\"\\u{7f}\" (utf-16le)"},
      {{0xE9, 0x00}, "\"\xc3\xa9\" (utf-16le)"},        // not UTF-8, Latin-1 range UTF-16LE
      {to_bytes("x\xe2\x80\x8by"), "\"x\\u{200b}y\""},  // zero-width space stays visible
      {to_bytes("\xef\xbb\xbfhi"), "\"\\u{feff}hi\""},
      {{0xFF, 0xFE, 0xFD}, "<3 B> ff fe fd "},
      {iota_bytes(20), "<20 B> 00 01 02 03 04 05 06 07 08 09 0a 0b 0c 0d 0e 0f "},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(render_value(c.value), c.text);
  }
}

TEST(HexDump, FiveBytesIsOneLine) {
  const Bytes data = {'H', 'i', '!', 0x00, 0xFF};
  const std::string expected = "00000000  >48 69 21 00 ff" + std::string(3 * 3, ' ') + " " +
                               std::string(8 * 3, ' ') + "  |Hi!..|";
  EXPECT_EQ(hex_dump(data, 0, 48), expected);
  EXPECT_EQ(hex_dump({}, 0, 48), "(empty payload)");
}

TEST(HexDump, FullLineLayout) {
  const Bytes data = iota_bytes(100);
  const auto lines = lines_of(hex_dump(data, 60, 48));
  EXPECT_EQ(lines[2],
            "00000020   20 21 22 23 24 25 26 27  28 29 2a 2b 2c 2d 2e 2f  | !\"#$%&'()*+,-./|");
  // The mark takes the place of the byte's leading space.
  EXPECT_EQ(lines[3],
            "00000030   30 31 32 33 34 35 36 37  38 39 3a 3b>3c 3d 3e 3f  |0123456789:;<=>?|");
}

TEST(HexDump, Window) {
  struct Case {
    std::size_t size, mark, context;
    std::size_t first_line;  // offset of the first line
    std::size_t lines;       // number of lines
    std::size_t marked;      // byte that carries ">"
  };
  constexpr std::size_t kHuge = std::numeric_limits<std::size_t>::max();
  const Case cases[] = {
      {100, 60, 48, 0x00, 7, 60},  // 60 - 48 = 12: the line at 0
      {100, 90, 48, 0x20, 5, 90},  // 42: the line at 32
      {100, 64, 48, 0x10, 6, 64},  // exactly a multiple of 16
      {100, 5, 0, 0x00, 1, 5},
      {100, 20, 0, 0x10, 1, 20},
      {100, 5, kHuge, 0x00, 7, 5},  // no overflow of mark + context
      {200, 10, 48, 0x00, 4, 10},   // ends with the line holding byte 58
      // A mark at or past the end is clamped to the last byte: the bytes
      // before it are still shown.
      {100, 100, 48, 0x30, 4, 99},
      {100, 1000, 48, 0x30, 4, 99},
      {100, kHuge, kHuge, 0x00, 7, 99},
      {100, 100, 0, 0x60, 1, 99},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message()
                 << c.size << " bytes, mark " << c.mark << ", context " << c.context);
    const std::string dump = hex_dump(iota_bytes(c.size), c.mark, c.context);
    const auto lines = lines_of(dump);
    ASSERT_EQ(lines.size(), c.lines) << dump;
    EXPECT_EQ(lines.front().substr(0, 8), fmt_offset(c.first_line));
    std::size_t marks = 0;  // in the byte columns, not among the characters
    for (const auto& l : lines) marks += std::count(l.begin(), l.begin() + column_of(16), '>');
    EXPECT_EQ(marks, 1u);
    const std::string& marked_line = lines[(c.marked - c.first_line) / 16];
    EXPECT_EQ(marked_line.substr(0, 8), fmt_offset(c.marked / 16 * 16));
    EXPECT_EQ(marked_line[column_of(c.marked % 16)], '>') << marked_line;
    EXPECT_NE(dump.back(), '\n');
  }
}

TEST(DescribeContainer, RecordLines) {
  ContainerWriter w = ContainerWriter::with_rfc_header();
  w.put_record(RecordId{0x0502}, {});
  w.put_record(RecordId::Function, encode_utf16le("RFC_PING"));
  w.put_record(RecordId::Password, to_bytes("s3cr3t"));
  w.put_record(RecordId::ParameterName, to_bytes("QUERY_TABLE"));
  w.put_record(RecordId::TableContent, Bytes{1, 2, 3});
  w.put_record(RecordId::TableCompressedChunk, to_bytes("x"));
  const Bytes data = std::move(w).finish_container().value();
  EXPECT_EQ(describe_container(data),
            "  0x0502                     (empty)\n"
            "  Function(0x0102)           \"RFC_PING\" (utf-16le)\n"
            "  Password(0x0117)           <redacted, 6 B>\n"
            "  ParameterName(0x0201)      \"QUERY_TABLE\"\n"
            "  TableContent(0x0303)       <3 B> 01 02 03 \n"
            "  TableCompressedChunk(0x0305) \"x\"\n");
}

TEST(DescribeContainer, ErrorsEndTheListing) {
  struct Case {
    Bytes data;
    std::string text;
  };
  const Bytes fn = {0x01, 0x02, 0x00, 0x01, 'A', 0x01, 0x02};
  Bytes truncated = fn;
  truncated.insert(truncated.end(), {0x02, 0x01, 0x00, 0x05, 'x'});
  Bytes mismatch = fn;
  mismatch.insert(mismatch.end(),
                  {0x02, 0x01, 0x00, 0x00, 0x02, 0x03, 0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF});
  const Case cases[] = {
      {fn,
       "  Function(0x0102)           \"A\"\n  !! RFC_PRO message ended without a 0xffff marker\n"},
      {truncated,
       "  Function(0x0102)           \"A\"\n  !! RFC_PRO field at offset 7 is truncated\n"},
      {mismatch,
       "  Function(0x0102)           \"A\"\n"
       "  !! RFC_PRO field at offset 7 opened with tag 0x0201 but closed with 0x0203\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(describe_container(c.data), c.text);
}

TEST(DescribeContainer, NotAContainerIsAHexDumpOfEverything) {
  const Bytes two = {'A', 'B'};
  EXPECT_EQ(describe_container(two), hex_dump(two, 0, 2));
  EXPECT_EQ(describe_container(two).substr(0, 16), "00000000  >41 42");
  Bytes headered(14, 0xF0);
  headered[0] = 0xD9, headered[1] = 0xC6, headered[2] = 0xC3;
  EXPECT_EQ(lines_of(describe_container(headered)).size(), 1u);
  EXPECT_EQ(describe_container({}), "(empty payload)");
}

TEST(DescribeContainer, PasswordBytesNeverShown) {
  const std::string secret = "Tr0ub4dor&3";
  for (const Bytes& value : {to_bytes(secret), encode_utf16le(secret), Bytes{0x01, 0x02, 0x03}}) {
    ContainerWriter w;
    w.put_record(RecordId::Password, value);
    Bytes data = std::move(w).finish_container().value();
    data.resize(data.size() - 3);  // and a broken end: the listing still stops at the error
    const std::string text = describe_container(data);
    EXPECT_EQ(text.find("Tr0ub"), std::string::npos) << text;
    EXPECT_EQ(text.find("01 02 03"), std::string::npos) << text;
    EXPECT_NE(text.find("<redacted, " + std::to_string(value.size()) + " B>"), std::string::npos);
  }
}

}  // namespace

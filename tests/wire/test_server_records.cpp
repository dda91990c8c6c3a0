// Registered-server wire records: the registration record and information
// block byte for byte, the gateway's error text, and inbound calls decoded
// from containers built with the container writer.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/testutil.hpp"
#include "wire/container.hpp"
#include "wire/server.hpp"

using namespace quib::wire;

namespace {

using quib::test::unhex;

template <std::size_t N>
Bytes slice(const std::array<std::uint8_t, N>& a, std::size_t from, std::size_t to) {
  return Bytes(a.begin() + from, a.begin() + to);
}

// Builds a container from (id, value) pairs with the container writer, reads
// it back with the reader and decodes the records, the way a server does.
struct InboundFixture {
  ContainerWriter w;
  InboundFixture& add(RecordId id, std::string_view value) {
    w.put_record(id, as_bytes(value));
    return *this;
  }
  InboundFixture& add(RecordId id, const Bytes& value) {
    w.put_record(id, value);
    return *this;
  }
  InboundCall decode() && {
    auto bytes = std::move(w).finish_container();
    EXPECT_TRUE(bytes.ok());
    container = std::move(bytes).value();
    auto reader = ContainerReader::create(container);
    EXPECT_TRUE(reader.ok());
    auto records = reader.value().read_all_records();
    EXPECT_TRUE(records.ok());
    return decode_inbound_call(records.value());
  }
  Bytes container;
};

}  // namespace

TEST(RegistrationRecord, WholeRecordByteForByte) {
  const RegistrationRecord r =
      build_registration_record("ABCDEFGHIJK", "localhost", {127, 0, 0, 1});
  const Bytes expected = unhex(
      "02 0B 7F 00 00 01 00 00 00 00"
      "41 42 43 44 45 46 47 48 49 00"  // program ID, first 9 bytes, NUL
      "31 31 30 30"                    // "1100"
      "00 00 00 00 00 06"
      "6C 6F 63 61 6C 68 6F 73"  // "localhos"
      "41 42 43 44 45 46 47 48"  // program ID, first 8 bytes
      "20 20 20 20 20 20 20 20"
      "06 CB FF FF 00 00 00 00 00 00");
  ASSERT_EQ(expected.size(), kRegistrationRecordSize);
  EXPECT_EQ(Bytes(r.begin(), r.end()), expected);
}

TEST(RegistrationRecord, TextFieldsAreCutAtCharacterBoundaries) {
  struct Case {
    std::string program;
    std::string host;
    Bytes at10;  // bytes 10..19
    Bytes at30;  // bytes 30..37
    Bytes at38;  // bytes 38..45
  };
  const std::string e_acute = "\xC3\xA9";
  const std::vector<Case> cases = {
      {"", "", unhex("00 20 20 20 20 20 20 20 20 20"), to_bytes("        "), to_bytes("        ")},
      {"PROG", "h", unhex("50 52 4F 47 00 20 20 20 20 20"), to_bytes("h       "),
       to_bytes("PROG    ")},
      {"ABCDEFGHI", "12345678", unhex("41 42 43 44 45 46 47 48 49 00"), to_bytes("12345678"),
       to_bytes("ABCDEFGH")},
      // Bytes 9 and 10 of the program ID form one character: it goes whole.
      {"ABCDEFGH" + e_acute, "x", unhex("41 42 43 44 45 46 47 48 00 20"), to_bytes("x       "),
       to_bytes("ABCDEFGH")},
      // Bytes 8 and 9 form one character: 8 bytes in the first field, 7 in
      // the second.
      {"ABCDEFG" + e_acute, "x", unhex("41 42 43 44 45 46 47 C3 A9 00"), to_bytes("x       "),
       unhex("41 42 43 44 45 46 47 20")},
      // A four-byte character that straddles the 8-byte host field.
      {"P", "abcdef\xF0\x9F\x98\x80", unhex("50 00 20 20 20 20 20 20 20 20"), to_bytes("abcdef  "),
       to_bytes("P       ")},
  };
  for (const Case& c : cases) {
    const RegistrationRecord r = build_registration_record(c.program, c.host, {0, 0, 0, 0});
    EXPECT_EQ(slice(r, 10, 20), c.at10) << c.program;
    EXPECT_EQ(slice(r, 30, 38), c.at30) << c.host;
    EXPECT_EQ(slice(r, 38, 46), c.at38) << c.program;
    // The fixed fields do not move, whatever the texts.
    EXPECT_EQ(slice(r, 0, 2), unhex("02 0B"));
    EXPECT_EQ(slice(r, 2, 10), unhex("00 00 00 00 00 00 00 00"));
    EXPECT_EQ(slice(r, 20, 30), unhex("31 31 30 30 00 00 00 00 00 06"));
    EXPECT_EQ(slice(r, 46, 64), unhex("2020202020202020 06CB FFFF 000000000000"));
  }
}

TEST(RegistrationRecord, AddressBytesAreStoredAsGiven) {
  const RegistrationRecord r = build_registration_record("P", "h", {0xC0, 0xA8, 0x01, 0xFE});
  EXPECT_EQ(slice(r, 2, 6), unhex("C0 A8 01 FE"));
}

TEST(InfoBlock, Layout) {
  struct Case {
    std::string program;
    std::string host;
    std::size_t host_len;
    std::size_t program_len;
  };
  const std::vector<Case> cases = {
      {"PROG", "localhost", 9, 4},
      {"", "", 0, 0},
      {std::string(200, 'P'), std::string(127, 'h'), 127, 127},
      // 126 ASCII bytes and a two-byte character: the character does not fit.
      {std::string(126, 'P') + "\xC3\xA9", std::string(125, 'h') + "\xC3\xA9", 127, 126},
  };
  for (const Case& c : cases) {
    const InfoBlock b = build_info_block(c.program, c.host);
    Bytes expected(kInfoBlockSize, 0x20);
    std::copy_n(c.host.begin(), c.host_len, expected.begin());
    expected[c.host_len] = 0x00;
    std::copy_n(c.program.begin(), c.program_len, expected.begin() + 128);
    expected[128 + c.program_len] = 0x00;
    EXPECT_EQ(Bytes(b.begin(), b.end()), expected) << c.program.size();
  }
}

TEST(InfoBlock, LongProgramIdFillsItsField) {
  const InfoBlock b = build_info_block(std::string(200, 'Q'), "localhost");
  EXPECT_EQ(slice(b, 128, 255), Bytes(127, 'Q'));
  EXPECT_EQ(b[255], 0x00);
  EXPECT_EQ(slice(b, 256, 512), Bytes(256, 0x20));
}

TEST(CharBoundary, Cuts) {
  const std::vector<std::tuple<std::string, std::size_t, std::string>> cases = {
      {"abc", 5, "abc"},
      {"abc", 3, "abc"},
      {"abc", 2, "ab"},
      {"abc", 0, ""},
      {"a\xC3\xA9", 2, "a"},
      {"a\xE2\x82\xAC"
       "b",
       3, "a"},
      {"a\xE2\x82\xAC"
       "b",
       4, "a\xE2\x82\xAC"},
      {"\xF0\x9F\x98\x80", 3, ""},
      // Invalid UTF-8: each stray byte is a character of its own, and a
      // truncated sequence is one character.
      {"ab\x80\x80\x80", 4, "ab\x80\x80"},
      {"ab\xE2\x82"
       "c",
       3, "ab"},
      {"ab\xE2\x82"
       "c",
       4, "ab\xE2\x82"},
  };
  for (const auto& [text, limit, expected] : cases)
    EXPECT_EQ(cut_at_char_boundary(text, limit), expected) << text << " " << limit;
}

TEST(GatewayErrText, Outcomes) {
  using K = GatewayErrText::Kind;
  struct Case {
    Bytes reply;
    K kind;
    std::string text;
  };
  auto err_text = [](std::string t) { return GatewayErrText{K::ErrorText, std::move(t), {}}; };
  const Bytes reply_with_skip = [] {
    Bytes b = unhex("01 02");
    append_bytes(b, std::string_view("*ERR*\0x\0program not registered \0", 32));
    return b;
  }();
  const std::vector<std::pair<Bytes, GatewayErrText>> cases = {
      {reply_with_skip, err_text("program not registered")},
      {to_bytes("*ERR*"), err_text("")},
      {to_bytes("*ERR*x"), err_text("")},
      {to_bytes("*ERR*xy"), err_text("xy")},
      {Bytes{'*', 'E', 'R', 'R', '*', 0, 0, 'a', 0, 'b', 'c'}, err_text("bc")},
      // The first piece of 2 bytes counts even when it trims to nothing.
      {Bytes{'*', 'E', 'R', 'R', '*', ' ', ' ', 0, 'l', 'a', 't', 'e', 'r'}, err_text("")},
      // Invalid UTF-8 is replaced.
      {Bytes{'*', 'E', 'R', 'R', '*', 0xFF, 'a'}, err_text("\xEF\xBF\xBD"
                                                           "a")},
      // The first "*ERR*" counts.
      {to_bytes("..*ERR*first*ERR*second"), err_text("first*ERR*second")},
      {Bytes(80, 0), {K::Nothing, "", {}}},
      {Bytes{}, {K::Nothing, "", {}}},
      {to_bytes("abcd"), {K::OtherBytes, "", to_bytes("abcd")}},
      {to_bytes("*ERR"), {K::OtherBytes, "", to_bytes("*ERR")}},
      {Bytes{0, 0, 7, 0}, {K::OtherBytes, "", Bytes{0, 0, 7, 0}}},
      {to_bytes("no error marker here"), {K::OtherBytes, "", to_bytes("no error marker here")}},
  };
  for (const auto& [reply, expected] : cases)
    EXPECT_EQ(find_err_text(reply), expected) << std::string(reply.begin(), reply.end());
}

TEST(InboundCall, DecodesAFullRequest) {
  Bytes header = unhex("00 00 00 10 00 00 00 02");
  InboundCall call = std::move(InboundFixture()
                                   .add(RecordId{0x0502}, "")
                                   .add(RecordId::Function, "  Z_TEST_FUNC  ")
                                   .add(RecordId::Destination, "DEST")
                                   .add(RecordId::User, "ALICE\n")
                                   .add(RecordId::Client, "001")
                                   .add(kInboundSystemId, "NPL")
                                   .add(kInboundCallerHost, "abap-host")
                                   .add(RecordId::Program, "SAPMSSY1")
                                   .add(RecordId::RequestedOutput, "EXPORT1")
                                   .add(RecordId::ParameterName, "IMPORT1")
                                   .add(RecordId::ParameterValue, unhex("41 00 20 00"))
                                   .add(RecordId::TableName, "TAB")
                                   .add(RecordId::TableHeader, header)
                                   .add(RecordId::TableContent, unhex("01 02"))
                                   .add(RecordId::TableContent, Bytes{})
                                   .add(RecordId::RequestedOutput, "EXPORT2")
                                   .add(RecordId{0x0667}, unhex("00 00")))
                         .decode();
  InboundCall expected;
  expected.function = "Z_TEST_FUNC";
  expected.destination = "DEST";
  expected.user = "ALICE";
  expected.client = "001";
  expected.system_id = "NPL";
  expected.caller_host = "abap-host";
  expected.program = "SAPMSSY1";
  // Parameter values are raw bytes, never trimmed or decoded.
  expected.parameters = {{"IMPORT1", unhex("41 00 20 00")}};
  expected.tables = {InboundTable{"TAB", {unhex("01 02"), Bytes{}}, 16, false}};
  expected.requested_outputs = {"EXPORT1", "EXPORT2"};
  EXPECT_EQ(call, expected);
}

TEST(InboundCall, RecordOrderRules) {
  // The last scalar record wins, except Program, whose first non-empty value
  // stays.
  InboundCall a = std::move(InboundFixture()
                                .add(RecordId::Program, "")
                                .add(RecordId::Program, "   ")
                                .add(RecordId::Program, "P1")
                                .add(RecordId::Program, "P2")
                                .add(RecordId::Function, "F1")
                                .add(RecordId::Function, "F2")
                                .add(RecordId::User, "U1")
                                .add(RecordId::User, ""))
                      .decode();
  EXPECT_EQ(a.program, "P1");
  EXPECT_EQ(a.function, "F2");
  EXPECT_EQ(a.user, "");

  // A name without a value is replaced by the next name; a value without a
  // name is dropped; a name left pending at the end is dropped.
  InboundCall b = std::move(InboundFixture()
                                .add(RecordId::ParameterValue, "orphan")
                                .add(RecordId::ParameterName, "FIRST")
                                .add(RecordId::ParameterName, "SECOND")
                                .add(RecordId::ParameterValue, "v2")
                                .add(RecordId::ParameterValue, "v3")
                                .add(RecordId::ParameterName, "THIRD")
                                .add(RecordId::ParameterValue, "")
                                .add(RecordId::ParameterName, "PENDING"))
                      .decode();
  const std::vector<std::pair<std::string, Bytes>> params = {{"SECOND", to_bytes("v2")},
                                                             {"THIRD", Bytes{}}};
  EXPECT_EQ(b.parameters, params);

  // Table records apply to the last table; before any table they are dropped.
  InboundCall c = std::move(InboundFixture()
                                .add(RecordId::TableContent, "early")
                                .add(RecordId::TableHeader, unhex("00 00 00 08"))
                                .add(RecordId::TableName, "T1")
                                .add(RecordId::TableContent, "r1")
                                .add(RecordId::TableName, "T2")
                                .add(RecordId::TableHeader, unhex("00 01"))
                                .add(RecordId::TableContent, "r2")
                                .add(RecordId::TableContent, "r3"))
                      .decode();
  const std::vector<InboundTable> tables = {
      InboundTable{"T1", {to_bytes("r1")}, 0, false},
      InboundTable{"T2", {to_bytes("r2"), to_bytes("r3")}, 0, true},
  };
  EXPECT_EQ(c.tables, tables);

  // A header of exactly 4 bytes sets the width; bytes after them are not read;
  // a later short header marks the table but keeps the width.
  InboundCall d = std::move(InboundFixture()
                                .add(RecordId::TableName, "T")
                                .add(RecordId::TableHeader, unhex("00 01 00 00"))
                                .add(RecordId::TableHeader, unhex("12 34 56 78 FF FF FF FF"))
                                .add(RecordId::TableHeader, unhex("99")))
                      .decode();
  ASSERT_EQ(d.tables.size(), 1u);
  EXPECT_EQ(d.tables[0].row_width, 0x12345678u);
  EXPECT_TRUE(d.tables[0].short_header);
}

TEST(InboundCall, TextsAreLossyUtf8AndTrimmed) {
  InboundCall call = std::move(InboundFixture()
                                   .add(RecordId::Function, Bytes{'F', 0xFF, 'N'})
                                   .add(RecordId::User, "\xC3\xA9l\xC3\xA8ve ")
                                   .add(RecordId::ParameterName, "\tNAME ")
                                   .add(RecordId::ParameterValue, "  raw  ")
                                   .add(RecordId::TableName, " TAB\n"))
                         .decode();
  EXPECT_EQ(call.function, "F\xEF\xBF\xBDN");
  EXPECT_EQ(call.user, "\xC3\xA9l\xC3\xA8ve");
  ASSERT_EQ(call.parameters.size(), 1u);
  EXPECT_EQ(call.parameters[0].first, "NAME");
  EXPECT_EQ(call.parameters[0].second, to_bytes("  raw  "));
  ASSERT_EQ(call.tables.size(), 1u);
  EXPECT_EQ(call.tables[0].name, "TAB");
}

TEST(InboundCall, RecordsOfOtherMessagesAreIgnored) {
  InboundCall call = std::move(InboundFixture()
                                   .add(RecordId::Password, "secret")
                                   .add(RecordId::Language, "E")
                                   .add(RecordId::AbapExceptionKey, "KEY")
                                   .add(RecordId::TableCompressed, "zz")
                                   .add(RecordId{0x0004}, "x"))
                         .decode();
  EXPECT_EQ(call, InboundCall{});
}

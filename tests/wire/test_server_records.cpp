// Registered-server wire records: the registration record and information
// block byte for byte, the gateway's error text, and the verdict on the
// gateway's answer to the registration.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/server_frames.hpp"
#include "tests/support/testutil.hpp"
#include "wire/dump.hpp"
#include "wire/server.hpp"

using namespace quib::wire;

namespace {

using quib::test::unhex;

template <std::size_t N>
Bytes slice(const std::array<std::uint8_t, N>& a, std::size_t from, std::size_t to) {
  return Bytes(a.begin() + from, a.begin() + to);
}

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

TEST(RegistrationAnswer, Verdicts) {
  // A control record as the gateway answers: 06 D1, blanks and NULs, the id
  // H0000001 at 40..47.
  Bytes header(80, 0);
  header[0] = 0x06;
  header[1] = 0xD1;
  std::copy_n(std::string_view("H0000001").begin(), 8, header.begin() + 40);
  auto with = [&](ByteView tail) {
    Bytes f = header;
    append_bytes(f, tail);
    return f;
  };
  // Accepted without a pending call: nothing behind the header, only NULs
  // there, or a frame too short to have a header (whatever it holds).
  for (const Bytes& frame : {header, with(Bytes(32, 0)), Bytes(40, 0x41), Bytes{}}) {
    auto v = judge_registration_answer("ZPROG", frame);
    ASSERT_TRUE(v.ok()) << v.error().message();
    EXPECT_FALSE(v.value().has_value());
  }
  // A call announcement as the answer is kept whole.
  const Bytes ann = quib::test::announcement("87654321");
  auto pending = judge_registration_answer("ZPROG", ann);
  ASSERT_TRUE(pending.ok());
  ASSERT_TRUE(pending.value().has_value());
  EXPECT_EQ(*pending.value(), ann);
  // An "*ERR*" block behind the header is a refusal naming the program ID.
  const Bytes err_tail =
      to_bytes(std::string_view("xx*ERR*\0"
                                "1\0"
                                "not allowed \0",
                                23));
  auto refused = judge_registration_answer("ZPROG", with(err_tail));
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error().kind, ServerRecordError::Refused);
  EXPECT_EQ(refused.error().program_id, "ZPROG");
  EXPECT_EQ(refused.error().text, "not allowed");
  // "*ERR*" inside the header does not count: only the bytes after it are
  // searched.
  Bytes in_header = header;
  std::copy_n(std::string_view("*ERR*xy").begin(), 7, in_header.begin() + 60);
  auto ignored = judge_registration_answer("ZPROG", in_header);
  ASSERT_TRUE(ignored.ok());
  EXPECT_FALSE(ignored.value().has_value());
  // Anything else is named, readable and in hex.
  auto other = judge_registration_answer("ZPROG", with(as_bytes("HELLO\x01")));
  ASSERT_FALSE(other.ok());
  EXPECT_EQ(other.error().kind, ServerRecordError::UnclearAnswer);
  EXPECT_EQ(other.error().step, ServerStep::Registration);
  EXPECT_EQ(other.error().message(),
            "a 6-byte answer that is neither an acceptance nor a refusal: HELLO. / " +
                hex_dump(as_bytes("HELLO\x01"), 0, 6));
}

TEST(RegistrationAnswer, UnclearAnswersAreShownReadableAndInHex) {
  struct Case {
    Bytes tail;          // the bytes behind the header
    std::string shown;   // their readable text
    std::size_t dumped;  // how many of them the hex dump shows
  };
  const std::vector<Case> cases = {
      // C0 and C1 controls and DEL become dots; other characters stay.
      {unhex("41 7F C2 85 09 C3 A9 42"),
       "A...\xC3\xA9"
       "B",
       8},
      // Invalid UTF-8 is replaced, not dotted.
      {unhex("41 FF 42"),
       "A\xEF\xBF\xBD"
       "B",
       3},
      // The hex dump stops at 64 bytes; the text does not.
      {Bytes(100, 'z'), std::string(100, 'z'), 64},
  };
  for (const auto& c : cases) {
    Bytes frame(80, 0);
    frame[0] = 0x06;
    frame[1] = 0xD1;
    append_bytes(frame, c.tail);
    auto v = judge_registration_answer("ZPROG", frame);
    ASSERT_FALSE(v.ok());
    EXPECT_EQ(v.error().message(),
              "a " + std::to_string(c.tail.size()) +
                  "-byte answer that is neither an acceptance nor a refusal: " + c.shown + " / " +
                  hex_dump(c.tail, 0, c.dumped));
  }
}

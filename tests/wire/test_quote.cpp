// Quoted texts: the debug quoting of values and names, character literals
// and the quoting of traces, each over the characters at the edges of the
// sets they escape; the debug form of bytes.
#include <gtest/gtest.h>

#include <string>

#include "wire/abap_type.hpp"
#include "wire/quote.hpp"

using namespace quib::wire;

namespace {

struct TextCase {
  std::string text;
  std::string quoted;
};

TEST(DebugQuote, EscapesWhatCannotBeSeen) {
  const TextCase cases[] = {
      {"", R"("")"},
      {"RFC_PING", R"("RFC_PING")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"it's", R"("it's")"},  // the other quote mark stays
      {std::string("\n\r\t\0", 4), R"("\n\r\t\0")"},
      {"\x01\x1f", R"("\u{1}\u{1f}")"},
      {"~\x7f", R"("~\u{7f}")"},
      // The C1 controls end at U+009F; U+00A0 is shown as itself.
      {"\xc2\x80\xc2\x9f\xc2\xa0", "\"\\u{80}\\u{9f}\xc2\xa0\""},
      {"\xc2\xad", R"("\u{ad}")"},  // soft hyphen
      // Zero-width and direction characters between visible neighbours.
      {"\xe2\x80\x8a\xe2\x80\x8b", "\"\xe2\x80\x8a\\u{200b}\""},
      {"\xe2\x80\x8f\xe2\x80\x90", "\"\\u{200f}\xe2\x80\x90\""},
      {"\xe2\x80\xae", R"("\u{202e}")"},
      {"\xe2\x81\xa0\xe2\x81\xaf", R"("\u{2060}\u{206f}")"},
      {"\xef\xbb\xbfhi", R"("\u{feff}hi")"},
      {"\xd8\x9c", R"("\u{61c}")"},
      {"\xef\xb7\x90\xef\xbf\xbe", R"("\u{fdd0}\u{fffe}")"},  // noncharacters
      {"\xf4\x8f\xbf\xbf", R"("\u{10ffff}")"},
      {"\xf3\xa0\x81\x81", R"("\u{e0041}")"},  // a tag character
      {"Gr\xc3\xbc\xc3\x9f\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80",
       "\"Gr\xc3\xbc\xc3\x9f\xc3\xa9 \xe4\xb8\xad \xf0\x9f\x98\x80\""},
      // Bytes that are not UTF-8 read as U+FFFD.
      {"a\xff!", "\"a\xef\xbf\xbd!\""},
      {"\xc3", "\"\xef\xbf\xbd\""},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.quoted);
    EXPECT_EQ(debug_quote(c.text), c.quoted);
  }
}

TEST(TraceQuote, OnlyTheNewlineHasAShortEscape) {
  const TextCase cases[] = {
      {"RFC_PING", R"("RFC_PING")"},
      {"a\"b\\c\nd", R"("a\"b\\c\nd")"},
      {"a\tb", R"("a\u{9}b")"},
      {std::string("\r\0", 2), R"("\u{d}\u{0}")"},
      {"\xc2\x85\xc2\xa0", "\"\\u{85}\xc2\xa0\""},
      {"x\xe2\x80\x8by", R"("x\u{200b}y")"},
  };
  for (const TextCase& c : cases) {
    SCOPED_TRACE(c.quoted);
    EXPECT_EQ(trace_quote(c.text), c.quoted);
  }
}

TEST(CharLiteral, SingleQuotesAndOnlyControlsAsHex) {
  const std::pair<char32_t, std::string> cases[] = {
      {U'z', "'z'"},         {U'\'', R"('\'')"},
      {U'"', R"('"')"},      {U'\\', R"('\\')"},
      {U'\n', R"('\n')"},    {U'\t', R"('\t')"},
      {0, R"('\0')"},        {0x01, R"('\u{1}')"},
      {0x7F, R"('\u{7f}')"}, {0x9F, R"('\u{9f}')"},
      {0xE9, "'\xc3\xa9'"},  {0x200B, "'\xe2\x80\x8b'"},  // invisible, but not a control
  };
  for (const auto& [c, literal] : cases) {
    SCOPED_TRACE(literal);
    EXPECT_EQ(char_literal(c), literal);
  }
}

TEST(DebugBytes, DecimalValuesInBrackets) {
  const std::pair<Bytes, std::string> cases[] = {
      {{}, "[]"},
      {{7}, "[7]"},
      {{0, 200, 255}, "[0, 200, 255]"},
  };
  for (const auto& [bytes, debug] : cases) EXPECT_EQ(debug_bytes(bytes), debug);
}

TEST(AbapTypeForms, UnknownLetterIsACharacterLiteral) {
  const std::pair<char, std::string> cases[] = {
      {'X', "Unknown('X')"},
      {'\'', R"(Unknown('\''))"},
      {'\x01', R"(Unknown('\u{1}'))"},
      {'\xe9', "Unknown('\xc3\xa9')"},  // the letter is a byte: Latin-1
  };
  for (const auto& [letter, debug] : cases) {
    SCOPED_TRACE(debug);
    EXPECT_EQ(AbapType::unknown(letter).debug(), debug);
  }
}

}  // namespace

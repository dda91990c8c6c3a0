#include <gtest/gtest.h>

#include <sstream>

#include "tests/support/testutil.hpp"
#include "wire/types.hpp"
#include "wire/utclong.hpp"

using namespace quib::wire;

namespace {

constexpr std::uint64_t kDay = kTicksPerDay;

Bytes le64(std::uint64_t v) {
  Bytes b(8);
  store_le64(b.data(), v);
  return b;
}

TEST(Utclong, InitialValueAndFirstInstant) {
  EXPECT_EQ(utclong_text(0), "");
  EXPECT_EQ(*decode_utclong(Bytes(8)), "");
  EXPECT_EQ(*decode_utclong(le64(1)), "0001-01-01 00:00:00.0000000");
  EXPECT_EQ(parse_utclong_value(""), 0u);
  EXPECT_EQ(parse_utclong_value("   \t "), 0u);
  EXPECT_EQ(parse_utclong_text(""), Bytes(8));
  EXPECT_EQ(parse_utclong_value("0001-01-01 00:00:00"), 1u);
  // Only the first 8 bytes count; fewer are refused.
  Bytes longer = le64(1);
  longer.push_back(0xEE);
  EXPECT_EQ(*decode_utclong(longer), "0001-01-01 00:00:00.0000000");
  EXPECT_EQ(decode_utclong(Bytes(7)).error(), ValueError::undecodable(AbapType::Utclong, 7));
}

TEST(Utclong, CalendarSwitchIsOneTick) {
  auto last_julian = parse_utclong_value("1582-10-04 23:59:59.9999999");
  auto first_gregorian = parse_utclong_value("1582-10-15 00:00:00");
  ASSERT_TRUE(last_julian && first_gregorian);
  EXPECT_EQ(*first_gregorian - *last_julian, 1u);
  EXPECT_EQ(*first_gregorian, static_cast<std::uint64_t>(kFirstGregorianDay) * kDay + 1);
  EXPECT_EQ(utclong_text(*first_gregorian), "1582-10-15 00:00:00.0000000");
  EXPECT_EQ(utclong_text(*last_julian), "1582-10-04 23:59:59.9999999");
  for (int d = 5; d <= 14; ++d)
    EXPECT_FALSE(parse_utclong_value("1582-10-" + std::to_string(d) + " 12:00:00")) << d;
}

TEST(Utclong, JulianAnchors) {
  // Julian years have 365 days, every fourth 366: January 1st of year y is
  // day 365 (y - 1) + (y - 1) / 4.
  for (std::int64_t y : {1, 2, 4, 5, 100, 101, 400, 1000, 1001, 1500, 1582}) {
    const std::int64_t want = 365 * (y - 1) + (y - 1) / 4;
    EXPECT_EQ(day_number_from_civil(y, 1, 1), want) << y;
    EXPECT_EQ(civil_from_day_number(want), (CivilDate{y, 1, 1})) << y;
  }
  // Century years are leap years in the Julian calendar.
  for (const char* t : {"0004-02-29 00:00:00", "0100-02-29 00:00:00", "1300-02-29 00:00:00",
                        "1500-02-29 23:59:59"}) {
    auto v = parse_utclong_value(t);
    ASSERT_TRUE(v) << t;
    EXPECT_EQ(utclong_text(*v).substr(0, 19), t);
  }
  EXPECT_FALSE(parse_utclong_value("1501-02-29 00:00:00"));
  // Gregorian century rules from the switch on.
  EXPECT_FALSE(parse_utclong_value("1700-02-29 00:00:00"));
  EXPECT_FALSE(parse_utclong_value("1900-02-29 00:00:00"));
  EXPECT_TRUE(parse_utclong_value("1600-02-29 00:00:00"));
  EXPECT_TRUE(parse_utclong_value("2000-02-29 00:00:00"));
  EXPECT_EQ(civil_from_day_number(kFirstGregorianDay - 1), (CivilDate{1582, 10, 4}));
  EXPECT_EQ(civil_from_day_number(kFirstGregorianDay), (CivilDate{1582, 10, 15}));
}

// The next calendar day, from first principles: month lengths and the leap
// rule of the calendar in force, and the ten days dropped in October 1582.
CivilDate next_day(CivilDate d) {
  const bool gregorian =
      d.year > 1582 || (d.year == 1582 && (d.month > 10 || (d.month == 10 && d.day >= 15)));
  const bool leap =
      gregorian ? (d.year % 4 == 0 && (d.year % 100 != 0 || d.year % 400 == 0)) : d.year % 4 == 0;
  static const unsigned kLen[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  const unsigned len = d.month == 2 && leap ? 29 : kLen[d.month - 1];
  if (d.year == 1582 && d.month == 10 && d.day == 4) return {1582, 10, 15};
  if (d.day < len) return {d.year, d.month, d.day + 1};
  if (d.month < 12) return {d.year, d.month + 1, 1};
  return {d.year + 1, 1, 1};
}

TEST(Utclong, EveryDayFollowsTheCalendar) {
  // Every day number from 0001-01-01 to 9999-12-31 converts to the day after
  // the previous one and back to its own number.
  CivilDate expect{1, 1, 1};
  const std::int64_t last = day_number_from_civil(9999, 12, 31);
  for (std::int64_t d = 0; d <= last; ++d) {
    const CivilDate got = civil_from_day_number(d);
    ASSERT_EQ(got, expect) << d;
    ASSERT_EQ(day_number_from_civil(got.year, got.month, got.day), d);
    expect = next_day(expect);
  }
  EXPECT_EQ(expect, (CivilDate{10000, 1, 1}));
}

TEST(Utclong, AgreesWithPythonDatetime) {
  std::istringstream in(
      quib::test::run_python("tests/wire/oracles/utclong_datetime.py 86400 20000"));
  std::string line;
  int n = 0;
  while (std::getline(in, line)) {
    const auto t1 = line.find('\t'), t2 = line.find('\t', t1 + 1);
    ASSERT_NE(t2, std::string::npos);
    const std::uint64_t value = std::stoull(line.substr(0, t1));
    const std::string canonical = line.substr(t1 + 1, t2 - t1 - 1), variant = line.substr(t2 + 1);
    SCOPED_TRACE(line);
    EXPECT_EQ(utclong_text(value), canonical);
    EXPECT_EQ(parse_utclong_value(canonical), value);
    EXPECT_EQ(parse_utclong_value(variant), value);
    ++n;
  }
  EXPECT_EQ(n, 20000);
}

TEST(Utclong, AcceptedTexts) {
  struct Case {
    const char* in;
    const char* back;
  } cases[] = {
      {"2024-02-29T12:00:00", "2024-02-29 12:00:00.0000000"},
      {"2024-1-5 7:8:9", "2024-01-05 07:08:09.0000000"},
      {"2024-01-05   07:08:09.5", "2024-01-05 07:08:09.5000000"},
      {"2024-01-05T 07:08:09.1234567", "2024-01-05 07:08:09.1234567"},
      // Any white space after the separator is skipped, a no-break space too.
      {"2024-01-05 \xC2\xA0\t07:08:09", "2024-01-05 07:08:09.0000000"},
      {" +2024-+01-005 23:59:59.0000001 ", "2024-01-05 23:59:59.0000001"},
      {"9999-12-31 23:59:59.9999999", "9999-12-31 23:59:59.9999999"},
      {"0001-01-01 00:00:00.0000001", "0001-01-01 00:00:00.0000001"},
  };
  for (const auto& c : cases) {
    auto v = parse_utclong_value(c.in);
    ASSERT_TRUE(v) << c.in;
    EXPECT_EQ(utclong_text(*v), c.back) << c.in;
  }
  EXPECT_EQ(
      *parse_utclong_value("2024-01-05 00:00:00.5") - *parse_utclong_value("2024-01-05 00:00:00"),
      5000000u);
}

TEST(Utclong, RefusedTexts) {
  for (const char* t : {"2023-02-29 12:00:00",
                        "2024-13-01 00:00:00",
                        "2024-00-01 00:00:00",
                        "2024-01-00 00:00:00",
                        "2024-04-31 00:00:00",
                        "0000-01-01 00:00:00",
                        "10000-01-01 00:00:00",
                        "2024-01-01 24:00:00",
                        "2024-01-01 00:60:00",
                        "2024-01-01 00:00:60",
                        "2024-01-01 00:00:00.12345678",
                        "2024-01-01 00:00:00.",
                        "2024-01-01 00:00:00.1a",
                        "2024-01-01",
                        "2024-01-01T",
                        "2024-01-01 00:00",
                        "2024-01-01 00:00:00:00",
                        "2024-01 00:00:00",
                        "2024-01-01-01 00:00:00",
                        "2024-01-01 00:00:00Z",
                        "2024/01/01 00:00:00",
                        "2024--01 00:00:00",
                        "2024-01-01 -1:00:00",
                        "x",
                        "2024-01-01t00:00:00",
                        "2024-01-01 00:00:00 .5",
                        "99999999999999999999-01-01 00:00:00",
                        "2024-01-01 00:00:00.-1"}) {
    EXPECT_FALSE(parse_utclong_value(t)) << t;
  }
  EXPECT_EQ(encode_field_value(RfcValue::text("2023-02-29 12:00:00"), AbapType::Utclong, 8, 0)
                .error()
                .message(),
            "cannot encode a text that is not YYYY-MM-DD HH:MM:SS.fffffff value as ABAP Utclong");
}

TEST(Utclong, LargestValueHasAFiveDigitYear) {
  const std::string t = utclong_text(~std::uint64_t{0});
  EXPECT_EQ(t, "58456-05-26 05:36:10.9551614");
  EXPECT_FALSE(parse_utclong_value(t));
}

TEST(Utclong, FieldRoundTrip) {
  for (const char* t : {"1582-10-04 23:59:59.9999999", "2024-06-30 12:34:56.7890123"}) {
    auto enc = encode_field_value(RfcValue::text(t), AbapType::Utclong, 8, 0);
    ASSERT_TRUE(enc.ok());
    EXPECT_EQ(decode_field_value(*enc, AbapType::Utclong)->as_text(), t);
  }
}

}  // namespace

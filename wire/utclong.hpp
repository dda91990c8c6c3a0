// UTCLONG timestamps: a point in time with 100 ns resolution. On the wire an
// unsigned 64-bit little-endian integer: 0 is the initial value (no time
// stamp), any other value v is v - 1 ticks since 0001-01-01 00:00:00, counted
// in the Julian calendar up to 1582-10-04 and in the Gregorian calendar from
// 1582-10-15 on. Towards callers it is the text YYYY-MM-DD HH:MM:SS.fffffff.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/value_error.hpp"

namespace quib::wire {

inline constexpr std::uint64_t kTicksPerSecond = 10000000;
inline constexpr std::uint64_t kTicksPerDay = 86400 * kTicksPerSecond;
// Day 0 is 0001-01-01 (Julian); this day number is 1582-10-15, the first
// Gregorian date.
inline constexpr std::int64_t kFirstGregorianDay = 577737;
inline constexpr std::int64_t kJulianDayOfDayZero = 1721424;

struct CivilDate {
  std::int64_t year;
  unsigned month;
  unsigned day;
  friend bool operator==(const CivilDate&, const CivilDate&) = default;
};

// The calendar date of a day number (Julian below kFirstGregorianDay).
CivilDate civil_from_day_number(std::int64_t day);
// The day number of a date (Julian before 1582-10-15). No validity check.
std::int64_t day_number_from_civil(std::int64_t year, unsigned month, unsigned day);

// The text of a wire value: "" for 0, else "{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:07}".
std::string utclong_text(std::uint64_t value);
// The text of the first 8 bytes; fewer fail with Undecodable (Utclong).
ValueResult<std::string> decode_utclong(ByteView bytes);

// The wire value of a text; none when the text is not a valid timestamp.
// White space around it is ignored and an empty text is 0. Date and time are
// separated by T or spaces; fields need not be zero-filled; the fraction has
// 1 to 7 digits; the date must exist in its calendar.
std::optional<std::uint64_t> parse_utclong_value(std::string_view text);
// The same as 8 little-endian bytes.
std::optional<Bytes> parse_utclong_text(std::string_view text);

}  // namespace quib::wire

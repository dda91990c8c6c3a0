#include "wire/utclong.hpp"

#include <fmt/format.h>

#include "wire/ascii.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

// Day numbers relative to the Julian day number, and the year base of the
// month/day arithmetic (years counted from -4800 keep every intermediate
// value positive).
constexpr std::int64_t kJulianOffset = 1753506;
constexpr std::int64_t kGregorianOffset = 1753468;
constexpr std::int64_t kYearBase = -4800;

// A field of the date or clock: an optional + and one or more digits; the
// value saturates above any valid range so overflow cannot wrap.
std::optional<std::int64_t> parse_number(std::string_view s) {
  if (!s.empty() && s[0] == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  std::int64_t v = 0;
  for (char c : s) {
    if (!is_digit(c)) return std::nullopt;
    if (v < 1000000) v = v * 10 + (c - '0');
  }
  return v;
}

// Splits `s` at every `sep` into exactly three numbers.
bool parse_three(std::string_view s, char sep, std::int64_t out[3]) {
  for (int i = 0; i < 3; ++i) {
    std::size_t at = i < 2 ? s.find(sep) : s.size();
    if (at == std::string_view::npos) return false;
    auto v = parse_number(s.substr(0, at));
    if (!v) return false;
    out[i] = *v;
    s = i < 2 ? s.substr(at + 1) : std::string_view{};
  }
  return true;
}

}  // namespace

CivilDate civil_from_day_number(std::int64_t day) {
  std::int64_t c, base;
  if (day < kFirstGregorianDay) {
    c = day + kJulianOffset;
    base = kYearBase;
  } else {
    const std::int64_t b = (4 * day + 7013875) / 146097;
    c = day + kGregorianOffset - (146097 * b) / 4;
    base = 100 * b + kYearBase;
  }
  const std::int64_t d = (4 * c + 3) / 1461;
  c -= (1461 * d) / 4;
  const std::int64_t m = (5 * c + 2) / 153;
  CivilDate out;
  out.day = static_cast<unsigned>(c - (153 * m + 2) / 5 + 1);
  out.month = static_cast<unsigned>(m + 3 - 12 * (m / 10));
  out.year = base + d + m / 10;
  return out;
}

std::int64_t day_number_from_civil(std::int64_t year, unsigned month, unsigned day) {
  const std::int64_t a = (14 - static_cast<std::int64_t>(month)) / 12;
  const std::int64_t y = year + 4800 - a;
  const std::int64_t m = static_cast<std::int64_t>(month) + 12 * a - 3;
  const bool julian = year < 1582 || (year == 1582 && (month < 10 || (month == 10 && day < 15)));
  std::int64_t j = static_cast<std::int64_t>(day) + (153 * m + 2) / 5 + 365 * y + y / 4;
  j += julian ? -32083 : (-y / 100 + y / 400 - 32045);
  return j - kJulianDayOfDayZero;
}

std::string utclong_text(std::uint64_t value) {
  if (value == 0) return {};
  const std::uint64_t t = value - 1;
  const auto day = static_cast<std::int64_t>(t / kTicksPerDay);
  const std::uint64_t r = t % kTicksPerDay;
  const CivilDate date = civil_from_day_number(day);
  return fmt::format("{:04}-{:02}-{:02} {:02}:{:02}:{:02}.{:07}", date.year, date.month, date.day,
                     r / (3600 * kTicksPerSecond), (r / (60 * kTicksPerSecond)) % 60,
                     (r / kTicksPerSecond) % 60, r % kTicksPerSecond);
}

ValueResult<std::string> decode_utclong(ByteView bytes) {
  if (bytes.size() < 8) return err(ValueError::undecodable(AbapType::Utclong, bytes.size()));
  return utclong_text(load_le64(bytes.data()));
}

std::optional<std::uint64_t> parse_utclong_value(std::string_view text) {
  const std::string_view t = trim_unicode(text);
  if (t.empty()) return 0;
  const std::size_t sep = t.find_first_of("T ");
  if (sep == std::string_view::npos) return std::nullopt;
  const std::string_view date_part = t.substr(0, sep);
  // White space after the separator is skipped (T, one space or several may
  // separate the parts); the text's end is trimmed already, so trimming the
  // time part only removes its leading white space.
  const std::string_view time_part = trim_unicode(t.substr(sep + 1));

  std::int64_t ymd[3], hms[3];
  if (!parse_three(date_part, '-', ymd)) return std::nullopt;
  std::string_view clock = time_part, fraction;
  bool has_point = false;
  if (auto dot = time_part.find('.'); dot != std::string_view::npos) {
    clock = time_part.substr(0, dot);
    fraction = time_part.substr(dot + 1);
    has_point = true;
  }
  if (!parse_three(clock, ':', hms)) return std::nullopt;
  std::uint64_t frac_ticks = 0;
  if (has_point) {
    if (fraction.empty() || fraction.size() > 7) return std::nullopt;
    for (char c : fraction) {
      if (!is_digit(c)) return std::nullopt;
      frac_ticks = frac_ticks * 10 + static_cast<std::uint64_t>(c - '0');
    }
    for (std::size_t i = fraction.size(); i < 7; ++i) frac_ticks *= 10;
  }
  const std::int64_t year = ymd[0], month = ymd[1], day = ymd[2];
  if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1 || day > 31)
    return std::nullopt;
  if (hms[0] > 23 || hms[1] > 59 || hms[2] > 59) return std::nullopt;
  const std::int64_t d =
      day_number_from_civil(year, static_cast<unsigned>(month), static_cast<unsigned>(day));
  if (civil_from_day_number(d) !=
      CivilDate{year, static_cast<unsigned>(month), static_cast<unsigned>(day)})
    return std::nullopt;
  const auto seconds = static_cast<std::uint64_t>(hms[0] * 3600 + hms[1] * 60 + hms[2]);
  return static_cast<std::uint64_t>(d) * kTicksPerDay + seconds * kTicksPerSecond + frac_ticks + 1;
}

std::optional<Bytes> parse_utclong_text(std::string_view text) {
  auto v = parse_utclong_value(text);
  if (!v) return std::nullopt;
  Bytes out(8);
  store_le64(out.data(), *v);
  return out;
}

}  // namespace quib::wire

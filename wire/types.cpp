#include "wire/types.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <limits>

#include "wire/ascii.hpp"
#include "wire/decfloat.hpp"
#include "wire/quote.hpp"
#include "wire/utclong.hpp"

namespace quib::wire {

namespace {

std::string_view strip_leading_zeros(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && s[i] == '0') ++i;
  return s.substr(i);
}

// Latin-1: byte n is U+00nn.
std::string latin1_to_utf8(ByteView bytes) {
  std::string out;
  out.reserve(bytes.size());
  for (std::uint8_t b : bytes) append_utf8(out, b);
  return out;
}

// String fields: lossy UTF-8 without trailing NUL characters.
std::string decode_string_field(ByteView bytes) {
  std::size_t n = bytes.size();
  while (n > 0 && bytes[n - 1] == 0) --n;
  return utf8_lossy(bytes.first(n));
}

ValueResult<std::int64_t> load_int(ByteView bytes, AbapType ty, std::size_t n) {
  if (bytes.size() < n) return err(ValueError::undecodable(ty, bytes.size()));
  const std::uint8_t* p = bytes.data();
  switch (n) {
    case 2:
      return static_cast<std::int64_t>(static_cast<std::int16_t>(load_le16(p)));
    case 4:
      return static_cast<std::int64_t>(static_cast<std::int32_t>(load_le32(p)));
    default:
      return static_cast<std::int64_t>(load_le64(p));
  }
}

ValueResult<RfcValue> decode_common(ByteView bytes, AbapType ty, std::uint32_t decimals,
                                    bool latin1) {
  switch (ty.kind) {
    case AbapType::Char:
    case AbapType::Numc:
    case AbapType::Date:
    case AbapType::Time:
      return RfcValue::text(latin1 ? latin1_to_utf8(bytes) : decode_utf16le(bytes));
    case AbapType::Bcd: {
      QUIB_TRY(std::string t, unpack_bcd(bytes, decimals));
      return RfcValue::text(std::move(t));
    }
    case AbapType::Float: {
      if (bytes.size() < 8) return err(ValueError::undecodable(ty, bytes.size()));
      std::uint64_t bits = load_le64(bytes.data());
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return RfcValue::floating(d);
    }
    case AbapType::Int1:
      if (bytes.empty()) return err(ValueError::undecodable(ty, 0));
      return RfcValue::integer(bytes[0]);
    case AbapType::Int2: {
      QUIB_TRY(std::int64_t v, load_int(bytes, ty, 2));
      return RfcValue::integer(v);
    }
    case AbapType::Int4: {
      QUIB_TRY(std::int64_t v, load_int(bytes, ty, 4));
      return RfcValue::integer(v);
    }
    case AbapType::Int8: {
      QUIB_TRY(std::int64_t v, load_int(bytes, ty, 8));
      return RfcValue::integer(v);
    }
    case AbapType::String:
      return RfcValue::text(decode_string_field(bytes));
    case AbapType::DecFloat16: {
      QUIB_TRY(std::string t,
               decode_decfloat16(bytes.first(std::min(bytes.size(), kDecFloat16Bytes))));
      return RfcValue::text(std::move(t));
    }
    case AbapType::DecFloat34: {
      QUIB_TRY(std::string t,
               decode_decfloat34(bytes.first(std::min(bytes.size(), kDecFloat34Bytes))));
      return RfcValue::text(std::move(t));
    }
    case AbapType::Utclong: {
      QUIB_TRY(std::string t, decode_utclong(bytes));
      return RfcValue::text(std::move(t));
    }
    case AbapType::Byte:
    case AbapType::XString:
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
      return RfcValue::bytes(Bytes(bytes.begin(), bytes.end()));
    case AbapType::Unknown:
      break;
  }
  return err(ValueError::undecodable(ty, bytes.size()));
}

// --- encoding helpers

// A text field: filled with spaces on the right to width / 2 code units (never
// cut), as UTF-16LE.
Bytes encode_text_kind(std::string_view text, std::uint32_t width) {
  std::size_t target = std::min<std::size_t>(width / 2, kMaxTextFill);
  Bytes out;
  out.reserve(std::max(text.size(), target) * 2);
  append_utf16le(out, text);
  const std::size_t have = out.size();
  if (have / 2 < target) {
    out.resize(target * 2, 0);
    for (std::size_t i = have / 2 * 2; i < out.size(); i += 2) out[i] = 0x20;
  }
  return out;
}

Bytes utf8_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

ValueError field_too_large(std::uint64_t width) {
  return ValueError::unrepresentable(fmt::format("a field of {} bytes", width));
}

ValueResult<Bytes> zero_fill(const Bytes& b, AbapType ty, std::uint32_t width) {
  if (b.size() > width) return err(ValueError::too_wide(b.size(), ty, width));
  if (b.size() < width && width > kMaxFieldFill) return err(field_too_large(width));
  Bytes out = b;
  out.resize(width, 0);
  return out;
}

// n little-endian bytes of v (sized first: appending to an empty vector trips
// a false stringop-overflow warning of g++ 12 at -O3).
Bytes le_bytes(std::uint64_t v, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>(v >> (8 * i));
  return out;
}

ValueResult<Bytes> int_with_range(std::int64_t v, AbapType ty) {
  switch (ty.kind) {
    case AbapType::Int1:
      if (v < 0 || v > 255) return err(ValueError::out_of_range(ty, v));
      return le_bytes(static_cast<std::uint64_t>(v), 1);
    case AbapType::Int2:
      if (v < std::numeric_limits<std::int16_t>::min() ||
          v > std::numeric_limits<std::int16_t>::max())
        return err(ValueError::out_of_range(ty, v));
      return le_bytes(static_cast<std::uint64_t>(v), 2);
    case AbapType::Int4:
      if (v < std::numeric_limits<std::int32_t>::min() ||
          v > std::numeric_limits<std::int32_t>::max())
        return err(ValueError::out_of_range(ty, v));
      return le_bytes(static_cast<std::uint64_t>(v), 4);
    default:
      return le_bytes(static_cast<std::uint64_t>(v), 8);
  }
}

Bytes float_bytes(double d) {
  std::uint64_t bits;
  std::memcpy(&bits, &d, sizeof bits);
  return le_bytes(bits, 8);
}

ValueResult<Bytes> encode_decfloat(std::string_view text, AbapType ty) {
  return ty.kind == AbapType::DecFloat16 ? encode_decfloat16(text) : encode_decfloat34(text);
}

// The kinds for which an undecoded value is not simply passed on: the byte
// kinds refuse it, the structured kinds check it against their width.
bool takes_undecoded_as_binary(AbapType ty) {
  switch (ty.kind) {
    case AbapType::Byte:
    case AbapType::XString:
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
      return true;
    default:
      return false;
  }
}

// The number text of an Int or Float value (decimal or shortest).
std::string number_text(const RfcValue& v) {
  return v.is_int() ? std::to_string(v.as_int()) : float_shortest_text(v.as_float());
}

}  // namespace

std::string RfcValue::debug() const {
  switch (kind()) {
    case Kind::Text:
      return "Text(" + debug_quote(as_text()) + ")";
    case Kind::Int:
      return fmt::format("Int({})", as_int());
    case Kind::Float: {
      std::string t = float_shortest_text(as_float());
      if (std::isfinite(as_float()) && t.find('.') == std::string::npos) t += ".0";
      return "Float(" + t + ")";
    }
    case Kind::Bytes:
      return "Bytes(" + debug_bytes(as_bytes()) + ")";
    case Kind::Undecoded:
      return fmt::format("Undecoded {{ ty: {}, bytes: {} }}", as_undecoded().ty.debug(),
                         debug_bytes(as_undecoded().bytes));
  }
  return {};
}

RfcValue text_value(std::string_view text) { return RfcValue::text(std::string(text)); }

// ---------------------------------------------------------------------------
// The codec

ValueResult<RfcValue> decode_field_value(ByteView bytes, AbapType ty) {
  return decode_common(bytes, ty, 0, false);
}

ValueResult<RfcValue> decode_field_with_decimals(ByteView bytes, AbapType ty,
                                                 std::uint32_t decimals) {
  return decode_common(bytes, ty, decimals, false);
}

ValueResult<RfcValue> decode_field_value_latin1(ByteView bytes, AbapType ty) {
  return decode_common(bytes, ty, 0, true);
}

ValueResult<Bytes> encode_field_value(const RfcValue& value, AbapType ty, std::uint32_t width,
                                      std::uint32_t decimals) {
  using K = RfcValue::Kind;
  const K vk = value.kind();
  // An undecoded value is the raw image of its field: it passes unchanged,
  // except for the binary kinds, which refuse it (Byte, XString) or hold it
  // to their width (the structured kinds).
  if (vk == K::Undecoded && !takes_undecoded_as_binary(ty)) return value.as_undecoded().bytes;
  switch (ty.kind) {
    case AbapType::Bcd:
      switch (vk) {
        case K::Text:
          return pack_bcd(value.as_text(), width, decimals);
        case K::Int:
        case K::Float:
          return pack_bcd(number_text(value), width, decimals);
        default:
          return value.as_bytes();
      }
    case AbapType::Char:
    case AbapType::Numc:
    case AbapType::Date:
    case AbapType::Time:
    case AbapType::Unknown: {
      const std::uint32_t w = ty.kind == AbapType::Unknown ? 0 : width;
      switch (vk) {
        case K::Text:
          return encode_text_kind(value.as_text(), w);
        case K::Int:
        case K::Float:
          return encode_text_kind(number_text(value), w);
        default:
          return err(ValueError::unencodable(ty, kDescBytes));
      }
    }
    case AbapType::Float:
      switch (vk) {
        case K::Text: {
          auto d = parse_double_text(value.as_text());
          if (!d) return err(ValueError::unencodable(ty, kDescNonNumericText));
          return float_bytes(*d);
        }
        case K::Int:
          return float_bytes(static_cast<double>(value.as_int()));
        case K::Float:
          return float_bytes(value.as_float());
        default:
          return err(ValueError::unencodable(ty, kDescBytes));
      }
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8:
      switch (vk) {
        case K::Text: {
          auto v = parse_int64_text(value.as_text());
          if (!v) return err(ValueError::unencodable(ty, kDescNonNumericText));
          return int_with_range(*v, ty);
        }
        case K::Int:
          return int_with_range(value.as_int(), ty);
        case K::Float:
          return err(ValueError::unencodable(ty, kDescFloat));
        default:
          return err(ValueError::unencodable(ty, kDescBytes));
      }
    case AbapType::Byte:
    case AbapType::XString:
      switch (vk) {
        case K::Text:
          return utf8_bytes(value.as_text());
        case K::Bytes:
          if (ty.kind == AbapType::XString) return value.as_bytes();
          return zero_fill(value.as_bytes(), ty, width);
        default:
          return err(ValueError::unencodable(ty, kDescNonBinary));
      }
    case AbapType::String:
      switch (vk) {
        case K::Text:
          return utf8_bytes(value.as_text());
        case K::Int:
        case K::Float:
          return utf8_bytes(number_text(value));
        default:
          return err(ValueError::unencodable(ty, kDescBytes));
      }
    case AbapType::DecFloat16:
    case AbapType::DecFloat34:
      switch (vk) {
        case K::Text:
          return encode_decfloat(value.as_text(), ty);
        case K::Int:
          return encode_decfloat(std::to_string(value.as_int()), ty);
        case K::Float:
          return err(ValueError::unencodable(ty, kDescBinaryFloat));
        default:
          return value.as_bytes();
      }
    case AbapType::Utclong:
      switch (vk) {
        case K::Text: {
          auto b = parse_utclong_text(value.as_text());
          if (!b) return err(ValueError::unencodable(ty, kDescNotUtclongText));
          return std::move(*b);
        }
        case K::Int:
          return le_bytes(static_cast<std::uint64_t>(value.as_int()), 8);
        case K::Float:
          return err(ValueError::unencodable(ty, kDescFloat));
        default:
          return value.as_bytes();
      }
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
      switch (vk) {
        case K::Bytes:
          if (width == 0) return value.as_bytes();
          return zero_fill(value.as_bytes(), ty, width);
        case K::Undecoded: {
          const Bytes& b = value.as_undecoded().bytes;
          if (width != 0 && b.size() > width) return err(ValueError::too_wide(b.size(), ty, width));
          return b;
        }
        default:
          return err(ValueError::unencodable(ty, kDescNonBinary));
      }
  }
  return err(ValueError::unencodable(ty, kDescNonBinary));
}

// ---------------------------------------------------------------------------
// Values a caller gives

namespace {

constexpr std::string_view kHexDigits = "0123456789abcdef";

bool all_blank(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == ' '; });
}

// The text of a Text, Int or Float value; nothing for the others.
std::optional<std::string> text_of_value(const RfcValue& v) {
  if (v.is_text()) return v.as_text();
  if (v.is_int() || v.is_float()) return number_text(v);
  return std::nullopt;
}

// A date or time of `digits` digits, or blank for the initial value.
ValueResult<std::string> date_or_time_text(std::string text, AbapType ty, std::size_t digits,
                                           std::string_view forms) {
  if (all_blank(text)) return std::string(digits, '0');
  if (text.size() != digits || !all_digits(text)) return err(ValueError::malformed(ty, forms));
  return text;
}

}  // namespace

ValueResult<std::string> given_text(const RfcValue& value, AbapType ty, std::uint32_t width) {
  auto text = text_of_value(value);
  if (!text) return err(ValueError::unencodable(ty, kDescBytes));
  switch (ty.kind) {
    case AbapType::Numc:
      if (!all_digits(*text)) return err(ValueError::malformed(ty, kFormsNumc));
      break;
    case AbapType::Date: {
      QUIB_TRY(*text, date_or_time_text(std::move(*text), ty, 8, kFormsDate));
      break;
    }
    case AbapType::Time: {
      QUIB_TRY(*text, date_or_time_text(std::move(*text), ty, 6, kFormsTime));
      break;
    }
    default:
      break;
  }
  const std::size_t capacity = width / 2;
  if (width != 0) {
    const std::size_t units = utf16_length(*text);
    if (units > capacity) return err(ValueError::too_long(ty, units, capacity));
    // Numc digits are ASCII, one code unit each; filled as far as text
    // fields are filled at all.
    const std::size_t fill_to = std::min(capacity, kMaxTextFill);
    if (ty.kind == AbapType::Numc && units < fill_to) text->insert(0, fill_to - units, '0');
  }
  return std::move(*text);
}

ValueResult<Bytes> encode_given_value(const RfcValue& value, AbapType ty, std::uint32_t width,
                                      std::uint32_t decimals) {
  if (!ty.is_text_kind() || value.is_undecoded())
    return encode_field_value(value, ty, width, decimals);
  QUIB_TRY(std::string text, given_text(value, ty, width));
  return encode_text_kind(text, width);
}

std::string shown_text(std::string_view text) {
  std::size_t pos = 0, characters = 0, cut = 0;
  while (pos < text.size()) {
    (void)next_utf8(text, pos);
    if (++characters == kShownCharacters) cut = pos;
  }
  if (characters <= kShownCharacters) return debug_quote(text);
  return fmt::format("{}... ({} characters)", debug_quote(text.substr(0, cut)), characters);
}

std::string shown_value(const RfcValue& value) {
  switch (value.kind()) {
    case RfcValue::Kind::Text:
      return shown_text(value.as_text());
    case RfcValue::Kind::Int:
      return std::to_string(value.as_int());
    case RfcValue::Kind::Float:
      return float_shortest_text(value.as_float());
    case RfcValue::Kind::Bytes: {
      const Bytes& b = value.as_bytes();
      const std::size_t n = std::min(b.size(), kShownCharacters / 2);
      std::string hex = "0x";
      for (std::size_t i = 0; i < n; ++i) {
        hex.push_back(kHexDigits[b[i] >> 4]);
        hex.push_back(kHexDigits[b[i] & 0x0F]);
      }
      if (n < b.size()) hex += fmt::format("... ({} bytes)", b.size());
      return hex;
    }
    case RfcValue::Kind::Undecoded:
      return fmt::format("<undecoded {}, {} bytes>", value.as_undecoded().ty.display(),
                         value.as_undecoded().bytes.size());
  }
  return {};
}

ValueError refused_at(ValueError error, std::string place, const RfcValue& value) {
  error.at(std::move(place), shown_value(value));
  return error;
}

std::string decode_text_field(ByteView bytes) {
  if (!bytes.empty() && bytes.size() % 2 == 0) {
    bool odd_zero = false;
    for (std::size_t i = 1; i < bytes.size(); i += 2) {
      if (bytes[i] == 0) {
        odd_zero = true;
        break;
      }
    }
    if (odd_zero && is_valid_utf16le(bytes)) return decode_utf16le(bytes);
  }
  return utf8_lossy(bytes);
}

// Digits filled on the left to decimals + 1 and a point before the last
// `decimals` of them (none with 0 decimals), "-" in front when negative,
// written to `out`, which holds digits.size() + decimals + 3 characters.
static std::size_t write_point(std::string_view digits, std::uint32_t decimals, bool negative,
                               char* out) {
  char* o = out;
  if (negative) *o++ = '-';
  if (decimals == 0) {
    o = std::copy(digits.begin(), digits.end(), o);
  } else if (digits.size() <= decimals) {
    *o++ = '0';
    *o++ = '.';
    o = std::fill_n(o, decimals - digits.size(), '0');
    o = std::copy(digits.begin(), digits.end(), o);
  } else {
    const std::size_t whole = digits.size() - decimals;
    o = std::copy_n(digits.begin(), whole, o);
    *o++ = '.';
    o = std::copy(digits.begin() + static_cast<std::ptrdiff_t>(whole), digits.end(), o);
  }
  return static_cast<std::size_t>(o - out);
}

std::string insert_decimal_point(std::string_view text, std::uint32_t decimals) {
  if (decimals == 0 || decimals > kMaxDecimals || text.find('.') != std::string_view::npos)
    return std::string(text);
  bool negative = !text.empty() && text[0] == '-';
  std::string_view digits = negative ? text.substr(1) : text;
  if (!all_digits(digits)) return std::string(text);
  std::string out(digits.size() + decimals + 3, '\0');
  out.resize(write_point(digits, decimals, negative, out.data()));
  return out;
}

std::optional<std::size_t> unpack_bcd_into(ByteView bytes, std::uint32_t decimals, char* digits,
                                           char* out) {
  // All 2n - 1 digit nibbles first, then the leading zeros are skipped.
  const std::size_t n = bytes.size(), count = 2 * n - 1;
  for (std::size_t i = 0; i < n; ++i) {
    const unsigned hi = bytes[i] >> 4, lo = bytes[i] & 0x0F;
    if (hi > 9 || (lo > 9 && i + 1 < n)) return std::nullopt;
    digits[2 * i] = static_cast<char>('0' + hi);
    if (i + 1 < n) digits[2 * i + 1] = static_cast<char>('0' + lo);
  }
  const bool negative = (bytes[n - 1] & 0x0F) == 0x0D;
  std::size_t first = 0;
  while (first + 1 < count && digits[first] == '0') ++first;
  return write_point(std::string_view(digits + first, count - first), decimals, negative, out);
}

ValueResult<std::string> unpack_bcd(ByteView bytes, std::uint32_t decimals) {
  if (bytes.empty()) return err(ValueError::undecodable(AbapType::Bcd, 0));
  if (decimals > kMaxDecimals)
    return err(ValueError::unrepresentable(fmt::format("{} decimal places", decimals)));
  const std::size_t n = bytes.size();
  char small[64];
  std::string large;
  char* digits = small;
  if (2 * n - 1 > sizeof small) {
    large.resize(2 * n - 1);
    digits = large.data();
  }
  std::string out(packed_text_size(n, decimals), '\0');
  const auto length = unpack_bcd_into(bytes, decimals, digits, out.data());
  if (!length) return err(ValueError::undecodable(AbapType::Bcd, n));
  out.resize(*length);
  return out;
}

ValueResult<Bytes> pack_bcd(std::string_view text, std::uint32_t width, std::uint32_t decimals) {
  if (width == 0) return err(ValueError::decimal_width(1, 0));
  // The result has exactly `width` bytes, and the width comes from the
  // partner's dictionary: a huge one is refused rather than allocated.
  if (width > kMaxFieldFill) return err(field_too_large(width));
  if (decimals > kMaxDecimals)
    return err(ValueError::unrepresentable(fmt::format("{} decimal places", decimals)));
  std::string_view t = trim_unicode(text);
  std::uint8_t sign = 0x0C;
  if (!t.empty() && t[0] == '+') {
    t.remove_prefix(1);
  } else if (!t.empty() && t[0] == '-') {
    t.remove_prefix(1);
    sign = 0x0D;
  }
  std::string_view int_part = t, frac = {};
  if (auto dot = t.find('.'); dot != std::string_view::npos) {
    int_part = t.substr(0, dot);
    frac = t.substr(dot + 1);
  }
  if (!all_digits(int_part) || !all_digits(frac)) return err(ValueError::not_a_number());
  if (frac.size() > decimals) {
    if (frac.substr(decimals).find_first_not_of('0') != std::string_view::npos)
      return err(ValueError::unrepresentable(kReasonTooManyDecimals));
    frac = frac.substr(0, decimals);
  }
  std::string digits(strip_leading_zeros(int_part));
  digits.append(frac);
  digits.append(decimals - frac.size(), '0');
  std::string_view d = strip_leading_zeros(digits);
  const std::uint64_t capacity = 2 * std::uint64_t{width} - 1;
  if (d.size() > capacity) return err(ValueError::too_wide(d.size(), AbapType::Bcd, capacity));
  // Nibbles: capacity digits (zero-filled on the left) then the sign.
  Bytes out(width, 0);
  const std::size_t lead = capacity - d.size();
  auto nibble_at = [&](std::size_t i) -> std::uint8_t {
    if (i < lead) return 0;
    if (i < capacity) return static_cast<std::uint8_t>(d[i - lead] - '0');
    return sign;
  };
  for (std::size_t b = 0; b < width; ++b)
    out[b] = static_cast<std::uint8_t>((nibble_at(2 * b) << 4) | nibble_at(2 * b + 1));
  return out;
}

// ---------------------------------------------------------------------------
// Texts of numbers

std::string float_shortest_text(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
  // The shortest round-trip digits in scientific form, "-d.ddde+XX", laid
  // out positionally here (fixed notation of to_chars is not shortest on
  // every standard library).
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string_view s(buf, static_cast<std::size_t>(res.ptr - buf));
  std::string out;
  if (!s.empty() && s[0] == '-') {
    out.push_back('-');
    s.remove_prefix(1);
  }
  const std::size_t e = s.find('e');
  std::string digits;
  for (char c : s.substr(0, e))
    if (c != '.') digits.push_back(c);
  int exp = 0;
  std::string_view et = s.substr(e + 1);
  if (!et.empty() && et[0] == '+') et.remove_prefix(1);
  std::from_chars(et.data(), et.data() + et.size(), exp);
  // The number of digits before the point.
  const long point = static_cast<long>(exp) + 1;
  const long n = static_cast<long>(digits.size());
  if (point <= 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-point), '0');
    out += digits;
  } else if (point >= n) {
    out += digits;
    out.append(static_cast<std::size_t>(point - n), '0');
  } else {
    out.append(digits, 0, static_cast<std::size_t>(point));
    out.push_back('.');
    out.append(digits, static_cast<std::size_t>(point));
  }
  return out;
}

std::optional<double> parse_double_text(std::string_view text) {
  std::string_view t = trim_unicode(text);
  bool negative = false;
  std::string_view body = t;
  if (!body.empty() && (body[0] == '+' || body[0] == '-')) {
    negative = body[0] == '-';
    body.remove_prefix(1);
  }
  if (ascii_iequals(body, "inf") || ascii_iequals(body, "infinity"))
    return negative ? -std::numeric_limits<double>::infinity()
                    : std::numeric_limits<double>::infinity();
  if (ascii_iequals(body, "nan"))
    return std::copysign(std::numeric_limits<double>::quiet_NaN(), negative ? -1.0 : 1.0);
  // Validate the shape: digits, optional point, digits (one digit at least),
  // optional exponent. Track the position of the first non-zero digit to tell
  // overflow from underflow.
  std::size_t i = 0;
  std::size_t ndigits = 0;
  long first_nonzero = 0;  // decimal exponent of the first non-zero digit + 1
  bool seen_nonzero = false, seen_point = false;
  long int_digits = 0, frac_zeros = 0;
  for (; i < body.size(); ++i) {
    char c = body[i];
    if (is_digit(c)) {
      ++ndigits;
      if (!seen_point) {
        if (seen_nonzero || c != '0') ++int_digits;
      } else if (!seen_nonzero && c == '0') {
        ++frac_zeros;
      }
      if (c != '0') seen_nonzero = true;
    } else if (c == '.' && !seen_point) {
      seen_point = true;
    } else {
      break;
    }
  }
  if (ndigits == 0) return std::nullopt;
  first_nonzero = int_digits > 0 ? int_digits : -frac_zeros;
  long long exp = 0;
  if (i < body.size()) {
    if (body[i] != 'e' && body[i] != 'E') return std::nullopt;
    ++i;
    bool eneg = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
      eneg = body[i] == '-';
      ++i;
    }
    if (i == body.size()) return std::nullopt;
    for (; i < body.size(); ++i) {
      if (!is_digit(body[i])) return std::nullopt;
      if (exp < 1000000000) exp = exp * 10 + (body[i] - '0');  // saturates
    }
    if (eneg) exp = -exp;
  }
  double v = 0;
  auto res = std::from_chars(body.data(), body.data() + body.size(), v, std::chars_format::general);
  if (res.ec == std::errc::result_out_of_range) {
    if (!seen_nonzero || exp + first_nonzero <= 0)
      v = 0.0;
    else
      v = std::numeric_limits<double>::infinity();
  } else if (res.ec != std::errc() || res.ptr != body.data() + body.size()) {
    return std::nullopt;
  }
  return negative ? -v : v;
}

std::optional<std::int64_t> parse_int64_text(std::string_view text) {
  std::string_view t = trim_unicode(text);
  std::string_view digits = t;
  if (!digits.empty() && (digits[0] == '+' || digits[0] == '-')) digits.remove_prefix(1);
  if (digits.empty() || !all_digits(digits)) return std::nullopt;
  if (!t.empty() && t[0] == '+') t.remove_prefix(1);
  std::int64_t v = 0;
  auto res = std::from_chars(t.data(), t.data() + t.size(), v);
  if (res.ec != std::errc() || res.ptr != t.data() + t.size()) return std::nullopt;
  return v;
}

}  // namespace quib::wire

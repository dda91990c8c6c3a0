#include "wire/decfloat.hpp"

#include <fmt/format.h>

#include <array>
#include <limits>

#include "wire/ascii.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

using u128 = unsigned __int128;

// The parameters of one interchange format.
struct Format {
  unsigned total_bits;     // 64 or 128
  unsigned exp_cont_bits;  // 8 or 12
  unsigned declets;        // 5 or 11
  unsigned digits;         // 16 or 34
  int bias;                // 398 or 6176
  int max_biased;          // 767 or 12287
  std::size_t bytes;       // 8 or 16
};

constexpr Format kDecimal64{64, 8, 5, 16, 398, 767, 8};
constexpr Format kDecimal128{128, 12, 11, 34, 6176, 12287, 16};

constexpr unsigned kCombInfinity = 0x1E;
constexpr unsigned kCombNaN = 0x1F;

// Decodes one declet (bits p q r s t u v w x y, p the most significant) into
// its three digits, as the IEEE 754-2008 DPD table defines.
constexpr std::uint16_t decode_declet(unsigned b) {
  const unsigned p = (b >> 9) & 1, q = (b >> 8) & 1, r = (b >> 7) & 1, s = (b >> 6) & 1,
                 t = (b >> 5) & 1, u = (b >> 4) & 1, v = (b >> 3) & 1, w = (b >> 2) & 1,
                 x = (b >> 1) & 1, y = b & 1;
  const unsigned pqr = 4 * p + 2 * q + r, stu = 4 * s + 2 * t + u, wxy = 4 * w + 2 * x + y;
  const unsigned pqy = 4 * p + 2 * q + y, pqu = 4 * p + 2 * q + u, sty = 4 * s + 2 * t + y;
  unsigned d1, d2, d3;
  if (v == 0) {
    d1 = pqr, d2 = stu, d3 = wxy;
  } else {
    switch (2 * w + x) {
      case 0:
        d1 = pqr, d2 = stu, d3 = 8 + y;
        break;
      case 1:
        d1 = pqr, d2 = 8 + u, d3 = sty;
        break;
      case 2:
        d1 = 8 + r, d2 = stu, d3 = pqy;
        break;
      default:
        switch (2 * s + t) {
          case 0:
            d1 = 8 + r, d2 = 8 + u, d3 = pqy;
            break;
          case 1:
            d1 = 8 + r, d2 = pqu, d3 = 8 + y;
            break;
          case 2:
            d1 = pqr, d2 = 8 + u, d3 = 8 + y;
            break;
          default:
            d1 = 8 + r, d2 = 8 + u, d3 = 8 + y;
            break;
        }
    }
  }
  return static_cast<std::uint16_t>(d1 * 100 + d2 * 10 + d3);
}

constexpr std::array<std::uint16_t, 1024> make_decode_table() {
  std::array<std::uint16_t, 1024> t{};
  for (unsigned i = 0; i < 1024; ++i) t[i] = decode_declet(i);
  return t;
}
constexpr std::array<std::uint16_t, 1024> kDecodeTable = make_decode_table();

// The digits-to-declet table: the inverse of decoding, keeping the smallest
// declet of each value (the canonical one). Built once, on first use.
const std::array<std::uint16_t, 1000>& encode_table() {
  static const std::array<std::uint16_t, 1000> table = [] {
    std::array<std::uint16_t, 1000> t{};
    std::array<bool, 1000> seen{};
    for (unsigned d = 0; d < 1024; ++d) {
      const std::uint16_t v = kDecodeTable[d];
      if (!seen[v]) {
        seen[v] = true;
        t[v] = static_cast<std::uint16_t>(d);
      }
    }
    return t;
  }();
  return table;
}

u128 load_le(ByteView b) {
  u128 v = 0;
  for (std::size_t i = b.size(); i-- > 0;) v = (v << 8) | b[i];
  return v;
}

Bytes store_le(u128 v, std::size_t n) {
  Bytes out(n);
  for (std::size_t i = 0; i < n; ++i) {
    out[i] = static_cast<std::uint8_t>(v & 0xFF);
    v >>= 8;
  }
  return out;
}

// The scientific string of the General Decimal Arithmetic for a finite number.
std::string scientific_string(bool negative, std::string_view digits, std::int64_t q) {
  std::string out;
  if (negative) out.push_back('-');
  const auto n = static_cast<std::int64_t>(digits.size());
  const std::int64_t adjusted = q + (n - 1);
  if (q <= 0 && adjusted >= -6) {
    if (q == 0) {
      out += digits;
    } else if (n > -q) {
      out.append(digits.substr(0, static_cast<std::size_t>(n + q)));
      out.push_back('.');
      out.append(digits.substr(static_cast<std::size_t>(n + q)));
    } else {
      out += "0.";
      out.append(static_cast<std::size_t>(-q - n), '0');
      out += digits;
    }
    return out;
  }
  out.push_back(digits[0]);
  if (n > 1) {
    out.push_back('.');
    out.append(digits.substr(1));
  }
  out += adjusted < 0 ? "E-" : "E+";
  out += std::to_string(adjusted < 0 ? -adjusted : adjusted);
  return out;
}

ValueResult<std::string> decode(ByteView bytes, const Format& f) {
  if (bytes.size() != f.bytes) return err(ValueError::decimal_width(f.bytes, bytes.size()));
  const u128 v = load_le(bytes);
  if (v == 0) return std::string("0");
  const bool negative = ((v >> (f.total_bits - 1)) & 1) != 0;
  const unsigned comb = static_cast<unsigned>(v >> (f.total_bits - 6)) & 0x1F;
  if (comb == kCombNaN) return std::string(negative ? "-NaN" : "NaN");
  if (comb == kCombInfinity) return std::string(negative ? "-Infinity" : "Infinity");
  unsigned exp_msb, lead;
  if ((comb >> 3) == 3) {
    exp_msb = (comb >> 1) & 3;
    lead = 8 + (comb & 1);
  } else {
    exp_msb = comb >> 3;
    lead = comb & 7;
  }
  const unsigned cont_shift = f.total_bits - 6 - f.exp_cont_bits;
  const unsigned cont = static_cast<unsigned>(v >> cont_shift) & ((1u << f.exp_cont_bits) - 1);
  const int biased = static_cast<int>((exp_msb << f.exp_cont_bits) | cont);
  std::string digits;
  digits.reserve(f.digits);
  if (lead) digits.push_back(static_cast<char>('0' + lead));
  for (unsigned i = f.declets; i-- > 0;) {
    const unsigned d = static_cast<unsigned>(v >> (10 * i)) & 0x3FF;
    const unsigned val = kDecodeTable[d];
    const char three[3] = {static_cast<char>('0' + val / 100),
                           static_cast<char>('0' + val / 10 % 10),
                           static_cast<char>('0' + val % 10)};
    for (char c : three)
      if (!digits.empty() || c != '0') digits.push_back(c);
  }
  if (digits.empty()) digits.push_back('0');
  return scientific_string(negative, digits, biased - f.bias);
}

ValueResult<Bytes> encode(std::string_view text, const Format& f) {
  const std::string t = ascii_lower(trim_unicode(text));
  std::string_view s = t;
  const bool negative = !s.empty() && s[0] == '-';
  // At most one sign: a second one makes the text no number.
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
  const u128 sign_bit = negative ? (u128{1} << (f.total_bits - 1)) : 0;
  if (s == "inf" || s == "infinity")
    return store_le(sign_bit | (u128{kCombInfinity} << (f.total_bits - 6)), f.bytes);
  if (s == "nan") return store_le(sign_bit | (u128{kCombNaN} << (f.total_bits - 6)), f.bytes);

  std::string_view mantissa = s;
  std::int64_t exp_value = 0;
  if (auto e = s.find('e'); e != std::string_view::npos) {
    mantissa = s.substr(0, e);
    std::string_view et = s.substr(e + 1);
    bool eneg = false;
    if (!et.empty() && (et[0] == '+' || et[0] == '-')) {
      eneg = et[0] == '-';
      et.remove_prefix(1);
    }
    if (et.empty() || !all_digits(et)) return err(ValueError::not_a_number());
    for (char c : et) {
      exp_value = exp_value * 10 + (c - '0');
      if (exp_value > std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1)
        return err(ValueError::not_a_number());
    }
    if (eneg) exp_value = -exp_value;
    if (exp_value > std::numeric_limits<std::int32_t>::max() ||
        exp_value < std::numeric_limits<std::int32_t>::min())
      return err(ValueError::not_a_number());
  }
  std::string_view int_part = mantissa, frac = {};
  if (auto dot = mantissa.find('.'); dot != std::string_view::npos) {
    int_part = mantissa.substr(0, dot);
    frac = mantissa.substr(dot + 1);
  }
  if (int_part.empty() && frac.empty()) return err(ValueError::not_a_number());
  if (!all_digits(int_part) || !all_digits(frac)) return err(ValueError::not_a_number());

  // Coefficient digits without leading zeros; trailing zeros stay.
  std::size_t skip = 0;
  while (skip < int_part.size() && int_part[skip] == '0') ++skip;
  std::string digits(int_part.substr(skip));
  if (digits.empty()) {
    std::size_t fz = 0;
    while (fz < frac.size() && frac[fz] == '0') ++fz;
    digits.assign(frac.substr(fz));
  } else {
    digits.append(frac);
  }
  if (digits.size() > f.digits) return err(ValueError::unrepresentable(kReasonDecfloatCoefficient));

  // frac.size() is bounded by the text length; compare before subtracting.
  if (frac.size() > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max()))
    return err(ValueError::unrepresentable(kReasonDecfloatExponent));
  const std::int64_t q = exp_value - static_cast<std::int64_t>(frac.size());
  if (q < std::numeric_limits<std::int32_t>::min() || q > std::numeric_limits<std::int32_t>::max())
    return err(ValueError::unrepresentable(kReasonDecfloatExponent));
  const std::int64_t biased = q + f.bias;
  if (biased < 0 || biased > f.max_biased)
    return err(ValueError::unrepresentable(kReasonDecfloatExponent));

  // Assemble: digits filled on the left to the precision; the first goes
  // into the combination field, the rest into declets.
  std::string padded(f.digits - digits.size(), '0');
  padded += digits;
  const unsigned lead = static_cast<unsigned>(padded[0] - '0');
  const unsigned exp_msb = static_cast<unsigned>(biased >> f.exp_cont_bits) & 3;
  const unsigned comb = lead >= 8 ? (0x18 | (exp_msb << 1) | (lead & 1)) : ((exp_msb << 3) | lead);
  const auto& table = encode_table();
  u128 v = sign_bit | (u128{comb} << (f.total_bits - 6));
  v |= u128(static_cast<std::uint64_t>(biased) & ((1u << f.exp_cont_bits) - 1))
       << (f.total_bits - 6 - f.exp_cont_bits);
  for (unsigned i = 0; i < f.declets; ++i) {
    const std::size_t at = 1 + 3 * static_cast<std::size_t>(i);
    const unsigned val = static_cast<unsigned>(
        (padded[at] - '0') * 100 + (padded[at + 1] - '0') * 10 + (padded[at + 2] - '0'));
    v |= u128{table[val]} << (10 * (f.declets - 1 - i));
  }
  return store_le(v, f.bytes);
}

}  // namespace

std::uint16_t dpd_declet_value(std::uint16_t declet) { return kDecodeTable[declet & 0x3FF]; }
std::uint16_t dpd_encode_declet(std::uint16_t value) { return encode_table()[value % 1000]; }

ValueResult<std::string> decode_decfloat16(ByteView bytes) { return decode(bytes, kDecimal64); }
ValueResult<std::string> decode_decfloat34(ByteView bytes) { return decode(bytes, kDecimal128); }
ValueResult<Bytes> encode_decfloat16(std::string_view text) { return encode(text, kDecimal64); }
ValueResult<Bytes> encode_decfloat34(std::string_view text) { return encode(text, kDecimal128); }

}  // namespace quib::wire

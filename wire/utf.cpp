#include "wire/utf.hpp"

#include <cstring>

namespace quib::wire {

void secure_wipe(void* p, std::size_t n) {
  // Unlike memset, explicit_bzero is never left out as a dead store.
  if (n != 0) ::explicit_bzero(p, n);
}

void append_utf8(std::string& out, char32_t cp) {
  if ((cp >= 0xD800 && cp <= 0xDFFF) || cp > 0x10FFFF) cp = kReplacement;
  if (cp < 0x80) {
    out.push_back(static_cast<char>(cp));
  } else if (cp < 0x800) {
    out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else if (cp < 0x10000) {
    out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  } else {
    out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
    out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
  }
}

char32_t next_utf8(std::string_view s, std::size_t& pos) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  unsigned char b0 = byte(pos);
  if (b0 < 0x80) {
    ++pos;
    return b0;
  }
  int need;
  char32_t cp;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 1;
    cp = b0 & 0x1F;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    need = 2;
    cp = b0 & 0x0F;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    need = 3;
    cp = b0 & 0x07;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    ++pos;
    return kReplacement;
  }
  std::size_t i = pos + 1;
  for (int k = 0; k < need; ++k, ++i) {
    if (i >= s.size()) {
      pos = i;
      return kReplacement;
    }
    unsigned char b = byte(i);
    unsigned char l = k == 0 ? lo : 0x80, h = k == 0 ? hi : 0xBF;
    if (b < l || b > h) {
      pos = i;  // the maximal invalid subpart ends before this byte
      return kReplacement;
    }
    cp = (cp << 6) | (b & 0x3F);
  }
  pos = i;
  return cp;
}

bool is_valid_utf8(std::string_view s) {
  std::size_t pos = 0;
  while (pos < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[pos]);
    if (b < 0x80) {
      ++pos;
      continue;
    }
    std::size_t start = pos;
    char32_t cp = next_utf8(s, pos);
    if (cp == kReplacement) {
      // A genuine U+FFFD is EF BF BD.
      if (!(pos - start == 3 && static_cast<unsigned char>(s[start]) == 0xEF &&
            static_cast<unsigned char>(s[start + 1]) == 0xBF &&
            static_cast<unsigned char>(s[start + 2]) == 0xBD))
        return false;
    }
  }
  return true;
}

std::string utf8_lossy(ByteView bytes) {
  std::string_view s = as_chars(bytes);
  if (is_valid_utf8(s)) return std::string(s);
  std::string out;
  out.reserve(s.size() + 8);
  std::size_t pos = 0;
  while (pos < s.size()) append_utf8(out, next_utf8(s, pos));
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (pos < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      out.push_back(b);
      ++pos;
      continue;
    }
    char32_t cp = next_utf8(text, pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view u) {
  std::string out;
  out.reserve(u.size());
  for (std::size_t i = 0; i < u.size(); ++i) {
    char32_t c = u[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < u.size() && u[i + 1] >= 0xDC00 &&
        u[i + 1] <= 0xDFFF) {
      c = 0x10000 + ((c - 0xD800) << 10) + (u[i + 1] - 0xDC00);
      ++i;
    } else if (c >= 0xD800 && c <= 0xDFFF) {
      c = kReplacement;
    }
    append_utf8(out, c);
  }
  return out;
}

std::size_t utf16_length(std::string_view text) {
  std::size_t n = 0, pos = 0;
  while (pos < text.size()) {
    unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      ++pos;
      ++n;
      continue;
    }
    n += next_utf8(text, pos) >= 0x10000 ? 2 : 1;
  }
  return n;
}

void append_utf16le(Bytes& out, std::string_view text) {
  // Every UTF-8 sequence (a lone bad byte included) gives at most two bytes
  // of UTF-16 per byte it takes: the room is made once and cut to the end.
  const std::size_t start = out.size();
  out.resize(start + text.size() * 2);
  std::uint8_t* o = out.data() + start;
  const std::size_t n = text.size();
  std::size_t pos = 0;
  while (pos < n) {
    // A run of ASCII, 8 bytes at a time while it lasts.
    while (pos + 8 <= n) {
      std::uint64_t w;
      std::memcpy(&w, text.data() + pos, 8);
      if (w & 0x8080808080808080ULL) break;
      for (int k = 0; k < 8; ++k) {
        o[2 * k] = static_cast<std::uint8_t>(text[pos + k]);
        o[2 * k + 1] = 0;
      }
      o += 16;
      pos += 8;
    }
    if (pos >= n) break;
    const unsigned char b = static_cast<unsigned char>(text[pos]);
    if (b < 0x80) {
      *o++ = b;
      *o++ = 0;
      ++pos;
      continue;
    }
    char32_t cp = next_utf8(text, pos);
    if (cp >= 0x10000) {
      cp -= 0x10000;
      store_le16(o, static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
      store_le16(o + 2, static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
      o += 4;
    } else {
      store_le16(o, static_cast<std::uint16_t>(cp));
      o += 2;
    }
  }
  out.resize(static_cast<std::size_t>(o - out.data()));
}

Bytes encode_utf16le(std::string_view text) {
  Bytes out;
  append_utf16le(out, text);
  return out;
}

Bytes utf16_units_to_bytes(std::u16string_view units) {
  Bytes out(units.size() * 2);
  for (std::size_t i = 0; i < units.size(); ++i) store_le16(out.data() + 2 * i, units[i]);
  return out;
}

std::string decode_utf16le(ByteView b) {
  const std::size_t n = b.size();
  const std::uint8_t* p = b.data();
  if (n % 2 == 0) {
    // One pass: the low bytes are copied while every unit is checked, four
    // units at a time; the first unit past ASCII sends the whole text to the
    // general decoding below.
    const std::size_t units = n / 2;
    std::string out(units, '\0');
    char* o = out.data();
    std::size_t i = 0;
    bool ascii = true;
    for (; i + 4 <= units; i += 4) {
      std::uint64_t w;
      std::memcpy(&w, p + 2 * i, 8);
      if (w & 0xFF80FF80FF80FF80ULL) {
        ascii = false;
        break;
      }
      o[i] = static_cast<char>(p[2 * i]);
      o[i + 1] = static_cast<char>(p[2 * i + 2]);
      o[i + 2] = static_cast<char>(p[2 * i + 4]);
      o[i + 3] = static_cast<char>(p[2 * i + 6]);
    }
    for (; ascii && i < units; ++i) {
      if (p[2 * i] >= 0x80 || p[2 * i + 1] != 0) ascii = false;
      o[i] = static_cast<char>(p[2 * i]);
    }
    if (ascii) return out;
  }
  // Each unit gives at most three bytes (a pair gives four for two units);
  // the odd final byte gives the three bytes of U+FFFD.
  const std::size_t units = n / 2;
  std::string out(units * 3 + 3, '\0');
  char* o = out.data();
  const auto put = [&o](char32_t c) {
    if (c < 0x80) {
      *o++ = static_cast<char>(c);
    } else if (c < 0x800) {
      *o++ = static_cast<char>(0xC0 | (c >> 6));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *o++ = static_cast<char>(0xE0 | (c >> 12));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    } else {
      *o++ = static_cast<char>(0xF0 | (c >> 18));
      *o++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
      *o++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
      *o++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  };
  for (std::size_t i = 0; i < units; ++i) {
    char32_t c = load_le16(p + 2 * i);
    if (c >= 0xD800 && c <= 0xDFFF) {
      char32_t d = i + 1 < units ? load_le16(p + 2 * (i + 1)) : 0;
      if (c <= 0xDBFF && d >= 0xDC00 && d <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        ++i;
      } else {
        c = kReplacement;  // unpaired surrogate
      }
    }
    put(c);
  }
  if (n % 2) put(kReplacement);
  out.resize(static_cast<std::size_t>(o - out.data()));
  return out;
}

bool is_valid_utf16le(ByteView b) {
  if (b.size() % 2) return false;
  const std::size_t units = b.size() / 2;
  for (std::size_t i = 0; i < units; ++i) {
    std::uint16_t c = load_le16(b.data() + 2 * i);
    if (c >= 0xDC00 && c <= 0xDFFF) return false;
    if (c >= 0xD800 && c <= 0xDBFF) {
      if (i + 1 >= units) return false;
      std::uint16_t d = load_le16(b.data() + 2 * (i + 1));
      if (d < 0xDC00 || d > 0xDFFF) return false;
      ++i;
    }
  }
  return true;
}

bool is_unicode_space(char32_t c) {
  return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
         (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F ||
         c == 0x3000;
}

namespace {

// The white space of ASCII: tab to carriage return, and the space.
bool is_ascii_space(unsigned char c) { return c == ' ' || (c >= 0x09 && c <= 0x0D); }

// Start offset of the last code point ending at `end`.
std::size_t prev_start(std::string_view s, std::size_t end) {
  std::size_t i = end - 1;
  int steps = 0;
  while (i > 0 && steps < 3 && (static_cast<unsigned char>(s[i]) & 0xC0) == 0x80) {
    --i;
    ++steps;
  }
  return i;
}

}  // namespace

std::string_view trim_end_unicode(std::string_view s) {
  std::size_t end = s.size();
  // The blanks that fill fixed-width fields, eight at a time.
  static constexpr char kBlanks[] = "        ";
  while (end >= 8 && std::memcmp(s.data() + end - 8, kBlanks, 8) == 0) end -= 8;
  while (end > 0) {
    // An ASCII byte is a character of its own.
    const auto last = static_cast<unsigned char>(s[end - 1]);
    if (last < 0x80) {
      if (!is_ascii_space(last)) break;
      --end;
      continue;
    }
    std::size_t start = prev_start(s, end);
    std::size_t p = start;
    char32_t c = next_utf8(s.substr(0, end), p);
    if (p != end || !is_unicode_space(c)) break;
    end = start;
  }
  return s.substr(0, end);
}

std::string_view trim_unicode(std::string_view s) {
  s = trim_end_unicode(s);
  std::size_t pos = 0;
  while (pos < s.size()) {
    const auto first = static_cast<unsigned char>(s[pos]);
    if (first < 0x80) {
      if (!is_ascii_space(first)) break;
      ++pos;
      continue;
    }
    std::size_t p = pos;
    char32_t c = next_utf8(s, p);
    if (!is_unicode_space(c)) break;
    pos = p;
  }
  return s.substr(pos);
}

std::string_view trim_ascii(std::string_view s) {
  const auto sp = [](char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
  };
  std::size_t a = 0, e = s.size();
  while (a < e && sp(s[a])) ++a;
  while (e > a && sp(s[e - 1])) --e;
  return s.substr(a, e - a);
}

std::string ascii_upper(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 32);
  return out;
}

std::string ascii_lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool ascii_iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    char x = a[i], y = b[i];
    if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 32);
    if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 32);
    if (x != y) return false;
  }
  return true;
}

}  // namespace quib::wire

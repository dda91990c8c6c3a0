// Inputs of the benchmarks that stand for what travels compressed in
// practice: real text (the documentation files of the installed Debian
// packages) and table rows as an ABAP system holds them (material numbers,
// blank-padded descriptions, plants, storage locations, quantities, units
// and dates), once as characters (a table read's text rows) and once as the
// structure image of a Unicode system (CHAR fields in UTF-16LE, the
// quantity packed). Made the same way on every run.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "wire/bytes.hpp"

namespace quib::bench {

// The text files under /usr/share/doc in path order (compressed ones
// unpacked), each distinct content once, until there are `n` bytes. Files
// that hold a NUL byte are not text and are left out. When the tree holds
// less than `n` bytes the text starts over.
inline wire::Bytes real_text(std::size_t n) {
  namespace fs = std::filesystem;
  std::vector<fs::path> paths;
  std::error_code ec;
  for (fs::recursive_directory_iterator it("/usr/share/doc", ec), end; !ec && it != end;
       it.increment(ec))
    if (it->is_regular_file(ec)) paths.push_back(it->path());
  std::sort(paths.begin(), paths.end());
  wire::Bytes out;
  out.reserve(n);
  std::set<std::size_t> seen;
  for (const fs::path& p : paths) {
    if (out.size() >= n) break;
    std::string content;
    if (p.extension() == ".gz") {
      gzFile f = gzopen(p.c_str(), "rb");
      if (!f) continue;
      char buf[65536];
      int got;
      while ((got = gzread(f, buf, sizeof buf)) > 0)
        content.append(buf, static_cast<std::size_t>(got));
      gzclose(f);
    } else {
      std::ifstream f(p, std::ios::binary);
      content.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    }
    if (content.empty() || content.find('\0') != std::string::npos) continue;
    if (!seen.insert(std::hash<std::string>{}(content)).second) continue;
    out.insert(out.end(), content.begin(), content.end());
  }
  if (out.empty()) out.push_back('\n');
  const std::size_t have = out.size();
  while (out.size() < n)
    out.insert(out.end(), out.begin(), out.begin() + std::min(have, n - out.size()));
  out.resize(n);
  return out;
}

// One row of a stock table: material, plant, storage location,
// description, unit, date of the last change, quantity with 3 decimals.
struct StockRow {
  std::string matnr;  // CHAR 18, numeric material numbers with leading zeros
  std::string werks;  // CHAR 4
  std::string lgort;  // CHAR 4
  std::string maktx;  // CHAR 40, blank-padded
  std::string meins;  // UNIT 3
  std::string datum;  // DATS, YYYYMMDD
  std::uint64_t quantity_milli = 0;
};

// Rows in material order, as a table read by key returns them: most
// materials stock in one or two plants, descriptions come from a catalogue
// of parts, the unit goes with the part.
class StockRows {
 public:
  explicit StockRows(std::uint32_t seed) : rng_(seed) {}

  StockRow next() {
    if (plants_left_ == 0) {
      material_ += 1 + rng_() % 40;
      plants_left_ = 1 + (rng_() % 4 == 0) + (rng_() % 9 == 0);
      pick_part();
    }
    --plants_left_;
    StockRow r;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%018llu", static_cast<unsigned long long>(material_));
    r.matnr = buf;
    static const char* const kPlants[] = {"1000", "1010", "1200", "2000", "2100", "3000"};
    r.werks = kPlants[(rng_() % 7) % 6];
    static const char* const kLocations[] = {"0001", "0001", "0002", "0010", "FG01", "RM01"};
    r.lgort = kLocations[rng_() % 6];
    r.maktx = description_;
    r.meins = unit_;
    std::snprintf(buf, sizeof buf, "%04u%02u%02u", 2019 + static_cast<unsigned>(rng_() % 6),
                  1 + static_cast<unsigned>(rng_() % 12), 1 + static_cast<unsigned>(rng_() % 28));
    r.datum = buf;
    // Mostly whole pieces, some weights with decimals, a few large lots.
    const std::uint64_t whole = rng_() % 10 == 0 ? rng_() % 250000 : rng_() % 400;
    r.quantity_milli = whole * 1000 + (unit_[0] == 'K' || unit_[0] == 'L' ? rng_() % 1000 : 0);
    return r;
  }

 private:
  void pick_part() {
    struct Part {
      const char* name;
      const char* unit;
    };
    static const Part kParts[] = {{"Hex bolt", "PC "},
                                  {"Hex nut", "PC "},
                                  {"Washer", "PC "},
                                  {"Ball bearing", "PC "},
                                  {"Shaft seal", "PC "},
                                  {"O-ring", "PC "},
                                  {"Gear motor", "PC "},
                                  {"Hydraulic oil", "L  "},
                                  {"Steel sheet", "KG "},
                                  {"Copper wire", "M  "},
                                  {"Cable tie", "PC "},
                                  {"Pump housing", "PC "},
                                  {"Valve body", "PC "},
                                  {"Lubricating grease", "KG "},
                                  {"Pallet", "PC "},
                                  {"Cardboard box", "PC "},
                                  {"Aluminium profile", "M  "},
                                  {"Control unit", "PC "}};
    static const char* const kSizes[] = {
        "M6x20",   "M8x40",  "M10x50", "M12x80", "DN25", "DN50",    "6204-2RS", "40x62x7",
        "0.75 kW", "2.2 kW", "5 l",    "20 kg",  "2 mm", "1.5 mm2", "200x4.8",  "1200x800"};
    static const char* const kGrades[] = {"DIN 933 8.8 zinc plated",
                                          "A2 stainless",
                                          "ISO 4032",
                                          "NBR 70",
                                          "IP55 B3",
                                          "HLP 46",
                                          "S235JR",
                                          "H07V-K",
                                          "EN AW-6060",
                                          "",
                                          "",
                                          ""};
    const Part& part = kParts[rng_() % (sizeof kParts / sizeof *kParts)];
    std::string d = part.name;
    d += ' ';
    d += kSizes[rng_() % (sizeof kSizes / sizeof *kSizes)];
    const char* grade = kGrades[rng_() % (sizeof kGrades / sizeof *kGrades)];
    if (*grade) {
      d += ' ';
      d += grade;
    }
    d.resize(40, ' ');
    description_ = d;
    unit_ = part.unit;
  }

  std::mt19937 rng_;
  std::uint64_t material_ = 100000;
  unsigned plants_left_ = 0;
  std::string description_;
  std::string unit_;
};

// The rows as a table read returns them: the fields' characters one after
// the other, the quantity as its text right-aligned in 17 characters.
inline wire::Bytes stock_rows_text(std::size_t n, std::uint32_t seed) {
  StockRows rows(seed);
  std::string s;
  s.reserve(n + 128);
  while (s.size() < n) {
    const StockRow r = rows.next();
    char qty[32];
    std::snprintf(qty, sizeof qty, "%17.3f", static_cast<double>(r.quantity_milli) / 1000.0);
    s += r.matnr + r.werks + r.lgort + r.maktx + r.meins + r.datum + qty;
  }
  s.resize(n);
  return wire::to_bytes(s);
}

// The rows as structure images of a Unicode system: the CHAR, UNIT and DATS
// fields in UTF-16LE, then the quantity as a 7-byte packed number (13
// digits, 3 of them decimals) and one byte of alignment; 162 bytes a row.
inline wire::Bytes stock_rows_utf16(std::size_t n, std::uint32_t seed) {
  StockRows rows(seed);
  wire::Bytes out;
  out.reserve(n + 256);
  const auto chars = [&out](const std::string& s) {
    for (char c : s) {
      out.push_back(static_cast<std::uint8_t>(c));
      out.push_back(0);
    }
  };
  while (out.size() < n) {
    const StockRow r = rows.next();
    chars(r.matnr);
    chars(r.werks);
    chars(r.lgort);
    chars(r.maktx);
    chars(r.meins);
    chars(r.datum);
    char digits[16];
    std::snprintf(digits, sizeof digits, "%013llu",
                  static_cast<unsigned long long>(r.quantity_milli));
    std::uint8_t packed[7];
    for (int i = 0; i < 7; ++i) {
      const unsigned hi = static_cast<unsigned>(digits[2 * i] - '0');
      const unsigned lo = i == 6 ? 0xCu : static_cast<unsigned>(digits[2 * i + 1] - '0');
      packed[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    out.insert(out.end(), packed, packed + 7);
    out.push_back(0);
  }
  out.resize(n);
  return out;
}

}  // namespace quib::bench

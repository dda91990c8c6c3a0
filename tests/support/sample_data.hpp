// Inputs of the shapes that travel compressed, made from a seed so that a
// test or a benchmark sees the same bytes on every run: text, fixed-width
// table rows, and incompressible random bytes. No GoogleTest here, so that
// the benchmarks can use them too.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <random>
#include <string>

#include "wire/bytes.hpp"

namespace quib::test {

// Words and sentence ends, as in free text of business documents.
inline wire::Bytes text_like(std::size_t n, std::uint32_t seed) {
  static const char* const words[] = {
      "the",    "customer", "order",    "was",      "shipped", "to",      "plant",   "1000",
      "and",    "MATNR",    "quantity", "of",       "pieces",  "billing", "status",  "open",
      "closed", "in",       "delivery", "material", "vendor",  "account", "posting", "date"};
  std::mt19937 rng(seed);
  std::string s;
  while (s.size() < n) {
    s += words[rng() % (sizeof words / sizeof *words)];
    s += (rng() % 11 == 0) ? ".\n" : " ";
  }
  s.resize(n);
  return wire::to_bytes(s);
}

// Fixed-width rows as a table read returns them: ids, blank-padded names,
// amounts and dates.
inline wire::Bytes table_like(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::string s;
  int row = 0;
  while (s.size() < n) {
    char buf[128];
    std::snprintf(buf, sizeof buf, "%010d%-30s%015.2f2024%02u%02uEUR  %c", 4500000 + row++,
                  (rng() % 3 == 0 ? "Screw M6"
                   : rng() % 2    ? "Bearing housing"
                                  : "Motor 3kW"),
                  static_cast<double>(rng() % 100000) / 7.0, static_cast<unsigned>(1 + rng() % 12),
                  static_cast<unsigned>(1 + rng() % 28), "XYZ "[rng() % 4]);
    s += buf;
  }
  s.resize(n);
  return wire::to_bytes(s);
}

inline wire::Bytes random_bytes(std::size_t n, std::uint32_t seed) {
  std::mt19937 rng(seed);
  wire::Bytes b(n);
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  return b;
}

}  // namespace quib::test

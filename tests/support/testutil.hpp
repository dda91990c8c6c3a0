// Small helpers of the GoogleTest suites: bytes as hex text and back, byte
// strings built from numbers, ASCII or parts, filler bytes, and the runner of
// the Python oracle scripts kept in the source tree.
//
// Include it as "tests/support/testutil.hpp" and take the names a test uses
// with using-declarations (several suites have helpers of their own named B
// or hex for other things).
#pragma once

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <initializer_list>
#include <stdexcept>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"

namespace quib::test {

// Two lower-case hexadecimal digits per byte, nothing between them.
inline std::string hex(wire::ByteView b) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  s.reserve(b.size() * 2);
  for (std::uint8_t c : b) {
    s.push_back(kDigits[c >> 4]);
    s.push_back(kDigits[c & 15]);
  }
  return s;
}
inline std::string hex(std::string_view s) { return hex(wire::as_bytes(s)); }

// The bytes of hexadecimal digits in either case; white space between them
// is ignored. Any other character or an odd number of digits throws, so that
// a mistyped literal or a garbled oracle line fails the test instead of
// turning into other bytes.
inline wire::Bytes unhex(std::string_view h) {
  auto digit = [h](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    throw std::invalid_argument("not a hex digit in \"" + std::string(h) + "\"");
  };
  wire::Bytes out;
  out.reserve(h.size() / 2);
  int high = -1;
  for (char c : h) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    const int v = digit(c);
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0)
    throw std::invalid_argument("odd number of hex digits in \"" + std::string(h) + "\"");
  return out;
}
// The same bytes as a std::string.
inline std::string unhex_text(std::string_view h) {
  const wire::Bytes b = unhex(h);
  return std::string(wire::as_chars(b));
}

// Bytes from numbers, for readable expectations: B({0x41, 0, 0xFF}).
inline wire::Bytes B(std::initializer_list<int> v) {
  wire::Bytes b;
  b.reserve(v.size());
  for (int x : v) b.push_back(static_cast<std::uint8_t>(x));
  return b;
}

// UTF-16LE of an ASCII text: U("AB") is 41 00 42 00.
inline wire::Bytes U(std::string_view ascii) {
  wire::Bytes b;
  b.reserve(ascii.size() * 2);
  for (char c : ascii) {
    b.push_back(static_cast<std::uint8_t>(c));
    b.push_back(0);
  }
  return b;
}

// The parts one after the other.
inline wire::Bytes cat(std::initializer_list<wire::Bytes> parts) {
  wire::Bytes out;
  for (const wire::Bytes& p : parts) wire::append_bytes(out, p);
  return out;
}

// `n` filler bytes that differ from their neighbours and, for another seed,
// from the same positions of another payload (seed + 7 i, modulo 256).
inline wire::Bytes pattern(std::size_t n, std::uint8_t seed = 0) {
  wire::Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(seed + i * 7);
  return b;
}

// Everything a shell command writes to its standard output. The command
// must start and exit with status 0, or the test fails.
inline std::string run_command(const std::string& cmd) {
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) {
    ADD_FAILURE() << "cannot start " << cmd;
    return {};
  }
  std::string out;
  char buf[65536];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  EXPECT_EQ(pclose(p), 0) << cmd;
  return out;
}

// The output of a Python script of the source tree under the interpreter
// that has the oracles' packages: `script_and_args` starts with the script's
// path from the repository root, e.g. "tests/wire/oracles/x.py 7 100".
inline std::string run_python(std::string_view script_and_args) {
  return run_command(std::string(QUIB_PYTHON_EXE) + " " + QUIB_SOURCE_DIR + "/" +
                     std::string(script_and_args));
}

}  // namespace quib::test

// DECFLOAT numbers: the IEEE 754-2008 decimal64 and decimal128 interchange
// formats with a densely packed decimal (DPD) coefficient, stored
// little-endian. The system never computes with them: it turns the wire bytes
// into exact decimal text and decimal text into wire bytes, never rounding.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "wire/bytes.hpp"
#include "wire/value_error.hpp"

namespace quib::wire {

inline constexpr std::size_t kDecFloat16Bytes = 8;
inline constexpr std::size_t kDecFloat34Bytes = 16;

// Exactly 8 (16) bytes to the scientific string of the General Decimal
// Arithmetic ("1.50", "1E+3", "-0", "NaN", "-Infinity"); other lengths fail
// with DecimalWidth. Every NaN (quiet or signalling, any payload) reads as
// NaN; eight (sixteen) zero bytes read as 0.
ValueResult<std::string> decode_decfloat16(ByteView bytes);
ValueResult<std::string> decode_decfloat34(ByteView bytes);

// Decimal text to 8 (16) bytes, with canonical declets; NotANumber for text
// that is not a number, Unrepresentable ("decimal float coefficient" or
// "decimal float exponent") for one that does not fit without rounding.
ValueResult<Bytes> encode_decfloat16(std::string_view text);
ValueResult<Bytes> encode_decfloat34(std::string_view text);

// The three digits (0..999) of a declet; every one of the 1024 values reads.
std::uint16_t dpd_declet_value(std::uint16_t declet);
// The canonical declet of a three-digit group (0..999).
std::uint16_t dpd_encode_declet(std::uint16_t value);

}  // namespace quib::wire

// The error of the field value codec and of the DECFLOAT and UTCLONG
// formats, with the fixed texts it carries.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "wire/abap_type.hpp"
#include "wire/result.hpp"

namespace quib::wire {

// The fixed descriptors of ValueError::Unencodable.
inline constexpr std::string_view kDescNonNumericText = "non-numeric text";
inline constexpr std::string_view kDescBytes = "bytes";
inline constexpr std::string_view kDescFloat = "float";
inline constexpr std::string_view kDescNonBinary = "non-binary";
inline constexpr std::string_view kDescBinaryFloat =
    "a binary float, which cannot hold a decimal exactly";
inline constexpr std::string_view kDescNotUtclongText =
    "text that is not YYYY-MM-DD HH:MM:SS.fffffff";

// The reasons of ValueError::Unrepresentable used by the codecs.
inline constexpr std::string_view kReasonTooManyDecimals =
    "more decimal places than the field declares";
inline constexpr std::string_view kReasonDecfloatCoefficient = "decimal float coefficient";
inline constexpr std::string_view kReasonDecfloatExponent = "decimal float exponent";

// The error of the field codec and of the DECFLOAT and UTCLONG formats.
class ValueError {
 public:
  enum class Kind : std::uint8_t {
    Unencodable,      // ty, text = descriptor of the refused value
    OutOfRange,       // ty, value
    DecimalWidth,     // needed, got
    NotANumber,       // -
    Unrepresentable,  // text = reason
    TooWide,          // length, ty, width
    Undecodable,      // ty, length
  };

  static ValueError unencodable(AbapType ty, std::string_view descriptor);
  static ValueError out_of_range(AbapType ty, std::int64_t value);
  static ValueError decimal_width(std::uint64_t needed, std::uint64_t got);
  static ValueError not_a_number();
  static ValueError unrepresentable(std::string_view reason);
  static ValueError too_wide(std::uint64_t length, AbapType ty, std::uint64_t width);
  static ValueError undecodable(AbapType ty, std::uint64_t length);

  Kind kind() const { return kind_; }
  AbapType ty() const { return ty_; }
  const std::string& text() const { return text_; }  // descriptor or reason
  std::int64_t value() const { return value_; }
  std::uint64_t needed() const { return a_; }  // DecimalWidth
  std::uint64_t got() const { return b_; }     // DecimalWidth
  std::uint64_t length() const { return a_; }  // TooWide, Undecodable
  std::uint64_t width() const { return b_; }   // TooWide

  // The display text, e.g. "cannot encode a float value as ABAP Int4".
  std::string message() const;
  // The kind and its fields, e.g. OutOfRange { kind: Int1, value: 256 }.
  std::string debug() const;

  friend bool operator==(const ValueError&, const ValueError&) = default;

 private:
  Kind kind_ = Kind::NotANumber;
  AbapType ty_{};
  std::string text_;
  std::int64_t value_ = 0;
  std::uint64_t a_ = 0;
  std::uint64_t b_ = 0;
};

template <class T>
using ValueResult = Result<T, ValueError>;

}  // namespace quib::wire

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

// The forms of ValueError::Malformed: what a Numc, Date or Time field takes.
inline constexpr std::string_view kFormsNumc =
    "only digits: a text of digits or an integer of 0 or more";
inline constexpr std::string_view kFormsDate =
    "8 digits YYYYMMDD, a date, or an empty or all-blank text for the initial date 00000000";
inline constexpr std::string_view kFormsTime =
    "6 digits HHMMSS, a time, or an empty or all-blank text for the initial time 000000";

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
    TooLong,          // ty, length, width: characters of a text field
    Malformed,        // ty, text = the forms the field takes
  };

  static ValueError unencodable(AbapType ty, std::string_view descriptor);
  static ValueError out_of_range(AbapType ty, std::int64_t value);
  static ValueError decimal_width(std::uint64_t needed, std::uint64_t got);
  static ValueError not_a_number();
  static ValueError unrepresentable(std::string_view reason);
  static ValueError too_wide(std::uint64_t length, AbapType ty, std::uint64_t width);
  static ValueError undecodable(AbapType ty, std::uint64_t length);
  static ValueError too_long(AbapType ty, std::uint64_t characters, std::uint64_t capacity);
  static ValueError malformed(AbapType ty, std::string_view forms);

  Kind kind() const { return kind_; }
  AbapType ty() const { return ty_; }
  const std::string& text() const { return text_; }  // descriptor or reason
  std::int64_t value() const { return value_; }
  std::uint64_t needed() const { return a_; }  // DecimalWidth
  std::uint64_t got() const { return b_; }     // DecimalWidth
  std::uint64_t length() const { return a_; }  // TooWide, Undecodable, TooLong
  std::uint64_t width() const { return b_; }   // TooWide, TooLong

  // Where the refused value was and what it was, for a value that a caller
  // gave: the place ("I_INT4", "I_ROW-NAME", "T_IN[3]-NAME") and the value
  // as shown_value (wire/types.hpp) shows it. `at` sets both; `inside`
  // puts the place inside an outer one ("T_IN[3]" makes "NAME"
  // "T_IN[3]-NAME"; an error without a place gets the outer one).
  ValueError& at(std::string place, std::string shown);
  ValueError& inside(std::string_view outer);
  const std::string& place() const { return place_; }
  const std::string& shown() const { return shown_; }

  // The reason alone, e.g. "cannot encode a float value as ABAP Int4".
  std::string reason() const;
  // The display text: the reason, after the place and the value when the
  // error has a place: "I_INT4 1099511627776: 1099511627776 does not fit in
  // an ABAP Int4".
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
  std::string place_;
  std::string shown_;
};

template <class T>
using ValueResult = Result<T, ValueError>;

}  // namespace quib::wire

// ABAP field values and the field value codec.
//
// An ABAP system describes every parameter and structure field by a type kind,
// a byte width and a number of implied decimals. `AbapType` is the kind
// (wire/abap_type.hpp), `RfcValue` one scalar field value, and the codec below
// turns the bytes of one field into an `RfcValue` and back; its errors are
// `ValueError`s (wire/value_error.hpp), both included from here. The text
// helpers that sessions and the call path apply to record values live here
// too: the packed-decimal (BCD) codec, the implied decimal point, the guessing
// decoder for record texts, the shortest text of a double and the double
// parser. UTF-16LE conversion is in wire/utf.hpp (encode_utf16le /
// decode_utf16le), included from here.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "wire/abap_type.hpp"
#include "wire/bytes.hpp"
#include "wire/result.hpp"
#include "wire/utf.hpp"
#include "wire/value_error.hpp"

namespace quib::wire {

// ---------------------------------------------------------------------------
// RfcValue

struct UndecodedValue {
  AbapType ty;
  Bytes bytes;
  friend bool operator==(const UndecodedValue&, const UndecodedValue&) = default;
};

// One scalar field value: Text (UTF-8), Int, Float, Bytes, or Undecoded (a
// field left as its raw image together with its type). Owned by its holder;
// moved, not shared.
class RfcValue {
 public:
  enum class Kind : std::uint8_t { Text, Int, Float, Bytes, Undecoded };
  // The alternatives in variant order: index i is Kind(i).
  using Data = std::variant<std::string, std::int64_t, double, Bytes, UndecodedValue>;

  RfcValue() : data_(std::in_place_index<0>) {}

  static RfcValue text(std::string s) {
    return RfcValue(Data(std::in_place_index<0>, std::move(s)));
  }
  static RfcValue integer(std::int64_t v) { return RfcValue(Data(std::in_place_index<1>, v)); }
  static RfcValue floating(double v) { return RfcValue(Data(std::in_place_index<2>, v)); }
  static RfcValue bytes(Bytes b) { return RfcValue(Data(std::in_place_index<3>, std::move(b))); }
  static RfcValue undecoded(AbapType ty, Bytes b) {
    return RfcValue(Data(std::in_place_index<4>, UndecodedValue{ty, std::move(b)}));
  }

  Kind kind() const { return static_cast<Kind>(data_.index()); }
  bool is_text() const { return kind() == Kind::Text; }
  bool is_int() const { return kind() == Kind::Int; }
  bool is_float() const { return kind() == Kind::Float; }
  bool is_bytes() const { return kind() == Kind::Bytes; }
  bool is_undecoded() const { return kind() == Kind::Undecoded; }

  // Accessors; the value must hold the alternative asked for.
  const std::string& as_text() const { return std::get<0>(data_); }
  std::string& as_text() { return std::get<0>(data_); }
  std::int64_t as_int() const { return std::get<1>(data_); }
  double as_float() const { return std::get<2>(data_); }
  const Bytes& as_bytes() const { return std::get<3>(data_); }
  Bytes& as_bytes() { return std::get<3>(data_); }
  const UndecodedValue& as_undecoded() const { return std::get<4>(data_); }

  const Data& data() const { return data_; }
  Data& data() { return data_; }

  // Text("x"), Int(5), Float(1.5), Bytes([1, 2]),
  // Undecoded { ty: Float, bytes: [1, 2] }. Texts are quoted with backslash
  // escapes for quotes, backslashes and control characters.
  std::string debug() const;

  // Floats compare as doubles (NaN differs from itself).
  friend bool operator==(const RfcValue&, const RfcValue&) = default;

 private:
  explicit RfcValue(Data d) : data_(std::move(d)) {}
  Data data_;
};

// A Text value holding a copy of the text.
RfcValue text_value(std::string_view text);

// ---------------------------------------------------------------------------
// The field codec

// The decimals supported by the packed-decimal helpers. Larger values are
// refused by unpack_bcd / pack_bcd (Unrepresentable) and leave the text of
// insert_decimal_point unchanged.
inline constexpr std::uint32_t kMaxDecimals = 65534;

// Filling of text fields is done up to this many UTF-16 code units (a text
// field of more than 131071 bytes is filled to 65535 characters only).
inline constexpr std::size_t kMaxTextFill = 65535;

// Byte, Structure, DeepStructure and Table values are zero-filled up to the
// field width, and packed values are written in exactly that width, but
// never beyond this many bytes: a wider field (its width comes from the
// partner's dictionary) is refused with Unrepresentable rather than
// allocated.
inline constexpr std::uint64_t kMaxFieldFill = 64ull << 20;

// The bytes of one field as a value of the given kind.
ValueResult<RfcValue> decode_field_value(ByteView bytes, AbapType ty);
// As decode_field_value, but a Bcd field is unpacked with `decimals`.
ValueResult<RfcValue> decode_field_with_decimals(ByteView bytes, AbapType ty,
                                                 std::uint32_t decimals);
// The registered server's decoder: Char, Numc, Date and Time as one byte per
// character (Latin-1), Bcd with 0 decimals, every other kind as
// decode_field_value.
ValueResult<RfcValue> decode_field_value_latin1(ByteView bytes, AbapType ty);

// The bytes of a value for a field of the given kind, width and decimals.
ValueResult<Bytes> encode_field_value(const RfcValue& value, AbapType ty, std::uint32_t width,
                                      std::uint32_t decimals);

// ---------------------------------------------------------------------------
// Values a caller gives

// A value goes to the server as the caller gave it or not at all: the
// encoders of requests (classic imports, structure images, basXML scalars)
// take what follows, the decoders of replies keep encode_field_value.

// The text that a Char, Numc, Date or Time field `width` bytes wide holds
// for a value a caller gives (a Text, or the text of an Int or a Float):
// - Char: the text as it is;
// - Numc: ASCII digits only (so never a sign), filled with zeros on the left
//   to the field's length;
// - Date: eight ASCII digits, Time: six, or an empty or all-blank text for
//   the initial value "00000000" / "000000".
// A text of more UTF-16 code units than the field holds (width / 2; a width
// of 0 sets no limit) is refused with TooLong, never cut; a Numc, Date or
// Time in another form with Malformed, naming the forms the field takes; a
// byte value with Unencodable "bytes".
ValueResult<std::string> given_text(const RfcValue& value, AbapType ty, std::uint32_t width);

// The bytes of a value a caller gives: Char, Numc, Date and Time by
// given_text (filled with blanks to the width, as encode_field_value
// fills), every other kind, and undecoded values, by encode_field_value.
ValueResult<Bytes> encode_given_value(const RfcValue& value, AbapType ty, std::uint32_t width,
                                      std::uint32_t decimals);

// How a refusal shows the refused value: a text debug-quoted, cut after
// kShownCharacters characters with its length after it
// ("xxx..."... (50 characters)), numbers in decimal, bytes in hexadecimal
// (cut likewise), an undecoded value as its type and size.
inline constexpr std::size_t kShownCharacters = 32;
std::string shown_text(std::string_view text);
std::string shown_value(const RfcValue& value);

// The error of a value a caller gave for `place`: `error` with the place
// and the value shown.
ValueError refused_at(ValueError error, std::string place, const RfcValue& value);

// Record texts whose encoding the partner chooses: UTF-16LE when the length is
// even and non-zero, some byte at an odd offset is 0 and the bytes are valid
// UTF-16LE; otherwise lossy UTF-8.
std::string decode_text_field(ByteView bytes);

// Puts the implied decimal point into a text of digits with an optional
// leading "-" ("12345", 2 -> "123.45"; "", 2 -> "0.00"). A text that already
// has a point, is not sign and digits, or 0 decimals: unchanged.
std::string insert_decimal_point(std::string_view text, std::uint32_t decimals);

// Packed decimal: two digits per byte, the last byte's low nibble the sign
// (0xD negative, anything else positive).
ValueResult<std::string> unpack_bcd(ByteView bytes, std::uint32_t decimals);

// unpack_bcd without allocating, for the readers of many rows: `bytes` is
// not empty and `decimals` at most kMaxDecimals; `digits` holds
// 2 * bytes.size() - 1 characters of scratch and `out` at least
// packed_text_size(bytes.size(), decimals). The text's length in `out`, or
// nullopt when a digit nibble is above 9.
std::optional<std::size_t> unpack_bcd_into(ByteView bytes, std::uint32_t decimals, char* digits,
                                           char* out);
constexpr std::size_t packed_text_size(std::size_t bytes, std::uint32_t decimals) {
  return 2 * bytes + std::size_t{decimals} + 2;
}
ValueResult<Bytes> pack_bcd(std::string_view text, std::uint32_t width, std::uint32_t decimals);

// ---------------------------------------------------------------------------
// Texts of numbers

// The shortest decimal digits that read back as the same double, written
// positionally without an exponent: 0.1, 2.5, 0.0000001, 2 (for 2.0), "1"
// followed by 21 zeros for 1e21, -0 for negative zero; NaN, inf and -inf.
std::string float_shortest_text(double v);

// Parses, after trimming white space: an optional sign, digits with an
// optional decimal point (at least one digit), an optional exponent (e or E,
// optional sign, digits), or the words inf, infinity and nan in any letter
// case. The nearest double; out-of-range magnitudes give infinity or zero.
std::optional<double> parse_double_text(std::string_view text);

// Parses, after trimming white space: an optional + or - and one or more ASCII
// digits whose value fits a signed 64-bit integer; nothing else.
std::optional<std::int64_t> parse_int64_text(std::string_view text);

}  // namespace quib::wire

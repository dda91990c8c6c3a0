#include "wire/value_error.hpp"

#include <fmt/format.h>

#include "wire/quote.hpp"

namespace quib::wire {

ValueError ValueError::unencodable(AbapType ty, std::string_view descriptor) {
  ValueError e;
  e.kind_ = Kind::Unencodable;
  e.ty_ = ty;
  e.text_ = std::string(descriptor);
  return e;
}
ValueError ValueError::out_of_range(AbapType ty, std::int64_t value) {
  ValueError e;
  e.kind_ = Kind::OutOfRange;
  e.ty_ = ty;
  e.value_ = value;
  return e;
}
ValueError ValueError::decimal_width(std::uint64_t needed, std::uint64_t got) {
  ValueError e;
  e.kind_ = Kind::DecimalWidth;
  e.a_ = needed;
  e.b_ = got;
  return e;
}
ValueError ValueError::not_a_number() { return ValueError(); }
ValueError ValueError::unrepresentable(std::string_view reason) {
  ValueError e;
  e.kind_ = Kind::Unrepresentable;
  e.text_ = std::string(reason);
  return e;
}
ValueError ValueError::too_wide(std::uint64_t length, AbapType ty, std::uint64_t width) {
  ValueError e;
  e.kind_ = Kind::TooWide;
  e.ty_ = ty;
  e.a_ = length;
  e.b_ = width;
  return e;
}
ValueError ValueError::undecodable(AbapType ty, std::uint64_t length) {
  ValueError e;
  e.kind_ = Kind::Undecodable;
  e.ty_ = ty;
  e.a_ = length;
  return e;
}

ValueError ValueError::too_long(AbapType ty, std::uint64_t characters, std::uint64_t capacity) {
  ValueError e;
  e.kind_ = Kind::TooLong;
  e.ty_ = ty;
  e.a_ = characters;
  e.b_ = capacity;
  return e;
}
ValueError ValueError::malformed(AbapType ty, std::string_view forms) {
  ValueError e;
  e.kind_ = Kind::Malformed;
  e.ty_ = ty;
  e.text_ = std::string(forms);
  return e;
}

ValueError& ValueError::at(std::string place, std::string shown) {
  place_ = std::move(place);
  shown_ = std::move(shown);
  return *this;
}

ValueError& ValueError::inside(std::string_view outer) {
  place_ = place_.empty() ? std::string(outer) : fmt::format("{}-{}", outer, place_);
  return *this;
}

std::string ValueError::message() const {
  if (place_.empty()) return reason();
  if (shown_.empty()) return fmt::format("{}: {}", place_, reason());
  return fmt::format("{} {}: {}", place_, shown_, reason());
}

std::string ValueError::reason() const {
  switch (kind_) {
    case Kind::Unencodable:
      return fmt::format("cannot encode a {} value as ABAP {}", text_, ty_.display());
    case Kind::OutOfRange:
      return fmt::format("{} does not fit in an ABAP {}", value_, ty_.display());
    case Kind::DecimalWidth:
      return fmt::format("a decimal float needs {} bytes, got {}", a_, b_);
    case Kind::NotANumber:
      return "not a number";
    case Kind::Unrepresentable:
      return fmt::format("{} is outside what the format can hold", text_);
    case Kind::TooWide:
      return fmt::format("{} bytes do not fit an ABAP {} of width {}", a_, ty_.display(), b_);
    case Kind::Undecodable:
      return fmt::format(
          "cannot decode {} bytes as ABAP {}: the encoding is not implemented, and reading it as "
          "text would produce plausible nonsense",
          a_, ty_.display());
    case Kind::TooLong:
      return fmt::format("{} characters do not fit an ABAP {} of length {}", a_, ty_.display(), b_);
    case Kind::Malformed:
      return fmt::format("an ABAP {} takes {}", ty_.display(), text_);
  }
  return {};
}

std::string ValueError::debug() const {
  switch (kind_) {
    case Kind::Unencodable:
      return fmt::format("Unencodable {{ kind: {}, what: {} }}", ty_.debug(), debug_quote(text_));
    case Kind::OutOfRange:
      return fmt::format("OutOfRange {{ kind: {}, value: {} }}", ty_.debug(), value_);
    case Kind::DecimalWidth:
      return fmt::format("DecimalWidth {{ needed: {}, got: {} }}", a_, b_);
    case Kind::NotANumber:
      return "NotANumber";
    case Kind::Unrepresentable:
      return fmt::format("Unrepresentable({})", debug_quote(text_));
    case Kind::TooWide:
      return fmt::format("TooWide {{ length: {}, kind: {}, width: {} }}", a_, ty_.debug(), b_);
    case Kind::Undecodable:
      return fmt::format("Undecodable {{ kind: {}, length: {} }}", ty_.debug(), a_);
    case Kind::TooLong:
      return fmt::format("TooLong {{ kind: {}, length: {}, width: {} }}", ty_.debug(), a_, b_);
    case Kind::Malformed:
      return fmt::format("Malformed {{ kind: {}, forms: {} }}", ty_.debug(), debug_quote(text_));
  }
  return {};
}

}  // namespace quib::wire

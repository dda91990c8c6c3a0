// The ABAP type kind of a parameter or structure field, as the partner's
// dictionary names it, with its display and debug forms.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace quib::wire {

// The ABAP type kind of a field. The enumerators follow the order in which
// the protocol lists the types, Char first and Unknown last, and index the
// table of kind names (abap_type.cpp checks its length); `Unknown` carries
// the dictionary's type letter that maps to no kind.
// `AbapType::Char` converts implicitly, so `AbapType t = AbapType::Int4;` and
// `t == AbapType::Int4` read naturally; `AbapType::unknown('X')` builds the
// letter-carrying kind.
struct AbapType {
  enum Kind : std::uint8_t {
    Char,
    Numc,
    Date,
    Time,
    Bcd,
    Float,
    Int1,
    Int2,
    Int4,
    Int8,
    Byte,
    String,
    XString,
    DecFloat16,
    DecFloat34,
    Utclong,
    Structure,
    DeepStructure,
    Table,
    Unknown,
  };

  Kind kind = Char;
  char letter = 0;  // meaningful for Unknown only; 0 for every named kind

  constexpr AbapType() = default;
  constexpr AbapType(Kind k) : kind(k) {}  // NOLINT: implicit on purpose
  static constexpr AbapType unknown(char c) {
    AbapType t(Unknown);
    t.letter = c;
    return t;
  }

  constexpr bool is_text_kind() const {
    return kind == Char || kind == Numc || kind == Date || kind == Time;
  }
  constexpr bool is_int_kind() const {
    return kind == Int1 || kind == Int2 || kind == Int4 || kind == Int8;
  }

  // "Char", "DecFloat34", ..., "Unknown(X)".
  std::string display() const;
  // As display(), but the letter of Unknown is a character literal
  // (wire/quote.hpp): "Unknown('X')", "Unknown('\'')".
  std::string debug() const;

  friend constexpr bool operator==(const AbapType& a, const AbapType& b) {
    return a.kind == b.kind && (a.kind != Unknown || a.letter == b.letter);
  }
};

// The name of a named kind ("Char", ...); "Unknown" for Unknown.
std::string_view kind_name(AbapType::Kind k);

}  // namespace quib::wire

#include "wire/abap_type.hpp"

#include <fmt/format.h>

#include <iterator>

#include "wire/quote.hpp"

namespace quib::wire {

namespace {

constexpr std::string_view kKindNames[] = {
    "Char",       "Numc",    "Date",      "Time",          "Bcd",    "Float",   "Int1",
    "Int2",       "Int4",    "Int8",      "Byte",          "String", "XString", "DecFloat16",
    "DecFloat34", "Utclong", "Structure", "DeepStructure", "Table",  "Unknown",
};
static_assert(std::size(kKindNames) == AbapType::Unknown + 1);

}  // namespace

std::string_view kind_name(AbapType::Kind k) {
  return k <= AbapType::Unknown ? kKindNames[k] : std::string_view("Unknown");
}

std::string AbapType::display() const {
  if (kind == Unknown) return fmt::format("Unknown({})", letter);
  return std::string(kind_name(kind));
}

std::string AbapType::debug() const {
  if (kind == Unknown) return "Unknown(" + char_literal(static_cast<unsigned char>(letter)) + ")";
  return std::string(kind_name(kind));
}

}  // namespace quib::wire

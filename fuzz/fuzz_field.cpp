// Field decoding for every ABAP kind: never crashes, and where the codec
// implies a round trip, decode -> encode -> decode gives the first result.
// Input: byte 0 selects the kind, byte 1 the decimals, the rest is the field.
#include <cmath>
#include <cstring>

#include "fuzz/check.hpp"
#include "wire/types.hpp"
#include "wire/utclong.hpp"

using namespace quib::wire;

namespace {

using quib::fuzz::check;

void round_trip(ByteView field, AbapType ty, std::uint32_t decimals) {
  auto first = decode_field_with_decimals(field, ty, decimals);
  if (!first) return;
  const RfcValue& v = *first;
  const auto width = static_cast<std::uint32_t>(field.size());
  auto enc = encode_field_value(v, ty, width, decimals);
  switch (ty.kind) {
    case AbapType::Float: {
      check(enc.ok() && enc->size() == 8);
      check(std::memcmp(enc->data(), field.data(), 8) == 0);
      return;
    }
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8: {
      check(enc.ok() && enc->size() <= field.size());
      check(std::memcmp(enc->data(), field.data(), enc->size()) == 0);
      return;
    }
    case AbapType::Utclong: {
      const std::uint64_t value = load_le64(field.data());
      auto parsed = parse_utclong_value(v.as_text());
      // Years above 9999 decode but cannot be written back.
      if (civil_from_day_number(static_cast<std::int64_t>((value - 1) / kTicksPerDay)).year <=
              9999 ||
          value == 0)
        check(parsed.has_value() && *parsed == value);
      return;
    }
    case AbapType::Byte:
    case AbapType::XString:
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
      check(enc.ok() && *enc == Bytes(field.begin(), field.end()));
      return;
    default:
      break;
  }
  // Text-valued kinds: the re-encoded bytes decode to the same text.
  check(enc.ok());
  auto again = decode_field_with_decimals(*enc, ty, decimals);
  check(again.ok() && *again == v);
  if (ty.is_text_kind() && is_valid_utf16le(field))
    check(*enc == Bytes(field.begin(), field.end()));
}

void text_parsers(std::string_view text) {
  if (auto d = parse_double_text(text); d && !std::isnan(*d)) {
    auto back = parse_double_text(float_shortest_text(*d));
    check(back.has_value() && std::memcmp(&*back, &*d, sizeof(double)) == 0);
  }
  if (auto v = parse_utclong_value(text)) check(parse_utclong_value(utclong_text(*v)) == v);
  if (auto i = parse_int64_text(text)) check(parse_int64_text(std::to_string(*i)) == i);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 2) return 0;
  const AbapType ty = data[0] % 20 == AbapType::Unknown
                          ? AbapType::unknown(static_cast<char>(data[0]))
                          : AbapType(static_cast<AbapType::Kind>(data[0] % 20));
  const std::uint32_t decimals = data[1] % 40;
  const ByteView field(data + 2, size - 2);

  (void)decode_field_value(field, ty);
  (void)decode_field_value_latin1(field, ty);
  round_trip(field, ty, decimals);
  (void)decode_text_field(field);
  (void)insert_decimal_point(as_chars(field), decimals);
  text_parsers(as_chars(field));
  // Every value kind for every field kind: refusals are values, never crashes.
  const RfcValue values[] = {RfcValue::text(std::string(as_chars(field))),
                             RfcValue::integer(static_cast<std::int64_t>(size) - 40),
                             RfcValue::floating(static_cast<double>(data[1]) / 8),
                             RfcValue::bytes(Bytes(field.begin(), field.end())),
                             RfcValue::undecoded(ty, Bytes(field.begin(), field.end()))};
  for (const auto& v : values) (void)encode_field_value(v, ty, data[1], decimals);
  return 0;
}

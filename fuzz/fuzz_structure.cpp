// Structure images: arbitrary bytes decoded against fixed layouts, and
// against a layout whose one field takes its offset and width from the input.
// The decode must not crash or read outside the image, must give one value
// per field of non-zero width when it succeeds, and must fail exactly when a
// field reaches past the image or overflows (or the codec refuses a field).
// For a layout of types whose values re-encode exactly, encoding the decoded
// values and decoding again gives the same values (a Numc or Date in the one
// form a caller may give it; one in another form is refused, never
// reshaped). Encoding never builds an image past the size limit.
#include <cstdlib>
#include <cstring>
#include <optional>

#include "proto/call/structure.hpp"
#include "tests/support/descriptions.hpp"

using namespace quib;
using proto::FieldLayout;
using proto::StructureLayout;
using test::field;
using wire::AbapType;
using wire::RfcValue;

namespace {

// Types whose decoded values encode back to the same bytes' meaning.
const StructureLayout& stable_layout() {
  static const StructureLayout l{
      "STABLE",
      {field("ID", AbapType::Int4, 0, 4), field("NAME", AbapType::Char, 4, 12),
       field("AMOUNT", AbapType::Bcd, 16, 5, 2), field("TINY", AbapType::Int1, 21, 1),
       field("SHORT", AbapType::Int2, 22, 2), field("SCORE", AbapType::Float, 24, 8),
       field("BIG", AbapType::Int8, 32, 8), field("RAW", AbapType::Byte, 40, 3),
       field("DAY", AbapType::Date, 44, 16), field("NUM", AbapType::Numc, 60, 4),
       field("TAB", AbapType::Table, 64, 0)},
      64};
  return l;
}

// Every other kind, overlapping fields and fields out of layout order.
const StructureLayout& wild_layout() {
  static const StructureLayout l{
      "WILD",
      {field("DF34", AbapType::DecFloat34, 16, 16), field("DF16", AbapType::DecFloat16, 0, 8),
       field("UTC", AbapType::Utclong, 8, 8), field("STR", AbapType::String, 32, 8),
       field("XSTR", AbapType::XString, 36, 8), field("SUB", AbapType::Structure, 0, 44),
       field("ODD", AbapType::unknown('q'), 3, 5), field("TIME", AbapType::Time, 40, 3),
       field("PACK", AbapType::Bcd, 44, 9, 70000)},
      53};
  return l;
}

std::uint64_t end_of(const StructureLayout& l, bool& overflow) {
  std::uint64_t end = 0;
  overflow = false;
  for (const auto& f : l.fields) {
    std::uint64_t e = 0;
    if (__builtin_add_overflow(f.offset, f.width, &e)) {
      overflow = true;
      return 0;
    }
    if (f.width != 0) end = std::max(end, e);
  }
  return end;
}

std::size_t sized_fields(const StructureLayout& l) {
  std::size_t n = 0;
  for (const auto& f : l.fields) n += f.width != 0;
  return n;
}

// A decoded Numc or Date as encoding gives it back: a blank date as the
// initial one, a Numc zero-filled. Nothing when a caller could not give it.
std::optional<RfcValue> given(const FieldLayout& f, const RfcValue& v) {
  if (f.abap_type != AbapType::Numc && f.abap_type != AbapType::Date) return v;
  auto text = wire::given_text(v, f.abap_type, static_cast<std::uint32_t>(f.width));
  if (!text) return std::nullopt;
  return RfcValue::text(std::move(text).value());
}

bool same(const RfcValue& a, const RfcValue& b) {
  if (a.is_float() && b.is_float()) {
    std::uint64_t x, y;
    const double da = a.as_float(), db = b.as_float();
    std::memcpy(&x, &da, 8);
    std::memcpy(&y, &db, 8);
    return x == y;
  }
  return a == b;
}

void decode_checked(const StructureLayout& l, wire::ByteView image, bool round_trip) {
  std::vector<RfcValue> values;
  auto st = proto::decode_structure_values(l, image, values);
  bool overflow = false;
  const std::uint64_t end = end_of(l, overflow);
  if (!st) {
    const auto kind = st.error().kind();
    if (kind == proto::ProtocolError::UnexpectedRecord) {
      if (!overflow && image.size() >= end) std::abort();  // short only when it is short
    } else if (kind != proto::ProtocolError::Value) {
      std::abort();
    }
    return;
  }
  if (overflow || image.size() < end) std::abort();
  if (values.size() != sized_fields(l)) std::abort();
  if (!round_trip) return;

  std::vector<proto::NamedValue> named;
  std::vector<RfcValue> expected;
  bool all_given = true;
  std::size_t i = 0;
  for (const auto& f : l.fields) {
    if (f.width == 0) continue;
    auto g = given(f, values[i]);
    all_given = all_given && g.has_value();
    expected.push_back(g ? *g : values[i]);
    named.emplace_back(f.name, values[i++]);
  }
  auto again = proto::encode_structure(l, named);
  if (!again) {
    // Only a Numc or Date in another form is refused: decoded texts always
    // fit their fields.
    const wire::ValueError* refused = again.error().get<wire::ValueError>();
    if (all_given || !refused || refused->kind() != wire::ValueError::Kind::Malformed) std::abort();
    return;
  }
  if (!all_given) std::abort();
  std::vector<RfcValue> back;
  if (!proto::decode_structure_values(l, *again, back)) std::abort();
  for (std::size_t k = 0; k < values.size(); ++k)
    if (!same(expected[k], back[k])) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const wire::ByteView in(data, size);
  decode_checked(stable_layout(), in, true);
  decode_checked(wild_layout(), in, false);

  // One field placed by the input: offset and width from its first 16 bytes.
  if (size >= 17) {
    const std::uint64_t offset = wire::load_le64(data);
    const std::uint64_t width = wire::load_le64(data + 8);
    const AbapType kinds[] = {AbapType::Char, AbapType::Bcd, AbapType::Byte, AbapType::Int4,
                              AbapType::String};
    StructureLayout l{"PLACED", {field("F", kinds[data[16] % 5], offset, width)}, width};
    decode_checked(l, in.subspan(17), false);
    // However wide the layout claims to be, encoding refuses before it
    // allocates past the limit.
    if (l.size > proto::kMaxStructureImage) {
      if (proto::encode_structure(l, {})) std::abort();
    } else if (l.size <= (1u << 20)) {
      auto image = proto::encode_structure(l, {});
      if (!image || image->size() != l.size) std::abort();
    }
  }
  return 0;
}

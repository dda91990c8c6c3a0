#include "proto/call/structure.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "wire/saturating.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

using wire::Bytes;
using wire::ByteView;
using wire::RfcValue;
using wire::saturating_add;

namespace {

constexpr std::uint64_t kU32Max = std::numeric_limits<std::uint32_t>::max();

ProtocolError decode_error(std::string detail) {
  return ProtocolError::unexpected_record(kStepStructureDecode, std::move(detail));
}

ProtocolError encode_error(std::string detail) {
  return ProtocolError::unexpected_record(kStepStructureEncode, std::move(detail));
}

// The character of a text field's initial value: a blank for Char, a zero
// for Numc, Date ("00000000") and Time ("000000").
std::uint8_t initial_character(wire::AbapType ty) {
  return ty == wire::AbapType::Char ? 0x20 : 0x30;
}

// The UTF-16LE character `c` in every two bytes of [begin, end), starting
// at `begin`; an odd last byte gets `c` itself.
void fill_character(Bytes& image, std::size_t begin, std::size_t end, std::uint8_t c) {
  for (std::size_t i = begin; i < end; i += 2) {
    image[i] = c;
    if (i + 1 < end) image[i + 1] = 0x00;
  }
}

}  // namespace

const FieldLayout* find_field(const StructureLayout& layout, std::string_view name) {
  for (const auto& f : layout.fields)
    if (wire::ascii_iequals(f.name, name)) return &f;
  return nullptr;
}

ProtoStatus decode_structure_values(const StructureLayout& layout, ByteView image,
                                    std::vector<RfcValue>& out) {
  out.clear();
  for (const FieldLayout& f : layout.fields) {
    std::uint64_t end = 0;
    if (__builtin_add_overflow(f.offset, f.width, &end))
      return wire::err(decode_error(fmt::format(
          "field {} claims offset {} length {}, which overflows", f.name, f.offset, f.width)));
    if (f.width == 0) continue;
    if (image.size() < end)
      return wire::err(decode_error(fmt::format("field {} needs bytes {}..{} of a {}-byte image",
                                                f.name, f.offset, end, image.size())));
    const ByteView bytes =
        image.subspan(static_cast<std::size_t>(f.offset), static_cast<std::size_t>(f.width));
    auto value = wire::decode_field_with_decimals(bytes, f.abap_type,
                                                  static_cast<std::uint32_t>(f.decimals));
    if (!value) return wire::err(ProtocolError(std::move(value).error()));
    out.push_back(std::move(value).value());
  }
  return wire::ok_unit;
}

ProtoResult<std::vector<NamedValue>> decode_structure(const StructureLayout& layout,
                                                      ByteView image) {
  std::vector<RfcValue> values;
  QUIB_CHECK(decode_structure_values(layout, image, values));
  std::vector<NamedValue> named;
  named.reserve(values.size());
  std::size_t next = 0;
  for (const FieldLayout& f : layout.fields) {
    if (f.width == 0) continue;
    named.emplace_back(f.name, std::move(values[next++]));
  }
  return named;
}

ProtoResult<Bytes> encode_structure(const StructureLayout& layout,
                                    std::span<const NamedValue> values) {
  // The limit comes first: the size is the peer's dictionary speaking.
  if (layout.size > kMaxStructureImage)
    return wire::err(encode_error(fmt::format("{} claims a {}-byte row, past the {}-byte limit",
                                              layout.name, layout.size, kMaxStructureImage)));
  const std::size_t size = static_cast<std::size_t>(layout.size);
  Bytes image(size, 0);
  for (const FieldLayout& f : layout.fields) {
    if (!f.abap_type.is_text_kind() || f.offset >= layout.size) continue;
    const std::uint64_t end = std::min(saturating_add(f.offset, f.width), layout.size);
    fill_character(image, static_cast<std::size_t>(f.offset), static_cast<std::size_t>(end),
                   initial_character(f.abap_type));
  }
  for (const auto& [name, value] : values) {
    const FieldLayout* f = find_field(layout, name);
    if (!f) return wire::err(encode_error(fmt::format("{} has no field {}", layout.name, name)));
    if (f->width > kU32Max)
      return wire::err(encode_error(fmt::format("field {} is {} bytes wide", name, f->width)));
    auto encoded =
        wire::encode_given_value(value, f->abap_type, static_cast<std::uint32_t>(f->width),
                                 static_cast<std::uint32_t>(f->decimals));
    if (!encoded) return wire::err(wire::refused_at(std::move(encoded).error(), f->name, value));
    std::uint64_t end = 0;
    if (__builtin_add_overflow(f->offset, f->width, &end))
      return wire::err(
          encode_error(fmt::format("field {} has an offset and length that overflow", name)));
    if (end > layout.size)
      return wire::err(encode_error(
          fmt::format("field {} ends at {}, past the {}-byte row", name, end, layout.size)));
    const Bytes& bytes = encoded.value();
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(f->width, bytes.size()));
    std::copy_n(bytes.begin(), n, image.begin() + static_cast<std::ptrdiff_t>(f->offset));
  }
  return image;
}

}  // namespace quib::proto

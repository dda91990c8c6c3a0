// Structure layouts and structure images.
//
// A structure parameter travels as one flat byte image: its fields' encoded
// values at the offsets its StructureLayout gives. The layout comes from the
// server's dictionary (proto/metadata/dictionary.hpp); this file holds the layout
// types and the codec between an image and a list of named field values.
//
// Nothing here allocates from a width or offset of the layout beyond the
// image size limit: layouts are built from the peer's dictionary rows.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/reply.hpp"
#include "wire/bytes.hpp"
#include "wire/types.hpp"

namespace quib::proto {

// One field of a layout.
struct FieldLayout {
  // Empty for the single field of a layout made from a data element or an
  // elementary table line.
  std::string name;
  // The dictionary data type ("STRU", "TTYP", "CHAR", ...). Once a layout is
  // built only "STRU" (a nested structure) changes behaviour.
  std::string datatype;
  // The dictionary type the field refers to; for "STRU" the nested structure.
  std::string rollname;
  std::uint64_t offset = 0;
  // Byte width in the image; a field of width 0 has no bytes.
  std::uint64_t width = 0;
  // The codecs use the low 32 bits.
  std::uint64_t decimals = 0;
  wire::AbapType abap_type;

  friend bool operator==(const FieldLayout&, const FieldLayout&) = default;
};

// The byte layout of a dictionary structure. Immutable once built and shared:
// the metadata cache and every user hold the same instance.
struct StructureLayout {
  std::string name;  // ASCII upper-cased
  std::vector<FieldLayout> fields;
  std::uint64_t size = 0;  // bytes of one image

  friend bool operator==(const StructureLayout&, const StructureLayout&) = default;
};

using StructureLayoutPtr = std::shared_ptr<const StructureLayout>;

// The largest image encode_structure builds.
inline constexpr std::uint64_t kMaxStructureImage = 64ull << 20;

// The data type that marks a nested structure.
inline constexpr std::string_view kDatatypeStructure = "STRU";

// The first field, in layout order, whose name equals `name` ignoring ASCII
// case; null when there is none.
const FieldLayout* find_field(const StructureLayout& layout, std::string_view name);

// The values of an image, one per field of non-zero width, in layout order,
// appended to `out` (which is cleared first). Fails with UnexpectedRecord
// ("structure decode") for a field whose range overflows or lies past the
// image, and with Value for a field the codec refuses.
ProtoStatus decode_structure_values(const StructureLayout& layout, wire::ByteView image,
                                    std::vector<wire::RfcValue>& out);

// The same, each value named as the layout names its field.
ProtoResult<std::vector<NamedValue>> decode_structure(const StructureLayout& layout,
                                                      wire::ByteView image);

// The image of named values that a caller gives: `size` bytes, every field
// at its ABAP initial value (blanks for Char, zeros for Numc, Date and Time,
// zero bytes for every other kind), then each value (in the caller's order)
// encoded at its field's offset by encode_given_value: a text longer than
// its field, or a Numc, Date or Time in another form, is refused (Value,
// naming the field as the layout spells it and the value), never cut.
ProtoResult<wire::Bytes> encode_structure(const StructureLayout& layout,
                                          std::span<const NamedValue> values);

}  // namespace quib::proto

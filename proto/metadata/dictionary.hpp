// Dictionary lookups: the layouts of structures, table types and data
// elements as the server's ABAP Dictionary defines them, asked for through
// DDIF_FIELDINFO_GET (and, for table types, the dictionary table DD40L read
// through RFC_READ_TABLE), turned into StructureLayouts and kept in the
// metadata cache.
//
// Every width, offset and count here comes from the peer: numbers are read
// saturating or as 0, layout arithmetic saturates at 2^64 - 1, and nested
// descriptions are bounded in depth and stopped by the connection's
// description guard (proto/session/describing.hpp) when a structure
// contains itself. The lookups make their calls through a Caller
// (proto/metadata/caller.hpp): the general call of proto/invoke.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "proto/base/error.hpp"
#include "proto/call/structure.hpp"
#include "proto/metadata/caller.hpp"
#include "proto/metadata/read_table.hpp"
#include "wire/bytes.hpp"
#include "wire/deep.hpp"
#include "wire/types.hpp"

namespace quib::proto {

class RfcConnection;

// The function module that answers dictionary questions, its imports and the
// parts of its reply that are read.
inline constexpr std::string_view kFieldInfoFunction = "DDIF_FIELDINFO_GET";
inline constexpr std::string_view kFieldInfoTabname = "TABNAME";
inline constexpr std::string_view kFieldInfoAllTypes = "ALL_TYPES";
inline constexpr std::string_view kDdobjtype = "DDOBJTYPE";
inline constexpr std::string_view kDfiesTab = "DFIES_TAB";
inline constexpr std::string_view kDfiesWa = "DFIES_WA";
inline constexpr std::string_view kLinesDescr = "LINES_DESCR";
// The DDOBJTYPE of a table type, and the data type of a table field.
inline constexpr std::string_view kDdobjtypeTableType = "TTYP";
inline constexpr std::string_view kDatatypeTable = "TTYP";
// The dictionary table of table types.
inline constexpr std::string_view kTableTypeTable = "DD40L";

// A DFIES row describes a field only with at least this many code units.
inline constexpr std::size_t kDfiesMinUnits = 190;

// Nested descriptions (structures inside structures, the row structure of a
// table type) go at most this deep; a deeper one is dropped like a failed
// nested description. The depth is the peer's choice.
inline constexpr std::size_t kMaxNestedDescriptions = 32;

// One field as the dictionary describes it, before layout: its POSITION
// and the field with the dictionary's OFFSET and, as its width, INTLEN.
struct DictionaryField {
  std::uint32_t position = 0;
  FieldLayout field;

  friend bool operator==(const DictionaryField&, const DictionaryField&) = default;
};

// What DD40L says about the line of a table type.
struct TableTypeLine {
  struct Elementary {
    std::string datatype;
    std::uint64_t leng = 0;
    std::uint64_t decimals = 0;
    friend bool operator==(const Elementary&, const Elementary&) = default;
  };
  struct Named {
    std::string rowtype;
    std::string rowkind;
    friend bool operator==(const Named&, const Named&) = default;
  };
  std::variant<Elementary, Named> line;

  friend bool operator==(const TableTypeLine&, const TableTypeLine&) = default;
};

// ---------------------------------------------------------------- pure parts

// A number of a dictionary text: after trimming, an optional "+" then ASCII
// digits. Anything else (empty, a lone sign, "-", another character) and an
// overflow give 0.
std::uint64_t dictionary_number(std::string_view text);
std::uint32_t dictionary_number32(std::string_view text);

// Code units [first, first + count) of a dictionary row as text, each unit
// one character (a surrogate unit becomes U+FFFD, never paired), trimmed at
// both ends. Units past the end of the row read as nothing.
std::string dictionary_row_text(wire::ByteView row, std::size_t first, std::size_t count);

// The DECIMALS column of a DFIES row; 0 for a row shorter than 190 units.
std::uint32_t dfies_decimals(wire::ByteView row);

// The type of a dictionary field: Table for the data type "TTYP", else the
// type letter (a blank when there is none).
wire::AbapType dictionary_field_type(std::string_view datatype, char32_t inttype);

// One DFIES row as a field, or nothing (a short row, an unnamed row when
// `skip_unnamed`, a name beginning with ".", an INTLEN of 0 other than for a
// table field).
std::optional<DictionaryField> parse_dfies_row(wire::ByteView row, bool skip_unnamed);

// The fields of the first LINES_DESCR deep node (its first child with a
// FIELDS child), by the rules of parse_dfies_row with skip_unnamed.
std::vector<DictionaryField> fields_from_lines_descr(std::span<const wire::DeepNode> nodes);

// The field of an elementary table line of data type `datatype`.
FieldLayout ddic_type_field(std::string_view datatype, std::uint64_t leng, std::uint64_t decimals);

// The alignment compute_layout gives a field.
std::uint64_t field_alignment(const FieldLayout& field);

// Fields sorted by position, with repeated offsets and the components of
// nested structures dropped, as FieldLayouts of the dictionary's widths.
std::vector<FieldLayout> normalise_fields(std::vector<DictionaryField> fields);

// Recomputes the offsets of `fields` by their alignments and returns the
// size of one image (a multiple of the largest alignment). Saturating.
std::uint64_t compute_layout(std::vector<FieldLayout>& fields);

// The line of a table type from the first DD40L row (ROWTYPE, ROWKIND,
// DATATYPE, LENG, DECIMALS cut at "|"); nothing when it names neither a row
// type nor a data type.
std::optional<TableTypeLine> table_type_line_of(const DelimitedRow& row);

// ---------------------------------------------------------------- lookups

// The layout of the dictionary structure, table type or data element `name`,
// from the cache or from the server; cached under the upper-cased name.
ProtoResult<StructureLayoutPtr> describe_structure(RfcConnection& connection, Caller& caller,
                                                   std::string_view name);

// The single unnamed field of a data element (`name` sent as given). Not
// cached: the layout that contains it is.
ProtoResult<FieldLayout> describe_element_field(RfcConnection& connection, Caller& caller,
                                                std::string_view name);

// The DD40L line of a table type (`name` upper-cased by the caller), cached;
// an absent line is cached too.
ProtoResult<std::optional<TableTypeLine>> describe_table_type(RfcConnection& connection,
                                                              Caller& caller,
                                                              std::string_view name);

// The number of decimals of a data element, 0 when the dictionary does not
// say; cached (an unknown element is cached as 0 too).
ProtoResult<std::uint32_t> element_description(RfcConnection& connection, Caller& caller,
                                               std::string_view name);

}  // namespace quib::proto

#include "proto/metadata/dictionary.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <limits>

#include "proto/call/reply.hpp"
#include "proto/metadata/describe.hpp"
#include "proto/session/connection.hpp"
#include "proto/session/metadata_cache.hpp"
#include "wire/saturating.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

using wire::AbapType;
using wire::ByteView;
using wire::kU64Max;
using wire::saturating_add;
using wire::saturating_mul;

namespace {

// DFIES row columns, in code units.
constexpr std::size_t kTableNameUnit = 0;
constexpr std::size_t kTableNameUnits = 30;
constexpr std::size_t kFieldNameUnit = 30;
constexpr std::size_t kFieldNameUnits = 30;
constexpr std::size_t kPositionUnit = 61;
constexpr std::size_t kPositionUnits = 4;
constexpr std::size_t kOffsetUnit = 65;
constexpr std::size_t kOffsetUnits = 6;
constexpr std::size_t kRollnameUnit = 101;
constexpr std::size_t kRollnameUnits = 30;
constexpr std::size_t kIntlenUnit = 167;
constexpr std::size_t kIntlenUnits = 6;
constexpr std::size_t kDecimalsUnit = 179;
constexpr std::size_t kDecimalsUnits = 6;
constexpr std::size_t kDatatypeUnit = 185;
constexpr std::size_t kDatatypeUnits = 4;
constexpr std::size_t kInttypeUnit = 189;

// The children of a LINES_DESCR field row.
constexpr std::string_view kLinesFields = "FIELDS";

// The columns read from DD40L, in this order, and the delimiter of its rows.
constexpr const char* kDd40lColumns[] = {"ROWTYPE", "ROWKIND", "DATATYPE", "LENG", "DECIMALS"};
constexpr char32_t kDd40lDelimiter = U'|';

// `x` rounded up to a multiple of `a` (a >= 1), saturating.
std::uint64_t round_up(std::uint64_t x, std::uint64_t a) {
  const std::uint64_t rest = x % a;
  return rest == 0 ? x : saturating_add(x, a - rest);
}

std::uint64_t parse_number(std::string_view text, std::uint64_t max) {
  text = wire::trim_unicode(text);
  if (!text.empty() && text.front() == '+') text.remove_prefix(1);
  if (text.empty()) return 0;
  std::uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return 0;
    const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
    if (v > (max - digit) / 10) return 0;
    v = v * 10 + digit;
  }
  return v;
}

std::size_t row_units(ByteView row) { return row.size() / 2; }

bool is_structure_datatype(std::string_view datatype) { return datatype == kDatatypeStructure; }

DictionaryField make_field(std::string name, std::string datatype, std::string rollname,
                           std::uint32_t position, std::uint64_t offset, std::uint64_t intlen,
                           std::uint64_t decimals, char32_t inttype) {
  const wire::AbapType type = dictionary_field_type(datatype, inttype);
  return {
      position,
      {std::move(name), std::move(datatype), std::move(rollname), offset, intlen, decimals, type}};
}

// The row rules shared by DFIES rows and LINES_DESCR rows.
bool skipped_field(std::string_view name, bool skip_unnamed, std::uint64_t intlen,
                   std::string_view datatype) {
  if (name.empty() && skip_unnamed) return true;
  if (!name.empty() && name.front() == '.') return true;
  return intlen == 0 && datatype != kDatatypeTable;
}

}  // namespace

// ---------------------------------------------------------------- numbers and texts

std::uint64_t dictionary_number(std::string_view text) { return parse_number(text, kU64Max); }

std::uint32_t dictionary_number32(std::string_view text) {
  return static_cast<std::uint32_t>(parse_number(text, std::numeric_limits<std::uint32_t>::max()));
}

std::string dictionary_row_text(ByteView row, std::size_t first, std::size_t count) {
  std::string text;
  const std::size_t units = row_units(row);
  for (std::size_t i = first; i < units && i < first + count; ++i)
    wire::append_utf8(text, unit_char(row_unit(row, i)));
  return std::string(wire::trim_unicode(text));
}

std::uint32_t dfies_decimals(ByteView row) {
  if (row_units(row) < kDfiesMinUnits) return 0;
  return dictionary_number32(dictionary_row_text(row, kDecimalsUnit, kDecimalsUnits));
}

AbapType dictionary_field_type(std::string_view datatype, char32_t inttype) {
  if (datatype == kDatatypeTable) return AbapType::Table;
  if (inttype > 0xFFFF) return AbapType::unknown('?');
  return abap_type_from_unit(static_cast<char16_t>(inttype));
}

// ---------------------------------------------------------------- rows

std::optional<DictionaryField> parse_dfies_row(ByteView row, bool skip_unnamed) {
  if (row_units(row) < kDfiesMinUnits) return std::nullopt;
  std::string name = dictionary_row_text(row, kFieldNameUnit, kFieldNameUnits);
  const std::uint64_t intlen =
      dictionary_number(dictionary_row_text(row, kIntlenUnit, kIntlenUnits));
  std::string datatype = dictionary_row_text(row, kDatatypeUnit, kDatatypeUnits);
  if (skipped_field(name, skip_unnamed, intlen, datatype)) return std::nullopt;
  return make_field(std::move(name), std::move(datatype),
                    dictionary_row_text(row, kRollnameUnit, kRollnameUnits),
                    dictionary_number32(dictionary_row_text(row, kPositionUnit, kPositionUnits)),
                    dictionary_number(dictionary_row_text(row, kOffsetUnit, kOffsetUnits)), intlen,
                    dictionary_number(dictionary_row_text(row, kDecimalsUnit, kDecimalsUnits)),
                    unit_char(row_unit(row, kInttypeUnit)));
}

std::vector<DictionaryField> fields_from_lines_descr(std::span<const wire::DeepNode> nodes) {
  std::vector<DictionaryField> out;
  const wire::DeepNode* lines = nullptr;
  for (const auto& n : nodes) {
    if (n.name == kLinesDescr) {
      lines = &n;
      break;
    }
  }
  if (!lines) return out;
  const wire::DeepNode* fields = nullptr;
  for (const auto& c : lines->children) {
    if ((fields = wire::child(c, kLinesFields))) break;
  }
  if (!fields) return out;
  for (const auto& row : fields->children) {
    auto text = [&row](std::string_view column) {
      return std::string(wire::trim_unicode(wire::child_text(row, column).value_or("")));
    };
    std::string name = text("FIELDNAME");
    const std::uint64_t intlen = dictionary_number(text("INTLEN"));
    std::string datatype = text("DATATYPE");
    if (skipped_field(name, true, intlen, datatype)) continue;
    const std::string inttype = text("INTTYPE");
    std::size_t pos = 0;
    const char32_t letter = inttype.empty() ? U' ' : wire::next_utf8(inttype, pos);
    out.push_back(make_field(std::move(name), std::move(datatype), text("ROLLNAME"),
                             dictionary_number32(text("POSITION")),
                             dictionary_number(text("OFFSET")), intlen,
                             dictionary_number(text("DECIMALS")), letter));
  }
  return out;
}

// ---------------------------------------------------------------- layout

FieldLayout ddic_type_field(std::string_view datatype, std::uint64_t leng, std::uint64_t decimals) {
  struct Fixed {
    std::string_view datatype;
    AbapType::Kind kind;
    std::uint64_t width;
  };
  static constexpr Fixed kFixed[] = {
      {"INT1", AbapType::Int1, 1},       {"INT2", AbapType::Int2, 2},
      {"INT4", AbapType::Int4, 4},       {"INT8", AbapType::Int8, 8},
      {"FLTP", AbapType::Float, 8},      {"UTCL", AbapType::Utclong, 8},
      {"UTCLONG", AbapType::Utclong, 8}, {"DATS", AbapType::Date, 16},
      {"TIMS", AbapType::Time, 12},      {"STRG", AbapType::String, 8},
      {"RSTR", AbapType::XString, 8},    {"RAWSTRING", AbapType::XString, 8},
  };
  FieldLayout f;
  f.datatype = std::string(datatype);
  f.decimals = decimals;
  const std::uint64_t l = leng == 0 ? 1 : leng;
  for (const auto& fixed : kFixed) {
    if (fixed.datatype == datatype) {
      f.abap_type = fixed.kind;
      f.width = fixed.width;
      return f;
    }
  }
  if (datatype == "RAW" || datatype == "LRAW") {
    f.abap_type = AbapType::Byte;
    f.width = l;
  } else if (datatype == "DEC" || datatype == "CURR" || datatype == "QUAN") {
    f.abap_type = AbapType::Bcd;
    f.width = leng / 2 + 1;
  } else {
    f.abap_type = AbapType::Char;
    f.width = saturating_mul(2, l);
  }
  return f;
}

std::uint64_t field_alignment(const FieldLayout& field) {
  const bool stru = is_structure_datatype(field.datatype);
  switch (field.abap_type.kind) {
    case AbapType::Char:
    case AbapType::Numc:
    case AbapType::Date:
    case AbapType::Time:
      return stru ? 8 : 2;
    case AbapType::Bcd:
      return stru ? 8 : 1;
    case AbapType::Int1:
    case AbapType::Byte:
      return 1;
    case AbapType::Int2:
      return 2;
    case AbapType::Int4:
      return 4;
    case AbapType::Float:
    case AbapType::Int8:
    case AbapType::String:
    case AbapType::XString:
    case AbapType::DecFloat16:
    case AbapType::Utclong:
    case AbapType::Table:
      return 8;
    case AbapType::DecFloat34:
      return 16;
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Unknown:
      break;
  }
  return stru ? 8 : 1;
}

std::vector<FieldLayout> normalise_fields(std::vector<DictionaryField> fields) {
  std::stable_sort(
      fields.begin(), fields.end(),
      [](const DictionaryField& a, const DictionaryField& b) { return a.position < b.position; });
  // Strictly increasing dictionary offsets: a field that does not start
  // after the last one kept repeats it (an include's own entry and the like).
  std::vector<FieldLayout> kept;
  kept.reserve(fields.size());
  for (auto& f : fields)
    if (kept.empty() || f.field.offset > kept.back().offset) kept.push_back(std::move(f.field));

  // The components of a nested structure lie inside its range and are part
  // of its image. Offsets now increase strictly, so every range that could
  // hold a field starts before it: the field is inside one exactly when the
  // furthest end of the structure ranges seen so far reaches its own end.
  std::vector<FieldLayout> out;
  out.reserve(kept.size());
  std::optional<std::uint64_t> furthest;
  for (auto& f : kept) {
    std::uint64_t end = 0;
    const bool bounded = !__builtin_add_overflow(f.offset, f.width, &end);
    const bool inside = bounded && furthest && *furthest >= end;
    if (bounded && f.width != 0 && is_structure_datatype(f.datatype))
      furthest = std::max(furthest.value_or(0), end);
    if (!inside) out.push_back(std::move(f));
  }
  return out;
}

std::uint64_t compute_layout(std::vector<FieldLayout>& fields) {
  std::uint64_t offset = 0;
  std::uint64_t largest = 1;
  for (auto& f : fields) {
    const std::uint64_t a = field_alignment(f);
    largest = std::max(largest, a);
    offset = round_up(offset, a);
    f.offset = offset;
    offset = saturating_add(offset, f.width);
  }
  return round_up(offset, largest);
}

std::optional<TableTypeLine> table_type_line_of(const DelimitedRow& row) {
  auto piece = [&row](std::size_t k) {
    if (k >= row.field_count()) return std::string();
    return std::string(wire::trim_unicode(row.field(k, kDd40lDelimiter)));
  };
  std::string rowtype = piece(0);
  if (!rowtype.empty()) return TableTypeLine{TableTypeLine::Named{std::move(rowtype), piece(1)}};
  std::string datatype = piece(2);
  if (datatype.empty()) return std::nullopt;
  return TableTypeLine{TableTypeLine::Elementary{std::move(datatype), dictionary_number(piece(3)),
                                                 dictionary_number(piece(4))}};
}

// ---------------------------------------------------------------- lookups

namespace {

// DDIF_FIELDINFO_GET of `name`, with ALL_TYPES.
ProtoResult<CallReply> field_info(RfcConnection& connection, Caller& caller,
                                  std::string_view name) {
  const TextImport imports[] = {{std::string(kFieldInfoTabname), std::string(name)},
                                {std::string(kFieldInfoAllTypes), "X"}};
  return caller.invoke(connection, kFieldInfoFunction, text_values(imports));
}

// A layout of `fields` under `name`, its offsets recomputed.
StructureLayoutPtr layout_of(std::string name, std::vector<FieldLayout> fields) {
  auto layout = std::make_shared<StructureLayout>();
  layout->name = std::move(name);
  layout->size = compute_layout(fields);
  layout->fields = std::move(fields);
  return layout;
}

// Describes a structure nested in the one being described: skipped (nothing)
// when it is already being described on this connection or the nesting is
// too deep; a failure is dropped.
StructureLayoutPtr describe_nested(RfcConnection& connection, Caller& caller,
                                   const std::string& name) {
  Describing& describing = connection.describing();
  if (describing.depth() >= kMaxNestedDescriptions || describing.contains(name)) return nullptr;
  const Describing::StructureScope scope(describing, name);
  auto nested = describe_structure(connection, caller, name);
  return nested ? std::move(nested).value() : nullptr;
}

// The layout of a table type by its DD40L line; none when the line leads
// nowhere and the type is to be described by its own rows.
StructureLayoutPtr table_type_layout(RfcConnection& connection, Caller& caller,
                                     const std::string& key, const TableTypeLine& line) {
  if (const auto* e = std::get_if<TableTypeLine::Elementary>(&line.line))
    return layout_of(key, {ddic_type_field(e->datatype, e->leng, e->decimals)});
  const auto& named = std::get<TableTypeLine::Named>(line.line);
  if (!wire::ascii_iequals(named.rowkind, "S")) {
    auto element = describe_element_field(connection, caller, named.rowtype);
    if (element) return layout_of(key, {std::move(element).value()});
  }
  if (wire::ascii_iequals(named.rowtype, key)) return nullptr;
  StructureLayoutPtr row = describe_nested(connection, caller, named.rowtype);
  if (!row) return nullptr;
  auto layout = std::make_shared<StructureLayout>(*row);
  layout->name = key;
  return layout;
}

// The fields of DFIES_TAB: the rows of the requested table (all rows when
// none names it), as dictionary fields.
ProtoResult<std::vector<DictionaryField>> dfies_fields(const CallReply& reply,
                                                       std::string_view key) {
  std::vector<DictionaryField> fields;
  const ReplyTable* tab = reply.table(kDfiesTab);
  if (!tab) return fields;
  QUIB_TRY(const RfcTable* rows, reply_table_rows(*tab));
  const std::size_t n = rows->chunk_count();
  bool any_named = false;
  for (std::size_t i = 0; i < n && !any_named; ++i)
    any_named = wire::ascii_iequals(
        dictionary_row_text(rows->chunk(i), kTableNameUnit, kTableNameUnits), key);
  for (std::size_t i = 0; i < n; ++i) {
    const ByteView row = rows->chunk(i);
    if (any_named &&
        !wire::ascii_iequals(dictionary_row_text(row, kTableNameUnit, kTableNameUnits), key))
      continue;
    if (auto f = parse_dfies_row(row, true)) fields.push_back(std::move(*f));
  }
  return fields;
}

// A nested structure's field is as wide as the furthest end of the nested
// layout's fields, when that is wider.
void widen_to_nested(FieldLayout& field, const StructureLayout& nested) {
  for (const auto& f : nested.fields) {
    std::uint64_t end = 0;
    if (!__builtin_add_overflow(f.offset, f.width, &end)) field.width = std::max(field.width, end);
  }
}

// The bytes of the DFIES_WA export (decoded as bytes, or kept undecoded),
// or none when the reply has no such value.
std::optional<ByteView> dfies_wa(const CallReply& reply) {
  const wire::RfcValue* wa = reply.value(kDfiesWa);
  if (wa && wa->is_bytes()) return ByteView(wa->as_bytes());
  if (wa && wa->is_undecoded()) return ByteView(wa->as_undecoded().bytes);
  return std::nullopt;
}

bool is_table_type(const CallReply& reply) {
  const wire::RfcValue* type = reply.value(kDdobjtype);
  return type && type->is_text() &&
         wire::ascii_iequals(wire::trim_unicode(type->as_text()), kDdobjtypeTableType);
}

}  // namespace

ProtoResult<StructureLayoutPtr> describe_structure(RfcConnection& connection, Caller& caller,
                                                   std::string_view name) {
  const std::string key = wire::ascii_upper(name);
  MetadataCache& cache = *connection.cache();
  const std::string system = connection.metadata_scope();
  if (auto hit = cache.get_structure_layout(system, key)) return hit;

  QUIB_TRY(const CallReply reply, field_info(connection, caller, key));

  StructureLayoutPtr layout;
  if (is_table_type(reply)) {
    QUIB_TRY(const std::optional<TableTypeLine> line, describe_table_type(connection, caller, key));
    if (line) layout = table_type_layout(connection, caller, key, *line);
  }
  if (!layout) {
    QUIB_TRY(std::vector<DictionaryField> found, dfies_fields(reply, key));
    if (found.empty()) found = fields_from_lines_descr(reply.deep_nodes);
    if (found.empty())
      return wire::err(ProtocolError::unexpected_record(
          kStepDescribeStructure,
          fmt::format("{} has no readable fields; is it a DDIC type?", key)));
    std::vector<FieldLayout> fields = normalise_fields(std::move(found));
    for (auto& f : fields) {
      if (!is_structure_datatype(f.datatype) || f.rollname.empty()) continue;
      if (StructureLayoutPtr nested = describe_nested(connection, caller, f.rollname))
        widen_to_nested(f, *nested);
    }
    layout = layout_of(key, std::move(fields));
  }
  cache.put_structure_layout(system, key, layout);
  return layout;
}

ProtoResult<FieldLayout> describe_element_field(RfcConnection& connection, Caller& caller,
                                                std::string_view name) {
  QUIB_TRY(const CallReply reply, field_info(connection, caller, name));
  const std::optional<ByteView> wa = dfies_wa(reply);
  if (!wa)
    return wire::err(ProtocolError::unexpected_record(
        kStepDescribeElementField, fmt::format("{} returned no DFIES_WA", name)));
  auto f = parse_dfies_row(*wa, false);
  if (!f)
    return wire::err(ProtocolError::unexpected_record(
        kStepDescribeElementField, fmt::format("{} is not a readable data element", name)));
  // The element's field stands alone: unnamed, at offset 0.
  FieldLayout field = std::move(f->field);
  field.name.clear();
  field.offset = 0;
  return field;
}

ProtoResult<std::optional<TableTypeLine>> describe_table_type(RfcConnection& connection,
                                                              Caller& caller,
                                                              std::string_view name) {
  MetadataCache& cache = *connection.cache();
  const std::string system = connection.metadata_scope();
  if (auto hit = cache.get_table_type_line(system, name)) {
    if (!*hit) return std::optional<TableTypeLine>();
    return std::optional<TableTypeLine>(**hit);
  }
  ReadTableOptions options;
  for (const char* column : kDd40lColumns) options.fields.emplace_back(column);
  options.where.push_back(fmt::format("TYPENAME = '{}'", name));
  options.delimiter = kDd40lDelimiter;
  QUIB_TRY(const std::vector<DelimitedRow> rows,
           read_table(connection, caller, kTableTypeTable, options));
  std::optional<TableTypeLine> line;
  if (!rows.empty()) line = table_type_line_of(rows.front());
  cache.put_table_type_line(system, name,
                            line ? std::make_shared<const TableTypeLine>(*line) : nullptr);
  return line;
}

ProtoResult<std::uint32_t> element_description(RfcConnection& connection, Caller& caller,
                                               std::string_view name) {
  const std::string key = wire::ascii_upper(name);
  MetadataCache& cache = *connection.cache();
  const std::string system = connection.metadata_scope();
  if (auto hit = cache.get_element_decimals(system, key)) return *hit;

  auto reply = field_info(connection, caller, key);
  std::uint32_t decimals = 0;
  if (!reply) {
    if (!reply.error().is(ProtocolError::AbapException)) return wire::err(std::move(reply).error());
  } else if (const std::optional<ByteView> wa = dfies_wa(*reply)) {
    decimals = dfies_decimals(*wa);
  }
  cache.put_element_decimals(system, key, decimals);
  return decimals;
}

}  // namespace quib::proto

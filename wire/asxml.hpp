// asXML values: field values spelled the way the server's XML serialisation
// spells them inside a basXML document. Dates "YYYY-MM-DD", times
// "HH:MM:SS", numbers in decimal, structures as child elements, table rows
// as "item" elements, binary fields as raw bytes.
//
// Writing turns a call's parameters (TypedValues) into a BasxmlDocument;
// reading turns one element's content back into an RfcValue for a field of
// known type, or a structured element into a DeepNode tree.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wire/basxml.hpp"
#include "wire/bytes.hpp"
#include "wire/deep.hpp"
#include "wire/result.hpp"
#include "wire/types.hpp"

namespace quib::wire {

struct TypedValue;
struct StructureField;

// The (name, value) pairs of a structure, in field order. A named struct
// rather than std::pair: the types nest through TypedValue, and std::pair's
// constructibility checks cannot be instantiated on a type still being
// defined.
using StructureFields = std::vector<StructureField>;
using TableRows = std::vector<TypedValue>;

// A parameter value as the basXML encoder builds it: a scalar RfcValue, a
// structure (named fields in field order) or a table (one value per row).
// Its kinds continue those of RfcValue: the five scalar kinds first, then
// Structure and Table.
class NestedValue {
 public:
  enum class Kind : std::uint8_t { Text, Int, Float, Bytes, Undecoded, Structure, Table };

  // Defined below, once TypedValue is complete.
  NestedValue();
  NestedValue(RfcValue v);  // NOLINT: implicit on purpose

  static NestedValue scalar(RfcValue v);
  static NestedValue structure(StructureFields fields);
  static NestedValue table(TableRows rows);

  Kind kind() const;
  bool is_scalar() const { return form_ == Form::Scalar; }
  bool is_structure() const { return form_ == Form::Structure; }
  bool is_table() const { return form_ == Form::Table; }

  // Accessors; each is meaningful for its own form only (the others hold an
  // empty value).
  const RfcValue& as_scalar() const { return scalar_; }
  const StructureFields& as_structure() const { return fields_; }
  const TableRows& as_table() const { return rows_; }

  friend bool operator==(const NestedValue& a, const NestedValue& b);

 private:
  // The value types nest through TypedValue, which is incomplete here; plain
  // members keep every container instantiation lazy.
  enum class Form : std::uint8_t { Scalar, Structure, Table };
  Form form_ = Form::Scalar;
  RfcValue scalar_;
  StructureFields fields_;
  TableRows rows_;
};

// A value with the field's type: decimals are the decimal places of a packed
// or decimal-float field, width the byte width of a Byte field.
struct TypedValue {
  NestedValue value;
  AbapType ty;
  std::uint32_t decimals = 0;
  std::uint64_t width = 0;

  friend bool operator==(const TypedValue&, const TypedValue&) = default;
};

struct StructureField {
  std::string name;
  TypedValue value;

  friend bool operator==(const StructureField&, const StructureField&) = default;
};

inline NestedValue::NestedValue() = default;
inline NestedValue::NestedValue(RfcValue v) : scalar_(std::move(v)) {}
inline NestedValue NestedValue::scalar(RfcValue v) { return NestedValue(std::move(v)); }

// ---------------------------------------------------------------------------
// Errors

// The descriptions that stand in CannotRender's `what` beside the kind words.
inline constexpr std::string_view kWhatStructured = "structured";
inline constexpr std::string_view kWhatBadDate = "a date in neither YYYYMMDD nor YYYY-MM-DD form";
inline constexpr std::string_view kWhatBadTime = "a time in neither HHMMSS nor HH:MM:SS form";
inline constexpr std::string_view kWhatNoSeparator = "a timestamp without a date/time separator";
inline constexpr std::string_view kWhatNotFloat = "text that is not a float";
inline constexpr std::string_view kWhatNotInteger = "text that is not an integer";

class AsxmlError {
 public:
  enum class Kind : std::uint8_t { NoRendering, CannotRender };

  static AsxmlError no_rendering(AbapType ty) { return AsxmlError(Kind::NoRendering, ty, {}); }
  static AsxmlError cannot_render(AbapType ty, std::string_view what) {
    return AsxmlError(Kind::CannotRender, ty, std::string(what));
  }

  Kind kind() const { return kind_; }
  AbapType ty() const { return ty_; }
  const std::string& what() const { return what_; }

  // "basXML has no rendering for {ty}" or
  // "a {ty} cannot be rendered from a {what} value".
  std::string message() const;

  friend bool operator==(const AsxmlError&, const AsxmlError&) = default;

 private:
  AsxmlError(Kind k, AbapType ty, std::string what) : kind_(k), ty_(ty), what_(std::move(what)) {}
  Kind kind_;
  AbapType ty_;
  std::string what_;
};

template <class T>
using AsxmlResult = Result<T, AsxmlError>;

// The kind word of a value in CannotRender: "text", "integer", "float",
// "bytes", "undecoded".
std::string_view value_kind_word(const RfcValue& v);

// ---------------------------------------------------------------------------
// Writing

// The content a scalar value renders to: nothing, a text or bytes.
struct ScalarContent {
  ContentKind kind = ContentKind::Empty;  // Empty, Text or Bytes
  std::string text;
  Bytes bytes;

  friend bool operator==(const ScalarContent&, const ScalarContent&) = default;
};

// A Byte field wider than this cannot be carried by basXML (its lengths are
// 21-bit varints); rendering one is refused before its padding is built.
inline constexpr std::uint64_t kMaxRenderedByteWidth = kBasxmlVarintLimit - 1;

// The content of a Scalar value for its field type.
AsxmlResult<ScalarContent> scalar_content(const TypedValue& value);

// 32 significant digits at most, fixed notation, no trailing zeros: 1.5
// gives "1.5", 0.1 gives "0.10000000000000000555111512312578". NaN, the
// infinities and magnitudes of about 10^32 and above have no rendering.
AsxmlResult<std::string> render_float(double v);

// Builds the element of one value in `doc` (not yet placed as a parameter):
// structures as one child per field, tables as "item" rows with the hint
// attribute "lines", scalars by scalar_content.
AsxmlResult<ElementId> value_to_element(BasxmlDocument& doc, std::string_view name,
                                        const TypedValue& value);

// The document of a call's parameters: version "1.0", one element per
// parameter in order. The first error ends the conversion.
AsxmlResult<BasxmlDocument> params_to_elements(
    const std::vector<std::pair<std::string, TypedValue>>& params);

// ---------------------------------------------------------------------------
// Reading

// Zero-filled Byte values read from text are refused beyond this width (the
// width comes from the partner's dictionary); the field codec fills no wider.
inline constexpr std::uint64_t kMaxReadByteWidth = kMaxFieldFill;

// The value of one element's content for a field of the given type and
// width.
AsxmlResult<RfcValue> value_from_content(const Content& content, AbapType ty, std::uint64_t width);

// The same for a text (Empty content reads as the empty text).
AsxmlResult<RfcValue> value_from_text(std::string_view text, AbapType ty, std::uint64_t width);

// A structured element as a deep node: names unescaped, binary content as
// base64 in lines of 76 characters, children of a table ("lines" hint)
// named "item". Works without recursion on the element depth.
DeepNode element_to_deep_node(const Element& element);
// The same with every node taken from `budget` (deep_node_cost) as it is
// filled in, and reported to it as work. When the budget refuses or its
// owner says stop, the nodes not yet filled in stay empty; the caller asks
// the budget.
DeepNode element_to_deep_node(const Element& element, ExpansionBudget& budget);

}  // namespace quib::wire

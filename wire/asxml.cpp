#include "wire/asxml.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <charconv>
#include <cmath>

#include "wire/ascii.hpp"
#include "wire/base64.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

constexpr std::string_view kItem = "item";
constexpr std::string_view kLinesHint = "lines";
constexpr std::string_view kDocumentVersion = "1.0";
constexpr std::string_view kZeroDate = "0000-00-00";
constexpr std::string_view kZeroTime = "00:00:00";
// render_float: digits after the point of the scientific form, so that the
// fixed form holds 32 significant digits at most.
constexpr int kFloatDigitsAfterPoint = 31;
constexpr std::size_t kBase64LineLength = 76;

// Only "0", blanks and NULs (or nothing): the initial value of a date or time.
bool is_initial(std::string_view s) {
  return std::all_of(s.begin(), s.end(), [](char c) { return c == '0' || c == ' ' || c == '\0'; });
}

// digits x a, sep, digits x b, sep, digits x c.
bool matches_pattern(std::string_view s, std::size_t a, std::size_t b, std::size_t c, char sep) {
  if (s.size() != a + b + c + 2) return false;
  return all_digits(s.substr(0, a)) && s[a] == sep && all_digits(s.substr(a + 1, b)) &&
         s[a + 1 + b] == sep && all_digits(s.substr(a + b + 2, c));
}

std::string decimal_text(std::int64_t v) { return fmt::format("{}", v); }

// The text a Text or Int value stands for, or none for the other kinds.
std::optional<std::string> text_or_int(const RfcValue& v) {
  if (v.is_text()) return v.as_text();
  if (v.is_int()) return decimal_text(v.as_int());
  return std::nullopt;
}

AsxmlError refused(AbapType ty, const RfcValue& v) {
  return AsxmlError::cannot_render(ty, value_kind_word(v));
}

ScalarContent text_content(std::string text) {
  ScalarContent c;
  if (!text.empty()) {
    c.kind = ContentKind::Text;
    c.text = std::move(text);
  }
  return c;
}

ScalarContent bytes_content(Bytes bytes) {
  ScalarContent c;
  if (!bytes.empty()) {
    c.kind = ContentKind::Bytes;
    c.bytes = std::move(bytes);
  }
  return c;
}

AsxmlResult<ScalarContent> render_date(AbapType ty, std::string_view t) {
  if (is_initial(t)) return text_content(std::string(kZeroDate));
  if (t.size() == 8 && all_digits(t))
    return text_content(fmt::format("{}-{}-{}", t.substr(0, 4), t.substr(4, 2), t.substr(6, 2)));
  if (matches_pattern(t, 4, 2, 2, '-')) return text_content(std::string(t));
  return err(AsxmlError::cannot_render(ty, kWhatBadDate));
}

AsxmlResult<ScalarContent> render_time(AbapType ty, std::string_view t) {
  if (is_initial(t)) return text_content(std::string(kZeroTime));
  if (t.size() == 6 && all_digits(t))
    return text_content(fmt::format("{}:{}:{}", t.substr(0, 2), t.substr(2, 2), t.substr(4, 2)));
  if (matches_pattern(t, 2, 2, 2, ':')) return text_content(std::string(t));
  return err(AsxmlError::cannot_render(ty, kWhatBadTime));
}

// A packed or decimal-float text, given at least `decimals` places when it
// has fewer; never rounded, never checked to be a number.
AsxmlResult<ScalarContent> render_decimal(AbapType ty, std::string_view t, std::uint32_t decimals) {
  if (decimals > kMaxDecimals) return err(AsxmlError::no_rendering(ty));
  std::string text = t.empty() ? std::string("0") : std::string(t);
  if (decimals == 0) return text_content(std::move(text));
  std::string_view body = text;
  const bool negative = !body.empty() && body[0] == '-';
  if (negative) body.remove_prefix(1);
  const std::size_t dot = body.find('.');
  const std::string_view int_part = body.substr(0, dot);
  const std::string_view frac =
      dot == std::string_view::npos ? std::string_view() : body.substr(dot + 1);
  if (frac.size() >= decimals) return text_content(std::move(text));
  std::string out;
  out.reserve(text.size() + decimals + 2);
  if (negative) out.push_back('-');
  out.append(int_part);
  out.push_back('.');
  out.append(frac);
  out.append(decimals - frac.size(), '0');
  return text_content(std::move(out));
}

AsxmlResult<ScalarContent> render_utclong(AbapType ty, std::string_view t) {
  if (t.empty()) return err(AsxmlError::no_rendering(ty));
  if (t.back() == 'Z' && t.find('T') != std::string_view::npos) return text_content(std::string(t));
  const std::size_t space = t.find(' ');
  if (space == std::string_view::npos) return err(AsxmlError::cannot_render(ty, kWhatNoSeparator));
  std::string out(t);
  out[space] = 'T';
  out.push_back('Z');
  return text_content(std::move(out));
}

AsxmlResult<ScalarContent> render_bytes_to_width(AbapType ty, const Bytes& b, std::uint64_t width) {
  if (width > kMaxRenderedByteWidth) return err(AsxmlError::no_rendering(ty));
  Bytes out(b.begin(),
            b.begin() + static_cast<std::ptrdiff_t>(std::min<std::uint64_t>(b.size(), width)));
  out.resize(static_cast<std::size_t>(width), 0x00);
  return bytes_content(std::move(out));
}

}  // namespace

// ---------------------------------------------------------------------------
// NestedValue

NestedValue NestedValue::structure(StructureFields fields) {
  NestedValue v;
  v.form_ = Form::Structure;
  v.fields_ = std::move(fields);
  return v;
}

NestedValue NestedValue::table(TableRows rows) {
  NestedValue v;
  v.form_ = Form::Table;
  v.rows_ = std::move(rows);
  return v;
}

NestedValue::Kind NestedValue::kind() const {
  switch (form_) {
    case Form::Scalar:
      return static_cast<Kind>(scalar_.kind());
    case Form::Structure:
      return Kind::Structure;
    case Form::Table:
      break;
  }
  return Kind::Table;
}

bool operator==(const NestedValue& a, const NestedValue& b) {
  if (a.form_ != b.form_) return false;
  switch (a.form_) {
    case NestedValue::Form::Scalar:
      return a.scalar_ == b.scalar_;
    case NestedValue::Form::Structure:
      return a.fields_ == b.fields_;
    case NestedValue::Form::Table:
      break;
  }
  return a.rows_ == b.rows_;
}

// ---------------------------------------------------------------------------
// Errors

std::string AsxmlError::message() const {
  if (kind_ == Kind::NoRendering)
    return fmt::format("basXML has no rendering for {}", ty_.display());
  return fmt::format("a {} cannot be rendered from a {} value", ty_.display(), what_);
}

std::string_view value_kind_word(const RfcValue& v) {
  switch (v.kind()) {
    case RfcValue::Kind::Text:
      return "text";
    case RfcValue::Kind::Int:
      return "integer";
    case RfcValue::Kind::Float:
      return "float";
    case RfcValue::Kind::Bytes:
      return "bytes";
    case RfcValue::Kind::Undecoded:
      return "undecoded";
  }
  return "undecoded";
}

// ---------------------------------------------------------------------------
// Writing

AsxmlResult<std::string> render_float(double v) {
  if (!std::isfinite(v)) return err(AsxmlError::no_rendering(AbapType::Float));
  if (v == 0) return std::string("0");
  // The decimal exponent of the value rounded to 32 significant digits.
  char sci[64];
  auto r = std::to_chars(sci, sci + sizeof sci, v, std::chars_format::scientific,
                         kFloatDigitsAfterPoint);
  const std::string_view s(sci, static_cast<std::size_t>(r.ptr - sci));
  std::string_view exp_text = s.substr(s.find('e') + 1);
  if (!exp_text.empty() && exp_text[0] == '+') exp_text.remove_prefix(1);
  int e = 0;
  std::from_chars(exp_text.data(), exp_text.data() + exp_text.size(), e);
  const int places = kFloatDigitsAfterPoint - e;
  if (places < 0) return err(AsxmlError::no_rendering(AbapType::Float));
  // At most 32 digits before the point, or "0." and 31 - e <= 355 digits.
  char fixed[512];
  r = std::to_chars(fixed, fixed + sizeof fixed, v, std::chars_format::fixed, places);
  std::string out(fixed, r.ptr);
  if (out.find('.') != std::string::npos) {
    out.erase(out.find_last_not_of('0') + 1);
    if (out.back() == '.') out.pop_back();
  }
  return out;
}

AsxmlResult<ScalarContent> scalar_content(const TypedValue& tv) {
  const AbapType ty = tv.ty;
  switch (ty.kind) {
    case AbapType::Structure:
    case AbapType::DeepStructure:
    case AbapType::Table:
      return err(AsxmlError::cannot_render(ty, kWhatStructured));
    case AbapType::Unknown:
      return err(AsxmlError::no_rendering(ty));
    default:
      break;
  }
  if (!tv.value.is_scalar()) return err(AsxmlError::cannot_render(ty, kWhatStructured));
  const RfcValue& v = tv.value.as_scalar();
  switch (ty.kind) {
    case AbapType::Char:
    case AbapType::Numc:
    case AbapType::String: {
      auto t = text_or_int(v);
      if (!t) return err(refused(ty, v));
      // Trailing blanks carry no meaning in fixed-length fields; in a
      // String they are data and travel unchanged, as they do in classic
      // calls.
      if (ty != AbapType::String) t->erase(t->find_last_not_of(' ') + 1);
      return text_content(std::move(*t));
    }
    case AbapType::Date:
    case AbapType::Time:
    case AbapType::Bcd:
    case AbapType::DecFloat16:
    case AbapType::DecFloat34:
    case AbapType::Utclong: {
      auto t = text_or_int(v);
      if (!t) return err(refused(ty, v));
      const std::string_view trimmed = trim_unicode(*t);
      if (ty == AbapType::Date) return render_date(ty, trimmed);
      if (ty == AbapType::Time) return render_time(ty, trimmed);
      if (ty == AbapType::Utclong) return render_utclong(ty, trimmed);
      return render_decimal(ty, trimmed, tv.decimals);
    }
    case AbapType::Float: {
      double d = 0;
      if (v.is_float())
        d = v.as_float();
      else if (v.is_int())
        d = static_cast<double>(v.as_int());
      else
        return err(refused(ty, v));
      QUIB_TRY(std::string text, render_float(d));
      return text_content(std::move(text));
    }
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8: {
      if (v.is_int()) return text_content(decimal_text(v.as_int()));
      if (!v.is_text()) return err(refused(ty, v));
      const std::string_view trimmed = trim_unicode(v.as_text());
      return text_content(trimmed.empty() ? std::string("0") : std::string(trimmed));
    }
    case AbapType::Byte:
      if (!v.is_bytes()) return err(refused(ty, v));
      return render_bytes_to_width(ty, v.as_bytes(), tv.width);
    case AbapType::XString:
      if (!v.is_bytes()) return err(refused(ty, v));
      return bytes_content(v.as_bytes());
    default:
      return err(AsxmlError::no_rendering(ty));
  }
}

AsxmlResult<ElementId> value_to_element(BasxmlDocument& doc, std::string_view name,
                                        const TypedValue& value) {
  // Nesting is the caller's (the encoder stops at 32 levels), so the
  // recursion here is bounded by values this process built.
  if (value.value.is_structure()) {
    std::vector<ElementId> fields;
    fields.reserve(value.value.as_structure().size());
    for (const auto& [field_name, field] : value.value.as_structure()) {
      QUIB_TRY(ElementId id, value_to_element(doc, field_name, field));
      fields.push_back(id);
    }
    return doc.structure_element(name, fields);
  }
  if (value.value.is_table()) {
    std::vector<ElementId> rows;
    rows.reserve(value.value.as_table().size());
    for (const TypedValue& row : value.value.as_table()) {
      QUIB_TRY(ElementId id, value_to_element(doc, kItem, row));
      rows.push_back(id);
    }
    return doc.table_element(name, rows);
  }
  QUIB_TRY(ScalarContent c, scalar_content(value));
  switch (c.kind) {
    case ContentKind::Text:
      return doc.text_element(name, c.text);
    case ContentKind::Bytes:
      return doc.bytes_element(name, c.bytes);
    default:
      return doc.new_element(name);
  }
}

AsxmlResult<BasxmlDocument> params_to_elements(
    const std::vector<std::pair<std::string, TypedValue>>& params) {
  BasxmlDocument doc;
  doc.version = std::string(kDocumentVersion);
  for (const auto& [name, value] : params) {
    QUIB_TRY(ElementId id, value_to_element(doc, name, value));
    doc.add_param(id);
  }
  return doc;
}

// ---------------------------------------------------------------------------
// Reading

AsxmlResult<RfcValue> value_from_text(std::string_view text, AbapType ty, std::uint64_t width) {
  switch (ty.kind) {
    case AbapType::Char:
    case AbapType::Numc:
    case AbapType::String:
      return RfcValue::text(std::string(text));
    case AbapType::Date:
    case AbapType::Time: {
      std::string t(trim_unicode(text));
      const char sep = ty == AbapType::Date ? '-' : ':';
      t.erase(std::remove(t.begin(), t.end(), sep), t.end());
      return RfcValue::text(std::move(t));
    }
    case AbapType::Bcd:
    case AbapType::DecFloat16:
    case AbapType::DecFloat34: {
      const std::string_view t = trim_unicode(text);
      return RfcValue::text(t.empty() ? std::string("0") : std::string(t));
    }
    case AbapType::Float: {
      const std::string_view t = trim_unicode(text);
      if (t.empty()) return RfcValue::floating(0.0);
      if (auto d = parse_double_text(t)) return RfcValue::floating(*d);
      return err(AsxmlError::cannot_render(ty, kWhatNotFloat));
    }
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8: {
      const std::string_view t = trim_unicode(text);
      if (t.empty()) return RfcValue::integer(0);
      if (auto i = parse_int64_text(t)) return RfcValue::integer(*i);
      return err(AsxmlError::cannot_render(ty, kWhatNotInteger));
    }
    case AbapType::Byte:
      if (width > kMaxReadByteWidth) return err(AsxmlError::no_rendering(ty));
      return RfcValue::bytes(Bytes(static_cast<std::size_t>(width), 0x00));
    case AbapType::XString:
      return RfcValue::bytes(Bytes{});
    case AbapType::Utclong: {
      std::string t(trim_unicode(text));
      if (!t.empty() && t.back() == 'Z') t.pop_back();
      if (const std::size_t tee = t.find('T'); tee != std::string::npos) t[tee] = ' ';
      return RfcValue::text(std::move(t));
    }
    default:
      return err(AsxmlError::cannot_render(ty, kWhatStructured));
  }
}

AsxmlResult<RfcValue> value_from_content(const Content& content, AbapType ty, std::uint64_t width) {
  switch (content.kind()) {
    case ContentKind::Bytes: {
      if (ty != AbapType::Byte && ty != AbapType::XString)
        return err(AsxmlError::cannot_render(ty, "bytes"));
      const ByteView b = content.bytes();
      return RfcValue::bytes(Bytes(b.begin(), b.end()));
    }
    case ContentKind::Elements:
      return err(AsxmlError::cannot_render(ty, kWhatStructured));
    case ContentKind::Text:
      return value_from_text(content.text(), ty, width);
    case ContentKind::Empty:
      break;
  }
  return value_from_text({}, ty, width);
}

namespace {

std::string base64_lines(ByteView bytes) {
  const std::string flat = base64_encode(bytes);
  std::string out;
  out.reserve(flat.size() + flat.size() / kBase64LineLength);
  for (std::size_t i = 0; i < flat.size(); i += kBase64LineLength) {
    if (i > 0) out.push_back('\n');
    out.append(flat, i, kBase64LineLength);
  }
  return out;
}

}  // namespace

namespace {

DeepNode deep_node_of(const Element& element, ExpansionBudget* budget) {
  struct Work {
    Element element;
    DeepNode* node;
    bool table_row;  // a child of a table: named "item"
  };
  DeepNode root;
  // What a node costs is taken before it is made: the records of a node's
  // children when they are made, a node's name and text when it is filled
  // in (binary content becomes base64 text, four bytes for every three).
  const auto affords = [budget](std::uint64_t cost) {
    return budget == nullptr || (budget->take(cost) && budget->work(cost));
  };
  if (!affords(sizeof(DeepNode))) return root;
  std::vector<Work> work{{element, &root, false}};
  while (!work.empty()) {
    Work w = work.back();
    work.pop_back();
    w.node->name = w.table_row ? std::string(kItem) : unescape_name(w.element.name());
    const Content c = w.element.content();
    if (!affords(w.node->name.size() + c.text().size() + c.bytes().size() / 3 * 4 + 4)) break;
    if (c.is_elements() && !affords(c.children().size() * sizeof(DeepNode))) break;
    switch (c.kind()) {
      case ContentKind::Text:
        w.node->text = std::string(c.text());
        break;
      case ContentKind::Bytes:
        w.node->text = base64_lines(c.bytes());
        break;
      case ContentKind::Elements: {
        const bool is_table = w.element.attr(kLinesHint, Namespace::Hint).has_value();
        const ElementRange children = c.children();
        // Every child node exists before any address is handed out, so the
        // addresses stay valid while the subtrees are filled in.
        w.node->children.resize(children.size());
        std::size_t i = 0;
        for (Element child : children) {
          if (i == w.node->children.size()) break;
          work.push_back({child, &w.node->children[i++], is_table});
        }
        break;
      }
      case ContentKind::Empty:
        break;
    }
  }
  return root;
}

}  // namespace

DeepNode element_to_deep_node(const Element& element) { return deep_node_of(element, nullptr); }

DeepNode element_to_deep_node(const Element& element, ExpansionBudget& budget) {
  return deep_node_of(element, &budget);
}

}  // namespace quib::wire

#include "proto/call/basxml.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cstring>
#include <iterator>
#include <limits>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "proto/call/description.hpp"
#include "wire/container.hpp"
#include "wire/deep.hpp"
#include "wire/saturating.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

using wire::AbapType;
using wire::Bytes;
using wire::ByteView;
using wire::Content;
using wire::ContentKind;
using wire::Element;
using wire::ElementId;
using wire::NestedValue;
using wire::RfcValue;
using wire::TypedValue;

namespace {

ProtocolError unsupported(std::string detail) {
  return ProtocolError::unsupported(kStepBasxml, std::move(detail));
}

ProtocolError no_row_type(std::string_view what, std::string_view type_name) {
  return unsupported(fmt::format("no row type described for {} ({})", what, type_name));
}

ProtocolError nests_too_deep(std::string_view layout, std::string_view field) {
  return unsupported(
      fmt::format("{}.{} nests structures more than {} deep; the layout refers to itself", layout,
                  field, kBasxmlMaxStructureDepth));
}

ProtocolError image_too_large(std::string_view layout, std::uint64_t bytes) {
  return unsupported(fmt::format("{} claims a {}-byte row, past the {}-byte limit", layout, bytes,
                                 kBasxmlMaxImage));
}

bool is_nested_structure(const FieldLayout& f) {
  return f.datatype == kDatatypeStructure && !f.rollname.empty();
}

// A data element or an elementary table line: one field without a name. Its
// rows are the value itself (<item>1.23</item>), not a structure of one
// unnamed component, which no XML name could spell.
bool is_elementary(const StructureLayout& layout) {
  return layout.fields.size() == 1 && layout.fields[0].name.empty();
}

// Two fields whose names are equal ignoring ASCII case. Layouts are the
// peer's and may be long: one pass with a set.
bool has_duplicate_names(const StructureLayout& layout) {
  std::unordered_set<std::string> seen;
  seen.reserve(layout.fields.size());
  for (const FieldLayout& f : layout.fields)
    if (!seen.insert(wire::ascii_upper(f.name)).second) return true;
  return false;
}

const StructureLayout* find_type(const BasxmlTypes& types, std::string_view name) {
  auto it = types.find(std::string(name));
  return it == types.end() || !it->second ? nullptr : it->second.get();
}

// The initial value of a field that no value names.
RfcValue initial_value(AbapType ty) {
  switch (ty.kind) {
    case AbapType::Float:
      return RfcValue::floating(0.0);
    case AbapType::Int1:
    case AbapType::Int2:
    case AbapType::Int4:
    case AbapType::Int8:
      return RfcValue::integer(0);
    case AbapType::Byte:
    case AbapType::XString:
      return RfcValue::bytes({});
    default:
      return RfcValue::text({});
  }
}

TypedValue scalar_item(RfcValue v, AbapType ty, std::uint64_t decimals, std::uint64_t width) {
  return TypedValue{NestedValue::scalar(std::move(v)), ty, static_cast<std::uint32_t>(decimals),
                    static_cast<std::uint32_t>(width)};
}

TypedValue empty_table_item() { return TypedValue{NestedValue::table({}), AbapType::Table, 0, 0}; }

ByteView value_bytes(const RfcValue& v) {
  if (v.is_bytes()) return v.as_bytes();
  if (v.is_text())
    return ByteView(reinterpret_cast<const std::uint8_t*>(v.as_text().data()), v.as_text().size());
  return {};
}

// ---------------------------------------------------------------- request

constexpr std::string_view kItem = "item";

// What the encoder knows of the layouts it meets: whether a name repeats
// (asked once per layout, not once per row).
class EncodeContext {
 public:
  explicit EncodeContext(const BasxmlTypes& types) : types(types) {}

  bool duplicates(const StructureLayout& layout) {
    auto it = duplicates_.find(&layout);
    if (it == duplicates_.end())
      it = duplicates_.emplace(&layout, has_duplicate_names(layout)).first;
    return it->second;
  }

  const BasxmlTypes& types;
  std::vector<RfcValue> scratch;

 private:
  std::unordered_map<const StructureLayout*, bool> duplicates_;
};

// The values of one decoded image, found by field: positionally when the
// layout names each field once (decode_structure_values yields one value per
// field of non-zero width, in layout order), else through the map of
// upper-cased names, where a later duplicate wins.
class FieldValues {
 public:
  FieldValues(const StructureLayout& layout, std::vector<RfcValue>& decoded, bool duplicates)
      : layout_(layout), decoded_(&decoded) {
    if (duplicates) {
      std::size_t k = 0;
      for (const FieldLayout& f : layout.fields) {
        if (f.width == 0) continue;
        if (k < decoded.size()) by_name_[wire::ascii_upper(f.name)] = std::move(decoded[k]);
        ++k;
      }
      names_ = &by_name_;
    }
  }
  FieldValues(const StructureLayout& layout, const std::map<std::string, RfcValue>& values)
      : layout_(layout), names_(&values) {}
  FieldValues(const FieldValues&) = delete;
  FieldValues& operator=(const FieldValues&) = delete;

  // The value of field i, asked for in layout order.
  RfcValue take(std::size_t i) {
    const FieldLayout& f = layout_.fields[i];
    if (!names_) {
      if (f.width == 0 || next_ >= decoded_->size()) return initial_value(f.abap_type);
      return std::move((*decoded_)[next_++]);
    }
    auto it = names_->find(wire::ascii_upper(f.name));
    return it == names_->end() ? initial_value(f.abap_type) : it->second;
  }

 private:
  const StructureLayout& layout_;
  std::vector<RfcValue>* decoded_ = nullptr;
  std::map<std::string, RfcValue> by_name_;
  const std::map<std::string, RfcValue>* names_ = nullptr;
  std::size_t next_ = 0;
};

ProtoResult<TypedValue> items_of(const StructureLayout& layout, FieldValues& values,
                                 EncodeContext& ctx, std::size_t depth);

// A nested structure field: its bytes (zero-padded to the nested layout's
// size) taken apart by the nested layout.
ProtoResult<TypedValue> nested_item(const StructureLayout& layout, const FieldLayout& f,
                                    const RfcValue& value, EncodeContext& ctx, std::size_t depth) {
  if (depth >= kBasxmlMaxStructureDepth) return wire::err(nests_too_deep(layout.name, f.name));
  const StructureLayout* nested = find_type(ctx.types, f.rollname);
  if (!nested) return wire::err(no_row_type(fmt::format("{}.{}", layout.name, f.name), f.rollname));
  // The padding is built from the peer's layout size: bounded first.
  if (nested->size > kMaxStructureImage)
    return wire::err(image_too_large(nested->name, nested->size));
  Bytes image;
  if (value.is_bytes()) image = value.as_bytes();
  if (image.size() < nested->size) image.resize(static_cast<std::size_t>(nested->size), 0);
  std::vector<RfcValue> decoded;
  QUIB_CHECK(decode_structure_values(*nested, image, decoded));
  FieldValues values(*nested, decoded, ctx.duplicates(*nested));
  return items_of(*nested, values, ctx, depth + 1);
}

ProtoResult<TypedValue> items_of(const StructureLayout& layout, FieldValues& values,
                                 EncodeContext& ctx, std::size_t depth) {
  wire::StructureFields items;
  items.reserve(layout.fields.size());
  for (std::size_t i = 0; i < layout.fields.size(); ++i) {
    const FieldLayout& f = layout.fields[i];
    RfcValue v = values.take(i);
    if (f.abap_type == AbapType::Table) {
      items.push_back({f.name, empty_table_item()});
      continue;
    }
    if (is_nested_structure(f)) {
      QUIB_TRY(TypedValue nested, nested_item(layout, f, v, ctx, depth));
      items.push_back({f.name, std::move(nested)});
      continue;
    }
    items.push_back({f.name, scalar_item(std::move(v), f.abap_type, f.decimals, f.width)});
  }
  return TypedValue{NestedValue::structure(std::move(items)), AbapType::Structure, 0, layout.size};
}

// One structure or table row from its image.
ProtoResult<TypedValue> image_item(const StructureLayout& layout, ByteView image,
                                   EncodeContext& ctx) {
  QUIB_CHECK(decode_structure_values(layout, image, ctx.scratch));
  if (is_elementary(layout)) {
    const FieldLayout& f = layout.fields[0];
    RfcValue v = ctx.scratch.empty() ? initial_value(f.abap_type) : std::move(ctx.scratch[0]);
    if (is_nested_structure(f)) return nested_item(layout, f, v, ctx, 0);
    if (f.abap_type == AbapType::Table) return empty_table_item();
    return scalar_item(std::move(v), f.abap_type, f.decimals, f.width);
  }
  FieldValues values(layout, ctx.scratch, ctx.duplicates(layout));
  return items_of(layout, values, ctx, 0);
}

// The document, built while the items are made: each parameter and each
// table row is rendered as soon as it is complete, so that no tree of items
// is held. The first refusal of the renderer is kept and reported once every
// item has been made, as if all items had been made first and rendered
// afterwards.
class DocumentSink {
 public:
  DocumentSink() { doc_.version = std::string(kBasxmlDocumentVersion); }

  void param(std::string_view name, const TypedValue& value) {
    if (auto id = render(name, value)) doc_.add_param(*id);
  }
  void row(const TypedValue& value) {
    if (auto id = render(kItem, value)) rows_.push_back(*id);
  }
  void end_table(std::string_view name) {
    if (!error_) doc_.add_param(doc_.table_element(name, rows_));
    rows_.clear();
  }

  // `function` names the call in the refusal of a document whose storage
  // would pass 4 GiB, which no payload can carry.
  ProtoResult<wire::BasxmlDocument> finish(std::string_view function) && {
    if (error_) return wire::err(unsupported(error_->message()));
    if (doc_.storage_full())
      return wire::err(unsupported(
          fmt::format("the parameters of {} do not fit one basXML document", function)));
    return std::move(doc_);
  }

 private:
  std::optional<ElementId> render(std::string_view name, const TypedValue& value) {
    if (error_) return std::nullopt;
    auto id = wire::value_to_element(doc_, name, value);
    if (!id) {
      error_ = std::move(id).error();
      return std::nullopt;
    }
    return id.value();
  }

  wire::BasxmlDocument doc_;
  std::vector<ElementId> rows_;
  std::optional<wire::AsxmlError> error_;
};

std::string_view value_kind_phrase(const RfcValue& v) {
  switch (v.kind()) {
    case RfcValue::Kind::Text:
      return "text";
    case RfcValue::Kind::Int:
      return "an integer";
    case RfcValue::Kind::Float:
      return "a float";
    default:
      return "an undecoded value";
  }
}

// A scalar import as the document carries it: refused as the classic route
// refuses it (encode_given_value), and a Char, Numc, Date or Time as the
// text its field holds (a Numc zero-filled, a blank date as the initial
// one).
ProtoResult<RfcValue> given_scalar(const ParameterDescription& p, const RfcValue& value,
                                   std::uint32_t places) {
  const std::uint32_t width = p.length;
  if (p.type.is_text_kind() && !value.is_undecoded()) {
    auto text = wire::given_text(value, p.type, width);
    if (!text) return wire::err(wire::refused_at(std::move(text).error(), p.name, value));
    return RfcValue::text(std::move(text).value());
  }
  auto checked = wire::encode_given_value(value, p.type, width, places);
  if (!checked) return wire::err(wire::refused_at(std::move(checked).error(), p.name, value));
  return value;
}

// A table import given as one value: whole rows of the row type's size.
ProtoStatus table_from_value(const ParameterDescription& p, const RfcValue& value,
                             EncodeContext& ctx, DocumentSink& sink) {
  const StructureLayout* layout = find_type(ctx.types, p.type_name);
  if (!layout) return wire::err(no_row_type(p.name, p.type_name));
  if (!value.is_bytes())
    return wire::err(unsupported(
        fmt::format("table {} needs its rows as bytes, got {}", p.name, value_kind_phrase(value))));
  const Bytes& bytes = value.as_bytes();
  if (!bytes.empty()) {
    const std::uint64_t s = layout->size;
    if (s == 0)
      return wire::err(unsupported(
          fmt::format("table {} has a zero-width row type ({}), so {} bytes describe no rows",
                      p.name, p.type_name, bytes.size())));
    if (bytes.size() % s != 0)
      return wire::err(unsupported(fmt::format(
          "table {}: {} bytes is not a whole number of {}-byte rows", p.name, bytes.size(), s)));
    const std::size_t n = static_cast<std::size_t>(bytes.size() / s);
    for (std::size_t i = 0; i < n; ++i) {
      const ByteView row =
          ByteView(bytes).subspan(i * static_cast<std::size_t>(s), static_cast<std::size_t>(s));
      QUIB_TRY(TypedValue item, image_item(*layout, row, ctx));
      sink.row(item);
    }
  }
  sink.end_table(p.name);
  return wire::ok_unit;
}

ProtoStatus table_from_arg(const ParameterDescription& p, const wire::TableArg* arg,
                           EncodeContext& ctx, DocumentSink& sink) {
  if (arg) {
    if (arg->is_text())
      return wire::err(
          unsupported(fmt::format("table {} was given as a pre-encoded block", p.name)));
    const StructureLayout* layout = find_type(ctx.types, p.type_name);
    if (!layout) return wire::err(no_row_type(p.name, p.type_name));
    for (const Bytes& r : std::get<wire::TableArg::ByteRows>(arg->rows)) {
      QUIB_TRY(TypedValue item, image_item(*layout, r, ctx));
      sink.row(item);
    }
  }
  sink.end_table(p.name);
  return wire::ok_unit;
}

// ---------------------------------------------------------------- reply

// What the decoder knows of a layout once: the length of its images, the
// first field whose range is out of order (reported when the walk reaches
// it, after the fields before it have been read) and whether a name repeats.
struct LayoutPlan {
  std::uint64_t n = 0;
  std::size_t bad_field = std::numeric_limits<std::size_t>::max();
  std::optional<ProtocolError> bad_error;
  bool duplicate_names = false;
  bool elementary = false;
};

LayoutPlan make_plan(const StructureLayout& layout) {
  LayoutPlan plan;
  for (const FieldLayout& f : layout.fields) {
    std::uint64_t end = 0;
    if (!__builtin_add_overflow(f.offset, f.width, &end)) plan.n = std::max(plan.n, end);
  }
  plan.duplicate_names = has_duplicate_names(layout);
  plan.elementary = is_elementary(layout);
  // Ranges already taken, start -> end, disjoint.
  std::map<std::uint64_t, std::uint64_t> taken;
  for (std::size_t i = 0; i < layout.fields.size(); ++i) {
    const FieldLayout& f = layout.fields[i];
    if (f.width == 0) continue;
    std::uint64_t end = 0;
    std::optional<ProtocolError> e;
    if (__builtin_add_overflow(f.offset, f.width, &end)) {
      e = unsupported(fmt::format("{} has an out-of-range offset", f.name));
    } else if (end > plan.n) {
      e = unsupported(fmt::format("{} runs past its row", f.name));
    } else {
      // The first taken range that ends after this field starts.
      auto it = taken.upper_bound(f.offset);
      bool overlaps = it != taken.end() && it->first < end;
      if (!overlaps && it != taken.begin()) overlaps = std::prev(it)->second > f.offset;
      if (overlaps)
        e = unsupported(fmt::format("{} overlaps another field in {}", f.name, layout.name));
      else
        taken.emplace(f.offset, end);
    }
    if (e) {
      plan.bad_field = i;
      plan.bad_error = std::move(e);
      break;
    }
  }
  return plan;
}

// The children of one element, found by field name. While the fields find
// the children one after another, the next child is tried first; otherwise
// (and whenever a layout repeats a name) the first child of the name wins,
// found through an index of the children's names made at the first miss.
class Children {
 public:
  void reset(const Element* element, std::vector<Element>& storage) {
    kids_ = &storage;
    kids_->clear();
    index_.clear();
    indexed_ = false;
    cursor_ = 0;
    in_order_ = true;
    if (element && element->content().is_elements())
      for (Element child : element->content().children()) kids_->push_back(child);
  }

  const Element* find(std::string_view name, bool duplicates) {
    auto& kids = *kids_;
    if (in_order_ && !duplicates && cursor_ < kids.size() &&
        wire::ascii_iequals(kids[cursor_].name(), name))
      return &kids[cursor_++];
    in_order_ = false;
    if (!indexed_) {
      for (std::size_t i = 0; i < kids.size(); ++i)
        index_.emplace(wire::ascii_upper(kids[i].name()), i);  // the first of a name stays
      indexed_ = true;
    }
    auto it = index_.find(wire::ascii_upper(name));
    return it == index_.end() ? nullptr : &kids[it->second];
  }

 private:
  std::vector<Element>* kids_ = nullptr;
  std::unordered_map<std::string, std::size_t> index_;
  bool indexed_ = false;
  std::size_t cursor_ = 0;
  bool in_order_ = true;
};

// A structure or row element holds components (or nothing); an elementary
// line holds its value itself.
ProtoStatus check_components(const Element* element, const LayoutPlan& plan) {
  if (!element || plan.elementary) return wire::ok_unit;
  const Content c = element->content();
  if (c.is_text() || c.is_bytes())
    return wire::err(unsupported(
        fmt::format("{} carries {} rather than components", element->name(), c.debug())));
  return wire::ok_unit;
}

class ImageBuilder {
 public:
  // One list of children per nesting level, made up front: a level's list
  // is in use while the levels below it fill theirs.
  explicit ImageBuilder(const BasxmlTypes& types)
      : types_(types), scratch_(kBasxmlMaxStructureDepth + 1) {}

  // Room for a walk that starts at `depth` (nested levels below 32 are
  // refused before they are entered). Only before a walk.
  void start_at(std::size_t depth) {
    if (scratch_.size() <= depth) scratch_.resize(depth + 1);
  }

  const LayoutPlan& plan(const StructureLayout& layout) {
    auto it = plans_.find(&layout);
    if (it == plans_.end()) it = plans_.emplace(&layout, make_plan(layout)).first;
    return it->second;
  }

  // The image length of `layout`, refused past the row limit.
  ProtoResult<std::uint64_t> image_length(const StructureLayout& layout) {
    const std::uint64_t n = plan(layout).n;
    if (n > kBasxmlMaxImage) return wire::err(image_too_large(layout.name, n));
    return n;
  }

  // Writes the image of `element` (null: an element without content) into
  // `dst`, which holds image_length(layout) zero bytes; a null `dst` only
  // checks, so that an image that cannot be placed still reports the first
  // fault inside it.
  ProtoStatus fill(const Element* element, const StructureLayout& layout, std::size_t depth,
                   std::uint8_t* dst) {
    const LayoutPlan& p = plan(layout);
    QUIB_CHECK(check_components(element, p));
    if (p.n > kBasxmlMaxImage) return wire::err(image_too_large(layout.name, p.n));
    Children children;
    children.reset(p.elementary ? nullptr : element, scratch_[depth]);
    for (std::size_t i = 0; i < layout.fields.size(); ++i) {
      const FieldLayout& f = layout.fields[i];
      if (f.width == 0) continue;
      if (i == p.bad_field) return wire::err(*p.bad_error);
      if (f.abap_type == AbapType::Table) continue;
      const Element* child = p.elementary ? element : children.find(f.name, p.duplicate_names);
      if (is_nested_structure(f)) {
        QUIB_CHECK(fill_nested(layout, f, child, depth, dst));
        continue;
      }
      QUIB_CHECK(fill_field(f, child, dst));
    }
    return wire::ok_unit;
  }

 private:
  ProtoStatus fill_nested(const StructureLayout& layout, const FieldLayout& f, const Element* child,
                          std::size_t depth, std::uint8_t* dst) {
    if (depth >= kBasxmlMaxStructureDepth) return wire::err(nests_too_deep(layout.name, f.name));
    const StructureLayout* nested = find_type(types_, f.rollname);
    if (!nested)
      return wire::err(no_row_type(fmt::format("{}.{}", layout.name, f.name), f.rollname));
    const std::uint64_t nested_n = plan(*nested).n;
    // A nested image fits its field only when its length does; otherwise it
    // is only checked, and then refused.
    const bool fits = nested_n <= f.width;
    QUIB_CHECK(fill(child, *nested, depth + 1,
                    fits && dst ? dst + static_cast<std::size_t>(f.offset) : nullptr));
    if (!fits)
      return wire::err(
          unsupported(fmt::format("{}.{} is {} bytes but its type {} needs {}", layout.name, f.name,
                                  f.width, f.rollname, nested_n)));
    return wire::ok_unit;
  }

  ProtoStatus fill_field(const FieldLayout& f, const Element* child, std::uint8_t* dst) {
    const std::string_view label =
        f.name.empty() && child ? child->name() : std::string_view(f.name);
    auto value = child ? wire::value_from_content(child->content(), f.abap_type, f.width)
                       : wire::value_from_text({}, f.abap_type, f.width);
    if (!value)
      return wire::err(unsupported(fmt::format("{}: {}", label, value.error().message())));
    auto encoded =
        wire::encode_field_value(value.value(), f.abap_type, static_cast<std::uint32_t>(f.width),
                                 static_cast<std::uint32_t>(f.decimals));
    if (!encoded) return wire::err(ProtocolError(std::move(encoded).error()));
    if (dst) {
      const std::size_t n =
          static_cast<std::size_t>(std::min<std::uint64_t>(f.width, encoded->size()));
      if (n) std::memcpy(dst + static_cast<std::size_t>(f.offset), encoded->data(), n);
    }
    return wire::ok_unit;
  }

  const BasxmlTypes& types_;
  std::unordered_map<const StructureLayout*, LayoutPlan> plans_;
  std::vector<std::vector<Element>> scratch_;
};

// Work a row or parameter counts beside its image.
constexpr std::uint64_t kRowWork = 64;

// The reply's budget as the decoding of its document uses it.
class Budget {
 public:
  explicit Budget(wire::ExpansionBudget& budget) : budget_(budget) {}
  ProtoStatus take(std::uint64_t n) {
    if (budget_.take(n)) return wire::ok_unit;
    return wire::err(error());
  }
  ProtoStatus work(std::uint64_t n) {
    if (budget_.work(n)) return wire::ok_unit;
    return wire::err(decoding_stopped());
  }
  // A value or text pair: its records, its name and its text.
  ProtoStatus take_entry(std::string_view name, std::string_view text) {
    return take(kReplyEntryCost + name.size() + text.size());
  }
  ProtocolError error() const {
    if (budget_.stopped()) return decoding_stopped();
    return unsupported(reply_budget_text(budget_));
  }

 private:
  wire::ExpansionBudget& budget_;
};

ProtoStatus decode_table(const Element& e, const ParameterDescription& p, const BasxmlTypes& types,
                         ImageBuilder& builder, Budget& budget, CallReply& reply) {
  const StructureLayout* layout = find_type(types, p.type_name);
  if (!layout) return wire::err(no_row_type(p.name, p.type_name));
  const Content c = e.content();
  if (c.is_text() || c.is_bytes())
    return wire::err(
        unsupported(fmt::format("table {} carries {} rather than rows", e.name(), c.debug())));
  ReplyTable table;
  table.name = std::string(e.name());
  std::uint64_t count = 0;
  Bytes rows;
  if (c.is_elements()) {
    const wire::ElementRange children = c.children();
    // Each row is its own image; the first that cannot be built ends the
    // decoding. The room for all rows is taken from the budget at once.
    for (Element row : children) {
      QUIB_CHECK(check_components(&row, builder.plan(*layout)));
      QUIB_TRY(std::uint64_t n, builder.image_length(*layout));
      if (count == 0) {
        const std::uint64_t total = wire::saturating_mul(n, children.size());
        QUIB_CHECK(budget.take(total));
        rows.reserve(static_cast<std::size_t>(total));
      }
      const std::size_t at = rows.size();
      rows.resize(at + static_cast<std::size_t>(n), 0);
      QUIB_CHECK(builder.fill(&row, *layout, 0, rows.data() + at));
      QUIB_CHECK(budget.work(n + kRowWork));
      ++count;
    }
  }
  const std::uint64_t n = builder.plan(*layout).n;
  if (n == 0) {
    // Rows of no bytes: a table without width keeps none of them.
    table.rows = RfcTable(0);
  } else {
    table.rows.assign(n, count, std::move(rows));
  }
  table.declared_width = n;
  table.declared_count = count;
  QUIB_CHECK(budget.take_entry(table.name, {}));
  reply.tables.push_back(std::move(table));
  return wire::ok_unit;
}

ProtoStatus decode_scalar(const Element& e, const ParameterDescription& p, Budget& budget,
                          CallReply& reply) {
  auto value = wire::value_from_content(e.content(), p.type, p.length);
  if (!value) return wire::err(unsupported(fmt::format("{}: {}", p.name, value.error().message())));
  RfcValue v = std::move(value).value();
  if (v.is_text()) {
    if ((p.type == AbapType::Char || p.type == AbapType::Numc) && p.length > 1) {
      const std::size_t units = p.length / 2;
      const std::size_t have = wire::utf16_length(v.as_text());
      if (have < units) v.as_text().append(units - have, ' ');
    }
    // The value and its text pair.
    QUIB_CHECK(budget.take_entry(p.name, v.as_text()));
    QUIB_CHECK(budget.take_entry(p.name, v.as_text()));
    reply.text_pairs.emplace_back(p.name, v.as_text());
  } else {
    QUIB_CHECK(budget.take(kReplyEntryCost + p.name.size() + value_bytes(v).size()));
  }
  reply.values.emplace_back(p.name, std::move(v));
  return wire::ok_unit;
}

// --------------------------------------------------------------- selection

// ASCII case is ignored in names, without a copy of either.
struct AsciiCaseHash {
  std::size_t operator()(std::string_view s) const {
    std::uint64_t h = 0xcbf29ce484222325ull;
    for (char c : s) {
      h ^= static_cast<std::uint8_t>(c >= 'a' && c <= 'z' ? c - 0x20 : c);
      h *= 0x100000001b3ull;
    }
    return static_cast<std::size_t>(h);
  }
};
struct AsciiCaseEqual {
  bool operator()(std::string_view a, std::string_view b) const {
    return wire::ascii_iequals(a, b);
  }
};

// The components a decoding of a layout reads, for the selection: one per
// field name (ASCII case ignored), in layout order, with the nested layout
// the component is read by (null: a value, or a structure whose decoding
// fails before it reads any component).
struct Components {
  struct Entry {
    std::string_view name;  // the first field's, in the layout
    const StructureLayout* nested;
  };
  std::vector<Entry> entries;
  std::unordered_map<std::string_view, std::size_t, AsciiCaseHash, AsciiCaseEqual> index;
};

class ReplySelection final : public wire::BasxmlSelection {
 public:
  ReplySelection(const FunctionDescription& description, const BasxmlTypes& types)
      : description_(description), types_(types) {}

  bool keep(std::size_t depth, std::string_view name, wire::Namespace) override {
    if (depth == 0) {
      parameter_frame(push(), name);
      return true;
    }
    Frame& parent = frames_[open_ - 1];
    switch (parent.kind) {
      case Frame::Value:
        return false;
      case Frame::Deep:
        push().kind = Frame::Deep;
        return true;
      case Frame::Rows: {
        const StructureLayout* layout = parent.layout;
        structure_frame(push(), layout, 0);
        return true;
      }
      case Frame::Structure:
        return component(parent, name);
    }
    return false;
  }

  void closed() override { --open_; }

 private:
  struct Frame {
    enum Kind : std::uint8_t {
      Value,      // the element's own content only
      Deep,       // everything below
      Rows,       // each child a row of `layout`
      Structure,  // the components `layout` reads
    };
    Kind kind = Value;
    const StructureLayout* layout = nullptr;
    const Components* components = nullptr;
    std::size_t depth = 0;
    std::size_t cursor = 0;           // the component expected next
    std::vector<std::uint8_t> taken;  // per component: already read
  };

  // The frame of an element that opens; frames are reused, so that a row
  // costs no allocation once the first has been read.
  Frame& push() {
    if (open_ == frames_.size()) frames_.emplace_back();
    Frame& f = frames_[open_++];
    f.kind = Frame::Value;
    f.layout = nullptr;
    return f;
  }

  void structure_frame(Frame& f, const StructureLayout* layout, std::size_t depth) {
    // An elementary line is a value itself.
    if (is_elementary(*layout)) return;
    f.kind = Frame::Structure;
    f.layout = layout;
    f.components = &components_of(*layout);
    f.depth = depth;
    f.cursor = 0;
    f.taken.assign(f.components->entries.size(), 0);
  }

  // What decode_basxml_reply does with a parameter element of this name.
  void parameter_frame(Frame& f, std::string_view name) {
    const ParameterDescription* p = description_.find_parameter(name);
    if (!p) return;
    if (p->type == AbapType::DeepStructure ||
        (p->type == AbapType::Table && p->direction != ParamDirection::Table)) {
      f.kind = Frame::Deep;
      return;
    }
    const StructureLayout* layout =
        p->direction == ParamDirection::Table || p->type == AbapType::Structure
            ? find_type(types_, p->type_name)
            : nullptr;
    if (!layout) return;
    if (p->direction == ParamDirection::Table) {
      f.kind = Frame::Rows;
      f.layout = layout;
      return;
    }
    structure_frame(f, layout, 0);
  }

  // A child of a structure or row: kept when it is the first of a
  // component's name. Components mostly come in layout order: the one
  // expected next is tried before the index.
  bool component(Frame& parent, std::string_view name) {
    const Components& c = *parent.components;
    std::size_t i = parent.cursor;
    // Names mostly come spelt as the layout spells them.
    if (i < c.entries.size() &&
        (c.entries[i].name == name || wire::ascii_iequals(c.entries[i].name, name))) {
      parent.cursor = i + 1;
    } else {
      auto it = c.index.find(name);
      if (it == c.index.end()) return false;
      i = it->second;
    }
    if (parent.taken[i]) return false;
    parent.taken[i] = 1;
    const StructureLayout* nested = c.entries[i].nested;
    const std::size_t depth = parent.depth + 1;
    Frame& f = push();  // may move `parent`
    if (nested != nullptr && depth < kBasxmlMaxStructureDepth) structure_frame(f, nested, depth);
    return true;
  }

  const Components& components_of(const StructureLayout& layout) {
    auto it = components_.find(&layout);
    if (it != components_.end()) return it->second;
    Components c;
    for (const FieldLayout& field : layout.fields) {
      // ImageBuilder::fill skips fields without width and table fields.
      if (field.width == 0 || field.abap_type == AbapType::Table) continue;
      const StructureLayout* nested =
          is_nested_structure(field) ? find_type(types_, field.rollname) : nullptr;
      auto [slot, added] = c.index.emplace(field.name, c.entries.size());
      if (added) {
        c.entries.push_back({field.name, nested});
      } else if (nested) {
        // Two fields of one name read the same component; a nested layout
        // keeps its children.
        c.entries[slot->second].nested = nested;
      }
    }
    return components_.emplace(&layout, std::move(c)).first->second;
  }

  const FunctionDescription& description_;
  const BasxmlTypes& types_;
  std::vector<Frame> frames_;
  std::size_t open_ = 0;
  std::unordered_map<const StructureLayout*, Components> components_;
};

// The first reading of a reply document: the names of its parameters,
// nothing kept.
class ParameterNames final : public wire::BasxmlSelection {
 public:
  explicit ParameterNames(const FunctionDescription& description) : description_(description) {}

  bool keep(std::size_t, std::string_view name, wire::Namespace) override {
    if (const ParameterDescription* p = description_.find_parameter(name))
      if (seen_.insert(p->name).second) names_.push_back(p->name);
    return false;
  }
  void closed() override {}

  std::vector<std::string> take() && { return std::move(names_); }

 private:
  const FunctionDescription& description_;
  std::unordered_set<std::string> seen_;
  std::vector<std::string> names_;
};

}  // namespace

std::vector<std::string> select_types_for_basxml(const FunctionDescription& description,
                                                 std::span<const std::string> given) {
  std::vector<std::string> out;
  for (const ParameterDescription& p : description.parameters) {
    const bool counts = p.is_table_parameter() || p.type == AbapType::Structure ||
                        p.type == AbapType::DeepStructure;
    if (!counts || p.type_name.empty()) continue;
    const bool named = std::any_of(given.begin(), given.end(), [&](const std::string& g) {
      return wire::ascii_iequals(g, p.name);
    });
    if (!named) {
      const bool skipped = p.direction == ParamDirection::Import ||
                           p.type == AbapType::DeepStructure ||
                           (p.type == AbapType::Table && p.direction != ParamDirection::Table);
      if (skipped) continue;
    }
    if (std::find(out.begin(), out.end(), p.type_name) == out.end()) out.push_back(p.type_name);
  }
  return out;
}

ProtoResult<TypedValue> structure_items(const StructureLayout& layout,
                                        const std::map<std::string, RfcValue>& values,
                                        const BasxmlTypes& types, std::size_t depth) {
  EncodeContext ctx(types);
  FieldValues fields(layout, values);
  return items_of(layout, fields, ctx, depth);
}

ProtoResult<wire::BasxmlDocument> encode_basxml_request(const FunctionDescription& description,
                                                        const BasxmlTypes& types,
                                                        const BasxmlDecimals& decimals,
                                                        std::span<const ValueImport> imports,
                                                        std::span<const wire::TableArg> tables) {
  EncodeContext ctx(types);
  DocumentSink sink;
  for (const auto& [name, value] : imports) {
    const ParameterDescription* p = description.find_parameter(name);
    if (!p)
      return wire::err(
          unsupported(fmt::format("{} has no parameter named {}", description.name, name)));
    if (p->type == AbapType::Structure || p->type == AbapType::DeepStructure) {
      const StructureLayout* layout = find_type(types, p->type_name);
      if (!layout) return wire::err(no_row_type(p->name, p->type_name));
      QUIB_TRY(TypedValue item, image_item(*layout, value_bytes(value), ctx));
      sink.param(p->name, item);
    } else if (p->is_table_parameter()) {
      QUIB_CHECK(table_from_value(*p, value, ctx, sink));
    } else {
      auto d = decimals.find(p->name);
      const std::uint32_t places = d == decimals.end() ? 0 : d->second;
      QUIB_TRY(RfcValue given, given_scalar(*p, value, places));
      sink.param(p->name, scalar_item(std::move(given), p->type, places, p->length));
    }
  }
  for (const ParameterDescription& p : description.parameters) {
    if (!p.is_table_parameter()) continue;
    const wire::TableArg* arg = nullptr;
    for (const auto& t : tables)
      if (wire::ascii_iequals(t.name, p.name)) {
        arg = &t;
        break;
      }
    QUIB_CHECK(table_from_arg(p, arg, ctx, sink));
  }
  return std::move(sink).finish(description.name);
}

ProtoResult<Bytes> basxml_request_container(std::string_view function_name,
                                            std::span<const std::string> requested_outputs,
                                            ByteView deflated_document) {
  wire::ContainerWriter w;
  write_request_head(w, function_name, requested_outputs);
  w.put_record(wire::RecordId::BasxmlVersion, ByteView(kBasxmlVersionRecord));
  w.put_record(wire::RecordId::BasxmlPayload, deflated_document);
  w.put_record(wire::RecordId::BasxmlEnd, {});
  return finish_request(std::move(w));
}

ProtoResult<Bytes> element_to_image(const Element& element, const StructureLayout& layout,
                                    const BasxmlTypes& types, std::size_t depth) {
  ImageBuilder builder(types);
  builder.start_at(depth);
  QUIB_CHECK(check_components(&element, builder.plan(layout)));
  QUIB_TRY(std::uint64_t n, builder.image_length(layout));
  Bytes image(static_cast<std::size_t>(n), 0);
  QUIB_CHECK(builder.fill(&element, layout, depth, image.data()));
  return image;
}

bool reply_types_depend_on_names(const FunctionDescription& description) {
  for (const ParameterDescription& p : description.parameters) {
    const bool counts = p.direction == ParamDirection::Table || p.type == AbapType::Structure ||
                        p.type == AbapType::DeepStructure || p.type == AbapType::Table;
    if (!counts || p.type_name.empty()) continue;
    // The parameters that select_types_for_basxml takes only when named.
    if (p.direction == ParamDirection::Import || p.type == AbapType::DeepStructure ||
        (p.type == AbapType::Table && p.direction != ParamDirection::Table))
      return true;
  }
  return false;
}

wire::Result<std::vector<std::string>, wire::BasxmlError> reply_parameter_names(
    ByteView stream, const FunctionDescription& description, wire::ExpansionBudget& budget) {
  ParameterNames names(description);
  const std::uint64_t before = budget.used();
  auto read = wire::parse_basxml(stream, budget, &names);
  // Nothing of this reading is kept.
  budget.give_back(budget.used() - before);
  if (!read) return wire::err(std::move(read).error());
  return std::move(names).take();
}

std::unique_ptr<wire::BasxmlSelection> reply_selection(const FunctionDescription& description,
                                                       const BasxmlTypes& types) {
  return std::make_unique<ReplySelection>(description, types);
}

ProtoStatus decode_basxml_reply(const wire::BasxmlDocument& document,
                                const FunctionDescription& description, const BasxmlTypes& types,
                                CallReply& reply) {
  wire::ExpansionBudget unlimited;
  return decode_basxml_reply(document, description, types, reply, unlimited);
}

ProtoStatus decode_basxml_reply(const wire::BasxmlDocument& document,
                                const FunctionDescription& description, const BasxmlTypes& types,
                                CallReply& reply, wire::ExpansionBudget& expansion) {
  ImageBuilder builder(types);
  Budget budget(expansion);
  for (std::size_t i = 0; i < document.param_count(); ++i) {
    QUIB_CHECK(budget.work(kRowWork));
    const Element e = document.param(i);
    const ParameterDescription* p = description.find_parameter(e.name());
    if (!p) {
      const Content c = e.content();
      if (c.is_text()) {
        QUIB_CHECK(budget.take_entry(e.name(), c.text()));
        QUIB_CHECK(budget.take_entry(e.name(), c.text()));
        reply.text_pairs.emplace_back(std::string(e.name()), std::string(c.text()));
        reply.values.emplace_back(std::string(e.name()), RfcValue::text(std::string(c.text())));
      }
      continue;
    }
    if (p->type == AbapType::DeepStructure ||
        (p->type == AbapType::Table && p->direction != ParamDirection::Table)) {
      wire::DeepNode node = wire::element_to_deep_node(e, expansion);
      if (expansion.exhausted() || expansion.stopped()) return wire::err(budget.error());
      // The flattened value copies at most what the node holds.
      QUIB_CHECK(budget.take(wire::deep_tree_cost(node)));
      reply.deep_values.push_back(wire::deep_value_from_node(node));
      reply.deep_nodes.push_back(std::move(node));
      continue;
    }
    if (p->direction == ParamDirection::Table) {
      QUIB_CHECK(decode_table(e, *p, types, builder, budget, reply));
      continue;
    }
    if (p->type == AbapType::Structure) {
      const StructureLayout* layout = find_type(types, p->type_name);
      if (!layout) return wire::err(no_row_type(p->name, p->type_name));
      QUIB_CHECK(check_components(&e, builder.plan(*layout)));
      QUIB_TRY(std::uint64_t n, builder.image_length(*layout));
      QUIB_CHECK(budget.take(n + kReplyEntryCost + p->name.size()));
      Bytes image(static_cast<std::size_t>(n), 0);
      QUIB_CHECK(builder.fill(&e, *layout, 0, image.data()));
      reply.values.emplace_back(p->name, RfcValue::bytes(std::move(image)));
      continue;
    }
    QUIB_CHECK(decode_scalar(e, *p, budget, reply));
  }
  return wire::ok_unit;
}

}  // namespace quib::proto

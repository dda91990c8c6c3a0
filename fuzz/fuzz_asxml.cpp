// The asXML reader and writer on arbitrary input: reading never crashes; what
// the writer renders reads back to a value that renders the same again; float
// renderings read back exactly; and every parameter of a basXML document the
// token reader accepts converts into a deep node and into values of every
// type.
#include <cmath>
#include <cstring>
#include <string>
#include <string_view>

#include "fuzz/check.hpp"
#include "wire/asxml.hpp"
#include "wire/basxml.hpp"

using namespace quib::wire;

namespace {

using quib::fuzz::check;

AbapType type_of(std::uint8_t b) {
  const auto k = static_cast<AbapType::Kind>(b % (AbapType::Unknown + 1));
  return k == AbapType::Unknown ? AbapType::unknown('z') : AbapType(k);
}

bool renders_stably(AbapType ty) {
  switch (ty.kind) {
    case AbapType::Char:
    case AbapType::Numc:
    case AbapType::String:
    case AbapType::Date:
    case AbapType::Time:
    case AbapType::Bcd:
    case AbapType::DecFloat16:
    case AbapType::DecFloat34:
    case AbapType::Utclong:
      return true;
    default:
      return false;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size < 3) return 0;
  const AbapType ty = type_of(data[0]);
  const std::uint32_t decimals = data[1] % 40;
  const std::uint64_t width = data[2];
  const std::string_view text(reinterpret_cast<const char*>(data + 3), size - 3);

  // Reading a text.
  auto read = value_from_text(text, ty, width);
  if (read.ok() && ty == AbapType::Byte) check(read.value().as_bytes().size() == width);

  // Writing a text, reading it back, writing again: the same content.
  const TypedValue as_text{NestedValue(RfcValue::text(std::string(text))), ty, decimals, width};
  auto written = scalar_content(as_text);
  if (written.ok() && renders_stably(ty)) {
    const ScalarContent& c = written.value();
    check(c.kind != ContentKind::Bytes);
    auto back = value_from_text(c.text, ty, width);
    check(back.ok());
    auto again = scalar_content(TypedValue{NestedValue(back.value()), ty, decimals, width});
    // A timestamp that holds a "T" or "Z" of its own is not told apart from
    // the separator and the zone mark on reading: only others are stable.
    const bool ambiguous =
        ty == AbapType::Utclong && text.find_first_of("TZ") != std::string_view::npos;
    if (!ambiguous) check(again.ok() && again.value() == c);
  }

  // Integers and floats: what is read renders and reads back to itself.
  if (auto i = value_from_text(text, AbapType::Int8, 8); i.ok()) {
    auto c = scalar_content(TypedValue{NestedValue(i.value()), AbapType::Int8});
    check(c.ok());
    check(value_from_text(c.value().text, AbapType::Int8, 8).value() == i.value());
  }
  if (size >= 11) {
    double d;
    std::memcpy(&d, data + 3, sizeof d);
    auto r = render_float(d);
    check(r.ok() == (std::isfinite(d) && std::fabs(d) < 1e32));
    if (r.ok()) {
      auto back = value_from_text(r.value(), AbapType::Float, 8);
      check(back.ok() && back.value().as_float() == d);
    }
  }

  // The input as a basXML document: every parameter converts.
  if (auto doc = parse_basxml(ByteView(data, size)); doc.ok()) {
    for (std::size_t i = 0; i < doc.value().param_count(); ++i) {
      const Element e = doc.value().param(i);
      const DeepNode node = element_to_deep_node(e);
      check(node.name == unescape_name(e.name()));
      (void)value_from_content(e.content(), ty, width);
      FlatDeepValue flat = deep_value_from_node(node);
      check(flat.fields.size() + flat.rows.size() == node.children.size());
    }
  }
  return 0;
}

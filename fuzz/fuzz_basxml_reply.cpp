// basXML reply decoding on arbitrary documents against a fixed description:
// whatever the token reader accepts is decoded without crashing, within the
// expansion budget; every rebuilt structure is as long as its layout's last
// field end, every reply table holds whole rows of that length, every name
// comes from the description or the document, decoding the same document
// twice gives the same reply, and so does decoding the document as the
// reply's selection keeps it.
#include <cstdint>
#include <memory>
#include <string>

#include "fuzz/check.hpp"
#include "proto/call/basxml.hpp"
#include "proto/metadata/describe.hpp"
#include "tests/support/descriptions.hpp"
#include "wire/basxml.hpp"
#include "wire/utf.hpp"

using namespace quib;
using proto::FieldLayout;
using proto::ParamDirection;
using proto::ParameterDescription;
using proto::StructureLayout;
using test::field;
using test::layout;
using test::param;
using wire::AbapType;

namespace {

using fuzz::check;

// What this target's decoding may make in all: small, so that runs stay
// fast and the budget refusal is reached.
constexpr std::uint64_t kBudget = 1u << 20;

const proto::FunctionDescription& description() {
  static const proto::FunctionDescription d = [] {
    proto::FunctionDescription f;
    f.name = "Z_FUZZ";
    f.parameters = {
        param("E_CHAR", ParamDirection::Export, AbapType::Char, 20),
        param("E_NUMC", ParamDirection::Export, AbapType::Numc, 8),
        param("E_INT", ParamDirection::Export, AbapType::Int4, 4),
        param("E_FLOAT", ParamDirection::Export, AbapType::Float, 8),
        param("E_DATE", ParamDirection::Export, AbapType::Date, 16),
        param("E_RAW", ParamDirection::Export, AbapType::Byte, 4),
        param("E_XSTR", ParamDirection::Export, AbapType::XString, 8),
        param("E_BCD", ParamDirection::Export, AbapType::Bcd, 4),
        param("E_UTC", ParamDirection::Export, AbapType::Utclong, 8),
        param("E_ROW", ParamDirection::Export, AbapType::Structure, 32, "ZROW"),
        param("E_SELF", ParamDirection::Export, AbapType::Structure, 16, "ZSELF"),
        param("E_OVER", ParamDirection::Export, AbapType::Structure, 4, "ZOVER"),
        param("E_NOTYPE", ParamDirection::Export, AbapType::Structure, 4, "ZMISSING"),
        param("T_ROWS", ParamDirection::Table, AbapType::Table, 32, "ZROW"),
        param("T_DECS", ParamDirection::Table, AbapType::Table, 4, "ZDECS"),
        param("E_DEEP", ParamDirection::Export, AbapType::DeepStructure, 8, "ZDEEP"),
        param("E_TTYP", ParamDirection::Export, AbapType::Table, 8, "ZTTYP"),
    };
    return f;
  }();
  return d;
}

const proto::BasxmlTypes& types() {
  static const proto::BasxmlTypes t = [] {
    proto::BasxmlTypes m;
    m["ZSUB"] =
        layout("ZSUB", {field("X", AbapType::Int1, 0, 1), field("Y", AbapType::Char, 2, 4)}, 6);
    m["ZROW"] = layout("ZROW",
                       {field("ID", AbapType::Int4, 0, 4), field("NAME", AbapType::Char, 4, 10),
                        field("AMOUNT", AbapType::Bcd, 14, 3, 2),
                        field("SUB", AbapType::Structure, 18, 6, 0, "STRU", "ZSUB"),
                        field("LINES", AbapType::Table, 24, 8, 0, "TTYP", "ZLINES")},
                       32);
    m["ZSELF"] = layout("ZSELF",
                        {field("ID", AbapType::Int2, 0, 2),
                         field("ME", AbapType::Structure, 2, 14, 0, "STRU", "ZSELF")},
                        16);
    m["ZOVER"] =
        layout("ZOVER", {field("A", AbapType::Int4, 0, 4), field("B", AbapType::Int1, 2, 1)}, 4);
    m["ZDECS"] = layout("ZDECS", {field("", AbapType::Bcd, 0, 4, 2, "DEC")}, 4);
    return m;
  }();
  return t;
}

std::uint64_t image_length(const StructureLayout& l) {
  std::uint64_t n = 0;
  for (const FieldLayout& f : l.fields) n = std::max(n, f.offset + f.width);
  return n;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto doc = wire::parse_basxml(wire::ByteView(data, size));
  if (!doc) return 0;
  const proto::FunctionDescription& d = description();
  proto::CallReply reply;
  wire::ExpansionBudget budget(kBudget);
  const auto status = proto::decode_basxml_reply(doc.value(), d, types(), reply, budget);

  // The document as a reply reads it: only what the decoding uses kept.
  const auto selection = proto::reply_selection(d, types());
  wire::ExpansionBudget unlimited;
  auto kept = wire::parse_basxml(wire::ByteView(data, size), unlimited, selection.get());
  check(kept.ok());
  proto::CallReply again;
  wire::ExpansionBudget budget2(kBudget);
  const auto status2 = proto::decode_basxml_reply(kept.value(), d, types(), again, budget2);
  check(status.ok() == status2.ok());
  check(budget.used() == budget2.used());
  if (!status.ok()) {
    check(status.error() == status2.error());
    return 0;
  }
  check(reply.values == again.values && reply.text_pairs == again.text_pairs &&
        reply.tables == again.tables && reply.deep_values == again.deep_values &&
        reply.deep_nodes == again.deep_nodes);

  auto in_document = [&](std::string_view name) {
    for (std::size_t i = 0; i < doc->param_count(); ++i)
      if (doc->param(i).name() == name) return true;
    return false;
  };
  std::uint64_t total = 0;
  for (const auto& [name, value] : reply.values) {
    const ParameterDescription* p = d.find_parameter(name);
    check(p ? p->name == name : in_document(name));
    if (p && p->type == AbapType::Structure) {
      check(value.is_bytes());
      check(value.as_bytes().size() == image_length(*types().at(p->type_name)));
      total += value.as_bytes().size();
    }
    if (p && (p->type == AbapType::Char || p->type == AbapType::Numc))
      check(value.is_text() && wire::utf16_length(value.as_text()) >= p->length / 2);
  }
  for (const proto::ReplyTable& t : reply.tables) {
    const ParameterDescription* p = d.find_parameter(t.name);
    check(p != nullptr && p->direction == ParamDirection::Table);
    const std::uint64_t n = image_length(*types().at(p->type_name));
    check(t.declared_width == n);
    check(t.rows.bytes().size() == t.rows.row_count() * n);
    total += t.rows.bytes().size();
  }
  check(total <= kBudget);
  check(reply.deep_values.size() == reply.deep_nodes.size());
  return 0;
}

// The deep-value reader on arbitrary text: it never crashes, its output is
// bounded by its input (entities and escapes only shrink), text before the
// first element is ignored, trees copy, compare and flatten at any depth,
// and with an expansion budget it gives the same trees, taking exactly
// their cost, or stops when the budget is smaller than that.
#include <string>
#include <string_view>
#include <vector>

#include "fuzz/check.hpp"
#include "wire/deep.hpp"
#include "wire/utf.hpp"

using namespace quib::wire;

namespace {

using quib::fuzz::check;

// Nodes and bytes of names and texts in a forest, counted without recursion.
struct Totals {
  std::size_t nodes = 0;
  std::size_t bytes = 0;
};

Totals count(const std::vector<DeepNode>& forest) {
  Totals t;
  std::vector<const DeepNode*> work;
  for (const DeepNode& n : forest) work.push_back(&n);
  while (!work.empty()) {
    const DeepNode* n = work.back();
    work.pop_back();
    ++t.nodes;
    t.bytes += n->name.size() + n->text.size();
    for (const DeepNode& c : n->children) work.push_back(&c);
  }
  return t;
}

// A million nested elements, once per process: read, copy, compare and free
// them with the stack the fuzzer gives.
void million_nested() {
  constexpr std::size_t kDepth = 1'000'000;
  std::string doc;
  doc.reserve(kDepth * 7);
  for (std::size_t i = 0; i < kDepth; ++i) doc += "<a>";
  std::string open_only = doc;
  for (std::size_t i = 0; i < kDepth; ++i) doc += "</a>";
  auto r = parse_deep_xml(doc);
  check(r.ok() && r.value().size() == 1);
  check(count(r.value()).nodes == kDepth);
  DeepNode copy = r.value()[0];
  check(copy == r.value()[0]);
  auto open = parse_deep_xml(open_only);
  check(!open.ok() && open.error() == DeepError::bad_markup(open_only.size()));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  million_nested();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  auto r = parse_deep_xml(text);

  // Text before everything is ignored: the same result, offsets moved by one.
  const std::string shifted = "x" + std::string(text);
  auto s = parse_deep_xml(shifted);
  check(r.ok() == s.ok());

  if (!r.ok()) {
    const DeepError& e = r.error();
    check(!e.message().empty());
    if (e.kind() == DeepError::Kind::BadMarkup) {
      check(e.offset() <= size);
      check(s.error() == DeepError::bad_markup(e.offset() + 1));
    } else {
      check(text.find(e.closed()) != std::string_view::npos);
      check(text.find(e.open()) != std::string_view::npos);
      check(s.error() == e);
    }
    return 0;
  }
  check(s.value() == r.value());

  // Every node costs at least "<>" and "</>"; decoding never expands.
  const Totals t = count(r.value());
  check(t.nodes * 5 <= size);
  check(t.bytes <= size);

  std::uint64_t cost = 0;
  for (const DeepNode& n : r.value()) cost += deep_tree_cost(n);
  ExpansionBudget exact(cost);
  auto budgeted = parse_deep_xml(text, exact);
  check(budgeted.ok() && budgeted.value() == r.value() && exact.left() == 0);
  if (cost > 0) {
    ExpansionBudget short_by_one(cost - 1);
    auto refused = parse_deep_xml(text, short_by_one);
    check(!refused.ok() && refused.error() == DeepError::stopped() && short_by_one.exhausted());
  }

  std::vector<DeepNode> copy = r.value();
  check(copy == r.value());
  for (const DeepNode& n : r.value()) {
    FlatDeepValue flat = deep_value_from_node(n);
    check(flat.name == n.name);
    std::size_t rows_and_fields = flat.fields.size() + flat.rows.size();
    check(rows_and_fields == n.children.size());
  }
  return 0;
}

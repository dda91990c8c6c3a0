// basXML reading: any bytes parse or fail without crashing; what parses
// writes back (unless the writer refuses it as Unwritable) into a stream
// that parses to the same tree, names starting with "xml" aside, which
// come back with their dash. A selection changes what is kept, never what
// is accepted: the kept tree is the full tree without the elements it left
// out. An expansion budget of exactly what a document stores reads it, one
// byte less refuses it.
#include <cstdlib>
#include <string>
#include <vector>

#include "wire/basxml.hpp"

using namespace quib::wire;

namespace {

std::string rewritten(std::string_view name) {
  if (name.size() >= 3 && (name[0] | 0x20) == 'x' && (name[1] | 0x20) == 'm' &&
      (name[2] | 0x20) == 'l')
    return std::string(name.substr(0, 1)) + "-" + std::string(name.substr(1));
  return std::string(name);
}

bool same_attrs(Element a, Element b) {
  auto ra = a.attrs(), rb = b.attrs();
  if (ra.size() != rb.size()) return false;
  auto ia = ra.begin(), ib = rb.begin();
  for (; ia != ra.end(); ++ia, ++ib) {
    const Attr x = *ia, y = *ib;
    if (rewritten(x.name()) != y.name() || x.ns() != y.ns() || x.value() != y.value()) return false;
  }
  return true;
}

// Element by element, without recursion: `b` is what writing `a` and
// reading it back gave.
bool same_tree(Element a, Element b) {
  std::vector<std::pair<Element, Element>> todo{{a, b}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (rewritten(x.name()) != y.name() || x.ns() != y.ns() || !same_attrs(x, y)) return false;
    const Content cx = x.content(), cy = y.content();
    if (cx.kind() != cy.kind()) return false;
    if (cx.text() != cy.text()) return false;
    const ByteView bx = cx.bytes(), by = cy.bytes();
    if (!std::equal(bx.begin(), bx.end(), by.begin(), by.end())) return false;
    auto kx = cx.children(), ky = cy.children();
    if (kx.size() != ky.size()) return false;
    for (auto i = kx.begin(), j = ky.begin(); i != kx.end(); ++i, ++j) todo.emplace_back(*i, *j);
  }
  return true;
}

// Keeps the elements whose names have an even length.
class EvenNames final : public BasxmlSelection {
 public:
  bool keep(std::size_t, std::string_view name, Namespace) override {
    const bool k = name.size() % 2 == 0;
    depth_ += k;
    return k;
  }
  void closed() override { --depth_; }
  int depth_ = 0;
};

// `kept` is `full` without the elements EvenNames leaves out.
bool same_kept_tree(Element full, Element kept) {
  std::vector<std::pair<Element, Element>> todo{{full, kept}};
  while (!todo.empty()) {
    auto [x, y] = todo.back();
    todo.pop_back();
    if (x.name() != y.name() || x.ns() != y.ns() || !same_attrs(x, y)) return false;
    const Content cx = x.content(), cy = y.content();
    if (cx.kind() != cy.kind() || cx.text() != cy.text()) return false;
    const ByteView bx = cx.bytes(), by = cy.bytes();
    if (!std::equal(bx.begin(), bx.end(), by.begin(), by.end())) return false;
    auto j = cy.children().begin();
    for (Element child : cx.children()) {
      if (child.name().size() % 2 != 0) continue;
      if (j == cy.children().end()) return false;
      todo.emplace_back(child, *j);
      ++j;
    }
    if (j != cy.children().end()) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto doc = parse_basxml(ByteView(data, size));
  EvenNames selection;
  ExpansionBudget measure;
  auto selected = parse_basxml(ByteView(data, size), measure, &selection);
  if (selected.ok() != doc.ok()) std::abort();
  if (!doc.ok()) {
    if (doc.error().kind == BasxmlError::Kind::Unwritable) std::abort();
    if (!(selected.error() == doc.error())) std::abort();
    (void)doc.error().message();
    return 0;
  }
  if (selection.depth_ != 0 || selected->param_count() > doc->param_count()) std::abort();
  for (std::size_t i = 0, j = 0; i < doc->param_count(); ++i) {
    if (doc->param(i).name().size() % 2 != 0) continue;
    if (!same_kept_tree(doc->param(i), selected->param(j++))) std::abort();
  }
  {
    ExpansionBudget full_cost;
    if (!parse_basxml(ByteView(data, size), full_cost).ok()) std::abort();
    ExpansionBudget exact(full_cost.used());
    if (!parse_basxml(ByteView(data, size), exact).ok() || exact.left() != 0) std::abort();
    ExpansionBudget short_by_one(full_cost.used() - 1);
    auto refused = parse_basxml(ByteView(data, size), short_by_one);
    if (refused.ok() || refused.error().kind != BasxmlError::Kind::ResourceLimit ||
        !short_by_one.exhausted())
      std::abort();
  }
  for (std::size_t i = 0; i < doc->param_count(); ++i) (void)doc->param(i).debug();
  auto written = write_basxml(*doc);
  if (!written.ok()) {
    if (written.error().kind != BasxmlError::Kind::Unwritable) std::abort();
    return 0;
  }
  auto back = parse_basxml(*written);
  if (!back.ok()) std::abort();  // the writer produced what its reader rejects
  if (back->version != doc->version || back->param_count() != doc->param_count()) std::abort();
  for (std::size_t i = 0; i < doc->param_count(); ++i)
    if (!same_tree(doc->param(i), back->param(i))) std::abort();
  return 0;
}

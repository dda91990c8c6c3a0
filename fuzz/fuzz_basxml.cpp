// basXML reading: any bytes parse or fail without crashing; what parses
// writes back (unless the writer refuses it as Unwritable) into a stream
// that parses to the same tree, names starting with "xml" aside, which
// come back with their dash.
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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto doc = parse_basxml(ByteView(data, size));
  if (!doc.ok()) {
    if (doc.error().kind == BasxmlError::Kind::Unwritable) std::abort();
    (void)doc.error().message();
    return 0;
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

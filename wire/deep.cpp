#include "wire/deep.hpp"

#include <fmt/format.h>

#include "wire/ascii.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

namespace {

constexpr std::string_view kItem = "item";
constexpr std::string_view kNameEscape = "_--";
// The largest code point a character reference may name.
constexpr std::uint32_t kMaxCodePoint = 0x10FFFF;

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The code point of a numeric reference body ("#65", "#x41", "#x+41",
// "#+65"), or none when it does not qualify: no digits, a non-digit, an
// upper-case "X", a value above U+10FFFF or a surrogate.
std::optional<char32_t> numeric_reference(std::string_view body) {
  if (body.empty() || body[0] != '#') return std::nullopt;
  body.remove_prefix(1);
  int base = 10;
  if (!body.empty() && body[0] == 'x') {
    base = 16;
    body.remove_prefix(1);
  }
  if (!body.empty() && body[0] == '+') body.remove_prefix(1);
  if (body.empty()) return std::nullopt;
  std::uint32_t value = 0;
  for (char c : body) {
    int d = base == 16 ? hex_value(c) : (is_digit(c) ? c - '0' : -1);
    if (d < 0) return std::nullopt;
    // Once above the largest code point the value can only grow; clamp so
    // that long digit strings cannot wrap around.
    if (value <= kMaxCodePoint)
      value = value * static_cast<std::uint32_t>(base) + static_cast<std::uint32_t>(d);
  }
  if (value > kMaxCodePoint || (value >= 0xD800 && value <= 0xDFFF)) return std::nullopt;
  return static_cast<char32_t>(value);
}

// One open element of the reader: its raw name (a view into the input), the
// raw text gathered so far and its finished children.
struct OpenNode {
  std::string_view raw_name;
  std::string raw_text;
  std::vector<DeepNode> children;
};

}  // namespace

// ---------------------------------------------------------------------------
// DeepNode: copy, comparison and destruction walk the tree with explicit
// stacks, so a tree of any depth is handled in constant stack space.

DeepNode::DeepNode(const DeepNode& other) : name(other.name), text(other.text) {
  std::vector<std::pair<const DeepNode*, DeepNode*>> work{{&other, this}};
  while (!work.empty()) {
    auto [src, dst] = work.back();
    work.pop_back();
    // Reserved before any child is added, so the addresses pushed below stay
    // valid while their subtrees are filled in.
    dst->children.reserve(src->children.size());
    for (const DeepNode& c : src->children) {
      dst->children.emplace_back(c.name, c.text);
      work.emplace_back(&c, &dst->children.back());
    }
  }
}

DeepNode& DeepNode::operator=(const DeepNode& other) {
  if (this != &other) {
    DeepNode copy(other);
    *this = std::move(copy);
  }
  return *this;
}

DeepNode::~DeepNode() {
  if (children.empty()) return;
  // Detach every descendant onto a flat list before it is destroyed, so that
  // no destructor ever runs on a node that still has children.
  std::vector<DeepNode> pending = std::move(children);
  while (!pending.empty()) {
    DeepNode n = std::move(pending.back());
    pending.pop_back();
    for (DeepNode& c : n.children) pending.push_back(std::move(c));
    n.children.clear();
  }
}

bool operator==(const DeepNode& a, const DeepNode& b) {
  std::vector<std::pair<const DeepNode*, const DeepNode*>> work{{&a, &b}};
  while (!work.empty()) {
    auto [x, y] = work.back();
    work.pop_back();
    if (x->name != y->name || x->text != y->text || x->children.size() != y->children.size())
      return false;
    for (std::size_t i = 0; i < x->children.size(); ++i)
      work.emplace_back(&x->children[i], &y->children[i]);
  }
  return true;
}

// ---------------------------------------------------------------------------
// DeepError

std::string DeepError::message() const {
  switch (kind_) {
    case Kind::BadMarkup:
      return fmt::format("malformed deep XML at byte {}", offset_);
    case Kind::WrongClose:
      return fmt::format("deep XML closed <{}> while <{}> was open", closed_, open_);
    case Kind::Stopped:
      return "reading stopped";
  }
  return {};
}

// ---------------------------------------------------------------------------
// Texts and names

std::string decode_entities(std::string_view text) {
  std::size_t amp = text.find('&');
  if (amp == std::string_view::npos) return std::string(text);
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  while (amp != std::string_view::npos) {
    out.append(text.substr(pos, amp - pos));
    const std::size_t semi = text.find(';', amp + 1);
    if (semi == std::string_view::npos) {
      pos = amp;
      break;
    }
    const std::string_view body = text.substr(amp + 1, semi - amp - 1);
    if (body == "lt") {
      out.push_back('<');
    } else if (body == "gt") {
      out.push_back('>');
    } else if (body == "amp") {
      out.push_back('&');
    } else if (body == "quot") {
      out.push_back('"');
    } else if (body == "apos") {
      out.push_back('\'');
    } else if (auto cp = numeric_reference(body)) {
      append_utf8(out, *cp);
    } else {
      out.append(text.substr(amp, semi - amp + 1));
    }
    pos = semi + 1;
    amp = text.find('&', pos);
  }
  out.append(text.substr(pos));
  return out;
}

std::string unescape_name(std::string_view name) {
  if (name.find(kNameEscape) == std::string_view::npos) return std::string(name);
  std::string out;
  out.reserve(name.size());
  std::size_t i = 0;
  while (i < name.size()) {
    if (i + 5 <= name.size() && name.substr(i, 3) == kNameEscape) {
      const char a = name[i + 3], b = name[i + 4];
      int value = -1;
      if (hex_value(a) >= 0 && hex_value(b) >= 0)
        value = hex_value(a) * 16 + hex_value(b);
      else if (a == '+' && hex_value(b) >= 0)
        value = hex_value(b);
      if (value >= 0) {
        out.push_back(static_cast<char>(value));
        i += 5;
        continue;
      }
    }
    out.push_back(name[i]);
    ++i;
  }
  if (!is_valid_utf8(out)) return std::string(name);
  return out;
}

// ---------------------------------------------------------------------------
// The reader

namespace {

// How much text the reader reads between two reports of its work.
constexpr std::size_t kReportEvery = 4096;

DeepResult<std::vector<DeepNode>> read_deep(std::string_view text, ExpansionBudget* budget) {
  std::vector<DeepNode> top;
  std::vector<OpenNode> open;
  std::size_t pos = 0;
  std::size_t reported = 0;
  while (pos < text.size()) {
    if (budget && pos - reported >= kReportEvery) {
      if (!budget->work(pos - reported)) return err(DeepError::stopped());
      reported = pos;
    }
    if (text[pos] != '<') {
      std::size_t lt = text.find('<', pos);
      if (lt == std::string_view::npos) lt = text.size();
      if (!open.empty()) open.back().raw_text.append(text.substr(pos, lt - pos));
      pos = lt;
      continue;
    }
    const std::size_t gt = text.find('>', pos + 1);
    if (gt == std::string_view::npos) return err(DeepError::bad_markup(pos));
    const std::string_view tag = text.substr(pos + 1, gt - pos - 1);
    pos = gt + 1;
    if (tag.empty() || tag[0] != '/') {
      open.push_back(OpenNode{tag, {}, {}});
      continue;
    }
    if (open.empty()) return err(DeepError::bad_markup(pos));
    const std::string_view closed = tag.substr(1);
    OpenNode& inner = open.back();
    if (inner.raw_name != closed)
      return err(DeepError::wrong_close(std::string(inner.raw_name), std::string(closed)));
    DeepNode node(unescape_name(inner.raw_name), decode_entities(inner.raw_text),
                  std::move(inner.children));
    if (budget && !budget->take(deep_node_cost(node.name, node.text)))
      return err(DeepError::stopped());
    open.pop_back();
    if (open.empty())
      top.push_back(std::move(node));
    else
      open.back().children.push_back(std::move(node));
  }
  if (!open.empty()) return err(DeepError::bad_markup(text.size()));
  return top;
}

}  // namespace

DeepResult<std::vector<DeepNode>> parse_deep_xml(std::string_view text) {
  return read_deep(text, nullptr);
}

DeepResult<std::vector<DeepNode>> parse_deep_xml(std::string_view text, ExpansionBudget& budget) {
  return read_deep(text, &budget);
}

std::uint64_t deep_tree_cost(const DeepNode& node) {
  std::uint64_t total = 0;
  std::vector<const DeepNode*> work{&node};
  while (!work.empty()) {
    const DeepNode* n = work.back();
    work.pop_back();
    total += deep_node_cost(n->name, n->text);
    for (const DeepNode& c : n->children) work.push_back(&c);
  }
  return total;
}

// ---------------------------------------------------------------------------
// Lookups and flattening

const DeepNode* child(const DeepNode& node, std::string_view name) {
  for (const DeepNode& c : node.children)
    if (c.name == name) return &c;
  return nullptr;
}

std::optional<std::string_view> child_text(const DeepNode& node, std::string_view name) {
  if (const DeepNode* c = child(node, name)) return std::string_view(c->text);
  return std::nullopt;
}

FlatDeepValue deep_value_from_node(const DeepNode& node) {
  FlatDeepValue out;
  out.name = node.name;
  for (const DeepNode& c : node.children) {
    if (!c.children.empty()) {
      std::vector<DeepField> row;
      row.reserve(c.children.size());
      for (const DeepNode& g : c.children) row.emplace_back(g.name, g.text);
      out.rows.push_back(std::move(row));
    } else if (c.name == kItem) {
      out.rows.push_back({DeepField{std::string(), c.text}});
    } else {
      out.fields.emplace_back(c.name, c.text);
    }
  }
  return out;
}

}  // namespace quib::wire

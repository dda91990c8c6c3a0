#include "wire/basxml.hpp"

#include <fmt/format.h>

#include <cstring>
#include <limits>

#include "wire/quote.hpp"
#include "wire/utf.hpp"

namespace quib::wire {

// ---------------------------------------------------------------------------
// Errors

BasxmlError BasxmlError::bad_magic() { return BasxmlError{Kind::BadMagic}; }
BasxmlError BasxmlError::ended_mid_token() { return BasxmlError{Kind::EndedMidToken}; }
BasxmlError BasxmlError::invalid_varint(std::uint64_t offset) {
  return BasxmlError{Kind::InvalidVarint, offset};
}
BasxmlError BasxmlError::invalid_utf8(std::uint64_t offset) {
  return BasxmlError{Kind::InvalidUtf8, offset};
}
BasxmlError BasxmlError::unknown_token(std::uint8_t token, std::uint64_t offset) {
  return BasxmlError{Kind::UnknownToken, offset, token};
}
BasxmlError BasxmlError::undefined_id(std::uint32_t id, std::uint64_t offset) {
  return BasxmlError{Kind::UndefinedId, offset, 0, id};
}
BasxmlError BasxmlError::unknown_namespace(std::string uri) {
  return BasxmlError{Kind::UnknownNamespace, 0, 0, 0, std::move(uri)};
}
BasxmlError BasxmlError::malformed(std::uint64_t offset, std::string_view reason) {
  return BasxmlError{Kind::Malformed, offset, 0, 0, std::string(reason)};
}
BasxmlError BasxmlError::unexpected_shape(std::string_view reason) {
  return BasxmlError{Kind::UnexpectedShape, 0, 0, 0, std::string(reason)};
}
BasxmlError BasxmlError::resource_limit(std::uint64_t offset, std::string_view reason) {
  return BasxmlError{Kind::ResourceLimit, offset, 0, 0, std::string(reason)};
}
BasxmlError BasxmlError::unwritable(std::string reason) {
  return BasxmlError{Kind::Unwritable, 0, 0, 0, std::move(reason)};
}
BasxmlError BasxmlError::stopped() { return BasxmlError{Kind::Stopped}; }

std::string BasxmlError::message() const {
  switch (kind) {
    case Kind::BadMagic:
      return "payload does not start with BXML";
    case Kind::EndedMidToken:
      return "token stream ended mid-token";
    case Kind::InvalidVarint:
      return fmt::format("invalid varint at {}", offset);
    case Kind::InvalidUtf8:
      return fmt::format("invalid UTF-8 in value at {}", offset);
    case Kind::UnknownToken:
      return fmt::format("unknown token {:#04x} at {}", token, offset);
    case Kind::UndefinedId:
      return fmt::format("undefined string/namespace id {} at {}", id, offset);
    case Kind::UnknownNamespace:
      return fmt::format("unknown namespace {}", text);
    case Kind::Malformed:
      return fmt::format("malformed token stream at {}: {}", offset, text);
    case Kind::UnexpectedShape:
      return fmt::format("unexpected document shape: {}", text);
    case Kind::ResourceLimit:
      return fmt::format("resource limit exceeded at {}: {}", offset, text);
    case Kind::Unwritable:
      return fmt::format("document cannot be written as basXML: {}", text);
    case Kind::Stopped:
      return "reading stopped";
  }
  return "payload does not start with BXML";
}

std::string_view namespace_name(Namespace ns) {
  switch (ns) {
    case Namespace::None:
      return "None";
    case Namespace::Asx:
      return "Asx";
    case Namespace::Hint:
      return "Hint";
  }
  return "None";
}

namespace {

// ---------------------------------------------------------------------------
// Helpers

bool valid_utf8(const std::uint8_t* p, std::size_t n) {
  std::size_t i = 0;
  // ASCII runs, eight bytes at a time.
  while (i + 8 <= n) {
    std::uint64_t w;
    std::memcpy(&w, p + i, 8);
    if (w & 0x8080808080808080ull) break;
    i += 8;
  }
  while (i < n && p[i] < 0x80) ++i;
  if (i == n) return true;
  return is_valid_utf8(std::string_view(reinterpret_cast<const char*>(p) + i, n - i));
}

// A name for a message: quoted, at most 64 bytes of it, lossy UTF-8.
std::string short_quoted(std::string_view name) {
  constexpr std::size_t kMax = 64;
  std::string shown = utf8_lossy(as_bytes(name.substr(0, kMax)));
  if (name.size() > kMax) shown += "...";
  return debug_quote(shown);
}

bool starts_with_xml(std::string_view s) {
  return s.size() >= 3 && (s[0] | 0x20) == 'x' && (s[1] | 0x20) == 'm' && (s[2] | 0x20) == 'l';
}

}  // namespace

// ---------------------------------------------------------------------------
// Views

std::string_view Attr::name() const { return doc_->string_at(doc_->attrs_[index_].name); }
Namespace Attr::ns() const { return static_cast<Namespace>(doc_->attrs_[index_].ns); }
std::string_view Attr::value() const {
  const auto& a = doc_->attrs_[index_];
  return doc_->pool_text(a.value_off, a.value_len);
}
std::uint32_t Attr::next_index() const { return doc_->attrs_[index_].next; }

std::string Attr::debug() const {
  std::string out = "Attr { name: ";
  out += debug_quote(name());
  out += ", ns: ";
  out += namespace_name(ns());
  out += ", value: ";
  out += debug_quote(value());
  out += " }";
  return out;
}

ContentKind Content::kind() const { return static_cast<ContentKind>(doc_->nodes_[element_].kind); }
std::string_view Content::text() const {
  const auto& n = doc_->nodes_[element_];
  if (n.kind != static_cast<std::uint8_t>(ContentKind::Text)) return {};
  return doc_->pool_text(n.a, n.b);
}
ByteView Content::bytes() const {
  const auto& n = doc_->nodes_[element_];
  if (n.kind != static_cast<std::uint8_t>(ContentKind::Bytes)) return {};
  return ByteView(doc_->pool_.data() + n.a, n.b);
}
ElementRange Content::children() const {
  const auto& n = doc_->nodes_[element_];
  if (n.kind != static_cast<std::uint8_t>(ContentKind::Elements))
    return ElementRange(doc_, kNoIndex, 0);
  return ElementRange(doc_, n.a, n.b);
}

std::string_view Element::name() const { return doc_->string_at(doc_->nodes_[id_].name); }
Namespace Element::ns() const { return static_cast<Namespace>(doc_->nodes_[id_].ns); }
std::uint32_t Element::next_index() const { return doc_->nodes_[id_].next; }
AttrRange Element::attrs() const {
  const std::uint32_t first = doc_->nodes_[id_].first_attr;
  std::size_t count = 0;
  for (std::uint32_t a = first; a != kNoIndex; a = doc_->attrs_[a].next) ++count;
  return AttrRange(doc_, first, count);
}
std::optional<std::string_view> Element::attr(std::string_view name, Namespace ns) const {
  for (Attr a : attrs())
    if (a.ns() == ns && a.name() == name) return a.value();
  return std::nullopt;
}

namespace {

// Renders an element and everything below it without recursion.
void render_element(const BasxmlDocument& doc, ElementId root, std::string& out) {
  struct Frame {
    std::uint32_t next;  // the next child to render
    bool started;        // a child has been rendered already
  };
  std::vector<Frame> stack;  // one per open Elements content
  auto open = [&](ElementId id) {
    const Element e = doc.element(id);
    out += "Element { name: ";
    out += debug_quote(e.name());
    out += ", ns: ";
    out += namespace_name(e.ns());
    out += ", attrs: [";
    bool first = true;
    for (Attr a : e.attrs()) {
      if (!first) out += ", ";
      first = false;
      out += a.debug();
    }
    out += "], content: ";
    const Content c = e.content();
    if (c.is_elements()) {
      out += "Elements([";
      stack.push_back({(*c.children().begin()).id(), false});
    } else {
      out += c.debug();
      out += " }";
    }
  };
  open(root);
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.next == kNoIndex) {
      out += "]) }";
      stack.pop_back();
      continue;
    }
    if (top.started) out += ", ";
    top.started = true;
    const ElementId child = top.next;
    top.next = doc.element(child).next_index();
    open(child);  // may push, invalidating `top`
  }
}

}  // namespace

std::string Element::debug() const {
  std::string out;
  render_element(*doc_, id_, out);
  return out;
}

std::string Content::debug() const {
  switch (kind()) {
    case ContentKind::Empty:
      return "Empty";
    case ContentKind::Text: {
      std::string out = "Text(";
      out += debug_quote(text());
      out += ")";
      return out;
    }
    case ContentKind::Bytes:
      return "Bytes(" + debug_bytes(bytes()) + ")";
    case ContentKind::Elements: {
      std::string out = "Elements([";
      bool first = true;
      for (Element child : children()) {
        if (!first) out += ", ";
        first = false;
        render_element(*doc_, child.id(), out);
      }
      out += "])";
      return out;
    }
  }
  return "Empty";
}

// ---------------------------------------------------------------------------
// Building

namespace {
constexpr std::uint64_t kMaxStorage = 0xFFFFFFFFull;
}  // namespace

std::uint32_t BasxmlDocument::mark_full() {
  full_ = true;
  return kNoIndex;
}

std::uint32_t BasxmlDocument::intern(std::string_view name) {
  if (full_) return kNoIndex;
  if (name_ids_.empty() && strings_.size() <= kScannedNames) {
    // A few names (a small call's document): scanning the table finds the
    // first definition as fast as a hash would, and builds nothing.
    for (std::uint32_t id = 0; id < strings_.size(); ++id)
      if (string_at(id) == name) return id;
  } else {
    if (name_ids_.empty()) {
      // Past the few, or a parsed document: the string table is indexed
      // (first definition wins).
      for (std::uint32_t id = 0; id < strings_.size(); ++id)
        name_ids_.emplace(std::string(string_at(id)), id);
    }
    if (auto it = name_ids_.find(name); it != name_ids_.end()) return it->second;
  }
  if (chars_.size() + name.size() > kMaxStorage || strings_.size() >= kNoIndex) return mark_full();
  const auto id = static_cast<std::uint32_t>(strings_.size());
  strings_.push_back(
      {static_cast<std::uint32_t>(chars_.size()), static_cast<std::uint32_t>(name.size())});
  chars_.append(name);
  if (!name_ids_.empty()) name_ids_.emplace(std::string(name), id);
  return id;
}

std::uint32_t BasxmlDocument::pool_append(const void* data, std::size_t n) {
  if (full_ || pool_.size() + n > kMaxStorage) return mark_full();
  const auto off = static_cast<std::uint32_t>(pool_.size());
  const auto* p = static_cast<const std::uint8_t*>(data);
  pool_.insert(pool_.end(), p, p + n);
  return off;
}

ElementId BasxmlDocument::push_node(std::uint32_t name, Namespace ns) {
  if (full_ || name == kNoIndex || nodes_.size() >= kNoIndex) return mark_full();
  nodes_.push_back(Node{name, kNoIndex, kNoIndex, kNoIndex, 0, static_cast<std::uint8_t>(ns),
                        static_cast<std::uint8_t>(ContentKind::Empty), 0, 0});
  return static_cast<ElementId>(nodes_.size() - 1);
}

ElementId BasxmlDocument::new_element(std::string_view name, Namespace ns) {
  return push_node(intern(name), ns);
}

ElementId BasxmlDocument::text_element(std::string_view name, std::string_view text) {
  const ElementId id = new_element(name);
  if (id != kNoIndex && !text.empty()) {
    const std::uint32_t off = pool_append(text.data(), text.size());
    if (off == kNoIndex) return kNoIndex;
    Node& n = nodes_[id];
    n.kind = static_cast<std::uint8_t>(ContentKind::Text);
    n.a = off;
    n.b = static_cast<std::uint32_t>(text.size());
  }
  return id;
}

ElementId BasxmlDocument::bytes_element(std::string_view name, ByteView bytes) {
  const ElementId id = new_element(name);
  if (id != kNoIndex && !bytes.empty()) {
    const std::uint32_t off = pool_append(bytes.data(), bytes.size());
    if (off == kNoIndex) return kNoIndex;
    Node& n = nodes_[id];
    n.kind = static_cast<std::uint8_t>(ContentKind::Bytes);
    n.a = off;
    n.b = static_cast<std::uint32_t>(bytes.size());
  }
  return id;
}

ElementId BasxmlDocument::copy_subtree(ElementId source) {
  // Copies share the pool spans of texts, bytes and attribute values.
  auto clone = [&](ElementId from) {
    const Node original = nodes_[from];
    const ElementId to = push_node(original.name, static_cast<Namespace>(original.ns));
    if (to == kNoIndex) return to;
    Node& n = nodes_[to];
    n.kind = original.kind;
    n.a = original.kind == static_cast<std::uint8_t>(ContentKind::Elements) ? kNoIndex : original.a;
    n.b = original.b;
    n.placed = 1;
    std::uint32_t last = kNoIndex;
    for (std::uint32_t a = original.first_attr; a != kNoIndex; a = attrs_[a].next) {
      if (attrs_.size() >= kNoIndex) return mark_full();
      AttrNode copy = attrs_[a];
      copy.next = kNoIndex;
      attrs_.push_back(copy);
      const auto idx = static_cast<std::uint32_t>(attrs_.size() - 1);
      if (last == kNoIndex)
        nodes_[to].first_attr = idx;
      else
        attrs_[last].next = idx;
      last = idx;
    }
    return to;
  };
  struct Frame {
    std::uint32_t next_source;  // next child of the source to copy
    ElementId target;
    std::uint32_t last;  // last child copied under target
  };
  const ElementId root = clone(source);
  if (root == kNoIndex) return root;
  std::vector<Frame> stack;
  if (nodes_[source].kind == static_cast<std::uint8_t>(ContentKind::Elements))
    stack.push_back({nodes_[source].a, root, kNoIndex});
  while (!stack.empty()) {
    const std::size_t top = stack.size() - 1;
    const std::uint32_t from = stack[top].next_source;
    if (from == kNoIndex) {
      stack.pop_back();
      continue;
    }
    stack[top].next_source = nodes_[from].next;
    const ElementId to = clone(from);
    if (to == kNoIndex) return to;
    if (stack[top].last == kNoIndex)
      nodes_[stack[top].target].a = to;
    else
      nodes_[stack[top].last].next = to;
    stack[top].last = to;
    if (nodes_[from].kind == static_cast<std::uint8_t>(ContentKind::Elements))
      stack.push_back({nodes_[from].a, to, kNoIndex});
  }
  return root;
}

ElementId BasxmlDocument::place(ElementId id) {
  if (full_ || id == kNoIndex) return mark_full();
  if (!nodes_[id].placed) {
    nodes_[id].placed = 1;
    return id;
  }
  return copy_subtree(id);
}

ElementId BasxmlDocument::structure_element(std::string_view name,
                                            std::span<const ElementId> children) {
  const ElementId id = new_element(name);
  if (id == kNoIndex || children.empty()) return id;
  std::uint32_t first = kNoIndex, last = kNoIndex;
  for (ElementId c : children) {
    const ElementId placed = place(c);
    if (placed == kNoIndex) return kNoIndex;
    nodes_[placed].next = kNoIndex;
    if (last == kNoIndex)
      first = placed;
    else
      nodes_[last].next = placed;
    last = placed;
  }
  Node& n = nodes_[id];
  n.kind = static_cast<std::uint8_t>(ContentKind::Elements);
  n.a = first;
  n.b = static_cast<std::uint32_t>(children.size());
  return id;
}

ElementId BasxmlDocument::table_element(std::string_view name, std::span<const ElementId> rows) {
  const ElementId id = structure_element(name, rows);
  if (id == kNoIndex) return id;
  add_attr(id, "lines", Namespace::Hint, fmt::format("{}", rows.size()));
  return id;
}

void BasxmlDocument::add_attr(ElementId element, std::string_view name, Namespace ns,
                              std::string_view value) {
  if (full_ || element == kNoIndex) {
    mark_full();
    return;
  }
  const std::uint32_t name_id = intern(name);
  const std::uint32_t off = pool_append(value.data(), value.size());
  if (name_id == kNoIndex || off == kNoIndex || attrs_.size() >= kNoIndex) {
    mark_full();
    return;
  }
  attrs_.push_back(AttrNode{name_id, off, static_cast<std::uint32_t>(value.size()), kNoIndex,
                            static_cast<std::uint8_t>(ns)});
  const auto idx = static_cast<std::uint32_t>(attrs_.size() - 1);
  std::uint32_t* link = &nodes_[element].first_attr;
  while (*link != kNoIndex) link = &attrs_[*link].next;
  *link = idx;
}

void BasxmlDocument::set_namespace(ElementId element, Namespace ns) {
  if (element == kNoIndex) return;
  nodes_[element].ns = static_cast<std::uint8_t>(ns);
}

void BasxmlDocument::add_param(ElementId element) {
  const ElementId placed = place(element);
  if (placed != kNoIndex) params_.push_back(placed);
}

std::size_t BasxmlDocument::memory_bytes() const {
  std::size_t n = nodes_.capacity() * sizeof(Node) + attrs_.capacity() * sizeof(AttrNode) +
                  strings_.capacity() * sizeof(Span) + chars_.capacity() + pool_.capacity() +
                  params_.capacity() * sizeof(ElementId) + version.capacity();
  for (const auto& [k, v] : name_ids_) n += k.capacity() + 32;
  return n;
}

// ---------------------------------------------------------------------------
// Writing

class BasxmlWriter {
 public:
  explicit BasxmlWriter(const BasxmlDocument& doc) : doc_(doc), out_id_(doc.strings_.size(), 0) {
    few_ids_.reserve(BasxmlDocument::kScannedNames);
  }

  Result<Bytes, BasxmlError> run() {
    if (doc_.storage_full())
      return err(BasxmlError::unwritable(std::string(basxml_reason::kStorageFull)));
    out_.reserve(estimate());
    out_.insert(out_.end(), kBasxmlMagic.begin(), kBasxmlMagic.end());
    declaration("VER", "0.7");
    declaration("ENC", "utf-8");
    const std::uint32_t asx = intern_text("asx");
    const std::uint32_t uri_a = intern_text(kAsxNamespaceUri);
    namespace_decl(asx, uri_a);  // namespace id 2
    open(intern_text("abap"), kNsAsx);
    if (!attribute(intern_text("version"), kNsNone, doc_.version, "the version text"))
      return error();
    const std::uint32_t hint = intern_text("asxhint");
    const std::uint32_t uri_b = intern_text(kHintNamespaceUri);
    namespace_decl(hint, uri_b);  // namespace id 3
    out_.push_back(kTokenDefaultNs);
    varint(kNsHint);
    open(intern_text("values"), kNsAsx);
    for (ElementId p : doc_.params_)
      if (!element_tree(p)) return error();
    out_.push_back(kTokenClose);
    out_.push_back(kTokenClose);

    if (out_.size() > kBasxmlMaxPayload)
      return err(BasxmlError::unwritable(std::string(basxml_reason::kPayloadSize)));
    const std::uint64_t budget = basxml_name_budget(out_.size());
    if (names_ > budget)
      return err(BasxmlError::unwritable(fmt::format(
          "its names take {} bytes, beyond the {} that a reader allows for {} bytes of payload",
          names_, budget, out_.size())));
    return std::move(out_);
  }

 private:
  static constexpr std::uint32_t kNsNone = 1, kNsAsx = 2, kNsHint = 3;
  static constexpr std::size_t kDocumentDepth = 2;  // asx:abap and asx:values above the parameters

  Result<Bytes, BasxmlError> error() { return err(std::move(error_)); }
  bool fail(std::string reason) {
    error_ = BasxmlError::unwritable(std::move(reason));
    return false;
  }

  std::size_t estimate() const {
    return 160 + doc_.pool_.size() + doc_.chars_.size() + doc_.nodes_.size() * 8 +
           doc_.attrs_.size() * 10 + doc_.pool_.size() / kBasxmlTextChunk * 4;
  }

  void varint(std::uint32_t v) {
    if (v < 0x80) {
      out_.push_back(static_cast<std::uint8_t>(v));
    } else if (v < 0x800) {
      out_.push_back(static_cast<std::uint8_t>(0xC0 | (v >> 6)));
      out_.push_back(static_cast<std::uint8_t>(0x80 | (v & 0x3F)));
    } else if (v < 0x10000) {
      out_.push_back(static_cast<std::uint8_t>(0xE0 | (v >> 12)));
      out_.push_back(static_cast<std::uint8_t>(0x80 | ((v >> 6) & 0x3F)));
      out_.push_back(static_cast<std::uint8_t>(0x80 | (v & 0x3F)));
    } else {
      out_.push_back(static_cast<std::uint8_t>(0xF0 | (v >> 18)));
      out_.push_back(static_cast<std::uint8_t>(0x80 | ((v >> 12) & 0x3F)));
      out_.push_back(static_cast<std::uint8_t>(0x80 | ((v >> 6) & 0x3F)));
      out_.push_back(static_cast<std::uint8_t>(0x80 | (v & 0x3F)));
    }
  }
  void raw(std::string_view s) { out_.insert(out_.end(), s.begin(), s.end()); }
  void raw(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }
  // A string operand; callers have checked its length and encoding.
  void string(std::string_view s) {
    varint(static_cast<std::uint32_t>(s.size()));
    raw(s);
  }
  void declaration(std::string_view name, std::string_view value) {
    out_.push_back(kTokenDeclaration);
    string(name);
    string(value);
  }
  void namespace_decl(std::uint32_t prefix, std::uint32_t uri) {
    out_.push_back(kTokenNamespace);
    varint(prefix);
    varint(uri);
  }
  void open(std::uint32_t name, std::uint32_t ns) {
    out_.push_back(kTokenOpen);
    varint(name);
    varint(ns);
    names_ += written_len_[name - 2];
  }

  // The id of a text, defining it with a "+" token at its first use.
  // Returns 0 (after setting the error) when the text cannot be a string.
  std::uint32_t intern_text(std::string_view text) {
    if (const std::uint32_t known = id_of(text); known != 0) return known;
    const bool rewrite = starts_with_xml(text);
    const std::uint64_t written = text.size() + (rewrite ? 1 : 0);
    if (written >= kBasxmlVarintLimit) {
      fail(fmt::format("the name {} is {} bytes; a string stops below {} bytes", short_quoted(text),
                       written, kBasxmlVarintLimit));
      return 0;
    }
    if (!valid_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())) {
      fail(fmt::format("the name {} is not valid UTF-8", short_quoted(text)));
      return 0;
    }
    if (next_id_ >= kBasxmlVarintLimit) {
      fail(fmt::format("it holds more than {} distinct names", kBasxmlVarintLimit - 2));
      return 0;
    }
    out_.push_back(kTokenString);
    varint(static_cast<std::uint32_t>(written));
    if (rewrite) {
      out_.push_back(static_cast<std::uint8_t>(text[0]));
      out_.push_back('-');
      raw(text.substr(1));
    } else {
      raw(text);
    }
    const std::uint32_t id = next_id_++;
    remember(text, id);
    written_len_.push_back(static_cast<std::uint32_t>(written));
    return id;
  }
  // The string id of a text already written, 0 for none. The first few are
  // scanned (a small call's document has no more), later ones hashed.
  std::uint32_t id_of(std::string_view text) const {
    if (ids_.empty()) {
      for (const auto& [known, id] : few_ids_)
        if (known == text) return id;
      return 0;
    }
    auto it = ids_.find(text);
    return it == ids_.end() ? 0 : it->second;
  }
  void remember(std::string_view text, std::uint32_t id) {
    if (ids_.empty() && few_ids_.size() < BasxmlDocument::kScannedNames) {
      few_ids_.emplace_back(text, id);
      return;
    }
    if (ids_.empty())
      for (const auto& [known, known_id] : few_ids_) ids_.emplace(known, known_id);
    ids_.emplace(text, id);
  }
  std::uint32_t intern_doc(std::uint32_t doc_id) {
    std::uint32_t& cached = out_id_[doc_id];
    if (cached == 0) cached = intern_text(doc_.string_at(doc_id));
    return cached;
  }

  bool attribute(std::uint32_t name, std::uint32_t ns, std::string_view value,
                 std::string_view what) {
    if (name == 0) return false;
    if (value.size() >= kBasxmlVarintLimit)
      return fail(fmt::format("{} is {} bytes; a string stops below {} bytes", what, value.size(),
                              kBasxmlVarintLimit));
    if (!valid_utf8(reinterpret_cast<const std::uint8_t*>(value.data()), value.size()))
      return fail(fmt::format("{} is not valid UTF-8", what));
    out_.push_back(kTokenAttrName);
    varint(name);
    varint(ns);
    names_ += written_len_[name - 2];
    out_.push_back(kTokenAttrValue);
    string(value);
    return true;
  }

  static std::uint32_t ns_id(std::uint8_t ns) {
    switch (static_cast<Namespace>(ns)) {
      case Namespace::None:
        return kNsNone;
      case Namespace::Asx:
        return kNsAsx;
      case Namespace::Hint:
        return kNsHint;
    }
    return kNsNone;
  }

  // Writes one element's open token, attributes and (for every kind but
  // Elements) its content and close token. False on a refusal.
  bool element_head(ElementId id, bool& has_children) {
    const auto& node = doc_.nodes_[id];
    const std::uint32_t name = intern_doc(node.name);
    if (name == 0) return false;
    open(name, ns_id(node.ns));
    for (std::uint32_t a = node.first_attr; a != kNoIndex; a = doc_.attrs_[a].next) {
      const auto& attr = doc_.attrs_[a];
      const std::uint32_t attr_name = intern_doc(attr.name);
      if (attr_name == 0) return false;
      const std::string_view value = doc_.pool_text(attr.value_off, attr.value_len);
      if (value.size() >= kBasxmlVarintLimit ||
          !valid_utf8(reinterpret_cast<const std::uint8_t*>(value.data()), value.size())) {
        return attribute(attr_name, ns_id(attr.ns), value,
                         fmt::format("the value of attribute {} of element {}",
                                     short_quoted(doc_.string_at(attr.name)),
                                     short_quoted(doc_.string_at(node.name))));
      }
      attribute(attr_name, ns_id(attr.ns), value, {});
    }
    has_children = false;
    switch (static_cast<ContentKind>(node.kind)) {
      case ContentKind::Empty:
        break;
      case ContentKind::Text: {
        const std::string_view text = doc_.pool_text(node.a, node.b);
        if (!valid_utf8(reinterpret_cast<const std::uint8_t*>(text.data()), text.size()))
          return fail(fmt::format("the text of element {} is not valid UTF-8",
                                  short_quoted(doc_.string_at(node.name))));
        for (std::size_t pos = 0; pos < text.size(); pos += kBasxmlTextChunk) {
          const std::string_view chunk = text.substr(pos, kBasxmlTextChunk);
          out_.push_back(kTokenText);
          string(chunk);
        }
        break;
      }
      case ContentKind::Bytes: {
        if (node.b >= kBasxmlVarintLimit)
          return fail(fmt::format(
              "the binary content of element {} is {} bytes; binary content stops below {} bytes",
              short_quoted(doc_.string_at(node.name)), node.b, kBasxmlVarintLimit));
        out_.push_back(kTokenBinary);
        varint(node.b);
        raw(ByteView(doc_.pool_.data() + node.a, node.b));
        break;
      }
      case ContentKind::Elements:
        has_children = true;
        return true;
    }
    out_.push_back(kTokenClose);
    return true;
  }

  // An element and its descendants, without recursion.
  bool element_tree(ElementId root) {
    bool has_children = false;
    if (!element_head(root, has_children)) return false;
    if (!has_children) return true;
    stack_.clear();
    stack_.push_back(doc_.nodes_[root].a);
    while (!stack_.empty()) {
      std::uint32_t& next = stack_.back();
      if (next == kNoIndex) {
        out_.push_back(kTokenClose);
        stack_.pop_back();
        continue;
      }
      const ElementId child = next;
      next = doc_.nodes_[child].next;
      // The child's depth: the document's two levels, the parameter, and one
      // per open Elements content.
      if (kDocumentDepth + 1 + stack_.size() > kBasxmlMaxDepth)
        return fail(fmt::format(
            "its elements nest deeper than {} levels, the most a reader accepts", kBasxmlMaxDepth));
      if (!element_head(child, has_children)) return false;
      if (has_children) stack_.push_back(doc_.nodes_[child].a);
    }
    return true;
  }

  const BasxmlDocument& doc_;
  Bytes out_;
  std::vector<std::pair<std::string_view, std::uint32_t>> few_ids_;  // text, string id
  std::unordered_map<std::string_view, std::uint32_t> ids_;          // the same once past the few
  std::vector<std::uint32_t> out_id_;       // document string id -> string id (0: none yet)
  std::vector<std::uint32_t> written_len_;  // byte length of each written string
  std::uint32_t next_id_ = 2;
  std::uint64_t names_ = 0;  // name bytes a reader takes from its budget
  std::vector<std::uint32_t> stack_;
  BasxmlError error_;
};

Result<Bytes, BasxmlError> write_basxml(const BasxmlDocument& document) {
  return BasxmlWriter(document).run();
}

// ---------------------------------------------------------------------------
// Reading

namespace {

// The length of the UTF-8 sequence a byte starts (0: it starts none).
unsigned utf8_sequence_length(std::uint8_t b) {
  if (b < 0x80) return 1;
  if (b < 0xC2) return 0;
  if (b < 0xE0) return 2;
  if (b < 0xF0) return 3;
  if (b < 0xF5) return 4;
  return 0;
}

// A text checked chunk by chunk, without gathering it: the bytes of a
// character that one chunk leaves unfinished are carried into the next.
class Utf8Pieces {
 public:
  void add(const std::uint8_t* p, std::size_t n) {
    if (bad_) return;
    std::size_t i = 0;
    if (carry_len_ > 0) {
      const unsigned need = utf8_sequence_length(carry_[0]);
      while (carry_len_ < need && i < n) carry_[carry_len_++] = p[i++];
      if (carry_len_ < need) return;
      bad_ = !valid_utf8(carry_, need);
      carry_len_ = 0;
      if (bad_) return;
    }
    // The last character may go on in the next chunk: its lead byte is at
    // most three bytes from the end.
    std::size_t end = n;
    std::size_t lead = n;
    while (lead > i && n - lead < 3 && (p[lead - 1] & 0xC0) == 0x80) --lead;
    if (lead > i) {
      const unsigned len = utf8_sequence_length(p[lead - 1]);
      if (len > 1 && lead - 1 + len > n) end = lead - 1;
    }
    bad_ = !valid_utf8(p + i, end - i);
    for (std::size_t k = end; k < n; ++k) carry_[carry_len_++] = p[k];
  }
  // Whether the chunks so far form whole, valid UTF-8.
  bool valid() const { return !bad_ && carry_len_ == 0; }

 private:
  std::uint8_t carry_[4] = {};
  unsigned carry_len_ = 0;
  bool bad_ = false;
};

// How much input the reader reads between two reports of its work.
constexpr std::size_t kReportEvery = 4096;

}  // namespace

class BasxmlReader {
 public:
  BasxmlReader(ByteView in, ExpansionBudget& budget, BasxmlSelection* selection)
      : in_(in.data()), n_(in.size()), budget_(budget), selection_(selection) {
    stack_.reserve(kBasxmlMaxDepth);
  }

  Result<BasxmlDocument, BasxmlError> run() {
    if (n_ < 4 || std::memcmp(in_, kBasxmlMagic.data(), 4) != 0)
      return err(BasxmlError::bad_magic());
    if (n_ > kBasxmlMaxPayload)
      return err(BasxmlError::resource_limit(0, basxml_reason::kPayloadSize));
    name_budget_ = basxml_name_budget(n_);
    pos_ = 4;
    if (!tokens()) return err(std::move(error_));
    if (!root_closed_) return err(BasxmlError::ended_mid_token());
    if (!shape()) return err(std::move(error_));
    return std::move(doc_);
  }

 private:
  using Node = BasxmlDocument::Node;

  struct Open {
    bool kept = false;
    bool selected = false;  // kept by the selection, which is told of its close
    std::uint32_t node = kNoIndex;
    std::uint32_t first_child = kNoIndex;  // kept children only
    std::uint32_t last_child = kNoIndex;
    std::uint32_t kept_children = 0;
    std::uint32_t child_count = 0;  // every child, kept or not
    std::uint32_t last_attr = kNoIndex;
    std::uint64_t offset = 0;  // of its "<" token
    std::uint32_t text_len = 0;
    std::uint32_t text_chunks = 0;
    std::uint32_t text_at = 0;  // input offset of the first chunk
    std::uint32_t bytes_off = 0;
    std::uint32_t bytes_len = 0;
    std::string gathered;  // a kept text once it spans several chunks
    Utf8Pieces pieces;     // the text of an element not kept
  };

  bool fail(BasxmlError e) {
    error_ = std::move(e);
    return false;
  }

  // Room for `bytes` more bytes of document storage.
  bool store(std::size_t at, std::uint64_t bytes) {
    if (budget_.take(bytes)) return true;
    return fail(BasxmlError::resource_limit(at, basxml_reason::kExpansionBudget));
  }

  bool varint(std::uint32_t& v) {
    const std::size_t start = pos_;
    if (pos_ >= n_) return fail(BasxmlError::ended_mid_token());
    const std::uint8_t b0 = in_[pos_];
    if (b0 < 0x80) {
      v = b0;
      ++pos_;
      return true;
    }
    unsigned more;
    std::uint32_t min;
    if (b0 < 0xC0) return fail(BasxmlError::invalid_varint(start));
    if (b0 < 0xE0) {
      more = 1;
      min = 0x80;
      v = b0 & 0x1F;
    } else if (b0 < 0xF0) {
      more = 2;
      min = 0x800;
      v = b0 & 0x0F;
    } else if (b0 < 0xF8) {
      more = 3;
      min = 0x10000;
      v = b0 & 0x07;
    } else {
      return fail(BasxmlError::invalid_varint(start));
    }
    for (unsigned k = 1; k <= more; ++k) {
      if (start + k >= n_) return fail(BasxmlError::ended_mid_token());
      const std::uint8_t b = in_[start + k];
      if ((b & 0xC0) != 0x80) return fail(BasxmlError::invalid_varint(start));
      v = (v << 6) | (b & 0x3F);
    }
    if (v < min) return fail(BasxmlError::invalid_varint(start));
    pos_ = start + 1 + more;
    return true;
  }

  // A string operand: the input offset and length of its bytes.
  bool string(std::uint32_t& at, std::uint32_t& len) {
    const std::size_t start = pos_;
    if (!varint(len)) return false;
    if (len > n_ - pos_) return fail(BasxmlError::ended_mid_token());
    if (!valid_utf8(in_ + pos_, len)) return fail(BasxmlError::invalid_utf8(start));
    at = static_cast<std::uint32_t>(pos_);
    pos_ += len;
    return true;
  }

  // A string id operand naming a defined string; its table index.
  bool string_id(std::size_t token_at, std::uint32_t& index) {
    std::uint32_t id;
    if (!varint(id)) return false;
    if (id < 2 || id - 2 >= doc_.strings_.size())
      return fail(BasxmlError::undefined_id(id, token_at));
    index = id - 2;
    return true;
  }

  bool namespace_id(std::size_t token_at, Namespace& ns) {
    std::uint32_t id;
    if (!varint(id)) return false;
    if (id == 1) {
      ns = Namespace::None;
      return true;
    }
    if (id < 2 || id - 2 >= namespaces_.size())
      return fail(BasxmlError::undefined_id(id, token_at));
    ns = namespaces_[id - 2];
    return true;
  }

  // The names a kept element or attribute copies out of the string table.
  bool take_name_budget(std::size_t token_at, std::uint32_t name) {
    const std::uint32_t len = doc_.strings_[name].len;
    if (len > name_budget_)
      return fail(BasxmlError::resource_limit(token_at, basxml_reason::kBudget));
    name_budget_ -= len;
    return true;
  }

  // Whether an element opening at the current depth is kept: the root; the
  // first child of the root (asx:values, when the document is well formed;
  // further children only count); below asx:values what the selection
  // keeps of what opens inside kept elements.
  bool keeps(std::uint32_t name, Namespace ns) {
    if (depth_ == 0) return true;
    const Open& parent = stack_[depth_ - 1];
    if (!parent.kept) return false;
    if (depth_ == 1) return parent.child_count == 0;
    if (!selection_) return true;
    return selection_->keep(depth_ - 2, doc_.string_at(name), ns);
  }

  bool open_element(std::size_t at) {
    std::uint32_t name;
    Namespace ns;
    if (!string_id(at, name) || !namespace_id(at, ns)) return false;
    if (depth_ == kBasxmlMaxDepth)
      return fail(BasxmlError::resource_limit(at, basxml_reason::kDepth));
    const bool kept = keeps(name, ns);
    std::uint32_t id = kNoIndex;
    if (kept) {
      if (!take_name_budget(at, name) || !store(at, kBasxmlElementCost)) return false;
      if (doc_.nodes_.size() >= kNoIndex)
        return fail(BasxmlError::resource_limit(at, basxml_reason::kStorageFull));
      id = static_cast<std::uint32_t>(doc_.nodes_.size());
      doc_.nodes_.push_back(Node{name, kNoIndex, kNoIndex, kNoIndex, 0,
                                 static_cast<std::uint8_t>(ns),
                                 static_cast<std::uint8_t>(ContentKind::Empty), 1, 0});
    }
    if (depth_ > 0) {
      Open& parent = stack_[depth_ - 1];
      ++parent.child_count;
      if (kept) {
        if (parent.last_child == kNoIndex)
          parent.first_child = id;
        else
          doc_.nodes_[parent.last_child].next = id;
        parent.last_child = id;
        ++parent.kept_children;
      }
    }
    if (depth_ == stack_.size()) stack_.emplace_back();
    Open& o = stack_[depth_];
    o.kept = kept;
    o.selected = kept && selection_ && depth_ >= 2;
    o.node = id;
    o.first_child = o.last_child = kNoIndex;
    o.kept_children = o.child_count = 0;
    o.last_attr = kNoIndex;
    o.offset = at;
    o.text_len = o.text_chunks = 0;
    o.bytes_len = 0;
    o.pieces = Utf8Pieces();
    ++depth_;
    return true;
  }

  bool attribute_name(std::size_t at) {
    if (!string_id(at, pending_name_) || !namespace_id(at, pending_ns_)) return false;
    const bool kept = depth_ == 0 || stack_[depth_ - 1].kept;
    if (kept && !take_name_budget(at, pending_name_)) return false;
    attr_pending_ = true;
    return true;
  }

  bool attribute_value(std::size_t at) {
    std::uint32_t value_at, len;
    if (!string(value_at, len)) return false;
    if (depth_ == 0) return fail(BasxmlError::malformed(at, basxml_reason::kAttrOutside));
    Open& o = stack_[depth_ - 1];
    if (!o.kept) return true;
    if (!store(at, kBasxmlAttrCost + len)) return false;
    if (doc_.attrs_.size() >= kNoIndex)
      return fail(BasxmlError::resource_limit(at, basxml_reason::kStorageFull));
    const std::uint32_t off = doc_.pool_append(in_ + value_at, len);
    const auto idx = static_cast<std::uint32_t>(doc_.attrs_.size());
    doc_.attrs_.push_back(BasxmlDocument::AttrNode{pending_name_, off, len, kNoIndex,
                                                   static_cast<std::uint8_t>(pending_ns_)});
    if (o.last_attr == kNoIndex)
      doc_.nodes_[o.node].first_attr = idx;
    else
      doc_.attrs_[o.last_attr].next = idx;
    o.last_attr = idx;
    return true;
  }

  bool text(std::size_t at) {
    std::uint32_t len;
    if (!varint(len)) return false;
    if (len > n_ - pos_) return fail(BasxmlError::ended_mid_token());
    if (len < 1 || len > kBasxmlTextChunk)
      return fail(BasxmlError::malformed(at, basxml_reason::kChunkSize));
    if (depth_ == 0) return fail(BasxmlError::malformed(at, basxml_reason::kTextOutside));
    Open& o = stack_[depth_ - 1];
    if (o.text_len % kBasxmlTextChunk != 0)
      return fail(BasxmlError::malformed(at, basxml_reason::kPartialChunk));
    if (!o.kept) {
      o.pieces.add(in_ + pos_, len);
    } else if (o.text_chunks == 0) {
      o.text_at = static_cast<std::uint32_t>(pos_);
    } else {
      if (o.text_chunks == 1)
        o.gathered.assign(reinterpret_cast<const char*>(in_) + o.text_at, o.text_len);
      o.gathered.append(reinterpret_cast<const char*>(in_) + pos_, len);
    }
    o.text_len += len;
    ++o.text_chunks;
    pos_ += len;
    return true;
  }

  bool binary(std::size_t at) {
    std::uint32_t len;
    if (!varint(len)) return false;
    if (len > n_ - pos_) return fail(BasxmlError::ended_mid_token());
    if (depth_ == 0) return fail(BasxmlError::malformed(at, basxml_reason::kBinaryOutside));
    Open& o = stack_[depth_ - 1];
    if (o.bytes_len > 0) return fail(BasxmlError::malformed(at, basxml_reason::kSecondBinary));
    if (len > 0) {
      if (o.kept) {
        if (!store(at, len)) return false;
        o.bytes_off = doc_.pool_append(in_ + pos_, len);
      }
      o.bytes_len = len;
    }
    pos_ += len;
    return true;
  }

  bool close(std::size_t at) {
    if (depth_ == 0) return fail(BasxmlError::malformed(at, basxml_reason::kCloseNothing));
    Open& o = stack_[depth_ - 1];
    if (o.text_len > 0) {
      if (o.bytes_len > 0 || o.child_count > 0)
        return fail(BasxmlError::malformed(o.offset, basxml_reason::kMixed));
      if (!o.kept) {
        if (!o.pieces.valid()) return fail(BasxmlError::invalid_utf8(o.offset));
      } else {
        const std::uint8_t* text = o.text_chunks == 1
                                       ? in_ + o.text_at
                                       : reinterpret_cast<const std::uint8_t*>(o.gathered.data());
        if (!valid_utf8(text, o.text_len)) return fail(BasxmlError::invalid_utf8(o.offset));
        if (!store(at, o.text_len)) return false;
        Node& node = doc_.nodes_[o.node];
        node.a = doc_.pool_append(text, o.text_len);
        node.b = o.text_len;
        node.kind = static_cast<std::uint8_t>(ContentKind::Text);
        o.gathered = std::string();
      }
    } else if (o.bytes_len > 0) {
      if (o.child_count > 0) return fail(BasxmlError::malformed(o.offset, basxml_reason::kMixed));
      if (o.kept) {
        Node& node = doc_.nodes_[o.node];
        node.a = o.bytes_off;
        node.b = o.bytes_len;
        node.kind = static_cast<std::uint8_t>(ContentKind::Bytes);
      }
    } else if (o.child_count > 0 && o.kept) {
      // Children that were not kept still make the content Elements: a
      // value that holds elements is no value, whichever were kept.
      Node& node = doc_.nodes_[o.node];
      node.a = o.first_child;
      node.b = o.kept_children;
      node.kind = static_cast<std::uint8_t>(ContentKind::Elements);
    }
    if (o.selected) selection_->closed();
    --depth_;
    if (depth_ == 0) {
      root_ = o.node;
      root_children_ = o.child_count;
      root_closed_ = true;
    }
    return true;
  }

  bool tokens() {
    std::size_t reported = pos_;
    while (pos_ < n_) {
      if (pos_ - reported >= kReportEvery) {
        if (!budget_.work(pos_ - reported)) return fail(BasxmlError::stopped());
        reported = pos_;
      }
      const std::size_t at = pos_;
      if (root_closed_) return fail(BasxmlError::malformed(at, basxml_reason::kAfterRoot));
      const std::uint8_t token = in_[pos_++];
      if (attr_pending_) {
        if (token != kTokenAttrValue)
          return fail(BasxmlError::malformed(at, basxml_reason::kAttrNotFollowed));
        attr_pending_ = false;
        if (!attribute_value(at)) return false;
        continue;
      }
      switch (token) {
        case kTokenOpen:
          if (!open_element(at)) return false;
          break;
        case kTokenClose:
          if (!close(at)) return false;
          break;
        case kTokenText:
          if (!text(at)) return false;
          break;
        case kTokenAttrName:
          if (!attribute_name(at)) return false;
          break;
        case kTokenString: {
          std::uint32_t s_at, len;
          if (!string(s_at, len)) return false;
          if (doc_.strings_.size() >= kNoIndex)
            return fail(BasxmlError::resource_limit(at, basxml_reason::kStorageFull));
          if (!store(at, kBasxmlStringCost + len)) return false;
          doc_.strings_.push_back({static_cast<std::uint32_t>(doc_.chars_.size()), len});
          doc_.chars_.append(reinterpret_cast<const char*>(in_) + s_at, len);
          break;
        }
        case kTokenBinary:
          if (!binary(at)) return false;
          break;
        case kTokenAttrValue:
          return fail(BasxmlError::malformed(at, basxml_reason::kValueWithoutName));
        case kTokenDeclaration: {
          std::uint32_t s_at, len;
          if (!string(s_at, len) || !string(s_at, len)) return false;
          break;
        }
        case kTokenNamespace: {
          std::uint32_t prefix, uri;
          if (!string_id(at, prefix) || !string_id(at, uri)) return false;
          const std::string_view text = doc_.string_at(uri);
          if (text == kAsxNamespaceUri)
            namespaces_.push_back(Namespace::Asx);
          else if (text == kHintNamespaceUri)
            namespaces_.push_back(Namespace::Hint);
          else
            return fail(BasxmlError::unknown_namespace(std::string(text)));
          break;
        }
        case kTokenDefaultNs: {
          Namespace ignored;
          if (!namespace_id(at, ignored)) return false;
          break;
        }
        default:
          return fail(BasxmlError::unknown_token(token, at));
      }
    }
    if (!budget_.work(pos_ - reported)) return fail(BasxmlError::stopped());
    return true;
  }

  bool shape() {
    namespace r = basxml_reason;
    const Element root = doc_.element(root_);
    if (root.name() != "abap" || root.ns() != Namespace::Asx)
      return fail(BasxmlError::unexpected_shape(r::kRootNotAbap));
    const std::optional<std::string_view> version = root.attr("version", Namespace::None);
    if (!version) return fail(BasxmlError::unexpected_shape(r::kNoVersion));
    if (!root.content().is_elements()) return fail(BasxmlError::unexpected_shape(r::kNoChildren));
    // Only the first child of the root is kept; the others were counted.
    const Element values = *root.content().children().begin();
    if (root_children_ != 1 || values.name() != "values" || values.ns() != Namespace::Asx)
      return fail(BasxmlError::unexpected_shape(r::kNotExactlyValues));
    const Content params = values.content();
    if (params.is_text() || params.is_bytes())
      return fail(BasxmlError::unexpected_shape(r::kValuesHoldValue));
    doc_.version.assign(*version);
    doc_.params_.reserve(params.children().size());
    for (Element p : params.children()) doc_.params_.push_back(p.id());
    return true;
  }

  const std::uint8_t* in_;
  std::size_t n_;
  ExpansionBudget& budget_;
  BasxmlSelection* selection_;
  std::size_t pos_ = 0;
  std::uint64_t name_budget_ = 0;
  BasxmlDocument doc_;
  std::vector<Namespace> namespaces_;
  std::vector<Open> stack_;
  std::size_t depth_ = 0;
  bool attr_pending_ = false;
  std::uint32_t pending_name_ = 0;
  Namespace pending_ns_ = Namespace::None;
  bool root_closed_ = false;
  std::uint32_t root_ = 0;
  std::uint32_t root_children_ = 0;
  BasxmlError error_;
};

Result<BasxmlDocument, BasxmlError> parse_basxml(ByteView bytes) {
  ExpansionBudget unlimited;
  return BasxmlReader(bytes, unlimited, nullptr).run();
}

Result<BasxmlDocument, BasxmlError> parse_basxml(ByteView bytes, ExpansionBudget& budget,
                                                 BasxmlSelection* selection) {
  return BasxmlReader(bytes, budget, selection).run();
}

}  // namespace quib::wire

// basXML: the binary XML form of a call's parameters, and the element tree
// that the asXML value codec builds and reads.
//
// Token stream: "BXML", then one-byte tokens with operands (varints shaped
// like UTF-8 of 1..4 bytes carrying up to 21 bits, strings as a varint
// length and UTF-8 bytes, string ids, namespace ids):
//   ?  declaration (name, value)      +  defines the next string id (from 2)
//   :  declares the next namespace    *  namespace id, validated only
//   <  opens an element (name, ns)    @  attribute name (name, ns), then A
//   A  attribute value (string)       T  text chunk (1..16384 bytes)
//   B  binary content                 >  closes the open element
// The document is asx:abap (with a version attribute) holding asx:values,
// whose children are the parameters.
//
// The tree is compact: a document owns flat arrays of element and attribute
// records (24 and 20 bytes), one table of interned names, and one byte pool
// for texts, binary contents and attribute values. Elements refer to names
// by id and to their children by index links. A reader may be told what to
// keep (BasxmlSelection): what it leaves out is checked as it is read and
// costs nothing, so a parsed reply costs what its decoding reads, and what
// it stores is taken from the reply's expansion budget (wire/expansion.hpp).
// `Element`, `Attr` and `Content` are light views into their document,
// valid while it lives and is not modified.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "wire/bytes.hpp"
#include "wire/expansion.hpp"
#include "wire/result.hpp"

namespace quib::wire {

// ---------------------------------------------------------------------------
// Constants of the format

inline constexpr std::string_view kBasxmlMagic = "BXML";
// The namespace of the ABAP XML serialisation format ("asx") and its hint
// namespace ("asxhint"). The prefix is not consulted when reading.
inline constexpr std::string_view kAsxNamespaceUri = "http://www.sap.com/abapxml";
inline constexpr std::string_view kHintNamespaceUri = "http://www.sap.com/abapxml/hint";

inline constexpr std::uint8_t kTokenDeclaration = 0x3F;  // ?
inline constexpr std::uint8_t kTokenString = 0x2B;       // +
inline constexpr std::uint8_t kTokenNamespace = 0x3A;    // :
inline constexpr std::uint8_t kTokenDefaultNs = 0x2A;    // *
inline constexpr std::uint8_t kTokenOpen = 0x3C;         // <
inline constexpr std::uint8_t kTokenAttrName = 0x40;     // @
inline constexpr std::uint8_t kTokenAttrValue = 0x41;    // A
inline constexpr std::uint8_t kTokenText = 0x54;         // T
inline constexpr std::uint8_t kTokenBinary = 0x42;       // B
inline constexpr std::uint8_t kTokenClose = 0x3E;        // >

inline constexpr std::size_t kBasxmlTextChunk = 16384;
inline constexpr std::size_t kBasxmlMaxDepth = 128;            // open elements, the root included
inline constexpr std::uint32_t kBasxmlVarintLimit = 1u << 21;  // varints carry 21 bits
// Payloads of 4 GiB or more are refused by both sides (positions are 32-bit).
inline constexpr std::uint64_t kBasxmlMaxPayload = 0xFFFFFFFFull;
// The bytes of names a payload may make its reader materialize: a name
// counts at every element that opens with it and every attribute that
// carries it, and a payload of n bytes may hold 32 n of them beside 4096.
inline constexpr std::uint64_t kBasxmlNameBytesPerPayloadByte = 32;
inline constexpr std::uint64_t kBasxmlNameAllowance = 4096;
// `payload_bytes` is at most kBasxmlMaxPayload.
constexpr std::uint64_t basxml_name_budget(std::uint64_t payload_bytes) {
  return kBasxmlNameBytesPerPayloadByte * payload_bytes + kBasxmlNameAllowance;
}

// ---------------------------------------------------------------------------
// Errors

struct BasxmlError {
  enum class Kind : std::uint8_t {
    BadMagic,
    EndedMidToken,
    InvalidVarint,
    InvalidUtf8,
    UnknownToken,
    UndefinedId,
    UnknownNamespace,
    Malformed,
    UnexpectedShape,
    ResourceLimit,
    // The writer's refusal of a document its reader would reject.
    Unwritable,
    // The owner of the expansion budget said stop (not a fault of the data).
    Stopped,
  };

  Kind kind = Kind::BadMagic;
  std::uint64_t offset =
      0;  // InvalidVarint, InvalidUtf8, UnknownToken, UndefinedId, Malformed, ResourceLimit
  std::uint8_t token = 0;  // UnknownToken
  std::uint32_t id = 0;    // UndefinedId
  std::string text;        // UnknownNamespace: the URI; otherwise the reason

  static BasxmlError bad_magic();
  static BasxmlError ended_mid_token();
  static BasxmlError invalid_varint(std::uint64_t offset);
  static BasxmlError invalid_utf8(std::uint64_t offset);
  static BasxmlError unknown_token(std::uint8_t token, std::uint64_t offset);
  static BasxmlError undefined_id(std::uint32_t id, std::uint64_t offset);
  static BasxmlError unknown_namespace(std::string uri);
  static BasxmlError malformed(std::uint64_t offset, std::string_view reason);
  static BasxmlError unexpected_shape(std::string_view reason);
  static BasxmlError resource_limit(std::uint64_t offset, std::string_view reason);
  static BasxmlError unwritable(std::string reason);
  static BasxmlError stopped();

  std::string message() const;
  friend bool operator==(const BasxmlError&, const BasxmlError&) = default;
};

// The fixed reasons.
namespace basxml_reason {
inline constexpr std::string_view kAfterRoot = "tokens after the root element closed";
inline constexpr std::string_view kAttrNotFollowed = "attribute name not followed by its value";
inline constexpr std::string_view kAttrOutside = "attribute outside any element";
inline constexpr std::string_view kValueWithoutName = "attribute value without a name";
inline constexpr std::string_view kChunkSize = "text chunk outside 1..=16384 bytes";
inline constexpr std::string_view kTextOutside = "text outside any element";
inline constexpr std::string_view kPartialChunk = "text continuation after a partial chunk";
inline constexpr std::string_view kBinaryOutside = "binary outside any element";
inline constexpr std::string_view kSecondBinary = "second binary token in one element";
inline constexpr std::string_view kCloseNothing = "close with nothing open";
inline constexpr std::string_view kMixed = "element mixes text, binary and children";
inline constexpr std::string_view kDepth = "element nesting depth";
inline constexpr std::string_view kBudget =
    "materialized bytes beyond any legitimate expansion of this input";
inline constexpr std::string_view kPayloadSize = "payload of 4 GiB or more";
inline constexpr std::string_view kExpansionBudget =
    "document storage beyond the expansion budget of the reply";
inline constexpr std::string_view kStorageFull = "document storage passes 4 GiB";
inline constexpr std::string_view kRootNotAbap = "root is not asx:abap";
inline constexpr std::string_view kNoVersion = "asx:abap has no version attribute";
inline constexpr std::string_view kNoChildren = "asx:abap has no children";
inline constexpr std::string_view kNotExactlyValues =
    "asx:abap does not contain exactly asx:values";
inline constexpr std::string_view kValuesHoldValue =
    "asx:values holds a value instead of parameters";
}  // namespace basxml_reason

// ---------------------------------------------------------------------------
// The element tree

enum class Namespace : std::uint8_t { None = 0, Asx = 1, Hint = 2 };
std::string_view namespace_name(Namespace ns);  // "None", "Asx", "Hint"

// The tags of `Content`, in their fixed order.
enum class ContentKind : std::uint8_t { Empty = 0, Text = 1, Bytes = 2, Elements = 3 };

using ElementId = std::uint32_t;
inline constexpr std::uint32_t kNoIndex = 0xFFFFFFFFu;

class BasxmlDocument;
class Element;

// A forward range over a chain of records linked by index.
template <class View>
class LinkedRange {
 public:
  class iterator {
   public:
    using value_type = View;
    using difference_type = std::ptrdiff_t;
    using iterator_category = std::forward_iterator_tag;
    iterator() = default;
    iterator(const BasxmlDocument* doc, std::uint32_t index) : doc_(doc), index_(index) {}
    View operator*() const { return View(doc_, index_); }
    iterator& operator++() {
      index_ = View(doc_, index_).next_index();
      return *this;
    }
    iterator operator++(int) {
      iterator old = *this;
      ++*this;
      return old;
    }
    friend bool operator==(const iterator& a, const iterator& b) { return a.index_ == b.index_; }

   private:
    const BasxmlDocument* doc_ = nullptr;
    std::uint32_t index_ = kNoIndex;
  };

  LinkedRange(const BasxmlDocument* doc, std::uint32_t first, std::size_t count)
      : doc_(doc), first_(first), count_(count) {}
  iterator begin() const { return iterator(doc_, first_); }
  iterator end() const { return iterator(doc_, kNoIndex); }
  std::size_t size() const { return count_; }
  bool empty() const { return count_ == 0; }

 private:
  const BasxmlDocument* doc_;
  std::uint32_t first_;
  std::size_t count_;
};

// An attribute: name, namespace, value.
class Attr {
 public:
  Attr(const BasxmlDocument* doc, std::uint32_t index) : doc_(doc), index_(index) {}
  std::string_view name() const;
  Namespace ns() const;
  std::string_view value() const;
  // Attr { name: "lines", ns: Hint, value: "3" }
  std::string debug() const;
  std::uint32_t next_index() const;

 private:
  const BasxmlDocument* doc_;
  std::uint32_t index_;
};

using AttrRange = LinkedRange<Attr>;
using ElementRange = LinkedRange<Element>;

// An element's content: Empty, Text, Bytes or Elements (its children).
class Content {
 public:
  Content(const BasxmlDocument* doc, std::uint32_t element) : doc_(doc), element_(element) {}
  ContentKind kind() const;
  bool is_empty() const { return kind() == ContentKind::Empty; }
  bool is_text() const { return kind() == ContentKind::Text; }
  bool is_bytes() const { return kind() == ContentKind::Bytes; }
  bool is_elements() const { return kind() == ContentKind::Elements; }
  // The text of Text content; empty for any other kind.
  std::string_view text() const;
  // The bytes of Bytes content; empty for any other kind.
  ByteView bytes() const;
  // The children of Elements content; empty for any other kind.
  ElementRange children() const;
  // Empty, Text("hello"), Bytes([1, 2]), Elements([Element { ... }, ...])
  std::string debug() const;

 private:
  const BasxmlDocument* doc_;
  std::uint32_t element_;
};

class Element {
 public:
  Element(const BasxmlDocument* doc, ElementId id) : doc_(doc), id_(id) {}
  ElementId id() const { return id_; }
  std::string_view name() const;
  Namespace ns() const;
  AttrRange attrs() const;
  Content content() const { return Content(doc_, id_); }
  // The value of the first attribute with this name and namespace.
  std::optional<std::string_view> attr(std::string_view name, Namespace ns) const;
  // Element { name: "x", ns: None, attrs: [], content: Empty }
  std::string debug() const;
  std::uint32_t next_index() const;

 private:
  const BasxmlDocument* doc_;
  ElementId id_;
};

// A basXML document: the version text of asx:abap and the parameter
// elements (the children of asx:values), with the storage of their trees.
//
// Building: elements are made bottom-up; `structure_element` and
// `table_element` take the ids of elements made before and link them as
// children, `add_param` appends a parameter. An element is meant to be
// placed once; placing it a second time places a copy. When the document's
// storage would pass 4 GiB, building stops: every later call returns
// kNoIndex and does nothing, storage_full() turns true, and the writer
// refuses the document.
class BasxmlDocument {
 public:
  std::string version;

  BasxmlDocument() = default;

  // --- building
  ElementId new_element(std::string_view name, Namespace ns = Namespace::None);
  // `Text(text)`, or `Empty` for an empty text.
  ElementId text_element(std::string_view name, std::string_view text);
  // `Bytes(bytes)`, or `Empty` for no bytes.
  ElementId bytes_element(std::string_view name, ByteView bytes);
  // `Elements(children)`, or `Empty` for none.
  ElementId structure_element(std::string_view name, std::span<const ElementId> children);
  // As structure_element, with the hint attribute "lines" = the row count.
  ElementId table_element(std::string_view name, std::span<const ElementId> rows);
  // Appends an attribute to an element.
  void add_attr(ElementId element, std::string_view name, Namespace ns, std::string_view value);
  void set_namespace(ElementId element, Namespace ns);
  void add_param(ElementId element);

  // --- reading
  Element element(ElementId id) const { return Element(this, id); }
  std::size_t param_count() const { return params_.size(); }
  Element param(std::size_t i) const { return Element(this, params_[i]); }
  std::span<const ElementId> param_ids() const { return params_; }
  std::size_t element_count() const { return nodes_.size(); }
  // The storage passed 4 GiB while building; the document is incomplete.
  bool storage_full() const { return full_; }
  // Bytes held by the document's arrays (capacity, not size).
  std::size_t memory_bytes() const;

 private:
  friend class Element;
  friend class Attr;
  friend class Content;
  friend class BasxmlReader;
  friend class BasxmlWriter;

  struct Node {
    std::uint32_t name;        // string id
    std::uint32_t first_attr;  // kNoIndex when none
    std::uint32_t next;        // next sibling, kNoIndex when last
    std::uint32_t a;           // Text/Bytes: pool offset; Elements: first child
    std::uint32_t b;           // Text/Bytes: length; Elements: child count
    std::uint8_t ns;
    std::uint8_t kind;
    std::uint8_t placed;  // already linked as a child or parameter
    std::uint8_t unused;
  };
  struct AttrNode {
    std::uint32_t name;
    std::uint32_t value_off;
    std::uint32_t value_len;
    std::uint32_t next;
    std::uint8_t ns;
  };
  struct Span {
    std::uint32_t off;
    std::uint32_t len;
  };
  struct NameHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };
  struct NameEq {
    using is_transparent = void;
    bool operator()(std::string_view a, std::string_view b) const { return a == b; }
  };

  std::string_view string_at(std::uint32_t id) const {
    const Span& s = strings_[id];
    return std::string_view(chars_.data() + s.off, s.len);
  }
  std::string_view pool_text(std::uint32_t off, std::uint32_t len) const {
    return std::string_view(reinterpret_cast<const char*>(pool_.data()) + off, len);
  }
  // Up to this many names are found by a scan of the string table; past
  // them, through name_ids_.
  static constexpr std::size_t kScannedNames = 32;
  std::uint32_t intern(std::string_view name);
  std::uint32_t mark_full();  // marks the document full; returns kNoIndex
  std::uint32_t pool_append(const void* data, std::size_t n);
  ElementId push_node(std::uint32_t name, Namespace ns);
  ElementId place(ElementId id);  // the id itself, or a copy when already placed
  ElementId copy_subtree(ElementId id);

  std::vector<Node> nodes_;
  std::vector<AttrNode> attrs_;
  std::vector<Span> strings_;
  std::string chars_;  // the interned names, back to back
  Bytes pool_;         // texts, binary contents and attribute values
  std::vector<ElementId> params_;
  std::unordered_map<std::string, std::uint32_t, NameHash, NameEq> name_ids_;  // for building
  bool full_ = false;
};

// The whole token stream of a document. A document that the reader would
// refuse (a name, attribute value or binary content of 2 MiB or more,
// invalid UTF-8, nesting deeper than the reader's limit, names beyond the
// reader's budget, a payload of 4 GiB or more) gives Unwritable and no
// bytes.
Result<Bytes, BasxmlError> write_basxml(const BasxmlDocument& document);

// What a reader keeps of a document's parameters. The reader asks at every
// element that opens inside asx:values under a kept element, and tells when
// a kept element closes, so that the selection can follow where it is. An
// element it does not keep is read and checked like any other, but nothing
// of it or of its descendants is stored: it costs no memory whatever it
// holds. asx:abap, its version attribute and asx:values are always kept.
class BasxmlSelection {
 public:
  virtual ~BasxmlSelection() = default;
  // Whether to keep the element that opens now: `depth` 0 is a parameter
  // (a child of asx:values), 1 a child of a kept parameter, and so on.
  virtual bool keep(std::size_t depth, std::string_view name, Namespace ns) = 0;
  // The kept element that opened last has closed.
  virtual void closed() = 0;
};

// A parsed document holds one 24-byte record per element and one 20-byte
// record per attribute, one 8-byte record and the bytes of every string
// the stream defines, and every text, binary content and attribute value
// once in its pool.
inline constexpr std::uint64_t kBasxmlElementCost = 24;
inline constexpr std::uint64_t kBasxmlAttrCost = 20;
inline constexpr std::uint64_t kBasxmlStringCost = 8;

// Reads a token stream into a document.
Result<BasxmlDocument, BasxmlError> parse_basxml(ByteView bytes);
// The same storing only what `selection` keeps (null: everything), each
// record and byte the document stores taken from `budget` first
// (ResourceLimit kExpansionBudget when it refuses), and the reading
// reported to it as work (Stopped when its owner says stop).
Result<BasxmlDocument, BasxmlError> parse_basxml(ByteView bytes, ExpansionBudget& budget,
                                                 BasxmlSelection* selection = nullptr);

}  // namespace quib::wire

// Deep values: the XML text in which a server returns parameters whose type
// nests (deep structures, tables inside structures).
//
// The grammar is a small subset of XML: "<" name ">" content "</" name ">",
// content being text, child elements or both; no attributes, no
// self-closing tags, no declarations, comments or CDATA (whatever stands
// between "<" and ">" is the name). Several top-level elements may follow one
// another; text outside every element is ignored. Texts carry the five named
// entities and numeric character references; names carry "_--XX" escapes.
//
// The nesting depth is the peer's choice, so nothing here recurses on it:
// the reader keeps an explicit stack of open elements, and DeepNode copies,
// compares and destroys its subtree iteratively.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "wire/expansion.hpp"
#include "wire/result.hpp"

namespace quib::wire {

// One element of a deep value: its name (escapes decoded), its text
// (entities decoded; the text between its children included) and its
// children in document order.
struct DeepNode {
  std::string name;
  std::string text;
  std::vector<DeepNode> children;

  DeepNode() = default;
  DeepNode(std::string name_, std::string text_, std::vector<DeepNode> children_ = {})
      : name(std::move(name_)), text(std::move(text_)), children(std::move(children_)) {}
  DeepNode(const DeepNode& other);
  DeepNode(DeepNode&& other) noexcept = default;
  DeepNode& operator=(const DeepNode& other);
  DeepNode& operator=(DeepNode&& other) noexcept = default;
  ~DeepNode();

  friend bool operator==(const DeepNode& a, const DeepNode& b);
};

// A (name, text) pair of a flattened deep value.
using DeepField = std::pair<std::string, std::string>;

// One deep node flattened: its scalar fields and its rows.
struct FlatDeepValue {
  std::string name;
  std::vector<DeepField> fields;
  std::vector<std::vector<DeepField>> rows;

  friend bool operator==(const FlatDeepValue&, const FlatDeepValue&) = default;
};

// The error of the deep-value reader.
class DeepError {
 public:
  // Stopped: the expansion budget refused the tree or its owner said stop
  // (not a fault of the text; the owner asks the budget which).
  enum class Kind : std::uint8_t { BadMarkup, WrongClose, Stopped };

  static DeepError bad_markup(std::uint64_t offset) {
    DeepError e;
    e.kind_ = Kind::BadMarkup;
    e.offset_ = offset;
    return e;
  }
  static DeepError stopped() {
    DeepError e;
    e.kind_ = Kind::Stopped;
    return e;
  }
  static DeepError wrong_close(std::string open, std::string closed) {
    DeepError e;
    e.kind_ = Kind::WrongClose;
    e.open_ = std::move(open);
    e.closed_ = std::move(closed);
    return e;
  }

  Kind kind() const { return kind_; }
  std::uint64_t offset() const { return offset_; }       // BadMarkup
  const std::string& open() const { return open_; }      // WrongClose: the element open
  const std::string& closed() const { return closed_; }  // WrongClose: the closing tag's name

  // "malformed deep XML at byte {}" or
  // "deep XML closed <{closed}> while <{open}> was open".
  std::string message() const;

  friend bool operator==(const DeepError&, const DeepError&) = default;

 private:
  DeepError() = default;
  Kind kind_ = Kind::BadMarkup;
  std::uint64_t offset_ = 0;
  std::string open_;
  std::string closed_;
};

template <class T>
using DeepResult = Result<T, DeepError>;

// The top-level elements of a deep XML text, in order. The first fault ends
// the read; entities and name escapes that do not decode stay as written.
DeepResult<std::vector<DeepNode>> parse_deep_xml(std::string_view text);
// The same with every node taken from `budget` (deep_node_cost) before it
// is kept, and the reading reported to it as work: Stopped when it refuses
// or its owner says stop.
DeepResult<std::vector<DeepNode>> parse_deep_xml(std::string_view text, ExpansionBudget& budget);

// What one node costs in memory beside its children: its record, its name
// and its text.
inline std::uint64_t deep_node_cost(std::string_view name, std::string_view text) {
  return sizeof(DeepNode) + name.size() + text.size();
}
// The cost of a node and all its descendants.
std::uint64_t deep_tree_cost(const DeepNode& node);

// The first child whose name equals `name` byte for byte, or nullptr.
const DeepNode* child(const DeepNode& node, std::string_view name);

// The text of that child, or none.
std::optional<std::string_view> child_text(const DeepNode& node, std::string_view name);

// Splits the children of a node into scalar fields and rows: a child with
// children of its own, or one named exactly "item", is a row; the others are
// fields. Only the grandchildren's texts are kept.
FlatDeepValue deep_value_from_node(const DeepNode& node);

// Decodes "_--XX" name escapes (also "_--+X" for a single hex digit). When
// the bytes produced are not valid UTF-8 the name is returned as it was.
std::string unescape_name(std::string_view name);

// Decodes the named entities and the numeric character references of a
// text; anything that does not decode is copied as written.
std::string decode_entities(std::string_view text);

}  // namespace quib::wire

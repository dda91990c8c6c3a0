// What is being described on one session while it is described: the one
// guard of the metadata lookups, which call the server and may need further
// lookups themselves.
//
//   - A structure met again while it is being described (a structure that
//     contains itself, directly or further down) is not described again,
//     and nested descriptions stop at a depth the lookups choose.
//   - While the dictionary types of a basXML call are being described, every
//     call on the session travels classic: a dictionary function that
//     accepts basXML would otherwise need its own types described first, and
//     those the same types again.
//
// The session's calls run on one thread at a time, so the guard needs no
// lock. Scopes enter and leave in nesting order.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace quib::proto {

class Describing {
 public:
  // Nothing is being described.
  bool empty() const { return structures_.empty() && basxml_types_ == 0; }
  // The nested structures being described, outermost first.
  std::size_t depth() const { return structures_.size(); }
  bool contains(std::string_view structure) const {
    return std::find(structures_.begin(), structures_.end(), structure) != structures_.end();
  }
  // The types of a basXML call are being described.
  bool describing_basxml_types() const { return basxml_types_ != 0; }

  // A nested structure being described until the scope ends.
  class StructureScope {
   public:
    StructureScope(Describing& guard, std::string structure) : guard_(guard) {
      guard_.structures_.push_back(std::move(structure));
    }
    ~StructureScope() { guard_.structures_.pop_back(); }
    StructureScope(const StructureScope&) = delete;
    StructureScope& operator=(const StructureScope&) = delete;

   private:
    Describing& guard_;
  };

  // The types of a basXML call being described until the scope ends.
  class BasxmlTypesScope {
   public:
    explicit BasxmlTypesScope(Describing& guard) : guard_(guard) { ++guard_.basxml_types_; }
    ~BasxmlTypesScope() { --guard_.basxml_types_; }
    BasxmlTypesScope(const BasxmlTypesScope&) = delete;
    BasxmlTypesScope& operator=(const BasxmlTypesScope&) = delete;

   private:
    Describing& guard_;
  };

 private:
  std::vector<std::string> structures_;
  std::size_t basxml_types_ = 0;
};

}  // namespace quib::proto

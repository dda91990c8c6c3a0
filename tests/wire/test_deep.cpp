// Deep values: the reader, its entity and name decoding, the lookups and the
// flattening; expat as an independent reader of the shared XML subset.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/testutil.hpp"
#include "wire/deep.hpp"

using namespace quib::wire;

namespace {

using quib::test::hex;

DeepNode leaf(std::string name, std::string text) {
  return DeepNode(std::move(name), std::move(text));
}

// The canonical form the expat oracle prints: "(" hex(name) ":" hex(text)
// children ")" per node, in document order.
std::string canonical(const std::vector<DeepNode>& nodes) {
  std::string out;
  struct Item {
    const DeepNode* node;  // nullptr: close the node opened before
  };
  std::vector<Item> work;
  for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) work.push_back({&*it});
  while (!work.empty()) {
    Item item = work.back();
    work.pop_back();
    if (item.node == nullptr) {
      out.push_back(')');
      continue;
    }
    out += "(" + hex(item.node->name) + ":" + hex(item.node->text);
    work.push_back({nullptr});
    for (auto it = item.node->children.rbegin(); it != item.node->children.rend(); ++it)
      work.push_back({&*it});
  }
  return out;
}

// A chain of `depth` nested elements named "a", each with text "t".
std::string nested_document(std::size_t depth) {
  std::string doc;
  doc.reserve(depth * 8);
  for (std::size_t i = 0; i < depth; ++i) doc += "<a>t";
  for (std::size_t i = 0; i < depth; ++i) doc += "</a>";
  return doc;
}

}  // namespace

namespace quib::wire {
// Failure messages show trees in the oracle's canonical form.
void PrintTo(const DeepNode& n, std::ostream* os) { *os << canonical({n}); }
}  // namespace quib::wire

TEST(DeepReader, WellFormedDocuments) {
  struct Case {
    std::string input;
    std::vector<DeepNode> expected;
  };
  const std::vector<Case> cases = {
      {"<A>1</A><B>x &amp; y</B>", {leaf("A", "1"), leaf("B", "x & y")}},
      {"", {}},
      {"only text outside", {}},
      {"pre<A>in</A>post", {leaf("A", "in")}},
      // The empty tag opens an element whose name is empty.
      {"<></>", {leaf("", "")}},
      // Anything between "<" and ">" is the name, attributes and "?" included.
      {"<a b=\"1\"></a b=\"1\">", {leaf("a b=\"1\"", "")}},
      {"<?xml?>v</?xml?>", {leaf("?xml?", "v")}},
      // A ">" in text is plain text.
      {"<A>1 > 0</A>", {leaf("A", "1 > 0")}},
      // Text around and between children belongs to the parent.
      {"<S>\n  <F1>1</F1>\n  <F2>2</F2>\n</S>",
       {DeepNode("S", "\n  \n  \n", {leaf("F1", "1"), leaf("F2", "2")})}},
      // Escapes in names, entities in texts are decoded when an element closes.
      {"<_--2FBIC_--2FF>&lt;&#65;&gt;</_--2FBIC_--2FF>", {leaf("/BIC/F", "<A>")}},
  };
  for (const Case& c : cases) {
    auto r = parse_deep_xml(c.input);
    ASSERT_TRUE(r.ok()) << c.input << ": " << r.error().message();
    EXPECT_EQ(r.value(), c.expected) << c.input;
  }
}

TEST(DeepReader, MalformedDocuments) {
  struct Case {
    std::string input;
    DeepError expected;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"<A>x</B>", DeepError::wrong_close("A", "B"), "deep XML closed <B> while <A> was open"},
      {"<A><B></A></B>", DeepError::wrong_close("B", "A"),
       "deep XML closed <A> while <B> was open"},
      // Names are compared raw: an escaped and an unescaped spelling differ.
      {"<_--2F></ />", DeepError::wrong_close("_--2F", " /"),
       "deep XML closed < /> while <_--2F> was open"},
      {"<a></A>", DeepError::wrong_close("a", "A"), "deep XML closed <A> while <a> was open"},
      {"<A>", DeepError::bad_markup(3), "malformed deep XML at byte 3"},
      {"</A>", DeepError::bad_markup(4), "malformed deep XML at byte 4"},
      {"<A>1</A></A>", DeepError::bad_markup(12), "malformed deep XML at byte 12"},
      {"<A", DeepError::bad_markup(0), "malformed deep XML at byte 0"},
      {"<A>text<B", DeepError::bad_markup(7), "malformed deep XML at byte 7"},
      {"<A/>", DeepError::bad_markup(4), "malformed deep XML at byte 4"},
      {"<A><B></B>trailing", DeepError::bad_markup(18), "malformed deep XML at byte 18"},
  };
  for (const Case& c : cases) {
    auto r = parse_deep_xml(c.input);
    ASSERT_FALSE(r.ok()) << c.input;
    EXPECT_EQ(r.error(), c.expected) << c.input;
    EXPECT_EQ(r.error().message(), c.message) << c.input;
  }
}

TEST(DeepReader, EntityDecoding) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"&#65;&#x42;&#x+43;", "ABC"},
      {"&#+68;", "D"},
      {"&#x4a;&#x4A;", "JJ"},
      {"&#000065;", "A"},
      {"&#233;&#x1F600;&#x10FFFF;", "\xC3\xA9\xF0\x9F\x98\x80\xF4\x8F\xBF\xBF"},
      {"&lt;&gt;&amp;&quot;&apos;", "<>&\"'"},
      // Decoding continues after each ";": "&amp;lt;" is "&lt;", not "<".
      {"&amp;lt;", "&lt;"},
      // Not references: copied as written.
      {"&#X41;", "&#X41;"},
      {"&#xD800;", "&#xD800;"},
      {"&#xDFFF;", "&#xDFFF;"},
      {"&#1114112;", "&#1114112;"},
      {"&#x110000;", "&#x110000;"},
      {"&#4294967361;", "&#4294967361;"},  // 2^32 + 65 must not wrap to "A"
      {"&#99999999999999999999999;", "&#99999999999999999999999;"},
      {"&#-65;", "&#-65;"},
      {"&#x-41;", "&#x-41;"},
      {"&#++65;", "&#++65;"},
      {"&#;", "&#;"},
      {"&#x;", "&#x;"},
      {"&#x+;", "&#x+;"},
      {"&#6 5;", "&#6 5;"},
      {"&foo;", "&foo;"},
      {"&LT;", "&LT;"},
      {"&;", "&;"},
      {"a & b", "a & b"},
      {"tail &amp", "tail &amp"},
      // The entity runs to the next ";", whatever stands in between.
      {"&a b &lt;", "&a b &lt;"},
      {"x&lt;y&#65", "x<y&#65"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(decode_entities(in), out) << in;
    // The reader applies the same decoding to every element text.
    auto r = parse_deep_xml("<T>" + in + "</T>");
    ASSERT_TRUE(r.ok()) << in;
    ASSERT_EQ(r.value().size(), 1u);
    EXPECT_EQ(r.value()[0].text, out) << in;
  }
}

TEST(DeepReader, NameEscapes) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"_--2FBIC_--2FFIELD", "/BIC/FIELD"},
      {"_--2fa", "/a"},
      {"_--+F", "\x0F"},
      {"A_--C3_--A9B",
       "A\xC3\xA9"
       "B"},
      {"_--E2_--82_--AC", "\xE2\x82\xAC"},
      // Bytes that are not UTF-8: the name stays as written, whole.
      {"_--FF", "_--FF"},
      {"_--2F_--C3", "_--2F_--C3"},
      // Not escapes.
      {"_--zz", "_--zz"},
      {"_--2", "_--2"},
      {"_--+", "_--+"},
      {"_--+G1", "_--+G1"},
      {"_-2F", "_-2F"},
      {"PLAIN", "PLAIN"},
      // The scan continues after a decoded escape, and after a failed one.
      {"_--_--2F", "_--/"},
      {"_--2F2F", "/2F"},
  };
  for (const auto& [in, out] : cases) {
    EXPECT_EQ(unescape_name(in), out) << in;
    auto r = parse_deep_xml("<" + in + "></" + in + ">");
    ASSERT_TRUE(r.ok()) << in;
    EXPECT_EQ(r.value().at(0).name, out) << in;
  }
}

TEST(DeepValue, LookupsAreExactAndFirstMatch) {
  auto r = parse_deep_xml("<P><K>1</K><k>2</k><K>3</K><E></E></P>");
  ASSERT_TRUE(r.ok());
  const DeepNode& p = r.value()[0];
  ASSERT_NE(child(p, "K"), nullptr);
  EXPECT_EQ(child(p, "K"), &p.children[0]);
  EXPECT_EQ(child_text(p, "K"), std::optional<std::string_view>("1"));
  EXPECT_EQ(child_text(p, "k"), std::optional<std::string_view>("2"));
  EXPECT_EQ(child_text(p, "E"), std::optional<std::string_view>(""));
  EXPECT_EQ(child(p, "X"), nullptr);
  EXPECT_EQ(child_text(p, "X"), std::nullopt);
  EXPECT_EQ(child_text(p, "K "), std::nullopt);
}

TEST(DeepValue, Flattening) {
  struct Case {
    std::string doc;
    FlatDeepValue expected;
  };
  const std::vector<Case> cases = {
      {"<S><F1>1</F1><item>x</item><ROW><C1>a</C1><C2>b</C2></ROW></S>",
       {"S", {{"F1", "1"}}, {{{"", "x"}}, {{"C1", "a"}, {"C2", "b"}}}}},
      // Rows and fields keep their order of appearance, interleaved or not.
      {"<S><R1><A>1</A></R1><F>f</F><R2><B>2</B></R2><G>g</G></S>",
       {"S", {{"F", "f"}, {"G", "g"}}, {{{"A", "1"}}, {{"B", "2"}}}}},
      // A grandchild's own children are dropped; only its text is kept.
      {"<S><ROW><C>c<D>d</D></C></ROW></S>", {"S", {}, {{{"C", "c"}}}}},
      // "item" is matched exactly; "ITEM" without children is a field.
      {"<T><ITEM>1</ITEM><item></item></T>", {"T", {{"ITEM", "1"}}, {{{"", ""}}}}},
      // The node's own text is not a field.
      {"<S>\n <F>1</F>\n</S>", {"S", {{"F", "1"}}, {}}},
      {"<E></E>", {"E", {}, {}}},
  };
  for (const Case& c : cases) {
    auto r = parse_deep_xml(c.doc);
    ASSERT_TRUE(r.ok()) << c.doc;
    EXPECT_EQ(deep_value_from_node(r.value().at(0)), c.expected) << c.doc;
  }
}

// Nesting depth is the peer's choice: a million nested elements must be read,
// copied, compared, flattened and freed without exhausting the stack.
TEST(DeepValue, MillionNestedElements) {
  constexpr std::size_t kDepth = 1'000'000;
  const std::string doc = nested_document(kDepth);
  auto r = parse_deep_xml(doc);
  ASSERT_TRUE(r.ok());
  ASSERT_EQ(r.value().size(), 1u);
  const DeepNode* n = &r.value()[0];
  std::size_t depth = 1;
  while (!n->children.empty()) {
    ASSERT_EQ(n->children.size(), 1u);
    EXPECT_EQ(n->text, "t");
    n = &n->children[0];
    ++depth;
  }
  EXPECT_EQ(depth, kDepth);

  DeepNode copy = r.value()[0];
  EXPECT_TRUE(copy == r.value()[0]);
  // A difference at the very bottom is found.
  DeepNode* m = &copy;
  while (!m->children.empty()) m = &m->children[0];
  m->text = "u";
  EXPECT_FALSE(copy == r.value()[0]);

  FlatDeepValue flat = deep_value_from_node(r.value()[0]);
  ASSERT_EQ(flat.rows.size(), 1u);
  EXPECT_EQ(flat.rows[0], (std::vector<DeepField>{{"a", "t"}}));

  copy = DeepNode("x", "");  // assigning over a deep tree frees it
  EXPECT_TRUE(copy.children.empty());

  // The same depth left open, and closed by the wrong name at the bottom.
  std::string open_only(doc.substr(0, kDepth * 4));
  auto open = parse_deep_xml(open_only);
  ASSERT_FALSE(open.ok());
  EXPECT_EQ(open.error(), DeepError::bad_markup(open_only.size()));
  auto wrong = parse_deep_xml(open_only + "</b>");
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error(), DeepError::wrong_close("a", "b"));
}

TEST(DeepValue, CopyKeepsSiblingOrderAtEveryLevel) {
  auto r = parse_deep_xml("<A>1<B>2<C>3</C><D>4</D></B><E>5<F>6</F></E>7</A><G>8</G>");
  ASSERT_TRUE(r.ok());
  std::vector<DeepNode> copy = r.value();
  EXPECT_EQ(canonical(copy), canonical(r.value()));
  EXPECT_EQ(copy, r.value());
  copy[0].children[1].children[0].name = "X";
  EXPECT_NE(copy, r.value());
}

TEST(DeepReader, AgreesWithExpat) {
  constexpr int kCount = 600;
  const std::string out =
      quib::test::run_python("tests/wire/oracles/deep_expat.py 20260903 " + std::to_string(kCount));
  std::size_t pos = 0;
  int checked = 0;
  std::string doc;
  while (pos < out.size()) {
    std::size_t nl = out.find('\n', pos);
    if (nl == std::string::npos) nl = out.size();
    std::string_view line(out.data() + pos, nl - pos);
    pos = nl + 1;
    if (line.substr(0, 2) == "D ") {
      doc = quib::test::unhex_text(line.substr(2));
    } else if (line.substr(0, 2) == "T ") {
      auto r = parse_deep_xml(doc);
      ASSERT_TRUE(r.ok()) << doc << ": " << r.error().message();
      EXPECT_EQ(canonical(r.value()), std::string(line.substr(2))) << doc;
      ++checked;
    }
  }
  EXPECT_EQ(checked, kCount);
}

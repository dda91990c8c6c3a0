// basXML: the writer's exact bytes, the reader's errors and limits, the
// writer's refusal of what the reader would reject, round trips through
// both, the debug forms and the tree's memory per element.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "wire/basxml.hpp"

using namespace quib::wire;

namespace quib::wire {
void PrintTo(const BasxmlError& e, std::ostream* os) { *os << e.message(); }
}  // namespace quib::wire

namespace {

// ---- hand-built token streams

struct Stream {
  Bytes b = to_bytes("BXML");

  Stream& byte(std::uint8_t v) {
    b.push_back(v);
    return *this;
  }
  Stream& bytes(std::initializer_list<std::uint8_t> v) {
    b.insert(b.end(), v);
    return *this;
  }
  Stream& varint(std::uint32_t v) {
    if (v < 0x80) {
      b.push_back(static_cast<std::uint8_t>(v));
    } else if (v < 0x800) {
      bytes({static_cast<std::uint8_t>(0xC0 | (v >> 6)),
             static_cast<std::uint8_t>(0x80 | (v & 0x3F))});
    } else if (v < 0x10000) {
      bytes({static_cast<std::uint8_t>(0xE0 | (v >> 12)),
             static_cast<std::uint8_t>(0x80 | ((v >> 6) & 0x3F)),
             static_cast<std::uint8_t>(0x80 | (v & 0x3F))});
    } else {
      bytes({static_cast<std::uint8_t>(0xF0 | (v >> 18)),
             static_cast<std::uint8_t>(0x80 | ((v >> 12) & 0x3F)),
             static_cast<std::uint8_t>(0x80 | ((v >> 6) & 0x3F)),
             static_cast<std::uint8_t>(0x80 | (v & 0x3F))});
    }
    return *this;
  }
  Stream& str(std::string_view s) {
    varint(static_cast<std::uint32_t>(s.size()));
    append_bytes(b, s);
    return *this;
  }
  Stream& plus(std::string_view s) { return byte('+').str(s); }
  Stream& open(std::uint32_t name, std::uint32_t ns = 1) {
    return byte('<').varint(name).varint(ns);
  }
  Stream& close() { return byte('>'); }
  Stream& attr(std::uint32_t name, std::uint32_t ns, std::string_view value) {
    return byte('@').varint(name).varint(ns).byte('A').str(value);
  }
  Stream& text(std::string_view s) { return byte('T').str(s); }
  Stream& binary(std::string_view s) { return byte('B').str(s); }

  // Strings 2 "asx", 3 URI A, 4 "abap", 5 "version", 6 "values",
  // 7 "asxhint", 8 URI B; namespaces 2 asx, 3 hint; asx:abap (version
  // "1.0") and asx:values open.
  // Declares "asx" and its namespace, opens asx:abap and names "version"
  // (string 5), before any attribute.
  static Stream abap_open() {
    Stream s;
    s.plus("asx").plus(kAsxNamespaceUri).byte(':').varint(2).varint(3);
    s.plus("abap").open(4, 2).plus("version");
    return s;
  }
  static Stream document() {
    Stream s = abap_open();
    s.attr(5, 1, "1.0");
    s.plus("values").plus("asxhint").plus(kHintNamespaceUri).byte(':').varint(7).varint(8);
    s.open(6, 2);
    return s;
  }
  // Closes asx:values and asx:abap.
  Stream& end() { return close().close(); }
};

BasxmlError parse_error(const Bytes& b) {
  auto r = parse_basxml(b);
  EXPECT_FALSE(r.ok());
  return r.ok() ? BasxmlError::bad_magic() : r.error();
}

BasxmlDocument parsed(const Bytes& b) {
  auto r = parse_basxml(b);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::move(r).value() : BasxmlDocument{};
}

Bytes written(const BasxmlDocument& doc) {
  auto r = write_basxml(doc);
  EXPECT_TRUE(r.ok()) << r.error().message();
  return r.ok() ? std::move(r).value() : Bytes{};
}

std::string params_debug(const BasxmlDocument& doc) {
  std::string out;
  for (std::size_t i = 0; i < doc.param_count(); ++i) {
    if (i) out += "\n";
    out += doc.param(i).debug();
  }
  return out;
}

// The bytes that follow the fixed prologue of a written document: the
// prologue is what a document without parameters holds before its two
// closing tokens.
Bytes after_prologue(const Bytes& b, std::string_view version) {
  BasxmlDocument empty;
  empty.version = std::string(version);
  const Bytes p = written(empty);
  const std::size_t len = p.size() - 2;
  EXPECT_GE(b.size(), len);
  EXPECT_TRUE(std::equal(p.begin(), p.begin() + static_cast<std::ptrdiff_t>(len), b.begin()));
  return Bytes(b.begin() + static_cast<std::ptrdiff_t>(std::min(len, b.size())), b.end());
}

}  // namespace

// ---------------------------------------------------------------------------
// Writing

TEST(WriteBasxml, PrologueIsExact) {
  BasxmlDocument doc;
  doc.version = "V1";
  doc.add_param(doc.new_element("P"));

  Stream e;
  e.byte(0x3F).byte(3).bytes({'V', 'E', 'R'}).byte(3).bytes({'0', '.', '7'});
  e.byte(0x3F).byte(3).bytes({'E', 'N', 'C'}).byte(5).bytes({'u', 't', 'f', '-', '8'});
  e.byte(0x2B).byte(3).bytes({'a', 's', 'x'});
  e.byte(0x2B).byte(0x1A);
  append_bytes(e.b, kAsxNamespaceUri);
  e.bytes({0x3A, 0x02, 0x03});
  e.byte(0x2B).byte(4).bytes({'a', 'b', 'a', 'p'}).bytes({0x3C, 0x04, 0x02});
  e.byte(0x2B).byte(7);
  append_bytes(e.b, std::string_view("version"));
  e.bytes({0x40, 0x05, 0x01}).byte(0x41).byte(2).bytes({'V', '1'});
  e.byte(0x2B).byte(7);
  append_bytes(e.b, std::string_view("asxhint"));
  e.byte(0x2B).byte(0x1F);
  append_bytes(e.b, kHintNamespaceUri);
  e.bytes({0x3A, 0x06, 0x07, 0x2A, 0x03});
  e.byte(0x2B).byte(6);
  append_bytes(e.b, std::string_view("values"));
  e.bytes({0x3C, 0x08, 0x02});
  // The first parameter name is string id 9.
  e.byte(0x2B).byte(1).byte('P').bytes({0x3C, 0x09, 0x01, 0x3E});
  e.bytes({0x3E, 0x3E});
  EXPECT_EQ(written(doc), e.b);
  EXPECT_EQ(kAsxNamespaceUri.size(), 26u);
  EXPECT_EQ(kHintNamespaceUri.size(), 31u);
}

TEST(WriteBasxml, NamesAreInternedOnceAndXmlPrefixesRewritten) {
  struct Case {
    std::vector<std::string> names;
    std::string expected;  // the token bytes after the prologue, '|' between tokens for reading
  };
  const Case cases[] = {
      {{"XMLType", "XMLType"}, "+\x08X-MLType|<\x09\x01|>|<\x09\x01|>"},
      {{"xmlData"}, "+\x08x-mlData|<\x09\x01|>"},
      {{"ab\xC3\xA9", "ab"},
       "+\x04"
       "ab\xC3\xA9|<\x09\x01|>|+\x02"
       "ab|<\x0A\x01|>"},
      {{"xm", "values"}, "+\x02xm|<\x09\x01|>|<\x08\x01|>"},
  };
  for (const Case& c : cases) {
    BasxmlDocument doc;
    doc.version = "1";
    for (const auto& n : c.names) doc.add_param(doc.new_element(n));
    std::string expected;
    for (char ch : c.expected)
      if (ch != '|') expected.push_back(ch);
    expected += ">>";
    EXPECT_EQ(as_chars(after_prologue(written(doc), "1")), expected) << c.names[0];
  }
}

// Forty names, then the same again from the last, then a name of the
// prologue: more than the few a writer finds by scanning, so the lookups
// span the change to hashing. Each name is defined once, at its first use,
// with the next id.
TEST(WriteBasxml, ManyNamesKeepTheirIdsAcrossBothLookups) {
  constexpr int kNames = 40;
  BasxmlDocument doc;
  doc.version = "1";
  std::vector<std::string> names;
  for (int i = 0; i < kNames; ++i) names.push_back(fmt::format("P{:02}", i));
  for (const auto& n : names) doc.add_param(doc.new_element(n));
  for (auto it = names.rbegin(); it != names.rend(); ++it) doc.add_param(doc.new_element(*it));
  // A name the prologue defined (string id 8), looked up once the writer hashes.
  doc.add_param(doc.new_element("values"));
  std::string expected;
  for (int i = 0; i < kNames; ++i)  // the first parameter name is string id 9
    expected += "+\x03" + names[i] + "<" + static_cast<char>(9 + i) + "\x01>";
  for (int i = kNames - 1; i >= 0; --i)
    expected += std::string("<") + static_cast<char>(9 + i) + "\x01>";
  expected += "<\x08\x01>>>";
  EXPECT_EQ(as_chars(after_prologue(written(doc), "1")), expected);
}

TEST(WriteBasxml, TextChunks) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> chunks;
  };
  const Case cases[] = {
      {0, {}}, {1, {1}}, {16384, {16384}}, {16385, {16384, 1}}, {40000, {16384, 16384, 7232}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    BasxmlDocument doc;
    doc.version = "1";
    doc.add_param(doc.text_element("t", std::string(c.size, 'x')));
    const Bytes body = after_prologue(written(doc), "1");
    Stream e;
    e.b.clear();
    e.plus("t").open(9, 1);
    for (std::size_t n : c.chunks) e.text(std::string(n, 'x'));
    e.close().end();
    EXPECT_EQ(body, e.b);
  }
}

TEST(WriteBasxml, RefusesWhatTheReaderWouldReject) {
  struct Case {
    const char* name;
    std::function<void(BasxmlDocument&)> build;
    bool accepted;
  };
  const std::size_t kLimit = kBasxmlVarintLimit;
  const std::vector<Case> cases = {
      {"binary just below the varint limit",
       [&](BasxmlDocument& d) { d.add_param(d.bytes_element("b", Bytes(kLimit - 1, 7))); }, true},
      {"binary at the varint limit",
       [&](BasxmlDocument& d) { d.add_param(d.bytes_element("b", Bytes(kLimit, 7))); }, false},
      {"attribute value at the limit",
       [&](BasxmlDocument& d) {
         ElementId e = d.new_element("a");
         d.add_attr(e, "v", Namespace::None, std::string(kLimit, 'v'));
         d.add_param(e);
       },
       false},
      {"attribute value just below",
       [&](BasxmlDocument& d) {
         ElementId e = d.new_element("a");
         d.add_attr(e, "v", Namespace::None, std::string(kLimit - 1, 'v'));
         d.add_param(e);
       },
       true},
      {"version text at the limit", [&](BasxmlDocument& d) { d.version.assign(kLimit, '1'); },
       false},
      {"name at the limit",
       [&](BasxmlDocument& d) { d.add_param(d.new_element(std::string(kLimit, 'n'))); }, false},
      {"xml name that the dash takes to the limit",
       [&](BasxmlDocument& d) { d.add_param(d.new_element("xml" + std::string(kLimit - 4, 'n'))); },
       false},
      {"long text is chunked",
       [&](BasxmlDocument& d) { d.add_param(d.text_element("t", std::string(3 * kLimit, 't'))); },
       true},
      {"text that is not UTF-8",
       [&](BasxmlDocument& d) { d.add_param(d.text_element("t", "a\xFF")); }, false},
      {"name that is not UTF-8", [&](BasxmlDocument& d) { d.add_param(d.new_element("\xC3")); },
       false},
      {"attribute value that is not UTF-8",
       [&](BasxmlDocument& d) {
         ElementId e = d.new_element("a");
         d.add_attr(e, "v", Namespace::None, "\xED\xA0\x80");  // a surrogate
         d.add_param(e);
       },
       false},
      {"names beyond the reader's budget",
       [&](BasxmlDocument& d) {
         // A 100 KiB name used 400 times: 40 MB of names against a payload
         // of about 100 KiB.
         const std::string big(100 * 1024, 'n');
         for (int i = 0; i < 400; ++i) d.add_param(d.new_element(big));
       },
       false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BasxmlDocument doc;
    doc.version = "1.0";
    c.build(doc);
    auto w = write_basxml(doc);
    ASSERT_EQ(w.ok(), c.accepted) << (w.ok() ? "" : w.error().message());
    if (w.ok()) {
      auto back = parse_basxml(*w);
      EXPECT_TRUE(back.ok()) << back.error().message();
    } else {
      EXPECT_EQ(w.error().kind, BasxmlError::Kind::Unwritable);
      EXPECT_EQ(w.error().message().rfind("document cannot be written as basXML: ", 0), 0u)
          << w.error().message();
    }
  }
}

TEST(WriteBasxml, NameBudgetJustUnderAtAndJustOverItsLimit) {
  // A reader allows 32 bytes of names per byte of token stream, beside 4096,
  // and counts a name at every element that opens with it and every
  // attribute that carries it; the envelope (asx:abap, its version
  // attribute and asx:values) takes 4 + 7 + 6 of them. A name of L bytes
  // used 33 times adds 33 L bytes of names and L bytes of stream (it is
  // defined once), so each byte more of it takes the names one byte nearer
  // the budget: the fixture finds the L at which they meet.
  constexpr std::uint64_t kEnvelopeNames = 4 + 7 + 6;
  constexpr int kUses = 33;
  constexpr std::size_t kProbe = 0x800;  // lengths from here to 0xFFFF take a three-byte varint
  struct Shape {
    const char* name;
    std::uint64_t other_names;  // name bytes beside the envelope and the long name
    std::function<void(BasxmlDocument&, const std::string&)> build;
  };
  const Shape shapes[] = {
      {"elements", 0,
       [](BasxmlDocument& d, const std::string& name) {
         for (int i = 0; i < kUses; ++i) d.add_param(d.new_element(name));
       }},
      {"attributes", kUses,
       [](BasxmlDocument& d, const std::string& name) {
         for (int i = 0; i < kUses; ++i) {
           const ElementId e = d.new_element("a");
           d.add_attr(e, name, Namespace::None, "");
           d.add_param(e);
         }
       }},
  };
  for (const Shape& shape : shapes) {
    SCOPED_TRACE(shape.name);
    const auto write_with = [&](std::size_t length) {
      BasxmlDocument doc;
      doc.version = "1.0";
      shape.build(doc, std::string(length, 'n'));
      return write_basxml(doc);
    };
    const auto probe = write_with(kProbe);
    ASSERT_TRUE(probe.ok()) << probe.error().message();
    const std::uint64_t rest = probe->size() - kProbe;  // the stream without the name's bytes
    const std::uint64_t base = kEnvelopeNames + shape.other_names;
    // names - budget = (base + 33 L) - (32 (rest + L) + 4096) = L + base - 32 rest - 4096.
    const std::size_t at_limit = 32 * rest + 4096 - base;
    ASSERT_GT(at_limit - 1, kProbe);
    ASSERT_LT(at_limit + 1, 0x10000u);

    struct Case {
      const char* name;
      std::size_t length;
      bool accepted;
    };
    const Case cases[] = {
        {"one byte under", at_limit - 1, true},
        {"exactly the budget", at_limit, true},
        {"one byte over", at_limit + 1, false},
    };
    for (const Case& c : cases) {
      SCOPED_TRACE(c.name);
      const auto w = write_with(c.length);
      const std::uint64_t names = base + kUses * c.length;
      const std::uint64_t stream = rest + c.length;
      const std::uint64_t budget = 32 * stream + 4096;
      ASSERT_EQ(w.ok(), c.accepted) << (w.ok() ? "" : w.error().message());
      if (c.accepted) {
        ASSERT_EQ(w->size(), stream);
        EXPECT_EQ(budget - names, at_limit - c.length);
        const auto back = parse_basxml(*w);
        EXPECT_TRUE(back.ok()) << back.error().message();
      } else {
        EXPECT_EQ(w.error().kind, BasxmlError::Kind::Unwritable);
        const std::string expected = fmt::format(
            "document cannot be written as basXML: its names take {} bytes, beyond the {} that a "
            "reader allows for {} bytes of payload",
            names, budget, stream);
        EXPECT_EQ(w.error().message(), expected);
      }
    }
  }
}

TEST(WriteBasxml, NestingUpToTheReadersDepth) {
  // The root and asx:values take two of the 128 levels: a parameter may
  // hold 125 levels below it.
  for (int below : {125, 126}) {
    SCOPED_TRACE(below);
    BasxmlDocument doc;
    doc.version = "1.0";
    ElementId e = doc.text_element("leaf", "x");
    for (int i = 0; i < below; ++i) {
      const ElementId children[] = {e};
      e = doc.structure_element("n", children);
    }
    doc.add_param(e);
    auto w = write_basxml(doc);
    ASSERT_EQ(w.ok(), below == 125) << (w.ok() ? "" : w.error().message());
    if (w.ok()) {
      BasxmlDocument back = parsed(*w);
      Element cur = back.param(0);
      int depth = 0;
      while (cur.content().is_elements()) {
        cur = *cur.content().children().begin();
        ++depth;
      }
      EXPECT_EQ(depth, 125);
      EXPECT_EQ(cur.content().text(), "x");
    }
  }
}

// ---------------------------------------------------------------------------
// Round trips

TEST(BasxmlRoundTrip, KeepsOrderNamespacesAndContents) {
  BasxmlDocument doc;
  doc.version = "1.0";
  const std::string big(16384 * 2 + 3, 'a');
  // A two-byte character split across the chunk boundary.
  std::string split(16383, 'b');
  split += "\xC3\xA9tail";
  const ElementId f1 = doc.text_element("MATNR", "4711");
  const ElementId f2 = doc.bytes_element("RAW", Bytes{0, 1, 2, 255});
  const ElementId f3 = doc.new_element("EMPTY");
  const ElementId f4 = doc.text_element("xmlData", "<&>\"");
  const ElementId s1 = doc.structure_element("S", std::vector<ElementId>{f1, f2, f3, f4});
  doc.add_attr(s1, "z", Namespace::None, "first");
  doc.add_attr(s1, "a", Namespace::Asx, "second");
  std::vector<ElementId> rows;
  for (int i = 0; i < 3; ++i) {
    const ElementId cell = doc.text_element("F", std::to_string(i));
    rows.push_back(doc.structure_element("item", std::vector<ElementId>{cell}));
  }
  const ElementId table = doc.table_element("T", rows);
  const ElementId hinted = doc.text_element("H", big);
  doc.set_namespace(hinted, Namespace::Hint);
  doc.add_param(s1);
  doc.add_param(table);
  doc.add_param(hinted);
  doc.add_param(doc.text_element("SPLIT", split));
  doc.add_param(doc.text_element("NOTHING", ""));
  doc.add_param(doc.bytes_element("NOBYTES", {}));
  doc.add_param(doc.structure_element("NOKIDS", {}));
  doc.add_param(doc.table_element("NOROWS", {}));

  const BasxmlDocument back = parsed(written(doc));
  EXPECT_EQ(back.version, "1.0");
  ASSERT_EQ(back.param_count(), 8u);
  // The same trees, except that the "xml" name comes back with its dash.
  std::string expected = params_debug(doc);
  const std::string from = "\"xmlData\"", to = "\"x-mlData\"";
  expected.replace(expected.find(from), from.size(), to);
  EXPECT_EQ(params_debug(back), expected);

  const Element t = back.param(1);
  EXPECT_EQ(t.attr("lines", Namespace::Hint), "3");
  EXPECT_EQ(t.content().children().size(), 3u);
  EXPECT_EQ(back.param(2).ns(), Namespace::Hint);
  EXPECT_EQ(back.param(2).content().text(), big);
  EXPECT_EQ(back.param(3).content().text(), split);
  EXPECT_EQ(back.param(7).attr("lines", Namespace::Hint), "0");
  for (std::size_t i = 4; i < 7; ++i) EXPECT_TRUE(back.param(i).content().is_empty()) << i;

  // Writing what was read gives the same bytes again.
  EXPECT_EQ(written(back), written(parsed(written(back))));
}

TEST(BasxmlRoundTrip, PlacingAnElementTwiceCopiesIt) {
  BasxmlDocument doc;
  doc.version = "1";
  const ElementId leaf = doc.text_element("L", "v");
  const ElementId a = doc.structure_element("A", std::vector<ElementId>{leaf, leaf});
  doc.add_attr(a, "k", Namespace::None, "1");
  doc.add_param(a);
  doc.add_param(a);
  const BasxmlDocument back = parsed(written(doc));
  ASSERT_EQ(back.param_count(), 2u);
  const std::string one =
      "Element { name: \"A\", ns: None, attrs: [Attr { name: \"k\", ns: None, value: \"1\" }], "
      "content: "
      "Elements([Element { name: \"L\", ns: None, attrs: [], content: Text(\"v\") }, "
      "Element { name: \"L\", ns: None, attrs: [], content: Text(\"v\") }]) }";
  EXPECT_EQ(back.param(0).debug(), one);
  EXPECT_EQ(back.param(1).debug(), one);
  EXPECT_EQ(params_debug(doc), one + "\n" + one);
}

TEST(BasxmlRoundTrip, ValuesWithoutParameters) {
  BasxmlDocument doc;
  doc.version = "1.0";
  const Bytes w = written(doc);
  ASSERT_GE(w.size(), 5u);
  // asx:values opens and closes at once, then asx:abap closes.
  EXPECT_EQ(Bytes(w.end() - 5, w.end()), (Bytes{0x3C, 0x08, 0x02, 0x3E, 0x3E}));
  EXPECT_EQ(parsed(w).param_count(), 0u);
  // An asx:values whose only content is a zero-length binary is Empty too.
  EXPECT_EQ(parsed(Stream::document().binary("").end().b).param_count(), 0u);
}

// ---------------------------------------------------------------------------
// Reading: errors

TEST(ParseBasxml, Errors) {
  namespace r = basxml_reason;
  using E = BasxmlError;
  struct Case {
    const char* name;
    Bytes bytes;
    BasxmlError expected;
  };
  auto raw = [](std::initializer_list<std::uint8_t> v) {
    Stream s;
    s.bytes(v);
    return s.b;
  };
  auto doc = [] { return Stream::document(); };
  const std::size_t body = doc().b.size();  // offset of the first token after the prologue
  std::vector<Case> cases = {
      {"empty", {}, E::bad_magic()},
      {"short magic", to_bytes("BXM"), E::bad_magic()},
      {"wrong magic", to_bytes("bXML"), E::bad_magic()},
      {"magic alone", to_bytes("BXML"), E::ended_mid_token()},
      {"zero token", raw({0x00}), E::unknown_token(0x00, 4)},
      {"overlong zero varint", raw({'+', 0xC0, 0x80}), E::invalid_varint(5)},
      {"five-byte varint lead", raw({'+', 0xF8, 0x88, 0x80, 0x80}), E::invalid_varint(5)},
      {"continuation as lead", raw({'+', 0x80}), E::invalid_varint(5)},
      {"bad continuation", raw({'+', 0xE1, 0x80, 0x41}), E::invalid_varint(5)},
      {"varint cut short", raw({'+', 0xE1, 0x80}), E::ended_mid_token()},
      {"string cut short", raw({'+', 0x05, 'a', 'b'}), E::ended_mid_token()},
      {"string not UTF-8", raw({'?', 0x01, 'a', 0x02, 0xC3, 0x28}), E::invalid_utf8(7)},
      {"unknown token", doc().byte('Z').b, E::unknown_token(0x5A, body)},
      {"name id 0", doc().open(0).b, E::undefined_id(0, body)},
      {"name id 1", doc().open(1).b, E::undefined_id(1, body)},
      {"undefined name id", doc().open(9).b, E::undefined_id(9, body)},
      {"namespace id 0", doc().open(6, 0).b, E::undefined_id(0, body)},
      {"undeclared namespace", doc().open(6, 4).b, E::undefined_id(4, body)},
      {"undefined attribute name", doc().byte('@').varint(50).varint(1).b,
       E::undefined_id(50, body)},
      {"star with namespace 0", doc().byte('*').varint(0).b, E::undefined_id(0, body)},
      {"star with namespace 4", doc().byte('*').varint(4).b, E::undefined_id(4, body)},
      {"undefined prefix", doc().byte(':').varint(40).varint(3).b, E::undefined_id(40, body)},
      {"unknown namespace URI", doc().plus("urn:x").byte(':').varint(2).varint(9).b,
       E::unknown_namespace("urn:x")},
      {"after the root", doc().end().byte(0x00).b, E::malformed(body + 2, r::kAfterRoot)},
      {"attribute name then a close", doc().byte('@').varint(5).varint(1).close().b,
       E::malformed(body + 3, r::kAttrNotFollowed)},
      {"attribute outside any element", Stream().plus("a").attr(2, 1, "v").b,
       E::malformed(10, r::kAttrOutside)},
      {"value without a name", doc().byte('A').str("v").b,
       E::malformed(body, r::kValueWithoutName)},
      {"text chunk of 0", doc().text("").b, E::malformed(body, r::kChunkSize)},
      {"text chunk of 16385", doc().text(std::string(16385, 't')).b,
       E::malformed(body, r::kChunkSize)},
      {"text chunk past the end", doc().byte('T').varint(100).b, E::ended_mid_token()},
      {"text outside", Stream().text("t").b, E::malformed(4, r::kTextOutside)},
      {"text after a partial chunk", doc().open(6).text(std::string(100, 't')).text("u").b,
       E::malformed(body + 3 + 2 + 100, r::kPartialChunk)},
      {"binary outside", Stream().binary("b").b, E::malformed(4, r::kBinaryOutside)},
      {"second binary", doc().open(6).binary("a").binary("b").b,
       E::malformed(body + 6, r::kSecondBinary)},
      {"close with nothing open", Stream().close().b, E::malformed(4, r::kCloseNothing)},
      {"text and children", doc().open(6).text("t").open(6).close().close().b,
       E::malformed(body, r::kMixed)},
      {"binary and children", doc().open(6).open(6).close().binary("b").close().b,
       E::malformed(body, r::kMixed)},
      {"text and binary", doc().open(6).binary("b").text("t").close().b,
       E::malformed(body, r::kMixed)},
      {"text not UTF-8 across chunks",
       doc().open(6).text(std::string(16383, 'a') + "\xC3").text("\xC3").close().b,
       E::invalid_utf8(body)},
      {"elements still open", doc().open(6).b, E::ended_mid_token()},
      {"root not asx:abap", Stream().plus("abap").open(2).close().b,
       E::unexpected_shape(r::kRootNotAbap)},
      {"no version", Stream::abap_open().attr(5, 2, "1").close().b,
       E::unexpected_shape(r::kNoVersion)},
      {"root without children", Stream::abap_open().attr(5, 1, "1").text("x").close().b,
       E::unexpected_shape(r::kNoChildren)},
      {"two children of the root", doc().close().open(6, 2).close().close().b,
       E::unexpected_shape(r::kNotExactlyValues)},
      {"values in no namespace",
       Stream::abap_open().attr(5, 1, "1").plus("values").open(6, 1).close().close().b,
       E::unexpected_shape(r::kNotExactlyValues)},
      {"values holds text", doc().text("x").end().b, E::unexpected_shape(r::kValuesHoldValue)},
      {"values holds bytes", doc().binary("x").end().b, E::unexpected_shape(r::kValuesHoldValue)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(parse_error(c.bytes), c.expected);
  }
}

TEST(ParseBasxml, AcceptedEdgeShapes) {
  // A 16384-byte chunk followed by a 10-byte chunk; a zero-length binary
  // counts as absent (a second binary may follow); attributes may come
  // after text; declarations and "*" with a declared namespace are ignored.
  Stream s = Stream::document();
  s.byte('?').str("X").str("Y").byte('*').varint(3).byte('*').varint(1);
  s.plus("p")
      .open(9)
      .text(std::string(16384, 'a'))
      .attr(5, 1, "v")
      .text(std::string(10, 'b'))
      .close();
  s.open(9).binary("").binary("\x01\x02").close();
  s.open(9).binary("").close();
  s.end();
  const BasxmlDocument doc = parsed(s.b);
  ASSERT_EQ(doc.param_count(), 3u);
  EXPECT_EQ(doc.param(0).content().text(), std::string(16384, 'a') + std::string(10, 'b'));
  EXPECT_EQ(doc.param(0).attr("version", Namespace::None), "v");
  EXPECT_EQ(doc.param(1).content().debug(), "Bytes([1, 2])");
  EXPECT_EQ(doc.param(2).content().debug(), "Empty");
  // The first version attribute of asx:abap counts.
  Stream twice = Stream::abap_open();
  twice.attr(5, 1, "first").attr(5, 1, "second").plus("values").open(6, 2).end();
  EXPECT_EQ(parsed(twice.b).version, "first");
}

TEST(ParseBasxml, NestingDepthLimit) {
  // asx:abap and asx:values are two levels; 126 more make 128.
  for (int extra : {126, 127}) {
    SCOPED_TRACE(extra);
    Stream s = Stream::document();
    s.plus("n");
    std::size_t last_open = 0;
    for (int i = 0; i < extra; ++i) {
      last_open = s.b.size();
      s.open(9);
    }
    for (int i = 0; i < extra; ++i) s.close();
    s.end();
    if (extra == 126) {
      EXPECT_EQ(parsed(s.b).param_count(), 1u);
    } else {
      EXPECT_EQ(parse_error(s.b), BasxmlError::resource_limit(last_open, basxml_reason::kDepth));
    }
  }
}

TEST(ParseBasxml, StorageJustUnderAndJustOverTheBudget) {
  // Ten empty elements, the first with an attribute: what the document
  // stores fits a budget of exactly that size, and one byte less refuses
  // the last thing stored (the closing of asx:abap, which stores nothing,
  // comes after it).
  Stream s = Stream::document();
  s.plus("n");
  for (int i = 0; i < 10; ++i) {
    s.open(9);
    if (i == 0) s.attr(9, 1, "a");
    s.close();
  }
  const std::size_t last = s.b.size() - 1;  // the close of the tenth element
  s.end();
  ExpansionBudget measure;
  ASSERT_TRUE(parse_basxml(s.b, measure).ok());
  const std::uint64_t used = measure.used();
  // The records of twelve elements, two attributes and nine strings.
  EXPECT_GE(used, 12 * kBasxmlElementCost + 2 * kBasxmlAttrCost + 9 * kBasxmlStringCost);

  ExpansionBudget fits(used);
  auto ok = parse_basxml(s.b, fits);
  ASSERT_TRUE(ok.ok()) << ok.error().message();
  EXPECT_EQ(ok->param_count(), 10u);
  EXPECT_EQ(fits.left(), 0u);

  ExpansionBudget over(used - 1);
  auto refused = parse_basxml(s.b, over);
  ASSERT_FALSE(refused.ok());
  EXPECT_EQ(refused.error(),
            BasxmlError::resource_limit(last - 3, basxml_reason::kExpansionBudget));
  EXPECT_TRUE(over.exhausted());
}

// Keeps the parameters and descendants whose names start with "K", and
// records what it was asked.
class KeepK final : public BasxmlSelection {
 public:
  bool keep(std::size_t depth, std::string_view name, Namespace) override {
    asked.push_back(std::to_string(depth) + std::string(name));
    const bool k = !name.empty() && name[0] == 'K';
    if (k) ++open;
    return k;
  }
  void closed() override { --open; }
  std::vector<std::string> asked;
  int open = 0;
};

TEST(ParseBasxml, WhatTheSelectionLeavesOutCostsNothing) {
  // Strings 9 "K", 10 "x", 11 "KID". A kept parameter K holds a kept
  // child KID and 100000 empty children x; a parameter x holds 100000 more
  // and text after them would have been refused. What is stored is what a
  // document of K and KID alone stores, plus the strings.
  auto document = [](int filler) {
    Stream s = Stream::document();
    s.plus("K").plus("x").plus("KID");
    s.open(9).open(11).text("kept").close();
    for (int i = 0; i < filler; ++i) s.open(10).close();
    s.close();
    s.open(10);
    for (int i = 0; i < filler; ++i) s.open(10).open(9).close().close();
    s.close();
    s.end();
    return s.b;
  };
  KeepK small_sel, big_sel;
  ExpansionBudget small, big;
  auto a = parse_basxml(document(0), small, &small_sel);
  auto b = parse_basxml(document(100000), big, &big_sel);
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(big.used(), small.used());
  EXPECT_EQ(params_debug(b.value()),
            "Element { name: \"K\", ns: None, attrs: [], content: Elements([Element { name: "
            "\"KID\", ns: None, attrs: [], content: Text(\"kept\") }]) }");
  // Asked for the parameters and the children of K; nothing below x.
  EXPECT_EQ(big_sel.asked.size(), 2u + 1 + 100000);
  EXPECT_EQ(big_sel.asked[0], "0K");
  EXPECT_EQ(big_sel.asked.back(), "0x");
  EXPECT_EQ(big_sel.open, 0);
  // A parameter whose children were all left out still holds elements, so
  // that it reads as no value.
  Stream s = Stream::document();
  s.plus("K").plus("x");
  s.open(9).open(10).close().close().end();
  KeepK sel;
  auto c = parse_basxml(s.b, big, &sel);
  ASSERT_TRUE(c.ok());
  EXPECT_TRUE(c->param(0).content().is_elements());
  EXPECT_TRUE(c->param(0).content().children().empty());
}

TEST(ParseBasxml, WhatIsLeftOutIsCheckedAllTheSame) {
  // Texts of elements left out are checked chunk by chunk: a character
  // split between two chunks is valid, a byte that starts none is not, nor
  // a text that ends inside a character; mixing and a second binary are
  // refused as they are in kept elements.
  const std::string full(kBasxmlTextChunk - 1, 'a');
  struct Case {
    const char* what;
    std::function<void(Stream&)> body;  // inside a left-out parameter x
    bool ok;
  };
  const Case cases[] = {
      {"split character", [&](Stream& s) { s.text(full + "\xC3").text("\xA9 and more"); }, true},
      {"split four-byte character", [&](Stream& s) { s.text(full + "\xF0").text("\x9F\x98\x80"); },
       true},
      {"orphan continuation", [&](Stream& s) { s.text(full + "a").text("\x80"); }, false},
      {"ends inside a character", [&](Stream& s) { s.text(full + "\xE2").text("\x82"); }, false},
      {"overlong form", [&](Stream& s) { s.text("\xC0\xAF"); }, false},
      {"mixed", [&](Stream& s) { s.text("t").open(9).close(); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Stream s = Stream::document();
    s.plus("x");
    const std::size_t at = s.b.size();
    s.open(9);
    c.body(s);
    s.close().end();
    KeepK none;
    ExpansionBudget budget;
    auto left_out = parse_basxml(s.b, budget, &none);
    auto kept = parse_basxml(s.b);
    ASSERT_EQ(left_out.ok(), c.ok);
    ASSERT_EQ(kept.ok(), c.ok);
    if (!c.ok) {
      EXPECT_EQ(left_out.error(), kept.error());
      EXPECT_EQ(left_out.error().offset, at);
    }
  }
}

TEST(ParseBasxml, StopsWhenItsOwnerSaysSo) {
  // Asked every few kilobytes of stream: a "no" ends the reading as
  // Stopped.
  Stream s = Stream::document();
  s.plus("n");
  for (int i = 0; i < 200000; ++i) s.open(9).close();
  s.end();
  int asked = 0;
  ExpansionBudget budget(ExpansionBudget::kUnlimited, [&] { return ++asked < 2; });
  auto r = parse_basxml(s.b, budget);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), BasxmlError::stopped());
  EXPECT_TRUE(budget.stopped());
  EXPECT_EQ(asked, 2);
}

TEST(ParseBasxml, NameBudget) {
  // 1200 bytes of payload: a budget of 32 * 1200 + 4096 = 42496 bytes of
  // names, so a 1000-byte name may be opened 42 times, not 43.
  Stream s;
  s.plus(std::string(1000, 'n'));
  std::vector<std::size_t> opens;
  for (int i = 0; i < 43; ++i) {
    opens.push_back(s.b.size());
    s.open(2);
  }
  ASSERT_LE(s.b.size(), 1200u);
  s.b.resize(1200, 0x00);
  EXPECT_EQ(parse_error(s.b), BasxmlError::resource_limit(opens[42], basxml_reason::kBudget));

  // A name that uses the budget up exactly is accepted; one payload byte
  // less (32 bytes of budget less) refuses it.
  bool found = false;
  for (std::uint32_t pad = 1; pad < 3000 && !found; ++pad) {
    if (pad == 128 || pad == 2048) continue;  // pad - 1 would have a shorter length varint
    for (std::uint32_t b = 32; b < 128 && !found; ++b) {
      auto build = [&](std::uint32_t p) {
        Stream t;
        t.plus(std::string(1000, 'a')).plus(std::string(b, 'b')).plus(std::string(p, 'p'));
        for (int i = 0; i < 50; ++i) t.open(2);
        t.open(3);
        return t;
      };
      Stream t = build(pad);
      if (50 * 1000 + b != 32 * t.b.size() + 4096) continue;
      found = true;
      EXPECT_EQ(parse_error(t.b), BasxmlError::ended_mid_token());
      Stream shorter = build(pad - 1);
      ASSERT_EQ(shorter.b.size(), t.b.size() - 1);
      EXPECT_EQ(parse_error(shorter.b),
                BasxmlError::resource_limit(shorter.b.size() - 3, basxml_reason::kBudget));
    }
  }
  EXPECT_TRUE(found);
}

TEST(ParseBasxml, ErrorMessages) {
  const std::pair<BasxmlError, const char*> cases[] = {
      {BasxmlError::bad_magic(), "payload does not start with BXML"},
      {BasxmlError::ended_mid_token(), "token stream ended mid-token"},
      {BasxmlError::invalid_varint(5), "invalid varint at 5"},
      {BasxmlError::invalid_utf8(9), "invalid UTF-8 in value at 9"},
      {BasxmlError::unknown_token(0x5A, 17), "unknown token 0x5a at 17"},
      {BasxmlError::unknown_token(0x00, 4), "unknown token 0x00 at 4"},
      {BasxmlError::undefined_id(40, 3), "undefined string/namespace id 40 at 3"},
      {BasxmlError::unknown_namespace("urn:x"), "unknown namespace urn:x"},
      {BasxmlError::malformed(8, basxml_reason::kCloseNothing),
       "malformed token stream at 8: close with nothing open"},
      {BasxmlError::unexpected_shape(basxml_reason::kRootNotAbap),
       "unexpected document shape: root is not asx:abap"},
      {BasxmlError::resource_limit(12, basxml_reason::kDepth),
       "resource limit exceeded at 12: element nesting depth"},
  };
  for (const auto& [e, text] : cases) EXPECT_EQ(e.message(), text);
}

// ---------------------------------------------------------------------------
// The tree

TEST(BasxmlTree, BuildersAndDebugForms) {
  BasxmlDocument doc;
  EXPECT_EQ(doc.element(doc.new_element("x")).debug(),
            "Element { name: \"x\", ns: None, attrs: [], content: Empty }");
  EXPECT_EQ(doc.element(doc.text_element("x", "")).content().debug(), "Empty");
  EXPECT_EQ(doc.element(doc.text_element("x", "hello")).content().debug(), "Text(\"hello\")");
  EXPECT_EQ(doc.element(doc.text_element("x", "a\"b\\c\nd\x01")).content().debug(),
            "Text(\"a\\\"b\\\\c\\nd\\u{1}\")");
  EXPECT_EQ(doc.element(doc.bytes_element("x", Bytes{1, 200})).content().debug(),
            "Bytes([1, 200])");
  EXPECT_EQ(doc.element(doc.structure_element("x", {})).content().debug(), "Empty");
  const ElementId rows[] = {doc.new_element("item"), doc.text_element("item", "r")};
  const ElementId t = doc.table_element("T", rows);
  EXPECT_EQ(doc.element(t).debug(),
            "Element { name: \"T\", ns: None, attrs: [Attr { name: \"lines\", ns: Hint, value: "
            "\"2\" }], content: "
            "Elements([Element { name: \"item\", ns: None, attrs: [], content: Empty }, "
            "Element { name: \"item\", ns: None, attrs: [], content: Text(\"r\") }]) }");
  EXPECT_EQ(doc.element(doc.table_element("E", {})).debug(),
            "Element { name: \"E\", ns: None, attrs: [Attr { name: \"lines\", ns: Hint, value: "
            "\"0\" }], content: Empty }");
}

TEST(BasxmlTree, DeepTreesRenderWithoutRecursion) {
  BasxmlDocument doc;
  ElementId e = doc.new_element("leaf");
  for (int i = 0; i < 200000; ++i) {
    const ElementId c[] = {e};
    e = doc.structure_element("n", c);
  }
  const std::string d = doc.element(e).debug();
  EXPECT_EQ(
      d.size(),
      200000 * std::string("Element { name: \"n\", ns: None, attrs: [], content: Elements([]) }")
                   .size() +
          std::string("Element { name: \"leaf\", ns: None, attrs: [], content: Empty }").size());
  // The writer refuses it (deeper than a reader accepts) without recursing.
  doc.version = "1";
  doc.add_param(e);
  EXPECT_FALSE(write_basxml(doc).ok());
}

TEST(BasxmlTree, MemoryGrowsWithThePayload) {
  // Hostile shapes whose tokens are as small as they can be: each record
  // of the tree may cost a small multiple of its bytes on the wire, never
  // a per-element overhead that dwarfs them.
  struct Case {
    const char* name;
    std::function<void(Stream&)> body;
  };
  const int n = 300000;
  const Case cases[] = {
      {"empty elements",
       [&](Stream& s) {
         for (int i = 0; i < n; ++i) s.open(9).close();
       }},
      {"one-byte texts",
       [&](Stream& s) {
         for (int i = 0; i < n; ++i) s.open(9).text("t").close();
       }},
      {"attributes",
       [&](Stream& s) {
         s.open(9);
         for (int i = 0; i < n; ++i) s.attr(9, 1, "");
         s.close();
       }},
      {"strings",
       [&](Stream& s) {
         for (int i = 0; i < n; ++i) s.plus("");
       }},
      {"nested",
       [&](Stream& s) {
         for (int i = 0; i < n / 100; ++i) {
           for (int k = 0; k < 100; ++k) s.open(9);
           for (int k = 0; k < 100; ++k) s.close();
         }
       }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Stream s = Stream::document();
    s.plus("p");
    c.body(s);
    s.end();
    const BasxmlDocument doc = parsed(s.b);
    EXPECT_LE(doc.memory_bytes(), 16 * s.b.size() + 65536)
        << doc.memory_bytes() << " for " << s.b.size();
  }
}

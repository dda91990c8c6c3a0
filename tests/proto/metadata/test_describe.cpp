// Function descriptions: the PARAMS row decoder and its letter tables, the
// description built from a reply, the lookups on a description, and the
// fetch through the metadata cache.
#include <gtest/gtest.h>

#include <memory>

#include "proto/call/reply.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/invoke/lookups.hpp"
#include "proto/metadata/describe.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/descriptions.hpp"

namespace quib::proto {
namespace {

using test::FakeSession;
using test::interface_reply;
using test::params_row;
using test::ReplyBuilder;
using test::utf16;
using wire::AbapType;
using wire::Bytes;
using wire::RecordId;

TEST(ParamsRow, LetterTables) {
  const std::pair<char16_t, ParamDirection> classes[] = {
      {u'I', ParamDirection::Import},
      {u'E', ParamDirection::Export},
      {u'C', ParamDirection::Changing},
      {u'T', ParamDirection::Table},
      {u'X', ParamDirection::Exception},
      {u'c', ParamDirection::unknown(U'c')},
      {u'\u00e9', ParamDirection::unknown(U'\u00e9')},
      {u'\xD800', ParamDirection::unknown(U'\uFFFD')},
  };
  for (const auto& [unit, dir] : classes) {
    auto p = decode_params_row(params_row(unit, "P", u'C', 1));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->direction, dir) << static_cast<int>(unit);
  }
  const std::pair<char16_t, AbapType> types[] = {
      {u'C', AbapType::Char},         {u'N', AbapType::Numc},
      {u'D', AbapType::Date},         {u'T', AbapType::Time},
      {u'P', AbapType::Bcd},          {u'F', AbapType::Float},
      {u'b', AbapType::Int1},         {u's', AbapType::Int2},
      {u'I', AbapType::Int4},         {u'8', AbapType::Int8},
      {u'X', AbapType::Byte},         {u'g', AbapType::String},
      {u'y', AbapType::XString},      {u'a', AbapType::DecFloat16},
      {u'e', AbapType::DecFloat34},   {u'p', AbapType::Utclong},
      {u'u', AbapType::Structure},    {u'v', AbapType::DeepStructure},
      {u'h', AbapType::Table},        {u'c', AbapType::unknown('c')},
      {u'i', AbapType::unknown('i')}, {u'\xDC00', AbapType::unknown('?')},
  };
  for (const auto& [unit, ty] : types) {
    auto p = decode_params_row(params_row(u'I', "P", unit, 1));
    ASSERT_TRUE(p);
    EXPECT_EQ(p->type, ty) << static_cast<int>(unit);
  }
}

TEST(ParamsRow, TextsLengthAndMinimumSize) {
  Bytes row = params_row(u'E', "  LEAD\t", u'I', 0x01020304, "ZTYPE", "FIELD \u3000");
  auto p = decode_params_row(row);
  ASSERT_TRUE(p);
  EXPECT_EQ(p->name, "  LEAD");  // trailing blanks and tab gone, leading blanks kept
  EXPECT_EQ(p->type_name, "ZTYPE");
  EXPECT_EQ(p->field_name, "FIELD");  // Unicode white space counts too
  EXPECT_EQ(p->length, 0x01020304u);

  // A lone surrogate in a name becomes U+FFFD.
  wire::store_le16(row.data() + 2, 0xD800);
  EXPECT_EQ(decode_params_row(row)->name.substr(0, 3), "\xEF\xBF\xBD");

  EXPECT_TRUE(decode_params_row(params_row(u'I', "A", u'C', 1, "", "", 196)));
  EXPECT_FALSE(decode_params_row(Bytes(195, 0x20)));
}

FunctionDescription five_directions() {
  FunctionDescription d;
  d.name = "Z_F";
  const std::pair<const char*, ParamDirection> params[] = {
      {"IN", ParamDirection::Import},        {"OUT", ParamDirection::Export},
      {"BOTH", ParamDirection::Changing},    {"ROWS", ParamDirection::Table},
      {"FAILED", ParamDirection::Exception}, {"out", ParamDirection::Import},
      {"\xC3\x84X", ParamDirection::Import},
  };
  for (const auto& [n, dir] : params) {
    ParameterDescription p;
    p.name = n;
    p.direction = dir;
    d.parameters.push_back(p);
  }
  return d;
}

TEST(Description, LookupsIgnoreAsciiCaseOnly) {
  // The same answers from the name index and from a plain search.
  for (const bool indexed : {false, true}) {
    SCOPED_TRACE(indexed);
    FunctionDescription d = five_directions();
    if (indexed) d.index_parameters();
    const std::vector<std::string> outputs{"OUT", "BOTH", "ROWS"};
    EXPECT_EQ(d.requested_outputs(), outputs);
    std::vector<std::string> scratch;
    const auto names = d.requested_outputs(scratch);
    EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()), outputs);
    ASSERT_NE(d.find_parameter("out"), nullptr);
    EXPECT_EQ(d.find_parameter("out"), &d.parameters[1]);  // the first match wins
    EXPECT_EQ(d.find_parameter("rOwS")->name, "ROWS");
    EXPECT_NE(d.find_parameter("\xC3\x84X"), nullptr);
    EXPECT_EQ(d.find_parameter("\xC3\xA4X"), nullptr);  // non-ASCII letters match byte for byte
    EXPECT_EQ(d.find_parameter("OU"), nullptr);
    EXPECT_EQ(d.find_parameter(""), nullptr);
  }
}

TEST(Description, AnIndexNeverAnswersForAChangedList) {
  FunctionDescription d = five_directions();
  d.index_parameters();
  d.parameters.push_back(test::param("LATE", ParamDirection::Import, wire::AbapType::Char, 2));
  ASSERT_NE(d.find_parameter("late"), nullptr);
  EXPECT_EQ(d.find_parameter("late")->name, "LATE");
  // A copy answers from its own list.
  FunctionDescription copy = d;
  copy.index_parameters();
  const FunctionDescription moved = std::move(copy);
  EXPECT_EQ(moved.find_parameter("late"), &moved.parameters.back());
  // Nor do the output names listed with it.
  FunctionDescription listed = five_directions();
  listed.index_parameters();
  listed.parameters.push_back(test::param("LATE", ParamDirection::Export, wire::AbapType::Char, 2));
  std::vector<std::string> scratch;
  const auto names = listed.requested_outputs(scratch);
  EXPECT_EQ(std::vector<std::string>(names.begin(), names.end()),
            (std::vector<std::string>{"OUT", "BOTH", "ROWS", "LATE"}));
}

CallReply decoded(const Bytes& container) {
  auto reader = wire::ContainerReader::create(container);
  auto records = reader->read_all_records();
  auto r = decode_classic_reply(records.value(), nullptr, {});
  EXPECT_TRUE(r) << r.error().message();
  return std::move(r).value();
}

TEST(Describe, BuildsParametersAndTheBasxmlFlag) {
  const std::vector<Bytes> rows = {params_row(u'I', "QUERY", u'C', 60, "ZQUERY"),
                                   params_row(u'T', "DATA", u'h', 1024, "TAB512")};
  auto d = describe("Z_READ", decoded(interface_reply(rows, " X ")));
  ASSERT_TRUE(d) << d.error().message();
  EXPECT_EQ(d->name, "Z_READ");
  ASSERT_EQ(d->parameters.size(), 2u);
  EXPECT_EQ(d->parameters[1], (ParameterDescription{"DATA", "TAB512", "", ParamDirection::Table,
                                                    AbapType::Table, 1024}));
  EXPECT_TRUE(d->basxml_supported);

  const std::pair<std::vector<std::pair<std::string, std::string>>, bool> flags[] = {
      {{{"REMOTE_BASXML_SUPPORTED", "x"}}, false},
      {{{"REMOTE_BASXML_SUPPORTED", "XX"}}, false},
      {{{"REMOTE_BASXML_SUPPORTED", ""}}, false},
      {{{"remote_basxml_supported", "X"}}, true},
      {{{"REMOTE_BASXML_SUPPORTED", ""}, {"REMOTE_BASXML_SUPPORTED", "X"}}, false},
      {{}, false},
  };
  for (const auto& [pairs, expected] : flags) {
    CallReply r;
    r.text_pairs = pairs;
    auto f = describe("F", r);
    ASSERT_TRUE(f);
    EXPECT_EQ(f->basxml_supported, expected) << (pairs.empty() ? "none" : pairs[0].second);
    EXPECT_TRUE(f->parameters.empty());  // no PARAMS table: no parameters, no error
  }
}

TEST(Describe, ShortRowsAndBadTablesFail) {
  const std::vector<Bytes> rows = {Bytes(190, 0x20), Bytes(190, 0x20)};
  auto d = describe("F", decoded(interface_reply(rows, "", 190)));
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error(), ProtocolError::unexpected_record(
                           kStepDescribe, "PARAMS row 0 of 2 is too short to decode (190 bytes)"));

  CallReply r;
  ReplyTable shape;
  shape.name = "PARAMS";
  shape.shape_error = Bytes(5, 0);
  shape.declared_width = 216;
  shape.declared_count = 1;
  r.tables.push_back(shape);
  auto s = describe("F", r);
  ASSERT_FALSE(s);
  EXPECT_EQ(s.error(), ProtocolError::table_shape("PARAMS", 5, 216, 1));

  // Only a table named exactly PARAMS counts.
  r.tables[0].name = "params";
  EXPECT_TRUE(describe("F", r));
}

TEST(FunctionDescriptionFetch, SendsThePaddedUpperCaseNameAndCaches) {
  FakeSession s;
  s.reply(interface_reply({params_row(u'E', "RESULT", u'I', 4)}));
  auto d = function_description(s.connection, "rfc_ping_test");
  ASSERT_TRUE(d) << d.error().message();
  EXPECT_EQ((*d)->name, "RFC_PING_TEST");
  ASSERT_EQ(s.state->sent.size(), 1u);

  const auto recs = test::records_of(s.state->sent[0]);
  std::vector<std::string> outputs;
  Bytes funcname;
  for (std::size_t i = 0; i < recs.size(); ++i) {
    if (recs[i].first == RecordId::RequestedOutput)
      outputs.push_back(wire::decode_utf16le(recs[i].second));
    if (recs[i].first == RecordId::ParameterName && i + 1 < recs.size())
      funcname = recs[i + 1].second;
  }
  EXPECT_EQ(*test::find_record(s.state->sent[0], RecordId::Function),
            utf16("RFC_GET_FUNCTION_INTERFACE"));
  EXPECT_EQ(funcname, utf16("RFC_PING_TEST                 "));  // 13 + 17 blanks
  EXPECT_EQ(outputs, (std::vector<std::string>{"REMOTE_BASXML_SUPPORTED", "REMOTE_CALL",
                                               "UPDATE_TASK", "PARAMS", "RESUMABLE_EXCEPTIONS"}));

  // Both spellings share the entry; nothing more is sent.
  auto again = function_description(s.connection, "RFC_PING_TEST");
  ASSERT_TRUE(again);
  EXPECT_EQ(again->get(), d->get());
  EXPECT_EQ(s.state->sent.size(), 1u);
}

TEST(FunctionDescriptionFetch, LongNamesAreNeitherPaddedNorCut) {
  FakeSession s;
  const std::string name(31, 'Z');
  s.reply(interface_reply({}));
  ASSERT_TRUE(function_description(s.connection, name));
  const auto recs = test::records_of(s.state->sent.at(0));
  bool found = false;
  for (std::size_t i = 0; i + 1 < recs.size(); ++i)
    if (recs[i].first == RecordId::ParameterName) found = recs[i + 1].second == utf16(name);
  EXPECT_TRUE(found);
}

TEST(FunctionDescriptionFetch, FailuresCacheNothing) {
  FakeSession s;
  s.reply(ReplyBuilder()
              .text(RecordId::AbapExceptionKey, "FU_NOT_FOUND")
              .text(RecordId::AbapErrorMessage, "Function module Z_NONE not found")
              .build());
  auto d = function_description(s.connection, "Z_NONE");
  ASSERT_FALSE(d);
  EXPECT_EQ(d.error().message(), "ABAP exception FU_NOT_FOUND: Function module Z_NONE not found");
  EXPECT_EQ(s.cache->function_count(), 0u);

  s.reply(interface_reply({Bytes(100, 0x20)}, "", 100));
  auto short_row = function_description(s.connection, "Z_NONE");
  ASSERT_FALSE(short_row);
  EXPECT_EQ(short_row.error().kind(), ProtocolError::UnexpectedRecord);
  EXPECT_EQ(s.cache->function_count(), 0u);
}

TEST(FunctionDescriptionFetch, DescriptionsOfOneSystemNeverServeAnother) {
  auto shared = std::make_shared<MetadataCache>();
  FakeSession dev(shared, "DEV");
  FakeSession prd(shared, "PRD");
  dev.reply(interface_reply({params_row(u'I', "A", u'C', 2)}));
  prd.reply(interface_reply({params_row(u'I', "A", u'I', 4)}));
  auto a = function_description(dev.connection, "Z_SAME");
  auto b = function_description(prd.connection, "Z_SAME");
  ASSERT_TRUE(a && b);
  EXPECT_EQ((*a)->parameters.at(0).type, AbapType::Char);
  EXPECT_EQ((*b)->parameters.at(0).type, AbapType::Int4);
  EXPECT_EQ(prd.state->sent.size(), 1u) << "PRD must fetch its own description";
  // A second session on DEV with the same shared cache finds DEV's entry.
  FakeSession dev2(shared, "DEV");
  auto c = function_description(dev2.connection, "z_same");
  ASSERT_TRUE(c);
  EXPECT_EQ(c->get(), a->get());
  EXPECT_TRUE(dev2.state->sent.empty());
}

// A DFIES_WA row whose DECIMALS units (179..184) hold `decimals`.
Bytes dfies_row(std::string_view decimals, std::size_t units = 200) {
  std::u16string text(units, u' ');
  for (std::size_t i = 0; i < decimals.size() && i < 6 && 179 + i < units; ++i)
    text[179 + i] = decimals[i];
  return wire::utf16_units_to_bytes(text);
}

TEST(ElementDescription, DecimalsFromTheDictionaryAndCached) {
  FakeSession s;
  // DDIF_FIELDINFO_GET is described first; DFIES_WA is a structure export.
  s.reply(interface_reply({params_row(u'I', "TABNAME", u'C', 60),
                           params_row(u'I', "ALL_TYPES", u'C', 2),
                           params_row(u'E', "DFIES_WA", u'u', 400)}));
  s.reply(ReplyBuilder().value("DFIES_WA", dfies_row("   +3 ")).build());
  auto dec = element_description(s.connection, "zprice");
  ASSERT_TRUE(dec) << dec.error().message();
  EXPECT_EQ(*dec, 3u);
  ASSERT_EQ(s.state->sent.size(), 2u);
  const auto recs = test::records_of(s.state->sent[1]);
  EXPECT_EQ(*test::find_record(s.state->sent[1], RecordId::Function), utf16("DDIF_FIELDINFO_GET"));
  std::vector<Bytes> imports;
  for (std::size_t i = 0; i + 1 < recs.size(); ++i)
    if (recs[i].first == RecordId::ParameterName) imports.push_back(recs[i + 1].second);
  ASSERT_EQ(imports.size(), 2u);
  EXPECT_EQ(imports[0].size(), 60u);  // "ZPRICE" padded to the Char field
  EXPECT_EQ(wire::decode_utf16le(imports[0]).substr(0, 7), "ZPRICE ");

  // Unknown elements: the ABAP exception gives 0, cached without another call.
  s.reply(ReplyBuilder().text(RecordId::AbapExceptionKey, "NOT_FOUND").build());
  auto none = element_description(s.connection, "ZNONE");
  ASSERT_TRUE(none);
  EXPECT_EQ(*none, 0u);
  EXPECT_EQ(s.state->sent.size(), 3u);
  EXPECT_EQ(*element_description(s.connection, "znone"), 0u);
  EXPECT_EQ(*element_description(s.connection, "ZPRICE"), 3u);
  EXPECT_EQ(s.state->sent.size(), 3u);

  // Blank or unreadable DECIMALS give 0.
  for (const Bytes& row :
       {dfies_row("      "), dfies_row("-1"), dfies_row("1x"), dfies_row("2", 150)}) {
    FakeSession t;
    t.cache->put_function_description(
        "SIM", "DDIF_FIELDINFO_GET",
        s.cache->get_function_description("SIM", "DDIF_FIELDINFO_GET"));
    t.reply(ReplyBuilder().value("DFIES_WA", row).build());
    auto d = element_description(t.connection, "E");
    ASSERT_TRUE(d);
    EXPECT_EQ(*d, 0u);
  }
}

}  // namespace
}  // namespace quib::proto

// Classic request encoding: the container record by record, and the import
// encoders against a description.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <memory>

#include "proto/call/request.hpp"
#include "proto/invoke/invoke.hpp"
#include "proto/metadata/describe.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/descriptions.hpp"

namespace quib::proto {
namespace {

using test::FakeSession;
using test::records_of;
using test::utf16;
using wire::AbapType;
using wire::Bytes;
using wire::RecordId;
using wire::RfcValue;

TEST(ClassicRequest, RfcPingWithoutImportsByteForByte) {
  auto bytes = encode_classic_request("RFCPING", {}, {}, {});
  ASSERT_TRUE(bytes) << bytes.error().message();
  const Bytes expected = {
      0x05, 0x02, 0x00, 0x00, 0x05, 0x02,                                  // 0x0502, empty
      0x00, 0x0B, 0x00, 0x06, '7',  0,    '5',  0,    '3', 0, 0x00, 0x0B,  // Kernel "753"
      0x01, 0x02, 0x00, 0x0E, 'R',  0,    'F',  0,    'C', 0, 'P',  0,
      'I',  0,    'N',  0,                             // Function
      'G',  0,    0x01, 0x02,                          //
      0x05, 0x12, 0x00, 0x00, 0x05, 0x12,              // 0x0512, empty
      0xFF, 0xFF, 0x00, 0x00, 0xFF, 0xFF,              // End
      0x00, 0x00, 0x00, 0x32, 0x00, 0x00, 0x85, 0x00,  // trailer: 50 bytes
  };
  EXPECT_EQ(bytes.value(), expected);
}

TEST(ClassicRequest, RecordOrderAndSpellingsAreTheCallers) {
  const EncodedImport imports[] = {{"zeta", {0x01}}, {"Alpha", {}}};
  const std::string outputs[] = {"OUT1", "out2"};
  const wire::TableArg tables[] = {
      wire::TableArg::text_rows("LINES", {"AB"}, 8),
      wire::TableArg::byte_rows("RAW", {Bytes{1, 2, 3, 4, 5}, Bytes(10, 0xEE)}, 8),
  };
  auto bytes = encode_classic_request("z_lower_case", imports, outputs, tables);
  ASSERT_TRUE(bytes) << bytes.error().message();
  const auto recs = records_of(bytes.value());
  using P = std::pair<RecordId, Bytes>;
  const std::vector<P> expected = {
      {RecordId{0x0502}, {}},
      {RecordId::Kernel, utf16("753")},
      {RecordId::Function, utf16("z_lower_case")},  // not upper-cased
      {RecordId{0x0512}, {}},
      {RecordId::RequestedOutput, utf16("OUT1")},
      {RecordId::RequestedOutput, utf16("out2")},
      {RecordId::ParameterName, utf16("zeta")},
      {RecordId::ParameterValue, {0x01}},
      {RecordId::ParameterName, utf16("Alpha")},
      {RecordId::ParameterValue, {}},
      {RecordId::TableName, utf16("LINES")},
      {RecordId::TableRowCount, {0, 0, 0, 1}},
      {RecordId::TableHeader, {0, 0, 0, 8, 0, 0, 0, 1}},
      {RecordId::TableContent, {'A', 0, 'B', 0, ' ', 0, ' ', 0}},
      {RecordId::TableName, utf16("RAW")},
      {RecordId::TableRowCount, {0, 0, 0, 2}},
      {RecordId::TableHeader, {0, 0, 0, 8, 0, 0, 0, 2}},
      {RecordId::TableContent, {1, 2, 3, 4, 5, 0, 0, 0}},
      {RecordId::TableContent, Bytes(8, 0xEE)},
  };
  EXPECT_EQ(recs, expected);
  // The trailer counts every byte before it.
  const Bytes& b = bytes.value();
  ASSERT_GE(b.size(), 8u);
  EXPECT_EQ(wire::load_be32(b.data() + b.size() - 8), b.size() - 8);
  EXPECT_EQ((Bytes(b.end() - 4, b.end())), (Bytes{0x00, 0x00, 0x85, 0x00}));
}

TEST(ClassicRequest, OversizedTablesAndValuesAreRefused) {
  const wire::TableArg wide[] = {wire::TableArg::byte_rows("T", {}, 1ull << 32)};
  auto t = encode_classic_request("F", {}, {}, wide);
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().kind(), ProtocolError::TableTooLarge);
  EXPECT_EQ(t.error().message(),
            "table row width of 4294967296 does not fit the wire header's u32");
}

TEST(ClassicRequest, RecordsBeyondWhatThePeerReadsAreRefusedBeforeEncoding) {
  // Five fixed records, three per table and one per row: the peer reads
  // 100000 records, the end record included.
  struct Case {
    std::size_t rows;
    bool fits;
  };
  for (const Case c : {Case{100000 - 8, true}, Case{100000 - 7, false}, Case{200000, false}}) {
    SCOPED_TRACE(c.rows);
    const wire::TableArg tables[] = {wire::TableArg::byte_rows("T", std::vector<Bytes>(c.rows), 1)};
    EXPECT_EQ(request_record_count(0, 0, tables), 8 + c.rows);
    auto r = encode_classic_request("F", {}, {}, tables);
    if (c.fits) {
      ASSERT_TRUE(r) << r.error().message();
      auto reader = wire::ContainerReader::create(*r);
      ASSERT_TRUE(reader);
      auto records = reader->read_all_records();
      ASSERT_TRUE(records) << records.error().message();
      EXPECT_EQ(records->size() + 1, 100000u);  // the end record is the limit's last
      continue;
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().message(),
              fmt::format("request holds {} records, at most 100000", 8 + c.rows));
  }
}

// A description with the parameters the encoder tests need.
std::shared_ptr<FunctionDescription> sample_description() {
  auto d = std::make_shared<FunctionDescription>();
  d->name = "Z_ENCODE";
  auto add = [&](std::string name, AbapType ty, std::uint32_t len, std::string type_name = "") {
    d->parameters.push_back(
        test::param(std::move(name), ParamDirection::Import, ty, len, std::move(type_name)));
  };
  add("TEXT", AbapType::Char, 510);
  add("COUNT", AbapType::Int4, 4);
  add("AMOUNT", AbapType::Bcd, 3);
  add("PRICE", AbapType::Bcd, 3, "ZPRICE");
  return d;
}

TEST(ImportEncoding, FieldsComeFromTheDescription) {
  FakeSession s;
  s.cache->put_element_decimals("SIM", "ZPRICE", 2);
  auto d = sample_description();
  const ValueImport imports[] = {
      {"text", RfcValue::text("AB")},            // lower case finds TEXT, Char 510
      {"COUNT", RfcValue::integer(-2)},          // Int4 little-endian
      {"amount", RfcValue::text("-12")},         // Bcd, no type name: 0 decimals
      {"PRICE", RfcValue::text("-12.5")},        // Bcd with the data element's 2 decimals
      {"UNKNOWN", RfcValue::text("\xC3\xA4x")},  // no such parameter: String
  };
  auto enc = encode_imports(s.connection, *d, imports);
  ASSERT_TRUE(enc) << enc.error().message();
  ASSERT_EQ(enc->size(), 5u);

  Bytes text = utf16("AB");
  text.resize(510, 0);
  for (std::size_t i = 4; i < 510; i += 2) text[i] = ' ';
  EXPECT_EQ((*enc)[0], (EncodedImport{"text", text}));
  EXPECT_EQ((*enc)[1], (EncodedImport{"COUNT", {0xFE, 0xFF, 0xFF, 0xFF}}));
  EXPECT_EQ((*enc)[2], (EncodedImport{"amount", {0x00, 0x01, 0x2D}}));
  EXPECT_EQ((*enc)[3], (EncodedImport{"PRICE", {0x01, 0x25, 0x0D}}));
  EXPECT_EQ((*enc)[4], (EncodedImport{"UNKNOWN", {0xC3, 0xA4, 'x'}}));
  EXPECT_TRUE(s.state->sent.empty()) << "the decimals came from the cache";

  const TextImport texts[] = {{"COUNT", " 17 "}};
  auto t = encode_text_imports(s.connection, *d, texts);
  ASSERT_TRUE(t) << t.error().message();
  EXPECT_EQ((*t)[0].bytes, (Bytes{17, 0, 0, 0}));
}

TEST(ImportEncoding, ErrorsEndTheEncoding) {
  FakeSession s;
  auto d = sample_description();
  {
    const ValueImport imports[] = {{"COUNT", RfcValue::floating(1.5)}};
    auto enc = encode_imports(s.connection, *d, imports);
    ASSERT_FALSE(enc);
    EXPECT_EQ(enc.error().kind(), ProtocolError::Value);
    // The import is named as the caller spelled it, with its value.
    EXPECT_EQ(enc.error().message(), "COUNT 1.5: cannot encode a float value as ABAP Int4");
  }
  {
    // A text longer than its field is refused, never sent longer or cut.
    const ValueImport imports[] = {{"text", RfcValue::text(std::string(256, 'x'))}};
    auto enc = encode_imports(s.connection, *d, imports);
    ASSERT_FALSE(enc);
    EXPECT_EQ(enc.error().kind(), ProtocolError::Value);
    EXPECT_EQ(enc.error().message(),
              "text \"xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\"... (256 characters): 256 characters do "
              "not fit an ABAP Char of length 255");
  }
  {
    // The decimals of ZPRICE are not cached: the lookup goes to the server,
    // whose failure is the encoding's error, unchanged.
    s.fail(ProtocolError(IoError::custom(IoError::ConnectionReset, "reset by test")));
    const ValueImport imports[] = {{"PRICE", RfcValue::text("1")}};
    auto enc = encode_imports(s.connection, *d, imports);
    ASSERT_FALSE(enc);
    EXPECT_EQ(enc.error().message(), "I/O error: reset by test");
  }
}

TEST(ImportEncoding, RawTextImportsAreUnpaddedUtf16) {
  const TextImport imports[] = {{"FUNCNAME", "RFC_PING   "}, {"X", ""}};
  const auto enc = encode_raw_text_imports(imports);
  ASSERT_EQ(enc.size(), 2u);
  EXPECT_EQ(enc[0], (EncodedImport{"FUNCNAME", utf16("RFC_PING   ")}));
  EXPECT_EQ(enc[1], (EncodedImport{"X", {}}));
}

}  // namespace
}  // namespace quib::proto

#include <gtest/gtest.h>

#include <string>

#include "tests/support/testutil.hpp"
#include "wire/appc.hpp"
#include "wire/appc_templates.hpp"

namespace quib::wire {
namespace {

Bytes record(std::uint8_t version, std::uint8_t request, std::size_t payload) {
  Bytes r(kAppcHeaderSize + payload, 0x11);
  r[0] = version;
  r[1] = request;
  return r;
}

// The header bytes as the builders must produce them, written out from the
// byte layout independently of the builder code.
Bytes expected_server_header(std::uint8_t request) {
  Bytes h(80, 0);
  h[0] = 0x06;
  h[1] = request;
  h[2] = 0x07;
  h[3] = 0x00;
  h[4] = 0xFF;
  h[5] = 0xFF;
  h[30] = 0x01;
  const std::string conv = "H0000001";
  std::copy(conv.begin(), conv.end(), h.begin() + 40);
  h[51] = 0x50;
  h[76] = h[77] = h[78] = h[79] = 0xFF;
  return h;
}

TEST(AppcHeader, ServerControlHeaders) {
  for (std::uint8_t req : {kAppcServerAccept, kAppcServerInfo}) {
    const AppcHeader h = AppcHeader::make(req);
    EXPECT_EQ(Bytes(h.bytes.begin(), h.bytes.end()), expected_server_header(req)) << int(req);
  }
}

TEST(AppcHeader, EndOfConversationCarriesTheConversationId) {
  const ConversationId id = {'1', '2', '3', '4', '5', '6', '7', '8'};
  const AppcHeader h = AppcHeader::for_conversation(id);
  Bytes want = expected_server_header(0xD2);
  std::copy(id.begin(), id.end(), want.begin() + 40);
  want[78] = 0x00;
  want[79] = 0x04;
  EXPECT_EQ(Bytes(h.bytes.begin(), h.bytes.end()), want);

  // Its conversation id reads back, and it parses as an Unknown record.
  auto parsed = parse_appc_header(h.view());
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->request_type, AppcRequestType::from_byte(0xD2));
  EXPECT_EQ(appc_conversation_id(parsed->header), id);
}

TEST(AppcTemplates, RegisteredServerReplyHeaders) {
  // Written out from the format in rows of eight bytes; bytes 40..47 and
  // 48..51 are zero in a template.
  struct Case {
    const char* name;
    const AppcTemplate& actual;
    std::string_view expected;
  };
  const Case cases[] = {
      {"reply", kServerReplyTemplate,
       "06080700FFFF0000 0000000000000000 0000000000000000 0000000000000000 0000000000000000"
       "0000000000000000 0000000000000000 0000000000000000 0000000000000000 00000000FFFF0009"},
      {"exception reply", kServerExceptionTemplate,
       "06080700FFFF0000 0000000000000000 0000000000000000 0000000000000000 0000000000000000"
       "0000000000000000 0000000000000000 0000000000000000 0000000000000000 00000000FFFF0005"},
      {"end of the conversation", kConversationEndTemplate,
       "060B0700FFFF0000 0000000000000000 0000000000000000 0000000000000000 0000000000000000"
       "0000000000000000 0000000000000000 0000000000000000 0000000000000000 00000000FFFF0009"},
  };
  for (const Case& c : cases)
    EXPECT_EQ(Bytes(c.actual.begin(), c.actual.end()), test::unhex(c.expected)) << c.name;

  // A piece of a reply: the conversation id at 40..47, the length at 48..51.
  const ConversationId id = {'C', 'O', 'N', 'V', '0', '0', '0', '9'};
  const AppcTemplate piece = appc_piece_header(kServerReplyTemplate, id, 0x00006D5F);
  EXPECT_EQ(Bytes(piece.begin(), piece.end()),
            test::unhex("06080700FFFF0000 0000000000000000 0000000000000000 0000000000000000"
                        "0000000000000000 434F4E5630303039 00006D5F00000000 0000000000000000"
                        "0000000000000000 00000000FFFF0009"));
}

TEST(AppcParse, SplitsHeaderAndPayload) {
  for (std::size_t payload : {0u, 1u, 28000u}) {
    const Bytes r = record(0x06, kAppcData, payload);
    auto p = parse_appc_header(r);
    ASSERT_TRUE(p.ok()) << payload;
    EXPECT_EQ(p->header.data(), r.data());
    EXPECT_EQ(p->header.size(), 80u);
    EXPECT_EQ(p->payload.data(), r.data() + 80);
    EXPECT_EQ(p->payload.size(), payload);
    EXPECT_EQ(p->version, 0x06);
    EXPECT_EQ(p->request_byte, kAppcData);
    EXPECT_EQ(p->request_type.kind, AppcRequestType::Data);
  }
}

TEST(AppcParse, Errors) {
  struct Case {
    Bytes input;
    AppcError error;
    std::string message;
  };
  Bytes mismatch = record(0x05, 0xCB, 0);
  const Case cases[] = {
      {Bytes(79, 0x06), AppcError::truncated(79),
       "APPC record of 79 bytes is shorter than the 80-byte header"},
      {Bytes{}, AppcError::truncated(0),
       "APPC record of 0 bytes is shorter than the 80-byte header"},
      {mismatch, AppcError::version_mismatch(0x05), "APPC protocol version 0x05, expected 0x06"},
      {record(0xAB, 0x01, 3), AppcError::version_mismatch(0xAB),
       "APPC protocol version 0xab, expected 0x06"},
  };
  for (const Case& c : cases) {
    auto p = parse_appc_header(c.input);
    ASSERT_FALSE(p.ok()) << c.message;
    EXPECT_EQ(p.error(), c.error);
    EXPECT_EQ(p.error().message(), c.message);
  }
}

TEST(AppcParse, RequestTypes) {
  struct Case {
    std::uint8_t byte;
    AppcRequestType::Kind kind;
    std::string debug;
  };
  const Case cases[] = {
      {0x01, AppcRequestType::Initialize, "Initialize"},
      {0x05, AppcRequestType::Allocate, "Allocate"},
      {0x0B, AppcRequestType::Deallocate, "Deallocate"},
      {0x0F, AppcRequestType::SetPartnerLuName, "SetPartnerLuName"},
      {0xCB, AppcRequestType::Data, "Data"},
      {0x09, AppcRequestType::DataLast, "DataLast"},
      {0xD5, AppcRequestType::Cancel, "Cancel"},
      {0xD6, AppcRequestType::Canceled, "Canceled"},
      {0xD1, AppcRequestType::Unknown, "Unknown(0xd1)"},
      {0x08, AppcRequestType::Unknown, "Unknown(0x08)"},
      {0x00, AppcRequestType::Unknown, "Unknown(0x00)"},
  };
  for (const Case& c : cases) {
    auto p = parse_appc_header(record(0x06, c.byte, 2));
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p->request_type.kind, c.kind) << c.debug;
    EXPECT_EQ(p->request_type.byte, c.byte);
    EXPECT_EQ(p->request_type.debug(), c.debug);
  }
}

TEST(AppcConversationId, BlanksAndNulsMeanNone) {
  struct Case {
    std::string field;
    bool present;
  };
  const Case cases[] = {
      {std::string(8, ' '), false},
      {std::string(8, '\0'), false},
      {std::string(" \0 \0\0  \0", 8), false},
      {"1234    ", true},
      {std::string("\0\0\0\0\0\0\0A", 8), true},
      {std::string(8, '\x80'), true},  // 0x80 & 0xDF != 0
  };
  for (const Case& c : cases) {
    Bytes h = record(0x06, kAppcInitialize, 0);
    std::copy(c.field.begin(), c.field.end(), h.begin() + 40);
    const auto id = appc_conversation_id(ByteView(h).first(80));
    ASSERT_EQ(id.has_value(), c.present);
    if (id) {
      EXPECT_EQ(std::string(id->begin(), id->end()), c.field);  // untrimmed
    }
  }
  EXPECT_FALSE(appc_conversation_id(Bytes(47, 'A')).has_value());
}

TEST(AppcChunk, SlicesOfAtMost28000Bytes) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> slices;
  };
  const Case cases[] = {
      {0, {0}},
      {1, {1}},
      {28000, {28000}},
      {28001, {28000, 1}},
      {56000, {28000, 28000}},
      {60000, {28000, 28000, 4000}},
  };
  for (const Case& c : cases) {
    Bytes data(c.size);
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<std::uint8_t>(i * 31);
    const auto slices = chunk_appc_data(data);
    ASSERT_EQ(slices.size(), c.slices.size()) << c.size;
    // Consecutive and covering the data exactly.
    const std::uint8_t* next = data.data();
    for (std::size_t i = 0; i < slices.size(); ++i) {
      EXPECT_EQ(slices[i].size(), c.slices[i]);
      EXPECT_EQ(slices[i].data(), next);
      next += slices[i].size();
    }
    EXPECT_EQ(next, data.data() + data.size());
  }
}

}  // namespace
}  // namespace quib::wire

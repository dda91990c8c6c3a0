// Transaction IDs against a scripted server: what API_CREATE_TID's reply may
// hold and what create_tid makes of it; the TID import API_CLEAR_TID is
// sent; the guard that releases the TID of an unfinished unit.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "proto/invoke/tid.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/descriptions.hpp"

namespace quib::proto {
namespace {

using test::FakeSession;
using test::ReplyBuilder;
using test::utf16;
using wire::AbapType;
using wire::Bytes;
using wire::RecordId;

constexpr std::string_view kTid = "0A1B2C3D4E5F000000000001";  // 24 characters

FunctionDescriptionPtr one_parameter(std::string_view function, ParamDirection direction,
                                     AbapType type, std::uint32_t length) {
  auto d = std::make_shared<FunctionDescription>();
  d->name = std::string(function);
  d->parameters.push_back(test::param("TID", direction, type, length));
  return d;
}

// A session whose cache already knows both functions, so that every request
// it sends is the TID exchange itself.
struct TidServer : FakeSession {
  explicit TidServer(AbapType create_type = AbapType::Char, std::uint32_t create_length = 48,
                     AbapType clear_type = AbapType::Char, std::uint32_t clear_length = 48) {
    cache->put_function_description(
        "SIM", "API_CREATE_TID",
        one_parameter("API_CREATE_TID", ParamDirection::Export, create_type, create_length));
    cache->put_function_description(
        "SIM", "API_CLEAR_TID",
        one_parameter("API_CLEAR_TID", ParamDirection::Import, clear_type, clear_length));
  }
  // The records of the n-th request (trailer left out).
  std::vector<std::pair<RecordId, Bytes>> request(std::size_t n) const {
    return test::records_of(state->sent.at(n));
  }
};

std::string function_of(const std::vector<std::pair<RecordId, Bytes>>& records) {
  for (const auto& [id, v] : records)
    if (id == RecordId::Function) return wire::decode_utf16le(v);
  return "";
}

// (name, value) of every parameter a request carries.
std::vector<std::pair<std::string, Bytes>> parameters_of(
    const std::vector<std::pair<RecordId, Bytes>>& records) {
  std::vector<std::pair<std::string, Bytes>> out;
  for (std::size_t i = 0; i + 1 < records.size(); ++i)
    if (records[i].first == RecordId::ParameterName &&
        records[i + 1].first == RecordId::ParameterValue)
      out.emplace_back(wire::decode_utf16le(records[i].second), records[i + 1].second);
  return out;
}

TEST(CheckTid, TakesExactlyTwentyFourBytesAsTheyAre) {
  struct Case {
    std::string text;
    std::optional<std::size_t> refused_length;
  };
  const Case cases[] = {
      {std::string(kTid), std::nullopt},
      {std::string(kTid.substr(0, 23)), 23},
      {std::string(kTid) + "X", 25},
      {"", 0},
      // Surrounding blanks are not removed here: that is the reply reader's job.
      {" " + std::string(kTid.substr(0, 23)), std::nullopt},
      {" " + std::string(kTid), 25},
      // Bytes, not characters: twelve two-byte characters pass.
      {"\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9\xC3\xA9"
       "\xC3\xA9",
       std::nullopt},
      {std::string(24, 'A').replace(0, 2, "\xC3\xA9"), std::nullopt},
      {std::string(23, 'A') + "\xC3\xA9", 25},
  };
  for (const auto& c : cases) {
    auto r = check_tid(c.text);
    if (!c.refused_length) {
      ASSERT_TRUE(r) << c.text << ": " << r.error().message();
      EXPECT_EQ(*r, c.text);
      continue;
    }
    ASSERT_FALSE(r) << c.text;
    EXPECT_EQ(r.error(), ProtocolError::unexpected_record(
                             kStepTransactionId,
                             fmt::format("a TID is 24 characters, got {}", *c.refused_length)));
    EXPECT_EQ(r.error().message(),
              fmt::format("unexpected record during transaction id: a TID is 24 characters, got {}",
                          *c.refused_length));
  }
}

TEST(CreateTid, SendsApiCreateTidWithoutParameters) {
  TidServer s;
  s.reply(ReplyBuilder().text_value("TID", kTid).build());
  auto tid = create_tid(s.connection);
  ASSERT_TRUE(tid) << tid.error().message();
  EXPECT_EQ(*tid, kTid);
  ASSERT_EQ(s.state->sent.size(), 1u);
  const auto records = s.request(0);
  EXPECT_EQ(function_of(records), "API_CREATE_TID");
  EXPECT_TRUE(parameters_of(records).empty());
}

TEST(CreateTid, ReadsTheTidExportOfEveryShape) {
  struct Case {
    const char* what;
    AbapType type;
    std::uint32_t length;
    Bytes reply;
    std::optional<std::string> tid;  // else the message of the error
    std::string error;
  };
  const std::string tid(kTid);
  const Case cases[] = {
      {"blank-filled CHAR", AbapType::Char, 60,
       ReplyBuilder().text_value("TID", tid + "      ").build(), tid, ""},
      {"blanks on both sides", AbapType::Char, 60,
       ReplyBuilder().text_value("TID", "  " + tid + " \t ").build(), tid, ""},
      {"UTF-16LE bytes of a RAW export", AbapType::Byte, 48,
       ReplyBuilder().value("TID", utf16(tid)).build(), tid, ""},
      {"bytes with blanks", AbapType::Byte, 52,
       ReplyBuilder().value("TID", utf16(" " + tid + " ")).build(), tid, ""},
      {"23 characters", AbapType::Char, 48,
       ReplyBuilder().text_value("TID", tid.substr(0, 23)).build(), std::nullopt,
       "unexpected record during transaction id: a TID is 24 characters, got 23"},
      {"25 characters", AbapType::Char, 60, ReplyBuilder().text_value("TID", tid + "Z").build(),
       std::nullopt, "unexpected record during transaction id: a TID is 24 characters, got 25"},
      {"no TID", AbapType::Char, 48, ReplyBuilder().text_value("OTHER", tid).build(), std::nullopt,
       "unexpected record during API_CREATE_TID: response without a TID"},
      {"a TID in lower case is another name", AbapType::Char, 48,
       ReplyBuilder().text_value("tid", tid).build(), std::nullopt,
       "unexpected record during API_CREATE_TID: response without a TID"},
      {"an integer", AbapType::Int4, 4, ReplyBuilder().value("TID", Bytes{5, 0, 0, 0}).build(),
       std::nullopt, "unexpected record during API_CREATE_TID: unexpected TID value Int(5)"},
  };
  for (const auto& c : cases) {
    TidServer s(c.type, c.length);
    s.reply(c.reply);
    auto r = create_tid(s.connection);
    if (c.tid) {
      ASSERT_TRUE(r) << c.what << ": " << r.error().message();
      EXPECT_EQ(*r, *c.tid) << c.what;
    } else {
      ASSERT_FALSE(r) << c.what << " gave " << *r;
      EXPECT_EQ(r.error().kind(), ProtocolError::UnexpectedRecord) << c.what;
      EXPECT_EQ(r.error().message(), c.error) << c.what;
    }
  }
}

TEST(CreateTid, TheFirstTidValueCounts) {
  TidServer s;
  s.reply(ReplyBuilder().text_value("TID", kTid).text_value("TID", "second").build());
  auto r = create_tid(s.connection);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, kTid);
}

TEST(CreateTid, ServerErrorsPassThrough) {
  TidServer s;
  s.reply(ReplyBuilder().text(RecordId::AbapExceptionKey, "NO_TID_LEFT").build());
  auto abap = create_tid(s.connection);
  ASSERT_FALSE(abap);
  ASSERT_EQ(abap.error().kind(), ProtocolError::AbapException);
  EXPECT_EQ(abap.error().get<ProtocolError::AbapExceptionInfo>()->key, "NO_TID_LEFT");

  TidServer closed;  // nothing scripted: the peer closes
  auto gone = create_tid(closed.connection);
  ASSERT_FALSE(gone);
  EXPECT_EQ(gone.error().kind(), ProtocolError::ClosedByPeer);
}

TEST(ClearTid, SendsTheTidAsItsUtf16BytesWhateverTheFieldType) {
  // A CHAR field refuses a byte value, a RAW field takes one: either way the
  // field carries the 48 bytes of the TID in UTF-16LE.
  struct Case {
    AbapType type;
    std::uint32_t length;
  };
  for (const Case c : {Case{AbapType::Char, 48}, Case{AbapType::Byte, 48},
                       Case{AbapType::XString, 8}, Case{AbapType::Unknown, 48}}) {
    TidServer s(AbapType::Char, 48, c.type, c.length);
    s.reply(ReplyBuilder().build());
    auto st = clear_tid(s.connection, kTid);
    ASSERT_TRUE(st) << c.type.display() << ": " << st.error().message();
    ASSERT_EQ(s.state->sent.size(), 1u);
    const auto records = s.request(0);
    EXPECT_EQ(function_of(records), "API_CLEAR_TID");
    const auto params = parameters_of(records);
    ASSERT_EQ(params.size(), 1u) << c.type.display();
    EXPECT_EQ(params[0].first, "TID");
    EXPECT_EQ(params[0].second, utf16(kTid)) << c.type.display();
  }
}

TEST(ClearTid, ServerErrorsPassThroughAndTheReplyIsIgnored) {
  TidServer ok;
  ok.reply(ReplyBuilder().text_value("SOMETHING", "ignored").build());
  EXPECT_TRUE(clear_tid(ok.connection, kTid));

  TidServer refused;
  refused.reply(ReplyBuilder()
                    .text(RecordId::AbapExceptionKey, "TID_NOT_FOUND")
                    .text(RecordId::AbapErrorMessage, "no such unit")
                    .build());
  auto st = clear_tid(refused.connection, kTid);
  ASSERT_FALSE(st);
  ASSERT_EQ(st.error().kind(), ProtocolError::AbapException);
  EXPECT_EQ(st.error().get<ProtocolError::AbapExceptionInfo>()->key, "TID_NOT_FOUND");
}

TEST(TidGuard, UnfinishedReleasesTheTidOnceAndFinishedSendsNothing) {
  {
    TidServer s;
    s.reply(ReplyBuilder().build());
    {
      TidGuard guard(std::string(kTid), std::string("QUEUE"), s.connection);
      guard.set_counter(2);  // two calls went through, the third failed
      EXPECT_EQ(guard.queue(), "QUEUE");
      EXPECT_FALSE(guard.finished());
    }
    ASSERT_EQ(s.state->sent.size(), 1u);
    const auto records = s.request(0);
    EXPECT_EQ(function_of(records), "API_CLEAR_TID");
    EXPECT_EQ(parameters_of(records),
              (std::vector<std::pair<std::string, Bytes>>{{"TID", utf16(kTid)}}));
  }
  {
    TidServer s;
    {
      TidGuard guard(std::string(kTid), std::nullopt, s.connection);
      EXPECT_EQ(guard.finish(), kTid);
      EXPECT_TRUE(guard.finished());
    }
    EXPECT_TRUE(s.state->sent.empty());
  }
}

TEST(TidGuard, AFailingReleaseIsSilent) {
  // The release's refusal is dropped; on a conversation an earlier failure
  // ended, nothing is even sent.
  TidServer refused;
  refused.reply(ReplyBuilder().text(RecordId::AbapExceptionKey, "TID_NOT_FOUND").build());
  { TidGuard guard(std::string(kTid), std::nullopt, refused.connection); }
  EXPECT_EQ(refused.state->sent.size(), 1u);

  TidServer dead;
  dead.connection.clear_alive();
  { TidGuard guard(std::string(kTid), std::nullopt, dead.connection); }
  EXPECT_TRUE(dead.state->sent.empty());
}

}  // namespace
}  // namespace quib::proto

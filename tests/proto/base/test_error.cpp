// ProtocolError: the display text of every kind, the wrapping of the wire
// formats' errors, and the kind tests callers rely on.
#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "proto/base/error.hpp"
#include "wire/result.hpp"

namespace quib::proto {
namespace {

struct DisplayCase {
  ProtocolError error;
  ProtocolError::Kind kind;
  std::string text;
};

std::vector<DisplayCase> display_cases() {
  using E = ProtocolError;
  E::AbapExceptionInfo abap{"NOT_FOUND", "No entry found", "Z1", "E", "042", "v1", "v2", "v3",
                            "v4"};
  return {
      {IoError::custom(IoError::TimedOut, "timed out"), E::Io, "I/O error: timed out"},
      {IoError::from_errno(ECONNREFUSED), E::Io, "I/O error: Connection refused (os error 111)"},
      {wire::NiError{268435457, 268435456}, E::Ni,
       "NI payload of 268435457 bytes exceeds the configured limit of 268435456"},
      {wire::AppcError::truncated(79), E::Appc,
       "APPC record of 79 bytes is shorter than the 80-byte header"},
      {wire::AppcError::version_mismatch(5), E::Appc, "APPC protocol version 0x05, expected 0x06"},
      {wire::ContainerError::truncated(12), E::Container,
       "RFC_PRO field at offset 12 is truncated"},
      {wire::ValueError::not_a_number(), E::Value, "not a number"},
      {E::text_message("something plain"), E::Message, "something plain"},
      {E::closed_by_peer(kStepAppcAllocate), E::ClosedByPeer,
       "connection closed by peer during APPC allocate"},
      {E::unexpected_record(kStepLogon, "non-data control record"), E::UnexpectedRecord,
       "unexpected record during logon: non-data control record"},
      {E::logon_refused(5, ""), E::LogonRefused, "logon refused by the server (status 0x05)"},
      {E::logon_refused(255, "Name or password is incorrect"), E::LogonRefused,
       "logon refused by the server (status 0xff): Name or password is incorrect"},
      {wire::TableSizeError{"row width", 4294967296ULL}, E::TableTooLarge,
       "table row width of 4294967296 does not fit the wire header's u32"},
      {E::registration_refused("ZPROG", "access denied"), E::RegistrationRefused,
       "the gateway refused program ID ZPROG: access denied (usually a missing reginfo entry)"},
      {snc::SncError::not_snc_frame(), E::Snc, "SNC: record does not begin with SNCFRAME"},
      {E::abap_exception(abap), E::AbapException, "ABAP exception NOT_FOUND: No entry found"},
      {E::compressed_table("T000", 512), E::CompressedTable,
       "table T000 arrived compressed (512 bytes) and could not be expanded"},
      {E::table_shape("T000", 10, 4, 2), E::TableShape,
       "table T000: 10 bytes of content match neither the declared row width 4 nor 2 rows"},
      {wire::DeepError::bad_markup(3), E::DeepValue,
       "deep value section: malformed deep XML at byte 3"},
      {E::nothing_to_cancel(), E::NothingToCancel,
       "the conversation has ended; there is nothing to cancel"},
      {E::cancelled(), E::Cancelled, "the call was cancelled; the conversation is closed"},
      {E::gateway("connection refused", ""), E::Gateway, "gateway: connection refused"},
      {E::gateway("connection refused", "gw01"), E::Gateway,
       "gateway: connection refused (from gw01)"},
      {E::delta_row_count("ITAB", 3, 2), E::DeltaRowCount,
       "table ITAB came back as a delta declaring 3 rows, but reconstructed to 2"},
      {E::empty_reply(kStepFunctionCall), E::EmptyReply,
       "the server returned an empty reply during function call: the request was malformed (a "
       "wrong length in the 8-byte trailer, an EBCDIC header on a continuation record, or a "
       "missing SNC partner announcement/trailer), not rejected on the merits -- the fault is in "
       "our encoder or session state, not in reply parsing"},
      {E::unsupported(kStepBasxml, "a basXML reply arrived for a call made without metadata"),
       E::Unsupported,
       "basxml is not supported: a basXML reply arrived for a call made without metadata"},
      {E::container_dump(wire::ContainerError::truncated(0), "line one\nline two"),
       E::ContainerDump, "RFC_PRO field at offset 0 is truncated\nline one\nline two"},
      {E::basxml_reply("reply document: token stream ended mid-token"), E::BasxmlReply,
       "invalid basXML reply: reply document: token stream ended mid-token"},
      {E::out_of_memory(kStepFunctionCall), E::OutOfMemory, "out of memory during function call"},
  };
}

TEST(ProtocolErrorTest, EveryKindRendersItsDisplayText) {
  std::set<ProtocolError::Kind> seen;
  for (const DisplayCase& c : display_cases()) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(c.error.kind(), c.kind) << ProtocolError::kind_name(c.error.kind());
    EXPECT_EQ(c.error.message(), c.text);
    seen.insert(c.kind);
  }
  EXPECT_EQ(seen.size(), ProtocolError::kKindCount) << "a kind has no display case";
}

TEST(ProtocolErrorTest, KindsKeepTheirFixedOrder) {
  // The binding maps kinds by position; the order is part of the type.
  EXPECT_EQ(static_cast<int>(ProtocolError::Io), 0);
  EXPECT_EQ(static_cast<int>(ProtocolError::LogonRefused), 8);
  EXPECT_EQ(static_cast<int>(ProtocolError::AbapException), 12);
  EXPECT_EQ(static_cast<int>(ProtocolError::Cancelled), 17);
  EXPECT_EQ(static_cast<int>(ProtocolError::Gateway), 18);
  EXPECT_EQ(static_cast<int>(ProtocolError::ContainerDump), 22);
  EXPECT_EQ(static_cast<int>(ProtocolError::OutOfMemory), 24);
  EXPECT_EQ(ProtocolError::kind_name(ProtocolError::DeltaRowCount), "DeltaRowCount");
}

TEST(ProtocolErrorTest, AbapExceptionKeepsAllNineFieldsInOrder) {
  const ProtocolError e =
      ProtocolError::abap_exception({"KEY", "text", "CLS", "E", "001", "a", "b", "c", "d"});
  const auto* info = e.get<ProtocolError::AbapExceptionInfo>();
  ASSERT_NE(info, nullptr);
  EXPECT_EQ(info->key, "KEY");
  EXPECT_EQ(info->msg_class, "CLS");
  EXPECT_EQ(info->msg_type, "E");
  EXPECT_EQ(info->msg_number, "001");
  EXPECT_EQ(info->msg_v1 + info->msg_v2 + info->msg_v3 + info->msg_v4, "abcd");
  // Only key and message are displayed.
  EXPECT_EQ(e.message().find("CLS"), std::string::npos);
}

// A wire error returned from a function whose result is a ProtocolError
// arrives unchanged, with its own fields.
wire::Result<int, ProtocolError> fail_with_appc() {
  wire::Result<int, wire::AppcError> inner = wire::err(wire::AppcError::version_mismatch(7));
  QUIB_TRY(int v, std::move(inner));
  return v;
}

TEST(ProtocolErrorTest, WireErrorsAreWrappedUnchanged) {
  auto r = fail_with_appc();
  ASSERT_FALSE(r.ok());
  const auto* appc = r.error().get<wire::AppcError>();
  ASSERT_NE(appc, nullptr);
  EXPECT_EQ(*appc, wire::AppcError::version_mismatch(7));

  // An SncError keeps only its display text.
  const ProtocolError snc = snc::SncError::token_truncated(100, 60);
  ASSERT_EQ(snc.kind(), ProtocolError::Snc);
  EXPECT_EQ(snc.get<ProtocolError::SncInfo>()->text,
            "SNC frame declares 100 token bytes but only 60 are present");
}

TEST(ProtocolErrorTest, OnlySocketTimeoutsCountAsTimeouts) {
  EXPECT_TRUE(ProtocolError(IoError::custom(IoError::TimedOut, "timed out")).is_timeout());
  EXPECT_TRUE(ProtocolError(IoError::from_errno(EAGAIN)).is_timeout());
  EXPECT_FALSE(ProtocolError(IoError::from_errno(ECONNRESET)).is_timeout());
  EXPECT_FALSE(ProtocolError::closed_by_peer(kStepFunctionCall).is_timeout());
  EXPECT_FALSE(ProtocolError::cancelled().is_timeout());
}

}  // namespace
}  // namespace quib::proto

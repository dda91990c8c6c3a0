// The logon: the session identifier, the logon language, the local identity,
// the exact logon containers of both variants, and how a reply is judged.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "proto/base/unicode_case.hpp"
#include "proto/session/logon.hpp"
#include "proto/session/open.hpp"
#include "tests/proto/call_fakes.hpp"
#include "tests/support/testutil.hpp"
#include "wire/container.hpp"
#include "wire/scramble.hpp"
#include "wire/utf.hpp"

namespace quib::proto {
namespace {

using wire::Bytes;
using wire::ByteView;
using wire::RecordId;

using test::unhex;

// ---------------------------------------------------------------- session identifier

TEST(SessionIdentifierTest, KnownVectors) {
  // Values from an independent computation of the rule (FNV-1a 64 over user,
  // client and the little-endian time; the hash LE, then rotl 17 BE).
  const SessionId a = session_identifier("DEVELOPER", "001", 1700000000123456789ULL);
  EXPECT_EQ(Bytes(a.begin(), a.end()), unhex("604ce9d29e78f77df13da5d298c0fbee"));
  const SessionId b = session_identifier("", "", 0);
  EXPECT_EQ(Bytes(b.begin(), b.end()), unhex("c5391a2832f8c7a8f0645034738b518f"));
  EXPECT_EQ(scramble_seed(a), 0xd2e94c60u);
}

TEST(SessionIdentifierTest, UserClientAndClockEachChangeIt) {
  const SessionId base = session_identifier("U", "001", 42);
  EXPECT_NE(session_identifier("V", "001", 42), base);
  EXPECT_NE(session_identifier("U", "002", 42), base);
  EXPECT_NE(session_identifier("U", "001", 43), base);
  // The boundary between user and client is not marked: only their bytes count.
  EXPECT_EQ(session_identifier("U0", "01", 42), base);
}

// ---------------------------------------------------------------- language

TEST(LogonLanguageTest, FirstCharacterFullyUpperCased) {
  const std::pair<const char*, const char*> cases[] = {
      {"de", "D"},
      {"", "E"},
      {"EN", "E"},
      {"e", "E"},
      {"\xC3\x9F", "SS"},                        // sharp s
      {"\xEF\xAC\x83x", "FFI"},                  // the ligature ffi
      {"\xC3\xA9s", "\xC3\x89"},                 // e acute
      {"\xCE\x90", "\xCE\x99\xCC\x88\xCC\x81"},  // iota with dialytika and tonos: three
      {"1", "1"},
  };
  for (const auto& [lang, expected] : cases) {
    SCOPED_TRACE(lang);
    EXPECT_EQ(logon_language(lang), expected);
  }
}

TEST(UnicodeUpperTest, AgreesWithPythonForEveryCodePoint) {
  const std::string script = std::string(QUIB_SOURCE_DIR) + "/tests/proto/oracles/unicode_upper.py";
  const std::string cmd = std::string(QUIB_PYTHON_EXE) + " " + script;
  std::FILE* pipe = ::popen(cmd.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::map<char32_t, std::string> expected;
  char line[128];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    unsigned cp = 0;
    char upper_hex[100] = {};
    if (std::sscanf(line, "%x %99s", &cp, upper_hex) == 2) {
      const Bytes u = unhex(upper_hex);
      expected[cp] = std::string(u.begin(), u.end());
    }
  }
  ASSERT_EQ(::pclose(pipe), 0);
  ASSERT_GT(expected.size(), 1400u);

  int mismatches = 0;
  for (char32_t cp = 0; cp < 0x110000; ++cp) {
    if (cp >= 0xD800 && cp < 0xE000) continue;
    std::string self;
    wire::append_utf8(self, cp);
    std::string got;
    append_full_upper(got, cp);
    const auto it = expected.find(cp);
    const std::string& want = it == expected.end() ? self : it->second;
    if (got != want && ++mismatches <= 10) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<unsigned>(cp);
    }
  }
  EXPECT_EQ(mismatches, 0);
}

// ---------------------------------------------------------------- local identity

class HostNameTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const char* v = std::getenv("HOSTNAME")) saved_ = v;
    file_ =
        std::filesystem::temp_directory_path() / ("quib_hostname_" + std::to_string(::getpid()));
    std::ofstream(file_) << "  file-host\n\n";
  }
  void TearDown() override {
    if (saved_) {
      ::setenv("HOSTNAME", saved_->c_str(), 1);
    } else {
      ::unsetenv("HOSTNAME");
    }
    std::filesystem::remove(file_);
  }
  std::optional<std::string> saved_;
  std::filesystem::path file_;
};

TEST_F(HostNameTest, EnvironmentFirstThenTheFile) {
  ::setenv("HOSTNAME", " env-host \t", 1);
  EXPECT_EQ(local_host_name(file_.c_str()), "env-host");
  // Set but empty after trimming: empty, and the file is not read.
  ::setenv("HOSTNAME", "   ", 1);
  EXPECT_EQ(local_host_name(file_.c_str()), "");
  // Not valid UTF-8: as if it were not set.
  ::setenv("HOSTNAME", "\xff\xfe", 1);
  EXPECT_EQ(local_host_name(file_.c_str()), "file-host");
  ::unsetenv("HOSTNAME");
  EXPECT_EQ(local_host_name(file_.c_str()), "file-host");
  EXPECT_EQ(local_host_name("/nonexistent/quib/hostname"), "");
}

TEST(LocalAddressTest, UnreachableProbeFallsBack) {
  EXPECT_EQ(local_ip_text("0.0.0.0", "::1", 9, "fallback"), "fallback");
  EXPECT_EQ(local_ip_text("0.0.0.0", "127.0.0.1", 9, "fallback"), "127.0.0.1");
}

// ---------------------------------------------------------------- NI logon container

std::vector<std::pair<std::uint16_t, Bytes>> records_of(ByteView container) {
  auto reader = wire::ContainerReader::create(container);
  EXPECT_TRUE(reader.ok());
  auto records = reader->read_all_records();
  EXPECT_TRUE(records.ok());
  std::vector<std::pair<std::uint16_t, Bytes>> out;
  for (const auto& r : *records) {
    out.emplace_back(wire::to_u16(r.id), Bytes(r.value.begin(), r.value.end()));
  }
  return out;
}

Bytes b(std::string_view s) { return wire::to_bytes(s); }

ConnectionParams sample_params() {
  ConnectionParams p;
  p.client = "100";
  p.user = "DEVELOPER";
  p.passwd = std::string("Secret#1");
  p.lang = "de";
  return p;
}

TEST(NiLogonTest, ContainerHoldsTheTwentyRecordsInOrder) {
  const ConnectionParams p = sample_params();
  const SessionId id = session_identifier(p.user, p.client, 1234567);
  const LocalIdentity local{"my-host", "10.1.2.3", "fe80::1"};
  auto message = build_ni_logon(p, id, local);
  ASSERT_TRUE(message.ok()) << message.error().message();
  const Bytes& bytes = message->reveal();

  // EBCDIC header first; the 8-byte trailer last.
  ASSERT_GT(bytes.size(), 20u);
  EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + 12), unhex("d9c6c3f0f0f0f0f0f0f0f0f0"));
  const std::size_t container_size = bytes.size() - 8;
  EXPECT_EQ(wire::load_be32(bytes.data() + container_size), container_size);
  EXPECT_EQ(wire::load_be32(bytes.data() + container_size + 4), 0x00008500u);

  const auto scrambled = wire::scramble_password("Secret#1", scramble_seed(id)).value();
  const std::vector<std::pair<std::uint16_t, Bytes>> expected = {
      {0x0101, unhex("0301010101010000")},
      {0x0103, unhex("00000e0b")},
      {0x0106, unhex("04010003000a0200000023")},
      {0x0514, Bytes(id.begin(), id.end())},
      {0x0114, b("100")},
      {0x0111, b("DEVELOPER")},
      {0x0117, Bytes(scrambled.view().begin(), scrambled.view().end())},
      {0x0115, b("D")},
      {0x0501, unhex("01")},
      {0x0007, b("10.1.2.3")},
      {0x0018, b("fe80::1")},
      {0x0011, b("E")},
      {0x0012, b("753")},
      {0x0013, b("753")},
      {0x0008, b("my-host")},
      {0x0006, b("<unknown>")},
      {0x0130, b("quib_proto")},
      {0x0502, {}},
      {0x000B, b("753")},
      {0x0102, b("RFCPING")},
  };
  EXPECT_EQ(records_of(ByteView(bytes).first(container_size)), expected);
}

TEST(NiLogonTest, UnusablePasswordsAreRefusedBeforeAnythingIsBuilt) {
  struct Case {
    std::string passwd;
    std::string text;
  };
  const Case cases[] = {
      {std::string(41, 'a'), "password of 41 bytes exceeds the maximum of 40"},
      {std::string(41, '\t'), "password of 41 bytes exceeds the maximum of 40"},
      {"tab\there", "password contains characters outside printable ASCII"},
      {"caf\xC3\xA9", "password contains characters outside printable ASCII"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    ConnectionParams p = sample_params();
    p.passwd = c.passwd;
    auto m = build_ni_logon(p, session_identifier("", "", 0), LocalIdentity{});
    ASSERT_FALSE(m.ok());
    EXPECT_EQ(m.error(), ProtocolError::logon_refused(0xFF, c.text));
  }
  ConnectionParams forty = sample_params();
  forty.passwd = std::string(40, '~');
  EXPECT_TRUE(build_ni_logon(forty, session_identifier("", "", 0), LocalIdentity{}).ok());
}

TEST(WsrfcLogonTest, TenRecordsAndEndWithoutHeaderOrTrailer) {
  ConnectionParams p = sample_params();
  p.lang = "";
  const Bytes m = build_wsrfc_logon(p);
  ASSERT_GT(m.size(), 6u);
  EXPECT_NE(m[0], 0xD9);
  EXPECT_EQ(Bytes(m.end() - 6, m.end()), unhex("ffff0000ffff"));
  const std::vector<std::pair<std::uint16_t, Bytes>> expected = {
      {0x0101, unhex("0301010101010000")},
      {0x0103, unhex("00000e0b")},
      {0x0106, unhex("04010003000a0200000023")},
      {0x0514, Bytes(16, 0)},
      {0x0114, b("100")},
      {0x0163, {}},
      {0x0115, b("E")},
      {0x0501, unhex("01")},
      {0x0502, {}},
      {0x0102, b("RFCPING")},
  };
  EXPECT_EQ(records_of(m), expected);
}

// ---------------------------------------------------------------- judging replies

Bytes reply(std::initializer_list<std::pair<RecordId, Bytes>> records, bool header = false) {
  wire::ContainerWriter w =
      header ? wire::ContainerWriter::with_rfc_header() : wire::ContainerWriter();
  for (const auto& [id, v] : records) w.put_record(id, v);
  return std::move(w).finish_container().value();
}

TEST(JudgeLogonReplyTest, AttributesAreStoredAndRefusalsJudged) {
  struct Case {
    const char* name;
    Bytes payload;
    std::optional<ProtocolError> error;
    ConnectionAttributes attributes;
  };
  const Bytes utf16_sid = wire::encode_utf16le("NPL");
  std::vector<Case> cases;
  cases.push_back({"system id only: success",
                   reply({{RecordId::SystemId, b("NPL  ")}}, true),
                   std::nullopt,
                   {"NPL", "", "", "", "", ""}});
  cases.push_back({"all six attributes, UTF-16 and UTF-8, later record wins",
                   reply({{RecordId::SystemId, utf16_sid},
                          {RecordId::SystemName, b("NPL")},
                          {RecordId::SystemNumber, b("00")},
                          {RecordId::SystemHost, b("old")},
                          {RecordId::SystemHost, b("sapnpl ")},
                          {RecordId::KernelRelease, b("753")},
                          {RecordId::SystemCodePage, b("4103")}}),
                   std::nullopt,
                   {"NPL", "NPL", "00", "sapnpl", "753", "4103"}});
  cases.push_back({"error message without a status",
                   reply({{RecordId::SystemId, b("NPL")},
                          {RecordId::AbapErrorMessage, b("Name or password is incorrect ")}}),
                   ProtocolError::logon_refused(0xFF, "Name or password is incorrect"),
                   {"NPL", "", "", "", "", ""}});
  cases.push_back({"key before message, status from the first status record",
                   reply({{RecordId::AbapExceptionKey, b("RFC_LOGON_FAILURE")},
                          {RecordId::LogonStatus, unhex("05")},
                          {RecordId::AbapErrorMessage, b("ignored")},
                          {RecordId::LogonStatus, unhex("07")}}),
                   ProtocolError::logon_refused(0x05, "RFC_LOGON_FAILURE"),
                   {}});
  cases.push_back({"message before key",
                   reply({{RecordId::AbapErrorMessage, wire::encode_utf16le("User locked")},
                          {RecordId::AbapExceptionKey, b("KEY")}}),
                   ProtocolError::logon_refused(0xFF, "User locked"),
                   {}});
  cases.push_back({"empty status record",
                   reply({{RecordId::LogonStatus, {}}, {RecordId::AbapExceptionKey, b("K")}}),
                   ProtocolError::logon_refused(0xFF, "K"),
                   {}});
  cases.push_back({"empty refusal text",
                   reply({{RecordId::LogonStatus, unhex("03")}, {RecordId::AbapErrorMessage, {}}}),
                   ProtocolError::logon_refused(0x03, ""),
                   {}});
  {
    // A gateway error block where the container should be: its text, not
    // a container fault at offset 0.
    std::string block = "*ERR*";
    block += '\0';
    block += "x";
    block += '\0';
    block += "partner not reached ";
    block += '\0';
    block += "gw01";
    block += '\0';
    cases.push_back({"gateway error block",
                     wire::to_bytes(block),
                     ProtocolError::gateway("partner not reached", "gw01"),
                     {}});
  }
  cases.push_back({"too short for a container",
                   b("ab"),
                   ProtocolError(wire::ContainerError::bad_header()),
                   {}});
  cases.push_back({"no end record",
                   unhex("0450000141"
                         "0450"),
                   ProtocolError(wire::ContainerError::missing_end()),
                   {}});

  for (Case& c : cases) {
    SCOPED_TRACE(c.name);
    ConnectionAttributes attributes;
    auto r = judge_logon_reply(c.payload, attributes);
    if (c.error) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), *c.error);
    } else {
      EXPECT_TRUE(r.ok()) << r.error().message();
    }
    EXPECT_EQ(attributes, c.attributes);
  }
}

TEST(JudgeLogonReplyTest, DamagedRecordGivesADumpAroundIt) {
  // A record that opens with 0x0450 and closes with 0x0451, at offset 12.
  Bytes payload = reply({}, true);
  payload.resize(12);
  wire::append_bytes(payload, unhex("04500003414243"
                                    "0451"
                                    "ffff0000ffff"));
  ConnectionAttributes attributes;
  auto r = judge_logon_reply(payload, attributes);
  ASSERT_FALSE(r.ok());
  ASSERT_EQ(r.error().kind(), ProtocolError::ContainerDump);
  const auto* dump = r.error().get<ProtocolError::ContainerDumpInfo>();
  EXPECT_EQ(dump->error, wire::ContainerError::tag_mismatch(12, 0x0450, 0x0451));
  EXPECT_NE(dump->dump.find(">04"), std::string::npos) << dump->dump;
  EXPECT_EQ(r.error().message().substr(0, r.error().message().find('\n')),
            "RFC_PRO field at offset 12 opened with tag 0x0450 but closed with 0x0451");
}

// ---------------------------------------------------------------- the exchange

// A session over a transport that records what is sent and replays the
// scripted replies.
struct Session {
  std::shared_ptr<test::FakeTransport::State> transport;
  RfcConnection connection;
};

Session scripted_session(std::vector<test::Scripted> replies) {
  auto state = std::make_shared<test::FakeTransport::State>();
  for (auto& r : replies) state->script.push_back(std::move(r));
  return {state, RfcConnection(std::make_unique<test::FakeTransport>(state), nullptr,
                               session_identifier("U", "001", 99))};
}

TEST(LogonExchangeTest, NiLogonSendsOneMessageAndFillsTheAttributes) {
  auto s = scripted_session(
      {Received{reply({{RecordId::SystemId, b("NPL")}, {RecordId::KernelRelease, b("789")}}),
                ReceiveKind::DataRecord}});
  ASSERT_TRUE(logon_ni(s.connection, sample_params()).ok());
  ASSERT_EQ(s.transport->sent.size(), 1u);
  EXPECT_EQ(s.transport->labels, (std::vector<std::string_view>{kStepLogon}));
  EXPECT_EQ(s.connection.attributes().system_id, "NPL");
  EXPECT_EQ(s.connection.attributes().kernel_release, "789");
  // The password was scrambled with this session's seed.
  const Bytes& m = s.transport->sent[0];
  const auto recs = records_of(ByteView(m).first(m.size() - 8));
  const auto scrambled =
      wire::scramble_password("Secret#1", scramble_seed(s.connection.session_id())).value();
  EXPECT_EQ(recs.at(6).second, Bytes(scrambled.view().begin(), scrambled.view().end()));
  EXPECT_EQ(recs.at(3).second,
            Bytes(s.connection.session_id().begin(), s.connection.session_id().end()));
}

TEST(LogonExchangeTest, NiLogonFailures) {
  {
    auto s = scripted_session({Received{{}, ReceiveKind::ControlRecord}});
    auto r = logon_ni(s.connection, sample_params());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), ProtocolError::unexpected_record(kStepLogon, "non-data control record"));
  }
  {
    auto s = scripted_session({Received{{}, ReceiveKind::CancelRecord}});
    auto r = logon_ni(s.connection, sample_params());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ProtocolError::UnexpectedRecord);
  }
  {
    auto s = scripted_session({});  // the peer goes away
    auto r = logon_ni(s.connection, sample_params());
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), ProtocolError::closed_by_peer(kStepLogon));
  }
  {
    // A refused password sends nothing at all.
    auto s = scripted_session({});
    ConnectionParams p = sample_params();
    p.passwd = std::string(41, 'x');
    auto r = logon_ni(s.connection, p);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), ProtocolError::LogonRefused);
    EXPECT_TRUE(s.transport->sent.empty());
    EXPECT_TRUE(s.transport->labels.empty());
  }
}

TEST(LogonExchangeTest, WsrfcLogonIgnoresTheReplyKind) {
  auto s = scripted_session(
      {Received{reply({{RecordId::SystemId, b("WSS")}}), ReceiveKind::ControlRecord}});
  ASSERT_TRUE(logon_wsrfc(s.connection, sample_params()).ok());
  EXPECT_EQ(s.transport->labels, (std::vector<std::string_view>{kStepWsrfcLogon}));
  ASSERT_EQ(s.transport->sent.size(), 1u);
  EXPECT_EQ(s.transport->sent[0], build_wsrfc_logon(sample_params()));
  EXPECT_EQ(s.connection.attributes().system_id, "WSS");
}

}  // namespace
}  // namespace quib::proto

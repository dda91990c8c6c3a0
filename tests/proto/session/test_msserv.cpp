// Load-balanced logon: the three fixed packets byte for byte, the reading of
// the logon-group reply (the backwards scan and its rejections), the
// parameter set of the direct session, and whole lookups and logons against
// the simulated message server, with its refusals and faults at every step.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "proto/invoke/invoke.hpp"
#include "proto/session/msserv.hpp"
#include "proto/session/open.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"

namespace quib::proto {
namespace {

using test::ScenarioFile;
using test::SimLogFilter;
using test::SimProcess;
using wire::Bytes;
using namespace std::chrono_literals;

// ---------------------------------------------------------------- templates

// One inclusive byte range of a packet and its content; the range's width is
// checked against the content so that a mistyped offset cannot hide.
struct Span {
  std::size_t first;
  std::size_t last;
  std::string bytes;
};

Bytes packet(std::size_t size, const std::vector<Span>& spans) {
  Bytes p(size, 0x00);
  for (const Span& s : spans) {
    EXPECT_EQ(s.last - s.first + 1, s.bytes.size()) << "span " << s.first << ".." << s.last;
    EXPECT_LT(s.last, size);
    for (std::size_t i = 0; i < s.bytes.size() && s.first + i < size; ++i)
      p[s.first + i] = static_cast<std::uint8_t>(s.bytes[i]);
  }
  return p;
}

std::string blanks(std::size_t n) { return std::string(n, ' '); }
std::string zeros(std::size_t n) { return std::string(n, '\0'); }
std::string hexs(const Bytes& b) {
  std::string out;
  for (auto c : b) out += fmt::format("{:02x}", c);
  return out;
}
Bytes text_bytes(std::string_view s) { return Bytes(s.begin(), s.end()); }

const std::string kEye("**MESSAGE**\0", 12);

Bytes expected_first_packet() {
  return packet(110, {{0, 11, kEye},
                      {12, 13, std::string("\x04\x00", 2)},
                      {14, 14, "-"},
                      {15, 53, blanks(39)},
                      {54, 65, zeros(12)},
                      {66, 67, "\x02\x08"},
                      {68, 68, "-"},
                      {69, 107, blanks(39)},
                      {108, 109, zeros(2)}});
}

Bytes expected_second_packet() {
  return packet(354,
                {{0, 11, kEye},
                 {12, 13, std::string("\x04\x00", 2)},
                 {14, 14, "-"},
                 {15, 15, zeros(1)},
                 {16, 23, "NiSelSet"},
                 {24, 24, zeros(1)},
                 {25, 34, "NiSelClear"},
                 {35, 35, zeros(1)},
                 {36, 48, "NiSelClearSet"},
                 {49, 49, zeros(1)},
                 {50, 53, "NiSe"},
                 {54, 65, zeros(12)},
                 {66, 67, "\x04\x05"},
                 {68, 68, "-"},
                 {69, 107, blanks(39)},
                 {108, 109, zeros(2)},
                 {110, 120, "AD-EYECATCH"},
                 {121, 121, zeros(1)},
                 {122, 123, "\x01\x01"},
                 {124, 131, blanks(8)},
                 {132, 134, "104"},
                 {135, 144, blanks(10)},
                 {145, 145, "2"},
                 {146, 149, std::string("\x15\x00\x00\x00", 4)},
                 {150, 153, std::string("\x16\x14\x00\x28", 4)},
                 {154, 173, "PUBLIC" + blanks(14)},
                 {174, 249, zeros(76)},
                 {250, 253, std::string("\x15\x00\x00\x00", 4)},
                 {254, 257, std::string("\x16\x14\x00\x28", 4)},
                 {258, 277, "\xC3\x97\xC3\xA4\xC3\x82\xC3\x93\xC3\x89\xC3\x83\x40\x40\x40\x40    "},
                 {278, 353, zeros(76)}});
}

Bytes expected_group_request(const std::string& group) {
  std::string field = group;
  field.resize(10, '\0');
  return packet(206, {{0, 11, kEye},
                      {12, 13, std::string("\x04\x00", 2)},
                      {14, 23, "MSG_SERVER"},
                      {24, 24, zeros(1)},
                      {25, 34, "MsRSndName"},
                      {35, 35, zeros(1)},
                      {36, 45, "MsSnd2Name"},
                      {46, 46, zeros(1)},
                      {47, 53, "MsRSnd2"},
                      {54, 65, zeros(12)},
                      {66, 67, "\x02\x01"},
                      {68, 68, "-"},
                      {69, 107, blanks(39)},
                      {108, 109, zeros(2)},
                      {110, 110, "D"},
                      {111, 111, zeros(1)},
                      {112, 112, "\x01"},
                      {113, 155, zeros(43)},
                      {156, 157, std::string("\x00\x0A", 2)},
                      {158, 167, field},
                      {168, 197, zeros(30)},
                      {198, 198, "\x01"},
                      {199, 205, zeros(7)}});
}

TEST(MsPacketsTest, FixedPacketsAreSentByteForByte) {
  EXPECT_EQ(hexs(Bytes(wire::kMsFirstPacket.begin(), wire::kMsFirstPacket.end())),
            hexs(expected_first_packet()));
  EXPECT_EQ(hexs(Bytes(wire::kMsSecondPacket.begin(), wire::kMsSecondPacket.end())),
            hexs(expected_second_packet()));
}

TEST(MsPacketsTest, LogonGroupRequestCarriesTheGroupNulPadded) {
  for (const char* group : {"PUBLIC", "", "SPACE", "ABCDEFGHIJ", "g\xC3\xA4"}) {
    auto r = logon_group_request(group);
    ASSERT_TRUE(r) << group << ": " << r.error().message();
    EXPECT_EQ(hexs(Bytes(r->begin(), r->end())), hexs(expected_group_request(group))) << group;
  }
  // Ten bytes fill the field with no NUL at all.
  auto full = logon_group_request("ABCDEFGHIJ");
  ASSERT_TRUE(full);
  for (std::size_t i = 158; i <= 167; ++i) EXPECT_NE((*full)[i], 0) << i;
}

TEST(MsPacketsTest, GroupLongerThanTenBytesIsRefused) {
  // Counted in bytes: five two-byte characters fit, a sixth does not.
  const std::string ten_bytes = "\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4\xC3\xA4";
  EXPECT_TRUE(logon_group_request(ten_bytes));
  for (const std::string& group :
       {std::string("ABCDEFGHIJK"), ten_bytes + "x", std::string("A_VERY_LONG_LOGON_GROUP")}) {
    auto r = logon_group_request(group);
    ASSERT_FALSE(r) << group;
    EXPECT_EQ(r.error(),
              ProtocolError::unexpected_record(
                  kStepMessageServer, fmt::format("logon group {} exceeds 10 characters", group)));
    EXPECT_EQ(r.error().message(),
              fmt::format("unexpected record during message server: logon group {} exceeds 10 "
                          "characters",
                          group));
  }
}

// ---------------------------------------------------------------- reply

// A reply: the eyecatcher and its NUL, then the given body.
Bytes reply_with(const Bytes& body) {
  Bytes r(kEye.begin(), kEye.end());
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

// One entry: port, declared host length (default: the host's size), host.
Bytes entry(std::uint16_t port, std::string_view host, std::optional<std::uint16_t> length = {}) {
  const std::uint16_t l = length.value_or(static_cast<std::uint16_t>(host.size()));
  Bytes e(4 + host.size());
  e[0] = static_cast<std::uint8_t>(port >> 8);
  e[1] = static_cast<std::uint8_t>(port);
  e[2] = static_cast<std::uint8_t>(l >> 8);
  e[3] = static_cast<std::uint8_t>(l);
  std::copy(host.begin(), host.end(), e.begin() + 4);
  return e;
}

Bytes cat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

TEST(MsReplyTest, FindsTheEntryNearestTheEnd) {
  const Bytes junk = text_bytes("\x04\x00MSG_SERVER");
  struct Case {
    const char* name;
    Bytes reply;
    ApplicationServer expected;
  };
  const Case cases[] = {
      {"one entry", reply_with(cat({junk, entry(3201, "app1")})), {"app1", 3201}},
      {"lowest port", reply_with(entry(3200, "h")), {"h", 3200}},
      {"highest port", reply_with(entry(3299, "h")), {"h", 3299}},
      {"trailing zeros", reply_with(cat({entry(3210, "app1"), Bytes(40, 0)})), {"app1", 3210}},
      {"two entries: the later",
       reply_with(cat({entry(3201, "first"), entry(3202, "second")})),
       {"second", 3202}},
      {"blank later entry skipped",
       reply_with(cat({entry(3201, "first"), entry(3202, "     ")})),
       {"first", 3201}},
      {"later port out of range skipped",
       reply_with(cat({entry(3201, "first"), entry(3300, "second")})),
       {"first", 3201}},
      {"later port below range skipped",
       reply_with(cat({entry(3201, "first"), entry(3199, "second")})),
       {"first", 3201}},
      {"surrounding white space trimmed",
       reply_with(entry(3203, " \t app.example \n")),
       {"app.example", 3203}},
      {"64-byte host", reply_with(entry(3204, std::string(64, 'h'))), {std::string(64, 'h'), 3204}},
      {"65-byte host skipped",
       reply_with(cat({entry(3201, "ok"), entry(3204, std::string(65, 'h'))})),
       {"ok", 3201}},
      {"length past the end skipped",
       reply_with(cat({entry(3201, "ok"), entry(3205, "abc", 4)})),
       {"ok", 3201}},
      {"zero length skipped",
       reply_with(cat({entry(3201, "ok"), entry(3205, "", 0)})),
       {"ok", 3201}},
      {"inner blank rejected",
       reply_with(cat({entry(3201, "ok"), entry(3206, "a b")})),
       {"ok", 3201}},
      {"non-ASCII host rejected",
       reply_with(cat({entry(3201, "ok"), entry(3206, "h\xC3\xA4st")})),
       {"ok", 3201}},
      {"invalid UTF-8 rejected",
       reply_with(cat({entry(3201, "ok"), entry(3206, "h\xFF")})),
       {"ok", 3201}},
      {"NUL-padded host rejected",
       reply_with(cat({entry(3201, "ok"), entry(3206, std::string("app\0\0", 5))})),
       {"ok", 3201}},
      {"IPv6 literal", reply_with(entry(3207, "::1")), {"::1", 3207}},
  };
  for (const Case& c : cases) {
    auto r = parse_logon_group_reply(c.reply);
    ASSERT_TRUE(r) << c.name << ": " << r.error().message();
    EXPECT_EQ(*r, c.expected) << c.name << ": got " << r->host << ":" << r->port;
  }
}

TEST(MsReplyTest, RejectsRepliesWithoutEyecatcherOrServer) {
  const std::string no_eye =
      "unexpected record during message server: response without the "
      "**MESSAGE** eyecatcher";
  const std::string no_server =
      "unexpected record during message server: response contained no application server";
  struct Case {
    const char* name;
    Bytes reply;
    const std::string& message;
  };
  const Bytes valid_entry = entry(3201, "app1");
  const Case cases[] = {
      {"empty", {}, no_eye},
      {"eleven bytes", text_bytes("**MESSAGE**"), no_eye},
      {"no NUL after the eyecatcher", cat({text_bytes("**MESSAGE**X"), valid_entry}), no_eye},
      {"lower case", cat({text_bytes(std::string("**message**\0", 12)), valid_entry}), no_eye},
      {"entry before the eyecatcher", cat({valid_entry, text_bytes(kEye)}), no_eye},
      {"eyecatcher alone", text_bytes(kEye), no_server},
      {"blank host only", reply_with(entry(3201, "    ")), no_server},
      {"port out of range only", reply_with(entry(3300, "app1")), no_server},
      {"host overruns the reply", reply_with(entry(3201, "app1", 5)), no_server},
      {"zeros", reply_with(Bytes(500, 0)), no_server},
      {"status text", reply_with(text_bytes("MSEUNKNOWN logon group XYZ unknown")), no_server},
  };
  for (const Case& c : cases) {
    auto r = parse_logon_group_reply(c.reply);
    ASSERT_FALSE(r) << c.name << ": got " << r->host;
    EXPECT_EQ(r.error().kind(), ProtocolError::UnexpectedRecord) << c.name;
    EXPECT_EQ(r.error().message(), c.message) << c.name;
  }
}

TEST(MsReplyTest, HostileRepliesStayWithinTheirBytes) {
  // Every position looks like a port in range with the largest host length
  // allowed, but no host fits: the scan must compare, never read past the end.
  Bytes dense;
  for (int i = 0; i < 4096; ++i) {
    for (std::uint8_t b : {0x0C, 0x80, 0x00, 0x40}) dense.push_back(b);
  }
  auto r = parse_logon_group_reply(reply_with(dense));
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ProtocolError::UnexpectedRecord);

  // A length of 0xFFFF right at the end.
  auto tail = parse_logon_group_reply(reply_with(Bytes{0x0C, 0x81, 0xFF, 0xFF}));
  ASSERT_FALSE(tail);

  // The reply exactly as long as its entry needs: the last host byte is the
  // last reply byte.
  auto exact = parse_logon_group_reply(reply_with(entry(3201, "x")));
  ASSERT_TRUE(exact);
  EXPECT_EQ(*exact, (ApplicationServer{"x", 3201}));
}

// ---------------------------------------------------------------- parameters

TEST(MsParamsTest, SystemNumberOfTheDispatcherPort) {
  const std::pair<std::uint16_t, const char*> cases[] = {
      {3200, "00"}, {3207, "07"}, {3210, "10"}, {3299, "99"}};
  for (auto [port, sysnr] : cases) EXPECT_EQ(system_number_of_dispatcher(port), sysnr) << port;
}

TEST(MsParamsTest, DirectSessionParametersFromTheLookup) {
  ConnectionParams p;
  p.ashost = "original";
  p.sysnr = "42";
  p.port = 3999;
  p.user = "U";
  p.passwd = std::string("pw");
  p.client = "100";
  p.basxml_mode = BasxmlMode::Off;
  p.io_timeout = 7s;
  const ConnectionParams before = p;

  const ApplicationServer server{"app7", 3207};
  ConnectionParams d = load_balanced_params(p, server, std::nullopt);
  EXPECT_EQ(d.ashost, "app7");
  EXPECT_EQ(d.sysnr, "07");
  EXPECT_FALSE(d.port.has_value());
  EXPECT_EQ(gateway_port(d), 3307);
  // Everything else is carried over.
  EXPECT_EQ(d.user, "U");
  EXPECT_EQ(d.passwd.reveal(), "pw");
  EXPECT_EQ(d.client, "100");
  EXPECT_EQ(d.basxml_mode, BasxmlMode::Off);
  EXPECT_EQ(d.io_timeout, p.io_timeout);

  ConnectionParams o = load_balanced_params(p, server, std::string("override.host"));
  EXPECT_EQ(o.ashost, "override.host");
  EXPECT_EQ(o.sysnr, "07");
  EXPECT_EQ(gateway_port(o), 3307);

  // With SNC the derived port follows the SNC base.
  p.snc = SncOptions{"/lib/gss.so", "", "p:CN=X", 2};
  EXPECT_EQ(gateway_port(load_balanced_params(p, server, std::nullopt)), 4807);

  // The caller's set is left as it was.
  EXPECT_EQ(before.ashost, "original");
  EXPECT_EQ(p.ashost, "original");
  EXPECT_EQ(p.sysnr, "42");
  EXPECT_EQ(p.port, std::optional<std::uint16_t>(3999));
}

// ---------------------------------------------------------------- against the simulator

ConnectionParams account() {
  ConnectionParams p;
  p.user = "TESTER";
  p.passwd = std::string("secret");
  p.client = "001";
  p.io_timeout = 30s;
  p.connect_timeout = 20s;
  return p;
}

Route ms_route(const SimProcess& sim, std::string group = "PUBLIC",
               std::optional<std::string> override_host = std::nullopt) {
  Route::MessageServer ms;
  ms.mshost = "127.0.0.1";
  ms.msserv = std::to_string(sim.msgserver_port());
  ms.group = std::move(group);
  ms.mshost_override = std::move(override_host);
  return Route::message_server(std::move(ms));
}

std::vector<std::string> ms_frames(const SimProcess& sim, const std::string& step) {
  SimLogFilter f;
  f.server = "msgserver";
  f.dir = "recv";
  f.kind = "frame";
  f.step = step;
  std::vector<std::string> out;
  for (const auto& e : sim.entries(f)) out.push_back(e.at("hex"));
  return out;
}

std::size_t count_entries(const SimProcess& sim, const std::string& server,
                          const std::string& event) {
  SimLogFilter f;
  f.server = server;
  f.dir = "event";
  f.event = event;
  return sim.entries(f).size();
}

class MsSim : public test::SimSuite {
 protected:
  static void SetUpTestSuite() { start_sim({"--msgserver"}); }
  void SetUp() override {
    SimSuite::SetUp();
    if (HasFatalFailure()) return;
    ASSERT_NE(sim_->msgserver_port(), 0);
  }
};

TEST_F(MsSim, LoadBalancedLogonReachesTheGatewayTheServerNamed) {
  const auto shared = std::make_shared<MetadataCache>();
  ConnectionParams p = account();
  p.ashost = "ignored.invalid";
  p.port = 1;  // an explicit gateway port has no effect on this route
  const std::size_t lookups = count_entries(*sim_, "msgserver", "accepted");
  const std::size_t sessions = count_entries(*sim_, "gateway", "accepted");

  auto c = open_by_route(p, ms_route(*sim_), shared);
  ASSERT_TRUE(c) << c.error().message();
  EXPECT_EQ(c->attributes().system_id, "QSI");
  EXPECT_EQ(c->attributes().system_host, "qsihost");
  const TextImport imports[] = {{"REQUTEXT", "balanced"}};
  auto r = invoke_text(*c, "STFC_CONNECTION", imports);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->text_pairs.at(0), (TextPair{"ECHOTEXT", "balanced"}));

  // The cache handed in was released, the session has one of its own.
  EXPECT_EQ(shared.use_count(), 1);
  EXPECT_NE(c->cache(), nullptr);
  EXPECT_NE(c->cache(), shared);
  EXPECT_NE(c->cache(), metadata_cache());
  ASSERT_TRUE(std::move(*c).close());

  // One lookup, one gateway session, the three packets as the templates say.
  EXPECT_EQ(count_entries(*sim_, "msgserver", "accepted"), lookups + 1);
  EXPECT_EQ(count_entries(*sim_, "gateway", "accepted"), sessions + 1);
  EXPECT_EQ(ms_frames(*sim_, "first").back(), hexs(expected_first_packet()));
  EXPECT_EQ(ms_frames(*sim_, "second").back(), hexs(expected_second_packet()));
  EXPECT_EQ(ms_frames(*sim_, "group").back(), hexs(expected_group_request("PUBLIC")));
  // The lookup connection was closed once the reply was in, with nothing more sent.
  ASSERT_TRUE(sim_->wait_for(SimLogFilter{"msgserver", std::nullopt, "event", std::nullopt,
                                          std::nullopt, "closed", std::nullopt},
                             10s, lookups + 1));
  EXPECT_TRUE(ms_frames(*sim_, "after").empty());
  SimLogFilter checks;
  checks.event = "check";
  EXPECT_TRUE(sim_->entries(checks).empty());
}

TEST_F(MsSim, EveryOpenGetsAFreshCache) {
  auto a = open_by_route(account(), ms_route(*sim_), metadata_cache());
  ASSERT_TRUE(a) << a.error().message();
  const TextImport imports[] = {{"REQUTEXT", "x"}};
  ASSERT_TRUE(invoke_text(*a, "STFC_CONNECTION", imports));
  ASSERT_NE(a->cache()->get_function_description(a->metadata_scope(), "STFC_CONNECTION"), nullptr);

  auto b = open_by_route(account(), ms_route(*sim_), metadata_cache());
  ASSERT_TRUE(b) << b.error().message();
  EXPECT_NE(a->cache(), b->cache());
  EXPECT_EQ(b->cache()->get_function_description(b->metadata_scope(), "STFC_CONNECTION"), nullptr);
  EXPECT_EQ(metadata_cache()->get_function_description("QSI", "STFC_CONNECTION"), nullptr);

  // The second session asks the server for the interface again.
  SimLogFilter fetch;
  fetch.kind = "message";
  fetch.dir = "recv";
  fetch.function = "RFC_GET_FUNCTION_INTERFACE";
  const std::size_t before = sim_->entries(fetch).size();
  ASSERT_TRUE(invoke_text(*b, "STFC_CONNECTION", imports));
  EXPECT_EQ(sim_->entries(fetch).size(), before + 1);
  EXPECT_NE(b->cache()->get_function_description(b->metadata_scope(), "STFC_CONNECTION"), nullptr);
}

TEST_F(MsSim, UnknownGroupHasNoApplicationServer) {
  auto c = open_by_route(account(), ms_route(*sim_, "NOSUCH"), nullptr);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error(), ProtocolError::unexpected_record(
                           kStepMessageServer, "response contained no application server"));
  SimLogFilter f;
  f.server = "msgserver";
  f.event = "lookup";
  const auto lookups = sim_->entries(f);
  ASSERT_FALSE(lookups.empty());
  EXPECT_EQ(lookups.back().at("group"), "NOSUCH");
  EXPECT_EQ(lookups.back().at("known"), "false");
  EXPECT_EQ(ms_frames(*sim_, "group").back(), hexs(expected_group_request("NOSUCH")));
}

TEST_F(MsSim, TooLongGroupFailsAfterTheFirstTwoPackets) {
  const std::size_t firsts = ms_frames(*sim_, "first").size();
  const std::size_t seconds = ms_frames(*sim_, "second").size();
  const std::size_t groups = ms_frames(*sim_, "group").size();
  auto c = open_by_route(account(), ms_route(*sim_, "ELEVENCHARS"), nullptr);
  ASSERT_FALSE(c);
  EXPECT_EQ(c.error().message(),
            "unexpected record during message server: logon group ELEVENCHARS exceeds 10 "
            "characters");
  // The first two packets went out, the request did not.
  ASSERT_TRUE(sim_->wait_for(SimLogFilter{"msgserver", std::nullopt, "recv", "second", "frame",
                                          std::nullopt, std::nullopt},
                             10s, seconds + 1));
  EXPECT_EQ(ms_frames(*sim_, "first").size(), firsts + 1);
  EXPECT_EQ(ms_frames(*sim_, "group").size(), groups);
}

TEST_F(MsSim, LookupFailuresBeforeAnyExchange) {
  // A port that is no number fails in name resolution.
  Route::MessageServer ms;
  ms.mshost = "127.0.0.1";
  ms.msserv = "sapmsQSI";
  auto named = open_by_route(account(), Route::message_server(ms), nullptr);
  ASSERT_FALSE(named);
  EXPECT_EQ(named.error().kind(), ProtocolError::Io);

  // Nothing listening: the connect fails.
  ms.msserv = "1";
  auto closed = open_by_route(account(), Route::message_server(ms), nullptr);
  ASSERT_FALSE(closed);
  ASSERT_EQ(closed.error().kind(), ProtocolError::Io);
  EXPECT_EQ(closed.error().get<IoError>()->kind, IoError::ConnectionRefused);
}

// A simulator of its own per scenario, for faults and configured entries.
struct Scenario {
  std::vector<std::string> args;
  std::string config;  // JSON, empty for none
};

std::unique_ptr<SimProcess> start(const Scenario& s, std::unique_ptr<ScenarioFile>& file) {
  std::vector<std::string> args = {"--msgserver"};
  if (!s.config.empty()) {
    file = std::make_unique<ScenarioFile>(s.config);
    args.push_back("--config");
    args.push_back(file->path());
  }
  args.insert(args.end(), s.args.begin(), s.args.end());
  return std::make_unique<SimProcess>(args);
}

TEST(MsSimFaults, PeerClosingOrMisbehavingAtEachStep) {
  const auto closed = ProtocolError::closed_by_peer(kStepMessageServer);
  const auto no_eye = ProtocolError::unexpected_record(
      kStepMessageServer, "response without the **MESSAGE** eyecatcher");
  const auto no_server = ProtocolError::unexpected_record(
      kStepMessageServer, "response contained no application server");
  struct Case {
    std::string fault;
    std::optional<ProtocolError> expected;  // none: the logon succeeds
  };
  const Case cases[] = {
      {"close=first", closed},
      {"close=second", closed},
      {"close=group", closed},
      {"midclose=first", closed},
      {"midclose=group:30", closed},
      {"midclose=group:2", closed},          // not even the whole length field
      {"hugelen=group:0x0FFFFFFF", closed},  // within the limit, never sent
      {"hugelen=second", ProtocolError(wire::NiError{0xFFFFFFF0, 0x10000000})},
      {"hugelen=group:0x10000001", ProtocolError(wire::NiError{0x10000001, 0x10000000})},
      // "HTTP" read as a frame length.
      {"noise=first", ProtocolError(wire::NiError{0x48545450, 0x10000000})},
      {"garbage=group", no_eye},
      {"short=group", no_eye},
      {"empty=group", no_eye},
      {"noentry=group", no_server},
      // The answers to the first two packets are discarded, whatever they hold.
      {"garbage=first", std::nullopt},
      {"empty=second", std::nullopt},
      {"short=first:3", std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.fault);
    std::unique_ptr<ScenarioFile> file;
    auto sim = start({{"--ms-fault", c.fault}, ""}, file);
    ASSERT_TRUE(sim->running()) << sim->error();
    auto r = open_by_route(account(), ms_route(*sim), nullptr);
    if (!c.expected) {
      EXPECT_TRUE(r) << r.error().message();
      continue;
    }
    ASSERT_FALSE(r) << "opened despite " << c.fault;
    EXPECT_EQ(r.error(), *c.expected) << r.error().message();
    // No session was tried on the gateway.
    EXPECT_EQ(count_entries(*sim, "gateway", "accepted"), 0u);
  }
}

TEST(MsSimFaults, SilenceTimesOutAfterTheConnectTimeout) {
  std::unique_ptr<ScenarioFile> file;
  auto sim = start({{"--ms-fault", "silence=group"}, ""}, file);
  ASSERT_TRUE(sim->running()) << sim->error();
  ConnectionParams p = account();
  p.connect_timeout = 500ms;
  p.io_timeout = 1h;  // the lookup does not wait this long
  auto r = open_by_route(p, ms_route(*sim), nullptr);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is_timeout()) << r.error().message();
}

TEST(MsSimFaults, LookupWaitsForTheConnectTimeoutNotTheIoTimeout) {
  std::unique_ptr<ScenarioFile> file;
  auto sim = start({{"--ms-fault", "delay=group:3"}, ""}, file);
  ASSERT_TRUE(sim->running()) << sim->error();
  ConnectionParams p = account();
  p.connect_timeout = 30s;
  p.io_timeout = 1500ms;  // shorter than the message server's delay
  auto r = open_by_route(p, ms_route(*sim), nullptr);
  ASSERT_TRUE(r) << r.error().message();
}

TEST(MsSimEntries, EntriesTheServerNames) {
  struct Case {
    const char* name;
    std::string entries;  // the PUBLIC group's entries
    std::optional<std::string> override_host;
    ProtocolError::Kind failure;  // Io or UnexpectedRecord; Message: success
  };
  const auto ok = ProtocolError::Message;
  const Case cases[] = {
      {"the nearest the end wins", R"([{"host": "127.0.0.2"}, {"host": "127.0.0.1"}])", {}, ok},
      {"a host where no gateway listens", R"([{"host": "127.0.0.2"}])", {}, ProtocolError::Io},
      {"the override replaces the host", R"([{"host": "127.0.0.2"}])", "127.0.0.1", ok},
      {"the override replaces an unusable name", R"([{"host": "no-gateway-here.invalid"}])",
       "127.0.0.1", ok},
      {"a blank host is skipped", R"([{"host": "127.0.0.1"}, {"host": "   "}])", {}, ok},
      {"a port outside 3200..3299 is skipped",
       R"([{"host": "127.0.0.1"}, {"port": 3300}])",
       {},
       ok},
      {"a host running past the reply is skipped",
       R"([{"host": "127.0.0.1"}, {"host": "127.0.0.2", "length": 60}])",
       {},
       ok},
      {"only a blank host", R"([{"host": "      "}])", {}, ProtocolError::UnexpectedRecord},
      {"only a host too long",
       R"([{"host": ")" + std::string(65, 'h') + R"("}])",
       {},
       ProtocolError::UnexpectedRecord},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::unique_ptr<ScenarioFile> file;
    auto sim = start({{}, R"({"msgserver": {"groups": {"PUBLIC": )" + c.entries + "}}}"}, file);
    ASSERT_TRUE(sim->running()) << sim->error();
    auto r = open_by_route(account(), ms_route(*sim, "PUBLIC", c.override_host), nullptr);
    if (c.failure == ok) {
      ASSERT_TRUE(r) << r.error().message();
      EXPECT_EQ(r->attributes().system_id, "QSI");
      continue;
    }
    ASSERT_FALSE(r);
    EXPECT_EQ(r.error().kind(), c.failure) << r.error().message();
  }
}

TEST(MsSimEntries, RefusedLogonThroughTheMessageServer) {
  std::unique_ptr<ScenarioFile> file;
  auto sim = start({{}, ""}, file);
  ASSERT_TRUE(sim->running()) << sim->error();
  ConnectionParams p = account();
  p.passwd = std::string("wrong");
  auto r = open_by_route(p, ms_route(*sim), nullptr);
  ASSERT_FALSE(r);
  EXPECT_EQ(r.error().kind(), ProtocolError::LogonRefused) << r.error().message();
  EXPECT_EQ(count_entries(*sim, "gateway", "logon-refused"), 1u);
}

}  // namespace
}  // namespace quib::proto

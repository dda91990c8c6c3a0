// SNC over NI end to end: the openers run the context exchange after
// Allocate when the parameters carry SNC options, the logon and calls then
// travel wrapped. Against the simulated ABAP system with a Kerberos acceptor
// (a throwaway realm; the GSS-API library is a shim over MIT Kerberos), and
// against a gateway scripted here with the fake GSS-API library for the
// exact bytes, the round limit and the release of a failed context.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "proto/invoke/invoke.hpp"
#include "proto/session/open.hpp"
#include "proto/session/setup.hpp"
#include "proto/transport/snc_channel.hpp"
#include "snc/frame.hpp"
#include "tests/proto/support/ni_test_peer.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"
#include "tests/snc/gss/fake_gss.h"
#include "tests/snc/gss_fixture.hpp"
#include "tests/support/testutil.hpp"
#include "wire/container.hpp"
#include "wire/utf.hpp"

namespace quib::proto {
namespace {

using test::SimProcess;
using wire::Bytes;
using wire::ByteView;
using C = ThroughputCounters::Counter;
using namespace std::chrono_literals;

constexpr std::string_view kService = "sapsim@localhost";

ConnectionParams sim_params(const SimProcess& sim, std::optional<SncOptions> snc) {
  ConnectionParams p = test::sim_logon_params(sim);
  p.snc = std::move(snc);
  return p;
}

// The hex of an ASCII text's UTF-16LE form, as the simulator logs message bytes.
std::string utf16_hex(std::string_view ascii) { return test::hex(test::U(ascii)); }

// The SNC headers written out from the format, one row of eight bytes per
// line (offsets 0, 8, ..., 72); bytes 40..47 carry the conversation id.
constexpr std::string_view kSncDataHex =
    "06CB0200FFFF0000 0000080000010000 01FFFFFFFF020000 000100080000050C 0000000000000000"
    "0000000000000000 0000850000000002 0000052600000001 0000000000343130 3300000000000003";
constexpr std::string_view kSncHandshakeHex =
    "06CB0200FFFF0000 0000280000000000 0000000000000000 000000080000050C 0000000000000000"
    "0000000000000000 0000850000000000 0000000000000000 0000000000000000 00000000FFFF0003";

Bytes head_of(const Bytes& record) {
  return Bytes(record.begin(), record.begin() + std::min<std::size_t>(80, record.size()));
}

// A header above with `id` at 40..47.
Bytes header_with_id(std::string_view hex, const wire::ConversationId& id) {
  Bytes h = test::unhex(hex);
  std::copy(id.begin(), id.end(), h.begin() + 40);
  return h;
}

// ---------------------------------------------------------------- Kerberos

class SncSim : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    realm_ = new test::Krb5Realm();
    if (realm_->ready()) {
      sim_ =
          new SimProcess({"--snc", realm_->service_keytab(), std::string(kService), "--saprouter"});
    }
  }
  static void TearDownTestSuite() {
    delete sim_;
    delete realm_;
    sim_ = nullptr;
    realm_ = nullptr;
  }
  void SetUp() override {
    if (!realm_->skip_reason().empty()) GTEST_SKIP() << realm_->skip_reason();
    ASSERT_TRUE(realm_->ready()) << realm_->error();
    ASSERT_TRUE(sim_->running()) << sim_->error();
    const auto shim = test::build_test_library("krb5_shim", "krb5_shim.c", {"-ldl"});
    ASSERT_TRUE(shim.error.empty()) << shim.error;
    shim_ = shim.path;
  }

  SncOptions options(std::string partner = "p:" + std::string(kService), std::string own = "",
                     std::uint8_t level = 2) const {
    return SncOptions{shim_, std::move(own), std::move(partner), level};
  }

  std::size_t events(std::string_view name) const { return sim_->events(name).size(); }

  static test::Krb5Realm* realm_;
  static SimProcess* sim_;
  std::string shim_;
};
test::Krb5Realm* SncSim::realm_ = nullptr;
SimProcess* SncSim::sim_ = nullptr;

TEST_F(SncSim, LogsOnAndCallsWithWrappedMessages) {
  const std::size_t established = events("snc-established");
  const std::size_t calls_before = sim_->received_messages("call").size();
  const std::size_t frames_before = sim_->received_hex("call").size();
  auto opened = open_direct(sim_params(*sim_, options()), std::make_shared<MetadataCache>());
  ASSERT_TRUE(opened.ok()) << opened.error().message();
  RfcConnection conn = std::move(opened).value();
  auto counters = ThroughputCounters::create();
  conn.set_throughput(counters);

  const std::string text = "over a protected conversation";
  const TextImport imports[] = {{"REQUTEXT", text}};
  auto r = invoke_text(conn, "STFC_CONNECTION", imports);
  ASSERT_TRUE(r.ok()) << r.error().message();
  const wire::RfcValue* echo = r->value("ECHOTEXT");
  ASSERT_NE(echo, nullptr);
  // CHAR 255, blank-padded.
  EXPECT_EQ(*echo, wire::RfcValue::text(text + std::string(255 - text.size(), ' ')));

  ASSERT_TRUE(
      sim_->wait_for({.dir = "send", .step = "call", .kind = "message"}, 10s, calls_before + 2));
  const auto ev = sim_->events("snc-established");
  ASSERT_EQ(ev.size(), established + 1);
  EXPECT_EQ(ev.back().at("initiator"), realm_->setting("client_principal"));
  EXPECT_EQ(ev.back().at("rounds"), "1");
  EXPECT_EQ(sim_->events("snc-announcement").back().at("name"),
            realm_->setting("service_principal"));
  EXPECT_TRUE(sim_->events("check").empty()) << sim_->events("check")[0]["text"];

  // The simulator unwrapped the request it logged; on the wire it was not
  // readable, and every data record had the SNC data header.
  const auto received = sim_->received_messages("call");
  ASSERT_EQ(received.size(), calls_before + 2);  // the interface fetch, then the call
  EXPECT_NE(received.back().find(utf16_hex(text)), std::string::npos);
  const auto frames = sim_->received_hex("call");
  ASSERT_GT(frames.size(), frames_before);
  const std::string header_head = test::hex(wire::ByteView(test::unhex(kSncDataHex)).first(40));
  for (std::size_t i = frames_before; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].find(utf16_hex(text)), std::string::npos);
    EXPECT_EQ(frames[i].substr(0, 80), header_head);
  }

  // The counters count the plain messages both ways, not the wrapped frames.
  const auto sent = sim_->sent_messages("call");
  std::uint64_t in = 0, out = 0;
  for (std::size_t i = calls_before; i < calls_before + 2; ++i) {
    in += received[i].size() / 2;
    out += sent[i].size() / 2;
  }
  EXPECT_EQ(counters->get(C::sentBytes), in);
  EXPECT_EQ(counters->get(C::receivedBytes), out);
  ASSERT_TRUE(std::move(conn).close().ok());
}

TEST_F(SncSim, NamesLevelsAndTheRouterRoute) {
  struct Case {
    const char* what;
    SncOptions snc;
    bool via_router;
  };
  const Case cases[] = {
      {"own name, authentication only",
       options("p:" + std::string(kService), "p:" + realm_->client_name(), 0), false},
      {"integrity, blanks after the prefix", options("p: sapsim@localhost ", "", 1), false},
      {"through SAProuter", options(), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::size_t established = events("snc-established");
    const std::size_t logons = events("logon-ok");
    ConnectionParams p = sim_params(*sim_, c.snc);
    auto opened = c.via_router ? open_via_router(
                                     p, "/H/127.0.0.1/S/" + std::to_string(sim_->saprouter_port()),
                                     std::make_shared<MetadataCache>())
                               : open_direct(p, std::make_shared<MetadataCache>());
    ASSERT_TRUE(opened.ok()) << opened.error().message();
    RfcConnection conn = std::move(opened).value();
    auto r = invoke_text(conn, "RFCPING", {});
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(events("snc-established"), established + 1);
    EXPECT_EQ(events("logon-ok"), logons + 1);
    ASSERT_TRUE(std::move(conn).close().ok());
  }
  EXPECT_TRUE(sim_->events("check").empty()) << sim_->events("check")[0]["text"];
}

TEST_F(SncSim, FailuresOfTheExchange) {
  struct Case {
    const char* what;
    SncOptions snc;
    bool plain_sim;
    std::string prefix;  // of the message
    std::string inside;  // somewhere in the message
  };
  const Case cases[] = {
      {"no such library", SncOptions{"/nonexistent/libgss.so", "", "p:x", 2}, false,
       "SNC: cannot load the GSS-API library /nonexistent/libgss.so: ", "No such file"},
      {"unknown service", options("p:nobody@localhost"), false,
       "SNC: gss_init_sec_context failed: ", "not found in Kerberos database"},
      {"own name without credentials", options("p:" + std::string(kService), "p:other@localhost"),
       false, "SNC: gss_acquire_cred failed: ", ""},
      // A gateway without an acceptor answers the first frame with an
      // "*ERR*" block, which is no SNC frame.
      {"gateway without SNC", options(), true, "SNC: record does not begin with SNCFRAME", ""},
      {"gateway closes", options(), true, "connection closed by peer during SNC handshake", ""},
  };
  // A gateway without SNC settings; its second connection is closed at the
  // first SNC frame.
  SimProcess plain({"--fault", "close=snc@2"});
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    SimProcess& sim = c.plain_sim ? plain : *sim_;
    ASSERT_TRUE(sim.running()) << sim.error();
    const std::size_t allocated = sim.received_hex("allocate").size();
    const std::size_t logons = sim.received_messages("logon").size();
    auto opened = open_direct(sim_params(sim, c.snc), std::make_shared<MetadataCache>());
    ASSERT_FALSE(opened.ok());
    const std::string m = opened.error().message();
    EXPECT_EQ(m.rfind(c.prefix, 0), 0u) << m;
    EXPECT_NE(m.find(c.inside), std::string::npos) << m;
    // The failure came after Allocate, and no logon was sent.
    EXPECT_TRUE(sim.wait_for({.dir = "recv", .step = "allocate"}, 5s, allocated + 2));
    EXPECT_EQ(sim.received_messages("logon").size(), logons);
  }
}

// ---------------------------------------------------------------- scripted gateway

class FakeLibrary {
 public:
  FakeLibrary() {
    const auto lib = test::build_test_library("fake_gss", "fake_gss.c");
    error_ = lib.error;
    path_ = lib.path;
    if (path_.empty()) return;
    void* h = ::dlopen(path_.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (h == nullptr) return;
    auto* reset = reinterpret_cast<void (*)()>(::dlsym(h, "fake_gss_reset"));
    auto* state = reinterpret_cast<fake_gss* (*)()>(::dlsym(h, "fake_gss_state"));
    if (reset && state) {
      reset();
      state_ = state();
    }
  }
  const std::string& path() const { return path_; }
  const std::string& error() const { return error_; }
  fake_gss* state() const { return state_; }

 private:
  std::string path_, error_;
  fake_gss* state_ = nullptr;
};

// Plays the gateway up to Allocate on an accepted connection; the
// conversation id is "12345678".
void serve_until_allocate(const test::Listener& listener, Socket& conn) {
  conn = listener.accept();
  if (!test::read_frame(conn)) return;  // routing handshake
  test::write_frame(conn, Bytes(64, 0));
  auto init = test::read_frame(conn);
  if (!init || (*init)[10] != wire::kInitializeWithSnc) return;
  test::write_record(conn, wire::kAppcInitialize);
  if (!test::read_frame(conn) || !test::read_frame(conn)) return;  // SetPartnerLuName, Allocate
  test::write_record(conn, wire::kAppcAllocate);
}

ByteView record_data(const Bytes& record) { return ByteView(record).subspan(80); }

// The SNC frame of a record, without its trailer (checked).
ByteView frame_of(const Bytes& record) {
  const ByteView data = record_data(record);
  EXPECT_GE(data.size(), 8u);
  const ByteView frame = data.first(data.size() - 8);
  EXPECT_EQ(wire::load_be32(data.data() + frame.size()), frame.size());
  EXPECT_EQ(wire::load_be32(data.data() + frame.size() + 4), 0x00008500u);
  return frame;
}

ConnectionParams fake_params(const test::Listener& listener, const std::string& library) {
  ConnectionParams p;
  p.ashost = "127.0.0.1";
  p.port = listener.port();
  p.io_timeout = 30s;
  p.snc = SncOptions{library, "", "p:CN=QSI", 0};
  return p;
}

TEST(SncScripted, EstablishedContextWrapsEveryMessage) {
  FakeLibrary fake;
  ASSERT_NE(fake.state(), nullptr) << fake.error();
  fake.state()->init_steps = 1;  // complete at once, with a token
  fake.state()->init_token_len[0] = 3;
  test::Listener listener;
  Socket peer;
  Bytes first, request;
  std::thread gw([&] {
    serve_until_allocate(listener, peer);
    auto f = test::read_frame(peer);
    if (!f) return;
    first = *f;
    auto r = test::read_frame(peer);  // the first message, wrapped
    if (!r) return;
    request = *r;
    // The reply: 'W' and the plain bytes XOR 0x5A, as the fake unwraps.
    Bytes wrapped = {'W'};
    for (char c : std::string_view("reply")) wrapped.push_back(static_cast<std::uint8_t>(c) ^ 0x5A);
    test::write_record(
        peer, wire::kAppcData, "12345678",
        snc::write_snc_frame(snc::SncFrameKind::wrapped(), std::nullopt, wrapped).value());
  });
  auto t = connect_direct(fake_params(listener, fake.path()));
  ASSERT_TRUE(t.ok()) << t.error().message();
  NiTransport& transport = **t;
  EXPECT_TRUE(transport.snc_active());
  std::uint64_t counter = 0;
  ASSERT_TRUE(transport.send_counted(wire::to_bytes(std::string_view("hello")), counter).ok());
  EXPECT_EQ(counter, 5u);
  auto reply = transport.receive("test");
  gw.join();
  ASSERT_TRUE(reply.ok()) << reply.error().message();
  EXPECT_EQ(reply->data, wire::to_bytes(std::string_view("reply")));
  EXPECT_EQ(reply->kind, ReceiveKind::DataRecord);

  // One handshake frame: the announcement of the exported partner name
  // and the fake's 3-byte token; no reply was awaited.
  ASSERT_GE(first.size(), 80u);
  EXPECT_EQ(head_of(first), header_with_id(kSncHandshakeHex, transport.conversation_id_bytes()));
  const ByteView frame = frame_of(first);
  auto parsed = snc::parse_snc_frame(frame);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->kind, snc::SncFrameKind::initiator_token());
  EXPECT_EQ(Bytes(parsed->token.begin(), parsed->token.end()), Bytes(3, 0xA0));
  ASSERT_GE(frame.size(), 47u);
  EXPECT_EQ(wire::load_be16(frame.data() + 28), 17u);
  const std::string announced(reinterpret_cast<const char*>(frame.data()) + 32, 15);
  EXPECT_EQ(announced, "EXPORTED:CN=QSI");
  EXPECT_EQ(fake.state()->init_flags, 0x0Eu);

  // The message: the SNC data header, a Wrapped frame of the fake's
  // wrapping of "hello", the trailer.
  ASSERT_GE(request.size(), 80u);
  EXPECT_EQ(head_of(request), header_with_id(kSncDataHex, transport.conversation_id_bytes()));
  auto wrapped = snc::parse_snc_frame(frame_of(request));
  ASSERT_TRUE(wrapped.ok());
  EXPECT_EQ(wrapped->kind, snc::SncFrameKind::wrapped());
  Bytes expected = {'W'};
  for (char c : std::string_view("hello")) expected.push_back(static_cast<std::uint8_t>(c) ^ 0x5A);
  EXPECT_EQ(Bytes(wrapped->token.begin(), wrapped->token.end()), expected);
  EXPECT_EQ(fake.state()->wrap_conf_req, 1);
  EXPECT_EQ(transport.snc_frame_count(), 2u);

  // Dropping the transport releases the context.
  t.value().reset();
  EXPECT_EQ(fake.state()->live_contexts, 0);
  EXPECT_EQ(fake.state()->live_creds, 0);
  EXPECT_EQ(fake.state()->live_names, 0);
  EXPECT_EQ(fake.state()->live_buffers, 0);
}

TEST(SncScripted, AFailedExchangeReleasesItsContext) {
  struct Case {
    const char* what;
    std::uint32_t failing_major;  // of the third step; 0: never fails, never completes
    std::string expected;
    std::uint32_t frames;
  };
  const Case cases[] = {
      {"round limit", 0, "SNC: the SNC context did not establish within the permitted rounds", 8},
      {"third step fails", 13u << 16,
       "SNC: gss_init_sec_context failed: fake major 0x000d0000; fake minor 0: \xEF\xBF\xBD second "
       "line (major 0x000d0000, minor 0x00000000)",
       2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakeLibrary fake;
    ASSERT_NE(fake.state(), nullptr) << fake.error();
    fake_gss& st = *fake.state();
    st.init_steps = 3;
    for (int i = 0; i < 3; ++i) {
      st.init_major[i] = 1;  // continue needed, with a token
      st.init_token_len[i] = 2;
    }
    st.init_major[2] = c.failing_major ? c.failing_major : 1;
    test::Listener listener;
    Socket peer;
    std::vector<Bytes> frames;
    std::thread gw([&] {
      serve_until_allocate(listener, peer);
      while (auto f = test::read_frame(peer)) {
        frames.push_back(*f);
        test::write_record(peer, wire::kAppcData, "12345678",
                           snc::write_snc_frame(snc::SncFrameKind::acceptor_token(), std::nullopt,
                                                Bytes{static_cast<std::uint8_t>(frames.size())})
                               .value());
      }
    });
    auto t = connect_direct(fake_params(listener, fake.path()));
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error().message(), c.expected);
    gw.join();  // the failed opener closed its socket
    EXPECT_EQ(frames.size(), c.frames);
    EXPECT_EQ(st.init_calls, c.frames + (c.failing_major ? 1 : 0));
    // Each step after the first got the acceptor's previous token.
    EXPECT_TRUE(st.init_input_null[0]);
    EXPECT_EQ(st.init_input_first[1], 1);
    EXPECT_EQ(st.init_input_len[1], 1u);
    EXPECT_EQ(st.export_calls, 1u);  // only the first frame announces
    EXPECT_EQ(st.delete_calls, 1u);
    EXPECT_EQ(st.live_contexts, 0);
    EXPECT_EQ(st.live_creds, 0);
    EXPECT_EQ(st.live_names, 0);
    EXPECT_EQ(st.live_buffers, 0);
  }
}

}  // namespace
}  // namespace quib::proto

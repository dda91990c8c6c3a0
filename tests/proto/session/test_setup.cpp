// The NI set-up against a gateway scripted in the test: the exact bytes of
// the routing handshake, APPC initialize and allocate, the SAProuter route
// request, each step's failure, and the SNC token exchange.
#include <fmt/format.h>
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "proto/session/setup.hpp"
#include "snc/frame.hpp"
#include "tests/proto/support/ni_test_peer.hpp"
#include "tests/support/testutil.hpp"
#include "wire/container.hpp"
#include "wire/route.hpp"

namespace quib::proto {
namespace {

using test::read_frame;
using test::write_frame;
using test::write_record;
using wire::Bytes;
using wire::ByteView;

std::string text_at(const Bytes& b, std::size_t offset, std::size_t n) {
  return std::string(b.begin() + static_cast<std::ptrdiff_t>(offset),
                     b.begin() + static_cast<std::ptrdiff_t>(offset + n));
}

bool zero_except(const Bytes& b,
                 std::initializer_list<std::pair<std::size_t, std::size_t>> ranges) {
  for (std::size_t i = 0; i < b.size(); ++i) {
    bool inside = false;
    for (const auto& [from, to] : ranges) inside = inside || (i >= from && i < to);
    if (!inside && b[i] != 0) return false;
  }
  return true;
}

TEST(SetupPacketsTest, RoutingHandshakePacket) {
  const Bytes p(wire::kRoutingHandshakePacket.begin(), wire::kRoutingHandshakePacket.end());
  ASSERT_EQ(p.size(), 64u);
  EXPECT_EQ(p[0], 0x02);
  EXPECT_EQ(p[1], 0x03);
  EXPECT_EQ(text_at(p, 2, 4), std::string("\x7f\x00\x00\x01", 4));
  EXPECT_EQ(text_at(p, 10, 10), std::string("nwrfc_stf\0", 10));
  EXPECT_EQ(text_at(p, 20, 4), "1100");
  EXPECT_EQ(p[29], 0x06);
  const std::string host = text_at(p, 30, 8);
  EXPECT_EQ(host.substr(6), "  ");
  for (char c : host.substr(0, 6)) EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(c)));
  EXPECT_EQ(text_at(p, 38, 8), "nwrfc_st");
  EXPECT_EQ(text_at(p, 46, 8), "        ");
  EXPECT_EQ(text_at(p, 54, 4), "\x06\xCB\xFF\xFF");
  EXPECT_TRUE(zero_except(p, {{0, 6}, {10, 24}, {29, 58}}));
}

TEST(SetupPacketsTest, InitializeHeaderAndBody) {
  for (bool snc : {false, true}) {
    SCOPED_TRACE(snc);
    const wire::AppcTemplate t = wire::initialize_template(snc);
    const Bytes h(t.begin(), t.end());
    EXPECT_EQ(text_at(h, 0, 8), std::string("\x06\x01\x02\x00\xFF\xFF\x00\x00", 8));
    EXPECT_EQ(h[10], snc ? 0x21 : 0x01);
    EXPECT_EQ(h[16], 0xC0);
    EXPECT_EQ(h[21], 0x04);
    EXPECT_EQ(wire::load_be16(h.data() + 26), 373);
    EXPECT_EQ(h[30], 0x05);
    EXPECT_EQ(text_at(h, 48, 24), "NWRFC   localhossapdp00 ");
    EXPECT_EQ(text_at(h, 72, 8), std::string("\x49\x01\x00\x00\x00\x00\xFF\xFF", 8));
    EXPECT_TRUE(
        zero_except(h, {{0, 8}, {10, 11}, {16, 17}, {21, 22}, {26, 28}, {30, 31}, {48, 80}}));
  }
  const Bytes b(wire::kInitializeBody.begin(), wire::kInitializeBody.end());
  ASSERT_EQ(b.size(), 373u);
  EXPECT_EQ(text_at(b, 0, 32), "NWRFC" + std::string(27, ' '));
  EXPECT_EQ(text_at(b, 32, 6),
            "\x01\x01"
            "CPIC");
  EXPECT_EQ(text_at(b, 42, 32), "6A7ADCFE6A7ADCFE6A7ADCFF6A7ADCFF");
  EXPECT_EQ(b[77], 0x01);
  EXPECT_EQ(text_at(b, 78, 8), "\xFF\xFF\xFF\xFE\xFF\xFF\xFF\xFE");
  EXPECT_EQ(b[86], 0x02);
  EXPECT_EQ(text_at(b, 105, 9), "localhost");
  const std::string user = text_at(b, 249, 12);
  EXPECT_TRUE(std::isalpha(static_cast<unsigned char>(user[0])) &&
              std::isalpha(static_cast<unsigned char>(user[1])));
  EXPECT_EQ(user.substr(2), std::string(10, ' '));
  EXPECT_EQ(text_at(b, 309, 7), "sapdp00");
  EXPECT_TRUE(zero_except(b, {{0, 38}, {42, 74}, {77, 87}, {105, 114}, {249, 261}, {309, 316}}));
}

TEST(SetupPacketsTest, AllocateRecords) {
  const Bytes lu(wire::kSetPartnerLuNameTemplate.begin(), wire::kSetPartnerLuNameTemplate.end());
  EXPECT_EQ(text_at(lu, 0, 8), std::string("\x06\x0F\x02\x00\xFF\xFF\x00\x00", 8));
  EXPECT_EQ(lu[10], 0x01);
  EXPECT_EQ(lu[27], 0x90);
  EXPECT_EQ(lu[30], 0x04);
  EXPECT_EQ(text_at(lu, 48, 8), "localhos");
  EXPECT_EQ(lu[59], 0x09);
  EXPECT_EQ(text_at(lu, 76, 4), std::string("\xFF\xFF\x00\x03", 4));
  EXPECT_TRUE(
      zero_except(lu, {{0, 8}, {10, 11}, {27, 28}, {30, 31}, {48, 56}, {59, 60}, {76, 80}}));
  const Bytes body(wire::kSetPartnerLuNameBody.begin(), wire::kSetPartnerLuNameBody.end());
  ASSERT_EQ(body.size(), 144u);
  EXPECT_EQ(text_at(body, 0, 128), "localhost" + std::string(119, ' '));
  EXPECT_EQ(text_at(body, 128, 16), std::string(16, '\0'));

  const Bytes al(wire::kAllocateTemplate.begin(), wire::kAllocateTemplate.end());
  EXPECT_EQ(text_at(al, 0, 8), std::string("\x06\x05\x02\x00\xFF\xFF\x00\x00", 8));
  EXPECT_EQ(al[30], 0x01);
  EXPECT_EQ(text_at(al, 76, 4), std::string("\xFF\xFF\x00\x03", 4));
  EXPECT_TRUE(zero_except(al, {{0, 8}, {30, 31}, {76, 80}}));
}

// ---------------------------------------------------------------- scripted gateway

// Where the scripted gateway misbehaves.
enum class Fault {
  None,
  CloseBeforeHandshakeReply,
  CloseBeforeInitializeReply,
  BlankConversationId,
  InitializeAnsweredWithData,
  CloseBeforeAllocateReply,
  AllocateAnsweredWithDeallocate,
};

struct GatewayLog {
  std::vector<Bytes> frames;  // every frame received, in order
};

// Serves one connection on `listener` as a gateway does during the set-up.
// With `router`, first expects a route request and answers `router_reply`.
void serve_setup(const test::Listener& listener, Fault fault, GatewayLog& log,
                 std::optional<Bytes> router_reply = std::nullopt) {
  try {
    Socket s = listener.accept();
    auto next = [&]() -> bool {
      auto f = read_frame(s);
      if (!f) return false;
      log.frames.push_back(std::move(*f));
      return true;
    };
    if (router_reply) {
      if (!next()) return;
      write_frame(s, *router_reply);
      if (!wire::is_ni_pong(*router_reply)) return;
    }
    if (!next()) return;  // routing handshake
    if (fault == Fault::CloseBeforeHandshakeReply) return;
    write_frame(s, wire::as_bytes("*ERR* anything at all: the reply is ignored"));
    if (!next()) return;  // Initialize
    if (fault == Fault::CloseBeforeInitializeReply) return;
    if (fault == Fault::BlankConversationId) {
      write_record(s, 0x01, std::string("    \0\0  ", 8));
      return;
    }
    write_record(s, fault == Fault::InitializeAnsweredWithData ? 0xCB : 0x01, "CONV0001");
    if (fault == Fault::InitializeAnsweredWithData) return;
    if (!next() || !next()) return;  // SetPartnerLuName, Allocate
    if (fault == Fault::CloseBeforeAllocateReply) return;
    write_record(s, fault == Fault::AllocateAnsweredWithDeallocate ? 0x0B : 0x05, "CONV0001",
                 wire::as_bytes("discarded"));
    // Stay until the client is done.
    std::uint8_t b;
    while (::recv(s.fd(), &b, 1, 0) > 0) {
    }
  } catch (const std::exception&) {
  }
}

ConnectionParams params_for(std::uint16_t port) {
  ConnectionParams p;
  p.ashost = "127.0.0.1";
  p.port = port;
  p.connect_timeout = std::chrono::seconds(5);
  p.io_timeout = std::chrono::seconds(10);
  return p;
}

TEST(ConnectDirectTest, RunsTheSetUpAndKeepsTheConversationId) {
  test::Listener listener;
  GatewayLog log;
  std::thread gw([&] { serve_setup(listener, Fault::None, log); });
  auto t = connect_direct(params_for(listener.port()));
  ASSERT_TRUE(t.ok()) << t.error().message();
  EXPECT_EQ((*t)->conversation_id(), "CONV0001");
  t->reset();
  gw.join();

  ASSERT_EQ(log.frames.size(), 4u);
  EXPECT_EQ(log.frames[0],
            Bytes(wire::kRoutingHandshakePacket.begin(), wire::kRoutingHandshakePacket.end()));
  // Initialize still carries the blank id; the later records the server's.
  Bytes init(wire::kInitializeTemplate.begin(), wire::kInitializeTemplate.end());
  std::fill(init.begin() + 40, init.begin() + 48, ' ');
  init.insert(init.end(), wire::kInitializeBody.begin(), wire::kInitializeBody.end());
  EXPECT_EQ(log.frames[1], init);
  Bytes lu(wire::kSetPartnerLuNameTemplate.begin(), wire::kSetPartnerLuNameTemplate.end());
  std::copy_n("CONV0001", 8, lu.begin() + 40);
  lu.insert(lu.end(), wire::kSetPartnerLuNameBody.begin(), wire::kSetPartnerLuNameBody.end());
  EXPECT_EQ(log.frames[2], lu);
  Bytes al(wire::kAllocateTemplate.begin(), wire::kAllocateTemplate.end());
  std::copy_n("CONV0001", 8, al.begin() + 40);
  EXPECT_EQ(log.frames[3], al);
}

TEST(ConnectDirectTest, EachStepReportsItsOwnFailure) {
  struct Case {
    Fault fault;
    ProtocolError expected;
  };
  const Case cases[] = {
      {Fault::CloseBeforeHandshakeReply, ProtocolError::closed_by_peer(kStepRoutingHandshake)},
      {Fault::CloseBeforeInitializeReply, ProtocolError::closed_by_peer(kStepAppcInitialize)},
      {Fault::BlankConversationId,
       ProtocolError::unexpected_record(kStepAppcInitialize, "response without a conversation ID")},
      {Fault::InitializeAnsweredWithData,
       ProtocolError::unexpected_record(kStepAppcInitialize, "Data")},
      {Fault::CloseBeforeAllocateReply, ProtocolError::closed_by_peer(kStepAppcAllocate)},
      {Fault::AllocateAnsweredWithDeallocate,
       ProtocolError::unexpected_record(kStepAppcAllocate, "Deallocate")},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected.message());
    test::Listener listener;
    GatewayLog log;
    std::thread gw([&] { serve_setup(listener, c.fault, log); });
    auto t = connect_direct(params_for(listener.port()));
    gw.join();
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error(), c.expected);
  }
}

TEST(ConnectDirectTest, ConnectAndResolveFailuresAreIo) {
  test::Listener listener;
  const std::uint16_t port = listener.port();
  listener.close();
  auto refused = connect_direct(params_for(port));
  ASSERT_FALSE(refused.ok());
  ASSERT_EQ(refused.error().kind(), ProtocolError::Io);
  EXPECT_EQ(refused.error().get<IoError>()->kind, IoError::ConnectionRefused);
  // The refusal names where the connect went.
  EXPECT_EQ(
      refused.error().message().rfind(
          fmt::format("I/O error: cannot connect to 127.0.0.1:{}: Connection refused", port), 0),
      0u)
      << refused.error().message();

  ConnectionParams p = params_for(3300);
  p.ashost = "no-such-host.invalid";
  auto unresolved = connect_direct(p);
  ASSERT_FALSE(unresolved.ok());
  ASSERT_EQ(unresolved.error().kind(), ProtocolError::Io);
  EXPECT_EQ(unresolved.error().get<IoError>()->kind, IoError::NotFound);
  EXPECT_EQ(unresolved.error().message(), "I/O error: cannot resolve no-such-host.invalid:3300");
}

TEST(ConnectDirectTest, SncOptionsLoadTheLibraryAfterAllocate) {
  // The set-up runs with the SNC flag in Initialize; the GSS-API library is
  // loaded only after Allocate, and its failure ends the attempt before any
  // SNC frame is sent.
  test::Listener listener;
  GatewayLog log;
  std::thread gw([&] { serve_setup(listener, Fault::None, log); });
  ConnectionParams p = params_for(listener.port());
  p.snc = SncOptions{"/nonexistent/libgss.so", "", "p:CN=ABC", 2};
  auto t = connect_direct(p);
  gw.join();
  ASSERT_FALSE(t.ok());
  ASSERT_EQ(t.error().kind(), ProtocolError::Snc);
  const std::string m = t.error().message();
  EXPECT_EQ(m.rfind("SNC: cannot load the GSS-API library /nonexistent/libgss.so: ", 0), 0u) << m;
  ASSERT_EQ(log.frames.size(), 4u);    // handshake, Initialize, SetPartnerLuName, Allocate
  EXPECT_EQ(log.frames[1][10], 0x21);  // the Initialize header's flags byte: SNC
}

// ---------------------------------------------------------------- router

TEST(ConnectViaRouterTest, SendsTheRouteRequestThenTheSetUp) {
  test::Listener router;
  GatewayLog log;
  const Bytes pong = wire::to_bytes(std::string_view("NI_PONG\0", 8));
  std::thread gw([&] { serve_setup(router, Fault::None, log, pong); });
  ConnectionParams p = params_for(0);
  p.ashost = "appserver";
  p.port.reset();
  p.sysnr = "07";
  const std::string route = " /H/127.0.0.1/S/" + std::to_string(router.port()) + "/W/rpw ";
  auto t = connect_via_router(p, route);
  ASSERT_TRUE(t.ok()) << t.error().message();
  EXPECT_EQ((*t)->conversation_id(), "CONV0001");
  t->reset();
  gw.join();

  ASSERT_EQ(log.frames.size(), 5u);
  const std::vector<wire::RouteHop> hops = {
      wire::RouteHop("127.0.0.1", std::to_string(router.port()), "rpw"),
      wire::RouteHop("appserver", "3307", "")};
  EXPECT_EQ(log.frames[0], wire::build_route_request(hops).value());
  EXPECT_EQ(log.frames[1],
            Bytes(wire::kRoutingHandshakePacket.begin(), wire::kRoutingHandshakePacket.end()));
}

TEST(ConnectViaRouterTest, RouterRefusalAndBadRoutes) {
  {
    test::Listener router;
    GatewayLog log;
    const Bytes refusal = wire::to_bytes(std::string_view("  NI_RTERR: route permission denied\n"));
    std::thread gw([&] { serve_setup(router, Fault::None, log, refusal); });
    auto t =
        connect_via_router(params_for(3300), "/H/127.0.0.1/S/" + std::to_string(router.port()));
    gw.join();
    ASSERT_FALSE(t.ok());
    EXPECT_EQ(t.error(), ProtocolError::unexpected_record(kStepSaprouterRoute,
                                                          "NI_RTERR: route permission denied"));
  }
  // A route that does not parse fails before any connection: port 1 would
  // otherwise have given an I/O error.
  auto bad = connect_via_router(params_for(3300), "/H/127.0.0.1/S/1/X/y");
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().message(),
            "unexpected record during saprouter route: not a SAProuter route string: unknown "
            "segment /X/ (expected /H/host/S/service)");
  auto empty = connect_via_router(params_for(3300), "/H/r1/S");
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error(), ProtocolError::unexpected_record(
                               kStepSaprouterRoute, "route string has a /S/ with no value"));
}

TEST(ConnectViaRouterTest, RouterClosingIsClosedByPeerOnTheRouteStep) {
  test::Listener router;
  std::thread gw([&] {
    try {
      Socket s = router.accept();
      (void)read_frame(s);
    } catch (const std::exception&) {
    }
  });
  auto t = connect_via_router(params_for(3300), "/H/127.0.0.1/S/" + std::to_string(router.port()));
  gw.join();
  ASSERT_FALSE(t.ok());
  EXPECT_EQ(t.error(), ProtocolError::closed_by_peer(kStepSaprouterRoute));
}

// ---------------------------------------------------------------- SNC exchange

// A scripted initiator: the steps it reports, in order; records its inputs.
class ScriptedInitiator : public SncInitiator {
 public:
  explicit ScriptedInitiator(std::vector<Step> steps) : steps_(std::move(steps)) {}
  wire::Result<Step, snc::SncError> init_sec_context_step(std::optional<ByteView> input) override {
    inputs.push_back(input ? std::optional<Bytes>(Bytes(input->begin(), input->end()))
                           : std::nullopt);
    if (next_ >= steps_.size()) return Step{Bytes{0x01}, false};
    return steps_[next_++];
  }
  wire::Result<Bytes, snc::SncError> export_name() override {
    return wire::to_bytes(std::string_view("EXPORTED-NAME"));
  }
  std::unique_ptr<SncChannel> into_channel() override { return std::make_unique<NullChannel>(); }

  std::vector<std::optional<Bytes>> inputs;

 private:
  struct NullChannel : SncChannel {
    wire::Result<Bytes, snc::SncError> wrap_message(ByteView p) override {
      return Bytes(p.begin(), p.end());
    }
    wire::Result<Bytes, snc::SncError> unwrap_message(ByteView w) override {
      return Bytes(w.begin(), w.end());
    }
  };
  std::vector<Step> steps_;
  std::size_t next_ = 0;
};

// The initiator-token frames the peer read: (announcement present, token).
struct SentToken {
  bool announced;
  Bytes token;
};

SentToken decode_handshake_record(const Bytes& record) {
  // The SNC handshake header up to the conversation id: the data request
  // with 28 at byte 10, 08 at 27 and 05 0C at 30..31.
  EXPECT_EQ(test::hex(ByteView(record).first(40)),
            test::hex(test::unhex("06CB0200FFFF0000 0000280000000000 0000000000000000 "
                                  "000000080000050C 0000000000000000")));
  const ByteView data = ByteView(record).subspan(80);
  const ByteView frame = data.first(data.size() - 8);
  EXPECT_EQ(wire::load_be32(data.data() + frame.size()), frame.size());
  auto parsed = snc::parse_snc_frame(frame);
  EXPECT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->kind, snc::SncFrameKind::initiator_token());
  return {wire::load_be16(frame.data() + 10) == snc::kSncWithAnnouncement,
          Bytes(parsed->token.begin(), parsed->token.end())};
}

TEST(SncHandshakeTest, CompleteFirstStepSendsOneAnnouncedFrameAndReadsNothing) {
  auto [a, b] = test::socket_pair();
  NiTransport transport(std::move(a));
  ScriptedInitiator initiator({{Bytes{0xAA, 0xBB}, true}});
  ASSERT_TRUE(snc_handshake(transport, initiator).ok());
  EXPECT_TRUE(transport.snc_active());
  EXPECT_EQ(transport.snc_frame_count(), 1u);
  auto record = read_frame(b);
  ASSERT_TRUE(record.has_value());
  const SentToken sent = decode_handshake_record(*record);
  EXPECT_TRUE(sent.announced);
  EXPECT_EQ(sent.token, (Bytes{0xAA, 0xBB}));
  ASSERT_EQ(initiator.inputs.size(), 1u);
  EXPECT_FALSE(initiator.inputs[0].has_value());
}

TEST(SncHandshakeTest, AcceptorTokensFeedTheNextStepAndOnlyTheFirstFrameAnnounces) {
  auto [a, b] = test::socket_pair();
  NiTransport transport(std::move(a));
  ScriptedInitiator initiator({{Bytes{1}, false}, {Bytes{2}, false}, {std::nullopt, true}});
  std::vector<SentToken> sent;
  std::thread acceptor([&, &b = b] {
    for (std::uint8_t i = 0; i < 2; ++i) {
      auto r = read_frame(b);
      if (!r) return;
      sent.push_back(decode_handshake_record(*r));
      const Bytes reply = snc::write_snc_frame(snc::SncFrameKind::acceptor_token(), std::nullopt,
                                               Bytes{static_cast<std::uint8_t>(0x10 + i)})
                              .value();
      write_record(b, 0xCB, "        ", reply);
    }
  });
  auto r = snc_handshake(transport, initiator);
  acceptor.join();
  ASSERT_TRUE(r.ok()) << r.error().message();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_TRUE(sent[0].announced);
  EXPECT_FALSE(sent[1].announced);
  ASSERT_EQ(initiator.inputs.size(), 3u);
  EXPECT_EQ(initiator.inputs[1], (Bytes{0x10}));
  EXPECT_EQ(initiator.inputs[2], (Bytes{0x11}));
  EXPECT_TRUE(transport.snc_active());
}

TEST(SncHandshakeTest, GivesUpAfterEightExchanges) {
  auto [a, b] = test::socket_pair();
  NiTransport transport(std::move(a));
  ScriptedInitiator initiator({});  // always a token, never complete
  int replies = 0;
  std::thread acceptor([&, &b = b] {
    while (auto r = read_frame(b)) {
      const Bytes reply =
          snc::write_snc_frame(snc::SncFrameKind::acceptor_token(), std::nullopt, Bytes{7}).value();
      write_record(b, 0x09, "        ", reply);
      ++replies;
    }
  });
  auto r = snc_handshake(transport, initiator);
  EXPECT_EQ(transport.snc_frame_count(), 8u);
  ::shutdown(transport.socket().fd(), SHUT_RDWR);
  acceptor.join();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(),
            "SNC: the SNC context did not establish within the permitted rounds");
  EXPECT_EQ(replies, 8);
  EXPECT_FALSE(transport.snc_active());
}

TEST(SncHandshakeTest, WrongRepliesFail) {
  struct Case {
    std::uint8_t request;
    snc::SncFrameKind kind;
    std::string expected;
  };
  const Case cases[] = {
      {0x0B, snc::SncFrameKind::acceptor_token(),
       "unexpected record during SNC handshake: Deallocate"},
      {0xCB, snc::SncFrameKind::wrapped(),
       "SNC: expected an acceptor token during the SNC handshake, got Wrapped"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.expected);
    auto [a, b] = test::socket_pair();
    NiTransport transport(std::move(a));
    ScriptedInitiator initiator({{Bytes{1}, false}});
    std::thread acceptor([&, &b = b] {
      if (!read_frame(b)) return;
      write_record(b, c.request, "        ",
                   snc::write_snc_frame(c.kind, std::nullopt, Bytes{9}).value());
    });
    auto r = snc_handshake(transport, initiator);
    acceptor.join();
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().message(), c.expected);
    EXPECT_FALSE(transport.snc_active());
  }
}

}  // namespace
}  // namespace quib::proto

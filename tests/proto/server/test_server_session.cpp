// The registered-server session against a scripted gateway: the gateway
// port, the errors of the wire formats as the session reports them, and the
// exchanges themselves over loopback sockets (the formats on their own are
// tested in tests/wire).
#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "proto/server/registered_server.hpp"
#include "tests/proto/support/ni_test_peer.hpp"
#include "tests/support/server_frames.hpp"
#include "wire/container.hpp"
#include "wire/dump.hpp"

namespace quib::proto {
namespace {

using test::announcement;
using test::call_container;
using test::close_record;
using test::conv;
using test::expected_reply_header;
using test::inbound_record;
using test::read_frame;
using test::Rec;
using test::records_of;
using test::reply_head;
using test::U;
using test::write_frame;
using wire::Bytes;
using wire::ByteView;
using namespace std::chrono_literals;

Bytes hex(std::string_view h) {
  Bytes out;
  for (std::size_t i = 0; i + 1 < h.size(); i += 2) {
    out.push_back(static_cast<std::uint8_t>(std::stoi(std::string(h.substr(i, 2)), nullptr, 16)));
  }
  return out;
}

// ---------------------------------------------------------------- gateway port

TEST(GatewayPortTest, ServiceTexts) {
  const std::pair<const char*, std::uint16_t> cases[] = {
      {"sapgw00", 3300}, {"sapgw99", 3399}, {"sapgw+7", 3307}, {"sapgw65535", 3299},
      {"sapgwab", 3300}, {"sapgw", 3300},   {"sapgw-1", 3300}, {"3300", 3300},
      {"40123", 40123},  {"65535", 65535},  {"65536", 3300},   {"+3301", 3301},
      {"", 3300},        {"abc", 3300},     {"33 00", 3300},   {"SAPGW01", 3300},
  };
  for (const auto& [text, port] : cases) EXPECT_EQ(gateway_port(text), port) << text;
}

TEST(ServerParamsTest, Defaults) {
  const ServerParams p = ServerParams::defaults();
  EXPECT_EQ(p.gwhost, "localhost");
  EXPECT_EQ(p.gwserv, "3300");
  EXPECT_EQ(p.program_id, "");
  EXPECT_EQ(p.local_host, "localhost");
  EXPECT_EQ(p.connect_timeout, 30s);
  EXPECT_EQ(p.read_timeout, 60s);
  EXPECT_EQ(p.registration_wait, 2s);
}

// ---------------------------------------------------------------- format errors

// The errors of the wire formats keep the kind and the text the session has
// always reported them with: the Python binding shows both.
TEST(ServerRecordErrorTest, ReportedUnderTheLabelOfTheirStep) {
  using E = wire::ServerRecordError;
  using wire::ServerStep;
  const wire::ContainerError missing_end = wire::ContainerError::missing_end();
  struct Case {
    E error;
    ProtocolError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {E::short_record(ServerStep::Announcement, 79), ProtocolError::UnexpectedRecord,
       "unexpected record during inbound call announcement: a 79-byte record"},
      {E::wrong_request(ServerStep::Request, 0xCB), ProtocolError::UnexpectedRecord,
       "unexpected record during inbound request: function 0xcb"},
      {E::continuation_due(0x03, 7), ProtocolError::UnexpectedRecord,
       "unexpected record during inbound request continuation: function 0x03 where a "
       "continuation was due; 7 bytes reassembled so far"},
      {E::other_conversation(ServerStep::Continuation, conv("99999999"), conv("12345678")),
       ProtocolError::UnexpectedRecord,
       "unexpected record during inbound request continuation: conversation 99999999, but the "
       "announcement opened 12345678"},
      {E::unclear_answer(wire::as_bytes("junk")), ProtocolError::UnexpectedRecord,
       "unexpected record during gateway registration: a 4-byte answer that is neither an "
       "acceptance nor a refusal: junk / " +
           wire::hex_dump(wire::as_bytes("junk"), 0, 4)},
      {E::export_too_wide("E_INT", 2147483648LL), ProtocolError::UnexpectedRecord,
       "unexpected record during server reply: export E_INT is 2147483648: an integer export "
       "whose field is not described goes as an ABAP Int4, which it does not fit"},
      {E::refused("ZPROG", "tp ZPROG not allowed"), ProtocolError::RegistrationRefused,
       "the gateway refused program ID ZPROG: tp ZPROG not allowed (usually a missing reginfo "
       "entry)"},
      {E::container_error(ServerStep::Request, missing_end), ProtocolError::Container,
       missing_end.message()},
  };
  for (const auto& c : cases) {
    const ProtocolError e(c.error);
    EXPECT_EQ(e.kind(), c.kind) << c.message;
    EXPECT_EQ(e.message(), c.message);
  }
  // A container error is carried as itself.
  const ProtocolError wrapped(E::container_error(ServerStep::Reply, missing_end));
  ASSERT_NE(wrapped.get<wire::ContainerError>(), nullptr);
  EXPECT_EQ(*wrapped.get<wire::ContainerError>(), missing_end);
}

TEST(ServerRecordErrorTest, ReplyContainerFailsAsTheSessionReportsIt) {
  wire::InboundCall call;
  const std::vector<ExportValue> exports = {{"E_INT", wire::RfcValue::integer(-2147483649LL)}};
  auto out = proto::build_reply_container("ZPROG", call, exports);
  ASSERT_FALSE(out.ok());
  EXPECT_TRUE(out.error().is(ProtocolError::UnexpectedRecord));
  EXPECT_EQ(out.error().message(),
            "unexpected record during server reply: export E_INT is -2147483649: an integer "
            "export whose field is not described goes as an ABAP Int4, which it does not fit");
  // What fits is the wire format's container.
  const std::vector<ExportValue> fine = {{"E_INT", wire::RfcValue::integer(-7)}};
  auto built = proto::build_reply_container("ZPROG", call, fine);
  ASSERT_TRUE(built.ok());
  EXPECT_EQ(built.value(), wire::build_reply_container("ZPROG", call, fine).value());
}

// ---------------------------------------------------------------- exchanges

// The gateway's side of a registration: it records the three frames the
// server sends, writes `answer` (nothing: silence), then reads until the
// server closes.
struct ScriptedGateway {
  std::vector<Bytes> answer;
  bool close_after_record = false;

  Bytes record, info, control;
  std::vector<Bytes> after;
  bool eof = false;

  void serve(const test::Listener& listener) {
    Socket s = listener.accept();
    auto r = read_frame(s);
    if (!r) return;
    record = *r;
    if (close_after_record) return;
    write_frame(s, hex("020B"));
    if (auto i = read_frame(s)) info = *i;
    if (auto c = read_frame(s)) control = *c;
    for (const Bytes& a : answer) write_frame(s, a);
    while (auto f = read_frame(s)) after.push_back(*f);
    eof = true;
  }
};

ServerParams params_for(const test::Listener& l) {
  ServerParams p = ServerParams::defaults();
  p.gwhost = "127.0.0.1";
  p.gwserv = std::to_string(l.port());
  p.program_id = "ZPROG";
  p.read_timeout = 10s;
  p.registration_wait = 10s;
  return p;
}

Bytes detach_record() {
  const wire::AppcHeader h = wire::AppcHeader::make(0xD0);
  return Bytes(h.bytes.begin(), h.bytes.end());
}

TEST(RegistrationTest, AcceptedRegistrationSendsItsRecordsAndDetachesOnce) {
  test::Listener listener;
  ScriptedGateway gw;
  gw.answer = {test::cpic_record(0xD1, "H0000001")};
  std::thread peer([&] { gw.serve(listener); });
  {
    auto server = register_at_gateway(params_for(listener));
    ASSERT_TRUE(server.ok()) << server.error().message();
    EXPECT_FALSE(server.value().has_pending_announcement());
    server.value().detach();  // the drop sends nothing more
  }
  peer.join();
  ASSERT_EQ(gw.record.size(), 64u);
  EXPECT_EQ(Bytes(gw.record.begin(), gw.record.begin() + 6), hex("020B7F000001"));
  EXPECT_EQ(Bytes(gw.record.begin() + 10, gw.record.begin() + 20),
            wire::to_bytes(std::string_view("ZPROG\0    ", 10)));
  EXPECT_EQ(Bytes(gw.record.begin() + 30, gw.record.begin() + 46),
            wire::to_bytes("localhosZPROG   "));
  ASSERT_EQ(gw.info.size(), 512u);
  EXPECT_EQ(Bytes(gw.info.begin(), gw.info.begin() + 10),
            wire::to_bytes(std::string_view("localhost\0", 10)));
  EXPECT_EQ(Bytes(gw.info.begin() + 128, gw.info.begin() + 134),
            wire::to_bytes(std::string_view("ZPROG\0", 6)));
  const wire::AppcHeader d1 = wire::AppcHeader::make(0xD1);
  EXPECT_EQ(gw.control, Bytes(d1.bytes.begin(), d1.bytes.end()));
  EXPECT_TRUE(gw.eof);
  EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()});
}

TEST(RegistrationTest, SilenceWithinTheWaitIsAcceptance) {
  test::Listener listener;
  ScriptedGateway gw;  // answers nothing
  std::thread peer([&] { gw.serve(listener); });
  ServerParams p = params_for(listener);
  p.registration_wait = 200ms;
  {
    auto server = register_at_gateway(p);
    ASSERT_TRUE(server.ok()) << server.error().message();
  }
  peer.join();
  EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()});
}

TEST(RegistrationTest, FailuresDetachTheHalfBuiltServer) {
  Bytes refusal = test::cpic_record(0xD1, "H0000001");
  wire::append_bytes(refusal, std::string_view("*ERR*\0"
                                               "1\0"
                                               "tp ZPROG not allowed\0",
                                               29));
  Bytes garbage = test::cpic_record(0xD1, "H0000001");
  wire::append_bytes(garbage, std::string_view("junk"));
  struct Case {
    const char* name;
    Bytes answer;
    ProtocolError::Kind kind;
    std::string message;
  };
  const Case cases[] = {
      {"refusal", refusal, ProtocolError::RegistrationRefused,
       "the gateway refused program ID ZPROG: tp ZPROG not allowed (usually a missing reginfo "
       "entry)"},
      {"garbage", garbage, ProtocolError::UnexpectedRecord,
       "unexpected record during gateway registration: a 4-byte answer that is neither an "
       "acceptance nor a refusal: junk / " +
           wire::hex_dump(wire::as_bytes("junk"), 0, 4)},
  };
  for (const auto& c : cases) {
    test::Listener listener;
    ScriptedGateway gw;
    gw.answer = {c.answer};
    std::thread peer([&] { gw.serve(listener); });
    auto server = register_at_gateway(params_for(listener));
    peer.join();
    ASSERT_FALSE(server.ok()) << c.name;
    EXPECT_EQ(server.error().kind(), c.kind) << c.name;
    EXPECT_EQ(server.error().message(), c.message) << c.name;
    EXPECT_TRUE(gw.eof) << c.name;
    EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()}) << c.name;
  }
}

TEST(RegistrationTest, GatewayClosingDuringTheHandshake) {
  test::Listener listener;
  ScriptedGateway gw;
  gw.close_after_record = true;
  std::thread peer([&] { gw.serve(listener); });
  auto server = register_at_gateway(params_for(listener));
  peer.join();
  ASSERT_FALSE(server.ok());
  EXPECT_EQ(server.error().message(), "connection closed by peer during registration handshake");
}

TEST(RegistrationTest, EmptyProgramIdIsRefusedBeforeConnecting) {
  test::Listener listener;
  ServerParams p = params_for(listener);
  p.program_id.clear();
  listener.close();  // a connect attempt would fail with an I/O error
  auto server = register_at_gateway(p);
  ASSERT_FALSE(server.ok());
  EXPECT_EQ(server.error().message(),
            "unexpected record during gateway registration: an empty program ID");
}

TEST(RegistrationTest, AnnouncementAsTheAnswerIsServedFirst) {
  test::Listener listener;
  ScriptedGateway gw;
  gw.answer = {announcement("87654321"), inbound_record(0x03, "87654321", call_container())};
  std::thread peer([&] { gw.serve(listener); });
  {
    auto server = register_at_gateway(params_for(listener));
    ASSERT_TRUE(server.ok()) << server.error().message();
    EXPECT_TRUE(server.value().has_pending_announcement());
    auto call = server.value().receive_call();
    ASSERT_TRUE(call.ok()) << call.error().message();
    EXPECT_EQ(call.value().function, "STFC_CONNECTION");
    EXPECT_EQ(server.value().conversation_id(), conv("87654321"));
    EXPECT_FALSE(server.value().has_pending_announcement());
  }
  peer.join();
}

// A registered server over a socket pair, the test playing the gateway.
struct Pair {
  std::optional<RegisteredServer> server;
  Socket gateway;

  Pair() {
    auto [mine, theirs] = test::socket_pair();
    server.emplace(std::move(mine), "ZPROG");
    gateway = std::move(theirs);
    (void)server->set_read_timeout(10s);
  }

  void send_call(std::string_view conversation, ByteView container, std::size_t piece) {
    write_frame(gateway, announcement(conversation));
    for (std::size_t at = 0; at < container.size(); at += piece) {
      const std::size_t n = std::min(piece, container.size() - at);
      write_frame(gateway, inbound_record(at == 0 ? 0x03 : 0x09, conversation,
                                          container.subspan(at, n), at + n == container.size()));
    }
  }

  // The reply pieces and the three end records; the pieces' payloads joined.
  std::vector<Bytes> read_reply(std::size_t frames) {
    std::vector<Bytes> out;
    for (std::size_t i = 0; i < frames; ++i) {
      auto f = read_frame(gateway);
      if (!f) break;
      out.push_back(*f);
    }
    return out;
  }
};

TEST(ServeTest, ReceiveAndReply) {
  Pair p;
  const Bytes container = call_container();
  p.send_call("55555555", container, 16);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok()) << call.error().message();
  EXPECT_EQ(p.server->conversation_id(), conv("55555555"));

  const std::vector<ExportValue> exports = {{"ECHOTEXT", wire::RfcValue::text("hello")},
                                            {"RESPTEXT", wire::RfcValue::text("not requested")}};
  ASSERT_TRUE(p.server->send_reply_exports_only(call.value(), exports).ok());
  const auto frames = p.read_reply(4);
  ASSERT_EQ(frames.size(), 4u);
  const std::size_t length = frames[0].size() - 80;
  EXPECT_EQ(Bytes(frames[0].begin(), frames[0].begin() + 80),
            expected_reply_header("55555555", static_cast<std::uint32_t>(length), false));
  std::vector<Rec> expected = reply_head();
  expected.push_back({0x0201, U("ECHOTEXT")});
  expected.push_back({0x0203, U("hello")});
  expected.push_back(close_record());
  EXPECT_EQ(records_of(ByteView(frames[0]).subspan(80)), expected);
  EXPECT_EQ(std::vector<Bytes>(frames.begin() + 1, frames.end()),
            wire::end_of_conversation_records(conv("55555555")));

  // A second call on the same registration, answered with an exception.
  p.send_call("66666666", container, container.size());
  auto second = p.server->receive_call();
  ASSERT_TRUE(second.ok()) << second.error().message();
  ASSERT_TRUE(p.server->send_exception_reply(ExceptionReply::exception_key("FU_NOT_FOUND")).ok());
  const auto frames2 = p.read_reply(4);
  ASSERT_EQ(frames2.size(), 4u);
  EXPECT_EQ(frames2[0][79], 0x05);
  EXPECT_EQ(Bytes(frames2[0].begin() + 40, frames2[0].begin() + 48), wire::to_bytes("66666666"));
  EXPECT_EQ(std::vector<Bytes>(frames2.begin() + 1, frames2.end()),
            wire::end_of_conversation_records(conv("66666666")));
}

TEST(ServeTest, LargeReplyGoesInPieces) {
  Pair p;
  p.send_call("55555555", call_container(), 1000);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok());
  call.value().requested_outputs.clear();
  const std::vector<ExportValue> exports = {{"E_DATA", wire::RfcValue::bytes(Bytes(59000, 0xAB))}};
  std::thread sender(
      [&] { EXPECT_TRUE(p.server->send_reply_exports_only(call.value(), exports).ok()); });
  const auto frames = p.read_reply(6);
  sender.join();
  ASSERT_EQ(frames.size(), 6u);
  Bytes joined;
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(frames[i][1], 0x08);
    sizes.push_back(frames[i].size() - 80);
    joined.insert(joined.end(), frames[i].begin() + 80, frames[i].end());
  }
  EXPECT_EQ(sizes[0], 28000u);
  EXPECT_EQ(sizes[1], 28000u);
  const auto records = records_of(joined);
  ASSERT_GE(records.size(), 11u);
  EXPECT_EQ(records[10].value, Bytes(59000, 0xAB));
  EXPECT_EQ(frames[3][1], 0x0B);
  EXPECT_EQ(frames[4][1], 0xD2);
  EXPECT_EQ(frames[5][1], 0xD1);
}

TEST(ServeTest, FailedReplyLeavesTheServerRegistered) {
  Pair p;
  p.send_call("55555555", call_container(), 64);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok());
  call.value().requested_outputs.clear();
  const std::vector<ExportValue> wide = {{"E_INT", wire::RfcValue::integer(1LL << 31)}};
  auto failed = p.server->send_reply_exports_only(call.value(), wide);
  ASSERT_FALSE(failed.ok());
  EXPECT_TRUE(failed.error().is(ProtocolError::UnexpectedRecord));
  // Nothing went out for the failed reply: the next frame is the next reply's.
  const std::vector<ExportValue> fine = {{"E_INT", wire::RfcValue::integer(-7)}};
  ASSERT_TRUE(p.server->send_reply_exports_only(call.value(), fine).ok());
  const auto frames = p.read_reply(1);
  ASSERT_EQ(frames.size(), 1u);
  const auto records = records_of(ByteView(frames[0]).subspan(80));
  ASSERT_GE(records.size(), 11u);
  EXPECT_EQ(records[10].value, hex("F9FFFFFF"));
}

TEST(ServeTest, TimeOutsAndALostAnnouncement) {
  Pair p;
  (void)p.server->set_read_timeout(100ms);
  auto nothing = p.server->receive_call();
  ASSERT_FALSE(nothing.ok());
  EXPECT_TRUE(nothing.error().is_timeout()) << nothing.error().message();

  // An announcement without its request: the wait times out and the
  // announcement is gone; the next call is served on its own terms.
  write_frame(p.gateway, announcement("11111111"));
  auto lost = p.server->receive_call();
  ASSERT_FALSE(lost.ok());
  EXPECT_TRUE(lost.error().is_timeout());
  (void)p.server->set_read_timeout(10s);
  p.send_call("22222222", call_container(), 1000);
  auto call = p.server->receive_call();
  ASSERT_TRUE(call.ok()) << call.error().message();
  EXPECT_EQ(p.server->conversation_id(), conv("22222222"));
}

TEST(ServeTest, GatewayClosing) {
  struct Case {
    bool send_announcement;
    const char* message;
  };
  const Case cases[] = {
      {false, "connection closed by peer during inbound call announcement"},
      {true, "connection closed by peer during inbound request"},
  };
  for (const auto& c : cases) {
    Pair p;
    if (c.send_announcement) write_frame(p.gateway, announcement("11111111"));
    p.gateway.close();
    auto call = p.server->receive_call();
    ASSERT_FALSE(call.ok());
    EXPECT_TRUE(call.error().is(ProtocolError::ClosedByPeer));
    EXPECT_EQ(call.error().message(), c.message);
  }
}

TEST(ServeTest, HostileFrameLengthIsRefusedUnread) {
  Pair p;
  test::write_all(p.gateway, hex("10000001"));  // one byte over the 256 MiB limit
  auto call = p.server->receive_call();
  ASSERT_FALSE(call.ok());
  EXPECT_TRUE(call.error().is(ProtocolError::Ni)) << call.error().message();
}

TEST(ServeTest, DropDetachesExactlyOnce) {
  Pair p;
  p.server.reset();
  auto first = read_frame(p.gateway);
  ASSERT_TRUE(first.has_value());
  EXPECT_EQ(*first, detach_record());
  EXPECT_FALSE(read_frame(p.gateway).has_value());  // then the socket is closed

  // Moving a server moves its registration: one detach, from the new owner.
  Pair q;
  RegisteredServer moved = std::move(*q.server);
  q.server.reset();
  moved.detach();
  moved.detach();
  auto only = read_frame(q.gateway);
  ASSERT_TRUE(only.has_value());
  EXPECT_EQ(*only, detach_record());
  { RegisteredServer gone = std::move(moved); }
  EXPECT_FALSE(read_frame(q.gateway).has_value());
}

// ---------------------------------------------------------------- waits

// The frames of one call, as the gateway writes them: the announcement and
// one request record holding the whole container.
Bytes call_bytes(std::string_view conversation) {
  Bytes out;
  for (const Bytes& f :
       {announcement(conversation), inbound_record(0x03, conversation, call_container())}) {
    wire::append_be32(out, static_cast<std::uint32_t>(f.size()));
    wire::append_bytes(out, f);
  }
  return out;
}

std::shared_ptr<Waits> interruptible(std::optional<TimePoint> deadline = std::nullopt) {
  auto w = Waits::interruptible(deadline);
  EXPECT_TRUE(w.ok());
  return w.ok() ? std::move(w).value() : std::make_shared<Waits>();
}

// A wait broken off from another thread, or ended by its deadline while
// bytes keep coming, loses nothing: the next receive_call takes the call up
// where the last one left it.
TEST(ServeWaitsTest, AWaitEndedPartWayKeepsWhatHasArrived) {
  const Bytes bytes = call_bytes("55555555");
  const std::size_t half = 84 + 50;  // the announcement and part of the request

  // Interrupted from another thread.
  {
    Pair p;
    test::write_all(p.gateway, ByteView(bytes).first(half));
    auto waits = interruptible();
    p.server->set_waits(waits);
    std::thread other([&] {
      std::this_thread::sleep_for(50ms);
      waits->interrupt(Interruption::Closed);
    });
    auto broken = p.server->receive_call();
    other.join();
    ASSERT_FALSE(broken.ok());
    EXPECT_TRUE(broken.error().get<IoError>() && broken.error().get<IoError>()->is_interrupted())
        << broken.error().message();
    EXPECT_TRUE(p.server->has_partial_call());
    EXPECT_FALSE(p.server->ended());
    p.server->set_waits(nullptr);
    test::write_all(p.gateway, ByteView(bytes).subspan(half));
    auto call = p.server->receive_call();
    ASSERT_TRUE(call.ok()) << call.error().message();
    EXPECT_EQ(call.value().function, "STFC_CONNECTION");
    EXPECT_EQ(p.server->conversation_id(), conv("55555555"));
  }

  // A deadline against a gateway that sends a byte every few milliseconds:
  // each byte would restart a per-read limit, but not the deadline.
  {
    Pair p;
    std::thread trickle([&] {
      for (std::size_t i = 0; i < bytes.size(); ++i) {
        test::write_all(p.gateway, ByteView(bytes).subspan(i, 1));
        std::this_thread::sleep_for(2ms);
      }
    });
    p.server->set_waits(interruptible(Clock::now() + 100ms));
    auto cut = p.server->receive_call();
    ASSERT_FALSE(cut.ok());
    EXPECT_TRUE(cut.error().is_timeout()) << cut.error().message();
    EXPECT_TRUE(p.server->has_partial_call());
    p.server->set_waits(nullptr);
    auto call = p.server->receive_call();
    trickle.join();
    ASSERT_TRUE(call.ok()) << call.error().message();
    EXPECT_EQ(call.value().parameters.size(), 1u);
    EXPECT_FALSE(p.server->has_partial_call());
  }
}

TEST(ServeWaitsTest, BackToBackAnnouncementsAreAFaultOfTheGateway) {
  // A second announcement where the request is due replaces the call only
  // after a pause (TimeOutsAndALostAnnouncement); back to back it is a
  // fault of the gateway.
  Pair p;
  write_frame(p.gateway, announcement("11111111"));
  write_frame(p.gateway, announcement("22222222"));
  auto call = p.server->receive_call();
  ASSERT_FALSE(call.ok());
  EXPECT_EQ(call.error().message(), "unexpected record during inbound request: function 0xcf");
  EXPECT_FALSE(p.server->ended());
}

// Which failures end the registration: after them nothing more goes over
// the connection, not even the detach record.
TEST(ServeWaitsTest, FailuresThatEndTheRegistration) {
  struct Case {
    const char* name;
    void (*gateway)(Pair&);
    ProtocolError::Kind kind;
    bool ends;
  };
  const Case cases[] = {
      {"closed while idle", [](Pair& p) { (void)p.gateway.shutdown_both(); },
       ProtocolError::ClosedByPeer, true},
      {"closed mid-request",
       [](Pair& p) {
         test::write_all(p.gateway, ByteView(call_bytes("55555555")).first(100));
         (void)p.gateway.shutdown_both();
       },
       ProtocolError::ClosedByPeer, true},
      {"hostile length", [](Pair& p) { test::write_all(p.gateway, hex("FFFFFFFF")); },
       ProtocolError::Ni, true},
      {"a frame of junk",
       [](Pair& p) { write_frame(p.gateway, wire::as_bytes("GARBAGE-GARBAGE-")); },
       ProtocolError::UnexpectedRecord, false},
  };
  for (const auto& c : cases) {
    Pair p;
    c.gateway(p);
    auto call = p.server->receive_call();
    ASSERT_FALSE(call.ok()) << c.name;
    EXPECT_EQ(call.error().kind(), c.kind) << c.name << ": " << call.error().message();
    EXPECT_EQ(p.server->ended(), c.ends) << c.name;
    p.server.reset();
    if (c.kind == ProtocolError::ClosedByPeer) continue;  // the gateway reads nothing more
    auto after = read_frame(p.gateway);
    EXPECT_EQ(after.has_value(), !c.ends) << c.name;  // the detach record, or the close
    if (after) {
      EXPECT_EQ(*after, detach_record()) << c.name;
    }
  }
}

TEST(ServeWaitsTest, ASendThatFailsEndsTheRegistrationOneRefusedBeforeItsStartDoesNot) {
  const ExceptionReply reply = ExceptionReply::exception_key("FU_NOT_FOUND");
  {
    // Waits already interrupted: nothing is written, the stream is whole,
    // and the drop still detaches (with waits of its own).
    Pair p;
    auto waits = interruptible();
    waits->interrupt(Interruption::Closed);
    p.server->set_waits(waits);
    auto sent = p.server->send_exception_reply(reply);
    ASSERT_FALSE(sent.ok());
    EXPECT_FALSE(p.server->ended());
    p.server.reset();
    EXPECT_EQ(read_frame(p.gateway), std::optional<Bytes>(detach_record()));
  }
  {
    Pair p;
    ASSERT_EQ(::shutdown(p.server->socket().fd(), SHUT_WR), 0);
    auto sent = p.server->send_exception_reply(reply);
    ASSERT_FALSE(sent.ok());
    EXPECT_TRUE(sent.error().is(ProtocolError::Io)) << sent.error().message();
    EXPECT_TRUE(p.server->ended());
    auto next = p.server->receive_call();
    ASSERT_FALSE(next.ok());
    EXPECT_EQ(next.error().message(), "I/O error: the registration has ended");
  }
}

TEST(ServeWaitsTest, RegistrationBrokenOffDetaches) {
  // Ctrl-C while the gateway is silent about the registration: the wait
  // ends at once (not after the registration wait), and the half-built
  // registration is detached.
  test::Listener listener;
  ScriptedGateway gw;  // answers nothing
  std::thread peer([&] { gw.serve(listener); });
  auto waits = interruptible();
  std::thread other([&] {
    std::this_thread::sleep_for(100ms);
    waits->interrupt(Interruption::Aborted);
  });
  auto server = register_at_gateway(params_for(listener), waits);  // a wait of 10 s
  other.join();
  peer.join();
  ASSERT_FALSE(server.ok());
  const IoError* io = server.error().get<IoError>();
  ASSERT_TRUE(io != nullptr) << server.error().message();
  EXPECT_TRUE(io->is_interrupted());
  EXPECT_EQ(gw.after, std::vector<Bytes>{detach_record()});
}

}  // namespace
}  // namespace quib::proto

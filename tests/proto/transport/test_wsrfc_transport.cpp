// The WebSocket RFC transport against a loopback TLS server scripted in the
// test: the upgrade request byte for byte, the answers it refuses, the
// masking keys and length forms of sent frames, pings, close frames,
// fragments and bytes that arrive with the upgrade response, the message
// budget, TLS versions, client key types, the AcceptAnyCert verifier, the
// server name, credential errors before any network activity, time-outs,
// and a close that sends nothing.
#include <fmt/format.h>
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <chrono>
#include <string>
#include <vector>

#include "proto/transport/ws_transport.hpp"
#include "tests/proto/support/tls_test_peer.hpp"

namespace quib::proto {
namespace {

using namespace std::chrono_literals;
using test::Bytes;
using test::ClientFrame;
using test::KeyType;
using test::ServerOptions;
using test::StreamEnd;
using test::TestCert;
using test::TlsPeer;
using test::TlsTestServer;

const TestCert& client_cert() {
  static const TestCert cert = test::make_cert("TESTER");
  return cert;
}

ProtoResult<std::unique_ptr<WsTransport>> dial(
    std::uint16_t port, std::string_view host = "127.0.0.1", const TestCert& cert = client_cert(),
    std::string_view path = wire::kWsDefaultPath, std::string_view client = "001",
    std::string_view language = "E", Duration timeout = 10s) {
  return connect_wsrfc(host, port, path, client, language, cert.cert_der, cert.key_pkcs8_der,
                       timeout);
}

std::unique_ptr<WsTransport> dial_ok(std::uint16_t port) {
  auto t = dial(port);
  if (!t) ADD_FAILURE() << "connect: " << t.error().message();
  return t ? std::move(t).value() : nullptr;
}

// Keeps the bound socket of closed_port() so that no one else takes the port.
Socket closed_port_holder;

Bytes bytes_of(std::string_view s) { return Bytes(s.begin(), s.end()); }
std::string text_of(const Bytes& b) { return std::string(b.begin(), b.end()); }

Bytes concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// A port on which nothing listens: bound, never listened on.
std::uint16_t closed_port() {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  EXPECT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  EXPECT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len), 0);
  closed_port_holder = Socket(fd);
  return ntohs(a.sin_port);
}

// --------------------------------------------------------------- upgrade

TEST(WsUpgrade, RequestIsTheTemplateByteForByte) {
  struct Case {
    std::string path, client, language;
  };
  const Case cases[] = {
      {"/sap/bc/rfc?sap-apc-stateful=true", "001", "E"},
      {"/custom/path?x=1&y=2", "100", "SS"},
  };
  for (const Case& c : cases) {
    std::string head;
    TlsTestServer server([&](TlsPeer& peer) { head = peer.accept_upgrade(); });
    auto t = dial(server.port(), "127.0.0.1", client_cert(), c.path, c.client, c.language);
    ASSERT_TRUE(t) << t.error().message();
    server.finish();
    const std::string key = TlsPeer::key_of(head);
    const std::string expected = fmt::format(
        "GET {} HTTP/1.1\r\n"
        "host: 127.0.0.1:{}\r\n"
        "sec-websocket-protocol: rfc.sap.com\r\n"
        "sap-rfc-options: rfc-delta=off\r\n"
        "sap-client: {}\r\n"
        "sap-language: {}\r\n"
        "sap-rfc-subtype: sync\r\n"
        "sap-rfcpro-suppvers: 5-5\r\n"
        "sap-rfcser-suppvers: 2-3\r\n"
        "upgrade: websocket\r\n"
        "connection: Upgrade\r\n"
        "sec-websocket-version: 13\r\n"
        "sec-websocket-key: {}",
        c.path, server.port(), c.client, c.language, key);
    EXPECT_EQ(head, expected);
    ASSERT_EQ(key.size(), 24u);
    auto nonce = test::base64_decode_oracle(key);
    ASSERT_TRUE(nonce);
    EXPECT_EQ(nonce->size(), 16u);
  }
}

TEST(WsUpgrade, KeysOfTransportsAliveTogetherDiffer) {
  std::string heads[2];
  TlsTestServer first([&](TlsPeer& peer) { heads[0] = peer.accept_upgrade(); });
  TlsTestServer second([&](TlsPeer& peer) { heads[1] = peer.accept_upgrade(); });
  auto a = dial_ok(first.port());
  auto b = dial_ok(second.port());
  ASSERT_TRUE(a && b);
  first.finish();
  second.finish();
  EXPECT_FALSE(TlsPeer::key_of(heads[0]).empty());
  EXPECT_NE(TlsPeer::key_of(heads[0]), TlsPeer::key_of(heads[1]));
}

TEST(WsUpgrade, HostHeaderAndHeadEnd) {
  EXPECT_EQ(ws_host_header("127.0.0.1", 443), "127.0.0.1:443");
  EXPECT_EQ(ws_host_header("sap.example.com", 44300), "sap.example.com:44300");
  EXPECT_EQ(ws_host_header("::1", 8443), "[::1]:8443");
  EXPECT_EQ(ws_host_header("[::1]", 8443), "[::1]:8443");
  EXPECT_EQ(find_head_end(wire::as_bytes("HTTP/1.1 101 x\r\n\r\nrest")), 14u);
  EXPECT_EQ(find_head_end(wire::as_bytes("HTTP/1.1 101 x\r\n\r")), std::nullopt);
}

TEST(WsUpgrade, AnswersThatAreRefusedOrAccepted) {
  struct Case {
    const char* name;
    std::function<std::string(const std::string& key)> response;
    bool accepted;
  };
  const Case cases[] = {
      {"status 200",
       [](const std::string& k) {
         return "HTTP/1.1 200 OK\r\nSec-WebSocket-Accept: " + test::websocket_accept_oracle(k) +
                "\r\n\r\n";
       },
       false},
      {"no accept header",
       [](const std::string&) { return std::string("HTTP/1.1 101 Switching Protocols\r\n\r\n"); },
       false},
      {"accept differs in one character",
       [](const std::string& k) {
         std::string a = test::websocket_accept_oracle(k);
         a[3] = a[3] == 'A' ? 'B' : 'A';
         return "HTTP/1.1 101 Switching Protocols\r\nSec-WebSocket-Accept: " + a + "\r\n\r\n";
       },
       false},
      {"accept header in upper case",
       [](const std::string& k) {
         return "HTTP/1.1 101 Switching Protocols\r\nSEC-WEBSOCKET-ACCEPT:  " +
                test::websocket_accept_oracle(k) + " \r\n\r\n";
       },
       true},
  };
  for (const Case& c : cases) {
    TlsTestServer server([&](TlsPeer& peer) {
      const std::string head = peer.read_head();
      peer.write(c.response(TlsPeer::key_of(head)));
    });
    auto t = dial(server.port());
    server.finish();
    EXPECT_EQ(bool(t), c.accepted) << c.name;
    if (!t && !c.accepted) {
      EXPECT_EQ(t.error().kind(), ProtocolError::Io) << c.name;
      EXPECT_EQ(t.error().message(), "I/O error: WebSocket upgrade was refused") << c.name;
    }
  }
}

TEST(WsUpgrade, ServerThatClosesOrNeverEndsItsHead) {
  {
    TlsTestServer server([](TlsPeer& peer) { (void)peer.read_head(); });
    auto t = dial(server.port());
    server.finish();
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error(), ProtocolError::closed_by_peer(kStepWsrfcUpgrade));
  }
  {
    // 70000 bytes without CR LF CR LF: refused once more than 65536 arrived.
    TlsTestServer server([](TlsPeer& peer) {
      (void)peer.read_head();
      peer.write("HTTP/1.1 101 Switching Protocols\r\nx: " + std::string(70000, 'x'));
      (void)peer.wait_end();
    });
    auto t = dial(server.port());
    ASSERT_FALSE(t);
    EXPECT_EQ(t.error().message(), "I/O error: wsRFC upgrade response head too large");
    server.finish();
  }
  {
    // A head of exactly the limit, its end in the last read, is taken.
    TlsTestServer server([](TlsPeer& peer) {
      const std::string key = TlsPeer::key_of(peer.read_head());
      std::string response = test::upgrade_response(key);
      response.insert(response.size() - 4,
                      "\r\nx-fill: " + std::string(kWsHeadLimit - response.size() - 10, 'f'));
      EXPECT_EQ(response.size(), kWsHeadLimit);
      peer.write(response);
    });
    auto t = dial(server.port());
    server.finish();
    EXPECT_TRUE(t) << t.error().message();
  }
}

// --------------------------------------------------------------- sending

TEST(WsSend, MaskingKeysAndLengthForms) {
  struct Sent {
    std::size_t size;
    std::uint8_t second;  // MASK and the 7-bit length field
    std::array<std::uint8_t, 4> key;
  };
  // The keys: the masking state's sequence from 0x9E3779B9.
  const Sent sent[] = {
      {5, 0x85, {0x42, 0xD0, 0xD7, 0xC4}},
      {125, 0x80 | 125, {0xE9, 0x26, 0x00, 0x53}},
      {126, 0x80 | 126, {}},
      {65535, 0x80 | 126, {}},
      {65536, 0x80 | 127, {}},
  };
  std::vector<ClientFrame> frames;
  TlsTestServer server([&](TlsPeer& peer) {
    peer.accept_upgrade();
    for (std::size_t i = 0; i < std::size(sent); ++i) {
      auto f = peer.read_frame();
      if (!f) return;
      frames.push_back(std::move(*f));
    }
  });
  auto t = dial_ok(server.port());
  ASSERT_TRUE(t);
  std::uint64_t counter = 0;
  std::vector<Bytes> messages;
  for (const Sent& s : sent) {
    Bytes m(s.size);
    for (std::size_t i = 0; i < m.size(); ++i) m[i] = static_cast<std::uint8_t>(i * 31 + s.size);
    ASSERT_TRUE(t->send_counted(m, counter));
    messages.push_back(std::move(m));
  }
  server.finish();
  EXPECT_EQ(counter, 5u + 125 + 126 + 65535 + 65536);
  ASSERT_EQ(frames.size(), std::size(sent));
  for (std::size_t i = 0; i < frames.size(); ++i) {
    EXPECT_EQ(frames[i].first, 0x82) << i;  // FIN, binary
    EXPECT_EQ(frames[i].second, sent[i].second) << i;
    EXPECT_EQ(frames[i].payload, messages[i]) << i;
    if (i < 2) {
      EXPECT_EQ(frames[i].key, sent[i].key) << i;
    }
  }
  // 65535 takes the 16-bit form, 65536 the 64-bit one.
  EXPECT_EQ(Bytes(frames[3].raw.begin() + 2, frames[3].raw.begin() + 4), (Bytes{0xFF, 0xFF}));
  EXPECT_EQ(Bytes(frames[4].raw.begin() + 2, frames[4].raw.begin() + 10),
            (Bytes{0, 0, 0, 0, 0, 1, 0, 0}));
}

TEST(WsSend, LargeMessagesBothWays) {
  // Larger than the TLS write chunks and many TLS records long.
  Bytes big(3 * 1024 * 1024 + 17);
  for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<std::uint8_t>((i * 7 + 3) >> 2);
  TlsTestServer server([&](TlsPeer& peer) {
    peer.accept_upgrade();
    auto f = peer.read_frame();
    if (!f) return;
    // Echoed in three fragments.
    const std::string_view p(reinterpret_cast<const char*>(f->payload.data()), f->payload.size());
    peer.write(concat({test::server_frame(0x2, p.substr(0, 1000), false),
                       test::server_frame(0x0, p.substr(1000, 2000000), false),
                       test::server_frame(0x0, p.substr(2001000), true)}));
  });
  auto t = dial_ok(server.port());
  ASSERT_TRUE(t);
  ASSERT_TRUE(t->send(big));
  auto r = t->receive(kStepFunctionCall);
  server.finish();
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(r->kind, ReceiveKind::DataRecord);
  EXPECT_TRUE(r->data == big);
}

// --------------------------------------------------------------- receiving

TEST(WsReceive, MessagesDeliveredFromBytesAlreadyBuffered) {
  // Everything the server sends comes in the same write as the upgrade
  // response; the server then waits for the client's answer. A receive that
  // needed another read would wait for bytes that never come.
  struct Case {
    const char* name;
    Bytes after_upgrade;
    std::string message;
  };
  const Case cases[] = {
      {"one binary frame", test::server_frame(0x2, "abc"), "abc"},
      {"two fragments",
       concat({test::server_frame(0x2, "ab", false), test::server_frame(0x0, "cd", true)}), "abcd"},
      {"a text message", test::server_frame(0x1, "text"), "text"},
      {"pong and other kinds skipped",
       concat({test::server_frame(0xA, "p"), test::server_frame(0x3, "x"),
               test::server_frame(0xB, "y"), test::server_frame(0x2, "data")}),
       "data"},
      {"a fragment, a pong, the rest",
       concat({test::server_frame(0x2, "12", false), test::server_frame(0xA, ""),
               test::server_frame(0x0, "34", false), test::server_frame(0x0, "5", true)}),
       "12345"},
  };
  for (const Case& c : cases) {
    std::optional<ClientFrame> answer;
    TlsTestServer server([&](TlsPeer& peer) {
      peer.accept_upgrade(c.after_upgrade);
      answer = peer.read_frame();
    });
    auto t = dial_ok(server.port());
    ASSERT_TRUE(t);
    ASSERT_TRUE(t->set_timeout(10s));
    auto r = t->receive(kStepFunctionCall);
    ASSERT_TRUE(r) << c.name << ": " << r.error().message();
    EXPECT_EQ(text_of(r->data), c.message) << c.name;
    EXPECT_EQ(r->kind, ReceiveKind::DataRecord) << c.name;
    ASSERT_TRUE(t->send(bytes_of("done")));
    server.finish();
    ASSERT_TRUE(answer) << c.name;
    EXPECT_EQ(text_of(answer->payload), "done") << c.name;
  }
}

TEST(WsReceive, PingIsAnsweredWithAPongMaskedWithZeros) {
  Bytes pong;
  TlsTestServer server([&](TlsPeer& peer) {
    peer.accept_upgrade(test::server_frame(0x9, "x"));
    auto f = peer.read_frame();
    if (!f) return;
    pong = f->raw;
    peer.write(test::server_frame(0x2, "after"));
    auto data = peer.read_frame();  // the first data frame: the masking state did not advance
    if (data) {
      EXPECT_EQ(data->key, (std::array<std::uint8_t, 4>{0x42, 0xD0, 0xD7, 0xC4}));
    }
  });
  auto t = dial_ok(server.port());
  ASSERT_TRUE(t);
  auto r = t->receive(kStepFunctionCall);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(text_of(r->data), "after");
  ASSERT_TRUE(t->send(bytes_of("next")));
  server.finish();
  EXPECT_EQ(pong, (Bytes{0x8A, 0x81, 0x00, 0x00, 0x00, 0x00, 0x78}));
}

TEST(WsReceive, EndsOfTheConversation) {
  struct Case {
    const char* name;
    std::function<void(TlsPeer&)> end;
  };
  const Case cases[] = {
      {"close frame",
       [](TlsPeer& p) { p.write(test::server_frame(0x8, std::string("\x03\xE8", 2))); }},
      {"close frame between fragments",
       [](TlsPeer& p) {
         p.write(concat({test::server_frame(0x2, "half", false), test::server_frame(0x8, "")}));
       }},
      {"TLS close alert", [](TlsPeer& p) { p.close_notify(); }},
      {"TCP end without alert", [](TlsPeer& p) { ::shutdown(SSL_get_fd(p.ssl()), SHUT_WR); }},
  };
  for (const Case& c : cases) {
    TlsTestServer server([&](TlsPeer& peer) {
      peer.accept_upgrade();
      c.end(peer);
      (void)peer.wait_end();
    });
    auto t = dial_ok(server.port());
    ASSERT_TRUE(t);
    auto r = t->receive(kStepLogon);  // the label is not used
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error(), ProtocolError::closed_by_peer(kStepWsrfcRecv)) << c.name;
    t.reset();
    server.finish();
  }
}

TEST(WsReceive, MessageBudgetAndFramingErrors) {
  struct Case {
    const char* name;
    Bytes frames;
    std::string message;
  };
  const Case cases[] = {
      {"a frame declaring one byte more than 128 MiB", test::server_frame_head(0x82, 134217729),
       "I/O error: WebSocket payload of 134217729 bytes exceeds the budget"},
      {"fragments that join to more than 128 MiB",
       concat({test::server_frame(0x2, "x", false), test::server_frame_head(0x80, 134217728)}),
       "I/O error: WebSocket payload of 134217729 bytes exceeds the budget"},
      {"a continuation without a start", test::server_frame(0x0, "x"),
       "I/O error: WebSocket continuation without a start frame"},
      {"a new message inside a fragmented one",
       concat({test::server_frame(0x2, "x", false), test::server_frame(0x2, "y")}),
       "I/O error: WebSocket continuation without a start frame"},
  };
  for (const Case& c : cases) {
    TlsTestServer server([&](TlsPeer& peer) {
      peer.accept_upgrade(c.frames);
      (void)peer.wait_end();
    });
    auto t = dial_ok(server.port());
    ASSERT_TRUE(t);
    auto r = t->receive(kStepFunctionCall);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind(), ProtocolError::Io) << c.name;
    EXPECT_EQ(r.error().message(), c.message) << c.name;
    t.reset();
    server.finish();
  }
}

TEST(WsReceive, WaitsAreBoundedByPollNotBySocketOptions) {
  TlsTestServer server([](TlsPeer& peer) {
    peer.accept_upgrade();
    (void)peer.wait_end();
  });
  auto opened =
      dial(server.port(), "127.0.0.1", client_cert(), wire::kWsDefaultPath, "001", "E", 300ms);
  ASSERT_TRUE(opened) << opened.error().message();
  std::unique_ptr<WsTransport> t = std::move(opened).value();
  // No socket time-out is set: the waits poll with the time left.
  for (int option : {SO_RCVTIMEO, SO_SNDTIMEO}) {
    timeval tv{};
    socklen_t len = sizeof tv;
    ASSERT_EQ(::getsockopt(t->socket().fd(), SOL_SOCKET, option, &tv, &len), 0);
    EXPECT_EQ(tv.tv_sec, 0);
    EXPECT_EQ(tv.tv_usec, 0);
  }
  // Until the session sets its own, the connect time-out bounds a wait.
  const auto start = std::chrono::steady_clock::now();
  auto silent = t->receive(kStepFunctionCall);
  const auto waited = std::chrono::steady_clock::now() - start;
  ASSERT_FALSE(silent);
  EXPECT_TRUE(silent.error().is_timeout()) << silent.error().message();
  EXPECT_GE(waited, 250ms);
  EXPECT_LT(waited, 5s);
  ASSERT_TRUE(t->set_timeout(50ms));
  auto r = t->receive(kStepFunctionCall);
  ASSERT_FALSE(r);
  EXPECT_TRUE(r.error().is_timeout()) << r.error().message();
  EXPECT_FALSE(t->set_timeout(Duration::zero()));
  t.reset();
  server.finish();
}

// --------------------------------------------------------------- lifecycle

TEST(WsLifecycle, NoConversationIdNoCancelHandleAndACloseThatSendsNothing) {
  StreamEnd end = StreamEnd::Error;
  std::optional<ClientFrame> last;
  TlsTestServer server([&](TlsPeer& peer) {
    peer.accept_upgrade();
    last = peer.read_frame();
    end = peer.wait_end();
  });
  auto t = dial_ok(server.port());
  ASSERT_TRUE(t);
  EXPECT_EQ(t->conversation_id(), "");
  auto handle = t->cancel_handle();
  ASSERT_TRUE(handle);
  EXPECT_FALSE(handle->has_value());
  ASSERT_TRUE(t->send(bytes_of("last")));
  EXPECT_TRUE(t->close());
  t.reset();  // the socket closes here, without a close frame or a TLS alert
  server.finish();
  ASSERT_TRUE(last);
  EXPECT_EQ(text_of(last->payload), "last");
  EXPECT_EQ(end, StreamEnd::Eof);
}

// --------------------------------------------------------------- TLS

TEST(WsTls, ProtocolVersions) {
  struct Case {
    int min, max;
    bool legacy;
    const char* version;  // null: refused
  };
  const Case cases[] = {
      {TLS1_2_VERSION, TLS1_3_VERSION, false, "TLSv1.3"},
      {TLS1_2_VERSION, TLS1_2_VERSION, false, "TLSv1.2"},
      {TLS1_3_VERSION, TLS1_3_VERSION, false, "TLSv1.3"},
      {TLS1_VERSION, TLS1_1_VERSION, true, nullptr},
  };
  for (const Case& c : cases) {
    ServerOptions options;
    options.min_version = c.min;
    options.max_version = c.max;
    options.legacy = c.legacy;
    TlsTestServer server([](TlsPeer& peer) { peer.accept_upgrade(); }, options);
    auto t = dial(server.port());
    const auto& view = server.finish();
    if (c.version == nullptr) {
      ASSERT_FALSE(t);
      EXPECT_EQ(t.error().kind(), ProtocolError::Io);
      EXPECT_NE(t.error().message().find("TLS error"), std::string::npos) << t.error().message();
      EXPECT_FALSE(view.handshake_ok);
    } else {
      ASSERT_TRUE(t) << c.version << ": " << t.error().message();
      EXPECT_EQ((*t)->tls_version(), c.version);
      EXPECT_EQ(view.version, c.version);
    }
  }
}

TEST(WsTls, ClientCertificateOfEveryKeyType) {
  for (KeyType type : {KeyType::Ec, KeyType::Rsa, KeyType::Ed25519}) {
    for (int max : {TLS1_3_VERSION, TLS1_2_VERSION}) {
      const TestCert cert = test::make_cert("TESTER", type);
      ServerOptions options;
      options.max_version = max;
      TlsTestServer server([](TlsPeer& peer) { peer.accept_upgrade(); }, options);
      auto t = dial(server.port(), "127.0.0.1", cert);
      const auto& view = server.finish();
      ASSERT_TRUE(t) << static_cast<int>(type) << "/" << max << ": " << t.error().message();
      EXPECT_EQ(view.client_cert_der, cert.cert_der) << static_cast<int>(type) << "/" << max;
    }
  }
}

TEST(WsTls, AnyServerCertificateIsAccepted) {
  // Expired, self-signed and issued for another name: nothing is checked.
  ServerOptions options;
  options.server_cert = test::make_cert("elsewhere.example", KeyType::Rsa, true);
  TlsTestServer server([](TlsPeer& peer) { peer.accept_upgrade(); }, options);
  auto t = dial(server.port());
  server.finish();
  EXPECT_TRUE(t) << t.error().message();
}

TEST(WsTls, RefusedClientCertificateFailsTheOpen) {
  ServerOptions options;
  options.refuse_client_cert = true;
  TlsTestServer server([](TlsPeer&) {}, options);
  auto t = dial(server.port());
  const auto& view = server.finish();
  EXPECT_FALSE(view.handshake_ok);
  ASSERT_FALSE(t);
  EXPECT_EQ(t.error().kind(), ProtocolError::Io);
  EXPECT_NE(t.error().message().find("TLS error: "), std::string::npos) << t.error().message();
}

TEST(WsTls, ServerName) {
  // A DNS name is sent as SNI; an address literal is not.
  {
    TlsTestServer server([](TlsPeer& peer) { peer.accept_upgrade(); });
    auto t = dial(server.port());
    EXPECT_TRUE(t);
    EXPECT_EQ(server.finish().server_name, "");
  }
  auto local = resolve("localhost", "1");
  if (local && !local->empty() && local->front().family() == AF_INET &&
      local->front().ip_text() == "127.0.0.1") {
    std::string head;
    TlsTestServer server([&](TlsPeer& peer) { head = peer.accept_upgrade(); });
    auto t = dial(server.port(), "localhost");
    EXPECT_TRUE(t);
    EXPECT_EQ(server.finish().server_name, "localhost");
    EXPECT_NE(head.find(fmt::format("\r\nhost: localhost:{}\r\n", server.port())),
              std::string::npos);
  }

  struct Case {
    std::string host;
    std::optional<ServerName> name;
  };
  const std::string label63(63, 'a');
  const Case cases[] = {
      {"127.0.0.1", ServerName{ServerName::Ip, "127.0.0.1"}},
      {"::1", ServerName{ServerName::Ip, "::1"}},
      {"[2001:db8::7]", ServerName{ServerName::Ip, "2001:db8::7"}},
      {"sap.example.com", ServerName{ServerName::Dns, "sap.example.com"}},
      {"sap_host.example.", ServerName{ServerName::Dns, "sap_host.example"}},
      {label63 + ".com", ServerName{ServerName::Dns, label63 + ".com"}},
      {label63 + "a.com", std::nullopt},
      {"", std::nullopt},
      {"bad host", std::nullopt},
      {"-lead.example", std::nullopt},
      {"a..b", std::nullopt},
      {"[sap.example.com]", std::nullopt},
  };
  for (const Case& c : cases) {
    auto n = server_name_from_host(c.host);
    if (c.name) {
      ASSERT_TRUE(n) << c.host;
      EXPECT_EQ(*n, *c.name) << c.host;
    } else {
      ASSERT_FALSE(n) << c.host;
      EXPECT_EQ(n.error().kind, IoError::InvalidInput) << c.host;
    }
  }
}

TEST(WsTls, UnusableCredentialsFailBeforeAnyNetworkActivity) {
  const TestCert& good = client_cert();
  const TestCert other = test::make_cert("OTHER");
  Bytes trailing = good.cert_der;
  trailing.push_back(0);
  struct Case {
    const char* name;
    Bytes cert, key;
    std::string text;
  };
  const Case cases[] = {
      {"not a certificate", bytes_of("not DER at all"), good.key_pkcs8_der,
       "wsRFC client certificate is not a DER X.509 certificate"},
      {"a byte after the certificate", trailing, good.key_pkcs8_der,
       "wsRFC client certificate is not a DER X.509 certificate: bytes follow the certificate"},
      {"a SEC 1 key", good.cert_der, good.key_traditional_der,
       "wsRFC client key is not an unencrypted PKCS #8 DER private key"},
      {"an empty key", good.cert_der, {}, "wsRFC client key is not an unencrypted PKCS #8"},
      {"the key of another certificate", good.cert_der, other.key_pkcs8_der,
       "wsRFC client key does not belong to the client certificate"},
  };
  // Nothing listens on this port: a check after the connect would fail
  // with "connection refused" instead.
  const std::uint16_t port = closed_port();
  for (const Case& c : cases) {
    auto t = connect_wsrfc("127.0.0.1", port, wire::kWsDefaultPath, "001", "E", c.cert, c.key, 5s);
    ASSERT_FALSE(t) << c.name;
    EXPECT_EQ(t.error().kind(), ProtocolError::Io) << c.name;
    EXPECT_NE(t.error().message().find(c.text), std::string::npos)
        << c.name << ": " << t.error().message();
  }
  // The same for a host that is no server name and a request value that
  // would add a header line.
  auto bad_host = connect_wsrfc("bad host", port, wire::kWsDefaultPath, "001", "E", good.cert_der,
                                good.key_pkcs8_der, 5s);
  ASSERT_FALSE(bad_host);
  EXPECT_NE(bad_host.error().message().find("invalid TLS server name"), std::string::npos);
  auto bad_client = connect_wsrfc("127.0.0.1", port, wire::kWsDefaultPath, "001\r\nx: y", "E",
                                  good.cert_der, good.key_pkcs8_der, 5s);
  ASSERT_FALSE(bad_client);
  EXPECT_NE(bad_client.error().message().find("control character"), std::string::npos)
      << bad_client.error().message();
  // With good credentials the same port gives the connect's own failure.
  auto refused = connect_wsrfc("127.0.0.1", port, wire::kWsDefaultPath, "001", "E", good.cert_der,
                               good.key_pkcs8_der, 5s);
  ASSERT_FALSE(refused);
  ASSERT_NE(refused.error().get<IoError>(), nullptr);
  EXPECT_EQ(refused.error().get<IoError>()->kind, IoError::ConnectionRefused);
}

}  // namespace
}  // namespace quib::proto

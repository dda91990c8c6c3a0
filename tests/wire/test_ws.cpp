#include <fmt/format.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/testutil.hpp"
#include "wire/base64.hpp"
#include "wire/ws.hpp"

namespace quib::wire {
namespace {

using quib::test::cat;
using quib::test::pattern;

Bytes frame(WsFrameKind kind, bool fin, const Bytes& payload,
            std::optional<WsMaskKey> key = std::nullopt) {
  Bytes out;
  write_ws_frame(kind, fin, payload, key, out);
  return out;
}

// --- handshake

constexpr char kRfcSampleKey[] = "dGhlIHNhbXBsZSBub25jZQ==";
constexpr char kRfcSampleAccept[] = "s3pPLMBiTxaQ9kYGzzhZRbK+xOo=";

TEST(WsHandshake, AcceptValueOfTheRfcSample) {
  EXPECT_EQ(websocket_accept(kRfcSampleKey), kRfcSampleAccept);
}

TEST(WsHandshake, KeyIsTheBase64OfTheNonce) {
  WsKeyNonce nonce;
  for (std::size_t i = 0; i < nonce.size(); ++i) nonce[i] = static_cast<std::uint8_t>(0xF0 + i);
  const std::string key = make_websocket_key(nonce);
  EXPECT_EQ(key.size(), 24u);
  const auto back = base64_decode(key);
  ASSERT_TRUE(back);
  EXPECT_EQ(*back, Bytes(nonce.begin(), nonce.end()));
  WsKeyNonce other = nonce;
  other[7] ^= 1;
  EXPECT_NE(make_websocket_key(other), key);
}

TEST(WsHandshake, UpgradeRequestText) {
  auto req = build_upgrade_request(kWsDefaultPath, "as1.example:44300", kWsRfcSubprotocol, "001",
                                   "EN", kRfcSampleKey);
  ASSERT_TRUE(req.ok());
  EXPECT_EQ(*req,
            "GET /sap/bc/rfc?sap-apc-stateful=true HTTP/1.1\r\n"
            "host: as1.example:44300\r\n"
            "sec-websocket-protocol: rfc.sap.com\r\n"
            "sap-rfc-options: rfc-delta=off\r\n"
            "sap-client: 001\r\n"
            "sap-language: EN\r\n"
            "sap-rfc-subtype: sync\r\n"
            "sap-rfcpro-suppvers: 5-5\r\n"
            "sap-rfcser-suppvers: 2-3\r\n"
            "upgrade: websocket\r\n"
            "connection: Upgrade\r\n"
            "sec-websocket-version: 13\r\n"
            "sec-websocket-key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
            "\r\n");
  EXPECT_EQ(kWsRfcSubprotocol.size(), 11u);
}

TEST(WsHandshake, UpgradeRequestRefusesInjectedLines) {
  struct Case {
    std::string path, host, client, language, field;
  };
  const std::string evil = "001\r\nx-injected: 1";
  const Case cases[] = {
      {"/p\r\nx: 1", "h:1", "001", "EN", "path"},
      {"/p HTTP/1.0", "h:1", "001", "EN", "path"},
      {std::string("/p\0", 3), "h:1", "001", "EN", "path"},
      {"/p", "h:1\n", "001", "EN", "host"},
      {"/p", "h:1", evil, "EN", "client"},
      {"/p", "h:1", "001", "E\x7f", "language"},
      {"/p", "h:1", "001", "\tEN", "language"},
  };
  for (const Case& c : cases) {
    auto r = build_upgrade_request(c.path, c.host, kWsRfcSubprotocol, c.client, c.language,
                                   kRfcSampleKey);
    ASSERT_FALSE(r.ok()) << c.field;
    EXPECT_EQ(r.error(), WsError::invalid_header_value(c.field));
  }
  EXPECT_EQ(WsError::invalid_header_value("client").message(),
            "WebSocket upgrade client contains a control character");
  EXPECT_EQ(WsError::invalid_header_value("path").message(),
            "WebSocket upgrade path contains a blank or control character");
  // Blanks inside header values are fine.
  EXPECT_TRUE(
      build_upgrade_request("/p", "h:1", kWsRfcSubprotocol, "0 1", "EN", kRfcSampleKey).ok());
}

TEST(WsHandshake, ResponseCheck) {
  const std::string accept = kRfcSampleAccept;
  struct Case {
    std::string head;
    bool ok;
  };
  const Case cases[] = {
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nSec-WebSocket-Accept: " + accept,
       true},
      {"HTTP/1.1 101 Switching Protocols\r\nSEC-WEBSOCKET-ACCEPT:" + accept + "  ", true},
      {"HTTP/1.1 101\r\n  sec-websocket-accept \t:  " + accept + "\r\nx: y", true},
      {"HTTP/1.1 101 OK\r\nno colon line\r\nsec-websocket-accept: " + accept, true},
      // Name and value are trimmed of any white space, not only ASCII blanks
      // (here a no-break space, U+00A0).
      {"HTTP/1.1 101 OK\r\n\xC2\xA0sec-websocket-accept:\xC2\xA0" + accept + "\xC2\xA0", true},
      // the last of repeated headers counts
      {"HTTP/1.1 101 OK\r\nsec-websocket-accept: wrong\r\nsec-websocket-accept: " + accept, true},
      {"HTTP/1.1 101 OK\r\nsec-websocket-accept: " + accept + "\r\nsec-websocket-accept: x", false},
      {"HTTP/1.1 200 OK\r\nsec-websocket-accept: " + accept, false},
      {"HTTP/1.1 1010 X\r\nsec-websocket-accept: " + accept, false},
      {"HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket", false},
      {"HTTP/1.1 101 OK\r\nsec-websocket-accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOO=", false},
      {"HTTP/1.1 101 OK\r\nsec-websocket-accept: S3pPLMBiTxaQ9kYGzzhZRbK+xOo=", false},
      {"", false},
      {"sec-websocket-accept: " + accept, false},
  };
  for (const Case& c : cases) {
    auto r = check_upgrade_response(c.head, kRfcSampleKey);
    EXPECT_EQ(r.ok(), c.ok) << c.head;
    if (!r.ok()) {
      EXPECT_EQ(r.error(), WsError::upgrade_refused());
      EXPECT_EQ(r.error().message(), "WebSocket upgrade was refused");
    }
  }
}

TEST(WsMask, KeySequence) {
  WsMaskState s;
  EXPECT_EQ(s.next_key(), (WsMaskKey{0x42, 0xD0, 0xD7, 0xC4}));
  EXPECT_EQ(s.next_key(), (WsMaskKey{0xE9, 0x26, 0x00, 0x53}));
}

TEST(WsMask, WordwiseMaskingMatchesBytewise) {
  const WsMaskKey key = {0x12, 0x34, 0x56, 0x78};
  for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 15u, 16u, 17u, 100u}) {
    for (std::size_t phase = 0; phase < 4; ++phase) {
      Bytes data = pattern(n, 3);
      Bytes want = data;
      for (std::size_t i = 0; i < n; ++i) want[i] ^= key[(phase + i) % 4];
      ws_apply_mask(data, key, phase);
      EXPECT_EQ(data, want) << n << " " << phase;
    }
  }
}

// --- frames

TEST(WsFrameWrite, ShortestLengthForm) {
  struct Case {
    std::size_t len;
    Bytes head;  // bytes 1.. before the payload (unmasked frame)
  };
  const Case cases[] = {
      {0, {0x00}},
      {125, {0x7D}},
      {126, {0x7E, 0x00, 0x7E}},
      {65535, {0x7E, 0xFF, 0xFF}},
      {65536, {0x7F, 0, 0, 0, 0, 0, 1, 0, 0}},
  };
  for (const Case& c : cases) {
    const Bytes payload = pattern(c.len);
    const Bytes f = frame(WsFrameKind::binary(), true, payload);
    ASSERT_EQ(f.size(), 1 + c.head.size() + c.len);
    EXPECT_EQ(f[0], 0x82);
    EXPECT_EQ(Bytes(f.begin() + 1, f.begin() + 1 + static_cast<long>(c.head.size())), c.head);
    EXPECT_EQ(Bytes(f.end() - static_cast<long>(c.len), f.end()), payload);
  }
}

TEST(WsFrameWrite, FirstByteAndMasking) {
  EXPECT_EQ(frame(WsFrameKind::pong(), true, Bytes{0x78}, WsMaskKey{0, 0, 0, 0}),
            (Bytes{0x8A, 0x81, 0, 0, 0, 0, 0x78}));
  EXPECT_EQ(frame(WsFrameKind::text(), false, Bytes{1, 2, 3, 4, 5}, WsMaskKey{1, 2, 3, 4}),
            (Bytes{0x01, 0x85, 1, 2, 3, 4, 0, 0, 0, 0, 4}));
  EXPECT_EQ(frame(WsFrameKind::other(0xB), true, Bytes{}), (Bytes{0x8B, 0x00}));
  EXPECT_EQ(frame(WsFrameKind::continuation(), false, Bytes{}), (Bytes{0x00, 0x00}));
}

TEST(WsFrameRead, IncompleteUntilTheLastByte) {
  for (bool masked : {false, true}) {
    for (std::size_t len : {0u, 5u, 125u, 126u, 300u, 70000u}) {
      const Bytes payload = pattern(len, 9);
      const Bytes f =
          frame(WsFrameKind::binary(), true, payload,
                masked ? std::optional<WsMaskKey>(WsMaskKey{9, 8, 7, 6}) : std::nullopt);
      // Every prefix is incomplete (checked at the boundaries of the head).
      for (std::size_t cut : {std::size_t{0}, std::size_t{1}, std::size_t{2}, std::size_t{3},
                              std::size_t{9}, f.size() - 1}) {
        if (cut >= f.size()) continue;
        auto r = read_ws_frame(ByteView(f).first(cut), kWsDefaultBudget);
        ASSERT_TRUE(r.ok());
        EXPECT_FALSE(*r) << len << " cut " << cut;
      }
      Bytes more = f;
      more.push_back(0x99);  // the start of the next frame is left alone
      auto r = read_ws_frame(more, kWsDefaultBudget);
      ASSERT_TRUE(r.ok() && *r);
      EXPECT_EQ((*r)->payload, payload);
      EXPECT_EQ((*r)->size, f.size());
      EXPECT_EQ((*r)->kind, WsFrameKind::binary());
      EXPECT_EQ((*r)->opcode, 2);
      EXPECT_TRUE((*r)->fin);
    }
  }
}

TEST(WsFrameRead, KindsAndIgnoredReservedBits) {
  struct Case {
    std::uint8_t first;
    WsFrameKind kind;
    bool fin;
  };
  const Case cases[] = {
      {0x00, WsFrameKind::continuation(), false}, {0x81, WsFrameKind::text(), true},
      {0x02, WsFrameKind::binary(), false},       {0x88, WsFrameKind::close(), true},
      {0x89, WsFrameKind::ping(), true},          {0x8A, WsFrameKind::pong(), true},
      {0x83, WsFrameKind::other(3), true},        {0x8F, WsFrameKind::other(15), true},
      {0xF2, WsFrameKind::binary(), true},  // RSV1..3 set
  };
  for (const Case& c : cases) {
    const Bytes f = {c.first, 0x01, 0x55};
    auto r = read_ws_frame(f, kWsDefaultBudget);
    ASSERT_TRUE(r.ok() && *r);
    EXPECT_EQ((*r)->kind, c.kind) << int(c.first);
    EXPECT_EQ((*r)->opcode, c.first & 0x0F);
    EXPECT_EQ((*r)->fin, c.fin);
  }
}

TEST(WsFrameRead, BudgetIsCheckedFromTheLengthAlone) {
  struct Case {
    Bytes head;
    std::optional<std::uint64_t> refused;
  };
  const Case cases[] = {
      {{0x82, 0x7F, 0, 0, 0, 0, 0x08, 0, 0, 0x01}, 134217729},
      {{0x82, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, 0xFFFFFFFFFFFFFFFFull},
      {{0x82, 0xFF, 0x80, 0, 0, 0, 0, 0, 0, 0}, 0x8000000000000000ull},  // no key needed yet
      {{0x82, 0x7F, 0, 0, 0, 0, 0x08, 0, 0, 0x00}, std::nullopt},        // exactly the budget
  };
  for (const Case& c : cases) {
    auto r = read_ws_frame(c.head, kWsDefaultBudget);
    if (c.refused) {
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error(), WsError::payload_too_large(*c.refused));
      EXPECT_EQ(r.error().message(),
                fmt::format("WebSocket payload of {} bytes exceeds the budget", *c.refused));
    } else {
      ASSERT_TRUE(r.ok());
      EXPECT_FALSE(*r);
    }
  }
  // A payload of exactly the budget is accepted once complete.
  const Bytes at_budget = frame(WsFrameKind::binary(), true, pattern(1000));
  auto ok = read_ws_frame(at_budget, 1000);
  ASSERT_TRUE(ok.ok() && *ok);
  EXPECT_EQ((*ok)->payload.size(), 1000u);
  EXPECT_EQ(read_ws_frame(at_budget, 999).error(), WsError::payload_too_large(1000));
}

// --- messages

struct Stepper {
  WsPartialMessage state;
  Bytes buffer;

  Result<WsStep, WsError> step() {
    auto r = next_ws_message(state, buffer);
    if (r.ok()) buffer.erase(buffer.begin(), buffer.begin() + static_cast<long>(r->used));
    return r;
  }
};

TEST(WsMessage, SingleFramesAndFragments) {
  const Bytes a = pattern(10, 1), b = pattern(200, 2), c = pattern(3, 3);
  Stepper s;
  s.buffer = cat({frame(WsFrameKind::text(), true, a),
                  frame(WsFrameKind::binary(), false, b, WsMaskKey{5, 6, 7, 8}),
                  frame(WsFrameKind::continuation(), false, Bytes{}),
                  frame(WsFrameKind::continuation(), true, c, WsMaskKey{1, 1, 1, 1})});
  auto r = s.step();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->what, WsStep::Message);
  EXPECT_EQ(r->message, a);

  r = s.step();  // first fragment: used, more needed
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->what, WsStep::NeedMore);
  EXPECT_GT(r->used, 0u);
  EXPECT_TRUE(s.state.in_progress());
  EXPECT_EQ(s.state.kind, kWsOpBinary);

  r = s.step();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->what, WsStep::NeedMore);
  EXPECT_EQ(r->used, 2u);

  r = s.step();
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->what, WsStep::Message);
  EXPECT_EQ(r->message, cat({b, c}));
  EXPECT_FALSE(s.state.in_progress());
  EXPECT_EQ(s.state.kind, kWsNoMessage);
  EXPECT_TRUE(s.state.joined.empty());
  EXPECT_TRUE(s.buffer.empty());

  r = s.step();  // nothing left
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->what, WsStep::NeedMore);
  EXPECT_EQ(r->used, 0u);
}

TEST(WsMessage, ControlFramesPassThroughAnOpenMessage) {
  Stepper s;
  const Bytes a = pattern(50, 4), b = pattern(60, 5);
  s.buffer = cat({frame(WsFrameKind::binary(), false, a),
                  frame(WsFrameKind::ping(), true, Bytes{0x78}, WsMaskKey{3, 3, 3, 3}),
                  frame(WsFrameKind::other(5), true, Bytes{1}),
                  frame(WsFrameKind::continuation(), true, b)});
  ASSERT_EQ(s.step()->what, WsStep::NeedMore);
  auto ping = s.step();
  ASSERT_TRUE(ping.ok());
  EXPECT_EQ(ping->what, WsStep::Control);
  EXPECT_EQ(ping->frame.kind, WsFrameKind::ping());
  EXPECT_EQ(ping->frame.payload, Bytes{0x78});
  EXPECT_EQ(ping->used, 7u);
  EXPECT_EQ(s.state.joined, a);  // untouched
  auto other = s.step();
  ASSERT_TRUE(other.ok());
  EXPECT_EQ(other->what, WsStep::Control);
  EXPECT_EQ(other->frame.opcode, 5);
  auto msg = s.step();
  ASSERT_TRUE(msg.ok());
  EXPECT_EQ(msg->what, WsStep::Message);
  EXPECT_EQ(msg->message, cat({a, b}));
}

TEST(WsMessage, ContinuationWithoutStart) {
  const std::string text = "WebSocket continuation without a start frame";
  {
    WsPartialMessage state;
    const Bytes f = frame(WsFrameKind::continuation(), true, pattern(5));
    auto r = next_ws_message(state, f);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), WsError::continuation_without_start());
    EXPECT_EQ(r.error().message(), text);
  }
  for (WsFrameKind start : {WsFrameKind::binary(), WsFrameKind::text()}) {
    WsPartialMessage state;
    const Bytes first = frame(WsFrameKind::binary(), false, pattern(5));
    ASSERT_EQ(next_ws_message(state, first)->what, WsStep::NeedMore);
    // Judged on the head: no payload byte of the second frame has arrived.
    const Bytes second = frame(start, true, pattern(100));
    auto r = next_ws_message(state, ByteView(second).first(2));
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), WsError::continuation_without_start());
  }
}

TEST(WsMessage, JoinedSizeIsLimitedByTheBudget) {
  constexpr std::size_t kFragment = 100u << 20;
  WsPartialMessage state;
  const Bytes first = frame(WsFrameKind::binary(), false, Bytes(kFragment, 0x5A));
  auto r = next_ws_message(state, first);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->used, first.size());
  // The second head alone is enough to refuse it.
  Bytes second_head = {0x80, 0x7F};
  append_be64(second_head, kFragment);
  auto r2 = next_ws_message(state, second_head);
  ASSERT_FALSE(r2.ok());
  EXPECT_EQ(r2.error(), WsError::payload_too_large(209715200));
}

TEST(WsMessage, SmallBudgetEdges) {
  WsPartialMessage state;
  state.budget = 10;
  ASSERT_EQ(next_ws_message(state, frame(WsFrameKind::binary(), false, pattern(6)))->what,
            WsStep::NeedMore);
  // 6 + 4 is exactly the budget.
  auto r = next_ws_message(state, frame(WsFrameKind::continuation(), true, pattern(4)));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r->what, WsStep::Message);
  ASSERT_EQ(next_ws_message(state, frame(WsFrameKind::binary(), false, pattern(6)))->what,
            WsStep::NeedMore);
  auto over = next_ws_message(state, frame(WsFrameKind::continuation(), true, pattern(5)));
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error(), WsError::payload_too_large(11));
  // A single frame above the budget fails on its own length.
  WsPartialMessage fresh;
  fresh.budget = 10;
  EXPECT_EQ(next_ws_message(fresh, frame(WsFrameKind::binary(), true, pattern(11))).error(),
            WsError::payload_too_large(11));
}

TEST(WsReceiveBuffer, ConsumesAndCompactsWithoutLosingBytes) {
  std::mt19937 rng(99);
  WsReceiveBuffer buf;
  Bytes model;  // what the buffer must hold
  std::uint8_t next = 0;
  for (int i = 0; i < 2000; ++i) {
    Bytes in(rng() % 300);
    for (auto& b : in) b = next++;
    buf.push(in);
    model.insert(model.end(), in.begin(), in.end());
    const std::size_t take = model.empty() ? 0 : rng() % (model.size() + 1);
    buf.consume(take);
    model.erase(model.begin(), model.begin() + static_cast<long>(take));
    ASSERT_EQ(Bytes(buf.view().begin(), buf.view().end()), model) << i;
  }
}

// --- against the websockets library

// The lines the websockets oracle prints for `args`.
std::vector<std::string> oracle_lines(const std::string& args) {
  std::istringstream in(quib::test::run_python("tests/wire/oracles/ws_frames.py " + args));
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The oracle writes empty hex as "-".
Bytes oracle_bytes(const std::string& s) { return s == "-" ? Bytes{} : quib::test::unhex(s); }
std::string oracle_hex(ByteView b) { return b.empty() ? "-" : quib::test::hex(b); }

TEST(WsOracle, FramesWrittenByTheLibraryParseHere) {
  const auto lines = oracle_lines("emit 20260903 300");
  ASSERT_EQ(lines.size(), 300u);
  Bytes stream;
  std::vector<Bytes> want_payloads;
  for (const std::string& line : lines) {
    std::istringstream in(line);
    int opcode, fin, masked;
    std::string payload_hex, frame_hex;
    in >> opcode >> fin >> masked >> payload_hex >> frame_hex;
    const Bytes wire = oracle_bytes(frame_hex), payload = oracle_bytes(payload_hex);
    auto r = read_ws_frame(wire, kWsDefaultBudget);
    ASSERT_TRUE(r.ok() && *r) << line.substr(0, 80);
    EXPECT_EQ((*r)->opcode, opcode);
    EXPECT_EQ((*r)->fin, fin == 1);
    EXPECT_EQ((*r)->payload, payload);
    EXPECT_EQ((*r)->size, wire.size());
    stream.insert(stream.end(), wire.begin(), wire.end());
    want_payloads.push_back(payload);
  }
  // The same frames back to back come out one by one.
  ByteView rest(stream);
  for (const Bytes& payload : want_payloads) {
    auto r = read_ws_frame(rest, kWsDefaultBudget);
    ASSERT_TRUE(r.ok() && *r);
    EXPECT_EQ((*r)->payload, payload);
    rest = rest.subspan((*r)->size);
  }
  EXPECT_TRUE(rest.empty());
}

TEST(WsOracle, FramesWrittenHereParseInTheLibrary) {
  std::mt19937 rng(424242);
  WsMaskState masks;
  struct Sent {
    int opcode;
    bool fin;
    Bytes payload;
  };
  std::vector<Sent> sent;
  const std::string path =
      ::testing::TempDir() + "quib_ws_frames_" + std::to_string(getpid()) + ".txt";
  {
    std::ofstream out(path);
    const std::size_t sizes[] = {0, 1, 125, 126, 127, 65535, 65536, 70001};
    for (int i = 0; i < 200; ++i) {
      const bool masked = i % 3 != 0;
      const bool control = i % 5 == 0;
      const std::size_t len = control ? rng() % 126 : (i < 16 ? sizes[i % 8] : rng() % 3000);
      Bytes payload(len);
      for (auto& b : payload) b = static_cast<std::uint8_t>(rng());
      const WsFrameKind kind =
          control ? WsFrameKind::ping() : (i % 2 ? WsFrameKind::binary() : WsFrameKind::text());
      const bool fin = control || rng() % 2;
      std::optional<WsMaskKey> key;
      if (masked) key = masks.next_key();
      out << (masked ? 1 : 0) << ' ' << oracle_hex(frame(kind, fin, payload, key)) << '\n';
      sent.push_back({kind.opcode, fin, payload});
    }
  }
  const auto lines = oracle_lines("parse " + path);
  std::remove(path.c_str());
  ASSERT_EQ(lines.size(), sent.size());
  for (std::size_t i = 0; i < sent.size(); ++i) {
    std::istringstream in(lines[i]);
    int opcode, fin;
    std::string payload_hex;
    ASSERT_TRUE(in >> opcode >> fin >> payload_hex) << lines[i];
    EXPECT_EQ(opcode, sent[i].opcode) << i;
    EXPECT_EQ(fin == 1, sent[i].fin) << i;
    EXPECT_EQ(payload_hex, oracle_hex(sent[i].payload)) << i;
  }
}

}  // namespace
}  // namespace quib::wire

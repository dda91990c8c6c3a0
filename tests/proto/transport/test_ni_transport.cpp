// The NI/CPIC transport over a socket pair: the header templates, how sends
// are cut into records, what receive reports, time-outs, SNC wrapping, and
// the cancel handle.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <optional>
#include <thread>
#include <vector>

#include "proto/transport/ni_transport.hpp"
#include "snc/frame.hpp"
#include "tests/proto/support/ni_test_peer.hpp"
#include "tests/support/testutil.hpp"
#include "wire/container.hpp"

namespace quib::proto {
namespace {

using test::read_frame;
using test::write_frame;
using test::write_record;
using wire::Bytes;
using wire::ByteView;

using test::unhex;

// The client's headers written out from the format, one row of eight bytes
// per line (offsets 0, 8, ..., 72). Bytes 40..47 (the sixth row) are zero in
// a template; a record carries its conversation id there.
constexpr std::string_view kDataHex =
    "06CB0200FFFF0000 0000000000000000 0000000000000000 000000080000050C 0000000000000000"
    "0000000000000000 0000000000000000 0000000000000000 0000000000000000 00000000FFFF0003";
constexpr std::string_view kSncDataHex =
    "06CB0200FFFF0000 0000080000010000 01FFFFFFFF020000 000100080000050C 0000000000000000"
    "0000000000000000 0000850000000002 0000052600000001 0000000000343130 3300000000000003";
constexpr std::string_view kSncHandshakeHex =
    "06CB0200FFFF0000 0000280000000000 0000000000000000 000000080000050C 0000000000000000"
    "0000000000000000 0000850000000000 0000000000000000 0000000000000000 00000000FFFF0003";
constexpr std::string_view kChunkHex =
    "06080200FFFF0000 0000000000000000 0000000000000000 0000000000000000 0000000000000000"
    "0000000000000000 0000000000000000 0000000000000000 0000000000000000 00000000FFFF0008";
constexpr std::string_view kDataLastHex =
    "06090200FFFF0000 0000000000000000 0000000000000000 0000000000000100 0000000000000000"
    "0000000000000000 00006D6000000000 0000000000000000 0000000000000000 00000000FFFF0008";
constexpr std::string_view kDeallocateHex =
    "060B0200FFFF0000 0000000000000000 0000000000000000 0000000000000000 0000000000000000"
    "0000000000000000 0000000000000000 0000000000000000 0000000000000000 00000000FFFF0003";
constexpr std::string_view kCancelHex =
    "06D50200FFFF0000 0000000000000000 0800000000000000 0000000000000100 0000000000000000"
    "0000000000000000 0000000000000000 0000000000000000 0000000000000000 00000000FFFF000A";

// A header of the table above as a record of conversation `conv` carries it,
// with `piece_length` (big-endian) at 48..51 when given.
Bytes record_header(std::string_view hex, std::string_view conv,
                    std::optional<std::uint32_t> piece_length = std::nullopt) {
  Bytes h = unhex(hex);
  EXPECT_EQ(h.size(), 80u);
  EXPECT_EQ(conv.size(), 8u);
  std::copy(conv.begin(), conv.end(), h.begin() + 40);
  if (piece_length) wire::store_be32(h.data() + 48, *piece_length);
  return h;
}

Bytes head_of(const Bytes& record) {
  return Bytes(record.begin(), record.begin() + std::min<std::size_t>(80, record.size()));
}

Bytes iota(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i % 251);
  return b;
}

TEST(NiTemplatesTest, HeadersAreByteForByte) {
  struct Case {
    const char* name;
    const wire::AppcTemplate& actual;
    std::string_view expected;
  };
  const Case cases[] = {
      {"Data", wire::kDataTemplate, kDataHex},
      {"SNC data", wire::kSncDataTemplate, kSncDataHex},
      {"SNC handshake", wire::kSncHandshakeTemplate, kSncHandshakeHex},
      {"Chunk", wire::kChunkTemplate, kChunkHex},
      {"DataLast", wire::kDataLastTemplate, kDataLastHex},
      {"Deallocate", wire::kDeallocateTemplate, kDeallocateHex},
      {"Cancel", wire::kCancelTemplate, kCancelHex},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(Bytes(c.actual.begin(), c.actual.end()), unhex(c.expected));
  }
}

TEST(NiTemplatesTest, CancelFrameIs84BytesWithTheConversationId) {
  const wire::ConversationId id = {'C', 'O', 'N', 'V', '0', '0', '0', '1'};
  const Bytes frame = wire::cancel_frame(id);
  Bytes expected = unhex("00000050");
  wire::append_bytes(expected, record_header(kCancelHex, "CONV0001"));
  EXPECT_EQ(frame, expected);
}

// A transport on one end of a socket pair, the test's peer on the other.
class NiTransportTest : public ::testing::Test {
 protected:
  NiTransportTest() {
    auto [a, b] = test::socket_pair();
    transport_ = std::make_unique<NiTransport>(std::move(a));
    peer_ = std::move(b);
    transport_->set_conversation_id({'4', '2', '4', '2', '4', '2', '4', '2'});
  }

  // Reads `n` frames on a thread while `send` runs (large sends would fill
  // the socket buffer otherwise).
  template <class F>
  std::vector<Bytes> frames_of(std::size_t n, F&& send) {
    std::vector<Bytes> frames;
    std::thread reader([&] {
      for (std::size_t i = 0; i < n; ++i) {
        auto f = read_frame(peer_);
        if (!f) break;
        frames.push_back(std::move(*f));
      }
    });
    send();
    reader.join();
    return frames;
  }

  std::unique_ptr<NiTransport> transport_;
  Socket peer_;
};

TEST_F(NiTransportTest, ConversationIdIsBlankUntilInitializeStoresOne) {
  auto [a, b] = test::socket_pair();
  NiTransport fresh(std::move(a));
  EXPECT_EQ(fresh.conversation_id(), "        ");
  EXPECT_EQ(transport_->conversation_id(), "42424242");
}

TEST_F(NiTransportTest, MessageOfExactlyOneRecordIsOneFrame) {
  const Bytes data = iota(28000);
  std::uint64_t counter = 5;
  auto frames = frames_of(1, [&] { ASSERT_TRUE(transport_->send_counted(data, counter).ok()); });
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].size(), 28080u);  // 28084 bytes on the wire with the length
  EXPECT_EQ(head_of(frames[0]), record_header(kDataHex, "42424242"));
  EXPECT_TRUE(std::equal(data.begin(), data.end(), frames[0].begin() + 80));
  EXPECT_EQ(counter, 5u + 28000u);
}

TEST_F(NiTransportTest, LongerMessageIsChunkedWithAFinalDataLast) {
  struct Case {
    std::size_t size;
    std::vector<std::size_t> pieces;
  };
  const Case cases[] = {
      {28001, {28000, 1}},
      {56000, {28000, 28000}},
      {60000, {28000, 28000, 4000}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.size);
    const Bytes data = iota(c.size);
    std::uint64_t counter = 0;
    auto frames = frames_of(c.pieces.size() + 1,
                            [&] { ASSERT_TRUE(transport_->send_counted(data, counter).ok()); });
    ASSERT_EQ(frames.size(), c.pieces.size() + 1);
    Bytes joined;
    for (std::size_t i = 0; i < c.pieces.size(); ++i) {
      const Bytes& f = frames[i];
      ASSERT_EQ(f.size(), 80 + c.pieces[i]);
      EXPECT_EQ(head_of(f),
                record_header(kChunkHex, "42424242", static_cast<std::uint32_t>(c.pieces[i])));
      joined.insert(joined.end(), f.begin() + 80, f.end());
    }
    EXPECT_EQ(joined, data);
    const Bytes& last = frames.back();
    // DataLast alone, with 28000 as its piece length whatever the pieces were.
    EXPECT_EQ(last, record_header(kDataLastHex, "42424242"));
    // Only the data counts, not the headers.
    EXPECT_EQ(counter, c.size);
  }
}

TEST_F(NiTransportTest, EmptyMessageIsOneBareDataHeader) {
  std::uint64_t counter = 0;
  auto frames = frames_of(1, [&] { ASSERT_TRUE(transport_->send_counted({}, counter).ok()); });
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], record_header(kDataHex, "42424242"));
  EXPECT_EQ(counter, 0u);
}

TEST_F(NiTransportTest, FailedSendLeavesTheCounterAndReportsIo) {
  peer_.close();
  std::uint64_t counter = 0;
  auto r = transport_->send_counted(iota(100), counter);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ProtocolError::Io) << r.error().message();
  EXPECT_EQ(counter, 0u);
}

TEST_F(NiTransportTest, CloseSendsOneDeallocateRecord) {
  ASSERT_TRUE(transport_->close().ok());
  auto f = read_frame(peer_);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(*f, record_header(kDeallocateHex, "42424242"));
  transport_.reset();  // dropping closes the socket: the peer sees the end
  EXPECT_FALSE(read_frame(peer_).has_value());
}

TEST_F(NiTransportTest, ReceiveMapsRequestTypesToKinds) {
  struct Case {
    std::uint8_t request;
    ReceiveKind kind;
  };
  const Case cases[] = {
      {0xCB, ReceiveKind::DataRecord},    {0x09, ReceiveKind::DataRecord},
      {0xD6, ReceiveKind::CancelRecord},  {0x08, ReceiveKind::ControlRecord},
      {0x0B, ReceiveKind::ControlRecord}, {0xD5, ReceiveKind::ControlRecord},
      {0x01, ReceiveKind::ControlRecord}, {0x05, ReceiveKind::ControlRecord},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.request));
    write_record(peer_, c.request, "12345678", wire::as_bytes("payload"));
    auto r = transport_->receive(kStepFunctionCall);
    ASSERT_TRUE(r.ok()) << r.error().message();
    EXPECT_EQ(r->kind, c.kind);
    EXPECT_EQ(wire::as_chars(r->data), "payload");
  }
}

TEST_F(NiTransportTest, FramesArrivingInPiecesOrTogetherComeOutWhole) {
  Bytes two = test::cpic_record(0xCB, "12345678", iota(40000));
  Bytes framed;
  wire::append_be32(framed, static_cast<std::uint32_t>(two.size()));
  wire::append_bytes(framed, two);
  const Bytes second = test::cpic_record(0x09, "12345678", wire::as_bytes("tail"));
  wire::append_be32(framed, static_cast<std::uint32_t>(second.size()));
  wire::append_bytes(framed, second);
  std::thread writer([&] {
    // Dribble the first bytes, then the rest in one piece.
    for (std::size_t i = 0; i < 10; ++i) test::write_all(peer_, ByteView(framed).subspan(i, 1));
    test::write_all(peer_, ByteView(framed).subspan(10));
  });
  auto a = transport_->receive(kStepFunctionCall);
  auto b = transport_->receive(kStepFunctionCall);
  writer.join();
  ASSERT_TRUE(a.ok() && b.ok());
  EXPECT_EQ(a->data, iota(40000));
  EXPECT_EQ(wire::as_chars(b->data), "tail");
}

TEST_F(NiTransportTest, ReceiveFailures) {
  // A record shorter than its header.
  write_frame(peer_, Bytes(79, 0x06));
  auto short_record = transport_->receive(kStepFunctionCall);
  ASSERT_FALSE(short_record.ok());
  EXPECT_EQ(short_record.error(), ProtocolError(wire::AppcError::truncated(79)));

  // Another protocol version.
  Bytes v5 = test::cpic_record(0xCB);
  v5[0] = 0x05;
  write_frame(peer_, v5);
  auto version = transport_->receive(kStepFunctionCall);
  ASSERT_FALSE(version.ok());
  EXPECT_EQ(version.error().message(), "APPC protocol version 0x05, expected 0x06");

  // A frame declaring more than 256 MiB fails as soon as its length is in.
  Bytes huge_head;
  wire::append_be32(huge_head, 0x10000001);
  test::write_all(peer_, huge_head);
  auto huge = transport_->receive(kStepFunctionCall);
  ASSERT_FALSE(huge.ok());
  EXPECT_EQ(huge.error(), ProtocolError(wire::NiError{0x10000001, 0x10000000}));
}

TEST_F(NiTransportTest, PeerCloseCarriesTheCallersLabel) {
  // Half a frame, then the end of the stream.
  test::write_all(peer_, unhex("0000005006CB"));
  peer_.close();
  auto r = transport_->receive(kStepAppcAllocate);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error(), ProtocolError::closed_by_peer(kStepAppcAllocate));
  EXPECT_EQ(r.error().message(), "connection closed by peer during APPC allocate");
}

TEST_F(NiTransportTest, TimeoutIsAnIoTimeoutAndTheTransportStaysUsable) {
  ASSERT_TRUE(transport_->set_timeout(std::chrono::milliseconds(20)).ok());
  auto r = transport_->receive(kStepFunctionCall);
  ASSERT_FALSE(r.ok());
  EXPECT_TRUE(r.error().is_timeout()) << r.error().message();
  write_record(peer_, 0xCB, "12345678", wire::as_bytes("late"));
  ASSERT_TRUE(transport_->set_timeout(std::nullopt).ok());
  auto late = transport_->receive(kStepFunctionCall);
  ASSERT_TRUE(late.ok()) << late.error().message();
  EXPECT_EQ(wire::as_chars(late->data), "late");
}

// ---------------------------------------------------------------- SNC

// A stand-in security context: wrapping appends a marker and flips bits.
class FakeSncChannel : public SncChannel {
 public:
  explicit FakeSncChannel(int* unwraps) : unwraps_(unwraps) {}
  wire::Result<Bytes, snc::SncError> wrap_message(ByteView plain) override {
    Bytes out(plain.begin(), plain.end());
    for (auto& b : out) b ^= 0x5A;
    wire::append_bytes(out, std::string_view("SEAL"));
    return out;
  }
  wire::Result<Bytes, snc::SncError> unwrap_message(ByteView wrapped) override {
    ++*unwraps_;
    if (wrapped.size() < 4) {
      return wire::err(snc::SncError::gss_failure("gss_unwrap", 13, 0, ""));
    }
    Bytes out(wrapped.begin(), wrapped.end() - 4);
    for (auto& b : out) b ^= 0x5A;
    return out;
  }

 private:
  int* unwraps_;
};

TEST_F(NiTransportTest, SncSendWrapsFramesAndCountsThePlainBytes) {
  int unwraps = 0;
  transport_->install_snc(std::make_unique<FakeSncChannel>(&unwraps));
  const Bytes plain = iota(1000);
  std::uint64_t counter = 0;
  auto frames = frames_of(1, [&] { ASSERT_TRUE(transport_->send_counted(plain, counter).ok()); });
  ASSERT_EQ(frames.size(), 1u);
  const Bytes& rec = frames[0];
  ASSERT_GT(rec.size(), 80u);
  EXPECT_EQ(head_of(rec), record_header(kSncDataHex, "42424242"));
  // Data: the SNC frame, then the 8-byte message trailer over it.
  const ByteView data = ByteView(rec).subspan(80);
  ASSERT_GT(data.size(), 8u);
  const ByteView frame = data.first(data.size() - 8);
  EXPECT_EQ(wire::load_be32(data.data() + frame.size()), frame.size());
  EXPECT_EQ(wire::load_be32(data.data() + frame.size() + 4), 0x00008500u);
  auto parsed = snc::parse_snc_frame(frame);
  ASSERT_TRUE(parsed.ok());
  EXPECT_EQ(parsed->kind, snc::SncFrameKind::wrapped());
  EXPECT_EQ(parsed->token.size(), plain.size() + 4);
  EXPECT_EQ(counter, plain.size());
  EXPECT_EQ(transport_->snc_frame_count(), 1u);
}

TEST_F(NiTransportTest, SncReceiveUnwrapsOnlyNonEmptyDataRecords) {
  int unwraps = 0;
  transport_->install_snc(std::make_unique<FakeSncChannel>(&unwraps));
  FakeSncChannel peer_side(&unwraps);
  const Bytes wrapped = peer_side.wrap_message(wire::as_bytes("plain reply")).value();
  const Bytes frame =
      snc::write_snc_frame(snc::SncFrameKind::wrapped(), std::nullopt, wrapped).value();

  write_record(peer_, 0xCB, "12345678", frame);
  auto r = transport_->receive(kStepFunctionCall);
  ASSERT_TRUE(r.ok()) << r.error().message();
  EXPECT_EQ(wire::as_chars(r->data), "plain reply");
  EXPECT_EQ(unwraps, 1);

  // Empty data records and control records pass without an unwrap.
  write_record(peer_, 0x09);
  auto empty = transport_->receive(kStepFunctionCall);
  ASSERT_TRUE(empty.ok());
  EXPECT_TRUE(empty->data.empty());
  write_record(peer_, 0xD6, "12345678", wire::as_bytes("raw"));
  auto cancel = transport_->receive(kStepFunctionCall);
  ASSERT_TRUE(cancel.ok());
  EXPECT_EQ(cancel->kind, ReceiveKind::CancelRecord);
  EXPECT_EQ(wire::as_chars(cancel->data), "raw");
  EXPECT_EQ(unwraps, 1);

  // An acceptor token where wrapped data belongs.
  const Bytes acceptor =
      snc::write_snc_frame(snc::SncFrameKind::acceptor_token(), std::nullopt, wrapped).value();
  write_record(peer_, 0xCB, "12345678", acceptor);
  auto wrong = transport_->receive(kStepFunctionCall);
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().message(),
            "SNC: expected wrapped data on an established context, got AcceptorToken");

  // Data that is not an SNC frame at all.
  write_record(peer_, 0xCB, "12345678", wire::as_bytes("not a frame at all, no magic"));
  auto garbage = transport_->receive(kStepFunctionCall);
  ASSERT_FALSE(garbage.ok());
  EXPECT_EQ(garbage.error().message(), "SNC: record does not begin with SNCFRAME");
}

// ---------------------------------------------------------------- cancel

TEST_F(NiTransportTest, CancelIsSentOnceThenThereIsNothingToCancel) {
  auto h = transport_->cancel_handle();
  ASSERT_TRUE(h.ok()) << h.error().message();
  ASSERT_TRUE(h->has_value());
  CancelHandle handle = std::move(**h);
  EXPECT_TRUE(handle.is_armed());

  ASSERT_TRUE(send_cancel(handle).ok());
  EXPECT_FALSE(handle.is_armed());
  auto second = send_cancel(handle);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), ProtocolError::nothing_to_cancel());

  // Exactly one cancel frame went out: after it the stream ends.
  handle.close();
  transport_.reset();
  auto f = read_frame(peer_);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(*f, record_header(kCancelHex, "42424242"));
  EXPECT_FALSE(read_frame(peer_).has_value());
}

TEST_F(NiTransportTest, FailedCancelWriteStaysArmed) {
  auto h = transport_->cancel_handle();
  ASSERT_TRUE(h.ok() && h->has_value());
  CancelHandle handle = std::move(**h);
  peer_.close();
  auto r = send_cancel(handle);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ProtocolError::Io);
  EXPECT_TRUE(handle.is_armed());
}

TEST_F(NiTransportTest, CancelWhileAnotherThreadWaitsInReceive) {
  auto h = transport_->cancel_handle();
  ASSERT_TRUE(h.ok() && h->has_value());
  CancelHandle handle = std::move(**h);

  ProtoResult<Received> got = wire::err(ProtocolError::nothing_to_cancel());
  std::thread waiter([&] { got = transport_->receive(kStepFunctionCall); });
  // The peer answers a cancel the way a gateway does: with a Canceled record.
  std::thread gateway([&] {
    auto f = read_frame(peer_);
    if (f && (*f)[1] == 0xD5) write_record(peer_, 0xD6, "42424242");
  });
  auto sent = send_cancel(handle);
  gateway.join();
  waiter.join();
  ASSERT_TRUE(sent.ok()) << sent.error().message();
  ASSERT_TRUE(got.ok()) << got.error().message();
  EXPECT_EQ(got->kind, ReceiveKind::CancelRecord);
}

TEST_F(NiTransportTest, ConcurrentCancelsSharingAFlagWriteOnce) {
  auto shared = std::make_shared<std::atomic<bool>>(true);
  std::vector<CancelHandle> handles;
  for (int i = 0; i < 8; ++i) {
    auto h = transport_->cancel_handle();
    ASSERT_TRUE(h.ok() && h->has_value());
    handles.push_back(std::move(**h));
    handles.back().share_flag(shared);
  }
  std::atomic<int> sent{0};
  std::atomic<int> refused{0};
  std::vector<std::thread> threads;
  for (auto& handle : handles) {
    CancelHandle* hp = &handle;
    threads.emplace_back([&sent, &refused, hp] {
      auto r = send_cancel(*hp);
      if (r.ok()) {
        ++sent;
      } else if (r.error().is(ProtocolError::NothingToCancel)) {
        ++refused;
      }
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(sent.load(), 1);
  EXPECT_EQ(refused.load(), 7);
  EXPECT_FALSE(shared->load());
  for (auto& handle : handles) handle.close();
  transport_.reset();
  int frames = 0;
  while (read_frame(peer_)) ++frames;
  EXPECT_EQ(frames, 1);
}

TEST_F(NiTransportTest, CancelNeverLandsInsideAChunkedMessage) {
  auto h = transport_->cancel_handle();
  ASSERT_TRUE(h.ok() && h->has_value());
  CancelHandle handle = std::move(**h);
  // A small send buffer makes the chunked send block between its records.
  const int small = 4096;
  ASSERT_EQ(::setsockopt(transport_->socket().fd(), SOL_SOCKET, SO_SNDBUF, &small, sizeof small),
            0);
  const Bytes big = iota(40 * 28000 + 17);  // 41 chunks and a DataLast

  std::thread sender([&] {
    std::uint64_t counter = 0;
    (void)transport_->send_counted(big, counter);
  });
  // Once the first chunk has arrived the send is under way; the cancel is
  // issued while it is blocked on the full buffer, which is when an
  // unserialised cancel frame would slip in between two records.
  std::vector<std::uint8_t> requests;
  auto first = read_frame(peer_);
  ASSERT_TRUE(first.has_value());
  requests.push_back((*first)[1]);
  std::thread canceller([&] { (void)send_cancel(handle); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  for (std::size_t i = 1; i < 43; ++i) {
    auto f = read_frame(peer_);
    if (!f) break;
    requests.push_back((*f)[1]);
  }
  // Writers still blocked (only when the stream went out of step) fail now.
  peer_.close();
  sender.join();
  canceller.join();
  ASSERT_EQ(requests.size(), 43u);
  // The cancel frame comes after DataLast, never between the chunks.
  EXPECT_EQ(requests.back(), 0xD5);
  EXPECT_EQ(std::count(requests.begin(), requests.end(), 0x08), 41);
  EXPECT_EQ(requests[41], 0x09);
}

}  // namespace
}  // namespace quib::proto

#include <gtest/gtest.h>

#include <string>

#include "snc/frame.hpp"
#include "tests/support/testutil.hpp"

namespace quib::snc {
namespace {

using quib::test::pattern;

std::string text_at(const Bytes& b, std::size_t off, std::size_t n) {
  return std::string(b.begin() + static_cast<long>(off), b.begin() + static_cast<long>(off + n));
}

TEST(SncFrameWrite, InitiatorTokenWithAnnouncement) {
  const Bytes ann = pattern(100, 1), token = pattern(10, 2);
  auto f = write_snc_frame(SncFrameKind::initiator_token(), ByteView(ann), token);
  ASSERT_TRUE(f.ok());
  const Bytes& b = *f;
  ASSERT_EQ(b.size(), 191u);
  EXPECT_EQ(text_at(b, 0, 8), "SNCFRAME");
  EXPECT_EQ(b[8], 0x02);
  EXPECT_EQ(b[9], 0x06);
  EXPECT_EQ(wire::load_be16(&b[10]), 0x0096);
  EXPECT_EQ(wire::load_be32(&b[12]), 10u);
  EXPECT_EQ(wire::load_be32(&b[16]), 49u);
  EXPECT_EQ(wire::load_be16(&b[20]), 0x0003);
  EXPECT_EQ(wire::load_be16(&b[22]), 0x007E);
  EXPECT_EQ(wire::load_be32(&b[24]), 1u);
  EXPECT_EQ(wire::load_be16(&b[28]), 102);
  EXPECT_EQ(wire::load_be16(&b[30]), 0x0003);
  EXPECT_EQ(Bytes(b.begin() + 32, b.begin() + 132), ann);
  EXPECT_EQ(Bytes(b.begin() + 132, b.begin() + 142), token);
  EXPECT_EQ(text_at(b, 142, 49), "Internal SNC-Adapter (Rev 1.1) to CommonCryptoLib");
}

TEST(SncFrameWrite, WrappedAndAcceptorFrames) {
  const Bytes token = pattern(5, 3);
  auto w = write_snc_frame(SncFrameKind::wrapped(), std::nullopt, token);
  ASSERT_TRUE(w.ok());
  Bytes want = wire::to_bytes("SNCFRAME");
  for (std::uint8_t x : {0x09, 0x06, 0x00, 0x18, 0, 0, 0, 5, 0, 0, 0, 0, 0x00, 0x03, 0x00, 0x00}) {
    want.push_back(x);
  }
  want.insert(want.end(), token.begin(), token.end());
  EXPECT_EQ(*w, want);  // 29 bytes, no banner

  auto a = write_snc_frame(SncFrameKind::acceptor_token(), std::nullopt, token);
  ASSERT_TRUE(a.ok());
  ASSERT_EQ(a->size(), 24u + 5 + 49);
  EXPECT_EQ(wire::load_be16(&(*a)[10]), 0x0018);
  EXPECT_EQ(wire::load_be32(&(*a)[16]), 49u);
  EXPECT_EQ(wire::load_be16(&(*a)[22]), 0x007A);
  EXPECT_EQ(text_at(*a, 29, 49), std::string(kSncBanner));

  auto u = write_snc_frame(SncFrameKind::unknown(0x05), std::nullopt, Bytes{});
  ASSERT_TRUE(u.ok());
  EXPECT_EQ((*u)[8], 0x05);
  EXPECT_EQ(wire::load_be16(&(*u)[22]), 0x007E);
}

TEST(SncFrameWrite, LengthLimits) {
  EXPECT_TRUE(
      write_snc_frame(SncFrameKind::initiator_token(), ByteView(Bytes(65533, 1)), Bytes{1}).ok());
  auto over = write_snc_frame(SncFrameKind::initiator_token(), ByteView(Bytes(65534, 1)), Bytes{1});
  ASSERT_FALSE(over.ok());
  EXPECT_EQ(over.error(), SncError::length_overflow("partner announcement", 65534));
  EXPECT_EQ(over.error().message(),
            "SNC partner announcement of 65534 bytes does not fit the frame's length field");

  // The token limit, decided from lengths alone.
  EXPECT_TRUE(snc_frame_size(SncFrameKind::wrapped(), std::nullopt, 0xFFFFFFFFu).ok());
  auto big = snc_frame_size(SncFrameKind::wrapped(), std::nullopt, 0x100000000ull);
  ASSERT_FALSE(big.ok());
  EXPECT_EQ(big.error(), SncError::length_overflow("token", 0x100000000ull));
  EXPECT_EQ(big.error().message(),
            "SNC token of 4294967296 bytes does not fit the frame's length field");
  EXPECT_EQ(*snc_frame_size(SncFrameKind::initiator_token(), 100, 10), 191u);
}

TEST(SncFrameParse, RoundTrips) {
  const SncFrameKind kinds[] = {SncFrameKind::initiator_token(), SncFrameKind::acceptor_token(),
                                SncFrameKind::wrapped(), SncFrameKind::unknown(0x05)};
  for (const SncFrameKind kind : kinds) {
    for (std::size_t ann : {std::size_t{0}, std::size_t{1}, std::size_t{100}, std::size_t{65533}}) {
      for (bool with_ann : {false, true}) {
        const Bytes token = pattern(37, static_cast<std::uint8_t>(ann));
        const Bytes announcement = pattern(ann, 9);
        auto f = write_snc_frame(
            kind, with_ann ? std::optional<ByteView>(announcement) : std::nullopt, token);
        ASSERT_TRUE(f.ok());
        auto p = parse_snc_frame(*f);
        ASSERT_TRUE(p.ok()) << kind.debug() << " " << ann;
        EXPECT_EQ(p->kind, kind);
        EXPECT_EQ(Bytes(p->token.begin(), p->token.end()), token);
      }
    }
  }
}

TEST(SncFrameParse, Errors) {
  struct Case {
    Bytes input;
    SncError error;
  };
  Bytes short_token =
      *write_snc_frame(SncFrameKind::acceptor_token(), std::nullopt, pattern(60, 1));
  wire::store_be32(&short_token[12], 100);
  short_token.resize(24 + 60);  // no banner either
  Bytes ann_cut =
      *write_snc_frame(SncFrameKind::initiator_token(), ByteView(pattern(50, 2)), Bytes(8, 1));
  const Bytes ann_head_cut(ann_cut.begin(), ann_cut.begin() + 27);
  const Bytes ann_body_cut(ann_cut.begin(), ann_cut.begin() + 60);
  Bytes not_frame = wire::to_bytes("SNCFRAMX");
  not_frame.resize(40);
  const Case cases[] = {
      {Bytes(23, 'S'), SncError::not_snc_frame()},
      {wire::to_bytes("SNCFRAME0123456789ABCDE"), SncError::not_snc_frame()},
      {not_frame, SncError::not_snc_frame()},
      {short_token, SncError::token_truncated(100, 60)},
      {ann_head_cut, SncError::token_truncated(8, 3)},
      {ann_body_cut, SncError::token_truncated(8, 0)},
  };
  for (const Case& c : cases) {
    auto p = parse_snc_frame(c.input);
    ASSERT_FALSE(p.ok()) << c.error.message();
    EXPECT_EQ(p.error(), c.error);
  }
  EXPECT_EQ(SncError::token_truncated(100, 60).message(),
            "SNC frame declares 100 token bytes but only 60 are present");
  EXPECT_EQ(SncError::not_snc_frame().message(), "record does not begin with SNCFRAME");
}

TEST(SncFrameParse, KindBytes) {
  struct Case {
    std::uint8_t byte;
    SncFrameKind::Tag tag;
    std::string debug;
  };
  const Case cases[] = {{0x02, SncFrameKind::InitiatorToken, "InitiatorToken"},
                        {0x04, SncFrameKind::AcceptorToken, "AcceptorToken"},
                        {0x09, SncFrameKind::Wrapped, "Wrapped"},
                        {0x05, SncFrameKind::Unknown, "Unknown(5)"},
                        {0xFF, SncFrameKind::Unknown, "Unknown(255)"}};
  for (const Case& c : cases) {
    Bytes f = *write_snc_frame(SncFrameKind::wrapped(), std::nullopt, Bytes{7});
    f[8] = c.byte;
    auto p = parse_snc_frame(f);
    ASSERT_TRUE(p.ok());
    EXPECT_EQ(p->kind.tag, c.tag);
    EXPECT_EQ(p->kind.byte, c.byte);
    EXPECT_EQ(p->kind.debug(), c.debug);
  }
}

TEST(SncError, Messages) {
  struct Case {
    SncError error;
    std::string message;
  };
  const Case cases[] = {
      {SncError::load_failed("/opt/libgss.so", "not found"),
       "cannot load the GSS-API library /opt/libgss.so: not found"},
      {SncError::missing_export("gss_wrap"), "the GSS-API library does not export gss_wrap"},
      {SncError::gss_failure("gss_init_sec_context", 0xD0000, 0x96C73A07, "no credentials"),
       "gss_init_sec_context failed: no credentials (major 0x000d0000, minor 0x96c73a07)"},
      {SncError::gss_failure("gss_wrap", 0x70000, 1, ""),
       "gss_wrap failed: major 0x00070000, minor 0x00000001"},
  };
  for (const Case& c : cases) EXPECT_EQ(c.error.message(), c.message);
}

}  // namespace
}  // namespace quib::snc

#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "wire/msserv.hpp"

namespace quib::wire {
namespace {

const std::string kEye("**MESSAGE**\0", 12);

// The eyecatcher, then the body.
Bytes reply_of(std::string_view body) {
  Bytes r(kEye.begin(), kEye.end());
  r.insert(r.end(), body.begin(), body.end());
  return r;
}

// One reply entry: port, host length, host.
std::string entry(std::uint16_t port, std::string_view host) {
  Bytes e(4);
  store_be16(e.data(), port);
  store_be16(e.data() + 2, static_cast<std::uint16_t>(host.size()));
  return std::string(as_chars(e)) + std::string(host);
}

TEST(MsReply, ErrorKindsAndTexts) {
  struct Case {
    const char* name;
    Bytes reply;
    MsError::Kind kind;
    std::string message;
  };
  const std::string no_eye = "response without the **MESSAGE** eyecatcher";
  const std::string no_server = "response contained no application server";
  const Case cases[] = {
      {"empty", {}, MsError::NoEyecatcher, no_eye},
      {"eyecatcher without its NUL", to_bytes("**MESSAGE**X\x0C\x81\x00\x01h"),
       MsError::NoEyecatcher, no_eye},
      {"eyecatcher alone", reply_of(""), MsError::NoApplicationServer, no_server},
      // Port 3201, a length of 2 with one host byte present.
      {"host past the end", reply_of(std::string("\x0C\x81\x00\x02h", 5)),
       MsError::NoApplicationServer, no_server},
  };
  for (const Case& c : cases) {
    auto r = parse_logon_group_reply(c.reply);
    ASSERT_FALSE(r) << c.name;
    EXPECT_EQ(r.error().kind, c.kind) << c.name;
    EXPECT_EQ(r.error().message(), c.message) << c.name;
  }
}

TEST(MsReply, TheEntryNearestTheEndWins) {
  // The last entry names a port out of range: the one before it counts.
  const Bytes reply = reply_of(entry(3201, "first") + entry(3299, "last") + entry(3300, "out"));
  auto r = parse_logon_group_reply(reply);
  ASSERT_TRUE(r) << r.error().message();
  EXPECT_EQ(*r, (ApplicationServer{"last", 3299}));
}

TEST(MsRequest, GroupFieldAndItsLimit) {
  // The group field is bytes 158..167 of the 206-byte request, NUL-filled;
  // every other byte is the same whatever the group.
  auto ten = logon_group_request("ABCDEFGHIJ");
  ASSERT_TRUE(ten);
  ASSERT_EQ(ten->size(), 206u);
  EXPECT_EQ(std::string(ten->begin() + 158, ten->begin() + 168), "ABCDEFGHIJ");
  auto two = logon_group_request("AB");
  ASSERT_TRUE(two);
  EXPECT_EQ(std::string(two->begin() + 158, two->begin() + 168),
            std::string("AB\0\0\0\0\0\0\0\0", 10));
  auto empty = logon_group_request("");
  ASSERT_TRUE(empty);
  for (std::size_t i = 0; i < 206; ++i) {
    const bool in_field = i >= 158 && i < 168;
    if (in_field)
      EXPECT_EQ((*empty)[i], 0) << i;
    else
      EXPECT_EQ((*empty)[i], (*ten)[i]) << i;
  }
  // The bytes around the field: its length (00 0A) before, zeros after.
  EXPECT_EQ((*empty)[156], 0x00);
  EXPECT_EQ((*empty)[157], 0x0A);
  EXPECT_EQ((*empty)[168], 0x00);

  auto eleven = logon_group_request("ABCDEFGHIJK");
  ASSERT_FALSE(eleven);
  EXPECT_EQ(eleven.error(), (MsError{MsError::GroupTooLong, "ABCDEFGHIJK"}));
  EXPECT_EQ(eleven.error().message(), "logon group ABCDEFGHIJK exceeds 10 characters");
}

}  // namespace
}  // namespace quib::wire

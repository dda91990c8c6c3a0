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
  auto ten = logon_group_request("ABCDEFGHIJ");
  ASSERT_TRUE(ten);
  EXPECT_EQ(std::string(ten->begin() + kLogonGroupOffset, ten->begin() + kLogonGroupOffset + 10),
            "ABCDEFGHIJ");
  // Everything outside the field is the template's.
  auto empty = logon_group_request("");
  ASSERT_TRUE(empty);
  EXPECT_EQ(*empty, kLogonGroupRequestTemplate);

  auto eleven = logon_group_request("ABCDEFGHIJK");
  ASSERT_FALSE(eleven);
  EXPECT_EQ(eleven.error(), (MsError{MsError::GroupTooLong, "ABCDEFGHIJK"}));
  EXPECT_EQ(eleven.error().message(), "logon group ABCDEFGHIJK exceeds 10 characters");
}

}  // namespace
}  // namespace quib::wire

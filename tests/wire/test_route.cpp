#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/route.hpp"

namespace quib::wire {
namespace {

using Hops = std::vector<RouteHop>;

TEST(RouteParse, ValidRoutes) {
  struct Case {
    std::string text;
    Hops hops;
  };
  const Case cases[] = {
      {"/H/host", {{"host", "3299", ""}}},
      {"  /H/host \t\n", {{"host", "3299", ""}}},
      {"/H/r1/S/3298/H/r2", {{"r1", "3298", ""}, {"r2", "3299", ""}}},
      {"/H/r1/P/secret/H/r2/W/pw2/S/1", {{"r1", "3299", "secret"}, {"r2", "1", "pw2"}}},
      {"/H/r1/P", {{"r1", "3299", ""}}},
      {"/H/r1/W/x/P", {{"r1", "3299", ""}}},  // a later empty value clears it
      {"/H/r1/", {{"r1", "3299", ""}}},       // trailing slash: empty key skipped
      {"/H/r1///H/r2", {{"r1", "3299", ""}, {"r2", "3299", ""}}},
  };
  for (const Case& c : cases) {
    auto r = parse_route(c.text);
    ASSERT_TRUE(r.ok()) << c.text << ": " << r.error().message();
    EXPECT_EQ(*r, c.hops) << c.text;
  }
}

TEST(RouteParse, Errors) {
  struct Case {
    std::string text;
    RouteError error;
    std::string message;
  };
  const Case cases[] = {
      {"", RouteError::no_hops(), "a route needs at least one hop"},
      {"  \t ", RouteError::no_hops(), "a route needs at least one hop"},
      {"/H/r1/S", RouteError::empty_value("S"), "route string has a /S/ with no value"},
      {"/H/r1/S/", RouteError::empty_value("S"), "route string has a /S/ with no value"},
      {"/H//S/3299", RouteError::empty_value("H"), "route string has a /H/ with no value"},
      {"/H/", RouteError::empty_value("H"), "route string has a /H/ with no value"},
      {"/H/r1//S/3299", RouteError::not_a_route("unknown segment /3299/"),
       "not a SAProuter route string: unknown segment /3299/ (expected /H/host/S/service)"},
      {"/h/r1", RouteError::not_a_route("/h/r1"),
       "not a SAProuter route string: /h/r1 (expected /H/host/S/service)"},
      {" H/r1 ", RouteError::not_a_route("H/r1"),
       "not a SAProuter route string: H/r1 (expected /H/host/S/service)"},
      {"/H/r1/X/y", RouteError::not_a_route("unknown segment /X/"),
       "not a SAProuter route string: unknown segment /X/ (expected /H/host/S/service)"},
      {"/H/r1/s/3299", RouteError::not_a_route("unknown segment /s/"),
       "not a SAProuter route string: unknown segment /s/ (expected /H/host/S/service)"},
      {"/H/r1/HS/1", RouteError::not_a_route("unknown segment /HS/"),
       "not a SAProuter route string: unknown segment /HS/ (expected /H/host/S/service)"},
  };
  for (const Case& c : cases) {
    auto r = parse_route(c.text);
    ASSERT_FALSE(r.ok()) << c.text;
    EXPECT_EQ(r.error(), c.error) << c.text;
    EXPECT_EQ(r.error().message(), c.message);
  }
}

TEST(RouteParse, PasswordsNeverShowInErrors) {
  // Routes with a password that fail to parse: the error text must mask it.
  const std::string pw = "Geheim42";
  const std::string routes[] = {
      "/h/r1/P/" + pw,           // whole string reported
      "H/r1/W/" + pw + "/H/r2",  // whole string reported
      "/H/r1//P/" + pw,          // the password becomes an unknown key
      "/H/r1/W/" + pw + "/X/y",  // a later segment fails
      "/H/r1/W/" + pw + "/S",    // a later value is missing
      "/H/r1/p/" + pw,           // lower-case p is an unknown segment
      "/H/r1/P/x/W//" + pw,
  };
  for (const std::string& route : routes) {
    auto r = parse_route(route);
    ASSERT_FALSE(r.ok()) << route;
    EXPECT_EQ(r.error().message().find(pw), std::string::npos) << r.error().message();
    EXPECT_EQ(r.error().text.find(pw), std::string::npos);
  }
  EXPECT_EQ(parse_route("/h/r1/P/" + pw).error().text, "/h/r1/P/***");
  EXPECT_EQ(parse_route("/H/r1//P/" + pw).error().text, "unknown segment /***/");
  // What follows a password up to the next segment letter is the password's.
  EXPECT_EQ(parse_route("/H/r1/P/pa/ss").error().message().find("ss"), std::string::npos);
  EXPECT_EQ(parse_route("/H/r1/P/pa/ss").error().text, "unknown segment /***/");
}

TEST(RouteMask, MasksPasswordValuesOnly) {
  struct Case {
    std::string text, masked;
  };
  const Case cases[] = {
      {"/H/r1/S/3299", "/H/r1/S/3299"},
      {"/H/r1/P/pw/H/r2/W/x", "/H/r1/P/***/H/r2/W/***"},
      {"/H/r1/P", "/H/r1/P"},
      {"/H/r1/P/", "/H/r1/P/"},
      {"h/r1/w/pw", "h/r1/w/***"},
      {"/h/r1/W//pw/H/r2", "/h/r1/W//***/H/r2"},
      // A password holding slashes is masked whole, up to the next segment
      // letter; a password that is itself a segment letter is masked too.
      {"/H/r1/P/pa/ss", "/H/r1/P/***"},
      {"/H/r1/P/a/b/c/H/r2", "/H/r1/P/***/H/r2"},
      {"/H/r1/W/S", "/H/r1/W/***"},
      {"/H/r1/P/pa/ss/S/3299", "/H/r1/P/***/S/3299"},
  };
  for (const Case& c : cases) EXPECT_EQ(mask_route_text(c.text), c.masked) << c.text;
}

TEST(RouteParse, RefusesNulInValues) {
  struct Case {
    std::string text, letter;
  };
  const Case cases[] = {
      {std::string("/H/r\0x", 6), "H"},
      {std::string("/H/r1/S/32\0", 11), "S"},
      {std::string("/H/r1/P/p\0w", 11), "P"},
      {std::string("/H/r1/W/\0", 9), "W"},
  };
  for (const Case& c : cases) {
    auto r = parse_route(c.text);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error(), RouteError::nul_in_value(c.letter));
    EXPECT_EQ(r.error().message(), "route string has a NUL byte in a /" + c.letter + "/ value");
  }
}

TEST(RouteRequest, TwoHopsByteForByte) {
  const Hops hops = {{"r1", "3299", ""}, {"app", "3300", ""}};
  auto req = build_route_request(hops);
  ASSERT_TRUE(req.ok());
  const std::string tail(
      "r1\0"
      "3299\0\0app\0"
      "3300\0\0",
      19);
  Bytes want = to_bytes("NI_ROUTE");
  for (std::uint8_t b : {0x00, 0x02, 0x28, 0x02, 0, 0, 0, 1, 0, 0, 0, 0x13, 0, 0, 0, 9}) {
    want.push_back(b);
  }
  append_bytes(want, tail);
  ASSERT_EQ(want.size(), 43u);
  EXPECT_EQ(*req, want);
}

TEST(RouteRequest, LengthsCountEveryHopAndPassword) {
  const Hops hops = {{"router-one", "3299", "pw"}, {"r2", "99", "secret"}, {"app", "3301", ""}};
  auto req = build_route_request(hops);
  ASSERT_TRUE(req.ok());
  const Bytes& b = *req;
  EXPECT_EQ(b[11], 3);
  EXPECT_EQ(load_be32(&b[12]), 2u);
  const std::uint32_t list = load_be32(&b[16]);
  EXPECT_EQ(list, (10 + 4 + 2 + 3) + (2 + 2 + 6 + 3) + (3 + 4 + 0 + 3));
  EXPECT_EQ(load_be32(&b[20]), 10u + 4 + 2 + 3);
  EXPECT_EQ(b.size(), 24u + list);
  EXPECT_EQ(std::string(b.begin() + 24, b.begin() + 24 + 19), std::string("router-one\0"
                                                                          "3299\0pw\0",
                                                                          19));
}

TEST(RouteRequest, Errors) {
  EXPECT_EQ(build_route_request(Hops{}).error(), RouteError::no_hops());
  EXPECT_EQ(build_route_request(Hops{{"r1"}}).error(), RouteError::no_hops());
  struct Case {
    Hops hops;
    std::string letter;
  };
  const Case cases[] = {
      {{{"r1"}, {std::string("a\0p", 3), "3300", ""}}, "H"},
      {{{"r1",
         std::string("32\0"
                     "99",
                     5),
         ""},
        {"app"}},
       "S"},
      {{{"r1", "3299", std::string("p\0w", 3)}, {"app"}}, "P"},
  };
  for (const Case& c : cases) {
    auto r = build_route_request(c.hops);
    ASSERT_FALSE(r.ok()) << c.letter;
    EXPECT_EQ(r.error(), RouteError::nul_in_value(c.letter));
  }
}

TEST(RouteDisplay, MasksPasswords) {
  auto hops = parse_route("/H/r1/W/Geheim/H/r2/S/3298");
  ASSERT_TRUE(hops.ok());
  hops->push_back(RouteHop{"app", "3300", ""});
  EXPECT_EQ(route_display(*hops), "/H/r1/S/3299/W/***/H/r2/S/3298/H/app/S/3300");
}

TEST(RouteHop, MovesAndCopiesKeepThePassword) {
  RouteHop a{"h", "1", "a-fairly-long-password-beyond-inline-storage"};
  RouteHop b = a;
  EXPECT_EQ(b, a);
  RouteHop c = std::move(b);
  EXPECT_EQ(c.password, a.password);
  EXPECT_TRUE(b.password.empty());
  RouteHop d{"x"};
  d = std::move(c);
  EXPECT_EQ(d, a);
  EXPECT_TRUE(c.password.empty());
  d = RouteHop{"y", "2", "s"};
  EXPECT_EQ(d.password, "s");
}

TEST(NiPong, Recognition) {
  struct Case {
    std::string reply;
    bool pong;
  };
  const Case cases[] = {
      {std::string("NI_PONG\0", 8), true},
      {std::string("NI_PONG\0trailing", 16), true},
      {"NI_PONGX", false},
      {"NI_PONG", false},
      {"", false},
      {std::string("NI_PING\0", 8), false},
      {"*ERR* route permission denied", false},
  };
  for (const Case& c : cases) EXPECT_EQ(is_ni_pong(as_bytes(c.reply)), c.pong) << c.reply;
}

}  // namespace
}  // namespace quib::wire

// Transaction IDs end to end against the simulated ABAP system: a TID is
// issued, released once and refused the second time; an unfinished guard
// releases its TID; TIDs the server pads, cuts short or leaves out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <string>

#include "proto/invoke/tid.hpp"
#include "proto/session/open.hpp"
#include "tests/proto/support/sim_process.hpp"
#include "tests/proto/support/sim_session.hpp"
#include "tests/support/testutil.hpp"
#include "wire/utf.hpp"

namespace quib::proto {
namespace {

using test::hex;
using test::log_field;
using test::ScenarioFile;
using test::SimProcess;
using namespace std::chrono_literals;

std::optional<RfcConnection> open(const SimProcess& sim) {
  auto c = open_direct(test::sim_logon_params(sim), std::make_shared<MetadataCache>());
  if (!c) {
    ADD_FAILURE() << "open: " << c.error().message();
    return std::nullopt;
  }
  return std::move(c).value();
}

// The TIDs named by the simulator's events of one kind, in order.
std::vector<std::string> event_tids(const SimProcess& sim, std::string_view event) {
  std::vector<std::string> out;
  for (const auto& e : sim.events(event)) out.push_back(log_field(e, "tid"));
  return out;
}

class TidSim : public test::SimSuite {};

TEST_F(TidSim, IssuesDistinctTidsAndReleasesEachOnce) {
  auto conn = open(*sim_);
  ASSERT_TRUE(conn);
  auto first = create_tid(*conn);
  auto second = create_tid(*conn);
  ASSERT_TRUE(first) << first.error().message();
  ASSERT_TRUE(second) << second.error().message();
  EXPECT_EQ(first->size(), kTidLength);
  EXPECT_NE(*first, *second);
  const auto created = event_tids(*sim_, "tid-created");
  EXPECT_NE(std::find(created.begin(), created.end(), *first), created.end());
  EXPECT_NE(std::find(created.begin(), created.end(), *second), created.end());

  ASSERT_TRUE(clear_tid(*conn, *first));
  // The server read the TID field as the TID's UTF-16LE bytes.
  const auto cleared = sim_->events("tid-cleared");
  ASSERT_FALSE(cleared.empty());
  EXPECT_EQ(log_field(cleared.back(), "tid"), *first);
  EXPECT_EQ(log_field(cleared.back(), "raw"), hex(wire::encode_utf16le(*first)));

  auto again = clear_tid(*conn, *first);
  ASSERT_FALSE(again);
  ASSERT_EQ(again.error().kind(), ProtocolError::AbapException);
  EXPECT_EQ(again.error().get<ProtocolError::AbapExceptionInfo>()->key, "TID_NOT_FOUND");
  // The session survives an ABAP exception.
  EXPECT_TRUE(clear_tid(*conn, *second));
}

TEST_F(TidSim, AnUnfinishedGuardReleasesItsTidAFinishedOneDoesNot) {
  auto conn = open(*sim_);
  ASSERT_TRUE(conn);
  auto kept = create_tid(*conn);
  auto dropped = create_tid(*conn);
  ASSERT_TRUE(kept && dropped);
  {
    TidGuard guard(*kept, std::nullopt, *conn);
    guard.finish();
  }
  { TidGuard guard(*dropped, std::string("Q1"), *conn); }
  const auto cleared = event_tids(*sim_, "tid-cleared");
  EXPECT_EQ(std::count(cleared.begin(), cleared.end(), *dropped), 1);
  EXPECT_EQ(std::count(cleared.begin(), cleared.end(), *kept), 0);
  // The kept unit is still open on the server: it can be released now.
  EXPECT_TRUE(clear_tid(*conn, *kept));
}

TEST(TidSimScripted, TidsThatArePaddedShortOrMissing) {
  const std::string tid = "0A1B2C3D4E5F000000000042";
  {
    ScenarioFile scenario(R"({"units": {"tids": ["  )" + tid + R"(   ", ")" + tid.substr(0, 23) +
                          R"("]}})");
    SimProcess sim({"--config", scenario.path()});
    ASSERT_TRUE(sim.running()) << sim.error();
    auto conn = open(sim);
    ASSERT_TRUE(conn);
    auto padded = create_tid(*conn);
    ASSERT_TRUE(padded) << padded.error().message();
    EXPECT_EQ(*padded, tid);
    auto short_tid = create_tid(*conn);
    ASSERT_FALSE(short_tid);
    EXPECT_EQ(short_tid.error().message(),
              "unexpected record during transaction id: a TID is 24 characters, got 23");
  }
  {
    ScenarioFile scenario(R"({"units": {"omit_tid": true}})");
    SimProcess sim({"--config", scenario.path()});
    ASSERT_TRUE(sim.running()) << sim.error();
    auto conn = open(sim);
    ASSERT_TRUE(conn);
    auto none = create_tid(*conn);
    ASSERT_FALSE(none);
    EXPECT_EQ(none.error().message(),
              "unexpected record during API_CREATE_TID: response without a TID");
  }
}

}  // namespace
}  // namespace quib::proto

// What the end-to-end suites share about the simulated ABAP system beyond
// the process itself: the account it accepts, a logged-on session, a suite
// fixture that starts one simulator for all tests of the suite, scenario
// files, and the fields of its log entries.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "proto/session/open.hpp"
#include "sim_process.hpp"

namespace quib::test {

// The simulator's gateway and the account it accepts: TESTER with the
// password "secret" in client 001, reads and writes timed out after 30 s.
inline proto::ConnectionParams sim_logon_params(const SimProcess& sim) {
  proto::ConnectionParams p;
  p.ashost = "127.0.0.1";
  p.port = sim.gateway_port();
  p.user = "TESTER";
  p.passwd = std::string("secret");
  p.client = "001";
  p.io_timeout = std::chrono::seconds(30);
  return p;
}

// A direct, logged-on session with a private metadata cache unless one is
// given. A failed open is a test failure (and the session not usable).
inline proto::RfcConnection open_sim_session(
    const proto::ConnectionParams& params, std::shared_ptr<proto::MetadataCache> cache = nullptr) {
  auto c = proto::open_direct(params,
                              cache ? std::move(cache) : std::make_shared<proto::MetadataCache>());
  if (!c) ADD_FAILURE() << "open: " << c.error().message();
  return std::move(c).value();
}

// The same with the account of sim_logon_params.
inline proto::RfcConnection open_sim_session(
    const SimProcess& sim, std::shared_ptr<proto::MetadataCache> cache = nullptr) {
  return open_sim_session(sim_logon_params(sim), std::move(cache));
}

// A scenario file for the simulator's --config: the JSON text in a fresh
// temporary file, removed with the object. A file that cannot be made is a
// test failure, and path() is then empty.
class ScenarioFile {
 public:
  explicit ScenarioFile(std::string_view json) {
    char path[] = "/tmp/quib-scenario-XXXXXX";
    const int fd = ::mkstemp(path);
    if (fd < 0) {
      ADD_FAILURE() << "cannot create a scenario file";
      return;
    }
    path_ = path;
    std::FILE* f = ::fdopen(fd, "w");
    if (!f) {
      ::close(fd);
      ADD_FAILURE() << "cannot write the scenario file " << path_;
      return;
    }
    const bool written = std::fwrite(json.data(), 1, json.size(), f) == json.size();
    if (std::fclose(f) != 0 || !written)
      ADD_FAILURE() << "cannot write the scenario file " << path_;
  }
  ~ScenarioFile() {
    if (!path_.empty()) std::remove(path_.c_str());
  }
  ScenarioFile(const ScenarioFile&) = delete;
  ScenarioFile& operator=(const ScenarioFile&) = delete;

  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// A suite whose tests share one simulator, started before the first test
// and stopped after the last. A suite that needs arguments or a scenario
// declares its own SetUpTestSuite calling start_sim.
class SimSuite : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { start_sim(); }
  static void TearDownTestSuite() {
    delete sim_;
    sim_ = nullptr;
    scenario_.reset();
  }
  void SetUp() override { ASSERT_TRUE(sim_->running()) << sim_->error(); }

  // Starts the simulator with these arguments, and with a scenario file
  // (--config) made from `scenario_json` unless that is empty; the file
  // lives as long as the simulator.
  static void start_sim(std::vector<std::string> args = {}, std::string_view scenario_json = {}) {
    if (!scenario_json.empty()) {
      scenario_ = std::make_unique<ScenarioFile>(scenario_json);
      args.insert(args.begin(), {"--config", scenario_->path()});
    }
    sim_ = new SimProcess(std::move(args));
  }

  static inline SimProcess* sim_ = nullptr;
  static inline std::unique_ptr<ScenarioFile> scenario_;
};

// The text of one field of a log entry, "<absent>" when it has none.
inline std::string log_field(const SimLogEntry& e, const std::string& key) {
  auto it = e.find(key);
  return it == e.end() ? std::string("<absent>") : it->second;
}

}  // namespace quib::test

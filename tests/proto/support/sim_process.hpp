// The simulated ABAP system (tests/sim/abapsim.py) as a child process of a
// GoogleTest end-to-end test.
//
//   quib::test::SimProcess sim({"--saprouter", "--fault", "close=logon@1"});
//   ASSERT_TRUE(sim.running()) << sim.error();
//   ... connect to 127.0.0.1:sim.gateway_port() ...
//   sim.wait_for_event("closed", std::chrono::seconds(10));
//   auto logon = sim.received_messages("logon");
//
// The child runs QUIB_PYTHON_EXE with QUIB_SOURCE_DIR/tests/sim/abapsim.py,
// its standard input on a pipe (it stops when the pipe closes, so a test that
// dies takes it down) and its log in a private temporary directory, removed
// with the object unless QUIB_KEEP_SIM_LOG is set in the environment.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quib::test {

// One line of the simulator's log: a flat JSON object whose values are kept
// as text (strings unescaped, numbers and booleans as written, null empty).
using SimLogEntry = std::map<std::string, std::string>;

// Parses one log line; nothing for a line that is not a flat JSON object.
std::optional<SimLogEntry> parse_sim_log_line(std::string_view line);

// Bytes of a hexadecimal text (either case); nothing when it is not hex.
std::optional<std::vector<uint8_t>> hex_to_bytes(std::string_view hex);

// Selects log entries: every field that is set must match exactly.
struct SimLogFilter {
  std::optional<std::string> server;
  std::optional<int> conn;
  std::optional<std::string> dir;
  std::optional<std::string> step;
  std::optional<std::string> kind;
  std::optional<std::string> event;
  std::optional<std::string> function;

  bool matches(const SimLogEntry& entry) const;
};

class SimProcess {
 public:
  // Starts the simulator with these extra arguments and waits at most
  // `start_limit` for its ports line.  A failure leaves running() false and
  // the reason in error().
  explicit SimProcess(std::vector<std::string> args = {},
                      std::chrono::milliseconds start_limit = std::chrono::seconds(20));
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool running() const { return pid_ > 0 && !stopped_; }
  const std::string& error() const { return error_; }
  pid_t pid() const { return pid_; }
  uint16_t gateway_port() const { return gateway_port_; }
  // 0 unless the simulator was started with --saprouter.
  uint16_t saprouter_port() const { return saprouter_port_; }
  // 0 unless the simulator was started with --msgserver (the gateway then
  // listens on a port 3300..3399).
  uint16_t msgserver_port() const { return msgserver_port_; }
  // 0 unless the simulator was started with --reggateway: the gateway for
  // registered servers and its control port (one JSON object per line).
  uint16_t reggateway_port() const { return reggateway_port_; }
  uint16_t regcontrol_port() const { return regcontrol_port_; }
  // 0 unless the simulator was started with --wsrfc: the WebSocket RFC
  // endpoint (TLS), and the files of the client certificate (DER) and key
  // (PKCS #8 DER) it accepts (empty without --wsrfc).
  uint16_t wsrfc_port() const { return wsrfc_port_; }
  const std::string& wsrfc_cert_path() const { return wsrfc_cert_path_; }
  const std::string& wsrfc_key_path() const { return wsrfc_key_path_; }
  const std::string& log_path() const { return log_path_; }

  // The raw JSON lines written so far (a line still being written is left out).
  std::vector<std::string> log_lines() const;
  std::vector<SimLogEntry> log() const;
  std::vector<SimLogEntry> entries(const SimLogFilter& filter) const;
  std::vector<SimLogEntry> events(std::string_view event) const;

  // Hex of the NI frames received with this step label (CPIC records with
  // their 80-byte header; the handshake and route frames as they came).
  std::vector<std::string> received_hex(std::string_view step) const;
  // Hex of the data messages received with this step label ("logon",
  // "call"): requests reassembled from their records, trailer included.
  std::vector<std::string> received_messages(std::string_view step) const;
  // Hex of the messages the simulator sent with this step label (before
  // they were cut into records).
  std::vector<std::string> sent_messages(std::string_view step) const;

  // Polls the log until `count` entries match; false when `limit` passed.
  bool wait_for(const SimLogFilter& filter, std::chrono::milliseconds limit,
                std::size_t count = 1) const;
  bool wait_for_event(std::string_view event, std::chrono::milliseconds limit,
                      std::size_t count = 1) const;

  // Closes the simulator's standard input and waits for it to exit (SIGTERM,
  // then SIGKILL when it does not); afterwards the log is complete.  Returns
  // the exit status, or -1 when the child did not exit normally.
  int stop(std::chrono::milliseconds limit = std::chrono::seconds(15));

 private:
  bool read_ports_line(std::chrono::milliseconds limit);
  void kill_and_reap();

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  int stdout_fd_ = -1;
  bool stopped_ = false;
  int exit_status_ = -1;
  uint16_t gateway_port_ = 0;
  uint16_t saprouter_port_ = 0;
  uint16_t msgserver_port_ = 0;
  uint16_t reggateway_port_ = 0;
  uint16_t regcontrol_port_ = 0;
  uint16_t wsrfc_port_ = 0;
  std::string wsrfc_cert_path_;
  std::string wsrfc_key_path_;
  std::string dir_;
  std::string log_path_;
  std::string error_;
};

}  // namespace quib::test

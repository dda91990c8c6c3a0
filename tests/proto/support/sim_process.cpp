#include "tests/proto/support/sim_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace quib::test {
namespace {

using Clock = std::chrono::steady_clock;

#ifndef QUIB_SOURCE_DIR
#error "QUIB_SOURCE_DIR must name the source tree"
#endif
#ifndef QUIB_PYTHON_EXE
#define QUIB_PYTHON_EXE "/usr/bin/python3"
#endif

constexpr auto kPoll = std::chrono::milliseconds(20);

void skip_space(std::string_view s, std::size_t& i) {
  while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == '\r' || s[i] == '\n')) ++i;
}

void append_utf8(std::string& out, uint32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::optional<uint32_t> hex4(std::string_view s, std::size_t at) {
  if (at + 4 > s.size()) return std::nullopt;
  uint32_t v = 0;
  for (std::size_t k = 0; k < 4; ++k) {
    char c = s[at + k];
    v <<= 4;
    if (c >= '0' && c <= '9')
      v |= static_cast<uint32_t>(c - '0');
    else if (c >= 'a' && c <= 'f')
      v |= static_cast<uint32_t>(c - 'a' + 10);
    else if (c >= 'A' && c <= 'F')
      v |= static_cast<uint32_t>(c - 'A' + 10);
    else
      return std::nullopt;
  }
  return v;
}

// A JSON string starting at s[i] == '"'; i ends after the closing quote.
std::optional<std::string> parse_string(std::string_view s, std::size_t& i) {
  if (i >= s.size() || s[i] != '"') return std::nullopt;
  ++i;
  std::string out;
  while (i < s.size()) {
    char c = s[i++];
    if (c == '"') return out;
    if (c != '\\') {
      out += c;
      continue;
    }
    if (i >= s.size()) return std::nullopt;
    char e = s[i++];
    switch (e) {
      case '"':
        out += '"';
        break;
      case '\\':
        out += '\\';
        break;
      case '/':
        out += '/';
        break;
      case 'b':
        out += '\b';
        break;
      case 'f':
        out += '\f';
        break;
      case 'n':
        out += '\n';
        break;
      case 'r':
        out += '\r';
        break;
      case 't':
        out += '\t';
        break;
      case 'u': {
        auto cp = hex4(s, i);
        if (!cp) return std::nullopt;
        i += 4;
        if (*cp >= 0xD800 && *cp < 0xDC00 && i + 6 <= s.size() && s[i] == '\\' && s[i + 1] == 'u') {
          auto lo = hex4(s, i + 2);
          if (lo && *lo >= 0xDC00 && *lo < 0xE000) {
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*lo - 0xDC00);
            i += 6;
          }
        }
        append_utf8(out, *cp);
        break;
      }
      default:
        return std::nullopt;
    }
  }
  return std::nullopt;
}

bool set_cloexec_pipe(int fds[2]) {
  if (::pipe(fds) != 0) return false;
  for (int k = 0; k < 2; ++k) ::fcntl(fds[k], F_SETFD, FD_CLOEXEC);
  return true;
}

bool wait_exit(pid_t pid, Clock::time_point deadline, int& status) {
  while (true) {
    pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return true;
    if (r < 0 && errno != EINTR) return true;  // already reaped: nothing left to wait for
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}

}  // namespace

std::optional<SimLogEntry> parse_sim_log_line(std::string_view s) {
  std::size_t i = 0;
  skip_space(s, i);
  if (i >= s.size() || s[i] != '{') return std::nullopt;
  ++i;
  SimLogEntry out;
  skip_space(s, i);
  if (i < s.size() && s[i] == '}') return out;
  while (true) {
    skip_space(s, i);
    auto key = parse_string(s, i);
    if (!key) return std::nullopt;
    skip_space(s, i);
    if (i >= s.size() || s[i] != ':') return std::nullopt;
    ++i;
    skip_space(s, i);
    if (i >= s.size()) return std::nullopt;
    std::string value;
    if (s[i] == '"') {
      auto v = parse_string(s, i);
      if (!v) return std::nullopt;
      value = std::move(*v);
    } else {
      std::size_t start = i;
      while (i < s.size() && s[i] != ',' && s[i] != '}' && s[i] != ' ') ++i;
      value = std::string(s.substr(start, i - start));
      if (value == "null") value.clear();
      if (value.empty() && s.substr(start, 4) != "null") return std::nullopt;
    }
    out[*key] = std::move(value);
    skip_space(s, i);
    if (i < s.size() && s[i] == ',') {
      ++i;
      continue;
    }
    if (i < s.size() && s[i] == '}') return out;
    return std::nullopt;
  }
}

std::optional<std::vector<uint8_t>> hex_to_bytes(std::string_view hex) {
  if (hex.size() % 2) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(hex.size() / 2);
  auto nibble = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  for (std::size_t k = 0; k < hex.size(); k += 2) {
    int hi = nibble(hex[k]);
    int lo = nibble(hex[k + 1]);
    if (hi < 0 || lo < 0) return std::nullopt;
    out.push_back(static_cast<uint8_t>(hi << 4 | lo));
  }
  return out;
}

bool SimLogFilter::matches(const SimLogEntry& e) const {
  auto same = [&](const char* key, const std::optional<std::string>& want) {
    if (!want) return true;
    auto it = e.find(key);
    return it != e.end() && it->second == *want;
  };
  if (conn) {
    auto it = e.find("conn");
    if (it == e.end() || it->second != std::to_string(*conn)) return false;
  }
  return same("server", server) && same("dir", dir) && same("step", step) && same("kind", kind) &&
         same("event", event) && same("function", function);
}

SimProcess::SimProcess(std::vector<std::string> args, std::chrono::milliseconds start_limit) {
  char dir_template[] = "/tmp/quib-sim-XXXXXX";
  if (::mkdtemp(dir_template) == nullptr) {
    error_ = std::string("mkdtemp failed: ") + std::strerror(errno);
    return;
  }
  dir_ = dir_template;
  log_path_ = dir_ + "/sim.log";

  std::vector<std::string> argv_text = {
      QUIB_PYTHON_EXE, std::string(QUIB_SOURCE_DIR) + "/tests/sim/abapsim.py", "--log", log_path_};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);

  int in_pipe[2];
  int out_pipe[2];
  if (!set_cloexec_pipe(in_pipe)) {
    error_ = std::string("pipe failed: ") + std::strerror(errno);
    return;
  }
  if (!set_cloexec_pipe(out_pipe)) {
    error_ = std::string("pipe failed: ") + std::strerror(errno);
    ::close(in_pipe[0]);
    ::close(in_pipe[1]);
    return;
  }
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in_pipe[0], 0);
  posix_spawn_file_actions_adddup2(&actions, out_pipe[1], 1);
  pid_t pid = -1;
  int rc = ::posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(in_pipe[0]);
  ::close(out_pipe[1]);
  stdin_fd_ = in_pipe[1];
  stdout_fd_ = out_pipe[0];
  if (rc != 0) {
    error_ = std::string("posix_spawn ") + argv[0] + " failed: " + std::strerror(rc);
    return;
  }
  pid_ = pid;
  if (!read_ports_line(start_limit)) kill_and_reap();
}

bool SimProcess::read_ports_line(std::chrono::milliseconds limit) {
  auto deadline = Clock::now() + limit;
  std::string line;
  while (line.find('\n') == std::string::npos) {
    auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left <= 0) {
      error_ = "the simulator printed no ports line within the time limit";
      return false;
    }
    pollfd p{stdout_fd_, POLLIN, 0};
    int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) continue;
    char buf[512];
    ssize_t n = ::read(stdout_fd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      error_ = "the simulator exited before printing its ports (see its standard error)";
      return false;
    }
    line.append(buf, static_cast<std::size_t>(n));
  }
  line.resize(line.find('\n'));
  auto ports = parse_sim_log_line(line);
  auto port_of = [&](const char* key) -> long {
    if (!ports || !ports->count(key) || ports->at(key).empty()) return 0;
    return std::strtol(ports->at(key).c_str(), nullptr, 10);
  };
  long gw = port_of("gateway");
  long router = port_of("saprouter");
  long msgserver = port_of("msgserver");
  if (gw <= 0 || gw > 65535 || router < 0 || router > 65535 || msgserver < 0 || msgserver > 65535) {
    error_ = "unexpected ports line: " + line;
    return false;
  }
  gateway_port_ = static_cast<uint16_t>(gw);
  saprouter_port_ = static_cast<uint16_t>(router);
  msgserver_port_ = static_cast<uint16_t>(msgserver);
  const long reggateway = port_of("reggateway");
  const long regcontrol = port_of("regcontrol");
  if (reggateway < 0 || reggateway > 65535 || regcontrol < 0 || regcontrol > 65535) {
    error_ = "unexpected ports line: " + line;
    return false;
  }
  reggateway_port_ = static_cast<uint16_t>(reggateway);
  regcontrol_port_ = static_cast<uint16_t>(regcontrol);
  const long wsrfc = port_of("wsrfc");
  if (wsrfc < 0 || wsrfc > 65535) {
    error_ = "unexpected ports line: " + line;
    return false;
  }
  wsrfc_port_ = static_cast<uint16_t>(wsrfc);
  if (wsrfc_port_ != 0) {
    wsrfc_cert_path_ = ports->count("wsrfc_cert") ? ports->at("wsrfc_cert") : "";
    wsrfc_key_path_ = ports->count("wsrfc_key") ? ports->at("wsrfc_key") : "";
  }
  return true;
}

void SimProcess::kill_and_reap() {
  if (pid_ <= 0 || stopped_) return;
  int status = 0;
  ::kill(pid_, SIGKILL);
  while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
  }
  stopped_ = true;
  exit_status_ = -1;
}

int SimProcess::stop(std::chrono::milliseconds limit) {
  if (stdin_fd_ >= 0) {
    ::close(stdin_fd_);
    stdin_fd_ = -1;
  }
  if (pid_ > 0 && !stopped_) {
    int status = 0;
    bool exited = wait_exit(pid_, Clock::now() + limit, status);
    if (!exited) {
      ::kill(pid_, SIGTERM);
      exited = wait_exit(pid_, Clock::now() + std::chrono::seconds(5), status);
    }
    if (!exited) {
      ::kill(pid_, SIGKILL);
      while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
      }
    }
    stopped_ = true;
    exit_status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  if (stdout_fd_ >= 0) {
    ::close(stdout_fd_);
    stdout_fd_ = -1;
  }
  return exit_status_;
}

SimProcess::~SimProcess() {
  stop(std::chrono::seconds(10));
  if (!dir_.empty() && std::getenv("QUIB_KEEP_SIM_LOG") == nullptr) {
    std::remove(log_path_.c_str());
    ::rmdir(dir_.c_str());
  }
}

std::vector<std::string> SimProcess::log_lines() const {
  std::vector<std::string> lines;
  std::ifstream in(log_path_, std::ios::binary);
  if (!in) return lines;
  std::stringstream all;
  all << in.rdbuf();
  std::string text = all.str();
  std::size_t start = 0;
  while (true) {
    std::size_t end = text.find('\n', start);
    if (end == std::string::npos) break;  // an unfinished last line is left out
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

std::vector<SimLogEntry> SimProcess::log() const {
  std::vector<SimLogEntry> out;
  for (const auto& line : log_lines()) {
    if (auto e = parse_sim_log_line(line)) out.push_back(std::move(*e));
  }
  return out;
}

std::vector<SimLogEntry> SimProcess::entries(const SimLogFilter& filter) const {
  std::vector<SimLogEntry> out;
  for (auto& e : log()) {
    if (filter.matches(e)) out.push_back(std::move(e));
  }
  return out;
}

std::vector<SimLogEntry> SimProcess::events(std::string_view event) const {
  SimLogFilter f;
  f.dir = "event";
  f.event = std::string(event);
  return entries(f);
}

namespace {

// What the log holds of the bytes of one direction, kind and step.
SimLogFilter bytes_filter(std::string_view dir, std::string_view kind, std::string_view step) {
  SimLogFilter f;
  f.dir = std::string(dir);
  f.kind = std::string(kind);
  f.step = std::string(step);
  return f;
}

std::vector<std::string> hex_of(const std::vector<SimLogEntry>& entries) {
  std::vector<std::string> out;
  for (const auto& e : entries) {
    auto it = e.find("hex");
    out.push_back(it == e.end() ? std::string() : it->second);
  }
  return out;
}

}  // namespace

std::vector<std::string> SimProcess::received_hex(std::string_view step) const {
  return hex_of(entries(bytes_filter("recv", "frame", step)));
}

std::vector<std::string> SimProcess::received_messages(std::string_view step) const {
  return hex_of(entries(bytes_filter("recv", "message", step)));
}

std::vector<std::string> SimProcess::sent_messages(std::string_view step) const {
  return hex_of(entries(bytes_filter("send", "message", step)));
}

bool SimProcess::wait_for(const SimLogFilter& filter, std::chrono::milliseconds limit,
                          std::size_t count) const {
  auto deadline = Clock::now() + limit;
  while (true) {
    if (entries(filter).size() >= count) return true;
    if (Clock::now() >= deadline) return false;
    std::this_thread::sleep_for(kPoll);
  }
}

bool SimProcess::wait_for_event(std::string_view event, std::chrono::milliseconds limit,
                                std::size_t count) const {
  SimLogFilter f;
  f.dir = "event";
  f.event = std::string(event);
  return wait_for(f, limit, count);
}

}  // namespace quib::test

// Test fixtures of the SNC tests, header-only so that the adapter's tests
// and the end-to-end tests over NI share them:
//
// - build_test_library compiles one of the C test libraries in
//   tests/snc/gss/ (the scripted fake, the Kerberos shim) into a private
//   temporary directory with the C compiler ($CC, else cc);
// - Krb5Realm runs tests/snc/krb5/realm.py (a throwaway KDC with keytabs
//   and a client ticket) as a child process and points this process's
//   Kerberos environment at it; `skip_reason()` is set when the Kerberos
//   tools are not installed.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <map>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace quib::test {

inline std::string source_path(const std::string& relative) {
  return std::string(QUIB_SOURCE_DIR) + "/" + relative;
}

// Runs argv[0] (looked up in PATH) and waits; the exit status, -1 when it
// could not be started or did not exit normally.
inline int run_program(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A private directory removed at exit with what was built into it.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/quib-snc-test-XXXXXX";
    if (::mkdtemp(templ) != nullptr) path_ = templ;
  }
  ~ScratchDir() {
    if (path_.empty()) return;
    if (DIR* d = ::opendir(path_.c_str())) {
      while (dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") ::unlink((path_ + "/" + name).c_str());
      }
      ::closedir(d);
    }
    ::rmdir(path_.c_str());
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

inline ScratchDir& scratch_dir() {
  static ScratchDir dir;
  return dir;
}

struct BuiltLibrary {
  std::string path;   // empty when the build failed
  std::string error;  // why it failed
};

// Compiles tests/snc/gss/<source> into <name>.so (once per process and
// name) with the extra compiler flags.
inline BuiltLibrary build_test_library(const std::string& name, const std::string& source,
                                       const std::vector<std::string>& flags = {}) {
  static std::map<std::string, BuiltLibrary> built;
  if (auto it = built.find(name); it != built.end()) return it->second;
  BuiltLibrary result;
  if (scratch_dir().path().empty()) {
    result.error = "no scratch directory";
    return built[name] = result;
  }
  const std::string out = scratch_dir().path() + "/" + name + ".so";
  const char* cc = std::getenv("CC");
  std::vector<std::string> args = {cc && *cc ? cc : "cc",
                                   "-shared",
                                   "-fPIC",
                                   "-O1",
                                   "-o",
                                   out,
                                   source_path("tests/snc/gss/" + source)};
  args.insert(args.end(), flags.begin(), flags.end());
  const int rc = run_program(args);
  if (rc == 0) {
    result.path = out;
  } else {
    result.error = "compiling " + source + " failed with status " + std::to_string(rc);
  }
  return built[name] = result;
}

// ---------------------------------------------------------------- Kerberos

class Krb5Realm {
 public:
  explicit Krb5Realm(std::chrono::seconds start_limit = std::chrono::seconds(60)) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
      error_ = "pipe failed";
      return;
    }
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    ::posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    const std::string python = QUIB_PYTHON_EXE;
    const std::string script = source_path("tests/snc/krb5/realm.py");
    const std::string lines = "--lines";
    char* argv[] = {const_cast<char*>(python.c_str()), const_cast<char*>(script.c_str()),
                    const_cast<char*>(lines.c_str()), nullptr};
    const int rc = ::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    stdin_fd_ = in[1];
    if (rc != 0) {
      pid_ = -1;
      ::close(out[0]);
      error_ = "cannot start " + script;
      return;
    }
    read_settings(out[0], start_limit);
    ::close(out[0]);
    if (!error_.empty() || !skip_.empty()) return;
    for (const auto& [var, key] : kEnvironment) {
      if (const char* old = std::getenv(var)) saved_[var] = old;
      ::setenv(var, setting(key).c_str(), 1);
    }
    ready_ = true;
  }

  ~Krb5Realm() {
    for (const auto& [var, key] : kEnvironment) {
      (void)key;
      if (!ready_) break;
      if (auto it = saved_.find(var); it != saved_.end()) {
        ::setenv(var, it->second.c_str(), 1);
      } else {
        ::unsetenv(var);
      }
    }
    if (stdin_fd_ >= 0) ::close(stdin_fd_);
    if (pid_ > 0) {
      // The script stops its KDC and removes its directory when its input
      // closes; SIGTERM when it takes too long.
      int status = 0;
      for (int i = 0; i < 200; ++i) {
        if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
      }
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, &status, 0);
    }
  }
  Krb5Realm(const Krb5Realm&) = delete;
  Krb5Realm& operator=(const Krb5Realm&) = delete;

  bool ready() const { return ready_; }
  const std::string& skip_reason() const { return skip_; }
  const std::string& error() const { return error_; }
  std::string setting(const std::string& key) const {
    auto it = settings_.find(key);
    return it == settings_.end() ? std::string() : it->second;
  }
  // "sapsim@localhost" and "rfcclient@localhost": host-based service names.
  std::string service_name() const { return setting("service_name"); }
  std::string client_name() const { return setting("client_name"); }
  std::string service_keytab() const { return setting("service_keytab"); }

 private:
  static constexpr std::pair<const char*, const char*> kEnvironment[] = {
      {"KRB5_CONFIG", "krb5_config"},
      {"KRB5CCNAME", "ccache"},
      {"KRB5RCACHEDIR", "rcache_dir"},
  };

  void read_settings(int fd, std::chrono::seconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string pending;
    for (;;) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) {
        error_ = "the Kerberos realm did not start in time";
        return;
      }
      pollfd p{fd, POLLIN, 0};
      if (::poll(&p, 1, static_cast<int>(left.count())) <= 0) continue;
      char buf[4096];
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) {
        error_ = "the Kerberos realm script ended before it was ready";
        return;
      }
      pending.append(buf, static_cast<std::size_t>(n));
      std::size_t eol;
      while ((eol = pending.find('\n')) != std::string::npos) {
        const std::string line = pending.substr(0, eol);
        pending.erase(0, eol + 1);
        if (line == "end") {
          if (auto it = settings_.find("skip"); it != settings_.end()) skip_ = it->second;
          if (auto it = settings_.find("error"); it != settings_.end()) error_ = it->second;
          return;
        }
        const std::size_t eq = line.find('=');
        if (eq != std::string::npos) settings_[line.substr(0, eq)] = line.substr(eq + 1);
      }
    }
  }

  pid_t pid_ = -1;
  int stdin_fd_ = -1;
  bool ready_ = false;
  std::string skip_;
  std::string error_;
  std::map<std::string, std::string> settings_;
  std::map<std::string, std::string> saved_;
};

}  // namespace quib::test

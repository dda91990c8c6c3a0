// Warm-cache round trips over loopback against the simulated ABAP system:
// STFC_CONNECTION through the whole call path (description from the cache,
// encoding, the NI transport, reassembly, decoding), beside a raw socket
// that replays the same request frame on a second logged-on conversation of
// the same simulator and reads the reply frame back without decoding it.
//
// The simulator is started by this program (QUIB_SOURCE_DIR/tests/sim) and
// stopped when it ends.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

#include "proto/invoke/invoke.hpp"
#include "proto/session/open.hpp"
#include "proto/transport/ni_transport.hpp"

namespace {

using namespace quib;
using namespace std::chrono_literals;

// The simulator as a child process: its standard input is a pipe (closing it
// stops the simulator), its first line of output names the gateway port.
class Simulator {
 public:
  Simulator() {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    pid_ = ::fork();
    if (pid_ == 0) {
      ::dup2(in[0], 0);
      ::dup2(out[1], 1);
      ::close(in[1]);
      ::close(out[0]);
      const std::string script = std::string(QUIB_SOURCE_DIR) + "/tests/sim/abapsim.py";
      ::execl("/usr/bin/python3", "python3", script.c_str(), static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    stdin_ = in[1];
    std::string line;
    char c;
    while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
    ::close(out[0]);
    const auto at = line.find("\"gateway\":");
    if (at != std::string::npos)
      port_ = static_cast<std::uint16_t>(std::atoi(line.c_str() + at + 10));
  }
  ~Simulator() {
    if (stdin_ >= 0) ::close(stdin_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  std::uint16_t port() const { return port_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  std::uint16_t port_ = 0;
};

Simulator& simulator() {
  static Simulator sim;
  return sim;
}

proto::RfcConnection open_session() {
  proto::ConnectionParams p;
  p.ashost = "127.0.0.1";
  p.port = simulator().port();
  p.user = "TESTER";
  p.passwd = std::string("secret");
  auto c = proto::open_direct(p, std::make_shared<proto::MetadataCache>());
  if (!c) {
    std::fprintf(stderr, "open: %s\n", c.error().message().c_str());
    std::abort();
  }
  return std::move(c).value();
}

const proto::TextImport kImports[] = {{"REQUTEXT", "round trip"}};

void BM_CallPath(benchmark::State& state) {
  auto conn = open_session();
  if (!proto::invoke_text(conn, "STFC_CONNECTION", kImports)) std::abort();  // warms the cache
  for (auto _ : state) {
    auto r = proto::invoke_text(conn, "STFC_CONNECTION", kImports);
    if (!r) {
      state.SkipWithError(r.error().message().c_str());
      break;
    }
    benchmark::DoNotOptimize(r->values.size());
  }
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

// Reads one NI frame (u32 BE length, then the payload) into `buf`.
bool read_frame(int fd, wire::Bytes& buf) {
  std::uint8_t len[4];
  auto read_n = [fd](std::uint8_t* p, std::size_t n) {
    while (n > 0) {
      const ssize_t r = ::recv(fd, p, n, 0);
      if (r <= 0) return false;
      p += r;
      n -= static_cast<std::size_t>(r);
    }
    return true;
  };
  if (!read_n(len, 4)) return false;
  buf.resize(wire::load_be32(len));
  return read_n(buf.data(), buf.size());
}

void BM_RawReplay(benchmark::State& state) {
  auto conn = open_session();
  // The request bytes the call path sends, encoded the same way.
  auto d = proto::function_description(conn, "STFC_CONNECTION");
  if (!d) std::abort();
  auto encoded = proto::encode_text_imports(conn, **d, kImports);
  auto request = proto::encode_classic_request("STFC_CONNECTION", encoded.value(),
                                               (*d)->requested_outputs(), {});
  auto& ni = dynamic_cast<proto::NiTransport&>(conn.transport());
  wire::Bytes frame;
  wire::append_cpic_frame(frame, wire::kDataTemplate, ni.conversation_id_bytes(), request.value());
  const int fd = ni.socket().fd();
  wire::Bytes reply;
  for (auto _ : state) {
    if (::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(frame.size())) {
      state.SkipWithError("send failed");
      break;
    }
    // One data record: the 80-byte header and the reply container.
    if (!read_frame(fd, reply) || reply.size() < 86 || reply[reply.size() - 6] != 0xFF ||
        reply[reply.size() - 1] != 0xFF) {
      state.SkipWithError("unexpected reply frame");
      break;
    }
    benchmark::DoNotOptimize(reply.data());
  }
  state.counters["calls/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

}  // namespace

BENCHMARK(BM_CallPath)->Name("roundtrip/call_path")->MinTime(3.0)->UseRealTime();
BENCHMARK(BM_RawReplay)->Name("anchor/raw_socket_replay")->MinTime(3.0)->UseRealTime();

BENCHMARK_MAIN();

// Diagnostics: the wire trace, the field dump and the basXML dumps.
//
// The wire trace and field dump switches are read once per process, so each
// environment setting runs in a child process: this binary re-executes itself
// with the setting and a filter that selects one of the DISABLED_Child tests,
// and the parent checks what the child wrote to standard error.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "proto/base/trace.hpp"
#include "wire/container.hpp"
#include "wire/dump.hpp"
#include "wire/utf.hpp"

namespace quib::proto {
namespace {

namespace fs = std::filesystem;
using wire::Bytes;
using wire::RecordId;

const char kChildDone[] = "CHILD-DONE\n";

// A small container: Function "RFC_PING", a password and an unnamed record.
Bytes sample_container() {
  wire::ContainerWriter w;
  w.put_record(RecordId::Function, wire::encode_utf16le("RFC_PING"));
  w.put_record(RecordId::Password, wire::as_bytes("s3cr3t-pw"));
  w.put_record(RecordId{0x0512}, {});
  return std::move(w).finish_container().value();
}

Bytes iota_bytes(std::size_t n) {
  Bytes b(n);
  for (std::size_t i = 0; i < n; ++i) b[i] = static_cast<std::uint8_t>(i);
  return b;
}

// Runs one child test with the given environment prefix ("VAR=value" words)
// and returns what it wrote to standard error.
std::string run_child(const std::string& test, const std::string& env) {
  const std::string cmd =
      "env -u DUVUDO_TRACE_WIRE -u QUIB_DUMP_FIELDS -u QUIB_DUMP_BASXML -u QUIB_DUMP_BASXML_DIR " +
      env + " /proc/" + std::to_string(::getpid()) +
      "/exe --gtest_also_run_disabled_tests --gtest_filter=DISABLED_Child." + test +
      " 2>&1 >/dev/null";
  FILE* p = ::popen(cmd.c_str(), "r");
  if (!p) {
    ADD_FAILURE() << "popen failed";
    return {};
  }
  std::string out;
  char buf[4096];
  std::size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
  const int status = ::pclose(p);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "child " << test << " failed";
  EXPECT_NE(out.find(kChildDone), std::string::npos) << "child " << test << " did not run";
  return out;
}

// ---------------------------------------------------------------- children

TEST(DISABLED_Child, TraceTwice) {
  const Bytes c = sample_container();
  trace_wire(kTraceSend, c);
  // The switch keeps its first state: removing or setting the variable now
  // changes nothing.
  if (std::getenv(kTraceWireEnv)) {
    ::unsetenv(kTraceWireEnv);
  } else {
    ::setenv(kTraceWireEnv, "1", 1);
  }
  trace_wire(kTraceRecv, Bytes{0x01, 0x02});
  write_stderr(kChildDone);
}

TEST(DISABLED_Child, DumpFieldsTwice) {
  const Bytes name = iota_bytes(10);
  const Bytes big = iota_bytes(100);
  const wire::Record records[] = {
      {RecordId::ParameterName, name},
      {RecordId::ParameterValue, big},
      {RecordId{0x0512}, {}},
  };
  dump_fields(records);
  if (std::getenv(kDumpFieldsEnv)) {
    ::unsetenv(kDumpFieldsEnv);
  } else {
    ::setenv(kDumpFieldsEnv, "", 1);
  }
  dump_fields(std::span(records, 1));
  write_stderr(kChildDone);
}

// ---------------------------------------------------------------- read-once switches

TEST(WireTrace, EmptyValueTurnsTheTraceOnForTheWholeProcess) {
  const std::string out = run_child("TraceTwice", "DUVUDO_TRACE_WIRE=");
  const Bytes c = sample_container();
  const std::string expected = "[wire] >> send (" + std::to_string(c.size()) + " B)\n" +
                               wire::describe_container(c) + "\n" + "[wire] << recv (2 B)\n" +
                               wire::describe_container(Bytes{0x01, 0x02}) + "\n" + kChildDone;
  EXPECT_EQ(out, expected);
  EXPECT_EQ(out.find("s3cr3t"), std::string::npos) << "a password reached the trace";
}

TEST(WireTrace, SettingTheVariableAfterTheFirstTracePointHasNoEffect) {
  EXPECT_EQ(run_child("TraceTwice", ""), kChildDone);
}

TEST(FieldDump, EveryRecordOneLineWithAtMost48Bytes) {
  const std::string out = run_child("DumpFieldsTwice", "QUIB_DUMP_FIELDS=0");
  std::string big_hex;
  for (int i = 0; i < 48; ++i) {
    char b[8];
    std::snprintf(b, sizeof b, i ? ", %02x" : "%02x", i);
    big_hex += b;
  }
  const std::string expected =
      "FIELD ParameterName(0x0201) 10 [00, 01, 02, 03, 04, 05, 06, 07, 08, 09]\n"
      "FIELD ParameterValue(0x0203) 100 [" +
      big_hex +
      "]\n"
      "FIELD 0x0512 0 []\n"
      // the switch stays on after the variable was removed
      "FIELD ParameterName(0x0201) 10 [00, 01, 02, 03, 04, 05, 06, 07, 08, 09]\n" +
      std::string(kChildDone);
  EXPECT_EQ(out, expected);
  EXPECT_NE(out.find(", 2f]"), std::string::npos);  // byte 47 is the last one shown
}

TEST(FieldDump, OffUnlessSetAtFirstUse) { EXPECT_EQ(run_child("DumpFieldsTwice", ""), kChildDone); }

// ---------------------------------------------------------------- basXML dumps

class BasxmlDump : public ::testing::Test {
 protected:
  void SetUp() override {
    ::unsetenv(kDumpBasxmlEnv);
    ::unsetenv(kDumpBasxmlDirEnv);
    char tmpl[] = "/tmp/quib_trace_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl), nullptr);
    root_ = tmpl;
    dir_ = root_ / "dumps";
    fs::create_directory(dir_);
  }
  void TearDown() override {
    ::unsetenv(kDumpBasxmlEnv);
    ::unsetenv(kDumpBasxmlDirEnv);
    std::error_code ec;
    fs::remove_all(root_, ec);
  }
  static std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> dir_entries() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(e.path().filename());
    return names;
  }
  // Runs one dump with standard error captured.
  static std::string dump(std::string_view kind, std::string_view fn, std::string_view doc) {
    ::testing::internal::CaptureStderr();
    dump_basxml(kind, fn, wire::as_bytes(doc));
    return ::testing::internal::GetCapturedStderr();
  }

  fs::path root_;
  fs::path dir_;
};

TEST_F(BasxmlDump, NothingWithoutTheSwitches) {
  EXPECT_EQ(dump(kDumpRequest, "Z_TEST", "<a/>"), "");
  EXPECT_TRUE(dir_entries().empty());
}

TEST_F(BasxmlDump, StandardErrorShowsTheDocumentLossily) {
  ::setenv(kDumpBasxmlEnv, "", 1);
  EXPECT_EQ(dump(kDumpReply, "Z_TEST", "<a>\xff</a>"),
            "--- basXML reply for Z_TEST ---\n<a>\xEF\xBF\xBD</a>\n--- end ---\n");
}

TEST_F(BasxmlDump, FilesPerFunctionAndKindAreOverwritten) {
  ::setenv(kDumpBasxmlDirEnv, dir_.c_str(), 1);
  const std::string doc("<x>\0\xff</x>", 9);
  EXPECT_EQ(dump(kDumpRequest, " Z_Test ", doc), "");
  EXPECT_EQ(dump(kDumpReply, "Z_Test", "reply"), "");
  EXPECT_EQ(slurp(dir_ / "z_test.request.bxml"), doc);
  EXPECT_EQ(slurp(dir_ / "z_test.reply.bxml"), "reply");
  EXPECT_EQ(dump(kDumpRequest, "Z_TEST", "v2"), "");
  EXPECT_EQ(slurp(dir_ / "z_test.request.bxml"), "v2");  // truncated, not appended
  EXPECT_EQ(dir_entries().size(), 2u);
}

TEST_F(BasxmlDump, BothSwitchesWorkIndependently) {
  ::setenv(kDumpBasxmlEnv, "1", 1);
  ::setenv(kDumpBasxmlDirEnv, dir_.c_str(), 1);
  EXPECT_EQ(dump(kDumpRequest, "F", "doc"), "--- basXML request for F ---\ndoc\n--- end ---\n");
  EXPECT_EQ(slurp(dir_ / "f.request.bxml"), "doc");
}

TEST_F(BasxmlDump, MissingDirectoryReportsOneLinePerDocument) {
  const fs::path missing = root_ / "missing";
  ::setenv(kDumpBasxmlDirEnv, missing.c_str(), 1);
  EXPECT_EQ(dump(kDumpRequest, "Z_F", "doc"), "QUIB_DUMP_BASXML_DIR: cannot write " +
                                                  (missing / "z_f.request.bxml").string() +
                                                  ": No such file or directory\n");
}

TEST_F(BasxmlDump, FunctionNamesCannotLeaveTheDirectory) {
  ::setenv(kDumpBasxmlDirEnv, dir_.c_str(), 1);
  EXPECT_EQ(dump(kDumpRequest, "../../evil", "a"), "");
  EXPECT_EQ(dump(kDumpRequest, "/BIC/Z_FN", "b"), "");
  EXPECT_EQ(dump(kDumpReply, "..", "c"), "");
  auto names = dir_entries();
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{"__.reply.bxml", "______evil.request.bxml",
                                             "_bic_z_fn.request.bxml"}));
  EXPECT_FALSE(fs::exists(root_ / "evil.request.bxml"));
}

TEST_F(BasxmlDump, PlantedLinksAreNeverFollowed) {
  ::setenv(kDumpBasxmlDirEnv, dir_.c_str(), 1);
  const fs::path outside = root_ / "outside.txt";
  std::ofstream(outside) << "precious";

  fs::create_symlink(outside, dir_ / "z_sym.request.bxml");
  const std::string sym = dump(kDumpRequest, "Z_SYM", "overwritten");
  EXPECT_EQ(
      sym.rfind(
          "QUIB_DUMP_BASXML_DIR: cannot write " + (dir_ / "z_sym.request.bxml").string() + ": ", 0),
      0u)
      << sym;
  EXPECT_TRUE(fs::is_symlink(dir_ / "z_sym.request.bxml"));

  fs::create_hard_link(outside, dir_ / "z_hard.request.bxml");
  const std::string hard = dump(kDumpRequest, "Z_HARD", "overwritten");
  EXPECT_EQ(hard.rfind("QUIB_DUMP_BASXML_DIR: cannot write ", 0), 0u) << hard;

  EXPECT_EQ(slurp(outside), "precious");
}

TEST_F(BasxmlDump, PlantedFifoIsRefusedWithoutWaitingForAReader) {
  const fs::path fifo = dir_ / "z_fifo.request.bxml";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  // In a child: opening a FIFO that nobody reads would block that thread for
  // good, so the child is killed by its alarm if the write waits.
  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::alarm(20);
    const std::string failure =
        write_dump_file(dir_.string(), "z_fifo.request.bxml", wire::as_bytes("document"));
    ::_exit(failure.empty() ? 1 : 0);
  }
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_FALSE(WIFSIGNALED(status)) << "the dump blocked on the FIFO";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the FIFO was written";
  EXPECT_TRUE(fs::is_fifo(fifo));
}

TEST(BasxmlDumpFileName, NamesAreLoweredTrimmedAndMadeSafe) {
  struct Case {
    const char* function;
    const char* kind;
    const char* expected;
  } cases[] = {
      {"Z_Test", "request", "z_test.request.bxml"},
      {"  RFC_PING\t", "reply", "rfc_ping.reply.bxml"},
      {"Z_\xC3\x84X", "reply", "z_\xC3\x84x.reply.bxml"},  // only ASCII letters change
      {"A\\B", "reply", "a_b.reply.bxml"},
      {"A.B", "reply", "a.b.reply.bxml"},  // a single dot is harmless
      {"", "request", "_.request.bxml"},
  };
  for (const auto& c : cases) EXPECT_EQ(basxml_dump_file_name(c.function, c.kind), c.expected);
}

}  // namespace
}  // namespace quib::proto

#include "proto/base/trace.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>

#include "wire/dump.hpp"
#include "wire/utf.hpp"

namespace quib::proto {

namespace {

bool env_present(const char* name) { return std::getenv(name) != nullptr; }

// Retries short writes and EINTR; gives up silently on any other failure of a
// closed or broken stream.
bool write_all_fd(int fd, const std::uint8_t* p, std::size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    p += w;
    n -= static_cast<std::size_t>(w);
  }
  return true;
}

std::mutex& stderr_lock() {
  static std::mutex* const m = new std::mutex;
  return *m;
}

}  // namespace

bool wire_trace_enabled() {
  static const bool on = env_present(kTraceWireEnv);
  return on;
}

bool field_dump_enabled() {
  static const bool on = env_present(kDumpFieldsEnv);
  return on;
}

void write_stderr(std::string_view text) {
  std::lock_guard guard(stderr_lock());
  std::fflush(stderr);  // keep the order of anything stdio still buffers
  write_all_fd(STDERR_FILENO, reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

std::string format_wire_trace(std::string_view label, wire::ByteView data) {
  return fmt::format("[wire] {} ({} B)\n{}\n", label, data.size(), wire::describe_container(data));
}

void trace_wire(std::string_view label, wire::ByteView data) {
  if (!wire_trace_enabled()) return;
  write_stderr(format_wire_trace(label, data));
}

std::string format_field_line(const wire::Record& record) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string line =
      fmt::format("FIELD {} {} [", wire::record_id_text(record.id), record.value.size());
  const std::size_t shown = std::min(record.value.size(), kFieldDumpBytes);
  line.reserve(line.size() + shown * 4 + 2);
  for (std::size_t i = 0; i < shown; ++i) {
    if (i > 0) line += ", ";
    line += kHex[record.value[i] >> 4];
    line += kHex[record.value[i] & 0xF];
  }
  line += "]\n";
  return line;
}

void dump_fields(std::span<const wire::Record> records) {
  if (!field_dump_enabled()) return;
  for (const auto& r : records) write_stderr(format_field_line(r));
}

std::string format_basxml_dump_head(std::string_view kind, std::string_view function_name) {
  return fmt::format("--- basXML {} for {} ---\n", kind, function_name);
}

std::string basxml_dump_file_name(std::string_view function_name, std::string_view kind) {
  std::string base = wire::ascii_lower(wire::trim_unicode(function_name));
  for (char& c : base) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 0x20 || u == 0x7F) c = '_';
  }
  if (base.find("..") != std::string::npos) {
    for (char& c : base)
      if (c == '.') c = '_';
  }
  if (base.empty()) base = "_";
  return fmt::format("{}.{}.bxml", base, kind);
}

std::string write_dump_file(const std::string& directory, const std::string& file_name,
                            wire::ByteView document) {
  const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return std::strerror(errno);
  // O_NOFOLLOW: a link planted under the dump's name is refused, never
  // followed out of the directory. O_NONBLOCK: a FIFO planted there fails the
  // open (or is refused below) instead of blocking the call until someone
  // reads it; a regular file is written the same either way. No O_TRUNC yet:
  // the file is checked first.
  const int fd =
      ::openat(dir, file_name.c_str(),
               O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC | O_NOCTTY, 0644);
  const int open_errno = errno;
  ::close(dir);
  if (fd < 0) return std::strerror(open_errno);
  std::string failure;
  struct stat st {};
  if (::fstat(fd, &st) != 0) {
    failure = std::strerror(errno);
  } else if (!S_ISREG(st.st_mode) || st.st_nlink != 1) {
    // A hard link would let the dump overwrite a file outside the directory.
    failure = "not a regular file with a single link";
  } else if (::ftruncate(fd, 0) != 0) {
    failure = std::strerror(errno);
  } else if (!write_all_fd(fd, document.data(), document.size())) {
    failure = std::strerror(errno);
  }
  if (::close(fd) != 0 && failure.empty()) failure = std::strerror(errno);
  return failure;
}

void dump_basxml(std::string_view kind, std::string_view function_name, wire::ByteView document) {
  if (env_present(kDumpBasxmlEnv)) {
    write_stderr(format_basxml_dump_head(kind, function_name));
    std::string body = wire::utf8_lossy(document);
    body += '\n';
    write_stderr(body);
    write_stderr("--- end ---\n");
  }
  if (const char* dir = std::getenv(kDumpBasxmlDirEnv)) {
    const std::string name = basxml_dump_file_name(function_name, kind);
    const std::string directory(dir);
    const std::string failure = write_dump_file(directory, name, document);
    if (!failure.empty()) {
      const std::string path = (std::filesystem::path(directory) / name).string();
      write_stderr(fmt::format("{}: cannot write {}: {}\n", kDumpBasxmlDirEnv, path, failure));
    }
  }
}

}  // namespace quib::proto

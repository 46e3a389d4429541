#include "controller/common/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <streambuf>
#include <vector>

#include "controller/common/output_pump.h"

namespace controller {

namespace {

constexpr std::size_t kMaxLastLines = 64;
constexpr std::size_t kStreamBufferBytes = 64 * 1024;

std::mutex g_mutex;  // the history writer reports from its own thread
int g_error = 0;
std::unique_ptr<OutputPump> g_pump;
std::vector<std::string> g_last;      // closing lines, shown again if they may be lost
std::FILE* g_stdout_saved = nullptr;  // the C library's own stdout, given back at the end
std::FILE* g_own = nullptr;  // our lines' stream into the buffer, when stdout drops the plug-ins'
std::streambuf* g_cout_saved = nullptr;  // std::cout's own

// Standard error is the same pipe or file as standard output (2>&1): it
// would stall with it, so complaints take the buffered route too.
bool g_err_is_out = false;

// Where our own lines go: the buffer's stream, whatever stdout takes.
std::FILE* Own() { return g_own ? g_own : stdout; }

void ComplainLocked(const std::string& line) {
  std::FILE* to = g_err_is_out && g_pump && g_error == 0 ? Own() : stderr;
  std::fprintf(to, "qdx-host: %s\n", line.c_str());
  std::fflush(to);
}

bool SameFile(int a, int b) {
  struct stat sa {};
  struct stat sb {};
  return ::fstat(a, &sa) == 0 && ::fstat(b, &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void OutputFailed(int error) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_error != 0) return;
  g_error = error;
  ComplainLocked(std::string("standard output: ") + std::strerror(error) +
                 "; polling and storing go on, further lines are not shown");
}

int ErrorLocked() { return g_error; }

// Writes through stdio, like the plug-ins' own diagnostics, so the order holds.
bool WriteOut(const std::string& line) {
  errno = 0;
  std::FILE* out = Own();
  const bool ok = std::fwrite(line.data(), 1, line.size(), out) == line.size() &&
                  std::fputc('\n', out) != EOF && std::fflush(out) == 0;
  if (ok) return true;
  g_error = errno != 0 ? errno : EIO;
  ComplainLocked(std::string("standard output: ") + std::strerror(g_error) +
                 "; polling and storing go on, further lines are not shown");
  return false;
}

// What stdio hands on goes straight into the buffer, not through the pipe.
ssize_t PutText(void* pump, const char* data, std::size_t size) {
  static_cast<OutputPump*>(pump)->Put(data, size);
  return static_cast<ssize_t>(size);
}

ssize_t DropText(void*, const char*, std::size_t size) { return static_cast<ssize_t>(size); }

// std::cout into whatever stdout is at each call, as sync_with_stdio does for
// the stdout it started with, so it keeps its order with printf.
class StdoutBuf : public std::streambuf {
 protected:
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    return std::fputc(traits_type::to_char_type(c), stdout) == EOF ? traits_type::eof() : c;
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    return static_cast<std::streamsize>(std::fwrite(s, 1, static_cast<std::size_t>(n), stdout));
  }
  int sync() override { return std::fflush(stdout) == 0 ? 0 : -1; }
};

// glibc lets stdout be assigned, and printf, puts and putchar, the plug-ins'
// included, take the stream from it at each call.
void RouteStdioLocked(OutputPump& pump, bool plugin_lines) {
  static char buffer[kStreamBufferBytes];
  std::FILE* stream =
      ::fopencookie(&pump, "w", cookie_io_functions_t{nullptr, PutText, nullptr, nullptr});
  if (!stream)
    throw std::runtime_error(std::string("cannot buffer standard output: ") + std::strerror(errno));
  std::setvbuf(stream, buffer, _IOLBF, sizeof(buffer));
  if (!plugin_lines) {
    std::FILE* drop =
        ::fopencookie(nullptr, "w", cookie_io_functions_t{nullptr, DropText, nullptr, nullptr});
    if (!drop) {
      std::fclose(stream);
      throw std::runtime_error(std::string("cannot buffer standard output: ") +
                               std::strerror(errno));
    }
    g_own = stream;
    stream = drop;
  }
  g_stdout_saved = stdout;
  stdout = stream;
  static StdoutBuf* const cout_buf = new StdoutBuf;  // never destroyed: exit flushes std::cout
  g_cout_saved = std::cout.rdbuf(cout_buf);
}

void UnrouteStdioLocked() {
  if (!g_stdout_saved) return;
  std::cout.rdbuf(g_cout_saved);
  std::FILE* stream = stdout;
  stdout = g_stdout_saved;
  g_stdout_saved = nullptr;
  std::fclose(stream);  // writes what it still holds into the buffer
  if (g_own) std::fclose(g_own);
  g_own = nullptr;
}

}  // namespace

void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is fd itself, as every lower one is open. Not
    // close-on-exec: a standard descriptor is every child's too.
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
}

bool StdoutIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  unsigned long long dev = 0;
  unsigned long long ino = 0;
  if (!stream || std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  return ::fstat(STDOUT_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

void StartOutput(bool plugin_lines) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_pump) return;
  std::cout.flush();
  std::fflush(stdout);
  g_err_is_out = SameFile(STDOUT_FILENO, STDERR_FILENO);
  auto pump = std::make_unique<OutputPump>(STDOUT_FILENO, kOutputBufferBytes, OutputFailed);
  pump->Start();
  RouteStdioLocked(*pump, plugin_lines);
  g_pump = std::move(pump);
}

void FinishOutput(std::chrono::milliseconds wait) {
  std::unique_ptr<OutputPump> pump;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
    UnrouteStdioLocked();
    std::fflush(stdout);
    pump = std::move(g_pump);
  }
  if (!pump) return;
  const bool written = pump->Finish(OutputPump::Clock::now() + wait);
  std::lock_guard<std::mutex> lock(g_mutex);
  if (!written) {
    (void)pump.release();      // its threads may still use it; they end with the process
    if (g_err_is_out) return;  // standard error stalls with it: nothing more can be shown
    ComplainLocked("standard output is not being read; the closing lines follow here");
  }
  if (!written || g_error != 0) {
    for (const std::string& line : g_last) std::fprintf(stderr, "%s\n", line.c_str());
    std::fflush(stderr);
  }
  g_last.clear();
}

std::uint64_t OutputLinesDropped() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_pump ? g_pump->dropped() : 0;
}

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (ErrorLocked() == 0) WriteOut(line);
}

void Complain(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ComplainLocked(line);
}

void SayLast(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (ErrorLocked() == 0 && WriteOut(line)) {
    if (g_pump && g_last.size() < kMaxLastLines) g_last.push_back(line);
    return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

int OutputError() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_error;
}

}  // namespace controller

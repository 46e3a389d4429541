#include "controller/common/output.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <vector>

#include "controller/common/output_pump.h"

namespace controller {

namespace {

constexpr std::size_t kMaxLastLines = 64;

std::mutex g_mutex;  // the history writer reports from its own thread
int g_error = 0;
std::unique_ptr<OutputPump> g_pump;
std::vector<std::string> g_last;  // closing lines, shown again if they may be lost

// Standard error is the same pipe or file as standard output (2>&1): it
// would stall with it, so complaints take the buffered route too.
bool g_err_is_out = false;

void ComplainLocked(const std::string& line) {
  std::FILE* to = g_err_is_out && g_pump && g_error == 0 ? stdout : stderr;
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
  const bool ok = std::fwrite(line.data(), 1, line.size(), stdout) == line.size() &&
                  std::fputc('\n', stdout) != EOF && std::fflush(stdout) == 0;
  if (ok) return true;
  g_error = errno != 0 ? errno : EIO;
  ComplainLocked(std::string("standard output: ") + std::strerror(g_error) +
                 "; polling and storing go on, further lines are not shown");
  return false;
}

}  // namespace

void EnsureStandardDescriptors() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (::fcntl(fd, F_GETFD) >= 0 || errno != EBADF) continue;
    // The lowest free number is fd itself, as every lower one is open.
    const int null_fd = ::open("/dev/null", O_RDWR);
    if (null_fd >= 0 && null_fd != fd) {
      ::dup2(null_fd, fd);
      ::close(null_fd);
    }
  }
}

void StartOutput() {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_pump) return;
  std::fflush(stdout);
  g_err_is_out = SameFile(STDOUT_FILENO, STDERR_FILENO);
  auto pump = std::make_unique<OutputPump>(STDOUT_FILENO, kOutputBufferBytes, OutputFailed);
  pump->Start();
  g_pump = std::move(pump);
}

void FinishOutput(std::chrono::milliseconds wait) {
  std::unique_ptr<OutputPump> pump;
  {
    std::lock_guard<std::mutex> lock(g_mutex);
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

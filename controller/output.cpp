#include "controller/output.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace controller {

namespace {

std::mutex g_mutex;  // the history writer reports from its own thread
int g_error = 0;

void ComplainLocked(const std::string& line) {
  std::fprintf(stderr, "qdx-host: %s\n", line.c_str());
  std::fflush(stderr);
}

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

void Say(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_error == 0) WriteOut(line);
}

void Complain(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  ComplainLocked(line);
}

void SayLast(const std::string& line) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_error == 0 && WriteOut(line)) return;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

int OutputError() {
  std::lock_guard<std::mutex> lock(g_mutex);
  return g_error;
}

}  // namespace controller

#include "responder.h"

#include <algorithm>
#include <iostream>

#include "controller/common/hex.h"
#include "controller/common/write_all.h"

namespace upssim {

volatile sig_atomic_t g_stop = 0;

namespace {

constexpr int kIdlePollMs = 200;
constexpr int kFullWaitMs = 100;  // a look at the stop flag at least this often

}  // namespace

void Log(const Options& opt, const std::string& text) {
  if (opt.verbose) std::cerr << "ups-sim: " << text << std::endl;
}

std::string Shown(const std::string& bytes) {
  std::string out;
  for (const char ch : bytes) {
    const auto c = static_cast<unsigned char>(ch);
    if (c == '\r') {
      out += "\\r";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c < 0x20 || c >= 0x7F || c == '\\') {
      out += "\\x";
      controller::AppendHexByte(out, c);
    } else {
      out += ch;
    }
  }
  return out;
}

bool WriteText(int fd, const std::string& text) {
  // The terminal is non-blocking: a full one is waited on in short steps, so
  // a stop signal ends the wait even when nobody reads the other side.
  return !g_stop && controller::WriteAll(fd, text.data(), text.size(), kFullWaitMs,
                                         [](bool) { return !g_stop; }) == 0;
}

bool WriteDueChunks(int fd, DueChunks& due, const Options& opt, int& wait_ms) {
  const Clock::time_point now = Clock::now();
  while (!due.empty() && due.begin()->first <= now) {
    Log(opt, "chunk " + Shown(due.begin()->second));
    if (!WriteText(fd, due.begin()->second)) return false;
    due.erase(due.begin());
  }
  wait_ms = -1;
  if (!due.empty()) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(due.begin()->first - now).count();
    wait_ms = static_cast<int>(std::min<long long>(left + 1, kIdlePollMs));
  }
  return true;
}

}  // namespace upssim

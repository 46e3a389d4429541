// What every reply model of ups-sim shares: its options, its log, and writing
// to the terminal, at once or when due.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

namespace upssim {

using Clock = std::chrono::steady_clock;

// Set by the stop signals' handler; a write blocked on a terminal nobody reads
// gives up once it is set.
extern volatile sig_atomic_t g_stop;

struct Options {
  std::string scenario_name = "normal";
  std::uint32_t seed = 1;
  int fail_after = 3;
  int late_ms = 500;  // scenario "late": how long after the poll the reply goes out
  bool exit_with_parent = false;
  bool verbose = false;
  std::string replay_path;
  std::string device;
};

void Log(const Options& opt, const std::string& text);

// The bytes as text with CR, LF and other control bytes escaped.
std::string Shown(const std::string& bytes);

// Writes every byte; false on an error or once a stop was asked for.
bool WriteText(int fd, const std::string& text);

// What answers the received command lines.
class Responder {
 public:
  virtual ~Responder() = default;
  // Answers one received command line; false when the answer could not be written.
  virtual bool Answer(int fd, const std::string& line) = 0;
  // Writes what is due by now; wait_ms becomes the time until more is due, or
  // -1. False when a write failed.
  virtual bool WriteDue(int /*fd*/, int& wait_ms) {
    wait_ms = -1;
    return true;
  }
};

// Chunks to write at their times; equal times keep their order.
using DueChunks = std::multimap<Clock::time_point, std::string>;

// Writes the chunks due by now; wait_ms as in Responder::WriteDue.
bool WriteDueChunks(int fd, DueChunks& due, const Options& opt, int& wait_ms);

}  // namespace upssim

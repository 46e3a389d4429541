// What ups-sim answers on its terminal: a scenario of the reply model, or
// the chunks a qdx-host capture recorded.
#pragma once

#include <signal.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "controller/link/capture.h"
#include "ups_model.h"

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
bool WriteAll(int fd, const std::string& text);

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

class Ups : public Responder {
 public:
  Ups(Scenario s, const Options& o) : scenario_(s), opt_(o), rng_(o.seed) {}
  bool Answer(int fd, const std::string& line) override;
  bool WriteDue(int fd, int& wait_ms) override;

 private:
  void Log(const std::string& text) const { upssim::Log(opt_, text); }

  Scenario scenario_;
  Options opt_;
  std::mt19937 rng_;
  Reading reading_{};
  long replies_ = 0;
  DueChunks due_;          // late replies
  bool babbling_ = false;  // logged once
};

struct Chunk {
  std::chrono::microseconds offset{0};  // after the poll
  std::string bytes;
};
using Window = std::vector<Chunk>;  // what one poll was answered with

// The windows of one device in a capture: each sent chunk opens one, and the
// received chunks up to the next sent one fill it.
std::vector<Window> WindowsOf(const std::vector<controller::CaptureEvent>& events,
                              const std::string& device);

// Answers the n-th poll with the chunks of the n-th captured window, each at
// its captured offset from the poll.
class Replay : public Responder {
 public:
  Replay(std::vector<Window> windows, const Options& o) : windows_(std::move(windows)), opt_(o) {}
  bool Answer(int fd, const std::string& line) override;
  bool WriteDue(int fd, int& wait_ms) override { return WriteDueChunks(fd, due_, opt_, wait_ms); }

 private:
  std::vector<Window> windows_;
  Options opt_;
  std::size_t next_ = 0;
  DueChunks due_;
};

}  // namespace upssim

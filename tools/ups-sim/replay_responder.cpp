#include "replay_responder.h"

#include <algorithm>
#include <cstdint>
#include <iostream>
#include <set>
#include <stdexcept>

namespace upssim {

std::vector<Window> WindowsOf(const std::vector<controller::CaptureEvent>& events,
                              const std::string& device) {
  std::vector<Window> windows;
  std::int64_t opened = 0;
  for (const controller::CaptureEvent& e : events) {
    if (e.device != device) continue;
    if (!e.received) {
      windows.emplace_back();
      opened = e.usec;
    } else if (!windows.empty()) {
      windows.back().push_back(
          Chunk{std::chrono::microseconds(std::max<std::int64_t>(0, e.usec - opened)), e.bytes});
    }
  }
  return windows;
}

bool Replay::Answer(int, const std::string& line) {
  if (next_ >= windows_.size()) {
    Log(opt_, "\"" + Shown(line) + "\" left unanswered: the capture has no more polls");
    return true;
  }
  const Clock::time_point now = Clock::now();
  for (const Chunk& c : windows_[next_]) due_.emplace(now + c.offset, c.bytes);
  ++next_;
  Log(opt_, "poll " + std::to_string(next_) + ": " + std::to_string(windows_[next_ - 1].size()) +
                " chunks to replay");
  return true;
}

std::vector<Window> LoadReplay(Options& opt) {
  std::string warning;
  const std::vector<controller::CaptureEvent> events =
      controller::ReadCapture(opt.replay_path, &warning);
  if (!warning.empty()) std::cerr << "ups-sim: warning: " << warning << std::endl;
  std::set<std::string> devices;
  for (const controller::CaptureEvent& e : events) devices.insert(e.device);
  std::string names;
  for (const std::string& d : devices) names += (names.empty() ? "" : ", ") + d;
  if (opt.device.empty()) {
    if (devices.size() != 1) {
      throw std::runtime_error(opt.replay_path + " holds " +
                               (devices.empty()
                                    ? std::string("no device")
                                    : "the devices " + names + "; pick one with --device"));
    }
    opt.device = *devices.begin();
  }
  if (devices.count(opt.device) == 0) {
    throw std::runtime_error(opt.replay_path + " holds no device \"" + opt.device +
                             "\" (it holds: " + (names.empty() ? "none" : names) + ")");
  }
  std::vector<Window> windows = WindowsOf(events, opt.device);
  if (windows.empty())
    throw std::runtime_error(opt.replay_path + ": device \"" + opt.device + "\" sent no poll");
  return windows;
}

}  // namespace upssim

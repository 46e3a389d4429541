// The capture replay: each poll answered with the chunks a qdx-host capture
// recorded after the device's poll of the same number.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <vector>

#include "controller/capture/capture.h"
#include "responder.h"

namespace upssim {

struct Chunk {
  std::chrono::microseconds offset{0};  // after the poll
  std::string bytes;
};
using Window = std::vector<Chunk>;  // what one poll was answered with

// The windows of one device in a capture: each sent chunk opens one, and the
// received chunks up to the next sent one fill it.
std::vector<Window> WindowsOf(const std::vector<controller::CaptureEvent>& events,
                              const std::string& device);

// The windows of opt.replay_path's device opt.device, which is set when the
// capture holds one device only; throws naming the file or the device.
std::vector<Window> LoadReplay(Options& opt);

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

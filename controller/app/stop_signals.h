// SIGINT, SIGTERM and SIGHUP as readable data on a descriptor the poll loop
// watches, so a signal never interrupts a device halfway through a cycle. A
// hang-up (the terminal or session went away) stops as cleanly as the others.
#pragma once

#include <functional>
#include <thread>

#include "controller/common/unique_fd.h"

namespace controller {

// Blocks the signals in the calling thread and every thread it starts from
// now on, and returns the descriptor they arrive on; -1 on failure.
int CatchStopSignals();

// The name of the next stop signal waiting on fd, or null when none waits.
// Read as soon as it is seen, so the first signal is the one named.
const char* ReadStopSignal(int fd);

// Reads the stop signals where no loop does: while qdx-host starts (a site
// file that is a FIFO blocks its open for ever) and during notify-test. The
// first one calls on_stop; then, unless End() comes within a grace of 2 s,
// or at once at a second one, qdx-host ends by the signal's default action.
class StopWatch {
 public:
  StopWatch(int stop_fd, bool ignore_hangup, std::function<void()> on_stop = nullptr);
  ~StopWatch() { End(); }
  // Ends the watch; a signal it took is sent again, for the loop to read.
  void End();

 private:
  void Watch();

  int fd_;
  bool ignore_hangup_;
  std::function<void()> on_stop_;
  UniqueFd end_;
  int caught_ = 0;
  std::thread thread_;
};

}  // namespace controller

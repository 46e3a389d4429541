// A small single-threaded loop: readiness of descriptors and timers on the
// steady clock, each with a handler. It knows nothing of devices.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "controller/common/unique_fd.h"

namespace controller {

class EventLoop {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = std::uint64_t;
  // Receives poll(2)'s bits: POLLIN, POLLOUT, POLLHUP, POLLERR.
  using FileHandler = std::function<void(short revents)>;
  using TimeHandler = std::function<void()>;

  // Throws std::system_error when the kernel refuses a readiness set.
  EventLoop();

  // Calls `handler` whenever fd is readable, hung up or failed; throws
  // std::system_error when fd cannot be watched. The id removes it again.
  Id WatchFile(int fd, FileHandler handler);
  void Unwatch(Id id);
  // Whether the handler of a watched descriptor is also called when it takes
  // output; throws std::system_error when the kernel refuses.
  void WatchOutput(Id id, bool on);

  // Calls `handler` once, at or soon after `at`.
  Id At(Clock::time_point at, TimeHandler handler);
  void Cancel(Id id) { timers_.erase(id); }

  // One pass: the timers due when it starts (a timer added meanwhile waits for
  // the next pass, so none can starve the descriptors), then a wait until the
  // next timer or `until`, then the handlers of the ready descriptors. Returns
  // false when waiting failed (errno tells why).
  bool RunOnce(Clock::time_point until);

 private:
  struct File {
    int fd;
    FileHandler handler;
    bool removed = false;
  };
  struct Timer {
    Clock::time_point at;
    TimeHandler handler;
  };
  using Due = std::pair<Clock::time_point, Id>;

  UniqueFd epoll_;
  Id next_id_ = 1;
  std::unordered_map<Id, File> files_;
  bool dispatching_ = false;
  std::vector<Id> removed_;  // unwatched while their batch was being handled
  std::unordered_map<Id, Timer> timers_;
  std::vector<Due> due_;   // heap, earliest first; cancelled entries are skipped
  std::vector<Id> ready_;  // the timers of the current pass
};

// Wakes a loop from another thread: an event descriptor the loop watches.
// Whoever may signal it late holds it by shared pointer, so a signal never
// lands in a number closed meanwhile and given to another file.
class Wakeup {
 public:
  // Throws std::system_error when no event descriptor can be had.
  static std::shared_ptr<Wakeup> Make();
  int fd() const { return fd_.get(); }
  void Signal() const;  // any thread
  void Clear() const;   // the loop's side, before it looks at what woke it

 private:
  explicit Wakeup(UniqueFd fd) : fd_(std::move(fd)) {}
  UniqueFd fd_;
};

}  // namespace controller

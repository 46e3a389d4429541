// When a stop ends the deliveries: no time at all until a stop comes, then
// the stop's deadline, which a second signal brings forward to now. Every
// wait of a delivery (a retry's pause, a command's run, a webhook's exchange)
// ends at it, whenever it was lowered. Any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace controller {

class StopClock {
 public:
  using Clock = std::chrono::steady_clock;

  // Brings the deadline forward to at (never back) and wakes every wait.
  void Lower(Clock::time_point at);
  Clock::time_point deadline() const;
  bool Passed() const { return Clock::now() >= deadline(); }
  // Waits until `until` or done(); false when the stop's deadline came
  // first. done reads state its setter changes before calling Wake().
  bool Sleep(Clock::time_point until, const std::function<bool()>& done = nullptr) const;
  void Wake() const;

 private:
  mutable std::mutex m_;
  mutable std::condition_variable cv_;
  Clock::time_point deadline_ = Clock::time_point::max();
};

}  // namespace controller

#include "controller/notify/stop_clock.h"

#include <algorithm>

namespace controller {

void StopClock::Lower(Clock::time_point at) {
  {
    std::lock_guard<std::mutex> lock(m_);
    deadline_ = std::min(deadline_, at);
  }
  cv_.notify_all();
}

StopClock::Clock::time_point StopClock::deadline() const {
  std::lock_guard<std::mutex> lock(m_);
  return deadline_;
}

bool StopClock::Sleep(Clock::time_point until, const std::function<bool()>& done) const {
  std::unique_lock<std::mutex> lock(m_);
  // The deadline is read again at each wake: a stop may have lowered it.
  while (!(done && done())) {
    const Clock::time_point now = Clock::now();
    if (now >= deadline_) return false;
    if (now >= until) return true;
    cv_.wait_until(lock, std::min(until, deadline_));
  }
  return true;
}

void StopClock::Wake() const {
  { std::lock_guard<std::mutex> lock(m_); }
  cv_.notify_all();
}

}  // namespace controller

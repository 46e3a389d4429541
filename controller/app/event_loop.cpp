#include "controller/app/event_loop.h"

#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <system_error>

namespace controller {

namespace {

constexpr int kMaxEvents = 64;
constexpr int kLongestWaitMs = 1000;  // also bounds a wait for a far or no deadline

bool Later(const std::pair<EventLoop::Clock::time_point, EventLoop::Id>& a,
           const std::pair<EventLoop::Clock::time_point, EventLoop::Id>& b) {
  return a.first > b.first;
}

// Rounded up, so a wait never ends just before its deadline and spins.
int WaitMs(EventLoop::Clock::time_point until, EventLoop::Clock::time_point now) {
  if (until <= now) return 0;
  const auto us = std::chrono::duration_cast<std::chrono::microseconds>(until - now).count();
  return static_cast<int>(std::min<long long>((us + 999) / 1000, kLongestWaitMs));
}

}  // namespace

EventLoop::EventLoop() : epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
  if (!epoll_) throw std::system_error(errno, std::generic_category(), "cannot watch descriptors");
}

EventLoop::Id EventLoop::WatchFile(int fd, FileHandler handler) {
  const Id id = next_id_++;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_ADD, fd, &ev) != 0)
    throw std::system_error(errno, std::generic_category(), "cannot watch a descriptor");
  files_.emplace(id, File{fd, std::move(handler)});
  return id;
}

void EventLoop::WatchOutput(Id id, bool on) {
  const auto it = files_.find(id);
  if (it == files_.end() || it->second.removed) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  if (on) ev.events |= EPOLLOUT;
  ev.data.u64 = id;
  if (::epoll_ctl(epoll_.get(), EPOLL_CTL_MOD, it->second.fd, &ev) != 0)
    throw std::system_error(errno, std::generic_category(), "cannot watch a descriptor");
}

void EventLoop::Unwatch(Id id) {
  const auto it = files_.find(id);
  if (it == files_.end()) return;
  // A descriptor closed already has left the set by itself; the call then fails.
  ::epoll_ctl(epoll_.get(), EPOLL_CTL_DEL, it->second.fd, nullptr);
  // A handler running now may be this one: it goes after the batch.
  if (dispatching_) {
    it->second.removed = true;
    removed_.push_back(id);
  } else {
    files_.erase(it);
  }
}

EventLoop::Id EventLoop::At(Clock::time_point at, TimeHandler handler) {
  const Id id = next_id_++;
  timers_.emplace(id, Timer{at, std::move(handler)});
  due_.emplace_back(at, id);
  std::push_heap(due_.begin(), due_.end(), Later);
  return id;
}

bool EventLoop::RunOnce(Clock::time_point until) {
  const Clock::time_point start = Clock::now();
  // Only the timers due now, taken out first: a handler may add or cancel others.
  ready_.clear();
  while (!due_.empty() && due_.front().first <= start) {
    std::pop_heap(due_.begin(), due_.end(), Later);
    ready_.push_back(due_.back().second);
    due_.pop_back();
  }
  for (Id id : ready_) {
    const auto it = timers_.find(id);
    if (it == timers_.end()) continue;  // cancelled
    TimeHandler handler = std::move(it->second.handler);
    timers_.erase(it);
    handler();
  }
  while (!due_.empty() && timers_.count(due_.front().second) == 0) {
    std::pop_heap(due_.begin(), due_.end(), Later);
    due_.pop_back();
  }

  const Clock::time_point wake = due_.empty() ? until : std::min(until, due_.front().first);
  epoll_event events[kMaxEvents];
  const int n = ::epoll_wait(epoll_.get(), events, kMaxEvents, WaitMs(wake, Clock::now()));
  if (n < 0) return errno == EINTR;
  dispatching_ = true;
  for (int i = 0; i < n; ++i) {
    // Looked up at each event: an earlier handler may have removed this one.
    const auto it = files_.find(events[i].data.u64);
    if (it == files_.end() || it->second.removed) continue;
    // epoll's readiness bits are poll(2)'s.
    it->second.handler(
        static_cast<short>(events[i].events & (EPOLLIN | EPOLLOUT | EPOLLHUP | EPOLLERR)));
  }
  dispatching_ = false;
  for (Id id : removed_) files_.erase(id);
  removed_.clear();
  return true;
}

std::shared_ptr<Wakeup> Wakeup::Make() {
  UniqueFd fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC));
  if (!fd)
    throw std::system_error(errno, std::generic_category(), "cannot make an event descriptor");
  return std::shared_ptr<Wakeup>(new Wakeup(std::move(fd)));
}

void Wakeup::Signal() const {
  const std::uint64_t one = 1;
  // Only a counter at its limit refuses, and it is readable then anyway.
  (void)!::write(fd_.get(), &one, sizeof(one));
}

void Wakeup::Clear() const {
  std::uint64_t n = 0;
  (void)!::read(fd_.get(), &n, sizeof(n));
}

}  // namespace controller

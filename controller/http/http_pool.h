// The status server's worker threads, with a bounded queue of requests.
#pragma once

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace controller {

// Complete requests waiting for a thread; more get 503.
constexpr std::size_t kMaxQueuedRequests = 64;
constexpr int kWorkerNice = 5;  // below the poll loop when the CPU is short
constexpr int kMaxNice = 19;    // the lowest priority there is

// Fixed threads that run a little below the poll loop's priority, so on a
// busy machine requests wait, not polls.
class Pool {
 public:
  explicit Pool(std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) threads_.emplace_back([this] { Work(); });
  }
  ~Pool() { Shutdown(); }

  bool TryEnqueue(std::function<void()> fn) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (stopping_ || jobs_.size() >= kMaxQueuedRequests) return false;
      jobs_.push_back(std::move(fn));
    }
    cv_.notify_one();
    return true;
  }

  // Runs what is queued, then joins the threads.
  void Shutdown() {
    {
      std::lock_guard<std::mutex> lock(mu_);
      stopping_ = true;
    }
    cv_.notify_all();
    for (std::thread& t : threads_) {
      if (t.joinable()) t.join();
    }
  }

 private:
  void Work() {
    // A thread's nice value is its own on Linux, and starts as its creator's:
    // kWorkerNice above it keeps workers below a loop started at any nice
    // value (lowering a nice value needs a privilege). Failure only costs priority.
    const id_t tid = static_cast<id_t>(::syscall(SYS_gettid));
    errno = 0;
    const int base = ::getpriority(PRIO_PROCESS, tid);
    if (errno == 0) (void)::setpriority(PRIO_PROCESS, tid, std::min(base + kWorkerNice, kMaxNice));
    for (;;) {
      std::function<void()> job;
      {
        std::unique_lock<std::mutex> lock(mu_);
        cv_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        if (jobs_.empty()) return;
        job = std::move(jobs_.front());
        jobs_.pop_front();
      }
      job();
    }
  }

  std::mutex mu_;
  std::condition_variable cv_;
  std::deque<std::function<void()>> jobs_;
  std::vector<std::thread> threads_;
  bool stopping_ = false;
};

}  // namespace controller

// One accepted connection as the HTTP library's stream: the bytes the
// acceptor already read come first, then the socket. Every wait is bounded and
// ends when the server stops, so no client can hold a worker for long.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <string>

namespace controller {

// A write that makes no progress for this long fails.
constexpr auto kWriteTimeout = std::chrono::seconds(5);

class ConnStream : public httplib::Stream {
 public:
  using Clock = std::chrono::steady_clock;

  ConnStream(int fd, std::string received, const std::atomic<bool>& stopping)
      : fd_(fd), received_(std::move(received)), stopping_(stopping) {}

  bool is_readable() const override;
  bool is_writable() const override;
  ssize_t read(char* ptr, size_t size) override;
  ssize_t write(const char* ptr, size_t size) override;
  void get_remote_ip_and_port(std::string& ip, int& port) const override;
  void get_local_ip_and_port(std::string& ip, int& port) const override;
  socket_t socket() const override { return fd_; }

  // Runs fn with this stream as the calling thread's current one.
  template <typename Fn>
  auto Serve(Fn fn) {
    struct Current {
      explicit Current(ConnStream* s) { current_ = s; }
      ~Current() { current_ = nullptr; }
    } set(this);
    return fn();
  }

  // The latest time the next writes may finish on the calling thread's
  // current stream (an event stream's oldest unsent event ages out then);
  // false when there is none.
  static bool SetWriteDeadline(Clock::time_point deadline);
  // Caps what the current stream's socket holds for its client.
  static void LimitSendBuffer(int bytes);

 private:
  // Waits for events on the socket until the deadline, in short slices so a
  // stop is seen; true when they came.
  bool Wait(short events, Clock::time_point deadline) const;

  static thread_local ConnStream* current_;

  int fd_;
  std::string received_;
  std::size_t taken_ = 0;
  const std::atomic<bool>& stopping_;
  Clock::time_point write_deadline_{};  // none while default-constructed
};

}  // namespace controller

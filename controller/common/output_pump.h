// Keeps a slow or stalled reader of an output descriptor from holding up the
// process: text handed to Put, and whatever is written to the descriptor
// (which becomes a pipe that a thread drains at once), goes into a bounded
// buffer, and another thread writes the buffer to the real output: a line at
// once after a quiet spell, a stream of lines about every 20 ms. When the
// buffer is full the oldest unwritten lines are dropped and counted.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace controller {

constexpr std::size_t kOutputBufferBytes = 1024 * 1024;

// "1,234,567".
std::string Grouped(std::uint64_t n);

// Cuts whole lines off the front of text so that it holds at most capacity
// bytes (a lone line longer than capacity goes too); returns the lines cut.
std::uint64_t TrimOldestLines(std::string& text, std::size_t capacity);

class OutputPump {
 public:
  using Clock = std::chrono::steady_clock;
  // Told once, from the writing thread, when the real output fails.
  using ErrorSink = std::function<void(int error)>;

  OutputPump(int fd, std::size_t capacity, ErrorSink on_error);
  ~OutputPump();
  OutputPump(const OutputPump&) = delete;
  OutputPump& operator=(const OutputPump&) = delete;

  // Puts a pipe on the descriptor and starts draining it; throws
  // std::runtime_error when the pipe or a thread cannot be made.
  void Start();

  // Adds text to the buffer straight away, without a system call unless the
  // writing thread sleeps for want of text. Safe from any thread.
  void Put(const char* data, std::size_t size);

  // Gives the descriptor its real output back and writes what is still held,
  // waiting at most until deadline. False when something was left unwritten;
  // the threads are then left to end with the process, so the pump must not
  // be destroyed.
  bool Finish(Clock::time_point deadline);

  std::uint64_t dropped() const;
  int error() const;  // errno of the failed real output, or 0

 private:
  struct Shared;  // kept alive by the threads, which may outlive a pump given up on
  static void Hold(Shared& s, const char* data, std::size_t size);
  static void Drain(Shared& s);
  static void Write(Shared& s);

  const int fd_;
  std::shared_ptr<Shared> s_;
  std::thread drainer_;
  std::thread writer_;
};

}  // namespace controller

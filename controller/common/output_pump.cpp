#include "controller/common/output_pump.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "controller/common/unique_fd.h"
#include "controller/common/write_all.h"

namespace controller {

namespace {

constexpr std::size_t kReadBytes = 64 * 1024;
constexpr std::size_t kWriteBytes = 64 * 1024;
constexpr int kWritableWaitMs = 1000;
// Lines that keep coming (a write began less than kStreamGap after the one
// before) gather for kGather and go out together: one write per interval
// instead of a wake and a write each. A line after a quiet spell, and the one
// right after it, still go out at once.
constexpr auto kGather = std::chrono::milliseconds(20);
constexpr auto kStreamGap = 2 * kGather;

}  // namespace

struct OutputPump::Shared {
  std::size_t capacity = kOutputBufferBytes;
  ErrorSink on_error;
  UniqueFd real_fd;
  UniqueFd pipe_read;

  std::mutex mu;
  std::condition_variable cv;
  std::string held;              // read from the pipe, not yet written
  std::uint64_t dropped = 0;     // lines dropped in all
  std::uint64_t unreported = 0;  // dropped since the last notice
  bool eof = false;              // every writer of the pipe is gone
  bool done = false;             // everything was written or thrown away
  bool idle = false;             // the writing thread waits for text
  int error = 0;
};

std::string Grouped(std::uint64_t n) {
  std::string digits = std::to_string(n);
  for (std::size_t i = digits.size(); i > 3; i -= 3) digits.insert(i - 3, ",");
  return digits;
}

std::uint64_t TrimOldestLines(std::string& text, std::size_t capacity) {
  if (text.size() <= capacity) return 0;
  const std::size_t excess = text.size() - capacity;
  // Cut after the newline that ends the line holding the excess's last byte.
  const std::size_t nl = text.find('\n', excess - 1);
  const std::size_t cut = nl == std::string::npos ? text.size() : nl + 1;
  std::uint64_t lines = 0;
  for (std::size_t i = 0; i < cut; ++i) lines += text[i] == '\n';
  if (nl == std::string::npos) ++lines;  // an unfinished line goes as well
  text.erase(0, cut);
  return lines;
}

OutputPump::OutputPump(int fd, std::size_t capacity, ErrorSink on_error)
    : fd_(fd), s_(std::make_shared<Shared>()) {
  s_->capacity = capacity;
  s_->on_error = std::move(on_error);
}

OutputPump::~OutputPump() {
  if (drainer_.joinable() || writer_.joinable()) Finish(Clock::now());
}

void OutputPump::Start() {
  int fds[2];
  const auto fail = [](const std::string& what) {
    throw std::runtime_error("cannot buffer standard output: " + what + ": " +
                             std::strerror(errno));
  };
  s_->real_fd.reset(::fcntl(fd_, F_DUPFD_CLOEXEC, 3));
  if (!s_->real_fd) fail("dup");
  if (::pipe2(fds, O_CLOEXEC) != 0) fail("pipe");
  s_->pipe_read.reset(fds[0]);
  const UniqueFd pipe_write(fds[1]);  // fd_ becomes its only copy
  if (::dup2(pipe_write.get(), fd_) < 0) fail("dup2");
  std::shared_ptr<Shared> s = s_;
  drainer_ = std::thread([s] { Drain(*s); });
  writer_ = std::thread([s] { Write(*s); });
}

void OutputPump::Put(const char* data, std::size_t size) { Hold(*s_, data, size); }

void OutputPump::Hold(Shared& s, const char* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(s.mu);
  s.held.append(data, size);
  const std::uint64_t cut = TrimOldestLines(s.held, s.capacity);
  s.dropped += cut;
  s.unreported += cut;
  if (!s.idle) return;
  s.idle = false;  // one wake is enough
  s.cv.notify_all();
}

void OutputPump::Drain(Shared& s) {
  std::string buf(kReadBytes, '\0');
  for (;;) {
    const ssize_t n = ::read(s.pipe_read.get(), &buf[0], buf.size());
    if (n < 0 && errno == EINTR) continue;
    if (n > 0) {
      Hold(s, buf.data(), static_cast<std::size_t>(n));
      continue;
    }
    std::lock_guard<std::mutex> lock(s.mu);
    s.eof = true;
    s.cv.notify_all();
    return;
  }
}

void OutputPump::Write(Shared& s) {
  std::unique_lock<std::mutex> lock(s.mu);
  Clock::time_point last{};  // when the last write began
  for (;;) {
    s.idle = true;
    s.cv.wait(lock, [&s] { return !s.held.empty() || s.eof; });
    s.idle = false;
    if (s.held.empty()) break;
    const Clock::time_point now = Clock::now();
    const bool streaming = now - last < kStreamGap;
    last = now;
    std::size_t take = std::min(s.held.size(), kWriteBytes);
    const std::size_t nl = s.held.rfind('\n', take - 1);
    if (nl != std::string::npos) take = nl + 1;  // whole lines where there are any
    std::string out;
    if (s.unreported > 0 && s.error == 0) {
      out = "qdx-host: " + Grouped(s.unreported) + " output lines dropped (reader too slow)\n";
      s.unreported = 0;
    }
    out.append(s.held, 0, take);
    s.held.erase(0, take);
    if (s.error == 0) {  // else the output failed: keep draining, show nothing
      lock.unlock();
      const int err = WriteAll(s.real_fd.get(), out.data(), out.size(), kWritableWaitMs, true);
      if (err != 0 && s.on_error) s.on_error(err);
      lock.lock();
      if (err != 0) s.error = err;
    }
    if (streaming) s.cv.wait_for(lock, kGather, [&s] { return s.eof; });
  }
  s.done = true;
  s.cv.notify_all();
}

bool OutputPump::Finish(Clock::time_point deadline) {
  if (!drainer_.joinable()) return true;
  // The descriptor gets its real output back, which closes the pipe's last
  // writer: the drainer sees the end, the writer writes what is left.
  ::dup2(s_->real_fd.get(), fd_);
  std::unique_lock<std::mutex> lock(s_->mu);
  const bool done = s_->cv.wait_until(lock, deadline, [this] { return s_->done; });
  lock.unlock();
  if (done) {
    drainer_.join();
    writer_.join();
  } else {
    drainer_.detach();
    writer_.detach();
  }
  return done;
}

std::uint64_t OutputPump::dropped() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->dropped;
}

int OutputPump::error() const {
  std::lock_guard<std::mutex> lock(s_->mu);
  return s_->error;
}

}  // namespace controller

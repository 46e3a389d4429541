#include "controller/app/stop_signals.h"

#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "controller/common/output.h"

namespace controller {

namespace {

constexpr int kStopGraceMs = 2000;

int ReadSignalNumber(int fd) {
  signalfd_siginfo info{};
  if (fd < 0 || ::read(fd, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info))) return 0;
  return static_cast<int>(info.ssi_signo);
}

const char* Name(int signo) {
  switch (signo) {
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "SIGTERM";
  }
}

// The signal's own end: what a program that never caught it would get.
[[noreturn]] void EndBy(int signo) {
  const std::string line = std::string("qdx-host: ") + Name(signo) +
                           " received and what runs does not end by itself (a start that is "
                           "blocked): qdx-host ends now\n";
  (void)!::write(STDERR_FILENO, line.data(), line.size());
  ::signal(signo, SIG_DFL);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, signo);
  ::pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
  ::raise(signo);
  std::_Exit(128 + signo);
}

}  // namespace

int CatchStopSignals() {
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  if (::pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return ::signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

const char* ReadStopSignal(int fd) {
  const int signo = ReadSignalNumber(fd);
  return signo == 0 ? nullptr : Name(signo);
}

StopWatch::StopWatch(int stop_fd, bool ignore_hangup, std::function<void()> on_stop)
    : fd_(stop_fd),
      ignore_hangup_(ignore_hangup),
      on_stop_(std::move(on_stop)),
      end_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {
  if (fd_ >= 0 && end_) thread_ = std::thread([this] { Watch(); });
}

void StopWatch::End() {
  if (!thread_.joinable()) return;
  const std::uint64_t one = 1;
  (void)!::write(end_.get(), &one, sizeof(one));
  thread_.join();
  if (caught_ != 0) ::kill(::getpid(), caught_);
}

void StopWatch::Watch() {
  pollfd p[2] = {{end_.get(), POLLIN, 0}, {fd_, POLLIN, 0}};
  auto until = std::chrono::steady_clock::time_point::max();
  while (true) {
    int wait = -1;
    if (caught_ != 0) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          until - std::chrono::steady_clock::now());
      if (left.count() <= 0) EndBy(caught_);
      wait = static_cast<int>(left.count());
    }
    p[0].revents = p[1].revents = 0;
    if (::poll(p, 2, wait) < 0 && errno != EINTR) return;
    if (p[0].revents != 0) return;
    if (p[1].revents == 0) continue;
    const int signo = ReadSignalNumber(fd_);
    if (signo == 0) continue;
    if (signo == SIGHUP && ignore_hangup_) {
      Say("qdx-host: SIGHUP received, ignored (running as a service)");
      continue;
    }
    if (caught_ != 0) EndBy(signo);  // a second signal: no more waiting
    caught_ = signo;
    until = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopGraceMs);
    if (on_stop_) on_stop_();
  }
}

}  // namespace controller

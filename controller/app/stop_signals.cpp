#include "controller/app/stop_signals.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace controller {

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
  signalfd_siginfo info{};
  if (fd < 0 || ::read(fd, &info, sizeof(info)) != static_cast<ssize_t>(sizeof(info)))
    return nullptr;
  switch (info.ssi_signo) {
    case SIGINT:
      return "SIGINT";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "SIGTERM";
  }
}

}  // namespace controller

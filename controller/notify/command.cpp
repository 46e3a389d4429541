// A command target: no shell, the event on standard input, its fields in the
// environment, the process group killed at the timeout.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "controller/common/iso_time.h"
#include "controller/common/unique_fd.h"
#include "controller/notify/delivery.h"

extern char** environ;

namespace controller {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWaitStep = std::chrono::milliseconds(10);

// At most kMaxCommandsAtOnce commands run at once, over all targets.
class Slots {
 public:
  bool Take(Clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(m_);
    if (!cv_.wait_until(lock, deadline, [this] { return busy_ < kMaxCommandsAtOnce; }))
      return false;
    ++busy_;
    return true;
  }
  void Give() {
    std::lock_guard<std::mutex> lock(m_);
    --busy_;
    cv_.notify_one();
  }

 private:
  std::mutex m_;
  std::condition_variable cv_;
  int busy_ = 0;
};

Slots& CommandSlots() {
  static Slots slots;
  return slots;
}

std::vector<std::string> Environment(const NotifyEvent& e) {
  std::vector<std::string> env;
  for (char** p = environ; p && *p; ++p) {
    if (std::strncmp(*p, "QDX_", 4) != 0) env.emplace_back(*p);
  }
  env.push_back("QDX_EVENT=" + e.name);
  env.push_back("QDX_DEVICE=" + e.device);
  env.push_back("QDX_DATA_ID=" + std::to_string(e.data_id));
  env.push_back("QDX_TIME=" + FormatUtcMs(e.time_ms));
  env.push_back("QDX_TEXT=" + e.text);
  return env;
}

std::vector<char*> Pointers(std::vector<std::string>& texts) {
  std::vector<char*> p;
  for (std::string& t : texts) p.push_back(&t[0]);
  p.push_back(nullptr);
  return p;
}

// The event on the command's standard input; a command that does not read
// it all is no fault of delivery.
void Feed(int fd, const std::string& json, Clock::time_point deadline) {
  std::size_t done = 0;
  while (done < json.size() && Clock::now() < deadline) {
    const ssize_t n = ::write(fd, json.data() + done, json.size() - done);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
    } else if (n < 0 && errno == EAGAIN) {
      pollfd p{fd, POLLOUT, 0};
      ::poll(&p, 1, static_cast<int>(kWaitStep.count()));
    } else if (n < 0 && errno != EINTR) {
      return;
    }
  }
}

Answer Run(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
           Clock::time_point deadline) {
  Answer a;
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return {false, false, std::string("pipe: ") + strerror(errno)};
  UniqueFd in(fds[0]);
  UniqueFd out(fds[1]);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in.get(), 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // Its own group, to kill whatever it starts; default signals, unblocked,
  // whatever qdx-host does with them.
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &all);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
  std::vector<std::string> args = t.command;
  std::vector<std::string> env = Environment(e);
  std::vector<char*> argv = Pointers(args);
  std::vector<char*> envp = Pointers(env);
  pid_t pid = -1;
  const int err = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  in.reset();
  if (err != 0) return {false, false, std::string("cannot start: ") + std::strerror(err)};
  ::fcntl(out.get(), F_SETFL, O_NONBLOCK);
  Feed(out.get(), json, deadline);
  out.reset();
  int status = 0;
  while (true) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return {false, false, std::string("waitpid: ") + strerror(errno)};
    if (Clock::now() >= deadline) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      return {false, false, "killed: still running at its time limit"};
    }
    std::this_thread::sleep_for(kWaitStep);
  }
  if (WIFEXITED(status)) {
    a.delivered = WEXITSTATUS(status) == 0;
    a.said = "exit status " + std::to_string(WEXITSTATUS(status));
  } else {
    a.said = std::string("ended by signal ") + std::to_string(WTERMSIG(status));
  }
  return a;
}

}  // namespace

Answer RunCommand(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
                  Clock::time_point deadline) {
  deadline = std::min(deadline, Clock::now() + std::chrono::seconds(t.timeout_s));
  if (!CommandSlots().Take(deadline)) return {false, false, "no free slot before its time limit"};
  Answer a = Run(t, e, json, deadline);
  CommandSlots().Give();
  return a;
}

}  // namespace controller

// A command target: no shell, the event on standard input, its fields in the
// environment, the process group killed at the timeout or the stop's
// deadline, the last line of its standard error told with its answer.
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
#include "controller/common/printable.h"
#include "controller/common/unique_fd.h"
#include "controller/common/utf8.h"
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

// One slot held until the end of its scope, however the command ends.
class SlotHold {
 public:
  explicit SlotHold(Clock::time_point deadline) : held_(CommandSlots().Take(deadline)) {}
  ~SlotHold() {
    if (held_) CommandSlots().Give();
  }
  SlotHold(const SlotHold&) = delete;
  SlotHold& operator=(const SlotHold&) = delete;
  bool held() const { return held_; }

 private:
  const bool held_;
};

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
void Feed(int fd, const std::string& json, Clock::time_point own, const StopClock& stop) {
  std::size_t done = 0;
  while (done < json.size() && Clock::now() < std::min(own, stop.deadline())) {
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

// The end of what the command writes to standard error, read as it comes so
// that a chatty command never blocks on a full pipe.
class ErrorTail {
 public:
  explicit ErrorTail(int fd) : fd_(fd) {}
  // Reads what is there, waiting at most kWaitStep for it.
  void Wait() {
    if (!fd_) {
      std::this_thread::sleep_for(kWaitStep);
      return;
    }
    pollfd p{fd_.get(), POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(kWaitStep.count())) > 0) Read();
  }
  void Read() {
    char buf[4096];
    for (std::size_t got = 0; fd_ && got < kReadAtOnce;) {
      const ssize_t n = ::read(fd_.get(), buf, sizeof buf);
      if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) fd_.reset();
      if (n <= 0) return;
      got += static_cast<std::size_t>(n);
      tail_.append(buf, static_cast<std::size_t>(n));
      if (tail_.size() > kTailBytes) tail_.erase(0, tail_.size() - kTailBytes);
    }
  }
  // "; standard error: LINE" of its last line, shown safely, or nothing; of
  // one killed, its last whole line, as it may have been cut mid-line.
  std::string Said(bool killed = false) const {
    std::string line = tail_;
    const auto end = line.find_last_of('\n');
    if (killed && end != std::string::npos) line.erase(end);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    line.erase(0, line.find_last_of('\n') + 1);
    if (line.empty()) return std::string();
    if (line.size() > kLineShown) line = line.substr(0, kLineShown) + "...";
    return "; standard error: " + Printable(ValidText(line));
  }

 private:
  static constexpr std::size_t kTailBytes = 4096, kReadAtOnce = 65536, kLineShown = 200;
  static std::string ValidText(const std::string& s) {
    std::string out;
    const auto* b = reinterpret_cast<const unsigned char*>(s.data());
    for (std::size_t i = 0; i < s.size(); ++i) {
      const std::size_t len = b[i] < 0x80 ? 1 : Utf8SequenceLength(b + i, s.size() - i);
      out += len == 0 ? std::string(kUtf8Replacement) : s.substr(i, len);
      if (len > 1) i += len - 1;
    }
    return out;
  }
  UniqueFd fd_;
  std::string tail_;
};

pid_t Spawn(const NotifyTarget& t, const NotifyEvent& e, int in, int err, int* error) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, in, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_adddup2(&actions, err, 2);
  // Nothing else of ours, not even a library's descriptor open without close-on-exec.
  posix_spawn_file_actions_addclosefrom_np(&actions, 3);
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
  *error = ::posix_spawnp(&pid, argv[0], &actions, &attr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  return *error == 0 ? pid : -1;
}

Answer Ended(int status, const ErrorTail& err) {
  Answer a;
  if (WIFEXITED(status)) {
    a.delivered = WEXITSTATUS(status) == 0;
    a.said = "exit status " + std::to_string(WEXITSTATUS(status));
  } else {
    a.said = std::string("ended by signal ") + std::to_string(WTERMSIG(status));
  }
  a.said += err.Said();
  return a;
}

Answer Run(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
           Clock::time_point own, const StopClock& stop) {
  int in_fds[2];
  int err_fds[2];
  if (::pipe2(in_fds, O_CLOEXEC) != 0)
    return {false, false, std::string("pipe: ") + strerror(errno)};
  UniqueFd in(in_fds[0]);
  UniqueFd out(in_fds[1]);
  if (::pipe2(err_fds, O_CLOEXEC) != 0)
    return {false, false, std::string("pipe: ") + strerror(errno)};
  ErrorTail err(err_fds[0]);
  ::fcntl(err_fds[0], F_SETFL, O_NONBLOCK);  // ours only: the command's end blocks as usual
  UniqueFd err_out(err_fds[1]);
  int spawn_error = 0;
  const pid_t pid = Spawn(t, e, in.get(), err_out.get(), &spawn_error);
  in.reset();
  err_out.reset();
  if (pid < 0) return {false, false, std::string("cannot start: ") + std::strerror(spawn_error)};
  ::fcntl(out.get(), F_SETFL, O_NONBLOCK);
  Feed(out.get(), json, own, stop);
  out.reset();
  int status = 0;
  while (true) {
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) break;
    if (r < 0 && errno != EINTR) return {false, false, std::string("waitpid: ") + strerror(errno)};
    // The stop's deadline is read at every step: a stop may lower it.
    const bool stopped = stop.Passed();
    if (stopped || Clock::now() >= own) {
      ::kill(-pid, SIGKILL);
      ::waitpid(pid, &status, 0);
      err.Read();
      if (stopped) return LeftAtStop();
      return {false, false,
              "killed: still running after " + std::to_string(t.timeout_s) + " s" + err.Said(true)};
    }
    err.Wait();
  }
  err.Read();
  return Ended(status, err);
}

}  // namespace

Answer RunCommand(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
                  const StopClock& stop) {
  const Clock::time_point own = Clock::now() + std::chrono::seconds(t.timeout_s);
  // Slots free up by the stop's deadline at the latest: their commands are killed then.
  const SlotHold slot(std::min(own, stop.deadline()));
  if (stop.Passed()) return LeftAtStop();
  if (!slot.held()) return {false, false, "no free slot before its time limit"};
  return Run(t, e, json, own, stop);
}

}  // namespace controller

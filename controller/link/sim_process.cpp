#include "controller/link/sim_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <system_error>
#include <thread>

#include "controller/common/unique_fd.h"

extern char** environ;

namespace controller {

namespace {

constexpr int kStartTimeoutMs = 5000;
constexpr int kStopGraceMs = 1000;
constexpr int kStopStepMs = 10;
constexpr std::size_t kMaxPathLine = 256;

std::string ExitText(int status) {
  if (WIFEXITED(status)) return "exited with status " + std::to_string(WEXITSTATUS(status));
  if (WIFSIGNALED(status)) return "was killed by signal " + std::to_string(WTERMSIG(status));
  return "stopped";
}

// Reads the first line the child prints; empty when it closes or times out.
std::string ReadFirstLine(int fd) {
  std::string line;
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kStartTimeoutMs);
  while (line.size() < kMaxPathLine) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                          deadline - std::chrono::steady_clock::now())
                          .count();
    if (left <= 0) return std::string();
    pollfd p{fd, POLLIN, 0};
    const int r = ::poll(&p, 1, static_cast<int>(left));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return std::string();
    char c = 0;
    const ssize_t n = ::read(fd, &c, 1);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return std::string();
    if (c == '\n') return line;
    line += c;
  }
  return std::string();
}

// The child's whole process group: what it started goes with it.
void SignalGroup(pid_t pid, int sig) {
  if (::kill(-pid, sig) != 0) ::kill(pid, sig);
}

// Whether the child has ended; it stays unreaped, so its pid, the id of its
// process group, cannot be handed to another process meanwhile.
bool Ended(pid_t pid) {
  siginfo_t info{};
  int rc = 0;
  do {
    rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
  } while (rc != 0 && errno == EINTR);
  return rc != 0 || info.si_pid != 0;
}

// Stops a child that was sent SIGTERM: killed after the grace, what is left
// of its group killed with it, then reaped.
void Reap(pid_t pid) {
  for (int waited = 0; waited < kStopGraceMs && !Ended(pid); waited += kStopStepMs)
    std::this_thread::sleep_for(std::chrono::milliseconds(kStopStepMs));
  SignalGroup(pid, SIGKILL);
  int status = 0;
  ::waitpid(pid, &status, 0);
}

// Children being stopped, each waited for on a thread of its own so that the
// loop never sleeps for one; the process waits for them all before it exits,
// leaving no zombie and no simulator behind.
class Reaper {
 public:
  ~Reaper() {
    std::unique_lock<std::mutex> lock(m_);
    cv_.wait(lock, [this] { return pending_ == 0; });
  }
  void Hand(pid_t pid) {
    {
      std::lock_guard<std::mutex> lock(m_);
      ++pending_;
    }
    try {
      std::thread([this, pid] {
        Reap(pid);
        Done();
      }).detach();
    } catch (const std::system_error&) {
      Reap(pid);  // no thread to be had: waited for here, as the last resort
      Done();
    }
  }

 private:
  void Done() {
    std::lock_guard<std::mutex> lock(m_);
    --pending_;
    cv_.notify_all();
  }

  std::mutex m_;
  std::condition_variable cv_;
  int pending_ = 0;
};

Reaper& Reapers() {
  static Reaper reaper;
  return reaper;
}

// Simulators being started, one after another, on a thread that never ends
// before the process does. The reaper outlives it, as what it starts may be
// stopped as it ends.
class Starter {
 public:
  using Task = std::packaged_task<std::unique_ptr<SimProcess>()>;
  struct Job {
    Task task;
    std::function<void()> done;
  };
  Starter() : reaper_(Reapers()), thread_([this] { Run(); }) {}
  ~Starter() {
    {
      std::lock_guard<std::mutex> lock(m_);
      ending_ = true;
    }
    cv_.notify_all();
    thread_.join();
  }
  std::future<std::unique_ptr<SimProcess>> Hand(Task task, std::function<void()> done) {
    auto result = task.get_future();
    {
      std::lock_guard<std::mutex> lock(m_);
      tasks_.push_back(Job{std::move(task), std::move(done)});
    }
    cv_.notify_all();
    return result;
  }

 private:
  void Run() {
    std::unique_lock<std::mutex> lock(m_);
    for (;;) {
      cv_.wait(lock, [this] { return ending_ || !tasks_.empty(); });
      if (ending_) return;  // starts not begun are dropped: their futures say so
      Job job = std::move(tasks_.front());
      tasks_.pop_front();
      lock.unlock();
      job.task();
      if (job.done) job.done();
      lock.lock();
    }
  }

  Reaper& reaper_;
  std::mutex m_;
  std::condition_variable cv_;
  std::deque<Job> tasks_;
  bool ending_ = false;
  std::thread thread_;
};

}  // namespace

std::future<std::unique_ptr<SimProcess>> StartSimProcess(const std::string& program,
                                                         const std::string& scenario,
                                                         std::uint32_t seed,
                                                         std::function<void()> done) {
  static Starter starter;
  return starter.Hand(Starter::Task([program, scenario, seed] {
                        return std::make_unique<SimProcess>(program, scenario, seed);
                      }),
                      std::move(done));
}

std::string OwnFolder() {
  char buf[4096];
  const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof(buf) - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  const auto slash = path.find_last_of('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

SimProcess::SimProcess(const std::string& program, const std::string& scenario,
                       std::uint32_t seed) {
  const std::string what = "cannot start simulator " + program + " (scenario " + scenario + "): ";
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(what + std::strerror(errno));
  UniqueFd from_child(fds[0]);
  UniqueFd child_out(fds[1]);

  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  // Ours are all close-on-exec; this also keeps out one a library opened
  // without it on another thread (a CA file being read) at this moment.
  posix_spawn_file_actions_addclosefrom_np(&actions, STDERR_FILENO + 1);
  posix_spawnattr_t attr;
  posix_spawnattr_init(&attr);
  // The controller blocks its stop signals; the child must not inherit that, and
  // its own process group keeps a terminal's Ctrl-C for the controller to handle.
  sigset_t none;
  sigemptyset(&none);
  sigset_t defaults;
  sigemptyset(&defaults);
  sigaddset(&defaults, SIGINT);
  sigaddset(&defaults, SIGTERM);
  sigaddset(&defaults, SIGPIPE);
  posix_spawnattr_setsigmask(&attr, &none);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);

  const std::string seed_text = std::to_string(seed);
  std::string args[] = {program, "--scenario", scenario, "--seed", seed_text, "--exit-with-parent"};
  char* argv[] = {&args[0][0], &args[1][0], &args[2][0], &args[3][0],
                  &args[4][0], &args[5][0], nullptr};
  const int rc = posix_spawn(&pid_, program.c_str(), &actions, &attr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  child_out.reset();  // the child's copy is the only writer left
  if (rc != 0) {
    pid_ = -1;
    throw std::runtime_error(what + std::strerror(rc));
  }
  pty_path_ = ReadFirstLine(from_child.get());
  from_child.reset();
  if (pty_path_.empty() || pty_path_[0] != '/') {
    // A child that closed its output is usually exiting: give it a moment so its
    // exit status, not a bare "no path", ends up in the message.
    int status = 0;
    bool gone = false;
    for (int waited = 0; !gone && waited < kStopGraceMs; waited += kStopStepMs) {
      gone = ::waitpid(pid_, &status, WNOHANG) == pid_;
      if (!gone) std::this_thread::sleep_for(std::chrono::milliseconds(kStopStepMs));
    }
    if (gone) pid_ = -1;
    Stop();
    throw std::runtime_error(what + (gone ? ExitText(status) : "printed no terminal path"));
  }
}

SimProcess::~SimProcess() { Stop(); }

bool SimProcess::Alive() {
  if (pid_ < 0) return false;
  int status = 0;
  if (::waitpid(pid_, &status, WNOHANG) == pid_) pid_ = -1;
  return pid_ >= 0;
}

void SimProcess::Stop() {
  if (pid_ < 0) return;
  SignalGroup(pid_, SIGTERM);
  Reapers().Hand(pid_);
  pid_ = -1;
}

}  // namespace controller

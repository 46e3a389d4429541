// A ups-sim child process that serves one device's port on a pseudo-terminal.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>

namespace controller {

class SimProcess {
 public:
  // Starts the simulator and waits for the terminal path it prints. Throws
  // std::runtime_error naming the program and the scenario when it does not come up.
  SimProcess(const std::string& program, const std::string& scenario, std::uint32_t seed);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  const std::string& pty_path() const { return pty_path_; }
  pid_t pid() const { return pid_; }

  // Whether the child is still running; reaps it once it has exited.
  bool Alive();

 private:
  // Signals the child's group and leaves the waiting to a reaper thread: the
  // loop that drops a simulator never sleeps for it.
  void Stop();

  pid_t pid_ = -1;
  std::string pty_path_;
};

// Starts a simulator on the one starter thread, which lives as long as the
// process: the child is told to end with the thread that started it. `done`
// is called on that thread once the future is ready, so a loop can be woken
// rather than look again and again.
std::future<std::unique_ptr<SimProcess>> StartSimProcess(const std::string& program,
                                                         const std::string& scenario,
                                                         std::uint32_t seed,
                                                         std::function<void()> done = nullptr);

// The folder holding the running executable, for finding its sibling programs.
std::string OwnFolder();

}  // namespace controller

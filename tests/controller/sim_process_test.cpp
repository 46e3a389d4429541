// Dropping a simulator never waits on the caller's thread, yet the child, even
// one that ignores SIGTERM, is killed after the grace with its process group
// and reaped: no zombie.
#include "controller/link/sim_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "support/temp_dir.h"

namespace {

// Gone and reaped: a zombie still answers signal 0.
bool Reaped(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

// Not running any more: gone, or a zombie left to whoever adopted it.
bool Dead(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string line;
  if (!std::getline(stat, line)) return true;
  const auto paren = line.rfind(')');
  return paren != std::string::npos && line.compare(paren + 2, 1, "Z") == 0;
}

TEST(SimProcessTest, StopLeavesTheWaitToTheReaper) {
  test_support::TempDir dir;
  const std::string program = dir.File("stubborn-sim");
  const std::string helper = dir.File("helper.pid");
  // It ignores SIGTERM, as does the helper it started in its process group.
  std::ofstream(program) << "#!/bin/sh\ntrap '' TERM\nsleep 30 &\necho $! > " << helper
                         << "\necho /dev/null\nexec sleep 30\n";
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);

  auto sim = std::make_unique<controller::SimProcess>(program, "any", 1);
  EXPECT_EQ(sim->pty_path(), "/dev/null");
  const pid_t pid = sim->pid();
  sim.reset();
  // Still inside its grace: the caller did not wait for it.
  EXPECT_FALSE(Reaped(pid));
  for (int i = 0; i < 1000 && !Reaped(pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Reaped(pid));
  pid_t helper_pid = 0;
  std::ifstream(helper) >> helper_pid;
  ASSERT_GT(helper_pid, 0);
  for (int i = 0; i < 1000 && !Dead(helper_pid); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(Dead(helper_pid));
}

}  // namespace

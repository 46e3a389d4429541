// Dropping a simulator never waits on the caller's thread, yet the child, even
// one that ignores SIGTERM, is killed after the grace and reaped: no zombie.
#include "controller/link/sim_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <thread>

#include "support/temp_dir.h"

namespace {

// Gone and reaped: a zombie still answers signal 0.
bool Reaped(pid_t pid) { return ::kill(pid, 0) != 0 && errno == ESRCH; }

TEST(SimProcessTest, StopLeavesTheWaitToTheReaper) {
  test_support::TempDir dir;
  const std::string program = dir.File("stubborn-sim");
  std::ofstream(program) << "#!/bin/sh\ntrap '' TERM\necho /dev/null\nexec sleep 30\n";
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
}

}  // namespace

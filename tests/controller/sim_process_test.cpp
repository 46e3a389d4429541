// Dropping a simulator never waits on the caller's thread, yet the child, even
// one that ignores SIGTERM, is killed after the grace with its process group
// and reaped: no zombie. Starting a replacement does not wait on the loop
// either: another device keeps polling while one simulator hangs at start.
#include "controller/link/sim_process.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include "controller/link/device_link.h"
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

// A device on one end of a socket pair whose other end never answers: each
// poll fails at its timeout, and the next goes out on schedule.
class MuteDevice : public QDXSPDevice {
 public:
  MuteDevice() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_); }
  ~MuteDevice() override { ::close(fds_[1]); }
  bool OpenPort() override {
    port_fd_ = fds_[0] >= 0 ? ::dup(fds_[0]) : -1;
    return port_fd_ >= 0;
  }
  int RefreshStatus() override {
    QDXSPDevice::RefreshStatus();
    ++polls_;
    return 1;
  }
  int LoadFromCache(const unsigned char*, int) override { return 0; }
  int polls_ = 0;

 private:
  int fds_[2] = {-1, -1};
};

struct Reopens : controller::LinkObserver {
  void Ended(const controller::DeviceLink&, const controller::LinkOutcome& o) override {
    if (o.ending == controller::Ending::kReopened) ++opened;
    if (o.ending == controller::Ending::kReopenFailed) ++failed;
  }
  int opened = 0;
  int failed = 0;
};

controller::DeviceConfig Config(const std::string& name, const std::string& scenario) {
  controller::DeviceConfig cfg;
  cfg.name = name;
  cfg.poll_interval_ms = 50;
  cfg.reply_timeout_ms = 40;
  cfg.sim_scenario = scenario;
  return cfg;
}

TEST(SimProcessTest, AHangingRestartHoldsUpNoOtherDevice) {
  test_support::TempDir dir;
  const std::string program = dir.File("slow-sim");
  const std::string gate = dir.File("gate");
  // It prints its path only once the test lets it.
  std::ofstream(program) << "#!/bin/sh\nwhile [ ! -e " << gate
                         << " ]; do sleep 0.02; done\necho /dev/null\nexec sleep 30\n";
  ASSERT_EQ(::chmod(program.c_str(), 0755), 0);
  auto steady_dev = std::make_shared<MuteDevice>();
  controller::DeviceLink steady(Config("steady", ""), 0, steady_dev, "");
  controller::DeviceLink hung(Config("hung", "any"), 1, std::make_shared<MuteDevice>(), program);
  Reopens told;
  hung.Observe(&told);
  steady.OpenAtStart();
  steady.Begin(controller::Clock::now());
  hung.Begin(controller::Clock::now());  // closed: its first turn starts a simulator
  auto turn_both = [&] {
    steady.Turn(controller::Clock::now());
    hung.Turn(controller::Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  // Waiting in the loop would have told a failed start (after 5 s) before
  // the other device's next polls.
  for (int i = 0; i < 2000 && steady_dev->polls_ < 6; ++i) turn_both();
  EXPECT_GE(steady_dev->polls_, 6);
  EXPECT_EQ(told.opened + told.failed, 0);
  EXPECT_EQ(hung.exchange(), controller::DeviceLink::Exchange::kClosed);
  std::ofstream(gate) << "go\n";
  for (int i = 0; i < 2000 && told.opened + told.failed == 0; ++i) turn_both();
  EXPECT_EQ(told.opened, 1);
  ASSERT_NE(hung.sim(), nullptr);
  EXPECT_EQ(hung.port_path(), "/dev/null");
  EXPECT_NE(hung.exchange(), controller::DeviceLink::Exchange::kClosed);
}

}  // namespace

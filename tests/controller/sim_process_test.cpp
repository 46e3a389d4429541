// Dropping a simulator never waits on the caller's thread, yet the child, even
// one that ignores SIGTERM, is killed after the grace with its process group
// and reaped: no zombie. Starting one, the first or a replacement, does not
// wait on the loop either: another device keeps polling while one simulator
// hangs at start, and the starter says when it is done. A simulator holds no
// descriptor of ours.
#include "controller/link/sim_process.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <fstream>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "controller/app/event_loop.h"
#include "controller/history/history_db.h"
#include "controller/link/device_link.h"
#include "support/temp_dir.h"
#include "support/zota_history.h"

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

// Each test's stub simulators: shell scripts in a folder of its own.
class SimProcessTest : public ::testing::Test {
 protected:
  std::string Stub(const std::string& name, const std::string& body) {
    const std::string path = dir_.File(name);
    std::ofstream(path) << "#!/bin/sh\n" << body;
    EXPECT_EQ(::chmod(path.c_str(), 0755), 0);
    return path;
  }
  test_support::TempDir dir_;
};

// What a process's descriptors from `from` on lead to, as (device, inode).
std::set<std::pair<dev_t, ino_t>> Targets(const std::string& fd_dir, int from) {
  std::set<std::pair<dev_t, ino_t>> out;
  DIR* dir = ::opendir(fd_dir.c_str());
  if (!dir) return out;
  while (const dirent* e = ::readdir(dir)) {
    struct stat st {};
    if (std::atoi(e->d_name) >= from && ::stat((fd_dir + "/" + e->d_name).c_str(), &st) == 0)
      out.emplace(st.st_dev, st.st_ino);
  }
  ::closedir(dir);
  return out;
}

TEST_F(SimProcessTest, StopLeavesTheWaitToTheReaper) {
  const std::string helper = dir_.File("helper.pid");
  // It ignores SIGTERM, as does the helper it started in its process group.
  const std::string program = Stub("stubborn-sim", "trap '' TERM\nsleep 30 &\necho $! > " + helper +
                                                       "\necho /dev/null\nexec sleep 30\n");
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

// The loop's descriptors, the history's and one a library left without
// close-on-exec are open while a simulator starts: it holds only its own.
TEST_F(SimProcessTest, ASimulatorHoldsNoDescriptorOfOurs) {
  const auto before = Targets("/proc/self/fd", 0);
  controller::EventLoop loop;
  const auto wake = controller::Wakeup::Make();
  controller::HistoryDb db(dir_.File("h.db"), test_support::ZotaHistory());
  ASSERT_TRUE(db.StoreGroup({}).ok());
  std::set<int> ours;
  DIR* fds = ::opendir("/proc/self/fd");
  ASSERT_NE(fds, nullptr);
  while (const dirent* e = ::readdir(fds)) {
    struct stat st {};
    const int fd = std::atoi(e->d_name);
    if (fd > 2 && fd != ::dirfd(fds) && ::fstat(fd, &st) == 0 &&
        before.count({st.st_dev, st.st_ino}) == 0)
      ours.insert(fd);
  }
  ::closedir(fds);
  ASSERT_GE(ours.size(), 4u);  // epoll, eventfd, the database and its log
  for (int fd : ours) EXPECT_TRUE(::fcntl(fd, F_GETFD) & FD_CLOEXEC) << "descriptor " << fd;
  const controller::UniqueFd leaky(::open(dir_.path().c_str(), O_RDONLY | O_DIRECTORY));
  ASSERT_TRUE(leaky);

  controller::SimProcess sim(Stub("sim", "echo /dev/null\nexec sleep 30\n"), "any", 1);
  const auto held = Targets("/proc/" + std::to_string(sim.pid()) + "/fd", 3);
  for (const auto& target : Targets("/proc/self/fd", 3))
    EXPECT_EQ(held.count(target), 0u) << "inode " << target.second;
}

// A device on one end of a socket pair whose other end never answers: each
// poll fails at its timeout, and the next goes out on schedule.
class MuteDevice : public QDXSPDevice {
 public:
  MuteDevice() { ::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0, fds_); }
  ~MuteDevice() override { ::close(fds_[1]); }
  bool OpenPort() override {
    port_fd_ = fds_[0] >= 0 ? ::fcntl(fds_[0], F_DUPFD_CLOEXEC, 0) : -1;
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

// The first start and a replacement alike: the other device polls on while
// the simulator hangs, and the starter's call, not a look every few
// milliseconds, tells the link's owner that it is done.
TEST_F(SimProcessTest, AHangingStartHoldsUpNoOtherDevice) {
  const std::string gate = dir_.File("gate");
  // It prints its path only once the test lets it.
  const std::string program = Stub("slow-sim", "while [ ! -e " + gate +
                                                   " ]; do sleep 0.02; done\necho /dev/null\nexec "
                                                   "sleep 30\n");
  auto steady_dev = std::make_shared<MuteDevice>();
  auto hung_dev = std::make_shared<MuteDevice>();
  controller::DeviceLink steady(Config("steady", ""), 0, steady_dev, "");
  controller::DeviceLink hung(Config("hung", "any"), 1, hung_dev, program);
  Reopens told;
  hung.Observe(&told);
  std::atomic<int> done{0};
  steady.OpenAtStart();
  hung.StartSimulator([&done] { ++done; });
  steady.Begin(controller::Clock::now());
  hung.Begin(controller::Clock::now());
  auto turn_both = [&] {
    steady.Turn(controller::Clock::now());
    hung.Turn(controller::Clock::now());
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  };
  // Waiting in the loop would have told a failed start (after 5 s) before
  // the other device's next polls.
  for (int i = 0; i < 2000 && steady_dev->polls_ < 6; ++i) turn_both();
  EXPECT_GE(steady_dev->polls_, 6);
  EXPECT_FALSE(hung.TakeFirstSimulator());
  EXPECT_EQ(hung_dev->polls_, 0);
  EXPECT_EQ(hung.counters().cycles, 0);  // the slots before its simulator are not missed polls
  std::ofstream(gate) << "go\n";
  for (int i = 0; i < 1000 && done == 0; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(done, 1);
  ASSERT_TRUE(hung.TakeFirstSimulator());
  EXPECT_EQ(hung.port_path(), "/dev/null");
  EXPECT_NE(hung.exchange(), controller::DeviceLink::Exchange::kClosed);

  // Lost: its first turn after the back-off starts a replacement off the loop.
  hung.LosePort("gone", controller::Clock::now());
  for (int i = 0; i < 1000 && !hung.sim_starting(); ++i) turn_both();
  for (int i = 0; i < 1000 && done == 1; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_EQ(done, 2);
  hung.Turn(controller::Clock::now());
  EXPECT_EQ(told.opened, 1);
  EXPECT_EQ(told.failed, 0);
  EXPECT_NE(hung.exchange(), controller::DeviceLink::Exchange::kClosed);
}

}  // namespace

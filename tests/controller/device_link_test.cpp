// The device link's own promises: a port that refuses a write is lost at
// once, not one reply timeout later; a line that takes no output fails only
// the poll, at its timeout, and never holds up the caller.
#include "controller/link/device_link.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>

namespace {

using controller::Clock;
using controller::DeviceLink;

// A device on one end of a socket pair: its poll is three bytes.
class SocketDevice : public QDXSPDevice {
 public:
  explicit SocketDevice(int fd) : fd_(fd) {}
  bool OpenPort() override {
    port_fd_ = fd_;
    return true;
  }
  int RefreshStatus() override {
    QDXSPDevice::RefreshStatus();
    static const unsigned char kPoll[] = {'Q', '1', '\r'};
    SendData(kPoll, sizeof(kPoll));
    return 1;
  }
  int LoadFromCache(const unsigned char*, int) override { return 0; }

 private:
  int fd_;
};

TEST(DeviceLinkTest, AFailedWriteLosesThePortAtOnce) {
  ::signal(SIGPIPE, SIG_IGN);
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  ::close(fds[1]);  // the line is gone: writing gives EPIPE
  auto dev = std::make_shared<SocketDevice>(fds[0]);
  controller::DeviceConfig cfg;
  cfg.name = "ups1";
  cfg.data_id = 1;
  cfg.poll_interval_ms = 1000;
  cfg.reply_timeout_ms = 800;
  DeviceLink link(cfg, 0, dev, "", nullptr);
  dev->sinks_.send_failed = [&link](int err) { link.SendFailed(err); };
  link.OpenAtStart();
  const Clock::time_point now = Clock::now();
  link.Begin(now);
  link.Turn(now);
  EXPECT_EQ(link.state(), DeviceLink::State::kClosed);
  EXPECT_EQ(link.failures(), 1);
  EXPECT_EQ(link.fd(), -1);
}

TEST(DeviceLinkTest, AFullLineFailsThePollAtItsTimeoutAndKeepsThePort) {
  int fds[2];
  ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0, fds), 0);
  const std::string fill(4096, 'x');
  for (int i = 0; i < 10000 && ::write(fds[0], fill.data(), fill.size()) > 0; ++i) {
  }  // nobody reads fds[1]: the line takes nothing more
  auto dev = std::make_shared<SocketDevice>(fds[0]);
  dev->reply_timeout_ms_ = 50;
  controller::DeviceConfig cfg;
  cfg.name = "ups1";
  cfg.data_id = 1;
  cfg.poll_interval_ms = 1000;
  cfg.reply_timeout_ms = 50;
  DeviceLink link(cfg, 0, dev, "", nullptr);
  dev->sinks_.send = [&link](const unsigned char* d, unsigned int n) { link.Send(d, n); };
  link.OpenAtStart();
  link.Begin(Clock::now());
  link.Turn(Clock::now());
  EXPECT_EQ(link.state(), DeviceLink::State::kAwaiting);
  EXPECT_TRUE(link.wants_output());  // the poll waits for room, not the caller
  std::this_thread::sleep_for(std::chrono::milliseconds(60));
  link.Turn(Clock::now());
  EXPECT_EQ(link.failures(), 1);
  EXPECT_FALSE(link.wants_output());  // a poll too late is not sent later
  EXPECT_EQ(link.fd(), fds[0]);
  link.Close();
  ::close(fds[1]);
}

}  // namespace

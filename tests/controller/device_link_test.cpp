// The device link's own promises: a port that refuses a write is lost at
// once, not one reply timeout later.
#include "controller/link/device_link.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>

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

}  // namespace

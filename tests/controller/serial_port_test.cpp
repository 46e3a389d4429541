// The controller's serial-port helpers, on a pseudo-terminal.
#include "controller/framework/serial_port.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/expect.h"
#include "support/temp_dir.h"

namespace {

class SerialPortTest : public ::testing::Test {
 protected:
  void SetUp() override {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master_, 0);
    ASSERT_EQ(::grantpt(master_), 0);
    ASSERT_EQ(::unlockpt(master_), 0);
    path_ = ::ptsname(master_);
  }
  void TearDown() override { ::close(master_); }
  int master_ = -1;
  std::string path_;
};

TEST_F(SerialPortTest, SecondOpenIsRefusedAsInUseUntilTheFirstCloses) {
  const int fd = controller::OpenSerialPort(path_, 2400);
  test_support::ExpectThrowWithMessage<std::runtime_error>(
      [&] { controller::OpenSerialPort(path_, 2400); },
      "cannot open port " + path_ + ": port in use by another program");
  controller::CloseSerialPort(fd);
  controller::CloseSerialPort(controller::OpenSerialPort(path_, 2400));
}

TEST_F(SerialPortTest, DiscardInputDropsWhatWaitsAndShowsIt) {
  const int fd = controller::OpenSerialPort(path_, 2400);
  ASSERT_EQ(::write(master_, "\nNOISE\r(23", 10), 10);
  ::usleep(20000);
  std::string seen;
  EXPECT_EQ(controller::DiscardInput(fd,
                                     [&](const unsigned char* d, std::size_t n) {
                                       seen.append(reinterpret_cast<const char*>(d), n);
                                     }),
            10u);
  EXPECT_EQ(seen, "\nNOISE\r(23");
  char c = 0;
  EXPECT_LE(::read(fd, &c, 1), 0);  // nothing left
  EXPECT_EQ(controller::DiscardInput(-1, nullptr), 0u);
  controller::CloseSerialPort(fd);
}

TEST_F(SerialPortTest, DiscardInputStopsAtItsBoundAndSaysTheLineKeepsSending) {
  const int fd = controller::OpenSerialPort(path_, 2400);
  const std::string noise(3000, '\r');
  ASSERT_EQ(::write(master_, noise.data(), noise.size()), 3000);
  ::usleep(20000);
  bool sending = false;
  EXPECT_EQ(controller::DiscardInput(fd, nullptr, 1000, &sending), 1000u);
  EXPECT_TRUE(sending);
  EXPECT_EQ(controller::DiscardInput(fd, nullptr, 1000, &sending), 0u);  // the rest was flushed
  EXPECT_FALSE(sending);
  controller::CloseSerialPort(fd);
}

// A line nobody reads takes part of a poll, then nothing, and never holds the
// caller up; once read, it takes more.
TEST_F(SerialPortTest, WriteSomeTakesWhatFitsWithoutWaiting) {
  const int fd = controller::OpenSerialPort(path_, 115200);
  const std::vector<unsigned char> big(1 << 20, 'x');
  const auto started = std::chrono::steady_clock::now();
  const long first = controller::WriteSome(fd, big.data(), big.size());
  EXPECT_GT(first, 0);
  EXPECT_LT(first, static_cast<long>(big.size()));
  // The line discipline may still move a little on (more so under an emulator):
  // a few more writes fill it, and then one takes nothing, which is no error.
  long more = 1;
  for (int i = 0; i < 100 && more > 0; ++i)
    more = controller::WriteSome(fd, big.data(), big.size());
  EXPECT_EQ(more, 0);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(1));
  ::fcntl(master_, F_SETFL, O_NONBLOCK);
  char sink[4096];
  for (int i = 0; i < 1000 && ::read(master_, sink, sizeof(sink)) > 0; ++i) {
  }
  ::usleep(20000);
  EXPECT_GT(controller::WriteSome(fd, big.data(), big.size()), 0);
  controller::CloseSerialPort(fd);
}

// A port not there may come by itself and is waited for; anything else that
// fails an open is a refusal of the site.
// A device node with no device behind it needs hardware: its errors alone.
TEST(PortAbsentTest, TellsAMissingPortFromARefusal) {
  for (const int err : {ENXIO, ENODEV}) EXPECT_TRUE(controller::PortAbsent(err, false));
  for (const int err : {EACCES, EPERM, EBUSY, EIO})
    EXPECT_FALSE(controller::PortAbsent(err, false)) << std::strerror(err);
}

TEST(PortAbsentTest, OpensThatFindNoPortThrowPortMissing) {
  test_support::TempDir dir;
  ASSERT_EQ(::symlink(dir.File("nothing").c_str(), dir.File("dangling").c_str()), 0);
  for (const char* name : {"ttyUSB7", "by-id/usb-ups", "dangling"}) {
    EXPECT_THROW(controller::OpenSerialPort(dir.File(name), 2400), controller::PortMissing) << name;
  }
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  std::strncpy(addr.sun_path, dir.File("sock").c_str(), sizeof(addr.sun_path) - 1);
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);
  for (const std::string& path : {dir.path(), dir.File("sock")}) {
    try {
      controller::OpenSerialPort(path, 2400);
      ADD_FAILURE() << path << " opened";
    } catch (const controller::PortMissing& e) {
      ADD_FAILURE() << e.what();
    } catch (const std::runtime_error& e) {
      EXPECT_NE(std::string(e.what()).find("not a character device"), std::string::npos)
          << e.what();
    }
  }
  ::close(sock);
}

// At 2400 bit/s a line carries 240 bytes a second.
TEST(LineKeepsSendingTest, TellsABabblingLineFromStrayInput) {
  EXPECT_TRUE(controller::LineKeepsSending(0, true, 2400, 1000));      // the bound was reached
  EXPECT_TRUE(controller::LineKeepsSending(240, false, 2400, 1000));   // sent all the time
  EXPECT_TRUE(controller::LineKeepsSending(120, false, 2400, 1000));   // half of it
  EXPECT_FALSE(controller::LineKeepsSending(100, false, 2400, 1000));  // a late reply's tail
  EXPECT_FALSE(controller::LineKeepsSending(1, false, 2400, 1));       // the LF after a CR
  EXPECT_FALSE(controller::LineKeepsSending(63, false, 2400, 100));    // a reply line at most
  EXPECT_TRUE(controller::LineKeepsSending(5000, false, 2400, 0));     // polled at once
}

}  // namespace

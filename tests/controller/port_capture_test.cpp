// Checks of the controller's serial-port helpers on a pseudo-terminal and of
// the capture format that ups-sim replays.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "controller/capture.h"
#include "controller/serial_port.h"

namespace {

class Pty : public ::testing::Test {
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

TEST_F(Pty, SecondOpenIsRefusedAsInUseUntilTheFirstCloses) {
  const int fd = controller::OpenSerialPort(path_, 2400);
  try {
    controller::OpenSerialPort(path_, 2400);
    FAIL() << "opened twice";
  } catch (const std::runtime_error& e) {
    EXPECT_EQ(std::string(e.what()),
              "cannot open port " + path_ + ": port in use by another program");
  }
  controller::CloseSerialPort(fd);
  controller::CloseSerialPort(controller::OpenSerialPort(path_, 2400));
}

TEST_F(Pty, DiscardInputDropsWhatWaitsAndShowsIt) {
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

TEST(Capture, LinesRoundTripThroughAFile) {
  controller::CaptureEvent e;
  e.usec = 1234567890123LL;
  e.device = "ups 1%\xff";
  e.received = true;
  e.bytes = std::string("(\0\r\n", 4);
  EXPECT_EQ(controller::FormatCaptureLine(e), "1234567890123 ups%201%25%ff rx 28000d0a");

  char path[] = "/tmp/qdx-capture-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  {
    controller::CaptureWriter w(path);
    w.Write(e.device, false, reinterpret_cast<const unsigned char*>("Q1\r"), 3);
    w.Write(e.device, true, reinterpret_cast<const unsigned char*>(e.bytes.data()), 4);
    w.Write(e.device, true, nullptr, 0);  // nothing to record
    EXPECT_FALSE(w.failed());
  }
  const auto events = controller::ReadCapture(path);
  ::unlink(path);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].received);
  EXPECT_EQ(events[0].bytes, "Q1\r");
  EXPECT_EQ(events[1].device, e.device);
  EXPECT_EQ(events[1].bytes, e.bytes);
  EXPECT_LE(events[0].usec, events[1].usec);
  controller::CaptureEvent skipped;
  EXPECT_FALSE(controller::ParseCaptureLine("# note", skipped));
  EXPECT_FALSE(controller::ParseCaptureLine("", skipped));
  EXPECT_THROW(controller::CaptureWriter("/nonexistent/x.capture"), controller::CaptureError);
}

struct BadLine {
  const char* line;
  const char* message;
};

void PrintTo(const BadLine& b, std::ostream* os) { *os << b.line; }

class CaptureRejects : public ::testing::TestWithParam<BadLine> {};

TEST_P(CaptureRejects, SaysWhy) {
  controller::CaptureEvent e;
  try {
    controller::ParseCaptureLine(GetParam().line, e);
    FAIL() << "accepted " << GetParam().line;
  } catch (const controller::CaptureError& err) {
    EXPECT_NE(std::string(err.what()).find(GetParam().message), std::string::npos) << err.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Table, CaptureRejects,
                         ::testing::Values(BadLine{"12 ups tx", "expected <usec>"},
                                           BadLine{"12 ups tx 51 31", "expected <usec>"},
                                           BadLine{"-3 ups tx 51", "time \"-3\""},
                                           BadLine{"1234567890123456789 ups tx 51", "time"},
                                           BadLine{"12 ups up 51", "direction \"up\""},
                                           BadLine{"12 ups rx 513", "odd number"},
                                           BadLine{"12 ups rx 5g", "\"5g\" is not a hex byte"},
                                           BadLine{"12 u%4 rx 51", "bad %-escape"}));

TEST(Capture, ReadNamesFileAndLine) {
  char path[] = "/tmp/qdx-capture-XXXXXX";
  const int fd = ::mkstemp(path);
  ASSERT_GE(fd, 0);
  ::close(fd);
  std::ofstream(path) << "# header\n1 ups tx 51\n2 ups rx zz\n";
  try {
    controller::ReadCapture(path);
    FAIL() << "accepted";
  } catch (const controller::CaptureError& e) {
    EXPECT_EQ(std::string(e.what()).rfind(std::string(path) + ":3: ", 0), 0u) << e.what();
  }
  ::unlink(path);
  EXPECT_THROW(controller::ReadCapture(path), controller::CaptureError);
}

}  // namespace

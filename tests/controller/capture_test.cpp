// The capture format qdx-host writes and ups-sim replays: one line per chunk
// of bytes, read back as written, and refused naming the file and line.
#include "controller/capture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "support/expect.h"
#include "support/temp_dir.h"

namespace {

struct BadLine {
  const char* line;
  const char* message;
};

void PrintTo(const BadLine& b, std::ostream* os) { *os << b.line; }

class CaptureTest : public ::testing::TestWithParam<BadLine> {
 protected:
  test_support::TempDir dir_;
  const std::string path_ = dir_.File("x.capture");
};

TEST_F(CaptureTest, LinesRoundTripThroughAFile) {
  controller::CaptureEvent e;
  e.usec = 1234567890123LL;
  e.device = "ups 1%\xff";
  e.received = true;
  e.bytes = std::string("(\0\r\n", 4);
  EXPECT_EQ(controller::FormatCaptureLine(e), "1234567890123 ups%201%25%ff rx 28000d0a");
  {
    controller::CaptureWriter w(path_);
    w.Write(e.device, false, reinterpret_cast<const unsigned char*>("Q1\r"), 3);
    w.Write(e.device, true, reinterpret_cast<const unsigned char*>(e.bytes.data()), 4);
    w.Write(e.device, true, nullptr, 0);  // nothing to record
    EXPECT_FALSE(w.failed());
  }
  const auto events = controller::ReadCapture(path_);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_FALSE(events[0].received);
  EXPECT_EQ(events[0].bytes, "Q1\r");
  EXPECT_EQ(events[1].device, e.device);
  EXPECT_EQ(events[1].bytes, e.bytes);
  EXPECT_LE(events[0].usec, events[1].usec);
  controller::CaptureEvent skipped;
  EXPECT_FALSE(controller::ParseCaptureLine("# note", skipped));
  EXPECT_FALSE(controller::ParseCaptureLine("", skipped));
  EXPECT_THROW(controller::CaptureWriter(dir_.File("missing/x.capture")), controller::CaptureError);
}

TEST_F(CaptureTest, ReadNamesFileAndLine) {
  std::ofstream(path_) << "# header\n1 ups tx 51\n2 ups rx zz\n";
  test_support::ExpectThrowWithMessage<controller::CaptureError>(
      [&] { controller::ReadCapture(path_); }, path_ + ":3: ");
  EXPECT_THROW(controller::ReadCapture(dir_.File("none")), controller::CaptureError);
}

TEST_P(CaptureTest, RejectsALineSayingWhy) {
  controller::CaptureEvent e;
  test_support::ExpectThrowWithMessage<controller::CaptureError>(
      [&] { controller::ParseCaptureLine(GetParam().line, e); }, GetParam().message);
}

INSTANTIATE_TEST_SUITE_P(Table, CaptureTest,
                         ::testing::Values(BadLine{"12 ups tx", "expected <usec>"},
                                           BadLine{"12 ups tx 51 31", "expected <usec>"},
                                           BadLine{"-3 ups tx 51", "time \"-3\""},
                                           BadLine{"1234567890123456789 ups tx 51", "time"},
                                           BadLine{"12 ups up 51", "direction \"up\""},
                                           BadLine{"12 ups rx 513", "odd number"},
                                           BadLine{"12 ups rx 5g", "\"5g\" is not a hex byte"},
                                           BadLine{"12 u%4 rx 51", "bad %-escape"}));

}  // namespace

// The capture format qdx-host writes and ups-sim replays: one line per chunk
// of bytes, read back as written, and refused naming the file and line.
#include "controller/capture/capture.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
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

// Nothing is ever overwritten: the history and a file that is no capture are
// refused and left as they were; a capture is appended to, after its cut line.
TEST_F(CaptureTest, NeverOverwritesAndAppendsToACapture) {
  const std::string db = dir_.File("h.db");
  for (const std::string& other : {db, path_}) {
    std::ofstream(other) << "60 good rows";
    test_support::ExpectThrowWithMessage<controller::CaptureError>(
        [&] { controller::CaptureWriter w(other, db); },
        other == db ? "it is the history database" : "is no capture");
    std::ifstream in(other);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "60 good rows");
  }
  EXPECT_THROW(controller::CaptureWriter(dir_.File("./h.db"), db), controller::CaptureError);
  // SQLite's own files beside the history, before they exist: it would overwrite them.
  for (const char* side : {"h.db-wal", "h.db-shm", "h.db-journal"}) {
    test_support::ExpectThrowWithMessage<controller::CaptureError>(
        [&] { controller::CaptureWriter w(dir_.File(side), db); }, "it is the history database's");
    EXPECT_FALSE(std::ifstream(dir_.File(side)).good()) << side;
  }
  const std::string cap = dir_.File("a.capture");
  { controller::CaptureWriter w(cap); }
  std::ofstream(cap, std::ios::app) << "1 ups tx 51310d\n2 ups rx 2";
  std::string warning;
  EXPECT_EQ(controller::ReadCapture(cap, &warning).size(), 1u);
  EXPECT_EQ(warning, cap + ":3: last line cut short, left out");
  {
    controller::CaptureWriter w(cap, db);
    w.Write("ups", true, reinterpret_cast<const unsigned char*>("("), 1);
  }
  const auto events = controller::ReadCapture(cap);
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1].bytes, "(");
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

// Standard output through the bounded buffer: a reader that stalls never
// holds up a writer, the oldest lines go first and are counted, and the
// reader hears of them once it is back.
#include "controller/common/output_pump.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

namespace {

struct Trim {
  const char* text;
  std::size_t capacity;
  const char* left;
  std::uint64_t cut;
};

class TrimOldestLinesTest : public ::testing::TestWithParam<Trim> {};

TEST_P(TrimOldestLinesTest, CutsWholeLinesFromTheFront) {
  std::string text = GetParam().text;
  EXPECT_EQ(controller::TrimOldestLines(text, GetParam().capacity), GetParam().cut);
  EXPECT_EQ(text, GetParam().left);
}

INSTANTIATE_TEST_SUITE_P(Table, TrimOldestLinesTest,
                         ::testing::Values(Trim{"a\nb\n", 4, "a\nb\n", 0},
                                           Trim{"a\nb\n", 3, "b\n", 1},
                                           Trim{"aaa\nb\nc", 4, "b\nc", 1},
                                           Trim{"a\nb\ncc", 1, "", 3},  // an unfinished line too
                                           Trim{"", 0, "", 0}));

TEST(OutputPumpTest, GroupsThousands) {
  EXPECT_EQ(controller::Grouped(0), "0");
  EXPECT_EQ(controller::Grouped(999), "999");
  EXPECT_EQ(controller::Grouped(1234), "1,234");
  EXPECT_EQ(controller::Grouped(1234567), "1,234,567");
}

// The pump takes over a descriptor whose real output is a pipe nobody reads:
// writing far more than both hold must not block, and the newest lines and
// a count of the dropped ones arrive once the reader reads.
TEST(OutputPumpTest, StalledReaderNeverBlocksTheWriter) {
  int real[2];
  ASSERT_EQ(::pipe(real), 0);
  const int fd = ::dup(real[1]);
  ::close(real[1]);
  int error = 0;
  controller::OutputPump pump(fd, 4096, [&error](int e) { error = e; });
  pump.Start();
  const std::string line = std::string(99, 'x') + "\n";
  for (int i = 0; i < 20000; ++i) ASSERT_EQ(::write(fd, line.data(), line.size()), 100);
  ASSERT_EQ(::write(fd, "last\n", 5), 5);
  // Let the writer through, then end: everything held is written at the end.
  std::string got;
  char buf[65536];
  const int flags = ::fcntl(real[0], F_GETFL);
  ::fcntl(real[0], F_SETFL, flags | O_NONBLOCK);
  for (int i = 0; i < 1000 && got.find("last\n") == std::string::npos; ++i) {
    const ssize_t n = ::read(real[0], buf, sizeof(buf));
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (n <= 0) ::usleep(10000);
  }
  EXPECT_TRUE(pump.Finish(controller::OutputPump::Clock::now() + std::chrono::seconds(5)));
  ::close(fd);
  EXPECT_EQ(error, 0);
  EXPECT_GT(pump.dropped(), 0u);
  EXPECT_NE(got.find(" output lines dropped (reader too slow)\n"), std::string::npos);
  EXPECT_EQ(got.substr(got.size() - 5), "last\n");
  ::close(real[0]);
}

// Text handed over by Put, as stdout's lines are, takes the same bounded way:
// a stalled reader never holds it up, and the newest lines arrive with the
// count of the dropped ones.
TEST(OutputPumpTest, PutNeverWaitsForAStalledReader) {
  int real[2];
  ASSERT_EQ(::pipe(real), 0);
  const int fd = ::dup(real[1]);
  ::close(real[1]);
  controller::OutputPump pump(fd, 4096, nullptr);
  pump.Start();
  const std::string line = std::string(99, 'y') + "\n";
  const auto start = controller::OutputPump::Clock::now();
  for (int i = 0; i < 20000; ++i) pump.Put(line.data(), line.size());
  pump.Put("last\n", 5);
  EXPECT_LT(controller::OutputPump::Clock::now() - start, std::chrono::seconds(2));
  std::string got;
  char buf[65536];
  ::fcntl(real[0], F_SETFL, ::fcntl(real[0], F_GETFL) | O_NONBLOCK);
  for (int i = 0; i < 1000 && got.find("last\n") == std::string::npos; ++i) {
    const ssize_t n = ::read(real[0], buf, sizeof(buf));
    if (n > 0) got.append(buf, static_cast<std::size_t>(n));
    if (n <= 0) ::usleep(10000);
  }
  EXPECT_TRUE(pump.Finish(controller::OutputPump::Clock::now() + std::chrono::seconds(5)));
  ::close(fd);
  EXPECT_GT(pump.dropped(), 0u);
  EXPECT_NE(got.find(" output lines dropped (reader too slow)\n"), std::string::npos);
  EXPECT_EQ(got.substr(got.size() - 5), "last\n");
  ::close(real[0]);
}

}  // namespace

// The poll loop's decisions that need no device: how long to wait before
// reopening a port, and whether a stored record may be replayed at start.
#include "controller/app/qdx_controller.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

struct CacheCase {
  controller::Bytes bytes;
  std::string time;
  std::string refusal;  // empty: replayed
};

void PrintTo(const CacheCase& c, std::ostream* os) { *os << c.time << " " << c.refusal; }

class QdxControllerTest : public ::testing::TestWithParam<CacheCase> {};

TEST_F(QdxControllerTest, BackoffDoublesUpToTheCap) {
  int ms = controller::kFirstBackoffMs;
  std::vector<int> seen;
  for (int i = 0; i < 8; ++i) seen.push_back(ms = controller::NextBackoffMs(ms));
  EXPECT_EQ(seen, (std::vector<int>{500, 1000, 2000, 4000, 8000, 8000, 8000, 8000}));
  EXPECT_EQ(controller::NextBackoffMs(0), controller::kFirstBackoffMs);
}

// Device 1001 with a 300 s limit, asked at 2026-12-07T20:10:00Z.
TEST_P(QdxControllerTest, ReplaysOnlyTheDevicesOwnRecentRecord) {
  controller::HistoryRow rec;
  rec.data = GetParam().bytes;
  rec.time = GetParam().time;
  EXPECT_EQ(controller::CacheRefusal(rec, 1001, 300, 1796674200), GetParam().refusal);
}

// The start of a record of data id 1001: only the data id is read.
const controller::Bytes kOwn = {0xE9, 0x03, 0x00, 0x00, 0xFC, 0x08, 0xF7, 0x08};

INSTANTIATE_TEST_SUITE_P(
    Table, QdxControllerTest,
    ::testing::Values(
        CacheCase{kOwn, "2026-12-07T20:05:00.000Z", ""},
        CacheCase{kOwn, "2026-12-07T20:10:01.500Z", ""},  // written a moment ago
        CacheCase{controller::Bytes{7, 0, 0, 0, 1}, "2026-12-07T20:09:00.000Z",
                  "it carries data id 7, not 1001"},
        CacheCase{controller::Bytes{0xE9, 0x03, 0x00, 0x01}, "2026-12-07T20:09:00.000Z",
                  "it carries data id 16778217, not 1001"},
        CacheCase{controller::Bytes{0xE9, 0x03}, "2026-12-07T20:09:00.000Z",
                  "it holds 2 bytes, too few to carry a data id"},
        CacheCase{kOwn, "2026-12-07T20:04:59.999Z", "stored 301 s ago, older than 300 s"},
        CacheCase{kOwn, "2026-12-04T20:10:00.000Z", "stored 3 days ago, older than 300 s"},
        CacheCase{kOwn, "2026-12-07T19:00:00.000Z", "stored 70 min ago, older than 300 s"},
        CacheCase{kOwn, "2026-12-07T20:10:03.000Z",
                  "stored at 2026-12-07T20:10:03.000Z, later than now"},
        CacheCase{kOwn, "yesterday", "its stored time \"yesterday\" is not readable"}));

}  // namespace

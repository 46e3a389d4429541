// ISO 8601 times as the HTTP history requests give them, read to UTC.
#include "controller/common/iso_time.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdlib>
#include <ctime>
#include <limits>
#include <string>

namespace {

struct TimeCase {
  const char* text;
  const char* utc;  // nullptr: rejected
};
void PrintTo(const TimeCase& c, std::ostream* os) { *os << c.text; }

class IsoTimeTest : public ::testing::TestWithParam<TimeCase> {};

TEST_P(IsoTimeTest, ParsesToUtc) {
  const auto ms = controller::ParseUtcMs(GetParam().text);
  if (!GetParam().utc) {
    EXPECT_FALSE(ms) << controller::FormatUtcMs(*ms);
  } else {
    ASSERT_TRUE(ms);
    EXPECT_EQ(controller::FormatUtcMs(*ms), GetParam().utc);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Table, IsoTimeTest,
    ::testing::Values(TimeCase{"1970-01-01", "1970-01-01T00:00:00.000Z"},
                      TimeCase{"2026-12-07T10:20", "2026-12-07T10:20:00.000Z"},
                      TimeCase{"2026-12-07T10:20:30Z", "2026-12-07T10:20:30.000Z"},
                      TimeCase{"2026-12-07T10:20:30.5Z", "2026-12-07T10:20:30.500Z"},
                      TimeCase{"2026-12-07T10:20:30.123456789", "2026-12-07T10:20:30.123Z"},
                      TimeCase{"2026-12-07T01:00:00+02:00", "2026-12-06T23:00:00.000Z"},
                      TimeCase{"2026-12-07T23:30:00-0100", "2026-12-08T00:30:00.000Z"},
                      TimeCase{"2026-12-07T10:00:00 01:00", "2026-12-07T09:00:00.000Z"},
                      TimeCase{"2028-02-29T12:00:00Z", "2028-02-29T12:00:00.000Z"},
                      TimeCase{"2100-03-01", "2100-03-01T00:00:00.000Z"},
                      TimeCase{"9999-12-31T23:59:59.999Z", "9999-12-31T23:59:59.999Z"},
                      TimeCase{"2027-02-29", nullptr}, TimeCase{"2100-02-29", nullptr},
                      TimeCase{"2026-13-01", nullptr}, TimeCase{"2026-12-00", nullptr},
                      TimeCase{"1969-12-31", nullptr}, TimeCase{"2026-12-07T24:00", nullptr},
                      TimeCase{"2026-12-07T10:60", nullptr},
                      TimeCase{"2026-12-07T10:20:61", nullptr},
                      TimeCase{"2026-12-07T10:20:30.", nullptr},
                      TimeCase{"2026-12-07 10:20", nullptr},
                      TimeCase{"2026-12-07T10:20Zx", nullptr}, TimeCase{"2026-12-7", nullptr},
                      TimeCase{"1970-01-01T00:30+01:00", nullptr}, TimeCase{"", nullptr},
                      TimeCase{"now", nullptr}));

// The terminal's lines in the local zone; a time the zone cannot hold is
// shown as its UTC text rather than ending the program.
TEST(IsoTimeLocalTest, ShowsTheLocalZone) {
  ASSERT_EQ(::setenv("TZ", "UTC-2", 1), 0);
  ::tzset();
  EXPECT_EQ(controller::FormatLocalMs(0), "1970-01-01 02:00:00");
  const auto last = controller::ParseUtcMs("9999-12-31T23:00:00Z");
  ASSERT_TRUE(last);
  EXPECT_EQ(controller::FormatLocalMs(*last), "9999-12-31T23:00:00.000Z");  // local year 10000
  const std::int64_t most = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(controller::FormatLocalMs(most), controller::FormatUtcMs(most));
  ::unsetenv("TZ");
  ::tzset();
}

// The terminal's local times and the zone said at start, in zones east and
// west of UTC, in and out of summer time, and off the hour.
struct LocalCase {
  const char* tz;
  const char* utc;
  const char* local;
  const char* zone;
};
void PrintTo(const LocalCase& c, std::ostream* os) { *os << c.tz << " " << c.utc; }

class LocalTimeTest : public ::testing::TestWithParam<LocalCase> {
 protected:
  void SetUp() override {
    const char* tz = std::getenv("TZ");
    had_ = tz != nullptr;
    if (had_) saved_ = tz;
    ::setenv("TZ", GetParam().tz, 1);
    ::tzset();
  }
  void TearDown() override {
    if (had_) {
      ::setenv("TZ", saved_.c_str(), 1);
    } else {
      ::unsetenv("TZ");
    }
    ::tzset();
  }
  bool had_ = false;
  std::string saved_;
};

TEST_P(LocalTimeTest, FormatsInTheZone) {
  const auto ms = controller::ParseUtcMs(GetParam().utc);
  ASSERT_TRUE(ms);
  EXPECT_EQ(controller::FormatLocalMs(*ms + 999), GetParam().local);  // seconds, not rounded
  EXPECT_EQ(controller::LocalZone(*ms), GetParam().zone);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LocalTimeTest,
    ::testing::Values(
        LocalCase{"UTC0", "2026-12-07T20:05:44Z", "2026-12-07 20:05:44", "UTC, UTC+00:00"},
        LocalCase{"CET-1CEST,M3.5.0,M10.5.0/3", "2026-12-31T23:30:00Z", "2027-01-01 00:30:00",
                  "CET, UTC+01:00"},
        LocalCase{"CET-1CEST,M3.5.0,M10.5.0/3", "2026-07-01T12:00:00Z", "2026-07-01 14:00:00",
                  "CEST, UTC+02:00"},
        LocalCase{"<+0530>-5:30", "2026-12-07T20:05:44Z", "2026-12-08 01:35:44",
                  "+0530, UTC+05:30"},
        LocalCase{"NST3:30", "2026-03-01T02:00:00Z", "2026-02-28 22:30:00", "NST, UTC-03:30"}));

}  // namespace

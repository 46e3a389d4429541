// ISO 8601 times as the HTTP history requests give them, read to UTC.
#include "controller/common/iso_time.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <limits>

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
// shown as zeros rather than ending the program.
TEST(IsoTimeLocalTest, ShowsTheLocalZone) {
  ASSERT_EQ(::setenv("TZ", "UTC-2", 1), 0);
  ::tzset();
  EXPECT_EQ(controller::FormatLocalTime(0), "1970-01-01 02:00:00");
  EXPECT_EQ(controller::FormatLocalTime(std::numeric_limits<std::time_t>::max()),
            "0000-00-00 00:00:00");
  ::unsetenv("TZ");
  ::tzset();
}

}  // namespace

// Analogue report decisions and the six per-signal checks.
#include <cstdint>
#include <ctime>
#include <limits>

#include "device_fixture.h"

namespace unit {
namespace {

constexpr char kSignal[] = "2A2615101001";
constexpr char kReport[] = "2A2110400001";
constexpr std::int64_t kKeepTime = std::numeric_limits<std::int64_t>::min();

Setting Abs(float delta, float last) { return Setting{true, delta, false, 0, false, 0, 0, last}; }
Setting Pct(float pct, float last) { return Setting{false, 0, true, pct, false, 0, 0, last}; }
Setting Period(float minutes) { return Setting{false, 0, false, 0, true, minutes, 0, 0}; }

struct ReportCase {
  Setting setting;
  float value;
  bool reported;
  std::int64_t age = kKeepTime;  // seconds since the last report, or keep last_time
};

void PrintTo(const ReportCase& c, std::ostream* os) {
  *os << "value " << c.value << " last " << c.setting.last_value << " age " << c.age;
}

class ReportTest : public DeviceFixture {
 protected:
  // Every row leaves a threshold item and a report; value5 and state do not matter.
  int RunChecks(int mode);
};

class AoReportTest : public ReportTest, public testing::WithParamInterface<ReportCase> {};

TEST_P(AoReportTest, ReportsWhenATestFires) {
  Setting s = GetParam().setting;
  const std::int64_t start = std::time(nullptr);
  if (GetParam().age != kKeepTime) s.last_time = static_cast<std::uint32_t>(start - GetParam().age);
  dev_.ao_settings_[kReport] = s;
  const int result = dev_.CheckAOReport(kSignal, kReport, GetParam().value);
  const std::int64_t end = std::time(nullptr);
  const Setting& after = dev_.ao_settings_.at(kReport);
  if (!GetParam().reported) {
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(reports_.empty());
    EXPECT_TRUE(Same(after, s));
    return;
  }
  EXPECT_EQ(result, 1);
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_EQ(reports_[0].id, kReport);
  EXPECT_EQ(reports_[0].value, GetParam().value);
  EXPECT_EQ(after.last_value, GetParam().value);
  EXPECT_GE(after.last_time, start);
  EXPECT_LE(after.last_time, end);
  EXPECT_TRUE(Same(reports_[0].entry, after));  // updated before the controller was told
}

INSTANTIATE_TEST_SUITE_P(
    ReportAbsoluteBand, AoReportTest,
    testing::Values(ReportCase{Abs(2, 230), 232.0f, false}, ReportCase{Abs(2, 230), 228.0f, false},
                    ReportCase{Abs(2, 230), 232.5f, true}, ReportCase{Abs(2, 230), 227.5f, true},
                    ReportCase{Abs(0, 230), 230.0f, false}, ReportCase{Abs(0, 230), 230.1f, true},
                    ReportCase{Abs(0, 230), 229.9f, true}));

INSTANTIATE_TEST_SUITE_P(
    ReportRelativeBand, AoReportTest,
    testing::Values(ReportCase{Pct(10, 0), 0.0f, false}, ReportCase{Pct(10, 0), 0.1f, true},
                    ReportCase{Pct(10, 0), -0.1f, true}, ReportCase{Pct(10, 100), 110.0f, false},
                    ReportCase{Pct(10, 100), 90.0f, false}, ReportCase{Pct(10, 100), 110.5f, true},
                    ReportCase{Pct(10, 100), 89.5f, true}, ReportCase{Pct(10, -10), -10.0f, false},
                    ReportCase{Pct(10, -10), -9.0f, false}, ReportCase{Pct(10, -10), -11.0f, false},
                    ReportCase{Pct(10, -10), -8.9f, true}, ReportCase{Pct(10, -10), -11.5f, true}));

INSTANTIATE_TEST_SUITE_P(ReportPeriod, AoReportTest,
                         testing::Values(ReportCase{Period(1), 5.0f, false, 59},
                                         ReportCase{Period(1), 5.0f, true, 61},
                                         ReportCase{Period(0.5f), 5.0f, false, 29},
                                         ReportCase{Period(0.5f), 5.0f, true, 31},
                                         ReportCase{Period(1), 5.0f, false, -100},
                                         ReportCase{Period(1), 5.0f, true},
                                         ReportCase{Setting{}, 1e6f, false}));

// Whole seconds in 64 bits: no 128-second grid and no 2038 wrap.
TEST_F(ReportTest, PeriodDueIsExactInWholeSeconds) {
  const struct {
    std::int64_t now;
    std::uint32_t last;
    float minutes;
    bool due;
  } cases[] = {
      {1700000061, 1700000000, 1, true},     {1700000059, 1700000000, 1, false},
      {1700000060, 1700000000, 1, false},    {0x80000010LL, 0x7FFFFFF0u, 1, false},
      {0x100000064LL, 0xFFFFFFF0u, 1, true}, {0x100000000LL, 0xFFFFFFF0u, 1, false},
      {1700000000, 0, 1e6f, true},           {1700000000, 1700000100, 0, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(uni_data::PeriodDue(c.now, c.last, c.minutes), c.due) << c.now << " " << c.last;
  }
}

TEST_F(ReportTest, CopyRuleUsesTheReportEntryFirst) {
  EXPECT_EQ(dev_.CheckAOReport(kSignal, kReport, 5.0f), 0);  // neither id
  EXPECT_TRUE(dev_.ao_settings_.empty());

  Setting tmpl = Abs(0, 5);
  tmpl.last_time = 1234;
  dev_.ao_settings_[kSignal] = tmpl;
  EXPECT_EQ(dev_.CheckAOReport(kSignal, kReport, 5.0f), 0);  // only the signal id
  ASSERT_EQ(dev_.ao_settings_.count(kReport), 1u);
  EXPECT_TRUE(Same(dev_.ao_settings_.at(kReport), tmpl));
  EXPECT_EQ(dev_.CheckAOReport(kSignal, kReport, 6.0f), 1);
  EXPECT_EQ(dev_.ao_settings_.at(kReport).last_value, 6.0f);
  EXPECT_TRUE(Same(dev_.ao_settings_.at(kSignal), tmpl));

  dev_.ao_settings_[kSignal].abs_enabled = false;  // the copy no longer consults it
  EXPECT_EQ(dev_.CheckAOReport(kSignal, kReport, 7.0f), 1);
  dev_.ao_settings_[kReport] = Setting{};  // the report id present, all tests off
  dev_.ao_settings_[kSignal] = tmpl;
  EXPECT_EQ(dev_.CheckAOReport(kSignal, kReport, 8.0f), 0);
  ASSERT_EQ(reports_.size(), 2u);
  EXPECT_EQ(reports_[1].id, kReport);
  EXPECT_EQ(reports_[1].value, 7.0f);
}

// The six rows in checking order: signal id, report id, record offset.
const struct {
  const char* signal;
  const char* report;
  std::size_t offset;
} kRows[] = {
    {"2A2615101001", "2A2110400001", 4},  {"2A2615101002", "2A2110400002", 6},
    {"2A2615601001", "2A2113A00001", 12}, {"2A2611001001", "2A2111000001", 8},
    {"2A2611801001", "2A2111800001", 10}, {"2A2640101001", "2A2127200001", 16},
};

int ReportTest::RunChecks(int mode) {
  for (const auto& row : kRows) {
    AlwaysAlarm(row.signal);
    AlwaysReport(row.signal);
  }
  dev_.b_mode_ = mode;
  ZOTA_UP2200_Data_t rec{};
  const std::uint16_t raw[] = {235, 65535, 1, 2, 3, 999, 4};
  std::memcpy(&rec.value0, raw, sizeof(raw));
  rec.state = 0xFF;
  return dev_.LoadFromCache(reinterpret_cast<const unsigned char*>(&rec), sizeof(rec));
}

class OtherModeTest : public ReportTest, public testing::WithParamInterface<int> {};

TEST_P(OtherModeTest, MakesNoCheck) {
  StdoutCapture out;
  ASSERT_EQ(RunChecks(GetParam()), 1);
  EXPECT_EQ(out.Take(), "rvSize is 0\n");
  EXPECT_TRUE(reports_.empty());
  EXPECT_TRUE(alarms_.empty());
  EXPECT_EQ(dev_.ao_settings_.size(), 6u);  // no working copy made
}

INSTANTIATE_TEST_SUITE_P(Report, OtherModeTest, testing::Values(0, 2, 3));

TEST_F(ReportTest, ModeOneChecksSixRowsInOrderThresholdFirst) {
  StdoutCapture out;
  ASSERT_EQ(RunChecks(1), 1);
  EXPECT_EQ(out.Take(), "rvSize is 6\n");
  const float expected[] = {23.5f, 6553.5f, 0.3f, 0.1f, 0.2f, 0.4f};
  ASSERT_EQ(reports_.size(), 6u);
  ASSERT_EQ(alarms_.size(), 6u);
  for (std::size_t i = 0; i < 6; ++i) {
    SCOPED_TRACE(kRows[i].signal);
    EXPECT_EQ(reports_[i].id, kRows[i].report);
    EXPECT_EQ(reports_[i].value, expected[i]);
    EXPECT_EQ(reports_[i].items, i + 1);  // this row's threshold item came just before
    EXPECT_EQ(reports_[i].last_signal, kRows[i].signal);
    EXPECT_EQ(alarms_[i].signal, kRows[i].signal);
    EXPECT_EQ(alarms_[i].value, expected[i]);
    EXPECT_EQ(expected[i], Field16(dev_.cData, kRows[i].offset) / 10.0f);
  }
  EXPECT_TRUE(dev_.round_changed_);
}

}  // namespace
}  // namespace unit

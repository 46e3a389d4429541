// ups-sim's reply model: the instrument's line, the failure scenarios, and
// replies cut into chunks the way a slow line delivers them.
#include "ups_model.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "support/samples.h"

namespace {

TEST(UpsModelTest, SteadyReplyIsTheInstrumentsLine) {
  std::mt19937 rng(1);
  const auto r = upssim::NextReading(upssim::Scenario::kSteady, 5, upssim::Reading{}, 3, rng);
  EXPECT_EQ(upssim::FormatReply(r), test_support::kReply);
  upssim::Reading zero{};
  zero.input_v = 0.0;
  zero.load_pct = 5;
  zero.flags = 0x81;
  EXPECT_EQ(upssim::FormatReply(zero), "(000.0 229.5 230.0 005 50.0 2.05 27.0 10000001\r");
}

TEST(UpsModelTest, FailureScenariosSwitchAfterNormalReplies) {
  for (auto s : {upssim::Scenario::kUtilityFailure, upssim::Scenario::kLowBattery}) {
    std::mt19937 rng(3);
    upssim::Reading r{};
    double battery = 99.0;
    for (long n = 0; n < 12; ++n) {
      r = upssim::NextReading(s, n, r, 2, rng);
      const bool failed = n >= 2;
      EXPECT_EQ((r.flags & zota::kUtilityFail) != 0, failed) << n;
      if (failed) {
        EXPECT_EQ(r.input_v, 0.0);
        EXPECT_LT(r.battery_v, battery);
        battery = r.battery_v;
      } else {
        EXPECT_NEAR(r.input_v, 230.0, 4.0);
      }
    }
    EXPECT_TRUE(r.flags & zota::kBatteryLow);
  }
}

// The demo's scenario: within each minute of 0.5 s polls (120 replies) the
// utility fails once and comes back, with the battery full again.
TEST(UpsModelTest, OutageFailsAndRestoresEachMinute) {
  constexpr long kMinute = 120;
  std::mt19937 rng(1);
  upssim::Reading r{};
  std::vector<long> changes;  // replies where the utility-failure flag flips
  bool failed = false;
  for (long n = 0; n < 2 * kMinute; ++n) {
    r = upssim::NextReading(upssim::Scenario::kOutage, n, r, 3, rng);
    if (((r.flags & zota::kUtilityFail) != 0) != failed) changes.push_back(n);
    failed = (r.flags & zota::kUtilityFail) != 0;
    if (!failed) {
      EXPECT_NEAR(r.input_v, 230.0, 4.0) << n;
      EXPECT_EQ(r.battery_v, 2.05) << n;
    }
  }
  ASSERT_EQ(changes.size(), 4u);
  EXPECT_GT(changes[0], 0);
  EXPECT_LT(changes[1], kMinute);
  EXPECT_EQ(changes[2], changes[0] + kMinute);
  EXPECT_EQ(changes[3], changes[1] + kMinute);
}

TEST(UpsModelTest, ChunksRejoinAndSeedsRepeat) {
  const std::string reply = test_support::kReply;
  for (unsigned seed = 0; seed < 50; ++seed) {
    std::mt19937 a(seed);
    std::mt19937 b(seed);
    const auto chunks = upssim::SplitIntoChunks(reply, 6, a);
    EXPECT_EQ(chunks, upssim::SplitIntoChunks(reply, 6, b));
    ASSERT_GE(chunks.size(), 1u);
    ASSERT_LE(chunks.size(), 6u);
    std::string joined;
    for (const auto& c : chunks) {
      EXPECT_FALSE(c.empty());
      joined += c;
    }
    EXPECT_EQ(joined, reply);
    const std::string junk = upssim::GarbageLine(a);
    EXPECT_EQ(junk.back(), '\r');
    EXPECT_EQ(junk.find(' '), std::string::npos);  // never eight fields
  }
}

TEST(UpsModelTest, KnowsItsScenarios) {
  upssim::Scenario s{};
  EXPECT_TRUE(upssim::ParseScenario("low-battery", s));
  EXPECT_EQ(s, upssim::Scenario::kLowBattery);
  EXPECT_FALSE(upssim::ParseScenario("sunny", s));
}

}  // namespace

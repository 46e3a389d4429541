// Cycle completion, cached records and the value query.
#include <boost/date_time/posix_time/posix_time.hpp>

#include "device_fixture.h"

namespace unit {
namespace {

using boost::posix_time::ptime;
using boost::posix_time::second_clock;

class CycleTest : public DeviceFixture {};

TEST_F(CycleTest, PublishesBeforeChecksAndStoresWhatWasPublished) {
  AlwaysAlarm("2A2615101001");
  AlwaysReport("2A2615101001");
  // Reset() ends the cycle after the record is published and before the
  // checks, so a report or alarm never sees a poll still pending.
  auto mark_pending = [this](auto& sink) {
    sink = [this, inner = sink](auto... args) {
      inner(args...);
      if (dev_.IsProcessing()) events_.back() += " pending";
    };
  };
  mark_pending(dev_.sinks_.publish);
  mark_pending(dev_.sinks_.ao_report);
  mark_pending(dev_.sinks_.alarm);
  mark_pending(dev_.sinks_.history);
  mark_pending(dev_.sinks_.cycle_done);
  dev_.round_changed_ = true;
  dev_.RefreshStatus();
  StdoutCapture out;
  const ptime before = second_clock::local_time();
  ASSERT_EQ(Feed(kReply), 0);
  const ptime after = second_clock::local_time();
  EXPECT_NE(out.Take().find("\nrvSize is 1\n"), std::string::npos);

  EXPECT_EQ(events_, (std::vector<std::string>{"publish pending", "ao:2A2110400001",
                                               "alarm:2A2615101001", "history", "cycle_done"}));
  ASSERT_EQ(reports_.size(), 1u);
  EXPECT_FALSE(reports_[0].round_changed);  // checks start from a cleared flag
  ASSERT_EQ(alarms_.size(), 1u);            // the batch saw the cycle's item
  EXPECT_EQ(alarms_[0].value, 230.0f);
  EXPECT_TRUE(alarms_[0].raised);
  EXPECT_TRUE(dev_.round_changed_);
  EXPECT_TRUE(dev_.rule_values_.empty());

  ASSERT_EQ(published_.size(), 1u);
  ASSERT_EQ(history_.size(), 1u);
  EXPECT_EQ(history_[0], published_[0].data);
  EXPECT_EQ(history_[0], Record());
  EXPECT_TRUE(dev_.data_ready_);
  EXPECT_EQ(dev_.comm_status_, 1);
  EXPECT_LE(before, dev_.last_update_);
  EXPECT_LE(dev_.last_update_, after);
  const Bytes rec = Record();
  EXPECT_EQ(Bytes(rec.begin() + 19, rec.end()), TimeBytes(dev_.last_update_));

  // An unchanged alarm state leaves the round unchanged.
  ASSERT_EQ(Feed(kReply), 0);
  EXPECT_FALSE(dev_.round_changed_);
  EXPECT_EQ(alarms_.size(), 1u);
}

class CacheTest : public CycleTest, public testing::WithParamInterface<int> {
 protected:
  static Bytes Cached() {
    Bytes b(27);
    for (std::size_t i = 0; i < b.size(); ++i) b[i] = static_cast<unsigned char>(0xA0 + i);
    return b;
  }
};

TEST_P(CacheTest, AcceptsExactlyOneRecordLength) {
  const Bytes cached = Cached();
  const bool accepted = GetParam() == 26;
  StdoutCapture out;
  EXPECT_EQ(dev_.LoadFromCache(cached.data(), GetParam()), accepted ? 1 : 0);
  EXPECT_EQ(out.Take(), accepted ? "rvSize is 0\n" : "");
  EXPECT_EQ(dev_.data_ready_, accepted);
  EXPECT_EQ(published_.size(), accepted ? 1u : 0u);
  EXPECT_EQ(history_.size(), accepted ? 1u : 0u);
  if (!accepted) {
    EXPECT_EQ(Record(), Bytes(26, 0));
    EXPECT_TRUE(dev_.last_update_.is_not_a_date_time());
    return;
  }
  const Bytes rec = Record();
  EXPECT_EQ(Bytes(rec.begin(), rec.begin() + 19), Bytes(cached.begin(), cached.begin() + 19));
  EXPECT_EQ(Bytes(rec.begin() + 19, rec.end()), TimeBytes(dev_.last_update_));
  EXPECT_EQ(published_[0].type, 5035);
  EXPECT_EQ(published_[0].data, rec);
}

INSTANTIATE_TEST_SUITE_P(Cycle, CacheTest, testing::Values(25, 26, 27, 0, -26));

TEST_F(CycleTest, StringCacheForwardsEveryByte) {
  std::string cached(26, '\0');
  cached[5] = '\x12';
  cached[18] = '\x81';
  EXPECT_EQ(dev_.LoadFromCache(cached), 1);
  EXPECT_EQ(dev_.cData.value0, 0x1200);
  EXPECT_EQ(dev_.cData.state, 0x81);
  EXPECT_EQ(dev_.LoadFromCache(std::string()), 0);
  EXPECT_EQ(dev_.LoadFromCache(cached.substr(1)), 0);
  EXPECT_EQ(published_.size(), 1u);
}

// Runs the value query with last_update_ `age` seconds back; retried when the
// clock second changes during the call so the age is exact.
std::string Refusal(ZOTA_UP2200& dev, long age) {
  for (int attempt = 0; attempt < 3; ++attempt) {
    const ptime now = second_clock::local_time();
    dev.last_update_ = now - boost::posix_time::seconds(age);
    std::string what = "returned";
    try {
      dev.Get_Value(0, "value0");
    } catch (const std::out_of_range& e) {
      what = e.what();
    }
    if (second_clock::local_time() == now) return what;
  }
  return "clock unstable";
}

TEST_F(CycleTest, ValueQueryIsAlwaysRefused) {
  EXPECT_EQ(Refusal(dev_, 0), "数据未就绪");
  dev_.data_ready_ = true;  // ready, but never time-stamped: not fresh
  dev_.last_update_ = ptime();
  ExpectThrowWithMessage<std::out_of_range>([&] { dev_.Get_Value(0, "value0"); }, "数据已超时");
  dev_.data_ready_ = false;
  ASSERT_EQ(dev_.LoadFromCache(std::string(26, '\0')), 1);
  ExpectThrowWithMessage<std::out_of_range>([&] { dev_.Get_Value(3, ""); }, "不支持变量");
  EXPECT_EQ(Refusal(dev_, 60), "不支持变量");
  EXPECT_EQ(Refusal(dev_, 61), "数据已超时");
  EXPECT_EQ(Refusal(dev_, -5), "不支持变量");
  EXPECT_EQ(Refusal(dev_, 86400), "数据已超时");
}

}  // namespace
}  // namespace unit

// The status board between the poll loop and the HTTP clients: each device's
// link and counters, and the events streamed to listeners.
#include "controller/status/status_board.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "board_fixture.h"
#include "controller/status/status_render.h"
#include "support/json.h"

namespace {

using board_fixture::kRecord;
using board_fixture::MakeBoard;

const std::string kPort = "/dev/pts/9";

controller::LinkCounters Records(long n) {
  controller::LinkCounters c;
  c.records = n;
  return c;
}

TEST(StatusBoardTest, FollowsTheLink) {
  const auto board = MakeBoard();
  auto link = [&] { return board->Snapshot()[0].link; };
  controller::LinkCounters c;  // as the device's link counts
  EXPECT_EQ(link(), controller::LinkState::kOk);
  c.failures = 1;
  board->Link(0, controller::LinkState::kTimeout, c, kPort);
  EXPECT_EQ(link(), controller::LinkState::kTimeout);
  c.records = 1;
  board->Record(0, 5035, kRecord.data(), 26, true, controller::LinkState::kTimeout, c);
  EXPECT_EQ(link(), controller::LinkState::kTimeout);
  c.records = 2;
  board->Record(0, 5035, kRecord.data(), 26, false, controller::LinkState::kOk, c);
  EXPECT_EQ(link(), controller::LinkState::kOk);
  board->Link(0, controller::LinkState::kLost, c, kPort);
  EXPECT_EQ(link(), controller::LinkState::kLost);
  board->Link(0, controller::LinkState::kReopening, c, kPort);
  EXPECT_EQ(link(), controller::LinkState::kReopening);
  c.reopens = 1;
  board->Link(0, controller::LinkState::kOk, c, "/dev/pts/10");
  const controller::DeviceStatus d = board->Snapshot()[0];
  EXPECT_EQ(d.link, controller::LinkState::kOk);
  EXPECT_EQ(d.port, "/dev/pts/10");
  EXPECT_EQ(d.counters.records, 2);
  EXPECT_EQ(d.counters.failures, 1);
  EXPECT_EQ(d.counters.reopens, 1);
  board->Record(5, 5035, kRecord.data(), 26, false, controller::LinkState::kOk,
                c);  // no such device: ignored
  EXPECT_FALSE(board->Find("other"));
}

// The failure's start is kept across its records, not moved by each; a record
// replayed from the history cannot tell when it began.
TEST(StatusBoardTest, KeepsWhenTheUtilityFailureBegan) {
  const auto board = MakeBoard();
  std::vector<unsigned char> mains = kRecord;
  mains[18] = 0x09;  // the state byte without the utility failure
  auto since = [&] { return board->Snapshot()[0].on_battery_ms; };
  auto record = [&](const std::vector<unsigned char>& r, bool replayed) {
    board->Record(0, 5035, r.data(), 26, replayed, controller::LinkState::kOk, Records(1));
  };
  record(kRecord, true);
  EXPECT_EQ(since(), 0);
  record(mains, false);
  EXPECT_EQ(since(), 0);
  record(kRecord, false);
  const std::int64_t began = board->Snapshot()[0].record_ms;
  EXPECT_EQ(since(), began);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  record(kRecord, false);
  EXPECT_EQ(since(), began);
  const Json::Value j = test_support::ParseJson(controller::DevicesJson(board->Snapshot()));
  EXPECT_TRUE(j["devices"][0]["on_battery_since"].isString());
  EXPECT_TRUE(j["now"].isString());
  record(mains, false);
  EXPECT_EQ(since(), 0);
  EXPECT_TRUE(test_support::ParseJson(
                  controller::DevicesJson(board->Snapshot()))["devices"][0]["on_battery_since"]
                  .isNull());
}

TEST(StatusBoardTest, StreamsEventsToListeners) {
  const auto board = MakeBoard();
  board->Record(0, 5035, kRecord.data(), 26, false, controller::LinkState::kOk,
                Records(1));  // before anyone listens: not kept
  auto sub = board->Subscribe();
  ASSERT_TRUE(sub);
  std::string out;
  EXPECT_EQ(sub->Wait(std::chrono::milliseconds(1), out),
            controller::EventSubscription::Result::kIdle);
  board->Record(0, 5035, kRecord.data(), 26, false, controller::LinkState::kOk, Records(2));
  rule_value item;
  item.signal_id = "2A2615101001";
  item.value = 170.5f;
  item.threshold = 180.0f;
  item.low = true;
  item.level = 2;
  board->Alarm(0, item, true);
  board->Report(0, "2A2110400001", 230.0f);
  controller::LinkCounters failed = Records(2);
  failed.failures = 1;
  board->Link(0, controller::LinkState::kTimeout, failed, kPort);
  EXPECT_EQ(sub->Wait(std::chrono::milliseconds(1), out),
            controller::EventSubscription::Result::kEvents);
  std::vector<std::pair<std::string, Json::Value>> events;
  std::istringstream frames(out);
  for (std::string id, event, data, blank; std::getline(frames, id);) {
    ASSERT_EQ(id.rfind("id: ", 0), 0u) << out;
    ASSERT_TRUE(std::getline(frames, event) && event.rfind("event: ", 0) == 0) << out;
    ASSERT_TRUE(std::getline(frames, data) && data.rfind("data: ", 0) == 0) << out;
    ASSERT_TRUE(std::getline(frames, blank) && blank.empty()) << out;
    events.emplace_back(event.substr(7), test_support::ParseJson(data.substr(6)));
  }
  ASSERT_EQ(events.size(), 4u) << out;
  EXPECT_EQ(events[0].first, "record");
  EXPECT_DOUBLE_EQ(events[0].second["record"]["values"]["input_voltage"].asDouble(), 230.0);
  EXPECT_EQ(events[0].second["counters"]["records"].asInt(), 2);
  EXPECT_EQ(events[1].first, "alarm");
  EXPECT_TRUE(events[1].second["raised"].asBool());
  EXPECT_EQ(events[1].second["measurement"].asString(), "input_voltage");
  EXPECT_FLOAT_EQ(events[1].second["value"].asFloat(), 170.5f);
  EXPECT_EQ(events[2].first, "report");
  EXPECT_EQ(events[2].second["unit"].asString(), "V");
  EXPECT_EQ(events[3].first, "link");
  EXPECT_EQ(events[3].second["link"].asString(), "timeout");
  EXPECT_EQ(board->Snapshot()[0].alarms.at("2A2615101001").active, true);
}

TEST(StatusBoardTest, DropsALaggingListenerAndCapsListeners) {
  const auto board = MakeBoard(4, 2);
  auto slow = board->Subscribe();
  auto quick = board->Subscribe();
  EXPECT_FALSE(board->Subscribe());
  std::string out;
  controller::LinkCounters c;
  for (int i = 0; i < 5; ++i) {
    c.failures = i + 1;
    board->Link(0, controller::LinkState::kTimeout, c, kPort);
  }
  EXPECT_EQ(slow->Wait(std::chrono::milliseconds(0), out),
            controller::EventSubscription::Result::kDropped);
  EXPECT_EQ(board->dropped(), 1);
  slow.reset();
  EXPECT_EQ(board->subscribers(), 1u);
  EXPECT_TRUE(board->Subscribe());
}

TEST(StatusBoardTest, ClosingEndsWaitingListeners) {
  const auto board = MakeBoard();
  auto sub = board->Subscribe();
  std::thread closer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    board->CloseEvents();
  });
  std::string out;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(sub->Wait(std::chrono::seconds(30), out),
            controller::EventSubscription::Result::kEnded);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(10));
  closer.join();
  EXPECT_FALSE(board->Subscribe());
}

}  // namespace

// The status board shared by the poll loop and the HTTP threads: one writer,
// readers formatting snapshots and listeners taking events, all at once.
// Meaningful under ThreadSanitizer.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "controller/status/status_board.h"
#include "controller/status/status_render.h"

namespace {

struct FakeDevice : QDXSPDevice {
  int LoadFromCache(const unsigned char*, int) override { return 0; }
};

TEST(StatusBoardThreadsTest, WriterReadersAndListeners) {
  auto board = std::make_shared<controller::StatusBoard>(1 << 16, 4);
  FakeDevice dev;
  dev.threshold_levels_["2A2615101001"] = 1;
  dev.threshold_values_["2A2615101001"] = 180.0f;
  for (int i = 0; i < 3; ++i) {
    controller::DeviceName cfg;
    cfg.name = "ups" + std::to_string(i);
    cfg.data_id = static_cast<std::uint32_t>(i + 1);
    board->AddDevice(cfg, 1000, "/dev/null", dev);
  }
  constexpr int kRounds = 2000;
  std::atomic<bool> done{false};
  std::atomic<long> taken{0};
  std::vector<std::thread> threads;
  for (int r = 0; r < 2; ++r) {
    threads.emplace_back([&] {
      while (!done) {
        const auto devices = board->Snapshot();
        EXPECT_FALSE(controller::DevicesJson(devices).empty());
        EXPECT_FALSE(
            controller::MetricsText(devices, {board->subscribers(), board->dropped()}).empty());
      }
    });
  }
  for (int l = 0; l < 3; ++l) {
    threads.emplace_back([&] {
      auto sub = board->Subscribe();
      ASSERT_TRUE(sub);
      std::string out;
      for (;;) {
        const auto got = sub->Wait(std::chrono::milliseconds(5), out);
        if (got == controller::EventSubscription::Result::kEnded) break;
        taken += static_cast<long>(out.size());
        out.clear();
      }
    });
  }
  while (board->subscribers() < 3) std::this_thread::yield();
  unsigned char record[26] = {1, 0, 0, 0, 0xFC, 0x08};
  rule_value item;
  item.signal_id = "2A2615101001";
  controller::LinkCounters counters[3];  // as each device's link counts
  for (int i = 0; i < kRounds; ++i) {
    const std::size_t d = static_cast<std::size_t>(i % 3);
    controller::LinkCounters& c = counters[d];
    record[4] = static_cast<unsigned char>(i);
    ++c.records;
    board->Record(d, 5035, record, sizeof(record), false, controller::LinkState::kOk, c);
    board->Alarm(d, item, i % 2 == 0);
    board->Report(d, "2A2110400001", static_cast<float>(i));
    if (i % 50 == 0) {
      ++c.failures;
      board->Link(d, controller::LinkState::kTimeout, c, "/dev/null");
      board->Link(d, controller::LinkState::kLost, c, "/dev/null");
      ++c.reopens;
      board->Link(d, controller::LinkState::kOk, c, "/dev/pts/1");
    }
  }
  const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (taken == 0 && std::chrono::steady_clock::now() < give_up) std::this_thread::yield();
  done = true;
  board->CloseEvents();
  for (std::thread& t : threads) t.join();
  long records = 0;
  for (const controller::DeviceStatus& s : board->Snapshot()) records += s.counters.records;
  EXPECT_EQ(records, kRounds);
  EXPECT_GT(taken.load(), 0);
  EXPECT_EQ(board->subscribers(), 0u);
}

}  // namespace

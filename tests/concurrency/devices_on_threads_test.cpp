// Different devices share no state: each thread polls, feeds and reloads its
// own device while the others do the same, and every device ends up with
// exactly its own replies, publications and reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "drivers/zota_up2200/zota_up2200.h"
#include "support/json.h"
#include "support/stdout.h"

namespace {

constexpr int kDevices = 4;
constexpr int kCycles = 1000;

// Mode 1; every checked value reports on every change, one signal alarms.
constexpr char kSettings[] = R"({
  "appSetting": {"b_mode": 1},
  "aoSetting": {
    "2A2615101001": {"absEnabled": true, "absDelta": 0.5},
    "2A2615601001": {"pctEnabled": true, "pctDelta": 1, "periodEnabled": true,
                     "periodMinutes": 1},
    "2A2127200001": {"absEnabled": true, "absDelta": 0}
  },
  "thresholdSetting": {"2A2615101001": {"level": 2, "value": 231.5, "hysteresis": 0.5}}
})";

// The reply of device d in cycle c: the input voltage carries both numbers.
std::string Reply(int d, int c) {
  char buf[64];
  std::snprintf(buf, sizeof(buf), "(%d.%d 229.5 230.0 034 50.0 2.05 %d.0 0000100%d\r",
                230 + (c % 3), d, 20 + d, c % 2);
  return buf;
}

struct Outcome {
  std::uint32_t data_id = 0;
  int decoded = 0;
  int published = 0;
  int stored = 0;
  int reports = 0;
  int alarms = 0;
  bool values_ok = true;
};

void Drive(int d, const Json::Value& settings, const std::atomic<bool>& go, Outcome& out) {
  ZOTA_UP2200 dev;
  dev.data_id_ = 100 + static_cast<std::uint32_t>(d);
  dev.sinks_.publish = [&out](int, const unsigned char*, unsigned int) { ++out.published; };
  dev.sinks_.history = [&out](const unsigned char*, unsigned int) { ++out.stored; };
  dev.sinks_.ao_report = [&out](const std::string&, float) { ++out.reports; };
  dev.sinks_.alarm = [&out](const rule_value&, bool) { ++out.alarms; };
  dev.sinks_.send = [](const unsigned char*, unsigned int) {};
  dev.InitSetting(settings);
  while (!go.load()) std::this_thread::yield();

  const std::size_t chunk = 1 + static_cast<std::size_t>(d) * 7;  // a different cut per device
  for (int c = 0; c < kCycles; ++c) {
    dev.RefreshStatus();
    std::string reply = Reply(d, c);
    std::vector<unsigned char> bytes(reply.begin(), reply.end());
    int rc = 1;
    for (std::size_t at = 0; at < bytes.size(); at += chunk) {
      const std::size_t n = std::min(chunk, bytes.size() - at);
      rc = dev.process(bytes.data() + at, static_cast<unsigned int>(n));
    }
    if (rc == 0) ++out.decoded;
    const unsigned expected = static_cast<unsigned>((230 + c % 3) * 10 + d);
    if (dev.cData.value0 != expected || dev.cData.value6 != (20 + d) * 10 ||
        dev.cData.state != 0x08 + (c % 2))
      out.values_ok = false;
    if (c % 10 == 0) {
      const ZOTA_UP2200_Data_t copy = dev.cData;
      dev.LoadFromCache(reinterpret_cast<const unsigned char*>(&copy),
                        static_cast<int>(sizeof(copy)));
    }
  }
  out.data_id = dev.cData.data_id;
}

TEST(DevicesOnThreadsTest, EachDeviceKeepsItsOwnData) {
  const Json::Value settings = test_support::ParseJson(kSettings);
  std::vector<Outcome> outcomes(kDevices);
  std::atomic<bool> go{false};
  {
    const test_support::StdoutCapture quiet;  // the driver writes a few lines per reply
    std::vector<std::thread> threads;
    for (int d = 0; d < kDevices; ++d)
      threads.emplace_back(Drive, d, std::cref(settings), std::cref(go), std::ref(outcomes[d]));
    go.store(true);
    for (auto& t : threads) t.join();
  }

  const int cached = (kCycles + 9) / 10;
  for (int d = 0; d < kDevices; ++d) {
    SCOPED_TRACE("device " + std::to_string(d));
    const Outcome& o = outcomes[d];
    EXPECT_EQ(o.data_id, 100u + d);
    EXPECT_EQ(o.decoded, kCycles);
    EXPECT_TRUE(o.values_ok);
    EXPECT_EQ(o.published, kCycles + cached);
    EXPECT_EQ(o.stored, kCycles + cached);
    EXPECT_GT(o.reports, 0);
    // The input voltage crosses 231.5 (raised) and falls back (cleared) every three cycles.
    EXPECT_GT(o.alarms, 0);
  }
}

}  // namespace

// What the status board costs the poll loop, and what readers cost it while
// they hold the board: a published record with and without event listeners,
// the snapshot every HTTP reader takes, and the texts made from it, for 200
// devices.
//   build-bench/bench/status_bench
#include <benchmark/benchmark.h>

#include <memory>
#include <string>

#include "controller/status/status_board.h"
#include "controller/status/status_render.h"

namespace {

constexpr int kDevices = 200;

struct FakeDevice : QDXSPDevice {
  int LoadFromCache(const unsigned char*, int) override { return 0; }
};

const unsigned char kRecord[26] = {1,    0,    0,    0,    0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                   0x08, 0x54, 0x01, 0xF4, 0x01, 0xCD, 0x00, 0x0E, 0x01,
                                   0x09, 0xEA, 0x07, 12,   7,    10,   20,   30};

// 200 devices with two alarms each, six reports and a record.
std::shared_ptr<controller::StatusBoard> FullBoard() {
  auto board = std::make_shared<controller::StatusBoard>();
  FakeDevice dev;
  for (const char* id : {"2A2615101001", "2A2640101001"}) {
    dev.threshold_levels_[id] = 1;
    dev.threshold_values_[id] = 180.0f;
  }
  for (int i = 0; i < kDevices; ++i) {
    controller::DeviceName cfg;
    cfg.name = "ups" + std::to_string(i);
    cfg.type = "zota_up2200";
    cfg.data_id = static_cast<std::uint32_t>(1000 + i);
    board->AddDevice(cfg, 1000, "/dev/pts/" + std::to_string(i), dev);
    const std::size_t d = static_cast<std::size_t>(i);
    board->Record(d, 5035, kRecord, sizeof(kRecord), false, controller::LinkState::kOk, {});
    for (const char* r : {"2A2110400001", "2A2110400002", "2A2113A00001", "2A2111000001",
                          "2A2111800001", "2A2127200001"})
      board->Report(d, r, 230.0f);
  }
  return board;
}

void BM_RecordNoListener(benchmark::State& state) {
  auto board = FullBoard();
  std::size_t d = 0;
  for (auto _ : state) {
    board->Record(d, 5035, kRecord, sizeof(kRecord), false, controller::LinkState::kOk, {});
    d = (d + 1) % kDevices;
  }
}
BENCHMARK(BM_RecordNoListener);

// The listener never takes its events: the poll loop's side only.
void BM_RecordWithListeners(benchmark::State& state) {
  auto board = FullBoard();
  std::vector<std::unique_ptr<controller::EventSubscription>> subs;
  for (int i = 0; i < 20; ++i) subs.push_back(board->Subscribe());
  std::size_t d = 0;
  for (auto _ : state) {
    board->Record(d, 5035, kRecord, sizeof(kRecord), false, controller::LinkState::kOk, {});
    d = (d + 1) % kDevices;
  }
}
BENCHMARK(BM_RecordWithListeners);

// The board's lock is held for this long per /metrics or /api/devices.
void BM_Snapshot200(benchmark::State& state) {
  auto board = FullBoard();
  for (auto _ : state) benchmark::DoNotOptimize(board->Snapshot());
}
BENCHMARK(BM_Snapshot200)->Unit(benchmark::kMicrosecond);

void BM_MetricsText200(benchmark::State& state) {
  const auto devices = FullBoard()->Snapshot();
  std::size_t bytes = 0;
  for (auto _ : state) bytes = controller::MetricsText(devices, {20, 0}).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_MetricsText200)->Unit(benchmark::kMicrosecond);

void BM_DevicesJson200(benchmark::State& state) {
  const auto devices = FullBoard()->Snapshot();
  std::size_t bytes = 0;
  for (auto _ : state) bytes = controller::DevicesJson(devices).size();
  state.counters["bytes"] = static_cast<double>(bytes);
}
BENCHMARK(BM_DevicesJson200)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();

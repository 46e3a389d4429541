// What the tests of the status board, its texts and the history requests
// share: one UPS record and a board with one device.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "controller/status/status_board.h"

namespace board_fixture {

// 7 measurements (230.0 V, 229.5 V, 230.0 V, 34.0 %, 50.0 Hz, 2.05 V, 27.0 °C),
// state 0x89 (utility failure, standby type, beeper on), 2026-12-07 10:20:30.
const std::vector<unsigned char> kRecord = {7,    0,    0,    0,    0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                            0x08, 0x54, 0x01, 0xF4, 0x01, 0xCD, 0x00, 0x0E, 0x01,
                                            0x89, 0xEA, 0x07, 12,   7,    10,   20,   30};

struct FakeDevice : QDXSPDevice {
  int LoadFromCache(const unsigned char*, int) override { return 0; }
};

// A board with one device (data id 7) that has a low input-voltage alarm.
inline std::shared_ptr<controller::StatusBoard> MakeBoard(std::size_t capacity = 64,
                                                          std::size_t max_subscribers = 4,
                                                          const std::string& name = "ups") {
  auto board = std::make_shared<controller::StatusBoard>(capacity, max_subscribers);
  controller::DeviceName cfg;
  cfg.name = name;
  cfg.type = "zota_up2200";
  cfg.data_id = 7;
  FakeDevice dev;
  dev.threshold_levels_["2A2615101001"] = 2;
  dev.threshold_values_["2A2615101001"] = 180.0f;
  dev.threshold_low_["2A2615101001"] = true;
  board->AddDevice(cfg, 500, "/dev/pts/9", dev);
  return board;
}

}  // namespace board_fixture

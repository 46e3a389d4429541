// Shared pieces of the fuzz targets: a device wired to checking sinks, and the
// settings of a device in mode 1 with analogue reports. The example reply, JSON
// parsing and the silenced standard output are the tests' own.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "drivers/zota_up2200/zota_up2200.h"
#include "support/json.h"
#include "support/samples.h"
#include "support/stdout.h"

namespace fuzz {

using test_support::kReply;
using test_support::ParseJson;
using test_support::SilenceStdout;
constexpr unsigned int kRecordSize = sizeof(ZOTA_UP2200_Data_t);

// Mode 1, all three report tests on for every checked signal (some under the
// signal id as a template, some under the report id), thresholds on two.
constexpr char kModeOneSettings[] = R"({
  "appSetting": {"b_mode": 1},
  "aoSetting": {
    "2A2615101001": {"absEnabled": true, "absDelta": 2.0, "pctEnabled": true, "pctDelta": 5,
                     "periodEnabled": true, "periodMinutes": 1},
    "2A2110400002": {"absEnabled": true, "absDelta": 0.5},
    "2A2615601001": {"pctEnabled": true, "pctDelta": 1},
    "2A2111000001": {"periodEnabled": true, "periodMinutes": 0},
    "2A2611801001": {"absEnabled": true, "absDelta": 0, "pctEnabled": true, "pctDelta": 0},
    "2A2127200001": {"absEnabled": true, "absDelta": 1, "periodEnabled": true,
                     "periodMinutes": 5}
  },
  "thresholdSetting": {
    "2A2615101001": {"level": 2, "value": 250.0, "hysteresis": 1.0},
    "2A2640101001": {"level": 1, "value": 5.0, "low": true}
  }
})";

// Aborts with a message; libFuzzer reports it as a crash with the input.
#define FUZZ_CHECK(cond)                                                            \
  do {                                                                              \
    if (!(cond)) {                                                                  \
      std::fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                 \
    }                                                                               \
  } while (0)

// Every publication and history entry is one whole record of the right type.
inline void WireCheckingSinks(ZOTA_UP2200& dev) {
  dev.sinks_.publish = [](int type, const unsigned char* data, unsigned int len) {
    FUZZ_CHECK(type == zota::kRecordType);
    FUZZ_CHECK(data != nullptr && len == kRecordSize);
  };
  dev.sinks_.history = [](const unsigned char* data, unsigned int len) {
    FUZZ_CHECK(data != nullptr && len == kRecordSize);
  };
  dev.sinks_.send = [](const unsigned char* data, unsigned int len) {
    FUZZ_CHECK(len == 3 && std::memcmp(data, "Q1\r", 3) == 0);
  };
}

// The receive state must stay inside the buffer whatever arrives.
inline void CheckReceiveState(const ZOTA_UP2200& dev) {
  FUZZ_CHECK(dev.recv_len_ >= 0 && dev.recv_len_ <= QDXSPDevice::kRecvBufSize);
}

// One poll and a well-formed reply: a complete cycle that must be decoded.
inline void RunReplyCycle(ZOTA_UP2200& dev) {
  dev.RefreshStatus();
  unsigned char reply[test_support::kReplyLength];
  std::memcpy(reply, kReply, sizeof(reply));
  const bool had_partial = dev.recv_len_ != 0;
  const int rc = dev.process(reply, sizeof(reply));
  CheckReceiveState(dev);
  FUZZ_CHECK(dev.recv_len_ == 0);
  // A partial frame held from before swallows this reply's start; it is not decoded then.
  if (!had_partial) {
    FUZZ_CHECK(rc == 0);
    FUZZ_CHECK(dev.cData.value0 == 2300 && dev.cData.state == 0x09);
  }
}

}  // namespace fuzz

// A real ZOTA_UP2200 wired to recording controller sinks, plus small helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "drivers/zota_up2200/zota_up2200.h"
#include "support/expect.h"
#include "support/json.h"
#include "support/samples.h"
#include "support/stdout.h"

namespace unit {

using Bytes = std::vector<unsigned char>;
using test_support::ExpectThrowWithMessage;
using test_support::kReply;
using test_support::kReplyText;
using test_support::ParseJson;
using test_support::StdoutCapture;

inline std::uint16_t Field16(const ZOTA_UP2200_Data_t& rec, std::size_t offset) {
  std::uint16_t v = 0;
  std::memcpy(&v, reinterpret_cast<const unsigned char*>(&rec) + offset, sizeof(v));
  return v;
}

inline Bytes TimeBytes(boost::posix_time::ptime t) {
  const TTime tt = get_ttime(t);
  const auto* p = reinterpret_cast<const unsigned char*>(&tt);
  return Bytes(p, p + sizeof(tt));
}

using Setting = QDXVDevice::BAOSetting;

inline bool Same(const Setting& a, const Setting& b) {
  return a.abs_enabled == b.abs_enabled && a.abs_delta == b.abs_delta &&
         a.pct_enabled == b.pct_enabled && a.pct_delta == b.pct_delta &&
         a.period_enabled == b.period_enabled && a.period_minutes == b.period_minutes &&
         a.last_time == b.last_time && a.last_value == b.last_value;
}

struct Published {
  int type;
  Bytes data;
};

// One analogue report with the device state seen at the moment it was made.
struct Report {
  std::string id;
  float value;
  std::size_t items;        // rule_values_ size during the report
  std::string last_signal;  // signal of the newest threshold item
  bool round_changed;       // round_changed_ during the report
  Setting entry;            // the report's own settings entry during the report
};

struct Alarm {
  std::string signal;
  float value;
  bool raised;
};

// The base of each file's own fixture, so a test filter picks one file's tests.
class DeviceFixture : public testing::Test {
 protected:
  DeviceFixture() {
    dev_.data_id_ = 7;
    auto& s = dev_.sinks_;
    s.publish = [this](int type, const unsigned char* d, unsigned int n) {
      published_.push_back({type, Bytes(d, d + n)});
      events_.push_back("publish");
    };
    s.history = [this](const unsigned char* d, unsigned int n) {
      history_.emplace_back(d, d + n);
      events_.push_back("history");
    };
    s.cycle_done = [this] { events_.push_back("cycle_done"); };
    s.ao_report = [this](const std::string& id, float v) {
      const auto& rv = dev_.rule_values_;
      const auto entry = dev_.ao_settings_.find(id);
      reports_.push_back({id, v, rv.size(), rv.empty() ? "" : rv.back().signal_id,
                          dev_.round_changed_,
                          entry == dev_.ao_settings_.end() ? Setting{} : entry->second});
      events_.push_back("ao:" + id);
    };
    s.alarm = [this](const rule_value& item, bool raised) {
      alarms_.push_back({item.signal_id, item.value, raised});
      events_.push_back("alarm:" + item.signal_id);
    };
    s.send = [this](const unsigned char* d, unsigned int n) { sent_.emplace_back(d, d + n); };
  }

  int Feed(const std::string& chunk) {
    Bytes b(chunk.begin(), chunk.end());
    return dev_.process(b.data(), static_cast<unsigned int>(b.size()));
  }

  Bytes Record() const {
    const auto* p = reinterpret_cast<const unsigned char*>(&dev_.cData);
    return Bytes(p, p + sizeof(dev_.cData));
  }

  // Configures a threshold that every checked value of the signal exceeds.
  void AlwaysAlarm(const std::string& signal) {
    dev_.threshold_levels_[signal] = 1;
    dev_.threshold_values_[signal] = -1.0f;
  }

  // Configures a report template that reports every value above -1.
  void AlwaysReport(const std::string& id) {
    QDXVDevice::BAOSetting s{};
    s.abs_enabled = true;
    s.last_value = -1.0f;
    dev_.ao_settings_[id] = s;
  }

  ZOTA_UP2200 dev_;
  std::vector<Published> published_;
  std::vector<Bytes> history_;
  std::vector<Report> reports_;
  std::vector<Alarm> alarms_;
  std::vector<Bytes> sent_;
  std::vector<std::string> events_;
};

}  // namespace unit

// Generic device that produces one fixed-size raw record per polling cycle.
//
// The driver fills cData and calls RoundDone(); this template publishes the
// record, runs the driver's per-signal checks, batch-checks the thresholds and
// stores the record in the device history, always in that order.
#pragma once

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/throw_exception.hpp>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <iostream>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>

#include "host/qdx_device.h"

namespace uni_data {

// The controller's 7-byte time value, whatever its framework names or shapes it.
using HostTime = decltype(get_ttime(std::declval<boost::posix_time::ptime>()));
static_assert(sizeof(HostTime) == 7 && alignof(HostTime) == 1,
              "get_ttime must return 7 byte-aligned bytes");
static_assert(std::is_trivially_copyable<HostTime>::value, "the time value is copied as bytes");

// The controller's receive buffer holds at least this many bytes of one frame.
constexpr unsigned int kRecvCapacity = 4096;

// atoi's reading of a decimal integer, clamped to int so that out-of-range text
// is defined and gives the same result wherever long is 32 or 64 bits.
inline int ParseInt(const std::string& text) {
  long long n = std::strtoll(text.c_str(), nullptr, 10);
  if (n > INT_MAX) n = INT_MAX;
  if (n < INT_MIN) n = INT_MIN;
  return static_cast<int>(n);
}

// Boost's second_clock::local_time, step for step, except that the failure is
// built from a std::string: Boost's passes a const char*, a constructor that
// C++ libraries before GCC 5 lack, so the plug-in would not load on them.
inline boost::posix_time::ptime LocalNow() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  if (::localtime_r(&t, &tm) == nullptr) {
    boost::throw_exception(
        std::runtime_error(std::string("could not convert calendar time to local time")));
  }
  const boost::gregorian::date day(static_cast<unsigned short>(tm.tm_year + 1900),
                                   static_cast<unsigned short>(tm.tm_mon + 1),
                                   static_cast<unsigned short>(tm.tm_mday));
  return boost::posix_time::ptime(
      day, boost::posix_time::time_duration(tm.tm_hour, tm.tm_min, tm.tm_sec));
}

constexpr float kPercentScale = 100.0f;
constexpr double kSecondsPerMinute = 60.0;

// Bounds of the relative band around the last reported value. For a negative
// last value the two products swap roles so the band does not invert.
inline void RelativeBand(float last, float pct, float& upper, float& lower) {
  const float hi = (last * (pct + kPercentScale)) / kPercentScale;
  const float lo = (last * (kPercentScale - pct)) / kPercentScale;
  if (last < 0.0f) {
    upper = lo;
    lower = hi;
  } else {
    upper = hi;
    lower = lo;
  }
}

// Whether a report period has run out, in whole seconds with no 2038 wrap.
inline bool PeriodDue(std::int64_t now, std::uint32_t last_time, float period_minutes) {
  const std::int64_t elapsed = now - static_cast<std::int64_t>(last_time);
  return static_cast<double>(elapsed) > static_cast<double>(period_minutes) * kSecondsPerMinute;
}

// The three report tests of one setting; a hit in any of them is enough. A
// template so it does not name a framework type that may be protected.
template <typename Setting>
bool ReportDue(const Setting& s, float value, std::int64_t now) {
  bool hit = false;
  if (s.abs_enabled) {
    hit = value > s.last_value + s.abs_delta || value < s.last_value - s.abs_delta;
  }
  if (s.pct_enabled) {
    float upper = 0.0f;
    float lower = 0.0f;
    RelativeBand(s.last_value, s.pct_delta, upper, lower);
    hit = hit || value > upper || value < lower;
  }
  if (s.period_enabled) {
    hit = PeriodDue(now, s.last_time, s.period_minutes) || hit;
  }
  return hit;
}

}  // namespace uni_data

template <typename Data_t, typename Base, int SpDataId>
class UniDataDevice : public Base {
  static_assert(std::is_trivially_copyable<Data_t>::value, "records are copied as raw bytes");
  static_assert(sizeof(Data_t::update_time) == sizeof(uni_data::HostTime),
                "update_time holds the controller's time value");

 public:
  using Base::LoadFromCache;

  UniDataDevice() { std::memset(&cData, 0, sizeof(Data_t)); }
  virtual ~UniDataDevice() {}

  int LoadFromCache(const unsigned char* src, int len) override {
    if (len != static_cast<int>(sizeof(Data_t)) || src == nullptr) return 0;
    std::memcpy(&cData, src, sizeof(Data_t));
    this->data_ready_ = true;
    this->RoundDone();
    return 1;
  }

  void RoundDone() override {
    this->data_ready_ = true;
    this->last_update_ = uni_data::LocalNow();
    const uni_data::HostTime now = get_ttime(this->last_update_);
    std::memcpy(&cData.update_time, &now, sizeof(now));
    this->QDXVDevice::SendSP(SpDataId, reinterpret_cast<const unsigned char*>(&cData),
                             sizeof(Data_t), false);
    this->Reset();
    this->comm_status_ = 1;
    this->round_changed_ = false;
    this->RunCheckThreshold();
    // Operators count a cycle's alarm checks by this line; keep it.
    std::cout << "rvSize is " << static_cast<int>(this->rule_values_.size()) << std::endl;
    if (this->DoBatchCheckThreshold(this->rule_values_)) this->round_changed_ = true;
    this->SaveDeviceHistory(reinterpret_cast<const unsigned char*>(&cData), sizeof(Data_t));
    this->rule_values_.clear();
  }

  // Stamps the data id, reads the mode and, in mode 3, the per-signal alarm
  // identities; the controller's own settings step runs last.
  // The result type is the controller's; it is passed through unchanged.
  auto InitSetting(const Json::Value& setting)
      -> decltype(this->QDXVDevice::InitSetting(setting)) override {
    cData.data_id = this->DataId();
    const Json::Value null_value;
    const Json::Value& app = setting["appSetting"];
    if (app != null_value && app.type() == Json::objectValue) {
      const Json::Value& mode = app["b_mode"];
      if (mode != null_value) {
        b_mode_ = uni_data::ParseInt(mode.asString());
        std::cout << "InitSetting " << static_cast<std::uint32_t>(cData.data_id)
                  << " b_mode_:" << b_mode_ << std::endl;
      }
    }
    if (b_mode_ == 3) {
      // Operators trace the alarm settings by the "here" lines; keep them.
      std::cout << "here 1" << std::endl;
      const Json::Value& thresholds = setting["thresholdSetting"];
      if (thresholds != null_value) {
        std::cout << "here 2" << std::endl;
        for (auto it = thresholds.begin(); it != thresholds.end(); ++it) {
          const std::string signal_id = it.key().asString();
          std::cout << "here " << signal_id << std::endl;
          // Looked up by name, so a non-object container fails loudly in the JSON library.
          LoadSignalSetting(signal_id, thresholds[signal_id], null_value);
        }
      }
    }
    return this->QDXVDevice::InitSetting(setting);
  }

  // Reports the value under report_id when one of its tests fires. The working
  // entry is copied from the signal's template entry the first time it is needed.
  int CheckAOReport(const std::string& signalId, const std::string& reportId, float value) {
    auto& table = this->ao_settings_;
    auto entry = table.find(reportId);
    if (entry == table.end()) {
      const auto tmpl = table.find(signalId);
      if (tmpl == table.end()) return 0;
      entry = table.emplace(reportId, tmpl->second).first;
    }
    auto& s = entry->second;
    if (!uni_data::ReportDue(s, value, static_cast<std::int64_t>(std::time(nullptr)))) return 0;
    s.last_value = value;
    s.last_time = static_cast<std::uint32_t>(std::time(nullptr));
    this->QDXVDevice::CheckAOReport(reportId, value);
    return 1;
  }

  virtual void RunCheckThreshold() {}

  Data_t cData;
  int b_mode_ = 1;
  std::map<std::string, std::string> nm_alarm_ids_;
  std::map<std::string, std::string> signal_names_;

 private:
  void LoadSignalSetting(const std::string& signal_id, const Json::Value& item,
                         const Json::Value& null_value) {
    if (item.type() != Json::objectValue) return;
    const Json::Value& name = item["SignalName"];
    if (name != null_value) signal_names_[signal_id] = name.asString();
    static const char* const kParts[] = {"NMAlarmID", "ID", "SignalNumber"};
    std::string identity;
    for (const char* part : kParts) {
      const Json::Value& v = item[part];
      if (v != null_value) {
        identity += v.asString();
      } else {
        std::cout << static_cast<std::uint32_t>(cData.data_id) << " " << part << " is missing"
                  << std::endl;
      }
      identity += ";";
    }
    // Operators check each signal's alarm identity by this line; keep it.
    std::cout << "mobile:" << signal_id << ":" << identity
              << " level:" << this->threshold_levels_[signal_id]
              << " value:" << this->threshold_values_[signal_id] << std::endl;
    nm_alarm_ids_[signal_id] = identity;
  }

  // The reserved_* members: present for the layout the controller expects; never used.
  boost::posix_time::ptime reserved_time_;
  std::mutex reserved_mutex_;
  Json::Value reserved_setting_;
};

// The UPS status record as the controller reads it: where each measurement
// sits, how it is scaled and what it is called on screen, in the API and in
// metrics.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "drivers/zota_up2200/zota_up2200_record.h"

namespace controller {

constexpr int kUpsRecordType = zota::kRecordType;
constexpr unsigned int kUpsRecordSize = zota::kRecordSize;
constexpr unsigned int kUpsStateOffset = zota::kStateOffset;
constexpr unsigned int kUpsTimeOffset = zota::kTimeOffset;

struct UpsMeasurement {
  unsigned int offset;  // of an unsigned 16-bit little-endian field
  const char* label;    // short label of the terminal line
  const char* key;      // name in the API and the page
  const char* name;     // human name
  double scale;         // raw / scale = value in unit
  int decimals;
  const char* unit;
  const char* metric;   // metric name, in base units
  double metric_scale;  // value in unit * metric_scale = value in base unit
};

inline constexpr UpsMeasurement kUpsMeasurements[] = {
    {offsetof(zota::RecordLayout, value0), "input", "input_voltage", "input voltage",
     zota::kVoltageScale, 1, "V", "ups_input_voltage_volts", 1.0},
    {offsetof(zota::RecordLayout, value1), "fault", "input_fault_voltage", "input fault voltage",
     zota::kVoltageScale, 1, "V", "ups_input_fault_voltage_volts", 1.0},
    {offsetof(zota::RecordLayout, value2), "output", "output_voltage", "output voltage",
     zota::kVoltageScale, 1, "V", "ups_output_voltage_volts", 1.0},
    {offsetof(zota::RecordLayout, value3), "load", "output_load", "output load", zota::kLoadScale,
     1, "%", "ups_output_load_ratio", 0.01},
    {offsetof(zota::RecordLayout, value4), "freq", "input_frequency", "input frequency",
     zota::kFrequencyScale, 1, "Hz", "ups_input_frequency_hertz", 1.0},
    {offsetof(zota::RecordLayout, value5), "battery", "battery_voltage", "battery voltage",
     zota::kBatteryScale, 2, "V", "ups_battery_voltage_volts", 1.0},
    {offsetof(zota::RecordLayout, value6), "temp", "temperature", "temperature",
     zota::kTemperatureScale, 1, "\u00b0C", "ups_temperature_celsius", 1.0},
};
constexpr unsigned int kUpsMeasurementCount =
    sizeof(kUpsMeasurements) / sizeof(kUpsMeasurements[0]);

// Status flags of the state byte, bit 7 first.
struct UpsFlag {
  const char* name;
  const char* key;
};
inline constexpr UpsFlag kUpsFlags[zota::kFlagCount] = {
    {"utility failure", "utility_failure"},
    {"battery low", "battery_low"},
    {"bypass/boost", "bypass_boost"},
    {"UPS failed", "ups_failed"},
    {"standby type", "standby_type"},
    {"self-test", "self_test"},
    {"shutdown", "shutdown"},
    {"beeper on", "beeper_on"},
};

// A checked signal: its ids, human name and unit, and the field it checks.
using UpsSignal = zota::CheckedSignal;

// The measurement a checked signal checks.
inline const UpsMeasurement& MeasurementOf(const UpsSignal& s) {
  for (const UpsMeasurement& m : kUpsMeasurements) {
    if (m.offset == s.offset) return m;
  }
  return kUpsMeasurements[0];  // not reached, see below
}

constexpr bool EveryCheckedFieldIsMeasured() {
  for (const UpsSignal& s : zota::kCheckedSignals) {
    bool found = false;
    for (const UpsMeasurement& m : kUpsMeasurements) found = found || m.offset == s.offset;
    if (!found) return false;
  }
  return true;
}
static_assert(EveryCheckedFieldIsMeasured(), "a checked signal without a measurement");

inline bool IsUpsRecord(int type, unsigned int len) {
  return type == kUpsRecordType && len == kUpsRecordSize;
}

inline unsigned ReadU16Le(const unsigned char* p) {
  return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
}

// A measurement of a UPS record in its unit.
inline double UpsValue(const unsigned char* record, const UpsMeasurement& m) {
  return ReadU16Le(record + m.offset) / m.scale;
}

// The signal with this signal or report id, or null.
inline const UpsSignal* FindUpsSignal(const std::string& id) {
  for (const UpsSignal& s : zota::kCheckedSignals) {
    if (id == s.signal_id || id == s.report_id) return &s;
  }
  return nullptr;
}

}  // namespace controller

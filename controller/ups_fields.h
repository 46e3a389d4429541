// The UPS status record as the controller reads it: where each measurement
// sits, how it is scaled and what it is called on screen, in the API and in
// metrics.
#pragma once

#include <cstdint>
#include <string>

namespace host {

constexpr int kUpsRecordType = 5035;
constexpr unsigned int kUpsRecordSize = 26;
constexpr unsigned int kUpsStateOffset = 18;
constexpr unsigned int kUpsTimeOffset = 19;

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
    {4, "input", "input_voltage", "input voltage", 10.0, 1, "V", "ups_input_voltage_volts", 1.0},
    {6, "fault", "input_fault_voltage", "input fault voltage", 10.0, 1, "V",
     "ups_input_fault_voltage_volts", 1.0},
    {8, "output", "output_voltage", "output voltage", 10.0, 1, "V", "ups_output_voltage_volts",
     1.0},
    {10, "load", "output_load", "output load", 10.0, 1, "%", "ups_output_load_ratio", 0.01},
    {12, "freq", "input_frequency", "input frequency", 10.0, 1, "Hz", "ups_input_frequency_hertz",
     1.0},
    {14, "battery", "battery_voltage", "battery voltage", 100.0, 2, "V",
     "ups_battery_voltage_volts", 1.0},
    {16, "temp", "temperature", "temperature", 10.0, 1, "\u00b0C", "ups_temperature_celsius", 1.0},
};
constexpr unsigned int kUpsMeasurementCount =
    sizeof(kUpsMeasurements) / sizeof(kUpsMeasurements[0]);

// Status flags of the state byte, bit 7 first.
struct UpsFlag {
  const char* name;
  const char* key;
};
inline constexpr UpsFlag kUpsFlags[8] = {
    {"utility failure", "utility_failure"},
    {"battery low", "battery_low"},
    {"bypass/boost", "bypass_boost"},
    {"UPS failed", "ups_failed"},
    {"standby type", "standby_type"},
    {"self-test", "self_test"},
    {"shutdown", "shutdown"},
    {"beeper on", "beeper_on"},
};

// Checked signals with their report ids and the measurement (index into
// kUpsMeasurements) each one checks.
struct UpsSignal {
  const char* signal_id;
  const char* report_id;
  const char* label;
  const char* unit;
  unsigned int measurement;
};
inline constexpr UpsSignal kUpsSignals[] = {
    {"2A2615101001", "2A2110400001", "input voltage", "V", 0},
    {"2A2615101002", "2A2110400002", "input fault voltage", "V", 1},
    {"2A2615601001", "2A2113A00001", "input frequency", "Hz", 4},
    {"2A2611001001", "2A2111000001", "output voltage", "V", 2},
    {"2A2611801001", "2A2111800001", "output load", "%", 3},
    {"2A2640101001", "2A2127200001", "temperature", "\u00b0C", 6},
};

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
  for (const UpsSignal& s : kUpsSignals) {
    if (id == s.signal_id || id == s.report_id) return &s;
  }
  return nullptr;
}

}  // namespace host

// What record 5035 means to a reader: each measurement with its names, unit
// and scale, each status flag with its names, and the one decoding of a
// record's bytes that the terminal line, the API, the metrics and the history
// all show. Adding a measurement is one row of kMeasurements.
//
// Header only, constexpr data and inline functions; the plug-in does not
// include it, so it adds nothing to zota_up2200.so.
#pragma once

#include <cstddef>
#include <cstdint>

#include "drivers/zota_up2200/zota_up2200_record.h"

namespace zota {

struct Measurement {
  std::size_t offset;    // of an unsigned 16-bit field of the record
  const char* label;     // short label of the terminal line
  const char* key;       // name in the API, the page and the CSV header
  const char* name;      // human name
  const char* unit;      // as shown
  const char* csv_unit;  // ASCII, for CSV column names
  double scale;          // raw field = value in unit * scale
  int decimals;          // shown digits after the point: scale is 10^decimals
  const char* metric;    // metric name, in base units
  double metric_scale;   // value in unit * metric_scale = value in base unit
};

inline constexpr Measurement kMeasurements[] = {
    {offsetof(RecordLayout, value0), "input", "input_voltage", "input voltage", "V", "V",
     kVoltageScale, 1, "ups_input_voltage_volts", 1.0},
    {offsetof(RecordLayout, value1), "fault", "input_fault_voltage", "input fault voltage", "V",
     "V", kVoltageScale, 1, "ups_input_fault_voltage_volts", 1.0},
    {offsetof(RecordLayout, value2), "output", "output_voltage", "output voltage", "V", "V",
     kVoltageScale, 1, "ups_output_voltage_volts", 1.0},
    {offsetof(RecordLayout, value3), "load", "output_load", "output load", "%", "pct", kLoadScale,
     1, "ups_output_load_ratio", 0.01},
    {offsetof(RecordLayout, value4), "freq", "input_frequency", "input frequency", "Hz", "Hz",
     kFrequencyScale, 1, "ups_input_frequency_hertz", 1.0},
    {offsetof(RecordLayout, value5), "battery", "battery_voltage", "battery voltage", "V", "V",
     kBatteryScale, 2, "ups_battery_voltage_volts", 1.0},
    {offsetof(RecordLayout, value6), "temp", "temperature", "temperature", "\u00b0C", "C",
     kTemperatureScale, 1, "ups_temperature_celsius", 1.0},
};
constexpr std::size_t kMeasurementCount = sizeof(kMeasurements) / sizeof(kMeasurements[0]);

struct Flag {
  std::uint8_t bit;  // in the state byte
  const char* key;   // name in the API, the page, the CSV and the metrics
  const char* name;  // human name
};

// In the order of the reply's flag field, bit 7 first.
inline constexpr Flag kFlags[kFlagCount] = {
    {kUtilityFail, "utility_failure", "utility failure"},
    {kBatteryLow, "battery_low", "battery low"},
    {kBypassBoost, "bypass_boost", "bypass/boost"},
    {kUpsFailed, "ups_failed", "UPS failed"},
    {kStandby, "standby_type", "standby type"},
    {kSelfTest, "self_test", "self-test"},
    {kShutdown, "shutdown", "shutdown"},
    {kBeeperOn, "beeper_on", "beeper on"},
};

// The measurement at a field offset, or null.
constexpr const Measurement* MeasurementAt(std::size_t offset) {
  for (const Measurement& m : kMeasurements) {
    if (m.offset == offset) return &m;
  }
  return nullptr;
}

namespace fields_check {

// Raw values are shown as whole counts of 10^-decimals, without a double, and
// each is one of the record's 16-bit values.
constexpr bool MeasurementsFit() {
  for (const Measurement& m : kMeasurements) {
    double p = 1.0;
    for (int i = 0; i < m.decimals; ++i) p *= 10.0;
    if (m.decimals < 0 || m.scale != p) return false;
    if (m.offset + 2 > kStateOffset || m.offset < offsetof(RecordLayout, value0)) return false;
  }
  return true;
}

constexpr bool FlagsInFieldOrder() {
  for (std::size_t i = 0; i < kFlagCount; ++i) {
    if (kFlags[i].bit != FlagBit(i)) return false;
  }
  return true;
}

// A checked signal's name and unit are those of its measurement, in tenths.
// Looked up by index, not through MeasurementAt: under GCC's sanitizers a
// pointer compared with null is no constant expression.
constexpr bool EveryCheckedFieldIsMeasured() {
  for (const CheckedSignal& s : kCheckedSignals) {
    bool found = false;
    for (std::size_t i = 0; i < kMeasurementCount; ++i) {
      found = found || (kMeasurements[i].offset == s.offset &&
                        kMeasurements[i].scale == static_cast<double>(kCheckedScale));
    }
    if (!found) return false;
  }
  return true;
}

}  // namespace fields_check

static_assert(fields_check::MeasurementsFit(),
              "a measurement's scale is 10^decimals, its field one of the values");
static_assert(fields_check::FlagsInFieldOrder(), "flags in the order of the flag field");
static_assert(fields_check::EveryCheckedFieldIsMeasured(),
              "a checked signal without a measurement in tenths");

// A record 5035 read once: every measurement's raw count in kMeasurements'
// order, the state byte and the device's time stamp.
struct DecodedRecord {
  std::uint16_t raw[kMeasurementCount] = {};  // value * 10^decimals
  std::uint8_t state = 0;
  TimeBytes time = {};

  // In the measurement's unit.
  double Value(std::size_t i) const { return raw[i] / kMeasurements[i].scale; }
  bool Has(const Flag& f) const { return (state & f.bit) != 0; }
};

constexpr bool IsRecord(int type, std::size_t len) {
  return type == kRecordType && len == kRecordSize;
}

constexpr unsigned ReadU16Le(const unsigned char* p) {
  return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
}

// The bytes of a record 5035 decoded; false, leaving out alone, for any other
// type or size.
inline bool Decode(int type, const unsigned char* data, std::size_t len, DecodedRecord& out) {
  if (!IsRecord(type, len)) return false;
  for (std::size_t i = 0; i < kMeasurementCount; ++i)
    out.raw[i] = static_cast<std::uint16_t>(ReadU16Le(data + kMeasurements[i].offset));
  out.state = data[kStateOffset];
  for (std::size_t i = 0; i < sizeof(out.time.bytes); ++i)
    out.time.bytes[i] = data[kTimeOffset + i];
  return true;
}

}  // namespace zota

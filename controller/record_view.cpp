#include "controller/record_view.h"

#include <cstdio>
#include <ctime>

namespace host {

namespace {

constexpr unsigned int kTimeOffset = 19;
constexpr unsigned int kStateOffset = 18;

// One measurement of the UPS record: offset, label, scale, decimals, unit.
struct Measurement {
  unsigned int offset;
  const char* label;
  double scale;
  int decimals;
  const char* unit;
};
constexpr Measurement kMeasurements[] = {
    {4, "input", 10.0, 1, "V"},       {6, "fault", 10.0, 1, "V"},  {8, "output", 10.0, 1, "V"},
    {10, "load", 10.0, 1, "%"},       {12, "freq", 10.0, 1, "Hz"}, {14, "battery", 100.0, 2, "V"},
    {16, "temp", 10.0, 1, "\u00b0C"},
};

constexpr const char* kFlagNames[] = {"utility failure", "battery low",  "bypass/boost",
                                      "UPS failed",      "standby type", "self-test",
                                      "shutdown",        "beeper on"};

// Checked signals with their report ids, as the UPS driver names them.
struct Signal {
  const char* signal_id;
  const char* report_id;
  const char* label;
  const char* unit;
};
constexpr Signal kSignals[] = {
    {"2A2615101001", "2A2110400001", "input voltage", "V"},
    {"2A2615101002", "2A2110400002", "input fault voltage", "V"},
    {"2A2615601001", "2A2113A00001", "input frequency", "Hz"},
    {"2A2611001001", "2A2111000001", "output voltage", "V"},
    {"2A2611801001", "2A2111800001", "output load", "%"},
    {"2A2640101001", "2A2127200001", "temperature", "\u00b0C"},
};

const Signal* FindSignal(const std::string& id) {
  for (const Signal& s : kSignals) {
    if (id == s.signal_id || id == s.report_id) return &s;
  }
  return nullptr;
}

unsigned ReadU16(const unsigned char* p) {
  return static_cast<unsigned>(p[0]) | (static_cast<unsigned>(p[1]) << 8);
}

std::string Fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  return buf;
}

std::string NowLocal() {
  const std::time_t t = std::time(nullptr);
  std::tm tm{};
  ::localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof(buf), "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string Who(const std::string& device, std::uint32_t data_id) {
  return device + " (data id " + std::to_string(data_id) + ")";
}

std::string Labelled(const std::string& id) { return SignalLabel(id) + " [" + id + "]"; }

std::string WithUnit(float value, const std::string& id) {
  const std::string unit = SignalUnit(id);
  return Fixed(value, 1) + (unit.empty() ? "" : " " + unit);
}

}  // namespace

std::vector<std::string> FlagNames(std::uint8_t state) {
  std::vector<std::string> names;
  for (unsigned bit = 0; bit < 8; ++bit) {
    if (state & (0x80u >> bit)) names.emplace_back(kFlagNames[bit]);
  }
  return names;
}

std::string FormatRecordTime(const unsigned char* t) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%04u-%02u-%02u %02u:%02u:%02u", ReadU16(t), t[2], t[3], t[4],
                t[5], t[6]);
  return buf;
}

std::string DescribeRecord(int type, const unsigned char* data, unsigned int len) {
  std::string out = "record " + std::to_string(type);
  if (type != kUpsRecordType || len != kUpsRecordSize) {
    out += " (" + std::to_string(len) + " bytes):";
    for (unsigned int i = 0; i < len; ++i) {
      char hex[4];
      std::snprintf(hex, sizeof(hex), " %02X", data[i]);
      out += hex;
    }
    return out;
  }
  const char* sep = ": ";
  for (const Measurement& m : kMeasurements) {
    out += sep;
    out += m.label;
    out += " " + Fixed(ReadU16(data + m.offset) / m.scale, m.decimals) + " " + m.unit;
    sep = ", ";
  }
  out += "; flags:";
  const auto flags = FlagNames(data[kStateOffset]);
  if (flags.empty()) out += " none";
  sep = " ";
  for (const std::string& f : flags) {
    out += sep + f;
    sep = ", ";
  }
  return out;
}

std::string SignalLabel(const std::string& id) {
  const Signal* s = FindSignal(id);
  return s ? s->label : id;
}

std::string SignalUnit(const std::string& id) {
  const Signal* s = FindSignal(id);
  return s ? s->unit : "";
}

std::string RecordLine(const std::string& device, std::uint32_t data_id, int type,
                       const unsigned char* data, unsigned int len, bool cached) {
  const bool ups = type == kUpsRecordType && len == kUpsRecordSize;
  const std::string when = ups ? FormatRecordTime(data + kTimeOffset) : NowLocal();
  return when + "  " + Who(device, data_id) + "  " + (cached ? "cached " : "") +
         DescribeRecord(type, data, len);
}

std::string AlarmLine(const std::string& device, std::uint32_t data_id, const rule_value& item,
                      bool raised) {
  std::string line = NowLocal() + "  " + Who(device, data_id) + "  ";
  line += raised ? "ALARM RAISED " : "alarm cleared ";
  line += Labelled(item.signal_id) + ": " + WithUnit(item.value, item.signal_id);
  if (raised) {
    line += std::string(item.low ? " below " : " above ") +
            WithUnit(item.threshold, item.signal_id) + ", level " + std::to_string(item.level);
  } else {
    line += std::string(item.low ? " back above " : " back below ") +
            WithUnit(item.threshold, item.signal_id);
  }
  return line;
}

std::string ReportLine(const std::string& device, std::uint32_t data_id,
                       const std::string& report_id, float value) {
  return NowLocal() + "  " + Who(device, data_id) + "  analogue report " + Labelled(report_id) +
         " = " + WithUnit(value, report_id);
}

}  // namespace host

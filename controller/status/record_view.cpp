#include "controller/status/record_view.h"

#include <cstdio>
#include <ctime>

#include "controller/common/device_name.h"
#include "controller/common/hex.h"
#include "controller/common/iso_time.h"

namespace controller {

namespace {

constexpr std::size_t kRecordLineBytes = 256;  // a UPS record's line is about 200

std::string Fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof(buf), "%.*f", decimals, v);
  return buf;
}

// Local time now, as records stamp theirs.
std::string NowLocal() { return FormatLocalMs(NowUtcMs()); }

std::string Labelled(const std::string& id) { return SignalLabel(id) + " [" + id + "]"; }

std::string WithUnit(float value, const std::string& id) {
  const std::string unit = SignalUnit(id);
  return Fixed(value, 1) + (unit.empty() ? "" : " " + unit);
}

// Appended to out; r: the record decoded, or null for bytes that are not a UPS record.
void Describe(std::string& out, int type, const unsigned char* data, unsigned int len,
              const zota::DecodedRecord* r) {
  out.append("record ").append(std::to_string(type));
  if (!r) {
    out.append(" (").append(std::to_string(len)).append(" bytes):");
    for (unsigned int i = 0; i < len; ++i) {
      out += ' ';
      AppendHexByte(out, data[i], HexCase::kUpper);
    }
    return;
  }
  const char* sep = ": ";
  for (std::size_t i = 0; i < zota::kMeasurementCount; ++i) {
    const zota::Measurement& m = zota::kMeasurements[i];
    out.append(sep).append(m.label).append(" ");
    AppendFixed(out, r->raw[i], m.decimals);
    out.append(" ").append(m.unit);
    sep = ", ";
  }
  out += "; flags:";
  sep = " ";
  for (const zota::Flag& f : zota::kFlags) {
    if (!r->Has(f)) continue;
    out.append(sep).append(f.name);
    sep = ", ";
  }
  if (r->state == 0) out += " none";
}

}  // namespace

std::vector<std::string> FlagNames(std::uint8_t state) {
  std::vector<std::string> names;
  for (const zota::Flag& f : zota::kFlags) {
    if (state & f.bit) names.emplace_back(f.name);
  }
  return names;
}

std::string DescribeRecord(int type, const unsigned char* data, unsigned int len) {
  zota::DecodedRecord r;
  std::string out;
  Describe(out, type, data, len, zota::Decode(type, data, len, r) ? &r : nullptr);
  return out;
}

std::string SignalLabel(const std::string& id) {
  const UpsSignal* s = FindUpsSignal(id);
  return s ? MeasurementOf(*s).name : id;
}

std::string SignalUnit(const std::string& id) {
  const UpsSignal* s = FindUpsSignal(id);
  return s ? MeasurementOf(*s).unit : "";
}

std::string RecordLine(const std::string& device, std::uint32_t data_id, int type,
                       const unsigned char* data, unsigned int len, bool replayed) {
  zota::DecodedRecord r;
  const bool ups = zota::Decode(type, data, len, r);
  // Built in place: it is shown for every record.
  std::string line;
  line.reserve(kRecordLineBytes);
  line.append(ups ? FormatRecordTime(r.time.bytes) : NowLocal()).append("  ");
  line.append(Who(device, data_id)).append(replayed ? "  cached " : "  ");
  Describe(line, type, data, len, ups ? &r : nullptr);
  return line;
}

std::string AlarmLine(const std::string& device, std::uint32_t data_id, const rule_value& item,
                      bool raised) {
  return NowLocal() + "  " + Who(device, data_id) + "  " + AlarmText(item, raised);
}

std::string AlarmText(const rule_value& item, bool raised) {
  std::string line = raised ? "ALARM RAISED " : "alarm cleared ";
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

}  // namespace controller

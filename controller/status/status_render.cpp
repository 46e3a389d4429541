#include "controller/status/status_render.h"

#include <cstdio>

#include "controller/common/hex.h"
#include "controller/common/history_state.h"
#include "controller/common/iso_time.h"
#include "controller/common/metric_label.h"
#include "controller/status/record_view.h"
#include "controller/status/ups_fields.h"

namespace controller {

std::string Hex(const std::vector<unsigned char>& data) {
  std::string out;
  out.reserve(data.size() * 2);
  AppendHex(out, data.data(), data.size(), HexCase::kUpper);
  return out;
}

namespace {

std::string Labels(const DeviceStatus& d) {
  std::string out = "device=\"";
  AppendLabelValue(out, d.name);
  out += "\",data_id=\"" + std::to_string(d.data_id) + "\"";
  return out;
}

void Family(std::string& out, const char* name, const char* type, const std::string& help) {
  out.append("# HELP ").append(name).append(" ").append(help).append("\n");
  out.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void Sample(std::string& out, const char* name, const std::string& labels, double value,
            int decimals = -1) {
  char buf[48];
  if (decimals < 0) {
    std::snprintf(buf, sizeof(buf), "%.10g", value);
  } else {
    std::snprintf(buf, sizeof(buf), "%.*f", decimals, value);
  }
  out.append(name).append("{").append(labels).append("} ").append(buf).append("\n");
}

bool DecodeLast(const DeviceStatus& d, zota::DecodedRecord& r) {
  return zota::Decode(d.record_type, d.record.data(), d.record.size(), r);
}

}  // namespace

// The keys of a field table, escaped once.
template <typename Field, std::size_t N>
std::vector<JsonKey> KeysOf(const Field (&fields)[N]) {
  std::vector<JsonKey> keys;
  for (const Field& f : fields) keys.emplace_back(f.key);
  return keys;
}

const JsonKey& MeasurementKey(std::size_t i) {
  static const std::vector<JsonKey> keys = KeysOf(zota::kMeasurements);
  return keys[i];
}

const JsonKey& FlagKey(std::size_t i) {
  static const std::vector<JsonKey> keys = KeysOf(zota::kFlags);
  return keys[i];
}

void WriteRecord(JsonOut& out, int type, const std::vector<unsigned char>& data,
                 const std::string& time, bool close) {
  static const JsonKey kType("type"), kTime("time"), kDeviceTime("device_time"), kValues("values"),
      kState("state"), kFlags("flags");
  out.BeginObject();
  out.Key(kType).Int(type).Key(kTime).String(time);
  zota::DecodedRecord r;
  if (!zota::Decode(type, data.data(), data.size(), r)) {
    out.Key("hex").String(Hex(data));
    if (close) out.EndObject();
    return;
  }
  out.Key(kDeviceTime).String(FormatRecordTime(r.time.bytes));
  out.Key(kValues).BeginObject();
  for (std::size_t i = 0; i < zota::kMeasurementCount; ++i)
    out.Key(MeasurementKey(i)).Fixed(r.raw[i], zota::kMeasurements[i].decimals);
  out.EndObject();
  out.Key(kState).Int(r.state).Key(kFlags).BeginArray();
  for (const zota::Flag& f : zota::kFlags) {
    if (r.Has(f)) out.String(f.key);
  }
  out.EndArray();
  if (close) out.EndObject();
}

void WriteCounters(JsonOut& out, const DeviceStatus& d) {
  out.Key("counters").BeginObject();
  const LinkCounters& c = d.counters;
  out.Key("records").Int(c.records).Key("failures").Int(c.failures);
  out.Key("late").Int(c.late_replies).Key("reopens").Int(c.reopens);
  out.EndObject();
}

void WriteSignal(JsonOut& out, const std::string& id) {
  const UpsSignal* s = FindUpsSignal(id);
  const zota::Measurement* m = s ? &MeasurementOf(*s) : nullptr;
  out.Key("signal").String(m ? m->name : id).Key("measurement");
  if (m) {
    out.String(m->key);
  } else {
    out.Null();
  }
  out.Key("unit").String(m ? m->unit : "");
}

void WriteAlarms(JsonOut& out, const DeviceStatus& d) {
  out.Key("alarms").BeginArray();
  for (const auto& entry : d.alarms) {
    const AlarmInfo& a = entry.second;
    out.BeginObject();
    out.Key("signal_id").String(a.signal_id);
    WriteSignal(out, a.signal_id);
    out.Key("active").Bool(a.active).Key("configured").Bool(a.configured);
    out.Key("threshold").Real(a.threshold).Key("low").Bool(a.low);
    out.Key("hysteresis").Real(a.hysteresis).Key("level").Int(a.level);
    out.Key("value");
    if (a.changed_ms) {
      out.Real(a.value).Key("changed").String(FormatUtcMs(a.changed_ms));
    } else {
      out.Null().Key("changed").Null();
    }
    out.EndObject();
  }
  out.EndArray();
}

void WriteOnBattery(JsonOut& out, const DeviceStatus& d) {
  out.Key("on_battery_since");
  if (d.on_battery_ms == 0) {
    out.Null();
  } else {
    out.String(FormatUtcMs(d.on_battery_ms));
  }
}

void WriteDevice(JsonOut& out, const DeviceStatus& d) {
  out.BeginObject();
  out.Key("name").String(d.name).Key("data_id").Int(d.data_id).Key("type").String(d.type);
  out.Key("port").String(d.port).Key("poll_interval_ms").Int(d.poll_interval_ms);
  out.Key("link").String(LinkStateName(d.link)).Key("link_since").String(FormatUtcMs(d.link_ms));
  out.Key("history").String(d.history);
  WriteOnBattery(out, d);
  WriteCounters(out, d);
  out.Key("record");
  if (d.record_ms == 0) {
    out.Null();
  } else {
    WriteRecord(out, d.record_type, d.record, FormatUtcMs(d.record_ms));
    out.Key("cached").Bool(d.replayed);
  }
  WriteAlarms(out, d);
  out.Key("reports").BeginObject();
  for (const auto& r : d.reports) {
    out.Key(r.first).BeginObject();
    out.Key("value").Real(r.second.value).Key("time").String(FormatUtcMs(r.second.time_ms));
    out.EndObject();
  }
  out.EndObject().EndObject();
}

void WriteMeasurementTable(JsonOut& out) {
  out.BeginArray();
  for (const zota::Measurement& m : zota::kMeasurements) {
    out.BeginObject().Key("key").String(m.key).Key("name").String(m.name);
    out.Key("unit").String(m.unit).Key("decimals").Int(m.decimals).EndObject();
  }
  out.EndArray();
}

std::string DevicesJson(const std::vector<DeviceStatus>& devices) {
  JsonOut out;
  out.reserve(1024 * (devices.size() + 1));
  out.BeginObject().Key("now").String(FormatUtcMs(NowUtcMs())).Key("measurements");
  WriteMeasurementTable(out);
  out.Key("flags").BeginArray();
  for (const zota::Flag& f : zota::kFlags) {
    out.BeginObject().Key("key").String(f.key).Key("name").String(f.name).EndObject();
  }
  out.EndArray();
  out.Key("devices").BeginArray();
  for (const DeviceStatus& d : devices) WriteDevice(out, d);
  out.EndArray().EndObject();
  return std::move(out.str());
}

namespace {

using Labelled = std::vector<std::string>;

// The families read from each device's last record.
void RecordFamilies(std::string& out, const std::vector<DeviceStatus>& devices,
                    const Labelled& labels) {
  // The last record of each device, decoded once for all families.
  std::vector<zota::DecodedRecord> records(devices.size());
  std::vector<bool> decoded(devices.size());
  for (std::size_t i = 0; i < devices.size(); ++i) decoded[i] = DecodeLast(devices[i], records[i]);

  for (std::size_t k = 0; k < zota::kMeasurementCount; ++k) {
    const zota::Measurement& m = zota::kMeasurements[k];
    std::string help = std::string("UPS ") + m.name + " of the last record";
    if (m.metric_scale != 1.0) help += " (1 = 100 %)";
    Family(out, m.metric, "gauge", help + ".");
    for (std::size_t i = 0; i < devices.size(); ++i) {
      if (decoded[i]) Sample(out, m.metric, labels[i], records[i].Value(k) * m.metric_scale);
    }
  }
  Family(out, "ups_status_flag", "gauge", "UPS status flag of the last record: 1 set, 0 clear.");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (!decoded[i]) continue;
    for (const zota::Flag& f : zota::kFlags) {
      Sample(out, "ups_status_flag", labels[i] + ",flag=\"" + f.key + "\"",
             records[i].Has(f) ? 1 : 0, 0);
    }
  }
}

// The counters each device's link keeps.
void CounterFamilies(std::string& out, const std::vector<DeviceStatus>& devices,
                     const Labelled& labels) {
  struct Counter {
    const char* name;
    const char* help;
    long LinkCounters::*field;
  };
  static const Counter kCounters[] = {
      {"qdx_device_records_total", "Records the device published.", &LinkCounters::records},
      {"qdx_device_communication_failures_total",
       "Exchanges that ended without a record (no reply in time, a bad reply, a lost port).",
       &LinkCounters::failures},
      {"qdx_device_late_replies_total",
       "Replies that completed after their cycle had timed out; their records are "
       "published.",
       &LinkCounters::late_replies},
      {"qdx_device_reopens_total", "Times the device's port was opened again after a loss.",
       &LinkCounters::reopens},
  };
  for (const Counter& c : kCounters) {
    Family(out, c.name, "counter", c.help);
    for (std::size_t i = 0; i < devices.size(); ++i) {
      Sample(out, c.name, labels[i], static_cast<double>(devices[i].counters.*c.field), 0);
    }
  }
}

// The page's own figures and the history queue's losses.
void ServerFamilies(std::string& out, const HttpCounters& http) {
  Family(out, "qdx_http_event_clients", "gauge", "Clients listening on /api/events.");
  out += "qdx_http_event_clients " + std::to_string(http.event_clients) + "\n";
  Family(out, "qdx_http_event_clients_dropped_total", "counter",
         "Event clients closed because they fell too far behind.");
  out +=
      "qdx_http_event_clients_dropped_total " + std::to_string(http.event_clients_dropped) + "\n";
  Family(out, "qdx_http_event_streams_ended_total", "counter",
         "Event streams ended after 1 MiB or 10 minutes; their clients reconnect.");
  out += "qdx_http_event_streams_ended_total " + std::to_string(http.event_streams_ended) + "\n";
  Family(out, "qdx_history_records_dropped_total", "counter",
         "Records dropped from the history's queue while it was full, not stored.");
  out += "qdx_history_records_dropped_total " + std::to_string(http.history_dropped) + "\n";
}

}  // namespace

std::string MetricsText(const std::vector<DeviceStatus>& devices, const HttpCounters& http) {
  std::string out;
  out.reserve(2048 + devices.size() * 2600);
  std::vector<std::string> labels;
  labels.reserve(devices.size());
  for (const DeviceStatus& d : devices) labels.push_back(Labels(d));
  RecordFamilies(out, devices, labels);
  Family(out, "qdx_alarm_active", "gauge",
         "Threshold alarm of a signal: 1 raised, 0 clear, with its configured level.");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    for (const auto& entry : devices[i].alarms) {
      const AlarmInfo& a = entry.second;
      std::string l = labels[i] + ",signal_id=\"";
      AppendLabelValue(l, a.signal_id);
      l += "\",level=\"" + std::to_string(a.level) + "\"";
      Sample(out, "qdx_alarm_active", l, a.active ? 1 : 0, 0);
    }
  }
  Family(out, "qdx_device_link_state", "gauge",
         "Link state of the device's port: 1 for the current state, 0 for the others.");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    for (LinkState s : kLinkStates) {
      Sample(out, "qdx_device_link_state", labels[i] + ",state=\"" + LinkStateName(s) + "\"",
             devices[i].link == s ? 1 : 0, 0);
    }
  }
  Family(out, "qdx_device_history_state", "gauge",
         "State of the history the device's records go to: 1 for the current state.");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    for (HistoryState s : kHistoryStates) {
      const char* name = HistoryStateName(s);
      Sample(out, "qdx_device_history_state", labels[i] + ",state=\"" + name + "\"",
             devices[i].history == name ? 1 : 0, 0);
    }
  }
  Family(out, "qdx_device_last_record_timestamp_seconds", "gauge",
         "When the device published its last record, in seconds since 1970 (UTC).");
  for (std::size_t i = 0; i < devices.size(); ++i) {
    if (devices[i].record_ms == 0) continue;
    Sample(out, "qdx_device_last_record_timestamp_seconds", labels[i],
           static_cast<double>(devices[i].record_ms) / 1000.0, 3);
  }
  CounterFamilies(out, devices, labels);
  ServerFamilies(out, http);
  return out;
}

std::string ErrorJson(const std::string& message) {
  JsonOut out;
  out.BeginObject().Key("error").String(message).EndObject();
  return std::move(out.str());
}

}  // namespace controller

// The rows of a history answer as JSON or CSV, and the event log's answer.
#include <json/reader.h>

#include <cstdio>
#include <memory>

#include "controller/common/iso_time.h"
#include "controller/http/http_history.h"
#include "controller/status/json_out.h"
#include "controller/status/status_render.h"
#include "controller/status/ups_fields.h"

namespace controller {

namespace {

// A mean of raw counts with one digit more than the values, rounded, as a
// whole count of 10^-(decimals+1): integers only, no double formatted per value.
unsigned long MeanTenths(std::int64_t sum, std::int64_t rows) {
  return static_cast<unsigned long>((sum * 20 + rows) / (2 * rows));
}

// A slice's figures in the measurements' units: min, max and mean per
// measurement, the flags seen and in how many records.
void WriteSlice(JsonOut& out, const Aggregate& a) {
  static const JsonKey kRows("rows"), kMin("min"), kMax("max"), kMean("mean"),
      kFlagsSeen("flags_seen"), kFlagRows("flag_rows");
  out.Key(kRows).Int(a.rows);
  if (a.rows > 0) {
    for (const auto* part : {&a.min, &a.max}) {
      out.Key(part == &a.min ? kMin : kMax).BeginObject();
      for (std::size_t i = 0; i < zota::kMeasurementCount; ++i)
        out.Key(MeasurementKey(i))
            .Fixed(static_cast<unsigned long>((*part)[i]), zota::kMeasurements[i].decimals);
      out.EndObject();
    }
    out.Key(kMean).BeginObject();
    for (std::size_t i = 0; i < zota::kMeasurementCount; ++i)
      out.Key(MeasurementKey(i))
          .Fixed(MeanTenths(a.sum[i], a.rows), zota::kMeasurements[i].decimals + 1);
    out.EndObject();
  }
  out.Key(kFlagsSeen).BeginArray();
  for (std::size_t i = 0; i < zota::kFlagCount; ++i)
    if (a.flag_rows[i] > 0) out.String(zota::kFlags[i].key);
  out.EndArray().Key(kFlagRows).BeginObject();
  for (std::size_t i = 0; i < zota::kFlagCount; ++i)
    if (a.flag_rows[i] > 0) out.Key(FlagKey(i)).Int(a.flag_rows[i]);
  out.EndObject();
}

void AppendSliceHeader(std::string& out) {
  out += ",rows";
  for (const char* part : {"min", "max", "mean"}) {
    for (const zota::Measurement& m : zota::kMeasurements)
      out += std::string(",") + m.key + "_" + part + "_" + m.csv_unit;
  }
  out += ",flags_seen";
  for (const zota::Flag& f : zota::kFlags) out += std::string(",") + f.key + "_rows";
}

void AppendSlice(std::string& out, const Aggregate& a) {
  out += ',';
  out += std::to_string(a.rows);
  for (const auto* part : {&a.min, &a.max}) {
    for (std::size_t i = 0; i < zota::kMeasurementCount; ++i) {
      out += ',';
      if (a.rows > 0)
        AppendFixed(out, static_cast<unsigned long>((*part)[i]), zota::kMeasurements[i].decimals);
    }
  }
  for (std::size_t i = 0; i < zota::kMeasurementCount; ++i) {
    out += ',';
    if (a.rows == 0) continue;
    AppendFixed(out, MeanTenths(a.sum[i], a.rows), zota::kMeasurements[i].decimals + 1);
  }
  out += ',';
  const char* sep = "";
  for (std::size_t i = 0; i < zota::kFlagCount; ++i) {
    if (a.flag_rows[i] == 0) continue;
    out += sep;
    out += zota::kFlags[i].key;
    sep = ";";
  }
  for (const std::int64_t n : a.flag_rows) {
    out += ',';
    out += std::to_string(n);
  }
}

}  // namespace

std::string LogJson(const std::vector<LoggedRow>& rows, const std::vector<std::string>& repeats) {
  JsonOut out;
  out.reserve(64 + rows.size() * 360);
  out.BeginObject().Key("count").Int(static_cast<long long>(rows.size()));
  out.Key("events").BeginArray();
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  for (const LoggedRow& row : rows) {
    const std::string& e = row.json;
    // Written by another program: served as text rather than breaking the answer.
    Json::Value v;
    if (!reader->parse(e.data(), e.data() + e.size(), &v, nullptr) || !v.isObject()) {
      out.BeginObject().Key("event").String("unreadable").Key("text").String(e).EndObject();
    } else if (v.isMember("count") || v.isMember("last_time") || v.isMember("last_time_ms")) {
      out.Raw(e);  // keys of its own are not overwritten
    } else {
      // The keys go in before the object's closing brace, the rest as stored.
      JsonOut added;
      added.BeginObject()
          .Key("count")
          .Int(row.count)
          .Key("last_time")
          .String(FormatUtcMs(row.last_ms));
      added.Key("last_time_ms").Int(row.last_ms).EndObject();
      const std::string& tail = added.str();
      out.Raw(e.substr(0, e.rfind('}')) + (v.empty() ? "" : ",") + tail.substr(1));
    }
  }
  out.EndArray().Key("repeats").BeginObject().Key("events").BeginArray();
  for (const std::string& name : repeats) out.String(name);
  out.EndArray().Key("within_s").Int(kRepeatWindowMs / 1000).EndObject().EndObject();
  return std::move(out.str());
}

std::string HistoryJson(const HistoryRequest& req, const HistoryPage& page) {
  JsonOut out;
  // A point with its slice's figures takes about three times a record.
  out.reserve(256 + page.rows.size() * (page.slices.empty() ? 300 : 900));
  out.BeginObject();
  out.Key("device").String(req.device).Key("data_id").Int(req.data_id);
  out.Key("from").String(FormatUtcMs(req.from_ms)).Key("to").String(FormatUtcMs(req.to_ms));
  out.Key("limit").Int(static_cast<long long>(req.limit)).Key("step").Int(req.step_s);
  out.Key("count").Int(static_cast<long long>(page.rows.size())).Key("more").Bool(page.more);
  out.Key("measurements");
  WriteMeasurementTable(out);
  out.Key("records").BeginArray();
  const bool slices = req.step_s > 0 && page.slices.size() == page.rows.size();
  for (std::size_t i = 0; i < page.rows.size(); ++i) {
    const HistoryRow& row = page.rows[i];
    if (!slices) {
      WriteRecord(out, row.record_type, row.data, row.time);
      continue;
    }
    if (row.data.empty()) {
      out.BeginObject().Key("time").String(row.time).Key("values").Null();
    } else {
      WriteRecord(out, row.record_type, row.data, row.time, false);
    }
    WriteSlice(out, page.slices[i]);
    out.EndObject();
  }
  out.EndArray().EndObject();
  return std::move(out.str());
}

std::string HistoryCsv(const HistoryPage& page, bool step) {
  std::string out = "time,record_type";
  for (const zota::Measurement& m : zota::kMeasurements) {
    out += ',';
    out += m.key;
    out += '_';
    out += m.csv_unit;
  }
  out += ",state,flags,hex";
  const bool slices = step && page.slices.size() == page.rows.size();
  if (slices) AppendSliceHeader(out);
  out += "\r\n";
  out.reserve(out.size() + page.rows.size() * 120);
  for (const HistoryRow& row : page.rows) {
    out += row.time;
    out += ',';
    out += std::to_string(row.record_type);
    zota::DecodedRecord r;
    if (zota::Decode(row.record_type, row.data.data(), row.data.size(), r)) {
      for (std::size_t i = 0; i < zota::kMeasurementCount; ++i) {
        out += ',';
        AppendFixed(out, r.raw[i], zota::kMeasurements[i].decimals);
      }
      out += ',';
      out += std::to_string(r.state);
      out += ',';
      const char* sep = "";
      for (const zota::Flag& f : zota::kFlags) {
        if (!r.Has(f)) continue;
        out += sep;
        out += f.key;
        sep = ";";
      }
      out += ',';
    } else {
      out += std::string(zota::kMeasurementCount + 2, ',') + ",";
      out += Hex(row.data);
    }
    if (slices) AppendSlice(out, page.slices[&row - page.rows.data()]);
    out += "\r\n";
  }
  return out;
}

}  // namespace controller

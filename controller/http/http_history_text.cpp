// The rows of a history answer as JSON or CSV, and the event log's answer.
#include <json/reader.h>

#include <memory>

#include "controller/common/iso_time.h"
#include "controller/http/http_history.h"
#include "controller/status/json_out.h"
#include "controller/status/status_render.h"
#include "controller/status/ups_fields.h"

namespace controller {

std::string LogJson(const std::vector<std::string>& events) {
  JsonOut out;
  out.reserve(64 + events.size() * 300);
  out.BeginObject().Key("count").Int(static_cast<long long>(events.size()));
  out.Key("events").BeginArray();
  Json::CharReaderBuilder builder;
  const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
  for (const std::string& e : events) {
    // Written by another program: served as text rather than breaking the answer.
    Json::Value v;
    if (reader->parse(e.data(), e.data() + e.size(), &v, nullptr) && v.isObject()) {
      out.Raw(e);
    } else {
      out.BeginObject().Key("event").String("unreadable").Key("text").String(e).EndObject();
    }
  }
  out.EndArray().EndObject();
  return std::move(out.str());
}

std::string HistoryJson(const HistoryRequest& req, const HistoryPage& page) {
  JsonOut out;
  out.reserve(256 + page.rows.size() * 300);
  out.BeginObject();
  out.Key("device").String(req.device).Key("data_id").Int(req.data_id);
  out.Key("from").String(FormatUtcMs(req.from_ms)).Key("to").String(FormatUtcMs(req.to_ms));
  out.Key("limit").Int(static_cast<long long>(req.limit)).Key("step").Int(req.step_s);
  out.Key("count").Int(static_cast<long long>(page.rows.size())).Key("more").Bool(page.more);
  out.Key("measurements");
  WriteMeasurementTable(out);
  out.Key("records").BeginArray();
  for (const HistoryRow& row : page.rows) WriteRecord(out, row.record_type, row.data, row.time);
  out.EndArray().EndObject();
  return std::move(out.str());
}

std::string HistoryCsv(const HistoryPage& page) {
  std::string out = "time,record_type";
  for (const zota::Measurement& m : zota::kMeasurements) {
    out += ',';
    out += m.key;
    out += '_';
    out += m.csv_unit;
  }
  out += ",state,flags,hex\r\n";
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
      out += ",\r\n";
    } else {
      out += std::string(zota::kMeasurementCount + 2, ',') + ",";
      out += Hex(row.data);
      out += "\r\n";
    }
  }
  return out;
}

}  // namespace controller

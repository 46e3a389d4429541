// The status board and history rows as JSON, CSV and metrics text.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "controller/status/json_out.h"
#include "controller/status/status_board.h"

namespace controller {

// The measurements' and flags' keys, in their order.
const JsonKey& MeasurementKey(std::size_t i);
const JsonKey& FlagKey(std::size_t i);

// {"type", "time", then "device_time", decoded "values", "state" and the set
// "flags" for a UPS record, or "hex" for any other}; left open for more keys
// unless close.
void WriteRecord(JsonOut& out, int type, const std::vector<unsigned char>& data,
                 const std::string& time, bool close = true);
void WriteCounters(JsonOut& out, const DeviceStatus& d);
// "signal", "measurement" and "unit" of a checked signal or report id; an id
// that is none of the record's names itself, with no measurement.
void WriteSignal(JsonOut& out, const std::string& id);
void WriteAlarms(JsonOut& out, const DeviceStatus& d);
void WriteDevice(JsonOut& out, const DeviceStatus& d);
// "on_battery_since": when the running utility failure was first seen, or null.
void WriteOnBattery(JsonOut& out, const DeviceStatus& d);

// Upper-case hex digits, two per byte, unspaced.
std::string Hex(const std::vector<unsigned char>& data);

// GET /api/devices, with the controller's clock as "now" for clients on another clock.
std::string DevicesJson(const std::vector<DeviceStatus>& devices);

// The measurement table: key, name, unit, decimals of each measurement.
void WriteMeasurementTable(JsonOut& out);

struct HttpCounters {
  std::size_t event_clients = 0;
  long event_clients_dropped = 0;
  long event_streams_ended = 0;   // at their bound of data or time
  long long history_dropped = 0;  // records dropped from the history's full queue
};

// GET /metrics in the Prometheus text exposition format (version 0.0.4).
std::string MetricsText(const std::vector<DeviceStatus>& devices, const HttpCounters& http);

// {"error": message}.
std::string ErrorJson(const std::string& message);

}  // namespace controller

// Turns published records, alarms and analogue reports into lines a person reads.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "controller/status/ups_fields.h"
#include "host/qdx_device.h"

namespace controller {

// Names of the set status flags of a UPS record's state byte, bit 7 first.
std::vector<std::string> FlagNames(std::uint8_t state);

// The record's contents after its time and data id: decoded measurements for
// the UPS record, hexadecimal bytes for any other record type.
std::string DescribeRecord(int type, const unsigned char* data, unsigned int len);

// Human name and unit of a checked signal or analogue-report id, or the id.
std::string SignalLabel(const std::string& id);
std::string SignalUnit(const std::string& id);

// One line for a published record, an alarm change and an analogue report.
std::string RecordLine(const std::string& device, std::uint32_t data_id, int type,
                       const unsigned char* data, unsigned int len, bool replayed);
std::string AlarmLine(const std::string& device, std::uint32_t data_id, const rule_value& item,
                      bool raised);
// The same without the time and the device, for an event that carries both.
std::string AlarmText(const rule_value& item, bool raised);
std::string ReportLine(const std::string& device, std::uint32_t data_id,
                       const std::string& report_id, float value);

}  // namespace controller

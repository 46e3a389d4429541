// How the controller shows records, alarms and reports on its output.
#include "controller/status/record_view.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

// The worked example reply as a record: data id 1001, values, state 0x09, time.
const unsigned char kRecord[26] = {0xE9, 0x03, 0x00, 0x00, 0xFC, 0x08, 0xF7, 0x08, 0xFC,
                                   0x08, 0x54, 0x01, 0xF4, 0x01, 0xCC, 0x00, 0x0E, 0x01,
                                   0x09, 0xEA, 0x07, 0x05, 0x01, 0x0C, 0x00, 0x03};

TEST(RecordViewTest, ShowsMeasurementsWithUnitsAndFlags) {
  EXPECT_EQ(controller::RecordLine("ups1", 1001, 5035, kRecord, 26, false),
            "2026-05-01 12:00:03  ups1 (data id 1001)  record 5035: input 230.0 V, fault 229.5 V, "
            "output 230.0 V, load 34.0 %, freq 50.0 Hz, battery 2.04 V, temp 27.0 \u00b0C; "
            "flags: standby type, beeper on");
  EXPECT_EQ(controller::FlagNames(0xC0),
            (std::vector<std::string>{"utility failure", "battery low"}));
  EXPECT_TRUE(controller::FlagNames(0).empty());
  // Full-scale and near-zero counts keep their digits; every flag in bit order.
  unsigned char edge[26];
  std::copy(kRecord, kRecord + 26, edge);
  edge[4] = edge[5] = 0xFF;
  edge[14] = 5;
  edge[15] = 0;
  edge[18] = 0xFF;
  EXPECT_EQ(controller::DescribeRecord(5035, edge, 26),
            "record 5035: input 6553.5 V, fault 229.5 V, output 230.0 V, load 34.0 %, freq 50.0 "
            "Hz, battery 0.05 V, temp 27.0 \u00b0C; flags: utility failure, battery low, "
            "bypass/boost, UPS failed, standby type, self-test, shutdown, beeper on");
  // Other record types, or a UPS record of the wrong size, are shown as bytes.
  EXPECT_EQ(controller::DescribeRecord(5035, kRecord, 3), "record 5035 (3 bytes): E9 03 00");
  EXPECT_EQ(controller::DescribeRecord(7, kRecord, 2), "record 7 (2 bytes): E9 03");
}

TEST(RecordViewTest, NamesAlarmsAndReports) {
  rule_value item;
  item.signal_id = "2A2615101001";
  item.value = 0.0f;
  item.threshold = 180.0f;
  item.level = 2;
  item.low = true;
  const std::string raised = controller::AlarmLine("ups1", 1, item, true);
  EXPECT_NE(raised.find("ALARM RAISED input voltage [2A2615101001]: 0.0 V below 180.0 V, level 2"),
            std::string::npos)
      << raised;
  item.value = 231.0f;
  EXPECT_NE(controller::AlarmLine("ups1", 1, item, false).find("cleared"), std::string::npos);
  EXPECT_NE(controller::ReportLine("u", 1, "2A2127200001", 27.0f)
                .find("temperature [2A2127200001] = 27.0"),
            std::string::npos);
  EXPECT_EQ(controller::SignalLabel("XYZ"), "XYZ");
}

}  // namespace

// The status texts served over HTTP: the devices as JSON and the metrics in
// the text exposition format.
#include "controller/status/status_render.h"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <set>
#include <sstream>
#include <string>

#include "board_fixture.h"
#include "support/json.h"

namespace {

using board_fixture::kRecord;
using board_fixture::MakeBoard;

// The metric name of a sample line in the text exposition format, or "" when
// the line is no such sample: name, optional {label="value",...} with \\, \"
// and \n escapes, a space and a number.
std::string SampleName(const std::string& line) {
  std::size_t i = 0;
  auto word = [&] {
    const std::size_t from = i;
    while (i < line.size() && (std::islower(static_cast<unsigned char>(line[i])) || line[i] == '_'))
      ++i;
    return i > from;
  };
  if (!word()) return "";
  const std::string name = line.substr(0, i);
  if (i < line.size() && line[i] == '{') {
    ++i;
    while (i < line.size() && line[i] != '}') {
      if (!word() || line.compare(i, 2, "=\"") != 0) return "";
      for (i += 2; i < line.size() && line[i] != '"'; ++i) {
        if (line[i] == '\\' &&
            (++i == line.size() || std::string("\\\"n").find(line[i]) == std::string::npos))
          return "";
      }
      if (++i < line.size() && line[i] == ',') ++i;
    }
    if (i++ == line.size()) return "";
  }
  if (i >= line.size() || line[i++] != ' ' || i == line.size()) return "";
  char* end = nullptr;
  std::strtod(line.c_str() + i, &end);
  return *end == '\0' ? name : "";
}

TEST(StatusRenderTest, DevicesJsonEscapesNames) {
  const auto board = MakeBoard(64, 4, "ups \"a\"\\\n\x01");
  board->Record(0, 5035, kRecord.data(), 26, false, controller::LinkState::kOk, {});
  const Json::Value j = test_support::ParseJson(controller::DevicesJson(board->Snapshot()));
  const Json::Value& d = j["devices"][0];
  EXPECT_EQ(d["name"].asString(), "ups \"a\"\\\n\x01");
  EXPECT_EQ(d["link"].asString(), "ok");
  EXPECT_EQ(d["history"].asString(), "ok");
  EXPECT_DOUBLE_EQ(d["record"]["values"]["output_load"].asDouble(), 34.0);
  EXPECT_EQ(d["alarms"][0]["threshold"].asFloat(), 180.0f);
  EXPECT_TRUE(d["alarms"][0]["low"].asBool());
  EXPECT_EQ(j["measurements"].size(), 7u);
  EXPECT_EQ(j["flags"].size(), 8u);
}

TEST(StatusRenderTest, MetricsAreWellFormed) {
  const auto board = MakeBoard(64, 4, "ups \"a\"\\");
  controller::LinkCounters c;
  c.records = 1;
  board->Record(0, 5035, kRecord.data(), 26, false, controller::LinkState::kOk, c);
  c.late_replies = 1;
  board->Link(0, controller::LinkState::kOk, c, "/dev/pts/9");
  c.failures = 1;
  board->Link(0, controller::LinkState::kTimeout, c, "/dev/pts/9");
  board->SetHistory("recreated");
  const std::string text = controller::MetricsText(board->Snapshot(), {3, 1, 2, 5});
  for (const char* bad : {"a{b=\"c} 1", "a{b=\"\\x\"} 1", "a 1x", "a{b=\"c\"}1", "A 1"})
    EXPECT_EQ(SampleName(bad), "") << bad;
  std::string family;
  std::set<std::string> families;
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("# HELP ", 0) == 0) continue;
    if (line.rfind("# TYPE ", 0) == 0) {
      family = line.substr(7, line.find(' ', 7) - 7);
      EXPECT_TRUE(families.insert(family).second) << "family twice: " << family;
      continue;
    }
    EXPECT_EQ(SampleName(line), family) << line;
  }
  for (const char* want :
       {"ups_input_voltage_volts{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\"} 230\n",
        "ups_output_load_ratio{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\"} 0.34\n",
        "flag=\"utility_failure\"} 1\n", "flag=\"battery_low\"} 0\n",
        "qdx_device_communication_failures_total{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\"} 1\n",
        "qdx_device_late_replies_total{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\"} 1\n",
        "state=\"timeout\"} 1\n",
        "qdx_device_history_state{device=\"ups \\\"a\\\"\\\\\",data_id=\"7\",state=\"recreated\"} "
        "1\n",
        "signal_id=\"2A2615101001\",level=\"2\"} 0\n", "qdx_http_event_clients 3\n",
        "qdx_http_event_clients_dropped_total 1\n", "qdx_http_event_streams_ended_total 2\n",
        "qdx_history_records_dropped_total 5\n"})
    EXPECT_NE(text.find(want), std::string::npos) << want;
}

TEST(StatusRenderTest, ErrorJsonReplacesBytesThatAreNotUtf8) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    const char* in;
    std::string want;
  } rows[] = {
      {"caf\xC3\xA9 \xF0\x9F\x94\x8B", "caf\xC3\xA9 \xF0\x9F\x94\x8B"},  // kept whole
      {"\xFF\xFE", fffd + fffd},
      {"\xC0\xAE", fffd + fffd},                        // overlong
      {"\xED\xA0\x80", fffd + fffd + fffd},             // surrogate
      {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd},  // past U+10FFFF
      {"a\xE2\x82", "a" + fffd + fffd},                 // cut short
  };
  for (const auto& row : rows)
    EXPECT_EQ(controller::ErrorJson(row.in), "{\"error\":\"" + row.want + "\"}") << row.in;
}

}  // namespace

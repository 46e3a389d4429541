// The second framework's operations, as this controller implements them: each
// records the call in compat::g_calls. The loaded plug-in resolves them here.
#include "compat_framework.h"

#include <boost/date_time/posix_time/posix_time_types.hpp>

#include "host/qdx_provider.h"

namespace compat {
std::vector<Call> g_calls;
}  // namespace compat

namespace {

using compat::g_calls;

void Record(const char* op, const unsigned char* data = nullptr, unsigned int len = 0, long n = 0) {
  compat::Call c;
  c.op = op;
  c.n = n;
  if (data != nullptr) c.bytes.assign(data, data + len);
  g_calls.push_back(c);
}

}  // namespace

// Another 7-byte shape than the stand-in's: second first, year last.
CtlClock7 get_ttime(boost::posix_time::ptime when) {
  CtlClock7 out{};
  if (when.is_special()) return out;
  const auto day = when.date();
  const auto tod = when.time_of_day();
  const int year = day.year();
  const unsigned char raw[7] = {
      static_cast<unsigned char>(tod.seconds()), static_cast<unsigned char>(tod.minutes()),
      static_cast<unsigned char>(tod.hours()),   static_cast<unsigned char>(day.day()),
      static_cast<unsigned char>(day.month()),   static_cast<unsigned char>(year % 100),
      static_cast<unsigned char>(year / 100)};
  for (int i = 0; i < 7; ++i) out.raw[i] = raw[i];
  return out;
}

QDXVDevice::QDXVDevice() {}
int QDXVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) { return -1; }
bool QDXVDevice::Reset() { return true; }
int QDXVDevice::InitV(QDXVDevice*, unsigned int data_id, const Json::Value&) {
  data_id_ = data_id;
  return 1;
}
int QDXVDevice::Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
                     const Json::Value&) {
  controller_ = controller;
  data_id_ = data_id;
  return 1;
}
// Every signal listed under "periodic" is reported on each cycle.
bool QDXVDevice::InitSetting(const Json::Value& setting) {
  for (const Json::Value& id : setting["periodic"]) {
    ao_settings_[id.asString()].period_enabled = true;
  }
  return setting.isObject();
}
bool QDXVDevice::IsSupportDevice(const std::string& type) const { return type == device_type_; }
int QDXVDevice::SendSP(int type, const unsigned char* data, unsigned int len, bool) {
  Record("SendSP", data, len, type);
  return -7;
}
void QDXVDevice::SendDelayData(int) {}
bool QDXVDevice::SendDoData(int, char) { return false; }
long QDXVDevice::ReadDi(int) { return 0; }
float QDXVDevice::ReadAi(int) { return 0.0f; }
long QDXVDevice::Get_SP_Value(unsigned int, const std::string&) { return 0; }
void QDXVDevice::CheckThreshold(const std::string& signal_id, const std::string& sub_id,
                                const float& value, int kind) {
  Record("CheckThreshold", nullptr, 0, kind);
  g_calls.back().id = signal_id;
  g_calls.back().sub = sub_id;
  g_calls.back().value = value;
  // Strings long enough to live on the heap: the driver clears the list.
  rule_values_.push_back(rule_value{1, "volt", value, signal_id + " of the supply", "alarm", 2,
                                    "a label longer than any short-string buffer"});
}
void QDXVDevice::CheckAOReport(const std::string& report_id, float value) {
  Record("CheckAOReport");
  g_calls.back().id = report_id;
  g_calls.back().value = value;
}
bool QDXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& items) {
  Record("DoBatchCheckThreshold", nullptr, 0, static_cast<long>(items.size()));
  return true;  // something changed: the driver must keep that in round_changed_
}
int QDXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int len) {
  Record("SaveDeviceHistory", data, len);
  return -9;
}

QDXSPDevice::QDXSPDevice() {}
bool QDXSPDevice::Reset() {
  Record("Reset");
  recv_len_ = 0;
  return false;
}
int QDXSPDevice::Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
                      const Json::Value& config) {
  return QDXVDevice::Init(controller, data_id, config);
}
bool QDXSPDevice::RefreshStatus() {
  Record("RefreshStatus");
  return false;
}
int QDXSPDevice::process(unsigned char*, unsigned int) { return -1; }
int QDXSPDevice::IsProcessing() { return 0; }
int QDXSPDevice::IsStalled() { return 0; }
long QDXSPDevice::SendData(const unsigned char* data, unsigned int len) {
  Record("SendData", data, len);
  return -3;
}
long QDXSPDevice::SendParityData(const unsigned char* data, unsigned int len, EnumParity) {
  return SendData(data, len);
}
int QDXSPDevice::OpenPort() { return 0; }
int QDXSPDevice::ClosePort() { return 0; }

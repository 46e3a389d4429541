// The controller's side of the device framework: constructors, the services a
// driver calls, and the serial-port operations of QDXSPDevice.

#include "host/qdx_device.h"

#include <boost/date_time/posix_time/posix_time.hpp>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <stdexcept>

#include "controller/framework/device_settings.h"
#include "controller/framework/serial_port.h"

namespace {

// The request time runs on the steady clock, kept in the framework's time
// member as an offset from 1970: a stepped wall clock does not move it.
boost::posix_time::ptime SteadyNow() {
  const std::int64_t us = std::chrono::duration_cast<std::chrono::microseconds>(
                              std::chrono::steady_clock::now().time_since_epoch())
                              .count();
  return boost::posix_time::from_time_t(0) + boost::posix_time::microseconds(us);
}

}  // namespace

TTime get_ttime(boost::posix_time::ptime t) {
  TTime out{};
  if (t.is_special()) return out;
  const boost::gregorian::date d = t.date();
  const boost::posix_time::time_duration tod = t.time_of_day();
  const unsigned year = static_cast<unsigned>(d.year());
  out.year[0] = static_cast<std::uint8_t>(year & 0xFFu);
  out.year[1] = static_cast<std::uint8_t>((year >> 8) & 0xFFu);
  out.month = static_cast<std::uint8_t>(d.month().as_number());
  out.day = static_cast<std::uint8_t>(d.day());
  out.hour = static_cast<std::uint8_t>(tod.hours());
  out.minute = static_cast<std::uint8_t>(tod.minutes());
  out.second = static_cast<std::uint8_t>(tod.seconds());
  return out;
}

// ---- QDXVDevice ---------------------------------------------------------

QDXVDevice::QDXVDevice() = default;

int QDXVDevice::DeviceIoControl(int, const void*, int, void*, int, int&) { return -2; }

void QDXVDevice::Reset() {}

bool QDXVDevice::InitV(QDXVDevice*, unsigned int data_id, const Json::Value&) {
  data_id_ = data_id;
  return true;
}

bool QDXVDevice::Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
                      const Json::Value&) {
  controller_ = std::move(controller);
  data_id_ = data_id;
  return true;
}

bool QDXVDevice::InitSetting(const Json::Value& setting) {
  controller::LoadDeviceSettings(setting, *this);
  return true;
}

bool QDXVDevice::IsSupportDevice(const std::string& type) const { return type == device_type_; }

bool QDXVDevice::SendSP(int type, const unsigned char* data, unsigned int len, bool) {
  if (sinks_.publish) sinks_.publish(type, data, len);
  return true;
}

int QDXVDevice::SendDelayData(int) { return 0; }
int QDXVDevice::SendDoData(int, char) { return 0; }
int QDXVDevice::ReadDi(int) { return 0; }
double QDXVDevice::ReadAi(int) { return 0.0; }

double QDXVDevice::Get_SP_Value(unsigned int, const std::string&) {
  throw std::out_of_range("不支持变量");
}

bool QDXVDevice::CheckThreshold(const std::string& signal_id, const std::string& sub_id,
                                const float& value, int kind) {
  auto item = controller::FormThresholdItem(*this, signal_id, sub_id, value, kind);
  if (!item) return false;
  rule_values_.push_back(std::move(*item));
  return true;
}

bool QDXVDevice::CheckAOReport(const std::string& report_id, float value) {
  if (sinks_.ao_report) sinks_.ao_report(report_id, value);
  return true;
}

bool QDXVDevice::DoBatchCheckThreshold(const std::vector<rule_value>& items) {
  return controller::EvaluateThresholds(*this, items);
}

bool QDXVDevice::SaveDeviceHistory(const unsigned char* data, unsigned int len) {
  if (sinks_.history) sinks_.history(data, len);
  if (sinks_.cycle_done) sinks_.cycle_done();
  return true;
}

// ---- QDXSPDevice --------------------------------------------------------

QDXSPDevice::QDXSPDevice() = default;

void QDXSPDevice::Reset() {
  recv_len_ = 0;  // the next byte starts a new frame
  processing_ = false;
}

bool QDXSPDevice::Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
                       const Json::Value& config) {
  QDXVDevice::Init(std::move(controller), data_id, config);
  if (config.isObject()) {
    if (config.isMember("port")) port_path_ = config["port"].asString();
    if (config.isMember("timeout_ms")) reply_timeout_ms_ = config["timeout_ms"].asInt();
  }
  return true;
}

int QDXSPDevice::RefreshStatus() {
  // Whatever came before the poll (a stray LF after a CR, noise, a late reply
  // tail) must not become the head of this poll's reply. The one discard of a
  // poll: each chunk goes through the traffic sink, which is how the
  // controller sees a line that never falls quiet.
  recv_len_ = 0;
  controller::DiscardInput(port_fd_, [this](const unsigned char* data, std::size_t len) {
    if (sinks_.traffic) sinks_.traffic(true, data, static_cast<unsigned int>(len));
  });
  processing_ = true;
  request_time_ = SteadyNow();  // for the device's own use; the controller times the reply
  return 1;
}

int QDXSPDevice::process(unsigned char*, unsigned int) { return 1; }

bool QDXSPDevice::IsProcessing() { return processing_; }

// The controller holds the one reply deadline of each poll; a device that
// knows sooner that its reply is lost says so by overriding this.
bool QDXSPDevice::IsStalled() { return false; }

int QDXSPDevice::SendData(const unsigned char* data, unsigned int len) {
  if (sinks_.traffic) sinks_.traffic(false, data, len);
  if (sinks_.send) {
    sinks_.send(data, len);
    return static_cast<int>(len);
  }
  // Without a controller's send sink, what a full output queue does not take
  // is dropped: the poll then fails by its reply timeout, never held up here.
  if (port_fd_ < 0) return -1;
  const long n = controller::WriteSome(port_fd_, data, len);
  if (n == static_cast<long>(len)) return static_cast<int>(len);
  // Any error but a full queue is a lost line.
  if (n < 0 && sinks_.send_failed) sinks_.send_failed(errno);
  return -1;
}

int QDXSPDevice::SendParityData(const unsigned char* data, unsigned int len, EnumParity) {
  return SendData(data, len);
}

bool QDXSPDevice::OpenPort() {
  ClosePort();
  port_fd_ = controller::OpenSerialPort(port_path_, baud_rate_);
  return true;
}

void QDXSPDevice::ClosePort() {
  controller::CloseSerialPort(port_fd_);
  port_fd_ = -1;
}

// Device framework interface shared by the controller and its driver plug-ins.
//
// This header is a binary contract: a plug-in compiled against it must work in a
// controller compiled against it. The class chain, the order of the members named
// here and the order of the virtual operations must not change. Everything not
// defined inline below is implemented by the controller and resolved from the
// loading process at run time; plug-ins never link a controller library.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QDXController;

// Parity argument of QDXSPDevice::SendParityData.
enum EnumParity {
  PARITY_NONE = 0,
  PARITY_ODD = 1,
  PARITY_EVEN = 2,
  PARITY_MARK = 3,
  PARITY_SPACE = 4
};

// Broken-down local time as stored in device records: 7 bytes, byte-aligned, so it
// may sit at any offset of a packed record.
//   byte 0-1  year, 16-bit little-endian (e.g. 2026 = EA 07)
//   byte 2    month 1-12
//   byte 3    day 1-31
//   byte 4    hour 0-23
//   byte 5    minute 0-59
//   byte 6    second 0-59
struct TTime {
  std::uint8_t year[2];
  std::uint8_t month;
  std::uint8_t day;
  std::uint8_t hour;
  std::uint8_t minute;
  std::uint8_t second;
};
static_assert(sizeof(TTime) == 7 && alignof(TTime) == 1, "TTime must be 7 byte-aligned bytes");

// Converts a time point to its record form; a not-a-date-time gives all zero bytes.
TTime get_ttime(boost::posix_time::ptime t);

// One threshold item gathered during a polling cycle; evaluated by the batch check.
struct rule_value {
  std::string signal_id;   // signal whose thresholds apply
  std::string sub_id;      // second argument of CheckThreshold
  std::string alarm_id;    // alarm identity reported when the state changes
  std::string name;        // human-readable signal name
  float value = 0.0f;      // measured value
  float threshold = 0.0f;  // configured limit
  int level = 0;           // configured severity
  int kind = 0;            // fourth argument of CheckThreshold
  bool low = false;        // alarm below the limit instead of above it
};

// Root of every device. No virtual destructor: devices are destroyed through
// QDXVDevice, so deletion through this type is blocked by a protected destructor.
class VDeviceInterface {
 public:
  // Built from std::string: plug-ins compile this, and C++ libraries before
  // GCC 5 lack the const char* constructor.
  virtual double Get_Value(unsigned int /*index*/, const std::string& /*name*/) const {
    throw std::out_of_range(std::string("数据未就绪"));
  }
  virtual int LoadFromCache(const std::string& data) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(data.data()),
                         static_cast<int>(data.size()));
  }
  virtual int LoadFromCache(const unsigned char* src, int len) = 0;
  virtual unsigned int DataId() const { return data_id_; }
  virtual const std::string& DeviceType() const { return device_type_; }
  virtual int DeviceIoControl(int /*code*/, const void* /*in*/, int /*in_len*/, void* /*out*/,
                              int /*out_len*/, int& /*out_count*/) {
    return -2;
  }
  virtual void RoundDone() {}
  virtual bool UseControllerDb() { return use_controller_db_; }

  std::uint32_t data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;

 protected:
  VDeviceInterface() = default;
  VDeviceInterface(const VDeviceInterface&) = delete;
  VDeviceInterface& operator=(const VDeviceInterface&) = delete;
  ~VDeviceInterface() = default;
};

// Observers a controller installs on a device; empty ones are skipped.
struct QDXHostSinks {
  std::function<void(int type, const unsigned char* data, unsigned int len)> publish;
  std::function<void(const unsigned char* data, unsigned int len)> history;
  // A cycle is complete: its record is published, checked and stored. Called
  // after the history step, which closes every cycle.
  std::function<void()> cycle_done;
  std::function<void(const std::string& report_id, float value)> ao_report;
  std::function<void(const rule_value& item, bool raised)> alarm;
  std::function<void(const unsigned char* data, unsigned int len)> send;
  // A write to the port failed for good (errno); the port is lost.
  std::function<void(int err)> send_failed;
  // Every chunk sent (received false), and every chunk read or discarded.
  std::function<void(bool received, const unsigned char* data, unsigned int len)> traffic;
};

class QDXVDevice : public VDeviceInterface, public std::enable_shared_from_this<QDXVDevice> {
 public:
  struct pi_alert_;

  // Settings and last-report state of one analogue report.
  struct BAOSetting {
    bool abs_enabled = false;
    float abs_delta;
    bool pct_enabled = false;
    float pct_delta;
    bool period_enabled = false;
    float period_minutes;
    std::uint32_t last_time;  // seconds since 1970-01-01 UTC
    float last_value;
  };

  QDXVDevice();
  virtual ~QDXVDevice() {}

  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_count) override;

  virtual void Reset();
  virtual bool InitV(QDXVDevice* parent, unsigned int data_id, const Json::Value& config);
  virtual bool Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
                    const Json::Value& config);
  virtual bool InitSetting(const Json::Value& setting);
  virtual bool IsSupportDevice(const std::string& type) const;
  virtual std::shared_ptr<QDXVDevice> GetChildVDevice(unsigned int /*index*/) {
    return std::shared_ptr<QDXVDevice>();
  }
  virtual std::vector<std::shared_ptr<QDXVDevice>> GetAllChildVDevices() {
    return std::vector<std::shared_ptr<QDXVDevice>>();
  }
  virtual bool SendSP(int type, const unsigned char* data, unsigned int len, bool urgent);
  virtual int SendDelayData(int delay);
  virtual int SendDoData(int channel, char value);
  virtual int ReadDi(int channel);
  virtual double ReadAi(int channel);
  virtual double Get_SP_Value(unsigned int index, const std::string& name);

  bool CheckThreshold(const std::string& signal_id, const std::string& sub_id, const float& value,
                      int kind);
  bool CheckAOReport(const std::string& report_id, float value);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& items);
  bool SaveDeviceHistory(const unsigned char* data, unsigned int len);

  std::map<std::string, BAOSetting> ao_settings_;
  std::int16_t comm_status_ = 0;
  boost::posix_time::ptime last_update_;
  bool data_ready_ = false;
  std::vector<rule_value> rule_values_;
  std::vector<boost::shared_ptr<pi_alert_>> alerts_;
  boost::mutex host_mutex_;
  std::map<std::string, bool> alarm_active_;  // alarm state by signal id
  std::weak_ptr<QDXController> controller_;
  bool round_changed_ = false;
  std::map<std::string, float> last_values_;     // last value checked, by signal id
  std::vector<std::string> reserved_notes_;      // unused; keeps the layout
  std::map<std::string, float> threshold_hyst_;  // hysteresis by signal id
  std::vector<std::string> raised_ids_;          // signals raised in the last batch
  std::vector<std::string> cleared_ids_;         // signals cleared in the last batch
  std::vector<std::string> reserved_types_;      // unused; keeps the layout
  std::map<std::string, int> threshold_levels_;
  std::map<std::string, float> threshold_values_;
  std::map<std::string, bool> threshold_low_;  // true: alarm when below the value
  QDXHostSinks sinks_;
};

class QDXSPDevice : public QDXVDevice {
 public:
  QDXSPDevice();

  void Reset() override;
  bool Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
            const Json::Value& config) override;

  virtual int RefreshStatus();
  virtual int process(unsigned char* data, unsigned int length);
  virtual bool IsProcessing();
  virtual bool IsStalled();
  virtual int SendData(const unsigned char* data, unsigned int len);
  virtual int SendParityData(const unsigned char* data, unsigned int len, EnumParity parity);
  virtual bool OpenPort();
  virtual void ClosePort();

  static constexpr int kRecvBufSize = 4096;

  int pending_cmd_ = 0;
  unsigned char recv_buf_[kRecvBufSize] = {};
  int recv_len_ = 0;
  boost::mutex port_mutex_;
  boost::shared_mutex state_mutex_;
  int baud_rate_ = 9600;
  int port_fd_ = -1;         // the open serial line, or -1
  std::string port_path_;    // device path given by the configuration
  bool processing_ = false;  // a request awaits its reply
  boost::posix_time::ptime request_time_;
  int reply_timeout_ms_ = 2000;
};

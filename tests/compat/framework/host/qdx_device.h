// A second controller framework, written from the driver contract alone and
// unlike the stand-in under host/ wherever a controller may choose: members
// protected, its own members between the named ones, other result types for
// services whose results drivers ignore, a 7-byte time value of another shape,
// and nothing a driver could lean on beyond the contract.
#pragma once

#include <json/value.h>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/shared_mutex.hpp>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

class QDXController;

enum EnumParity { kParityEven = 5, kParityOdd = 6, kParityNone = 9 };

struct CtlClock7 {
  unsigned char raw[7];
};

CtlClock7 get_ttime(boost::posix_time::ptime when);

struct rule_value {
  long serial;
  std::string unit;
  double measured;
  std::string signal;
  std::string alarm;
  short severity;
  std::string label;
};

class VDeviceInterface {
 public:
  virtual long Get_Value(unsigned int, const std::string&) const {
    throw std::out_of_range("数据未就绪");
  }
  virtual int LoadFromCache(const std::string& bytes) {
    return LoadFromCache(reinterpret_cast<const unsigned char*>(bytes.data()),
                         static_cast<int>(bytes.size()));
  }
  virtual int LoadFromCache(const unsigned char* src, int len) = 0;
  virtual unsigned int DataId() const { return data_id_; }
  virtual const std::string& DeviceType() const { return device_type_; }
  virtual int DeviceIoControl(int, const void*, int, void*, int, int&) { return -2; }
  virtual void RoundDone() {}
  virtual bool UseControllerDb() { return use_controller_db_; }

 protected:
  ~VDeviceInterface() {}

  unsigned int data_id_ = 0;
  std::string device_type_;
  bool use_controller_db_ = false;
};

class QDXVDevice : public VDeviceInterface, public std::enable_shared_from_this<QDXVDevice> {
 public:
  virtual ~QDXVDevice() {}

  int DeviceIoControl(int code, const void* in, int in_len, void* out, int out_len,
                      int& out_count) override;

  virtual bool Reset();
  virtual int InitV(QDXVDevice* parent, unsigned int data_id, const Json::Value& config);
  virtual int Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
                   const Json::Value& config);
  virtual bool InitSetting(const Json::Value& setting);
  virtual bool IsSupportDevice(const std::string& type) const;
  virtual std::shared_ptr<QDXVDevice> GetChildVDevice(unsigned int) {
    return std::shared_ptr<QDXVDevice>();
  }
  virtual std::vector<std::shared_ptr<QDXVDevice>> GetAllChildVDevices() {
    return std::vector<std::shared_ptr<QDXVDevice>>();
  }
  virtual int SendSP(int type, const unsigned char* data, unsigned int len, bool urgent);
  virtual void SendDelayData(int ms);
  virtual bool SendDoData(int channel, char level);
  virtual long ReadDi(int channel);
  virtual float ReadAi(int channel);
  virtual long Get_SP_Value(unsigned int index, const std::string& name);

  void CheckThreshold(const std::string& signal_id, const std::string& sub_id, const float& value,
                      int kind);
  void CheckAOReport(const std::string& report_id, float value);
  bool DoBatchCheckThreshold(const std::vector<rule_value>& items);
  int SaveDeviceHistory(const unsigned char* data, unsigned int len);

 protected:
  struct pi_alert_ {
    int code;
    std::string text;
  };
  struct BAOSetting {
    bool abs_enabled = false;
    float abs_delta;
    bool pct_enabled = false;
    float pct_delta;
    bool period_enabled = false;
    float period_minutes;
    unsigned int last_time;
    float last_value;
  };

  QDXVDevice();

  double host_weight_ = 1.0;
  std::map<std::string, BAOSetting> ao_settings_;
  std::string host_label_;
  short comm_status_ = 0;
  long long host_epoch_ = 0;
  boost::posix_time::ptime last_update_;
  char host_tag_[3] = {};
  bool data_ready_ = false;
  std::vector<rule_value> rule_values_;
  std::vector<boost::shared_ptr<pi_alert_>> alerts_;
  boost::mutex alert_lock_;
  std::map<std::string, bool> alarm_state_;
  std::weak_ptr<QDXController> controller_;
  int host_round_ = 0;
  bool round_changed_ = false;
  std::map<std::string, float> last_checked_;
  std::vector<std::string> pending_ids_;
  std::map<std::string, float> hysteresis_;
  std::vector<std::string> raised_;
  std::vector<std::string> cleared_;
  std::vector<std::string> spare_;
  std::string host_note_;
  std::map<std::string, int> threshold_levels_;
  unsigned short host_gap_ = 0;
  std::map<std::string, float> threshold_values_;
  double host_tail_ = 0.0;
};

class QDXSPDevice : public QDXVDevice {
 public:
  bool Reset() override;
  int Init(std::weak_ptr<QDXController> controller, unsigned int data_id,
           const Json::Value& config) override;

  virtual bool RefreshStatus();
  virtual int process(unsigned char* data, unsigned int length);
  virtual int IsProcessing();
  virtual int IsStalled();
  virtual long SendData(const unsigned char* data, unsigned int len);
  virtual long SendParityData(const unsigned char* data, unsigned int len, EnumParity parity);
  virtual int OpenPort();
  virtual int ClosePort();

 protected:
  QDXSPDevice();

  std::string port_name_;
  int pending_cmd_ = 0;
  short host_retries_ = 0;
  unsigned char recv_buf_[4608] = {};  // more than a frame may hold
  char host_flag_ = 0;
  int recv_len_ = 0;
  boost::mutex io_lock_;
  boost::shared_mutex state_lock_;
  double host_timeout_s_ = 1.5;
  int baud_rate_ = 9600;
  std::vector<unsigned char> host_tx_;
};

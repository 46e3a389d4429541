// One device's link: its cycles of poll and reply, with an explicit exchange
// state, its schedule, the reply deadline, reopen back-off, link state and
// counters. The link installs the device's sinks and makes every call on the
// device, in the order a plug-in may rely on; it turns what the device says
// into one outcome per exchange for its observers. Every method that depends
// on time is given the time: the link reads no clock.
#pragma once

#include <chrono>
#include <cstddef>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "controller/common/link_state.h"
#include "controller/config/site_config.h"
#include "controller/link/link_observer.h"
#include "controller/link/sim_process.h"
#include "host/qdx_device.h"

namespace controller {

constexpr int kFirstBackoffMs = 250;
constexpr int kMaxBackoffMs = 8000;

// The wait before the next reopen attempt after one of prev_ms failed.
int NextBackoffMs(int prev_ms);

class DeviceLink {
 public:
  // Idle: no reply awaited; Awaiting: a poll went out and its cycle has not
  // ended; Closed: the port is lost and waits to be reopened.
  enum class Exchange { kIdle, kAwaiting, kClosed };

  // Everything the device says from now on goes through the link.
  DeviceLink(DeviceConfig cfg, std::size_t index, std::shared_ptr<QDXSPDevice> dev,
             std::string sim_program);
  ~DeviceLink();
  DeviceLink(const DeviceLink&) = delete;
  DeviceLink& operator=(const DeviceLink&) = delete;
  // Told every outcome from now on, in the order observed.
  void Observe(LinkObserver* observer) { observers_.push_back(observer); }

  // Start-up: the simulator behind a "sim:" port is handed to the starter
  // thread; `started` is called on that thread whenever one of its starts,
  // the first or a replacement, has come up or failed. A link whose first
  // start is under way is not polled, and no poll it misses counts.
  void StartSimulator(std::function<void()> started);
  // The port, at start, or once the first simulator is up. A port that is
  // not there is lost from Begin on; any other refusal throws.
  void OpenAtStart();
  // Whether a simulator start is under way, and whether it is the first.
  bool sim_starting() const { return starting_.valid(); }
  bool first_start() const { return first_start_; }
  // Takes a first start that has completed and opens its port, as at start:
  // Begin follows. False while it is under way; throws saying why the
  // simulator did not come up.
  bool TakeFirstSimulator();
  // Hands a stored record back to the device; its outcome is marked replayed.
  int Replay(const unsigned char* data, int len, Clock::time_point now);

  // The loop's side.
  // Polls from now on. A link begun after the others (its simulator came up
  // later) joins their slots, begun at `slots`, from its second poll: devices
  // of one interval stay in step, as ports opened at start are.
  void Begin(Clock::time_point now, Clock::time_point slots = Clock::time_point::min());
  // When the link next needs a turn; `filed` is the wake the loop holds for it.
  Clock::time_point Wake(Clock::time_point filed) const;
  void Turn(Clock::time_point now);                  // its time has come
  void Ready(short revents, Clock::time_point now);  // its port is readable or writable
  void StopPolling() { polling_ = false; }
  // Closes the port and files a reopen after the back-off.
  void LosePort(const std::string& why, Clock::time_point now);
  int fd() const { return exchange_ == Exchange::kClosed ? -1 : dev_->port_fd_; }
  // Whether bytes wait for the line to take them: the loop watches for room.
  bool wants_output() const { return exchange_ != Exchange::kClosed && !unsent_.empty(); }
  void Close();

  Exchange exchange() const { return exchange_; }
  LinkState link_state() const { return link_state_; }
  const LinkCounters& counters() const { return counters_; }
  const DeviceConfig& cfg() const { return cfg_; }
  std::size_t index() const { return index_; }
  QDXSPDevice& dev() { return *dev_; }
  const std::string& port_path() const { return port_path_; }
  const SimProcess* sim() const { return sim_.get(); }
  Clock::duration worst_poll_delay() const { return worst_poll_delay_; }
  // Destroys the device (plug-in code) and then the simulator.
  void Release();

 private:
  // An alarm or analogue report the device raised, told after its record.
  struct Signal {
    bool alarm = false;
    rule_value item;
    bool raised = false;
    std::string report_id;
    float value = 0.0f;
  };
  // What the device said in the current call and the link has not told yet.
  struct Heard {
    std::vector<LinkRecord> published;
    std::optional<LinkRecord> stored;
    std::vector<Signal> signals;
    int send_error = 0;         // errno of a failed write to the port
    std::size_t discarded = 0;  // input the poll discarded before it went out
  };

  // The cycle (device_link.cpp).
  void NextSlot(Clock::time_point now);
  void Poll(Clock::time_point now);
  void TellIfBabbling(Clock::time_point now);
  void Expire(Clock::time_point now);
  void Deliver(unsigned char* buf, unsigned int n, Clock::time_point now);
  void Settle(Clock::time_point now);
  void EndCycle(Clock::time_point now);
  void FailCycle(Clock::time_point now);
  // What the device says, and the outcomes told (link_outcome.cpp).
  void InstallSinks();
  void EndRecord(bool completed);
  void Tell(LinkOutcome o, Clock::time_point now);
  void Tell(Ending ending, Clock::time_point now, std::string note, bool trouble = false);
  void TellSignals();
  void Traffic(bool received, const unsigned char* data, std::size_t len);
  // Port handling (link_outcome.cpp).
  void Send(const unsigned char* data, unsigned int len);
  void Flush();
  void MissPoll(Clock::time_point now);
  void TryReopen(Clock::time_point now);
  bool SimulatorStarted();
  void TellMissing(Clock::time_point now);
  void Drop(const std::string& what, const std::string& retry, Clock::time_point now);

  DeviceConfig cfg_;
  std::size_t index_ = 0;  // on the status board
  std::shared_ptr<QDXSPDevice> dev_;
  std::string sim_program_;
  std::unique_ptr<SimProcess> sim_;
  // A simulator being started off the loop, and who is told when it is.
  std::future<std::unique_ptr<SimProcess>> starting_;
  std::function<void()> started_;
  bool first_start_ = false;  // the first simulator has not come up yet
  std::string port_path_;
  std::vector<LinkObserver*> observers_;

  Exchange exchange_ = Exchange::kClosed;  // where the cycle under way stands
  LinkState link_state_ = LinkState::kOk;  // what the API reports of the link
  LinkCounters counters_;
  bool polling_ = true;     // false once the run's cycle limit is reached
  bool replaying_ = false;  // a record from the history is being replayed
  bool in_poll_ = false;    // the device is being asked to poll
  Heard heard_;
  Clock::time_point call_at_{};  // the time of the turn that called into the device

  std::vector<unsigned char> unsent_;  // bytes of the poll the line has not taken yet

  Clock::time_point next_poll_{};
  Clock::time_point slots_ = Clock::time_point::min();  // the others' first slot, to join
  Clock::time_point polled_at_{};                       // when the latest poll went out
  Clock::time_point reply_due_{};   // its reply deadline, the one the cycle is judged by
  Clock::time_point idle_since_{};  // when the last cycle ended
  Clock::time_point reopen_at_{};
  Clock::time_point babble_said_{};     // when "line keeps sending" was last shown
  Clock::time_point no_output_said_{};  // when "line takes no output" was last shown
  int backoff_ms_ = kFirstBackoffMs;
  std::string missing_;  // why the port was not there at start, until Begin tells it
  bool opened_ = false;  // the port was open once
  Clock::duration worst_poll_delay_{};
};

}  // namespace controller

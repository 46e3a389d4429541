// One device's link: its cycles of poll and reply, with an explicit state,
// its schedule, reply deadline, reopen back-off and counters. The link makes
// every call on the device in the order a plug-in may rely on; the loop only
// asks it when it next needs a turn and which port to watch.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "controller/link/sim_process.h"
#include "controller/site_config.h"
#include "controller/status/status_board.h"
#include "host/qdx_device.h"

namespace controller {

using Clock = std::chrono::steady_clock;

constexpr int kFirstBackoffMs = 250;
constexpr int kMaxBackoffMs = 8000;

// The wait before the next reopen attempt after one of prev_ms failed.
int NextBackoffMs(int prev_ms);

// "NAME (data id N)", how every line about a device starts.
std::string Who(const DeviceConfig& cfg);

// Milliseconds as "2.5 s".
std::string Seconds(long long ms);

class DeviceLink {
 public:
  // Idle: no reply awaited; Awaiting: a poll went out and its cycle has not
  // ended; Closed: the port is lost and waits to be reopened.
  enum class State { kIdle, kAwaiting, kClosed };

  DeviceLink(DeviceConfig cfg, std::size_t index, std::shared_ptr<QDXSPDevice> dev,
             std::string sim_program, StatusBoard* board);

  // Start-up: the simulator behind a "sim:" port, then the port itself.
  void StartSimulator();
  void OpenAtStart();
  // Hands a stored record back to the device; its cycle is marked as a replay.
  int Replay(const unsigned char* data, int len);
  // What the device's sinks report about the cycle under way.
  void Published(int type);
  void CycleDone() { cycle_done_ = true; }
  void SendFailed(int err) { send_error_ = err; }
  // The device's bytes for the line: written as far as it takes them now, the
  // rest when it has room, never waited for in the loop.
  void Send(const unsigned char* data, unsigned int len);

  // The loop's side.
  void Begin(Clock::time_point now);
  // When the link next needs a turn; `filed` is the wake the loop holds for it.
  Clock::time_point Wake(Clock::time_point now, Clock::time_point filed) const;
  void Turn(Clock::time_point now);                  // its time has come
  void Ready(short revents, Clock::time_point now);  // its port is readable or writable
  void StopPolling() { polling_ = false; }
  // Closes the port and files a reopen after the back-off.
  void LosePort(const std::string& why);
  int fd() const { return state_ == State::kClosed ? -1 : dev_->port_fd_; }
  // Whether bytes wait for the line to take them: the loop watches for room.
  bool wants_output() const { return state_ != State::kClosed && !pending_.empty(); }
  void Close();

  State state() const { return state_; }
  const DeviceConfig& cfg() const { return cfg_; }
  std::size_t index() const { return index_; }
  QDXSPDevice& dev() { return *dev_; }
  const std::string& port_path() const { return port_path_; }
  const SimProcess* sim() const { return sim_.get(); }
  bool replaying() const { return replaying_; }
  int last_type() const { return last_type_; }
  long cycles() const { return cycles_; }
  long records() const { return records_; }
  long failures() const { return failures_; }
  long late() const { return late_; }
  Clock::duration worst_poll_delay() const { return worst_poll_delay_; }
  // Destroys the device (plug-in code) and then the simulator.
  void Release();

 private:
  void Settle(Clock::time_point now);
  void PollDue(Clock::time_point now);
  void DiscardBeforePoll(Clock::time_point now);
  void CheckStalled(Clock::time_point now);
  void Flush();
  void MissSlot(Clock::time_point now);
  void Deliver(unsigned char* buf, unsigned int n);
  void TryReopen(Clock::time_point now);
  void FailCycle();

  DeviceConfig cfg_;
  std::size_t index_ = 0;  // on the status board
  std::shared_ptr<QDXSPDevice> dev_;
  std::string sim_program_;
  StatusBoard* board_ = nullptr;
  std::unique_ptr<SimProcess> sim_;
  std::string port_path_;

  State state_ = State::kClosed;
  bool polling_ = true;      // false once the run's cycle limit is reached
  bool replaying_ = false;   // a record from the history is being replayed
  bool cycle_done_ = false;  // the device completed a cycle in the current call
  int send_error_ = 0;       // errno of a failed write to the port in the current call
  int last_type_ = 0;        // type of the record published last, for its history row

  std::vector<unsigned char> pending_;  // bytes of the poll the line has not taken yet

  long cycles_ = 0;    // cycles ended by a reply, a timeout or a lost port, and missed slots
  long records_ = 0;   // records published
  long failures_ = 0;  // cycles that ended without a reply, and poll slots missed while closed
  long late_ = 0;      // replies that completed after their cycle had timed out

  Clock::time_point next_poll_{};
  Clock::time_point sent_at_{};     // when the pending poll went out
  Clock::time_point idle_since_{};  // when the last cycle ended
  Clock::time_point reopen_at_{};
  Clock::time_point babble_said_{};     // when "line keeps sending" was last shown
  Clock::time_point no_output_said_{};  // when "line takes no output" was last shown
  int backoff_ms_ = kFirstBackoffMs;
  Clock::duration worst_poll_delay_{};
};

}  // namespace controller

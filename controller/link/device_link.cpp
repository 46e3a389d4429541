#include "controller/link/device_link.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "controller/common/output.h"
#include "controller/common/output_pump.h"
#include "controller/link/serial_port.h"

namespace controller {

namespace {

constexpr std::size_t kReadChunk = 512;  // one read per turn: a busy port shares the loop
// "line keeps sending" and "line takes no output" at most this often.
constexpr auto kLineReportEvery = std::chrono::minutes(1);
constexpr int kStallSlackMs = 1;  // wake just after a reply deadline, not before
// A reply deadline long past while the device does not yet call itself stalled
// (its clock is its own): look again at this pace, not in a busy loop.
constexpr int kStallRecheckMs = 20;

}  // namespace

int NextBackoffMs(int prev_ms) {
  if (prev_ms < kFirstBackoffMs) return kFirstBackoffMs;
  return prev_ms >= kMaxBackoffMs / 2 ? kMaxBackoffMs : prev_ms * 2;
}

std::string Who(const DeviceConfig& cfg) { return Who(cfg.name, cfg.data_id); }

std::string Seconds(long long ms) {
  return std::to_string(ms / 1000) + "." + std::to_string((ms % 1000) / 100) + " s";
}

DeviceLink::DeviceLink(DeviceConfig cfg, std::size_t index, std::shared_ptr<QDXSPDevice> dev,
                       std::string sim_program, StatusBoard* board)
    : cfg_(std::move(cfg)),
      index_(index),
      dev_(std::move(dev)),
      sim_program_(std::move(sim_program)),
      board_(board),
      port_path_(cfg_.port) {}

void DeviceLink::StartSimulator() {
  if (cfg_.sim_scenario.empty()) return;
  sim_ = std::make_unique<SimProcess>(sim_program_, cfg_.sim_scenario, cfg_.sim_seed);
  port_path_ = sim_->pty_path();
}

void DeviceLink::OpenAtStart() {
  dev_->OpenPort();
  state_ = State::kIdle;
}

int DeviceLink::Replay(const unsigned char* data, int len) {
  replaying_ = true;
  const int accepted = dev_->LoadFromCache(data, len);
  replaying_ = false;
  return accepted;
}

void DeviceLink::Published(int type) {
  last_type_ = type;
  ++records_;
}

void DeviceLink::Begin(Clock::time_point now) {
  next_poll_ = now;
  idle_since_ = now;
}

Clock::time_point DeviceLink::Wake(Clock::time_point now, Clock::time_point filed) const {
  switch (state_) {
    case State::kClosed:
      // Each poll slot that passes while closed counts as a failed cycle.
      return polling_ ? std::min(reopen_at_, next_poll_) : reopen_at_;
    case State::kAwaiting: {
      Clock::time_point due =
          sent_at_ + std::chrono::milliseconds(cfg_.reply_timeout_ms + kStallSlackMs);
      if (due <= now) {
        const bool long_past = now - due > std::chrono::milliseconds(kStallRecheckMs);
        due = now + std::chrono::milliseconds(long_past ? kStallRecheckMs : kStallSlackMs);
      }
      // An earlier wake already filed stays: moving it later on every read
      // would let a port that is always readable put off its own deadline.
      return std::min(filed, due);
    }
    case State::kIdle:
      break;
  }
  return polling_ ? next_poll_ : Clock::time_point::max();
}

void DeviceLink::Turn(Clock::time_point now) {
  if (state_ == State::kClosed) TryReopen(now);
  if (state_ == State::kClosed) {
    MissSlot(now);
    return;
  }
  CheckStalled(now);
  Settle(now);
  if (!polling_ || state_ != State::kIdle || now < next_poll_) return;
  // A poll held up by the device's own slow cycle is not the loop's delay.
  const Clock::time_point planned = std::max(next_poll_, idle_since_);
  PollDue(now);
  if (now > planned) worst_poll_delay_ = std::max(worst_poll_delay_, now - planned);
  Settle(now);
}

void DeviceLink::Ready(short revents, Clock::time_point now) {
  if (state_ == State::kClosed) return;
  if (revents & POLLOUT) Flush();
  if (revents & POLLIN) {
    unsigned char buf[kReadChunk];
    const ssize_t n = ::read(dev_->port_fd_, buf, sizeof(buf));
    // A tty read of 0 bytes (VMIN 0) is no end of file: a lost line shows as
    // a hang-up or an error.
    if (n > 0) {
      // Through the device's traffic sink, the one route of everything captured.
      auto& traffic = dev_->sinks_.traffic;
      if (traffic) traffic(true, buf, static_cast<unsigned int>(n));
      Deliver(buf, static_cast<unsigned int>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      LosePort(std::strerror(errno));
      return;
    }
  }
  if (state_ != State::kClosed && (revents & (POLLHUP | POLLERR | POLLNVAL)))
    LosePort(revents & POLLHUP ? "the line hung up" : "the line failed");
  Settle(now);
}

void DeviceLink::Send(const unsigned char* data, unsigned int len) {
  if (state_ == State::kClosed || dev_->port_fd_ < 0) return;  // the cycle fails by its timeout
  pending_.insert(pending_.end(), data, data + len);
  Flush();
}

void DeviceLink::Flush() {
  if (pending_.empty() || send_error_ != 0) return;
  const long n = WriteSome(dev_->port_fd_, pending_.data(), pending_.size());
  if (n < 0) {
    send_error_ = errno;  // Settle loses the port
    pending_.clear();
    return;
  }
  pending_.erase(pending_.begin(), pending_.begin() + n);
}

void DeviceLink::Close() {
  pending_.clear();
  if (dev_) dev_->ClosePort();
  state_ = State::kClosed;
}

void DeviceLink::Release() { dev_.reset(); }

// Reads the device's side of the cycle after a call into it: the one place
// the link's state follows the device.
void DeviceLink::Settle(Clock::time_point now) {
  if (state_ == State::kClosed) return;
  const bool awaiting = dev_->IsProcessing();
  if (state_ == State::kAwaiting && !awaiting) idle_since_ = now;
  state_ = awaiting ? State::kAwaiting : State::kIdle;
  if (send_error_ != 0) {
    // The poll never reached the line: its cycle fails with the port.
    const int err = send_error_;
    send_error_ = 0;
    LosePort(std::string("cannot write to it: ") + std::strerror(err));
  }
}

void DeviceLink::PollDue(Clock::time_point now) {
  const auto interval = std::chrono::milliseconds(cfg_.poll_interval_ms);
  next_poll_ += interval;
  if (next_poll_ <= now) next_poll_ = now + interval;  // fell behind: no burst
  sent_at_ = now;
  DiscardBeforePoll(now);
  try {
    dev_->RefreshStatus();
  } catch (const std::exception& e) {
    Complain(Who(cfg_) + ": poll failed: " + e.what());
    dev_->Reset();
  }
}

// Input before a poll answers no poll (a stray LF, noise, a late reply's
// tail). A line that never falls quiet is cut off after a bounded amount, and
// said so now and then, not at every poll.
void DeviceLink::DiscardBeforePoll(Clock::time_point now) {
  auto& traffic = dev_->sinks_.traffic;
  bool sending = false;
  const std::size_t n = DiscardInput(
      dev_->port_fd_,
      [&traffic](const unsigned char* data, std::size_t len) {
        if (traffic) traffic(true, data, static_cast<unsigned int>(len));
      },
      kMaxDiscardBytes, &sending);
  const auto idle_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - idle_since_).count();
  if (!LineKeepsSending(n, sending, dev_->baud_rate_, idle_ms)) return;
  if (babble_said_ != Clock::time_point{} && now - babble_said_ < kLineReportEvery) return;
  babble_said_ = now;
  Say(Who(cfg_) + ": line keeps sending: " + Grouped(n) + " bytes discarded before poll");
}

void DeviceLink::CheckStalled(Clock::time_point now) {
  if (state_ != State::kAwaiting || !dev_->IsStalled()) return;
  const bool unsent = !pending_.empty();
  pending_.clear();  // a poll too late to answer is not sent later
  // Nor are those the line took but never sent: once it moves they would go
  // out in a burst and each be answered out of turn.
  if (unsent) ::tcflush(dev_->port_fd_, TCOFLUSH);
  FailCycle();
  const std::string within = " within " + std::to_string(cfg_.reply_timeout_ms) + " ms";
  const std::string count = ", communication failure " + std::to_string(failures_);
  if (!unsent) {
    Say(Who(cfg_) + ": no complete reply" + within + count);
    return;
  }
  // A line that stays full fails every poll: said now and then, not each time.
  if (no_output_said_ != Clock::time_point{} && now - no_output_said_ < kLineReportEvery) return;
  no_output_said_ = now;
  Say(Who(cfg_) + ": line takes no output: poll not sent" + within + count);
}

void DeviceLink::Deliver(unsigned char* buf, unsigned int n) {
  const bool waiting = state_ == State::kAwaiting;
  cycle_done_ = false;
  try {
    dev_->process(buf, n);
  } catch (const std::exception& e) {
    Complain(Who(cfg_) + ": reply handling failed: " + e.what());
    dev_->Reset();
  }
  if (!waiting && cycle_done_) {
    // The reply of a cycle already failed by its timeout: it stays that
    // failure, and its record is published, counted as late.
    ++late_;
    if (board_) board_->Late(index_);
    return;
  }
  if (!waiting || dev_->IsProcessing()) return;
  if (cycle_done_) {
    ++cycles_;
    return;
  }
  // The cycle ended without a record: an overflow or a failed decode.
  FailCycle();
  Say(Who(cfg_) + ": reply discarded, communication failure " + std::to_string(failures_));
}

void DeviceLink::LosePort(const std::string& why) {
  if (state_ == State::kAwaiting) FailCycle();
  pending_.clear();
  send_error_ = 0;
  dev_->ClosePort();
  state_ = State::kClosed;
  reopen_at_ = Clock::now() + std::chrono::milliseconds(backoff_ms_);
  if (board_) board_->Lost(index_);
  std::string next = "reopening in ";
  if (sim_) {
    // Never reopen the terminal of a lost simulator: once it is gone its path
    // may be handed to another program.
    sim_.reset();
    next = "starting a new simulator in ";
  }
  Say(Who(cfg_) + ": port " + port_path_ + " lost (" + why + "); " + next + Seconds(backoff_ms_));
}

void DeviceLink::TryReopen(Clock::time_point now) {
  if (now < reopen_at_) return;
  bool started = false;
  try {
    if (!cfg_.sim_scenario.empty() && (!sim_ || !sim_->Alive())) {
      sim_.reset();
      StartSimulator();
      started = true;
      dev_->port_path_ = port_path_;
    }
    dev_->OpenPort();
  } catch (const std::exception& e) {
    backoff_ms_ = NextBackoffMs(backoff_ms_);
    reopen_at_ = now + std::chrono::milliseconds(backoff_ms_);
    if (board_) board_->ReopenFailed(index_);
    Say(Who(cfg_) + ": " + e.what() + "; next try in " + Seconds(backoff_ms_));
    return;
  }
  state_ = State::kIdle;
  backoff_ms_ = kFirstBackoffMs;
  next_poll_ = Clock::now();
  if (board_) board_->Reopened(index_, port_path_);
  Say(Who(cfg_) + ": port " + port_path_ +
      (started ? " opened (new simulator, pid " + std::to_string(sim_->pid()) + ")" : " reopened"));
}

// A poll slot passed while the port is closed: a failed cycle, so a run with
// --cycles ends and the failures tell how long the device went unpolled. Slots
// fall behind as polls do, without a burst.
void DeviceLink::MissSlot(Clock::time_point now) {
  if (!polling_ || now < next_poll_) return;
  const auto interval = std::chrono::milliseconds(cfg_.poll_interval_ms);
  next_poll_ += interval;
  if (next_poll_ <= now) next_poll_ = now + interval;
  ++failures_;
  ++cycles_;
  if (board_) board_->Missed(index_);
}

// Ends the current cycle as a communication failure; it still counts as a cycle.
void DeviceLink::FailCycle() {
  dev_->Reset();
  dev_->comm_status_ = 0;
  ++failures_;
  ++cycles_;
  if (board_) board_->Failure(index_);
}

}  // namespace controller

#include "controller/link/device_link.h"

#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "controller/common/output_pump.h"
#include "controller/framework/serial_port.h"

namespace controller {

namespace {

constexpr std::size_t kReadChunk = 512;  // one read per turn: a busy port shares the loop
// "line keeps sending" and "line takes no output" at most this often.
constexpr auto kLineReportEvery = std::chrono::minutes(1);

// Whether a line said `said` is quiet long enough to be said again at now.
bool Due(Clock::time_point* said, Clock::time_point now) {
  if (*said != Clock::time_point{} && now - *said < kLineReportEvery) return false;
  *said = now;
  return true;
}

}  // namespace

DeviceLink::DeviceLink(DeviceConfig cfg, std::size_t index, std::shared_ptr<QDXSPDevice> dev,
                       std::string sim_program)
    : cfg_(std::move(cfg)),
      index_(index),
      dev_(std::move(dev)),
      sim_program_(std::move(sim_program)),
      port_path_(cfg_.port) {
  InstallSinks();
}

// The sinks point at this link: a device that outlives it must not call them.
DeviceLink::~DeviceLink() {
  if (dev_) dev_->sinks_ = QDXHostSinks{};
}

int DeviceLink::Replay(const unsigned char* data, int len, Clock::time_point now) {
  call_at_ = now;
  replaying_ = true;
  int accepted = 0;
  try {
    accepted = dev_->LoadFromCache(data, len);
    Settle(now);
  } catch (...) {
    replaying_ = false;
    throw;
  }
  replaying_ = false;
  return accepted;
}

void DeviceLink::Begin(Clock::time_point now, Clock::time_point slots) {
  next_poll_ = now;
  slots_ = slots < now ? slots : Clock::time_point::min();
  idle_since_ = now;
  TellMissing(now);
}

Clock::time_point DeviceLink::Wake(Clock::time_point filed) const {
  switch (exchange_) {
    case Exchange::kClosed:
      // A start under way wakes the loop itself; until the first is done the
      // link has nothing to do.
      if (first_start_) return Clock::time_point::max();
      // Each poll slot that passes while closed counts as a failed cycle.
      if (starting_.valid()) return polling_ ? next_poll_ : Clock::time_point::max();
      return polling_ ? std::min(reopen_at_, next_poll_) : reopen_at_;
    case Exchange::kAwaiting:
      // An earlier wake already filed stays: moving it later on every read
      // would let a port that is always readable put off its own deadline.
      return std::min(filed, reply_due_);
    case Exchange::kIdle:
      break;
  }
  return polling_ ? next_poll_ : Clock::time_point::max();
}

void DeviceLink::Turn(Clock::time_point now) {
  if (first_start_) return;  // TakeFirstSimulator's, once the starter is done
  call_at_ = now;
  if (exchange_ == Exchange::kClosed) TryReopen(now);
  if (exchange_ == Exchange::kClosed) {
    MissPoll(now);
    return;
  }
  Expire(now);
  if (!polling_ || exchange_ != Exchange::kIdle || now < next_poll_) return;
  // A poll held up by the device's own slow cycle is not the loop's delay.
  const Clock::time_point planned = std::max(next_poll_, idle_since_);
  Poll(now);
  if (now > planned) worst_poll_delay_ = std::max(worst_poll_delay_, now - planned);
}

void DeviceLink::Ready(short revents, Clock::time_point now) {
  if (exchange_ == Exchange::kClosed) return;
  call_at_ = now;
  if (revents & POLLOUT) Flush();
  if (revents & POLLIN) {
    unsigned char buf[kReadChunk];
    const ssize_t n = ::read(dev_->port_fd_, buf, sizeof(buf));
    // A tty read of 0 bytes (VMIN 0) is no end of file: a lost line shows as
    // a hang-up or an error.
    if (n > 0) {
      Traffic(true, buf, static_cast<std::size_t>(n));
      Deliver(buf, static_cast<unsigned int>(n), now);
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      LosePort(std::strerror(errno), now);
      return;
    }
  }
  if (exchange_ != Exchange::kClosed && (revents & (POLLHUP | POLLERR | POLLNVAL)))
    LosePort(revents & POLLHUP ? "the line hung up" : "the line failed", now);
  Settle(now);
}

// Slots fall behind as polls do, without a burst.
void DeviceLink::NextSlot(Clock::time_point now) {
  const auto interval = std::chrono::milliseconds(cfg_.poll_interval_ms);
  if (slots_ != Clock::time_point::min()) {
    next_poll_ = slots_ + ((now - slots_) / interval + 1) * interval;
    slots_ = Clock::time_point::min();
    return;
  }
  next_poll_ += interval;
  if (next_poll_ <= now) next_poll_ = now + interval;
}

// The framework's poll step discards what came before the poll (a stray LF,
// noise, a late reply's tail): the link only watches how much.
void DeviceLink::Poll(Clock::time_point now) {
  NextSlot(now);
  polled_at_ = now;
  reply_due_ = now + std::chrono::milliseconds(cfg_.reply_timeout_ms);
  exchange_ = Exchange::kAwaiting;  // so that a record published at once answers it
  heard_.discarded = 0;
  in_poll_ = true;
  try {
    dev_->RefreshStatus();
  } catch (const std::exception& e) {
    dev_->Reset();
    Tell(Ending::kNotice, now, std::string("poll failed: ") + e.what(), true);
  }
  in_poll_ = false;
  // A device that awaits nothing began no cycle.
  if (exchange_ == Exchange::kAwaiting && !dev_->IsProcessing()) exchange_ = Exchange::kIdle;
  TellIfBabbling(now);
  Settle(now);
}

// A line that never falls quiet is cut off after a bounded amount by the
// discard, and said so now and then, not at every poll.
void DeviceLink::TellIfBabbling(Clock::time_point now) {
  const std::size_t n = heard_.discarded;
  const auto idle_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - idle_since_).count();
  // The discard stops at its bound only while the line still talks.
  if (!LineKeepsSending(n, n >= kMaxDiscardBytes, dev_->baud_rate_, idle_ms)) return;
  if (!Due(&babble_said_, now)) return;
  Tell(Ending::kNotice, now, "line keeps sending: " + Grouped(n) + " bytes discarded before poll");
}

// The reply deadline, or the device calling itself stalled, ends the cycle.
void DeviceLink::Expire(Clock::time_point now) {
  if (exchange_ != Exchange::kAwaiting) return;
  if (now < reply_due_ && !dev_->IsStalled()) return;
  const bool unsent = !unsent_.empty();
  unsent_.clear();  // a poll too late to answer is not sent later
  // Nor are those the line took but never sent: once it moves they would go
  // out in a burst and each be answered out of turn.
  if (unsent) ::tcflush(dev_->port_fd_, TCOFLUSH);
  FailCycle(now);
  const std::string within = " within " + std::to_string(cfg_.reply_timeout_ms) + " ms";
  const std::string count = ", communication failure " + std::to_string(counters_.failures);
  std::string note;
  if (!unsent) {
    note = "no complete reply" + within + count;
  } else if (Due(&no_output_said_, now)) {
    // A line that stays full fails every poll: said now and then, not each time.
    note = "line takes no output: poll not sent" + within + count;
  }
  Tell(Ending::kFailure, now, note);
}

void DeviceLink::Deliver(unsigned char* buf, unsigned int n, Clock::time_point now) {
  try {
    dev_->process(buf, n);
  } catch (const std::exception& e) {
    dev_->Reset();
    Tell(Ending::kNotice, now, std::string("reply handling failed: ") + e.what(), true);
  }
  Settle(now);
}

// After each call into the device: what the device left undone ends here. A
// record published without its history step, a write that failed, an awaited
// cycle the device gave up without a record.
void DeviceLink::Settle(Clock::time_point now) {
  if (!heard_.published.empty() || heard_.stored) EndRecord(false);
  if (exchange_ != Exchange::kClosed && heard_.send_error != 0) {
    // The poll never reached the line: its cycle fails with the port.
    LosePort(std::string("cannot write to it: ") + std::strerror(heard_.send_error), now);
  } else if (exchange_ == Exchange::kAwaiting && !dev_->IsProcessing()) {
    // An overflow or a failed decode.
    FailCycle(now);
    Tell(Ending::kFailure, now,
         "reply discarded, communication failure " + std::to_string(counters_.failures));
  }
  heard_.send_error = 0;
  TellSignals();
}

// The awaited cycle is over, whatever ended it.
void DeviceLink::EndCycle(Clock::time_point now) {
  ++counters_.cycles;
  exchange_ = Exchange::kIdle;
  idle_since_ = now;
}

// Ends the awaited cycle as a communication failure; it still counts as a cycle.
void DeviceLink::FailCycle(Clock::time_point now) {
  dev_->Reset();
  dev_->comm_status_ = 0;
  ++counters_.failures;
  EndCycle(now);
}

}  // namespace controller

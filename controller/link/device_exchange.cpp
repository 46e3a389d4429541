// One device's exchanges on its port: the poll, the input before it, the
// reply, a timeout, and a port lost and reopened.
#include <poll.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "controller/common/output.h"
#include "controller/common/output_pump.h"
#include "controller/qdx_controller.h"
#include "controller/link/serial_port.h"

namespace {

using controller::Clock;
using controller::Complain;
using controller::DeviceSlot;
using controller::Say;
using controller::Seconds;
using controller::Who;

constexpr std::size_t kReadChunk = 512;  // one read per wake-up: a busy port shares the loop
constexpr auto kBabbleReportEvery = std::chrono::minutes(1);  // "line keeps sending" at most

}  // namespace

void QDXController::PollDue(DeviceSlot& slot, Clock::time_point now) {
  if (slot.dev->IsProcessing() || now < slot.next_poll) return;
  const auto interval = std::chrono::milliseconds(slot.cfg.poll_interval_ms);
  slot.next_poll += interval;
  if (slot.next_poll <= now) slot.next_poll = now + interval;  // fell behind: no burst
  slot.sent_at = now;
  DiscardBeforePoll(slot, now);
  try {
    slot.dev->RefreshStatus();
  } catch (const std::exception& e) {
    Complain(Who(slot) + ": poll failed: " + e.what());
    slot.dev->Reset();
  }
}

// Input before a poll answers no poll (a stray LF, noise, a late reply's
// tail). A line that never falls quiet is cut off after a bounded amount, and
// said so now and then, not at every poll.
void QDXController::DiscardBeforePoll(DeviceSlot& slot, Clock::time_point now) {
  auto& traffic = slot.dev->sinks_.traffic;
  bool sending = false;
  const std::size_t n = controller::DiscardInput(
      slot.dev->port_fd_,
      [&traffic](const unsigned char* data, std::size_t len) {
        if (traffic) traffic(true, data, static_cast<unsigned int>(len));
      },
      controller::kMaxDiscardBytes, &sending);
  const auto idle_ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now - slot.idle_since).count();
  if (!controller::LineKeepsSending(n, sending, slot.dev->baud_rate_, idle_ms)) return;
  if (slot.babble_said != Clock::time_point{} && now - slot.babble_said < kBabbleReportEvery)
    return;
  slot.babble_said = now;
  Say(Who(slot) + ": line keeps sending: " + controller::Grouped(n) +
      " bytes discarded before poll");
}

void QDXController::CheckStalled(DeviceSlot& slot) {
  if (!slot.dev->IsProcessing() || !slot.dev->IsStalled()) return;
  FailCycle(slot);
  Say(Who(slot) + ": no complete reply within " + std::to_string(slot.cfg.reply_timeout_ms) +
      " ms, communication failure " + std::to_string(slot.failures));
}

void QDXController::ReadPort(DeviceSlot& slot, short revents) {
  if (revents & POLLIN) {
    unsigned char buf[kReadChunk];
    const ssize_t n = ::read(slot.dev->port_fd_, buf, sizeof(buf));
    // A tty read of 0 bytes (VMIN 0) is no end of file: a lost line shows as
    // a hang-up or an error.
    if (n > 0) {
      // Through the device's traffic sink, the one route of everything captured.
      auto& traffic = slot.dev->sinks_.traffic;
      if (traffic) traffic(true, buf, static_cast<unsigned int>(n));
      Deliver(slot, buf, static_cast<unsigned int>(n));
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      LosePort(slot, std::strerror(errno));
      return;
    }
  }
  if (slot.open && (revents & (POLLHUP | POLLERR | POLLNVAL)))
    LosePort(slot, revents & POLLHUP ? "the line hung up" : "the line failed");
}

void QDXController::Deliver(DeviceSlot& slot, unsigned char* buf, unsigned int n) {
  const bool waiting = slot.dev->IsProcessing();
  slot.round_done = false;
  try {
    slot.dev->process(buf, n);
  } catch (const std::exception& e) {
    Complain(Who(slot) + ": reply handling failed: " + e.what());
    slot.dev->Reset();
  }
  if (!waiting && slot.round_done) {
    // The reply of an exchange already failed by its timeout: it stays that
    // failure, and its record is published, counted as late.
    ++slot.late;
    if (board_) board_->Late(slot.index);
    return;
  }
  if (!waiting || slot.dev->IsProcessing()) return;
  if (slot.round_done) {
    ++slot.cycles;
    return;
  }
  // The exchange ended without a record: an overflow or a failed decode.
  FailCycle(slot);
  Say(Who(slot) + ": reply discarded, communication failure " + std::to_string(slot.failures));
}

void QDXController::LosePort(DeviceSlot& slot, const std::string& why) {
  if (slot.dev->IsProcessing()) FailCycle(slot);
  slot.dev->ClosePort();
  slot.open = false;
  slot.reopen_at = Clock::now() + std::chrono::milliseconds(slot.backoff_ms);
  if (board_) board_->Lost(slot.index);
  std::string next = "reopening in ";
  if (slot.sim) {
    // Never reopen the terminal of a lost simulator: once it is gone its path
    // may be handed to another program.
    slot.sim.reset();
    next = "starting a new simulator in ";
  }
  Say(Who(slot) + ": port " + slot.port_path + " lost (" + why + "); " + next +
      Seconds(slot.backoff_ms));
}

void QDXController::TryReopen(DeviceSlot& slot, Clock::time_point now) {
  if (now < slot.reopen_at) return;
  bool started = false;
  try {
    if (!slot.cfg.sim_scenario.empty() && (!slot.sim || !slot.sim->Alive())) {
      slot.sim.reset();
      slot.sim = std::make_unique<controller::SimProcess>(sim_program_, slot.cfg.sim_scenario,
                                                          slot.cfg.sim_seed);
      started = true;
      slot.port_path = slot.sim->pty_path();
      slot.dev->port_path_ = slot.port_path;
    }
    slot.dev->OpenPort();
  } catch (const std::exception& e) {
    slot.backoff_ms = controller::NextBackoffMs(slot.backoff_ms);
    slot.reopen_at = now + std::chrono::milliseconds(slot.backoff_ms);
    if (board_) board_->ReopenFailed(slot.index);
    Say(Who(slot) + ": " + e.what() + "; next try in " + Seconds(slot.backoff_ms));
    return;
  }
  slot.open = true;
  slot.backoff_ms = controller::kFirstBackoffMs;
  slot.next_poll = Clock::now();
  if (board_) board_->Reopened(slot.index, slot.port_path);
  Say(Who(slot) + ": port " + slot.port_path +
      (started ? " opened (new simulator, pid " + std::to_string(slot.sim->pid()) + ")"
               : " reopened"));
}

// Ends the current exchange as a communication failure; it still counts as a cycle.
void QDXController::FailCycle(DeviceSlot& slot) {
  slot.dev->Reset();
  slot.dev->comm_status_ = 0;
  ++slot.failures;
  ++slot.cycles;
  if (board_) board_->Failure(slot.index);
}

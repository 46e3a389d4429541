#include "controller/qdx_controller.h"

#include <poll.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <thread>

#include "controller/framework/device_settings.h"
#include "controller/common/iso_time.h"
#include "controller/common/output.h"
#include "controller/common/output_pump.h"
#include "controller/status/record_view.h"
#include "controller/stop_signals.h"
#include "controller/status/ups_fields.h"

std::string controller::Who(const DeviceSlot& slot) {
  return slot.cfg.name + " (data id " + std::to_string(slot.cfg.data_id) + ")";
}

std::string controller::Seconds(long long ms) {
  return std::to_string(ms / 1000) + "." + std::to_string((ms % 1000) / 100) + " s";
}

namespace {

using controller::Clock;
using controller::Complain;
using controller::DeviceSlot;
using controller::Say;
using controller::Seconds;
using controller::Who;

constexpr int kIdleWaitMs = 1000;  // longest sleep when nothing is scheduled
constexpr int kStallSlackMs = 1;   // wake just after a reply deadline, not before
// A reply deadline long past while the device does not yet call itself stalled
// (its clock is the wall clock): look again at this pace, not in a busy loop.
constexpr int kStallRecheckMs = 20;
constexpr int kMaxEvents = 64;
constexpr std::uint64_t kStopTag = ~std::uint64_t{0};
constexpr std::uint64_t kHistoryTag = kStopTag - 1;
// How long a stop waits for a busy database to take the queued records.
constexpr auto kHistoryDrainLimit = std::chrono::seconds(30);
constexpr int kStopWatchMs = 50;  // how soon a second stop signal cuts that wait short
constexpr char kUpsDeviceType[] = "zota_up2200";  // the device whose checks ups_fields.h lists

bool EarlierLast(const std::pair<Clock::time_point, DeviceSlot*>& a,
                 const std::pair<Clock::time_point, DeviceSlot*>& b) {
  return a.first > b.first;
}

int MsUntil(Clock::time_point t, Clock::time_point now) {
  if (t <= now) return 0;
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(t - now).count();
  return static_cast<int>(std::min<long long>(ms + kStallSlackMs, kIdleWaitMs));
}

}  // namespace

namespace {

constexpr std::int64_t kClockSlackS = 2;  // a row written a moment ago, in whole seconds

std::string Ago(std::int64_t s) {
  if (s < 600) return std::to_string(s) + " s";
  if (s < 2 * 3600) return std::to_string(s / 60) + " min";
  if (s < 2 * 86400) return std::to_string(s / 3600) + " h";
  return std::to_string(s / 86400) + " days";
}

}  // namespace

std::string controller::CacheRefusal(const StoredRecord& rec, std::uint32_t data_id, int max_age_s,
                                     std::int64_t now_s) {
  const Bytes& b = rec.bytes;
  if (b.size() < 4)
    return "it holds " + std::to_string(b.size()) + " bytes, too few to carry a data id";
  const std::uint32_t carried =
      static_cast<std::uint32_t>(b[0]) | static_cast<std::uint32_t>(b[1]) << 8 |
      static_cast<std::uint32_t>(b[2]) << 16 | static_cast<std::uint32_t>(b[3]) << 24;
  if (carried != data_id)
    return "it carries data id " + std::to_string(carried) + ", not " + std::to_string(data_id);
  const auto stored = rec.time_ms > 0 ? boost::optional<std::int64_t>(rec.time_ms / 1000)
                                      : ParseUtcTimestamp(rec.time);
  if (!stored) return "its stored time \"" + rec.time + "\" is not readable";
  const std::int64_t age = now_s - *stored;
  if (age < -kClockSlackS) return "stored at " + rec.time + ", later than now";
  if (age > max_age_s)
    return "stored " + Ago(age) + " ago, older than " + std::to_string(max_age_s) + " s";
  return std::string();
}

int controller::NextBackoffMs(int prev_ms) {
  if (prev_ms < kFirstBackoffMs) return kFirstBackoffMs;
  return prev_ms >= kMaxBackoffMs / 2 ? kMaxBackoffMs : prev_ms * 2;
}

QDXController::QDXController(controller::SiteConfig site, std::string db_path,
                             std::string sim_program)
    : site_(std::move(site)), db_path_(std::move(db_path)), sim_program_(std::move(sim_program)) {}

QDXController::~QDXController() { Shutdown(); }

void QDXController::Start() {
  for (const std::string& path : site_.plugins) plugins_.push_back(controller::Plugin::Load(path));
  for (const controller::DeviceConfig& cfg : site_.devices) {
    slots_.push_back(std::make_unique<DeviceSlot>());
    slots_.back()->cfg = cfg;
    slots_.back()->index = slots_.size() - 1;
    CreateDevice(*slots_.back());
  }
  for (auto& slot : slots_) Connect(*slot);
  if (board_) {
    for (auto& slot : slots_) board_->AddDevice(slot->cfg, slot->port_path, *slot->dev);
  }
  // The history last, so a start that fails on anything else leaves no file behind.
  history_ = std::make_unique<controller::HistoryWriter>(
      std::make_unique<controller::HistoryDb>(db_path_, site_.history));
  history_->OnNotice([](const std::string& line) { controller::Say(line); });
  if (board_) {
    std::weak_ptr<controller::StatusBoard> board = board_;
    history_->OnState([board](controller::HistoryState s) {
      if (auto b = board.lock()) b->SetHistory(controller::HistoryStateName(s));
    });
  }
  try {
    for (auto& slot : slots_) ReplayCache(*slot);
    if (fatal_) throw controller::HistoryError(history_->error());
  } catch (...) {
    history_->db().CloseAndRemoveIfCreated();
    history_.reset();
    throw;
  }
  history_->Start();
}

void QDXController::CreateDevice(DeviceSlot& slot) {
  std::string tried;
  for (const controller::Plugin& plugin : plugins_) {
    slot.dev = plugin.CreateDevice(slot.cfg.type);
    if (slot.dev) return;
    tried += (tried.empty() ? "" : ", ") + plugin.path();
  }
  throw std::runtime_error("device \"" + slot.cfg.name + "\": unknown device type \"" +
                           slot.cfg.type + "\"; no loaded plug-in provides it (" + tried + ")");
}

void QDXController::Connect(DeviceSlot& slot) {
  const controller::DeviceConfig& cfg = slot.cfg;
  const std::string what = "device \"" + cfg.name + "\": ";
  slot.port_path = cfg.port;
  if (!cfg.sim_scenario.empty()) {
    try {
      slot.sim =
          std::make_unique<controller::SimProcess>(sim_program_, cfg.sim_scenario, cfg.sim_seed);
    } catch (const std::exception& e) {
      throw std::runtime_error(what + e.what());
    }
    slot.port_path = slot.sim->pty_path();
  }
  Json::Value config(Json::objectValue);
  config["port"] = slot.port_path;
  config["timeout_ms"] = cfg.reply_timeout_ms;
  InstallSinks(slot);
  try {
    if (!slot.dev->Init(weak_from_this(), cfg.data_id, config))
      throw std::runtime_error("the device refused its configuration");
  } catch (const std::exception& e) {
    throw std::runtime_error(what + e.what());
  }
  // Plug-in code: whatever it throws ends the start naming the device.
  bool taken = false;
  try {
    taken = slot.dev->InitSetting(cfg.settings);
  } catch (const std::exception& e) {
    throw std::runtime_error(what + "loading its settings failed: " + e.what());
  } catch (...) {
    throw std::runtime_error(what + "loading its settings failed with an unknown error");
  }
  if (!taken) throw std::runtime_error(what + "the device refused its settings");
  WarnUnusedIds(slot);
  try {
    slot.dev->OpenPort();
  } catch (const std::exception& e) {
    throw std::runtime_error(what + e.what());
  }
  slot.open = true;
  std::string via = slot.port_path;
  if (slot.sim) {
    via += " (simulator \"" + cfg.sim_scenario + "\", seed " + std::to_string(cfg.sim_seed) +
           ", pid " + std::to_string(slot.sim->pid()) + ")";
  }
  Say(Who(slot) + ": " + cfg.type + " on " + via + ", " + std::to_string(slot.dev->baud_rate_) +
      " bit/s, poll every " + std::to_string(cfg.poll_interval_ms) + " ms, reply timeout " +
      std::to_string(cfg.reply_timeout_ms) + " ms");
}

// A threshold or report keyed by an id the device never checks can never
// fire; most likely the id is mistyped.
void QDXController::WarnUnusedIds(const DeviceSlot& slot) {
  if (slot.cfg.type != kUpsDeviceType) return;  // only its checks are known here
  const auto checks = [](const std::string& id) {
    const controller::UpsSignal* s = controller::FindUpsSignal(id);
    return s != nullptr && id == s->signal_id;
  };
  const auto reports = [](const std::string& id) {
    const controller::UpsSignal* s = controller::FindUpsSignal(id);
    return s != nullptr && id == s->report_id;
  };
  for (const std::string& entry : controller::UnusedSettingIds(slot.cfg.settings, checks, reports))
    Say(Who(slot) + ": warning: settings." + entry +
        ": no check of this device uses this id, so it can never fire");
}

void QDXController::StartCapture(const std::string& path) {
  capture_ = std::make_shared<controller::CaptureWriter>(path, db_path_);
}

void QDXController::CaptureTraffic(DeviceSlot& slot) {
  if (!capture_ || !slot.dev) return;
  std::weak_ptr<controller::CaptureWriter> to = capture_;
  const std::string name = slot.cfg.name;
  slot.dev->sinks_.traffic = [to, name](bool received, const unsigned char* data,
                                        unsigned int len) {
    if (auto capture = to.lock()) capture->Write(name, received, data, len);
  };
}

void QDXController::InstallSinks(DeviceSlot& slot) {
  DeviceSlot* s = &slot;
  controller::StatusBoard* board = board_.get();
  QDXHostSinks& sinks = slot.dev->sinks_;
  sinks.publish = [s, board](int type, const unsigned char* data, unsigned int len) {
    s->last_type = type;
    ++s->records;
    Say(controller::RecordLine(s->cfg.name, s->cfg.data_id, type, data, len, s->cached));
    if (board) board->Record(s->index, type, data, len, s->cached);
  };
  sinks.history = [this, s](const unsigned char* data, unsigned int len) {
    // The record being replayed from the history is stored there already.
    if (!history_ || fatal_ || s->cached) return;
    controller::HistoryRow row;
    row.data_id = s->cfg.data_id;
    row.record_type = s->last_type;
    row.device_type = s->cfg.type;
    row.time = std::chrono::system_clock::now();
    row.data.assign(data, data + len);
    // Not swallowed: the run ends with a failure status once this cycle is over.
    if (!history_->Push(std::move(row))) HistoryFailed(history_->error());
  };
  sinks.round_done = [s] { s->round_done = true; };
  sinks.ao_report = [s, board](const std::string& id, float value) {
    Say(controller::ReportLine(s->cfg.name, s->cfg.data_id, id, value));
    if (board) board->Report(s->index, id, value);
  };
  sinks.alarm = [s, board](const rule_value& item, bool raised) {
    Say(controller::AlarmLine(s->cfg.name, s->cfg.data_id, item, raised));
    if (board) board->Alarm(s->index, item, raised);
  };
  CaptureTraffic(slot);
}

void QDXController::ReplayCache(DeviceSlot& slot) {
  const auto latest = history_->db().Latest(slot.cfg.data_id, slot.cfg.type);
  if (!latest) return;
  // A record of another device, or one old enough to raise a stale alarm, would
  // be published and stored again as if it were new.
  const std::int64_t now = controller::NowUtcMs() / 1000;
  const std::string refusal =
      controller::CacheRefusal(*latest, slot.cfg.data_id, slot.cfg.cache_max_age_s, now);
  if (!refusal.empty()) {
    Say(Who(slot) + ": stored record not replayed: " + refusal);
    return;
  }
  const controller::Bytes& bytes = latest->bytes;
  slot.cached = true;
  const int accepted = slot.dev->LoadFromCache(bytes.data(), static_cast<int>(bytes.size()));
  slot.cached = false;
  if (!accepted) {
    Say(Who(slot) + ": stored record of " + std::to_string(bytes.size()) +
        " bytes not accepted by the device");
  }
}

int QDXController::Run(const controller::RunLimits& limits, int stop_fd) {
  const Clock::time_point start = Clock::now();
  const Clock::time_point end = limits.duration_s > 0
                                    ? start + std::chrono::duration_cast<Clock::duration>(
                                                  std::chrono::duration<double>(limits.duration_s))
                                    : Clock::time_point::max();
  limits_ = limits;
  epoll_fd_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (epoll_fd_ < 0) {
    Complain(std::string("cannot watch the ports: ") + std::strerror(errno));
    fatal_ = true;
  }
  const auto watch_tag = [this](int fd, std::uint64_t tag) {
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u64 = tag;
    if (fd >= 0 && epoll_fd_ >= 0 && ::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
      Complain(std::string("cannot watch a descriptor: ") + std::strerror(errno));
      fatal_ = true;
    }
  };
  watch_tag(stop_fd, kStopTag);
  if (history_) watch_tag(history_->alert_fd(), kHistoryTag);
  for (auto& slot : slots_) {
    slot->next_poll = start;
    Watch(*slot);
    Schedule(*slot, start);
  }

  // Each pass touches only the devices that are due or whose port is ready.
  epoll_event events[kMaxEvents];
  while (!fatal_ && !Done()) {
    Clock::time_point now = Clock::now();
    if (now >= end) break;
    while (!due_.empty() && due_.front().first <= now && !fatal_) {
      std::pop_heap(due_.begin(), due_.end(), EarlierLast);
      const DueEntry entry = due_.back();
      due_.pop_back();
      if (entry.second->due != entry.first) continue;  // rescheduled since
      entry.second->due = Clock::time_point::max();    // taken: the next one is filed anew
      Service(*entry.second, Clock::now());
    }
    if (fatal_ || Done()) break;

    const Clock::time_point wake = due_.empty() ? end : std::min(end, due_.front().first);
    const int n = ::epoll_wait(epoll_fd_, events, kMaxEvents, MsUntil(wake, Clock::now()));
    if (n < 0 && errno != EINTR) {
      Complain(std::string("waiting for the ports failed: ") + std::strerror(errno));
      fatal_ = true;
      break;
    }
    bool stop = false;
    for (int i = 0; i < n; ++i) {
      // Read at once: the first signal is the one named, whatever follows.
      if (events[i].data.u64 == kStopTag && !stop) {
        stop = true;
        if (const char* sig = controller::ReadStopSignal(stop_fd))
          controller::SayLast(std::string("qdx-host: ") + sig + " received, shutting down");
      }
      if (events[i].data.u64 == kHistoryTag) HistoryFailed(history_->error());
    }
    if (stop || fatal_) break;
    for (int i = 0; i < n; ++i) {
      DeviceSlot& slot = *slots_[static_cast<std::size_t>(events[i].data.u64)];
      if (!slot.open) continue;
      const bool busy = slot.dev->IsProcessing();
      // epoll's readiness bits are poll(2)'s.
      ReadPort(slot, static_cast<short>(events[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR)));
      if (busy && !slot.dev->IsProcessing()) slot.idle_since = Clock::now();
      Watch(slot);
      Schedule(slot, Clock::now());
    }
  }
  if (epoll_fd_ >= 0) ::close(epoll_fd_);
  epoll_fd_ = -1;
  due_.clear();
  for (auto& slot : slots_) {
    slot->watched_fd = -1;
    slot->due = Clock::time_point::max();
  }
  FinishHistory(stop_fd);
  PrintSummary();
  // A capture that stopped is a run that did not do what it was asked.
  return fatal_ || (capture_ && capture_->failed()) ? 1 : 0;
}

// Everything the loop does for a device whose time has come.
void QDXController::Service(DeviceSlot& slot, Clock::time_point now) {
  if (!slot.open) {
    TryReopen(slot, now);
    Watch(slot);
  }
  if (slot.open) {
    const bool busy = slot.dev->IsProcessing();
    CheckStalled(slot);
    if (busy && !slot.dev->IsProcessing()) slot.idle_since = now;
    if (!slot.limit_reached) {
      // A poll held up by the device's own slow exchange is not the loop's delay.
      const Clock::time_point planned = std::max(slot.next_poll, slot.idle_since);
      const Clock::time_point sent = slot.sent_at;
      PollDue(slot, now);
      if (slot.sent_at != sent && now > planned)
        worst_poll_delay_ = std::max(worst_poll_delay_, now - planned);
    }
    Watch(slot);
  }
  Schedule(slot, now);
}

// Files the slot under the time it next needs the loop, and counts it once it
// has reached the cycle limit.
void QDXController::Schedule(DeviceSlot& slot, Clock::time_point now) {
  if (limits_.cycles > 0 && !slot.limit_reached && slot.cycles >= limits_.cycles) {
    slot.limit_reached = true;
    ++limit_count_;
  }
  Clock::time_point due = Clock::time_point::max();
  const bool waiting = slot.open && slot.dev->IsProcessing();
  if (!slot.open) {
    due = slot.reopen_at;
  } else if (waiting) {
    due = slot.sent_at + std::chrono::milliseconds(slot.cfg.reply_timeout_ms + kStallSlackMs);
    if (due <= now) {
      const bool long_past = now - due > std::chrono::milliseconds(kStallRecheckMs);
      due = now + std::chrono::milliseconds(long_past ? kStallRecheckMs : kStallSlackMs);
    }
  } else if (!slot.limit_reached) {
    due = slot.next_poll;
  }
  // While a reply is awaited, an earlier wake already filed stays: moving it
  // later on every read would let a port that is always readable put off its
  // own reply deadline for ever.
  if (waiting && slot.due <= due) return;
  if (due == slot.due) return;  // already filed under this time
  slot.due = due;
  if (due == Clock::time_point::max()) return;
  due_.emplace_back(due, &slot);
  std::push_heap(due_.begin(), due_.end(), EarlierLast);
}

// Keeps the readiness set in step with the slot's port after anything that
// may have closed or reopened it.
void QDXController::Watch(DeviceSlot& slot) {
  const int fd = slot.open ? slot.dev->port_fd_ : -1;
  if (fd == slot.watched_fd || epoll_fd_ < 0) return;
  // A closed descriptor has left the set by itself; the call then just fails.
  if (slot.watched_fd >= 0) ::epoll_ctl(epoll_fd_, EPOLL_CTL_DEL, slot.watched_fd, nullptr);
  slot.watched_fd = -1;
  if (fd < 0) return;
  epoll_event ev{};
  ev.events = EPOLLIN;
  ev.data.u64 = slot.index;
  if (::epoll_ctl(epoll_fd_, EPOLL_CTL_ADD, fd, &ev) != 0) {
    LosePort(slot, std::string("cannot watch it: ") + std::strerror(errno));
    return;
  }
  slot.watched_fd = fd;
}

void QDXController::HistoryFailed(const std::string& why) {
  fatal_ = true;
  if (history_reported_) return;
  history_reported_ = true;
  Complain(why + "; stopping");
}

// Stores what is still queued before the summary is shown. A stop signal
// during the wait (a second Ctrl-C) cuts it short; what is left is counted as
// not stored.
void QDXController::FinishHistory(int stop_fd) {
  if (!history_) return;
  const controller::HistoryStats before = history_->stats();
  if (before.waiting > 0 && before.retries > 0)
    controller::SayLast("history: storing " + std::to_string(before.waiting) +
                        " queued records (Ctrl-C again to stop waiting)");
  std::atomic<bool> finished{false};
  controller::HistoryWriter* writer = history_.get();
  std::thread watch([&finished, writer, stop_fd] {
    while (!finished.load() && stop_fd >= 0) {
      pollfd p{stop_fd, POLLIN, 0};
      if (::poll(&p, 1, kStopWatchMs) > 0 && controller::ReadStopSignal(stop_fd)) {
        writer->CutShort();
        return;
      }
    }
  });
  const bool stored = history_->Finish(Clock::now() + kHistoryDrainLimit);
  finished = true;
  watch.join();
  if (!stored) HistoryFailed(history_->error());
}

bool QDXController::Done() const { return limits_.cycles > 0 && limit_count_ == slots_.size(); }

void QDXController::PrintSummary() const {
  for (const auto& slot : slots_) {
    controller::SayLast(Who(*slot) + ": " + std::to_string(slot->cycles) + " cycles, " +
                        std::to_string(slot->records) + " records published, " +
                        std::to_string(slot->failures) + " communication failures" +
                        (slot->late ? ", " + std::to_string(slot->late) + " late replies" : ""));
  }
  const auto worst =
      std::chrono::duration_cast<std::chrono::milliseconds>(worst_poll_delay_).count();
  if (const std::uint64_t dropped = controller::OutputLinesDropped())
    controller::SayLast("output: " + controller::Grouped(dropped) +
                        " lines dropped (reader too slow)");
  controller::SayLast("polls: the latest went out " + std::to_string(worst) + " ms after its time");
  if (!history_) return;
  const controller::HistoryStats h = history_->stats();
  controller::SayLast("history: " + std::to_string(h.stored) + " records stored in " +
                      std::to_string(h.commits) + " commits, " + std::to_string(h.late) +
                      " written late (longest wait " + Seconds(h.longest_wait.count()) +
                      ", database busy " + std::to_string(h.retries) + " times)" +
                      (h.waiting ? ", " + std::to_string(h.waiting) + " not stored" : ""));
}

long long QDXController::records_published() const {
  long long n = 0;
  for (const auto& slot : slots_) n += slot->records;
  return n;
}

controller::HistoryStats QDXController::history_stats() const {
  return history_ ? history_->stats() : controller::HistoryStats{};
}

void QDXController::Shutdown() {
  for (auto& slot : slots_) {
    if (slot->dev) slot->dev->ClosePort();
  }
  for (auto& slot : slots_) slot->dev.reset();  // plug-in code: before the plug-in goes
  plugins_.clear();                             // providers, then the libraries
  for (auto& slot : slots_) slot->sim.reset();
  slots_.clear();
  history_.reset();
}

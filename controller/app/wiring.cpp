// Start-up wiring: plug-ins, devices and their sinks, ports, the history and
// the replay of each device's newest stored record, in an order that leaves
// the history untouched when anything else fails.
#include "controller/app/link_observers.h"
#include "controller/app/qdx_controller.h"
#include "controller/app/zota_rollup_fields.h"
#include "controller/common/device_name.h"
#include "controller/common/iso_time.h"
#include "controller/common/output.h"
#include "controller/framework/device_settings.h"
#include "controller/status/record_view.h"
#include "controller/status/ups_fields.h"

namespace {

using controller::DeviceLink;
using controller::Say;
using controller::Who;

constexpr std::int64_t kClockSlackS = 2;          // a row written a moment ago, in whole seconds
constexpr char kUpsDeviceType[] = "zota_up2200";  // the device whose checks ups_fields.h lists

std::string Ago(std::int64_t s) {
  if (s < 600) return std::to_string(s) + " s";
  if (s < 2 * 3600) return std::to_string(s / 60) + " min";
  if (s < 2 * 86400) return std::to_string(s / 3600) + " h";
  return std::to_string(s / 86400) + " days";
}

}  // namespace

std::string controller::CacheRefusal(const HistoryRow& rec, std::uint32_t data_id, int max_age_s,
                                     std::int64_t now_s) {
  const Bytes& b = rec.data;
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

void QDXController::Start() {
  // Once, so the stamped lines that follow need no zone of their own.
  Say("qdx-host: times are local (" + controller::LocalZone(controller::NowUtcMs()) + ")");
  for (const std::string& path : site_.plugins) plugins_.push_back(controller::Plugin::Load(path));
  for (const controller::DeviceConfig& cfg : site_.devices) {
    links_.push_back(
        std::make_unique<DeviceLink>(cfg, links_.size(), CreateDevice(cfg), sim_program_));
  }
  // Simulators start on the starter thread while the rest is set up; each
  // one done wakes the loop, which opens its port then.
  sim_wake_ = controller::Wakeup::Make();
  for (auto& link : links_) link->StartSimulator([wake = sim_wake_] { wake->Signal(); });
  MakeObservers();
  for (auto& link : links_) Connect(*link);
  if (board_) {
    for (auto& link : links_)
      board_->AddDevice(link->cfg(), link->cfg().poll_interval_ms, link->port_path(), link->dev());
  }
  // The history last, so a start that fails on anything else leaves no file behind.
  const controller::HistoryOptions history_options{site_.history, controller::ZotaRollupFields()};
  std::unique_ptr<controller::HistoryDb> db;
  try {
    db = std::make_unique<controller::HistoryDb>(db_path_, history_options);
  } catch (const controller::HistoryDamaged& e) {
    // Kept beside itself for whoever can mend it; monitoring starts anew.
    std::string why;
    const std::string aside = controller::SetAside(db_path_, "damaged", &why);
    if (aside.empty()) throw;
    controller::Say(std::string(e.what()) + "; the file is damaged; set aside as " + aside +
                    "; storing in a new history at " + db_path_);
    db = std::make_unique<controller::HistoryDb>(db_path_, history_options);
  }
  controller::HistoryWriterOptions options;
  options.drop_oldest = true;  // storing that cannot keep up never stops monitoring
  history_ = std::make_unique<controller::HistoryWriter>(std::move(db), options);
  history_->OnNotice([](const std::string& line) { controller::Say(line); });
  std::weak_ptr<controller::StatusBoard> board = board_;
  std::shared_ptr<controller::HistoryGauge> gauge = history_gauge_;
  history_->OnState([board, gauge](controller::HistoryState s) {
    gauge->good = s == controller::HistoryState::kOk || s == controller::HistoryState::kRecreated;
    if (auto b = board.lock()) b->SetHistory(controller::HistoryStateName(s));
  });
  history_->OnPath([board](const std::string& path) {
    if (auto b = board.lock()) b->SetHistoryPath(path);
  });
  history_->OnDrop([board, gauge] {
    ++gauge->dropped;
    if (auto b = board.lock()) b->HistoryDropped();
  });
  try {
    for (auto& link : links_) ReplayCache(*link);
    if (fatal_) throw controller::HistoryError(history_->error());
  } catch (...) {
    history_->db().CloseAndRemoveIfCreated();
    history_.reset();
    throw;
  }
  history_->Start();
  notifier_->Start();
}

std::shared_ptr<QDXSPDevice> QDXController::CreateDevice(const controller::DeviceConfig& cfg) {
  std::string tried;
  for (const controller::Plugin& plugin : plugins_) {
    if (auto dev = plugin.CreateDevice(cfg.type)) return dev;
    tried += (tried.empty() ? "" : ", ") + plugin.path();
  }
  throw std::runtime_error("device \"" + cfg.name + "\": unknown device type \"" + cfg.type +
                           "\"; no loaded plug-in provides it (" + tried + ")");
}

void QDXController::Connect(DeviceLink& link) {
  const controller::DeviceConfig& cfg = link.cfg();
  QDXSPDevice& dev = link.dev();
  const std::string what = "device \"" + cfg.name + "\": ";
  Json::Value config(Json::objectValue);
  config["port"] = link.port_path();
  config["timeout_ms"] = cfg.reply_timeout_ms;
  for (const auto& observer : observers_) link.Observe(observer.get());
  try {
    if (!dev.Init(weak_from_this(), cfg.data_id, config))
      throw std::runtime_error("the device refused its configuration");
  } catch (const std::exception& e) {
    throw std::runtime_error(what + e.what());
  }
  // Plug-in code: whatever it throws ends the start naming the device.
  bool taken = false;
  try {
    taken = dev.InitSetting(cfg.settings);
  } catch (const std::exception& e) {
    throw std::runtime_error(what + "loading its settings failed: " + e.what());
  } catch (...) {
    throw std::runtime_error(what + "loading its settings failed with an unknown error");
  }
  if (!taken) throw std::runtime_error(what + "the device refused its settings");
  WarnUnusedIds(link);
  if (link.first_start()) return;  // its port once its simulator is up
  try {
    link.OpenAtStart();
  } catch (const std::exception& e) {
    throw std::runtime_error(what + e.what());
  }
  SayOn(link);
}

// Where a device is reached, said once its port is open or found missing.
void QDXController::SayOn(DeviceLink& link) {
  const controller::DeviceConfig& cfg = link.cfg();
  std::string via = link.port_path();
  if (link.sim()) {
    via += " (simulator \"" + cfg.sim_scenario + "\", seed " + std::to_string(cfg.sim_seed) +
           ", pid " + std::to_string(link.sim()->pid()) + ")";
  }
  Say(Who(cfg) + ": " + cfg.type + " on " + via + ", " + std::to_string(link.dev().baud_rate_) +
      " bit/s, poll every " + std::to_string(cfg.poll_interval_ms) + " ms, reply timeout " +
      std::to_string(cfg.reply_timeout_ms) + " ms");
}

// The starter finished a start. A first one opens its port and is said as at
// start, or ends the run as a failed start did; a replacement takes its turn.
void QDXController::SimulatorsDone(controller::Clock::time_point now) {
  for (std::size_t i = 0; i < links_.size() && !fatal_; ++i) {
    DeviceLink& link = *links_[i];
    if (!link.sim_starting()) continue;
    if (!link.first_start()) {
      link.Turn(now);
      Arrange(i, now);
      continue;
    }
    try {
      if (!link.TakeFirstSimulator()) continue;
      SayOn(link);
      if (board_) board_->Link(i, link.link_state(), link.counters(), link.port_path());
    } catch (const std::exception& e) {
      controller::Complain("device \"" + link.cfg().name + "\": " + e.what());
      fatal_ = start_failed_ = true;
      return;
    }
    link.Begin(now, began_);
    Arrange(i, now);
  }
}

// A run whose start failed leaves no history it created and stored nothing
// in behind, as a start that failed before the history was opened.
void QDXController::DropUnusedHistory() {
  if (!history_ || history_->stats().stored > 0) return;
  history_->db().CloseAndRemoveIfCreated();
  history_.reset();
}

// A threshold or report keyed by an id the device never checks can never
// fire; most likely the id is mistyped.
void QDXController::WarnUnusedIds(const DeviceLink& link) {
  if (link.cfg().type != kUpsDeviceType) return;  // only its checks are known here
  const auto checks = [](const std::string& id) {
    const controller::UpsSignal* s = controller::FindUpsSignal(id);
    return s != nullptr && id == s->signal_id;
  };
  const auto reports = [](const std::string& id) {
    const controller::UpsSignal* s = controller::FindUpsSignal(id);
    return s != nullptr && id == s->report_id;
  };
  for (const std::string& entry :
       controller::UnusedSettingIds(link.cfg().settings, checks, reports))
    Say(Who(link.cfg()) + ": warning: settings." + entry +
        ": no check of this device uses this id, so it can never fire");
}

void QDXController::StartCapture(const std::string& path) {
  capture_ = std::make_shared<controller::CaptureWriter>(path, db_path_);
}

// Every device link tells its outcomes to the same observers: the capture,
// the terminal, the status board, the notifier and the history.
void QDXController::MakeObservers() {
  if (capture_) observers_.push_back(controller::CaptureObserver(capture_));
  observers_.push_back(controller::TerminalObserver(per_poll_lines_));
  if (board_) observers_.push_back(controller::BoardObserver(board_.get()));
  notifier_ = std::make_unique<controller::Notifier>(site_.notify);
  if (board_) {
    controller::Notifier* n = notifier_.get();
    board_->SetExtraMetrics([n] { return controller::NotifyMetricsText(n->Counters()); });
    board_->SetNotifyJson([n] { return controller::NotifyJson(n->Counters()); });
    board_->SetLogRepeats(controller::CountedEventNames());
  }
  // Every event goes to the page's stream and the event log as well.
  notifier_->OnPost([this](const controller::NotifyEvent& e) {
    const std::string json = controller::EventJson(e);
    if (board_) board_->LogEvent(json);
    if (history_)
      history_->PushEvent({e.time_ms, e.name, e.device, e.data_id, json, controller::RepeatKey(e)});
  });
  observers_.push_back(controller::NotifyObserver(notifier_.get(), history_gauge_));
  observers_.push_back(controller::HistoryObserver([this](controller::HistoryRow row) {
    newest_record_ = controller::Clock::now();
    if (!history_) return;
    // Refused only once storing stopped on an error, which was said then and
    // gives the run a failure status; monitoring goes on.
    history_->Push(std::move(row));
  }));
}

void QDXController::ReplayCache(DeviceLink& link) {
  const controller::DeviceConfig& cfg = link.cfg();
  boost::optional<controller::HistoryRow> latest;
  try {
    latest = history_->db().Latest(cfg.data_id, cfg.type);
  } catch (const controller::HistoryError& e) {
    // A damaged file is set aside by the writer; monitoring starts regardless.
    if (!history_->db().damaged()) throw;
    Say(Who(cfg) + ": stored record not replayed: " + e.what());
  }
  if (!latest) return;
  // A record of another device, or one old enough to raise a stale alarm, would
  // be published and stored again as if it were new.
  const std::int64_t now = controller::NowUtcMs() / 1000;
  const std::string refusal =
      controller::CacheRefusal(*latest, cfg.data_id, cfg.cache_max_age_s, now);
  if (!refusal.empty()) {
    Say(Who(cfg) + ": stored record not replayed: " + refusal);
    return;
  }
  const controller::Bytes& bytes = latest->data;
  if (!link.Replay(bytes.data(), static_cast<int>(bytes.size()), controller::Clock::now())) {
    Say(Who(cfg) + ": stored record of " + std::to_string(bytes.size()) +
        " bytes not accepted by the device");
  }
}

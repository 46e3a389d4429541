#include "controller/status/status_board.h"

#include "controller/common/iso_time.h"
#include "controller/status/status_render.h"
#include "controller/status/ups_fields.h"

namespace controller {

namespace {

void WriteWho(JsonOut& out, const DeviceStatus& d) {
  out.Key("device").String(d.name).Key("data_id").Int(d.data_id);
}

// Keeps when the running utility failure was first seen. A record replayed
// from the history shows a state but not when it began, so it starts nothing.
void TrackBattery(DeviceStatus& d, std::int64_t now_ms) {
  zota::DecodedRecord r;
  if (!zota::Decode(d.record_type, d.record.data(), d.record.size(), r)) return;
  if ((r.state & zota::kUtilityFail) == 0) {
    d.on_battery_ms = 0;
  } else if (d.on_battery_ms == 0 && !d.replayed) {
    d.on_battery_ms = now_ms;
  }
}

}  // namespace

StatusBoard::StatusBoard(std::size_t event_capacity, std::size_t max_subscribers)
    : ring_(event_capacity ? event_capacity : 1),
      ring_times_(ring_.size()),
      max_subscribers_(max_subscribers) {}

void StatusBoard::AddDevice(const DeviceName& device, int poll_interval_ms, const std::string& port,
                            const QDXVDevice& dev) {
  DeviceStatus d;
  d.name = device.name;
  d.type = device.type;
  d.port = port;
  d.data_id = device.data_id;
  d.poll_interval_ms = poll_interval_ms;
  d.link_ms = NowUtcMs();
  for (const auto& level : dev.threshold_levels_) {
    const auto value = dev.threshold_values_.find(level.first);
    if (level.second < 1 || value == dev.threshold_values_.end()) continue;
    AlarmInfo& a = d.alarms[level.first];
    a.signal_id = level.first;
    a.configured = true;
    a.level = level.second;
    a.threshold = value->second;
    const auto low = dev.threshold_low_.find(level.first);
    a.low = low != dev.threshold_low_.end() && low->second;
    const auto hyst = dev.threshold_hyst_.find(level.first);
    a.hysteresis = hyst == dev.threshold_hyst_.end() ? 0.0f : hyst->second;
  }
  std::lock_guard<std::mutex> lock(mu_);
  d.history = history_;
  devices_.push_back(std::move(d));
}

void StatusBoard::Record(std::size_t i, int type, const unsigned char* data, unsigned int len,
                         bool replayed, LinkState link, const LinkCounters& counters) {
  const std::int64_t now = NowUtcMs();
  std::lock_guard<std::mutex> lock(mu_);
  if (i >= devices_.size()) return;
  DeviceStatus& d = devices_[i];
  d.counters = counters;
  d.record_type = type;
  d.record.assign(data, data + len);
  d.replayed = replayed;
  d.record_ms = now;
  TrackBattery(d, now);
  SetLink(d, link, now);
  EmitAbout("record", d, [&](JsonOut& out) {
    out.Key("link").String(LinkStateName(d.link)).Key("cached").Bool(replayed);
    WriteOnBattery(out, d);
    WriteCounters(out, d);
    out.Key("record");
    WriteRecord(out, d.record_type, d.record, FormatUtcMs(d.record_ms));
  });
}

void StatusBoard::Alarm(std::size_t i, const rule_value& item, bool raised) {
  const std::int64_t now = NowUtcMs();
  std::lock_guard<std::mutex> lock(mu_);
  if (i >= devices_.size()) return;
  DeviceStatus& d = devices_[i];
  AlarmInfo& a = d.alarms[item.signal_id];
  a.signal_id = item.signal_id;
  a.active = raised;
  a.value = item.value;
  a.threshold = item.threshold;
  a.low = item.low;
  a.level = item.level;
  a.changed_ms = now;
  EmitAbout("alarm", d, [&](JsonOut& out) {
    out.Key("signal_id").String(item.signal_id);
    WriteSignal(out, item.signal_id);
    out.Key("raised").Bool(raised).Key("value").Real(item.value);
    out.Key("threshold").Real(item.threshold).Key("low").Bool(item.low);
    out.Key("level").Int(item.level).Key("time").String(FormatUtcMs(now));
  });
}

void StatusBoard::Report(std::size_t i, const std::string& report_id, float value) {
  const std::int64_t now = NowUtcMs();
  std::lock_guard<std::mutex> lock(mu_);
  if (i >= devices_.size()) return;
  DeviceStatus& d = devices_[i];
  ReportInfo& r = d.reports[report_id];
  r.value = value;
  r.time_ms = now;
  EmitAbout("report", d, [&](JsonOut& out) {
    out.Key("report_id").String(report_id);
    WriteSignal(out, report_id);
    out.Key("value").Real(value).Key("time").String(FormatUtcMs(now));
  });
}

void StatusBoard::Link(std::size_t i, LinkState link, const LinkCounters& counters,
                       const std::string& port) {
  std::lock_guard<std::mutex> lock(mu_);
  if (i >= devices_.size()) return;
  DeviceStatus& d = devices_[i];
  d.counters = counters;
  d.port = port;
  SetLink(d, link, NowUtcMs());
  EmitAbout("link", d, [&](JsonOut& out) {
    out.Key("link").String(LinkStateName(d.link)).Key("since").String(FormatUtcMs(d.link_ms));
    out.Key("port").String(d.port);
    WriteCounters(out, d);
  });
}

void StatusBoard::SetLink(DeviceStatus& d, LinkState link, std::int64_t now_ms) {
  if (d.link == link) return;
  d.link = link;
  d.link_ms = now_ms;
}

template <typename Fill>
void StatusBoard::EmitAbout(const char* kind, const DeviceStatus& d, Fill fill) {
  if (subscribers_ == 0) return;
  JsonOut out;
  out.BeginObject();
  WriteWho(out, d);
  fill(out);
  out.EndObject();
  Emit(kind, out.str());
}

void StatusBoard::Emit(const char* kind, const std::string& data) {
  auto text = std::make_shared<std::string>();
  text->reserve(data.size() + 48);
  *text += "id: ";
  *text += std::to_string(head_);
  *text += "\nevent: ";
  *text += kind;
  *text += "\ndata: ";
  *text += data;  // JSON text holds no raw newline
  *text += "\n\n";
  const auto slot = static_cast<std::size_t>(head_ % ring_.size());
  ring_[slot] = std::move(text);
  ring_times_[slot] = std::chrono::steady_clock::now();
  ++head_;
  cv_.notify_all();
}

void StatusBoard::SetHistory(const std::string& state) {
  std::lock_guard<std::mutex> lock(mu_);
  if (history_ == state) return;
  history_ = state;
  for (DeviceStatus& d : devices_) d.history = state;
  // The page shows it at once, not only at its next load.
  if (subscribers_ == 0) return;
  JsonOut out;
  out.BeginObject();
  out.Key("history").String(state);
  out.EndObject();
  Emit("history", out.str());
}

void StatusBoard::SetHistoryPath(const std::string& path) {
  std::lock_guard<std::mutex> lock(mu_);
  history_path_ = path;
}

std::string StatusBoard::history_path() const {
  std::lock_guard<std::mutex> lock(mu_);
  return history_path_;
}

std::vector<DeviceStatus> StatusBoard::Snapshot() const {
  std::lock_guard<std::mutex> lock(mu_);
  return devices_;
}

boost::optional<DeviceStatus> StatusBoard::Find(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mu_);
  for (const DeviceStatus& d : devices_) {
    if (d.name == name) return d;
  }
  return boost::none;
}

std::unique_ptr<EventSubscription> StatusBoard::Subscribe() {
  std::lock_guard<std::mutex> lock(mu_);
  if (closed_ || subscribers_ >= max_subscribers_) return nullptr;
  ++subscribers_;
  return std::unique_ptr<EventSubscription>(new EventSubscription(shared_from_this(), head_));
}

void StatusBoard::CloseEvents() {
  std::lock_guard<std::mutex> lock(mu_);
  closed_ = true;
  cv_.notify_all();
}

std::size_t StatusBoard::subscribers() const {
  std::lock_guard<std::mutex> lock(mu_);
  return subscribers_;
}

long StatusBoard::dropped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return dropped_;
}

void StatusBoard::LogEvent(const std::string& json) {
  std::lock_guard<std::mutex> lock(mu_);
  if (subscribers_ > 0) Emit("log", json);
}

void StatusBoard::HistoryDropped() {
  std::lock_guard<std::mutex> lock(mu_);
  ++history_dropped_;
}

long long StatusBoard::history_dropped() const {
  std::lock_guard<std::mutex> lock(mu_);
  return history_dropped_;
}

EventSubscription::Result EventSubscription::Wait(std::chrono::milliseconds timeout,
                                                  std::string& out,
                                                  std::chrono::steady_clock::time_point* oldest) {
  StatusBoard& b = *board_;
  std::vector<std::shared_ptr<const std::string>> taken;
  {
    std::unique_lock<std::mutex> lock(b.mu_);
    b.cv_.wait_for(lock, timeout, [&] { return b.closed_ || b.head_ != next_; });
    if (b.closed_) return Result::kEnded;
    if (b.head_ - next_ > b.ring_.size()) {
      ++b.dropped_;
      next_ = b.head_;
      return Result::kDropped;
    }
    taken.reserve(static_cast<std::size_t>(b.head_ - next_));
    if (oldest && next_ != b.head_)
      *oldest = b.ring_times_[static_cast<std::size_t>(next_ % b.ring_.size())];
    for (; next_ != b.head_; ++next_)
      taken.push_back(b.ring_[static_cast<std::size_t>(next_ % b.ring_.size())]);
  }
  if (taken.empty()) return Result::kIdle;
  for (const auto& t : taken) out += *t;
  return Result::kEvents;
}

void EventSubscription::Dropped() {
  std::lock_guard<std::mutex> lock(board_->mu_);
  ++board_->dropped_;
}

EventSubscription::~EventSubscription() {
  std::lock_guard<std::mutex> lock(board_->mu_);
  --board_->subscribers_;
}

}  // namespace controller

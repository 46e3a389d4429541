#include "controller/notify/event_detector.h"

#include <cstring>

#include "controller/common/device_name.h"
#include "controller/common/output.h"
#include "controller/status/record_view.h"

namespace controller {

namespace {

Json::Value FlagList(std::uint8_t state) {
  Json::Value flags(Json::arrayValue);
  for (const std::string& f : FlagNames(state)) flags.append(f);
  return flags;
}

std::size_t MeasurementIndex(const char* key) {
  std::size_t i = 0;
  while (i + 1 < zota::kMeasurementCount && std::strcmp(zota::kMeasurements[i].key, key) != 0) ++i;
  return i;  // every kind's key is checked where the kinds are defined
}

}  // namespace

DeviceEvents::DeviceEvents(std::string name, std::uint32_t data_id, Clock::duration lost_after,
                           Clock::time_point start)
    : name_(std::move(name)), data_id_(data_id), lost_after_(lost_after), last_record_(start) {}

NotifyEvent DeviceEvents::Make(const char* name, std::string text, std::int64_t utc_ms) const {
  NotifyEvent e;
  e.name = name;
  e.device = name_;
  e.data_id = data_id_;
  e.time_ms = utc_ms;
  e.text = Who(name_, data_id_) + ": " + text;
  return e;
}

void DeviceEvents::Flag(std::vector<NotifyEvent>& out, const zota::DecodedRecord& rec,
                        const EventKind& k, std::int64_t ms) const {
  const bool set = (rec.state & k.flag) != 0;
  // The first live record tells only what is not normal.
  if (live_ ? set == ((state_ & k.flag) != 0) : !set) return;
  NotifyEvent e = Make(set ? k.raise : k.clear, set ? k.raise_text : k.clear_text, ms);
  e.details["flags"] = FlagList(rec.state);
  if (k.measurement) {
    const std::size_t i = MeasurementIndex(k.measurement);
    e.details["value"] = rec.Value(i);
    e.details["unit"] = zota::kMeasurements[i].unit;
  }
  out.push_back(std::move(e));
}

std::vector<NotifyEvent> DeviceEvents::Record(int type, const unsigned char* data, std::size_t len,
                                              bool replayed, Clock::time_point at,
                                              std::int64_t utc_ms) {
  std::vector<NotifyEvent> out;
  if (replayed) return out;
  if (live_) TellReplayedAlarms(out, utc_ms);
  last_record_ = at;
  if (lost_) {
    lost_ = false;
    out.push_back(
        Make(EventName(EventKindId::kLink, false), "link restored: records again", utc_ms));
  }
  zota::DecodedRecord rec;
  if (!zota::Decode(type, data, len, rec)) {
    live_ = true;
    return out;
  }
  for (const EventKind& k : EventKinds()) {
    if (k.flag != 0) Flag(out, rec, k, utc_ms);
  }
  state_ = rec.state;
  live_ = true;
  return out;
}

std::vector<NotifyEvent> DeviceEvents::Alarm(const rule_value& item, bool raised, bool replayed,
                                             std::int64_t utc_ms) {
  std::vector<NotifyEvent> out;
  // Raised by the replay: told with the next outcome unless the first live
  // record cleared it.
  if (replayed || !live_) {
    if (raised)
      replayed_alarms_[item.alarm_id] = item;
    else
      replayed_alarms_.erase(item.alarm_id);
    return out;
  }
  if (!raised && replayed_alarms_.erase(item.alarm_id) > 0) return out;  // never told raised
  NotifyEvent e = Make(EventName(EventKindId::kAlarm, raised), "", utc_ms);
  e.text = Who(name_, data_id_) + ": " + AlarmText(item, raised);
  e.details["alarm_id"] = item.alarm_id;
  e.details["signal_id"] = item.signal_id;
  e.details["name"] = item.name;
  e.details["value"] = item.value;
  e.details["limit"] = item.threshold;
  e.details["level"] = item.level;
  e.details["low"] = item.low;
  e.details["unit"] = SignalUnit(item.signal_id);
  out.push_back(std::move(e));
  return out;
}

// Alarms the replay raised that the first live record left raised still hold.
void DeviceEvents::TellReplayedAlarms(std::vector<NotifyEvent>& out, std::int64_t utc_ms) {
  if (told_replayed_) return;
  told_replayed_ = true;
  for (const auto& a : replayed_alarms_) {
    auto more = Alarm(a.second, true, false, utc_ms);
    out.insert(out.end(), more.begin(), more.end());
  }
  replayed_alarms_.clear();
}

std::vector<NotifyEvent> DeviceEvents::NoRecord(bool port_lost, Clock::time_point at,
                                                std::int64_t utc_ms) {
  std::vector<NotifyEvent> out;
  if (live_) TellReplayedAlarms(out, utc_ms);
  if (lost_) return out;
  const auto silent = std::chrono::duration_cast<std::chrono::seconds>(at - last_record_);
  if (!port_lost && at - last_record_ < lost_after_) return out;
  lost_ = true;
  NotifyEvent e =
      Make(EventName(EventKindId::kLink),
           port_lost ? "link lost: the port went away"
                     : "link lost: no record for " + std::to_string(silent.count()) + " s",
           utc_ms);
  e.details["value"] = static_cast<Json::Int64>(silent.count());
  e.details["limit"] = static_cast<Json::Int64>(
      std::chrono::duration_cast<std::chrono::seconds>(lost_after_).count());
  e.details["unit"] = "s";
  out.push_back(std::move(e));
  return out;
}

std::vector<NotifyEvent> HistoryEvents::Update(bool state_good, std::uint64_t dropped,
                                               std::int64_t utc_ms) {
  std::vector<NotifyEvent> out;
  const bool new_drops = dropped != dropped_;
  dropped_ = dropped;
  if (state_good) {
    bad_since_ms_ = -1;
  } else if (bad_since_ms_ < 0) {
    bad_since_ms_ = utc_ms;
  }
  const bool bad =
      new_drops || (bad_since_ms_ >= 0 && utc_ms - bad_since_ms_ >= kHistoryFailingAfterMs);
  if (bad == failing_ || (!bad && !state_good)) return out;
  failing_ = bad;
  NotifyEvent e;
  e.name = EventName(EventKindId::kHistory, bad);
  e.device = kOwnEventDevice;
  e.own = true;
  e.time_ms = utc_ms;
  e.text = bad ? std::string("history: failing") +
                     (new_drops ? ", records dropped" : ", not storing for 60 s or more")
               : "history: storing again";
  e.details["dropped"] = static_cast<Json::UInt64>(dropped);
  out.push_back(std::move(e));
  return out;
}

}  // namespace controller

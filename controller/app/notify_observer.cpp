#include "controller/app/notify_observer.h"

#include <map>

#include "controller/common/iso_time.h"
#include "controller/link/device_link.h"
#include "controller/notify/event_detector.h"

namespace controller {

namespace {

class Observer : public LinkObserver {
 public:
  Observer(Notifier* n, std::shared_ptr<HistoryGauge> h) : notifier_(n), history_(std::move(h)) {}

  void Ended(const DeviceLink& link, const LinkOutcome& o) override {
    DeviceEvents& d = Of(link, o.at);
    replayed_[link.index()] = o.replayed;
    const std::int64_t ms = NowUtcMs();
    bool any = false;
    for (const LinkRecord& r : o.published) {
      any = true;
      Post(d.Record(r.type, r.data.data(), r.data.size(), o.replayed, o.at, ms));
    }
    if (!any && o.ending != Ending::kNotice) Post(d.NoRecord(o.ending == Ending::kLost, o.at, ms));
    // The history is looked at as often as any device is: no clock of its own.
    if (history_) Post(history_events_.Update(history_->good, history_->dropped, ms));
  }
  void Alarm(const DeviceLink& link, const rule_value& item, bool raised) override {
    Post(Of(link, Clock::now()).Alarm(item, raised, replayed_[link.index()], NowUtcMs()));
  }

 private:
  DeviceEvents& Of(const DeviceLink& link, Clock::time_point at) {
    auto it = devices_.find(link.index());
    if (it == devices_.end()) {
      const DeviceConfig& cfg = link.cfg();
      it = devices_
               .emplace(link.index(), DeviceEvents(cfg.name, cfg.data_id,
                                                   std::chrono::seconds(cfg.link_lost_after_s), at))
               .first;
    }
    return it->second;
  }
  void Post(const std::vector<NotifyEvent>& events) {
    for (const NotifyEvent& e : events) notifier_->Post(e);
  }

  Notifier* notifier_;
  std::shared_ptr<HistoryGauge> history_;
  HistoryEvents history_events_;
  std::map<std::size_t, DeviceEvents> devices_;
  std::map<std::size_t, bool> replayed_;  // the latest outcome was a replay
};

}  // namespace

std::unique_ptr<LinkObserver> NotifyObserver(Notifier* notifier,
                                             std::shared_ptr<HistoryGauge> history) {
  return std::make_unique<Observer>(notifier, std::move(history));
}

}  // namespace controller

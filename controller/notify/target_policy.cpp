#include "controller/notify/target_policy.h"

#include <algorithm>

#include "controller/notify/event_kinds.h"

namespace controller {

namespace {

constexpr std::int64_t kMs = 1000;

std::string KeyOf(const NotifyEvent& e, bool* raises) {
  const std::string c = ConditionOf(e, raises);
  return c.empty() ? std::string() : c + "|" + e.device;
}

}  // namespace

std::vector<NotifyEvent> TargetPolicy::Take(NotifyEvent e, std::int64_t now) {
  std::vector<NotifyEvent> out;
  bool raises = false;
  const std::string key = KeyOf(e, &raises);
  if (key.empty()) {
    Gate(std::move(e), now, false, out);
    return out;
  }
  latest_[key] = e;
  if (t_.after_s > 0 && raises && FindKind(e.name)->holdable) {
    held_.emplace(key, Timed{std::move(e), now + t_.after_s * kMs});
    return out;
  }
  if (!raises) {
    // A clearing event follows only a raise that was sent.
    if (held_.erase(key) > 0 && t_.after_s > 0) return out;
    repeats_.erase(key);
    const auto s = sent_.find(key);
    if (t_.after_s > 0 && (s == sent_.end() || s->second == e.name)) return out;
  }
  Gate(std::move(e), now, false, out);
  return out;
}

void TargetPolicy::Gate(NotifyEvent e, std::int64_t now, bool force,
                        std::vector<NotifyEvent>& out) {
  bool raises = false;
  const std::string key = KeyOf(e, &raises);
  const std::string same = e.name + "|" + e.device;
  const auto last = last_sent_.find(same);
  if (!force && last != last_sent_.end() && now - last->second < t_.min_interval_s * kMs) {
    ++suppressed_[e.name];
    ++suppressed_total_;
    if (!key.empty()) interval_end_[key] = last->second + t_.min_interval_s * kMs;
    return;
  }
  last_sent_[same] = now;
  if (!suppressed_.empty()) {
    Json::Value s(Json::objectValue);
    for (const auto& n : suppressed_) s[n.first] = static_cast<Json::UInt64>(n.second);
    e.details["suppressed"] = s;
    suppressed_.clear();
  }
  if (!key.empty()) {
    sent_[key] = e.name;
    if (raises && t_.repeat_s > 0) {
      repeats_[key] = Timed{e, now + t_.repeat_s * kMs};
    }
  }
  out.push_back(std::move(e));
}

std::vector<NotifyEvent> TargetPolicy::Due(std::int64_t now) {
  std::vector<NotifyEvent> out;
  for (auto it = held_.begin(); it != held_.end();) {
    if (it->second.at > now) {
      ++it;
      continue;
    }
    Gate(std::move(it->second.e), now, false, out);
    it = held_.erase(it);
  }
  for (auto& r : repeats_) {
    if (r.second.at > now) continue;
    r.second.at = now + t_.repeat_s * kMs;
    NotifyEvent again = r.second.e;
    again.details.removeMember("suppressed");
    again.details["repeat"] = true;
    Gate(std::move(again), now, true, out);
  }
  for (auto it = interval_end_.begin(); it != interval_end_.end();) {
    if (it->second > now) {
      ++it;
      continue;
    }
    // The receiver must not go on believing a state that no longer holds.
    const NotifyEvent& latest = latest_[it->first];
    const auto s = sent_.find(it->first);
    if ((s == sent_.end() || s->second != latest.name) && held_.count(it->first) == 0)
      Gate(latest, now, true, out);
    it = interval_end_.erase(it);
  }
  return out;
}

std::int64_t TargetPolicy::NextWake() const {
  std::int64_t next = kNever;
  for (const auto& h : held_) next = std::min(next, h.second.at);
  for (const auto& r : repeats_) next = std::min(next, r.second.at);
  for (const auto& i : interval_end_) next = std::min(next, i.second);
  return next;
}

}  // namespace controller

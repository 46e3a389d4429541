#include "controller/notify/notify_config.h"

#include <climits>
#include <stdexcept>

#include "controller/common/device_name.h"
#include "controller/common/printable.h"
#include "controller/framework/known_keys.h"
#include "controller/notify/delivery.h"
#include "controller/notify/event_kinds.h"
#include "controller/notify/notify_event.h"
#include "controller/notify/target_check.h"

namespace controller {

namespace {

constexpr char kNotify[] = "\"notify\"";
constexpr int kMaxSeconds = 366 * 24 * 3600;
const KnownKeys kTargetKeys = {"name",    "command",   "webhook",  "ca_file",
                               "headers", "timeout_s", "retry_s",  "events",
                               "devices", "after_s",   "repeat_s", "min_interval_s"};

[[noreturn]] void Fail(const std::string& origin, const std::string& where,
                       const std::string& what) {
  throw std::runtime_error(origin + ": " + where + " " + what);
}

std::string Text(const Json::Value& v, const std::string& origin, const std::string& where) {
  if (!v.isString() || v.asString().empty()) Fail(origin, where, "must be a non-empty text");
  const std::string control = ControlCharacterIn(v.asString());
  if (!control.empty()) Fail(origin, where, "holds the control character " + control);
  return v.asString();
}

int Seconds(const Json::Value& v, int lo, const std::string& origin, const std::string& where) {
  if (!v.isIntegral() || v.isBool() || v.asLargestInt() < lo || v.asLargestInt() > kMaxSeconds)
    Fail(
        origin, where,
        "must be a whole number from " + std::to_string(lo) + " to " + std::to_string(kMaxSeconds));
  return static_cast<int>(v.asLargestInt());
}

// Names from a list, each one of known (or "*" for all when star).
std::set<std::string> Names(const Json::Value& v, const std::vector<std::string>& known, bool star,
                            const std::string& origin, const std::string& where) {
  if (!v.isArray() || v.empty()) Fail(origin, where, "must be a non-empty list of names");
  KnownKeys keys;
  for (const std::string& k : known) keys.push_back(k.c_str());
  std::set<std::string> out;
  for (Json::ArrayIndex i = 0; i < v.size(); ++i) {
    const std::string at = where + "[" + std::to_string(i) + "]";
    const std::string name = Text(v[i], origin, at);
    if (star && name == "*") return {};
    bool found = false;
    for (const std::string& k : known) found = found || k == name;
    if (!found)
      Fail(origin, at, "\"" + name + "\" is not a known name" + DidYouMean(ClosestKey(name, keys)));
    out.insert(name);
  }
  return out;
}

// How the target is reached: a command, or a webhook with its headers.
void ParseDelivery(const Json::Value& t, const std::string& at, const std::string& origin,
                   const std::string& who, NotifyTarget& out) {
  if (t.isMember("command") == t.isMember("webhook"))
    Fail(origin, at, "(" + who + ") must have either \"command\" or \"webhook\"");
  if (t.isMember("command")) {
    const Json::Value& c = t["command"];
    if (!c.isArray() || c.empty())
      Fail(origin, at + ".\"command\"", "must be a non-empty list: the program and its arguments");
    for (Json::ArrayIndex i = 0; i < c.size(); ++i)
      out.command.push_back(Text(c[i], origin, at + ".\"command\"[" + std::to_string(i) + "]"));
    for (const char* k : {"ca_file", "headers", "retry_s"}) {
      if (t.isMember(k)) Fail(origin, at + ".\"" + k + "\"", "applies to a webhook only");
    }
  } else {
    // The URL is never shown: it may hold a token.
    out.webhook = Text(t["webhook"], origin, at + ".\"webhook\"");
  }
  if (t.isMember("ca_file")) out.ca_file = Text(t["ca_file"], origin, at + ".\"ca_file\"");
  if (!t.isMember("headers")) return;
  const Json::Value& h = t["headers"];
  if (!h.isObject()) Fail(origin, at + ".\"headers\"", "must be an object of texts");
  for (const std::string& k : h.getMemberNames()) {
    // Only the header's name is told: its value may be a token.
    const std::string where = at + ".\"headers\".\"" + Printable(k) + "\"";
    const std::string fault = HeaderNameFault(k);
    if (!fault.empty()) Fail(origin, where, "(" + who + ") " + fault);
    if (!h[k].isString()) Fail(origin, where, "must be a text");
    if (!ControlCharacterIn(h[k].asString()).empty())
      Fail(origin, where, "(" + who + ") has a value that holds a control character");
    out.headers.emplace_back(k, h[k].asString());
  }
}

// What can never work is refused now, not at the first power failure.
void CheckDelivery(const NotifyTarget& out, const std::string& at, const std::string& origin,
                   const std::string& who) {
  const auto check = [&](const std::string& key, const std::string& shown,
                         const std::string& fault) {
    if (!fault.empty()) Fail(origin, at + "." + key, "(" + who + ") " + shown + fault);
  };
  if (!out.command.empty())
    check("\"command\"[0]", "\"" + out.command[0] + "\" ", CommandFault(out.command[0]));
  if (!out.webhook.empty()) check("\"webhook\"", "", WebhookUrlFault(out.webhook));
  if (!out.ca_file.empty())
    check("\"ca_file\"", "\"" + out.ca_file + "\" ", ReadableFileFault(out.ca_file));
  // Last: the target's own faults are worth knowing whatever the build.
  if (!out.webhook.empty() && !kWebhooksBuiltIn)
    check("\"webhook\"", "", "needs HTTP support, which this qdx-host was built without");
}

NotifyTarget ParseTarget(const Json::Value& t, const std::string& at, const std::string& origin,
                         const std::vector<std::string>& devices) {
  if (!t.isObject()) Fail(origin, at, "must be an object");
  std::string key;
  std::string hint;
  if (UnknownKey(t, kTargetKeys, key, hint))
    Fail(origin, Printable(at + ".\"" + key + "\""), "is not a known key" + DidYouMean(hint));
  NotifyTarget out;
  if (!t.isMember("name")) Fail(origin, at + ".\"name\"", "is missing");
  // Named in lines, JSON and metric labels: a device name's rule.
  const std::string fault =
      t["name"].isString() ? NameFault(t["name"].asString()) : "must be a non-empty text";
  if (!fault.empty()) Fail(origin, at + ".\"name\"", fault);
  out.name = t["name"].asString();
  const std::string who = "target \"" + out.name + "\"";
  ParseDelivery(t, at, origin, who, out);
  const auto secs = [&](const char* k, int lo, int& to) {
    if (t.isMember(k)) to = Seconds(t[k], lo, origin, at + ".\"" + k + "\"");
  };
  secs("timeout_s", 1, out.timeout_s);
  secs("retry_s", 0, out.retry_s);
  secs("after_s", 0, out.after_s);
  secs("repeat_s", 0, out.repeat_s);
  secs("min_interval_s", 0, out.min_interval_s);
  if (t.isMember("events"))
    out.events = Names(t["events"], EventNames(), true, origin, at + ".\"events\"");
  if (t.isMember("devices"))
    out.devices = Names(t["devices"], devices, false, origin, at + ".\"devices\"");
  CheckDelivery(out, at, origin, who);
  return out;
}

}  // namespace

bool NotifyTarget::Wants(const std::string& event, const std::string& device, bool own) const {
  if (event == EventName(EventKindId::kTest)) return true;
  if (!events.empty() && events.count(event) == 0) return false;
  return own || devices.empty() || devices.count(device) > 0;
}

std::vector<NotifyTarget> ParseNotify(const Json::Value& list, const std::string& origin,
                                      const std::vector<std::string>& device_names) {
  std::vector<NotifyTarget> out;
  if (list.isNull()) return out;
  if (!list.isArray()) Fail(origin, kNotify, "must be a list of targets");
  for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
    const std::string at = std::string(kNotify) + "[" + std::to_string(i) + "]";
    NotifyTarget t = ParseTarget(list[i], at, origin, device_names);
    for (const NotifyTarget& o : out) {
      if (o.name == t.name) Fail(origin, at + ".\"name\"", "repeats the target name " + t.name);
    }
    out.push_back(std::move(t));
  }
  return out;
}

}  // namespace controller

// One attempt to hand an event to a target: a command run with the event on
// its standard input, or a webhook's POST. Neither says the URL or a header.
// Each attempt ends by the target's timeout_s or the stop's deadline,
// whichever comes first.
#pragma once

#include <string>

#include "controller/notify/notify_config.h"
#include "controller/notify/notify_event.h"
#include "controller/notify/stop_clock.h"

namespace controller {

constexpr int kMaxCommandsAtOnce = 4;

struct Answer {
  bool delivered = false;
  bool retry = false;  // worth trying again (a webhook's failure)
  std::string said;    // "exit status 0", "HTTP 204", "timed out after 10 s"...
  bool left = false;   // cut short by the stop's deadline: neither delivered nor failed
};

// The answer of an attempt the stop's deadline ended.
inline Answer LeftAtStop() { return {false, false, "left at stop", true}; }

// Whether this build can reach a webhook at all.
extern const bool kWebhooksBuiltIn;

// Runs the target's command; it and its process group are killed at its
// timeout or the stop's deadline. At most kMaxCommandsAtOnce run at once.
Answer RunCommand(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
                  const StopClock& stop);

// POSTs the JSON to the target's webhook, connect to last byte within its
// timeout (fails at once when built without HTTP support).
Answer PostWebhook(const NotifyTarget& t, const std::string& json, const StopClock& stop);

inline Answer Deliver(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
                      const StopClock& stop) {
  return t.command.empty() ? PostWebhook(t, json, stop) : RunCommand(t, e, json, stop);
}

}  // namespace controller

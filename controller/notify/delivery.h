// One attempt to hand an event to a target: a command run with the event on
// its standard input, or a webhook's POST. Neither says the URL or a header.
#pragma once

#include <chrono>
#include <string>

#include "controller/notify/notify_config.h"
#include "controller/notify/notify_event.h"

namespace controller {

constexpr int kMaxCommandsAtOnce = 4;

struct Answer {
  bool delivered = false;
  bool retry = false;  // worth trying again (a webhook's failure)
  std::string said;    // "exit status 0", "HTTP 204", "timed out after 10 s"...
};

// Runs the target's command, killed at its timeout or at the deadline,
// whichever is first; at most kMaxCommandsAtOnce run at once.
Answer RunCommand(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
                  std::chrono::steady_clock::time_point deadline);

// Whether this build can reach a webhook at all.
extern const bool kWebhooksBuiltIn;

// POSTs the JSON to the target's webhook (fails at once when built without
// HTTP support).
Answer PostWebhook(const NotifyTarget& t, const std::string& json,
                   std::chrono::steady_clock::time_point deadline);

inline Answer Deliver(const NotifyTarget& t, const NotifyEvent& e, const std::string& json,
                      std::chrono::steady_clock::time_point deadline) {
  return t.command.empty() ? PostWebhook(t, json, deadline) : RunCommand(t, e, json, deadline);
}

}  // namespace controller

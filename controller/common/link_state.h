// What a device link shows of itself: the state the API reports and its
// counters. The link keeps them; the status board and the summary read them.
#pragma once

#include <cstddef>
#include <iterator>

namespace controller {

// ok: the port is open and the last cycle (if any) gave a record;
// timeout: the last cycle ended without one; lost: the port went away
// or was not there at start;
// reopening: at least one attempt to open it again failed.
enum class LinkState { kOk, kTimeout, kLost, kReopening };
inline constexpr LinkState kLinkStates[] = {LinkState::kOk, LinkState::kTimeout, LinkState::kLost,
                                            LinkState::kReopening};

inline const char* LinkStateName(LinkState s) {
  static constexpr const char* kNames[] = {"ok", "timeout", "lost", "reopening"};
  static_assert(std::size(kNames) == std::size(kLinkStates), "a name for every state");
  const auto i = static_cast<std::size_t>(s);
  return i < std::size(kNames) ? kNames[i] : "unknown";
}

struct LinkCounters {
  long cycles = 0;    // ended by a record, a timeout or a lost port, and polls missed while lost
  long records = 0;   // records published, the one replayed at start included
  long failures = 0;  // cycles that ended without a record, and polls missed while lost
  long late_replies = 0;  // records that completed after their cycle had failed by its timeout
  long reopens = 0;       // times the port was opened again after it was lost
};

}  // namespace controller

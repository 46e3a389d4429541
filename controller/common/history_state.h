// The history's state as the writer reports it and the status board and
// metrics show it.
#pragma once

#include <cstddef>
#include <iterator>

namespace controller {

// ok: storing; retrying: the last attempt found the database busy or locked
// and is being repeated; full: the disk is full and the oldest records make
// room; recreated: the file was moved, deleted or replaced and a new one is in
// use; damaged: the file was found damaged, set aside, and a new one is in use;
// failing: nothing can be stored for now, or storing stopped on an error.
enum class HistoryState { kOk, kRetrying, kFull, kRecreated, kDamaged, kFailing };
inline constexpr HistoryState kHistoryStates[] = {HistoryState::kOk,      HistoryState::kRetrying,
                                                  HistoryState::kFull,    HistoryState::kRecreated,
                                                  HistoryState::kDamaged, HistoryState::kFailing};

inline const char* HistoryStateName(HistoryState s) {
  static constexpr const char* kNames[] = {"ok",        "retrying", "full",
                                           "recreated", "damaged",  "failing"};
  static_assert(std::size(kNames) == std::size(kHistoryStates), "a name for every state");
  const auto i = static_cast<std::size_t>(s);
  return i < std::size(kNames) ? kNames[i] : "failing";
}

}  // namespace controller

// The device links' outcomes turned into events for the notifier.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "controller/link/link_observer.h"
#include "controller/notify/notifier.h"

namespace controller {

// The history's health as its writer tells it, from its thread.
struct HistoryGauge {
  std::atomic<bool> good{true};
  std::atomic<std::uint64_t> dropped{0};
};

std::unique_ptr<LinkObserver> NotifyObserver(Notifier* notifier,
                                             std::shared_ptr<HistoryGauge> history);

}  // namespace controller

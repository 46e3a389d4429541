// How the controller observes its device links: the terminal, the status
// board, the history and the capture each take what they need of every
// outcome, in the order they are attached.
#pragma once

#include <functional>
#include <memory>

#include "controller/capture/capture.h"
#include "controller/history/history_db.h"
#include "controller/link/link_observer.h"
#include "controller/status/status_board.h"

namespace controller {

// Lines on standard output (faults on standard error). Without per_poll_lines
// no line per published record, and a failing poll is told only when it
// changes the link's state.
std::unique_ptr<LinkObserver> TerminalObserver(bool per_poll_lines = true);
// The board's copy of each device's record, link state, counters, alarms and reports.
std::unique_ptr<LinkObserver> BoardObserver(StatusBoard* board);
// A history row for each record the device handed to the history, the one
// replayed at start apart: it is stored there already.
std::unique_ptr<LinkObserver> HistoryObserver(std::function<void(HistoryRow)> store);
// Every chunk sent and received, while the capture lasts.
std::unique_ptr<LinkObserver> CaptureObserver(std::weak_ptr<CaptureWriter> capture);

}  // namespace controller

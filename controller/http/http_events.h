// GET /api/events: the status board's events as Server-Sent Events, on the
// worker thread of their own connection.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>

#include "controller/status/status_board.h"

namespace controller {

// A stream ends after this much data or this long, whichever comes first; the
// browser's EventSource connects again by itself. So a client that never
// reads holds a slot for a bounded time, however much its buffers take in.
constexpr std::size_t kEventStreamBytes = 1024 * 1024;
constexpr auto kEventStreamTime = std::chrono::minutes(10);

// Answers with the stream, or 503 when every slot is taken. Streams that end
// at their bound are counted in ended.
void ServeEvents(StatusBoard& board, httplib::Response& res, std::atomic<long>& ended);

}  // namespace controller

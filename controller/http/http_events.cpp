#include "controller/http/http_events.h"

#include <memory>
#include <string>
#include <thread>

#include "controller/http/http_stream.h"
#include "controller/status/status_render.h"

namespace controller {

namespace {

constexpr auto kHeartbeat = std::chrono::seconds(15);
// Events that come in quick succession leave in one write.
constexpr auto kEventGather = std::chrono::milliseconds(50);
// An event client whose oldest event not yet handed to its socket is older
// than this has stopped reading: it is dropped and counted.
constexpr auto kEventMaxAge = std::chrono::seconds(5);
// What an event stream's socket may hold for its client, so a client that
// stops reading shows in its own queue, not in megabytes of kernel buffer.
constexpr int kEventSendBuffer = 16 * 1024;

}  // namespace

void ServeEvents(StatusBoard& board, httplib::Response& res, std::atomic<long>& ended) {
  std::shared_ptr<EventSubscription> sub = board.Subscribe();
  if (!sub) {
    res.status = 503;
    res.set_header("Retry-After", "10");
    res.set_header("Cache-Control", "no-store");
    res.set_content(ErrorJson("too many event clients (at most " +
                              std::to_string(board.max_subscribers()) + ")"),
                    "application/json; charset=utf-8");
    return;
  }
  res.set_header("Cache-Control", "no-store");
  ConnStream::LimitSendBuffer(kEventSendBuffer);
  using Clock = std::chrono::steady_clock;
  const Clock::time_point end = Clock::now() + kEventStreamTime;
  res.set_chunked_content_provider(
      "text/event-stream", [sub, end, &ended](std::size_t offset, httplib::DataSink& sink) {
        std::string out;
        Clock::time_point oldest = Clock::now();
        if (offset == 0) {
          out = "retry: 3000\n: connected\n\n";
        } else if (offset >= kEventStreamBytes || oldest >= end) {
          ++ended;
          ConnStream::SetWriteDeadline(oldest + kEventMaxAge);  // for the closing chunk
          sink.done();
          return true;
        } else {
          switch (sub->Wait(kHeartbeat, out, &oldest)) {
            case EventSubscription::Result::kEnded:
              sink.done();
              return true;
            case EventSubscription::Result::kDropped:
              return false;  // closes the connection; the client reconnects
            case EventSubscription::Result::kIdle:
              out = ": keep-alive\n\n";
              oldest = Clock::now();
              break;
            case EventSubscription::Result::kEvents:
              break;
          }
        }
        // Judged by its own queue: events that waited here too long mean the
        // client stopped reading, however much its socket still takes.
        const Clock::time_point deadline = oldest + kEventMaxAge;
        ConnStream::SetWriteDeadline(deadline);
        if (Clock::now() >= deadline || !sink.write(out.data(), out.size())) {
          if (Clock::now() >= deadline) sub->Dropped();
          return false;
        }
        if (offset != 0) std::this_thread::sleep_for(kEventGather);
        return true;
      });
}

}  // namespace controller

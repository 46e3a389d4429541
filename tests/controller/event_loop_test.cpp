// The loop's promises: timers in time order, no starvation of descriptors by
// timers, and handlers removed mid-batch never called.
#include "controller/app/event_loop.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <string>

namespace {

using controller::EventLoop;
using controller::UniqueFd;
using Clock = EventLoop::Clock;
using std::chrono::milliseconds;

struct Pipe {
  Pipe() {
    int fds[2];
    EXPECT_EQ(::pipe(fds), 0);
    read_end.reset(fds[0]);
    write_end.reset(fds[1]);
  }
  void Put() { EXPECT_EQ(::write(write_end.get(), "x", 1), 1); }
  UniqueFd read_end;
  UniqueFd write_end;
};

class EventLoopTest : public testing::Test {
 protected:
  // Passes until `done` or 2 s, so no test can hang.
  template <typename Done>
  void RunUntil(Done done) {
    const Clock::time_point limit = Clock::now() + std::chrono::seconds(2);
    while (!done() && Clock::now() < limit)
      ASSERT_TRUE(loop_.RunOnce(Clock::now() + milliseconds(50)));
    EXPECT_TRUE(done());
  }

  EventLoop loop_;
  std::string seen_;
};

TEST_F(EventLoopTest, TimersRunInTimeOrderAndCancelledOnesNever) {
  const Clock::time_point now = Clock::now();
  loop_.At(now + milliseconds(30), [this] { seen_ += "c"; });
  loop_.At(now + milliseconds(10), [this] { seen_ += "a"; });
  const EventLoop::Id gone = loop_.At(now + milliseconds(20), [this] { seen_ += "x"; });
  loop_.At(now + milliseconds(20), [this] { seen_ += "b"; });
  loop_.Cancel(gone);
  RunUntil([this] { return seen_.size() >= 3; });
  EXPECT_EQ(seen_, "abc");
}

// A timer that keeps re-arming itself for now must not keep a ready
// descriptor waiting.
TEST_F(EventLoopTest, ATimerDueAgainAndAgainCannotStarveADescriptor) {
  Pipe pipe;
  pipe.Put();
  bool read = false;
  loop_.WatchFile(pipe.read_end.get(), [&](short revents) { read = (revents & POLLIN) != 0; });
  std::function<void()> again = [&] { loop_.At(Clock::now(), again); };
  loop_.At(Clock::now(), again);
  RunUntil([&] { return read; });
}

TEST_F(EventLoopTest, AHandlerRemovedByAnEarlierOneInTheSameBatchIsNotCalled) {
  Pipe a, b;
  a.Put();
  b.Put();
  EventLoop::Id ids[2] = {};
  int calls = 0;
  // Whichever runs first removes both.
  const auto both_gone = [&](short) {
    ++calls;
    loop_.Unwatch(ids[0]);
    loop_.Unwatch(ids[1]);
  };
  ids[0] = loop_.WatchFile(a.read_end.get(), both_gone);
  ids[1] = loop_.WatchFile(b.read_end.get(), both_gone);
  RunUntil([&] { return calls > 0; });
  ASSERT_TRUE(loop_.RunOnce(Clock::now() + milliseconds(20)));
  EXPECT_EQ(calls, 1);
}

TEST_F(EventLoopTest, AHungUpPeerIsReported) {
  Pipe pipe;
  short got = 0;
  loop_.WatchFile(pipe.read_end.get(), [&](short revents) { got = revents; });
  pipe.write_end.reset();
  RunUntil([&] { return got != 0; });
  EXPECT_TRUE(got & POLLHUP);
}

}  // namespace

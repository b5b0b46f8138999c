#include "platform/event_loop.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace norv {
namespace {

using std::chrono::milliseconds;

TEST(EventLoop, TimersWithEqualDeadlinesFireInCreationOrder) {
  EventLoop loop;
  std::string order;
  loop.AddTimer(milliseconds(5), [&] { order += 'a'; });
  loop.AddTimer(milliseconds(5), [&] { order += 'b'; });
  auto stopper = loop.AddTimer(milliseconds(30), [&] { loop.Stop(); });
  (void)stopper;
  loop.Run();
  ASSERT_GE(order.size(), 2u);
  EXPECT_EQ(order.substr(0, 2), "ab");
}

TEST(EventLoop, TimerSwitchedOffInsideItsTickStaysOff) {
  EventLoop loop;
  int ticks = 0;
  EventLoop::TimerId t = 0;
  t = loop.AddTimer(milliseconds(1), [&] {
    ++ticks;
    loop.SetTimerEnabled(t, false);
  });
  loop.AddTimer(milliseconds(40), [&] { loop.Stop(); });
  loop.Run();
  EXPECT_EQ(ticks, 1);
  EXPECT_FALSE(loop.TimerEnabled(t));
}

TEST(EventLoop, YieldIsReentrantAndNeverReentersARunningTimer) {
  EventLoop loop;
  int outer_depth = 0, max_depth = 0, inner_ticks = 0;
  loop.AddTimer(milliseconds(1), [&] {
    ++outer_depth;
    max_depth = std::max(max_depth, outer_depth);
    // Yield for a while: the other timer runs, this one must not re-enter.
    for (int i = 0; i < 20; ++i) {
      usleep(1000);
      loop.Yield();
    }
    --outer_depth;
    loop.Stop();
  });
  loop.AddTimer(milliseconds(1), [&] {
    ++inner_ticks;
    loop.Yield();  // nested yield inside a yield
  });
  loop.Run();
  EXPECT_EQ(max_depth, 1);
  EXPECT_GT(inner_ticks, 1);
}

TEST(EventLoop, RemovingATimerFromItsOwnHandlerIsSafe) {
  EventLoop loop;
  int ticks = 0;
  EventLoop::TimerId t = 0;
  t = loop.AddTimer(milliseconds(1), [&] {
    ++ticks;
    loop.RemoveTimer(t);
  });
  loop.AddTimer(milliseconds(20), [&] { loop.Stop(); });
  loop.Run();
  EXPECT_EQ(ticks, 1);
}

TEST(EventLoop, WatchReportsReadableAndUnwatchStops) {
  EventLoop loop;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  std::string got;
  loop.Watch(fds[0], EventLoop::kReadable, [&](unsigned ev) {
    EXPECT_TRUE(ev & EventLoop::kReadable);
    char buf[16];
    ssize_t n = read(fds[0], buf, sizeof buf);
    if (n > 0) got.append(buf, n);
    loop.Unwatch(fds[0]);
    loop.Stop();
  });
  ASSERT_EQ(write(fds[1], "hi", 2), 2);
  loop.Run();
  EXPECT_EQ(got, "hi");
  EXPECT_FALSE(loop.Watching(fds[0]));
  close(fds[0]);
  close(fds[1]);
}

TEST(EventLoop, ExceptionsFromHandlersAreReportedAndTheLoopGoesOn) {
  EventLoop loop;
  std::vector<std::string> reported;
  loop.SetUncaughtHandler([&](const char* what) { reported.emplace_back(what); });
  int after = 0;
  EventLoop::TimerId t = 0;
  t = loop.AddTimer(milliseconds(1), [&] {
    loop.RemoveTimer(t);
    throw std::runtime_error("boom");
  });
  loop.AddTimer(milliseconds(10), [&] {
    ++after;
    loop.Stop();
  });
  loop.Run();
  ASSERT_EQ(reported.size(), 1u);
  EXPECT_EQ(reported[0], "boom");
  EXPECT_EQ(after, 1);
}

TEST(EventLoop, SigtermStopsAfterTheCurrentTickHasFinished) {
  EventLoop loop;
  loop.HandleSignals(nullptr);
  bool tick_finished = false;
  int ticks = 0;
  loop.AddTimer(milliseconds(1), [&] {
    ++ticks;
    raise(SIGTERM);
    loop.Yield();  // the signal is seen here, inside the tick
    EXPECT_TRUE(loop.StopRequested());
    tick_finished = true;
  });
  loop.Run();
  EXPECT_TRUE(tick_finished);
  EXPECT_EQ(ticks, 1);
}

TEST(EventLoop, SighupRunsTheReloadCallback) {
  EventLoop loop;
  int reloads = 0;
  loop.HandleSignals([&] {
    ++reloads;
    loop.Stop();
  });
  loop.AddTimer(milliseconds(1), [&] { raise(SIGHUP); });
  loop.Run();
  EXPECT_EQ(reloads, 1);
}

TEST(EventLoop, RunsAgainAfterAStop) {
  EventLoop loop;
  int ticks = 0;
  loop.AddTimer(milliseconds(1), [&] {
    ++ticks;
    loop.Stop();
  });
  loop.Run();
  loop.Run();
  EXPECT_EQ(ticks, 2);
}

TEST(EventLoop, DoEventsUsesTheCurrentLoop) {
  EventLoop loop;
  int ticks = 0;
  loop.AddTimer(milliseconds(0), [&] { ++ticks; });
  usleep(2000);
  DoEvents();
  EXPECT_EQ(ticks, 1);
}

}  // namespace
}  // namespace norv

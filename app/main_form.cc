#include "app/main_form.h"

#include <chrono>

#include "app/alive.h"

#include <cstring>
#include <string>
#include <vector>

#include "app/interrupted_writes.h"
#include "core/error.h"

namespace norv {

MainForm::MainForm(EventLoop& loop, Service& service)
    : loop_(loop),
      service_(service),
      send_alive_([&service] { SendAlive(service.settings, service.log); }) {
  using std::chrono::milliseconds;
  timer_progress_ = loop_.AddTimer(milliseconds(250), [this] { TimerProgress_Timer(); });
  timer_alive_ = loop_.AddTimer(milliseconds(5000), [this] { TimerAlive_Timer(); });
}

MainForm::~MainForm() {
  loop_.RemoveTimer(timer_progress_);
  loop_.RemoveTimer(timer_alive_);
}

void MainForm::Start() {
  LoadAndReport();
  service_.codes.ReadProcedureIDs(service_.fs, service_.program_dir, service_.log);
  caption_ = service_.settings.Caption;
  // What an interrupted write (a crash, kill -9) left behind goes before
  // anything is written again.
  for (const Leftover& left : RemoveInterruptedWrites(service_.fs, service_.settings.Temp,
                                                      service_.program_dir + "/RenameOrders")) {
    if (left.error == 0) {
      service_.log.WriteErrorLog(0, "Removed what an interrupted write left behind (" +
                                        left.path + ")", "MainForm Start");
    } else {
      service_.log.WriteErrorLog(kErrPathFileAccess,
                                 std::string("Cannot remove what an interrupted write left "
                                             "behind: ") + std::strerror(left.error) + " (" +
                                     left.path + ")",
                                 "MainForm Start");
    }
  }
}

// Loads the settings; a settings file that cannot be read (every value then
// takes its default) is logged when it starts and once a minute at most.
void MainForm::LoadAndReport() {
  const std::string problem = LoadSettings(service_.source, service_.settings);
  std::vector<std::string> lines =
      problem.empty() ? settings_problems_.Cleared()
                      : settings_problems_.Occurred(
                            "The settings file " + service_.source.file + " " + problem +
                                "; every value takes its default",
                            RepeatLimiter::Clock::now());
  for (const std::string& line : lines) service_.log.WriteErrorLog(0, line, "LoadSettings");
}

void MainForm::TimerProgress_Timer() {
  if (in_tick_) return;
  in_tick_ = true;
  loop_.SetTimerEnabled(timer_progress_, false);
  const bool took = RunInboundTick(service_.intake, cycle_);
  in_tick_ = false;
  WatchInboundDirectories();
  // With DrainBacklog the next file is taken as soon as the loop has run
  // what else is due (timers, signals, the heartbeat); otherwise, and once
  // nothing waits, after the tick interval.
  using std::chrono::milliseconds;
  milliseconds interval = tick_override_.count() > 0
                              ? tick_override_
                              : milliseconds(service_.settings.TickInterval);
  if (took && service_.settings.DrainBacklog == 1) interval = milliseconds(0);
  loop_.SetTimerInterval(timer_progress_, interval);
  loop_.SetTimerEnabled(timer_progress_, true);
  try {
    if (after_progress_) after_progress_();
  } catch (...) {
  }
}

// With WatchInbound the loop wakes when a directory's watch reports a file
// that arrived complete, and the tick runs at once instead of at the next
// interval; the interval stays as the fallback for everything else.
void MainForm::WatchInboundDirectories() {
  const bool wanted = service_.settings.WatchInbound == 1;
  for (auto& [dir, queue] : cycle_.queues) {
    const int fd = queue->watch_fd();
    if (fd < 0) continue;
    if (!wanted) {
      if (loop_.Watching(fd)) loop_.Unwatch(fd);
      continue;
    }
    if (loop_.Watching(fd)) continue;
    InboundQueue* watched = queue.get();
    loop_.Watch(fd, EventLoop::kReadable, [this, watched](unsigned) {
      if (watched->Poll() > 0 && !in_tick_) TimerProgress_Timer();
    });
  }
}

void MainForm::Reload() {
  LoadAndReport();
  caption_ = service_.settings.Caption;
}

void MainForm::TimerAlive_Timer() {
  try {
    loop_.Yield();
    if (send_alive_) send_alive_();
    ++alive_tick_count_;
    if (alive_tick_count_ > 5) {
      alive_tick_count_ = 0;
      Reload();
    }
  } catch (...) {
    service_.log.LogCaughtError("TimerAlive");
  }
  if (after_alive_) after_alive_();
}

}  // namespace norv

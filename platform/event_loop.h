// The program's single-threaded message loop: repeating timers, file-descriptor
// readiness watches and termination signals, all dispatched on the thread that
// calls Run(). It replaces the hidden window and its message queue.
//
// Handlers may call Yield() (the program's DoEvents) to let pending events run;
// Yield is re-entrant, and a timer whose handler is still running is never
// re-entered. Removing a timer or watch during dispatch is safe.
#ifndef NORV_PLATFORM_EVENT_LOOP_H_
#define NORV_PLATFORM_EVENT_LOOP_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <typeindex>
#include <typeinfo>

namespace norv {

class EventLoop {
 public:
  using Callback = std::function<void()>;
  // Receives the ready events (kReadable | kWritable | kHangup).
  using WatchCallback = std::function<void(unsigned events)>;
  using TimerId = std::uint64_t;

  static constexpr unsigned kReadable = 1;
  static constexpr unsigned kWritable = 2;
  static constexpr unsigned kHangup = 4;  // error or hang-up; always reported

  EventLoop();
  ~EventLoop();
  EventLoop(const EventLoop&) = delete;
  EventLoop& operator=(const EventLoop&) = delete;

  // Adds a timer that fires every `interval` while enabled. The interval counts
  // from the moment the timer is enabled or last fired. Timers due at the same
  // moment fire in order of creation.
  TimerId AddTimer(std::chrono::milliseconds interval, Callback callback,
                   bool enabled = true);
  // Enabling a timer restarts its interval from now; disabling stops it.
  void SetTimerEnabled(TimerId id, bool enabled);
  bool TimerEnabled(TimerId id) const;
  void SetTimerInterval(TimerId id, std::chrono::milliseconds interval);
  void RemoveTimer(TimerId id);

  // Watches `fd` for the given events, replacing any earlier watch on it.
  void Watch(int fd, unsigned events, WatchCallback callback);
  void Unwatch(int fd);
  bool Watching(int fd) const;

  // Dispatches events until Stop() is called (a Stop() before Run() does not
  // count). Between events the thread sleeps; the loop can be run again.
  void Run();
  // Dispatches whatever is ready now and returns without waiting.
  void Yield();
  // Makes Run() return once the handler now running (if any) has finished.
  void Stop();
  bool StopRequested() const { return stop_; }

  // SIGTERM and SIGINT call Stop(); `on_hangup` (may be empty) runs on SIGHUP.
  // Signals are delivered through the loop, never inside a signal handler.
  void HandleSignals(Callback on_hangup);

  // Called with a description when a handler lets an exception escape; the
  // loop itself always goes on.
  void SetUncaughtHandler(std::function<void(const char* what)> handler);

  // The loop that is running or was most recently created on this thread.
  static EventLoop* Current();

  // An object of type T that belongs to this loop and lives as long as it,
  // made on first use; one per type. Libraries that route the loop's events
  // to their own objects keep their registries here.
  template <typename T>
  T& Local() {
    std::shared_ptr<void>& slot = locals_[std::type_index(typeid(T))];
    if (!slot) slot = std::make_shared<T>();
    return *static_cast<T*>(slot.get());
  }

 private:
  struct Timer;
  struct WatchEntry;
  using Clock = std::chrono::steady_clock;

  void Dispatch(bool may_wait);
  void RunTimers();
  void Guard(const std::function<void()>& fn);

  std::map<TimerId, std::shared_ptr<Timer>> timers_;
  std::map<int, std::shared_ptr<WatchEntry>> watches_;
  TimerId next_timer_ = 1;
  bool stop_ = false;
  int signal_pipe_[2] = {-1, -1};
  Callback on_hangup_;
  std::function<void(const char*)> uncaught_;
  EventLoop* previous_current_ = nullptr;
  std::map<std::type_index, std::shared_ptr<void>> locals_;
};

// Lets pending events of the current loop run (no-op when there is none).
void DoEvents();

}  // namespace norv

#endif  // NORV_PLATFORM_EVENT_LOOP_H_

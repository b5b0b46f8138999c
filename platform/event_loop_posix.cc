// poll()-based implementation of the message loop.
#include "platform/event_loop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <vector>

namespace norv {

struct EventLoop::Timer {
  std::chrono::milliseconds interval;
  Callback callback;
  bool enabled = false;
  bool running = false;
  bool removed = false;
  Clock::time_point due;
};

struct EventLoop::WatchEntry {
  int fd;
  unsigned events;
  WatchCallback callback;
  bool removed = false;
};

namespace {

thread_local EventLoop* tl_current = nullptr;
// The write end of the pipe of the loop that handles signals; the handler only
// writes the signal number into it.
volatile sig_atomic_t g_signal_fd = -1;

void OnSignal(int signo) {
  int saved = errno;
  int fd = g_signal_fd;
  if (fd >= 0) {
    unsigned char b = static_cast<unsigned char>(signo);
    ssize_t r = write(fd, &b, 1);
    (void)r;
  }
  errno = saved;
}

short ToPoll(unsigned events) {
  short p = 0;
  if (events & EventLoop::kReadable) p |= POLLIN;
  if (events & EventLoop::kWritable) p |= POLLOUT;
  return p;
}

unsigned FromPoll(short revents) {
  unsigned e = 0;
  if (revents & (POLLIN | POLLPRI)) e |= EventLoop::kReadable;
  if (revents & POLLOUT) e |= EventLoop::kWritable;
  if (revents & (POLLERR | POLLHUP | POLLNVAL)) e |= EventLoop::kHangup;
  return e;
}

}  // namespace

EventLoop::EventLoop() {
  previous_current_ = tl_current;
  tl_current = this;
}

EventLoop::~EventLoop() {
  if (signal_pipe_[1] >= 0) {
    if (g_signal_fd == signal_pipe_[1]) {
      g_signal_fd = -1;
      signal(SIGTERM, SIG_DFL);
      signal(SIGINT, SIG_DFL);
      signal(SIGHUP, SIG_DFL);
    }
    close(signal_pipe_[0]);
    close(signal_pipe_[1]);
  }
  if (tl_current == this) tl_current = previous_current_;
}

EventLoop* EventLoop::Current() { return tl_current; }

EventLoop::TimerId EventLoop::AddTimer(std::chrono::milliseconds interval,
                                       Callback callback, bool enabled) {
  auto t = std::make_shared<Timer>();
  t->interval = interval;
  t->callback = std::move(callback);
  t->enabled = enabled;
  t->due = Clock::now() + interval;
  TimerId id = next_timer_++;
  timers_[id] = std::move(t);
  return id;
}

void EventLoop::SetTimerEnabled(TimerId id, bool enabled) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  Timer& t = *it->second;
  if (enabled && !t.enabled) t.due = Clock::now() + t.interval;
  t.enabled = enabled;
}

bool EventLoop::TimerEnabled(TimerId id) const {
  auto it = timers_.find(id);
  return it != timers_.end() && it->second->enabled;
}

void EventLoop::SetTimerInterval(TimerId id, std::chrono::milliseconds interval) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->interval = interval;
  it->second->due = Clock::now() + interval;
}

void EventLoop::RemoveTimer(TimerId id) {
  auto it = timers_.find(id);
  if (it == timers_.end()) return;
  it->second->removed = true;
  it->second->enabled = false;
  timers_.erase(it);
}

void EventLoop::Watch(int fd, unsigned events, WatchCallback callback) {
  auto it = watches_.find(fd);
  if (it != watches_.end()) it->second->removed = true;
  auto w = std::make_shared<WatchEntry>();
  w->fd = fd;
  w->events = events;
  w->callback = std::move(callback);
  watches_[fd] = std::move(w);
}

void EventLoop::Unwatch(int fd) {
  auto it = watches_.find(fd);
  if (it == watches_.end()) return;
  it->second->removed = true;
  watches_.erase(it);
}

bool EventLoop::Watching(int fd) const { return watches_.count(fd) != 0; }

void EventLoop::SetUncaughtHandler(std::function<void(const char*)> handler) {
  uncaught_ = std::move(handler);
}

void EventLoop::HandleSignals(Callback on_hangup) {
  on_hangup_ = std::move(on_hangup);
  if (signal_pipe_[0] < 0) {
    if (pipe2(signal_pipe_, O_CLOEXEC | O_NONBLOCK) != 0) return;
  }
  g_signal_fd = signal_pipe_[1];
  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGHUP, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
}

void EventLoop::Stop() { stop_ = true; }

void EventLoop::Run() {
  EventLoop* saved = tl_current;
  tl_current = this;
  // A signal that arrived before Run() still waits in the pipe and stops
  // this run; an earlier Stop() belongs to an earlier run.
  stop_ = false;
  while (!stop_) Dispatch(true);
  tl_current = saved;
}

void EventLoop::Yield() { Dispatch(false); }

void EventLoop::Guard(const std::function<void()>& fn) {
  try {
    fn();
  } catch (const std::exception& e) {
    if (uncaught_) uncaught_(e.what());
  } catch (...) {
    if (uncaught_) uncaught_("unknown exception");
  }
}

void EventLoop::RunTimers() {
  // Collect the due timers first: handlers may add, remove or re-arm timers.
  auto now = Clock::now();
  std::vector<std::pair<TimerId, std::shared_ptr<Timer>>> due;
  for (auto& [id, t] : timers_) {
    if (t->enabled && !t->running && t->due <= now) due.emplace_back(id, t);
  }
  std::stable_sort(due.begin(), due.end(), [](const auto& a, const auto& b) {
    return a.second->due < b.second->due;
  });
  for (auto& [id, t] : due) {
    if (t->removed || !t->enabled || t->running) continue;
    t->due = Clock::now() + t->interval;  // re-arm before the handler runs
    t->running = true;
    Guard(t->callback);
    t->running = false;
  }
}

void EventLoop::Dispatch(bool may_wait) {
  std::vector<pollfd> fds;
  std::vector<std::shared_ptr<WatchEntry>> entries;
  if (signal_pipe_[0] >= 0) fds.push_back({signal_pipe_[0], POLLIN, 0});
  for (auto& [fd, w] : watches_) {
    fds.push_back({fd, ToPoll(w->events), 0});
    entries.push_back(w);
  }

  int timeout = 0;
  if (may_wait) {
    timeout = -1;
    auto now = Clock::now();
    for (auto& [id, t] : timers_) {
      if (!t->enabled || t->running) continue;
      auto ms = std::chrono::ceil<std::chrono::milliseconds>(t->due - now).count();
      if (ms < 0) ms = 0;
      if (timeout < 0 || ms < timeout) timeout = static_cast<int>(ms);
    }
  }

  int n = poll(fds.data(), fds.size(), timeout);
  if (n < 0 && errno != EINTR) n = 0;
  if (n > 0) {
    std::size_t first = 0;
    if (signal_pipe_[0] >= 0) {
      first = 1;
      if (fds[0].revents & POLLIN) {
        unsigned char buf[64];
        ssize_t r;
        while ((r = read(signal_pipe_[0], buf, sizeof buf)) > 0) {
          for (ssize_t i = 0; i < r; ++i) {
            if (buf[i] == SIGHUP) {
              if (on_hangup_) Guard(on_hangup_);
            } else {
              Stop();
            }
          }
        }
      }
    }
    for (std::size_t i = first; i < fds.size(); ++i) {
      if (fds[i].revents == 0) continue;
      auto& w = entries[i - first];
      if (w->removed) continue;  // unwatched by an earlier handler
      unsigned ev = FromPoll(fds[i].revents);
      std::shared_ptr<WatchEntry> keep = w;
      Guard([&] { keep->callback(ev); });
    }
  }
  RunTimers();
}

void DoEvents() {
  if (EventLoop* loop = EventLoop::Current()) loop->Yield();
}

}  // namespace norv

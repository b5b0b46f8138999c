// The program's form: owns the two timers on the message loop (TimerProgress,
// 250 ms, drives the inbound cycle; TimerAlive, 5000 ms, the heartbeat and the
// periodic settings reload), the caption and the state the ticks keep.
// Everything runs on the loop's thread.
#ifndef NORV_APP_MAIN_FORM_H_
#define NORV_APP_MAIN_FORM_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>

#include "app/service.h"
#include "core/repeat_limiter.h"
#include "intake/inbound_cycle.h"
#include "platform/event_loop.h"

namespace norv {

class MainForm {
 public:
  // Creates the timers, enabled, on `loop`; they tick once Start() has run
  // and the loop runs. `service` must outlive the form.
  MainForm(EventLoop& loop, Service& service);
  ~MainForm();
  MainForm(const MainForm&) = delete;
  MainForm& operator=(const MainForm&) = delete;

  // Start-up: load the settings, read the procedure codes, set the caption.
  void Start();

  // The timer handlers (public so tests can drive a tick directly).
  void TimerProgress_Timer();
  void TimerAlive_Timer();

  // Reloads the settings and the caption now (the sixth alive tick; SIGHUP).
  void Reload();

  const std::string& caption() const { return caption_; }
  std::int16_t AliveTickCount() const { return alive_tick_count_; }
  EventLoop::TimerId TimerProgress() const { return timer_progress_; }
  EventLoop::TimerId TimerAlive() const { return timer_alive_; }
  InboundCycle& cycle() { return cycle_; }
  Service& service() { return service_; }

  // Sends the alive datagram; replaced in tests. Defaults to SendAlive.
  void SetAliveSender(std::function<void()> sender) { send_alive_ = std::move(sender); }
  // Replaces the TickInterval setting's interval (tests and benchmarks);
  // 0 restores it.
  void SetTickOverride(std::chrono::milliseconds interval) { tick_override_ = interval; }
  // Called after every alive tick (the service watchdog uses it).
  void SetAfterAliveTick(std::function<void()> hook) { after_alive_ = std::move(hook); }
  // Called after every processing tick (the state record counts them); what
  // it throws is ignored.
  void SetAfterProgressTick(std::function<void()> hook) { after_progress_ = std::move(hook); }

 private:
  EventLoop& loop_;
  Service& service_;
  EventLoop::TimerId timer_progress_;
  EventLoop::TimerId timer_alive_;
  std::string caption_;
  std::int16_t alive_tick_count_ = 0;
  InboundCycle cycle_;
  std::function<void()> send_alive_;
  std::function<void()> after_alive_;
  std::chrono::milliseconds tick_override_{0};
  bool in_tick_ = false;
  RepeatLimiter settings_problems_;
  std::function<void()> after_progress_;

  void WatchInboundDirectories();
  void LoadAndReport();
};

}  // namespace norv

#endif  // NORV_APP_MAIN_FORM_H_

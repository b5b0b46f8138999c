#include "app/main_form.h"

#include <chrono>

#include "app/alive.h"

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
  LoadSettings(service_.source, service_.settings);
  service_.codes.ReadProcedureIDs(service_.fs, service_.program_dir, service_.log);
  caption_ = service_.settings.Caption;
}

void MainForm::TimerProgress_Timer() {
  loop_.SetTimerEnabled(timer_progress_, false);
  RunInboundTick(service_.intake, cycle_);
  loop_.SetTimerEnabled(timer_progress_, true);
  try {
    if (after_progress_) after_progress_();
  } catch (...) {
  }
}

void MainForm::Reload() {
  LoadSettings(service_.source, service_.settings);
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

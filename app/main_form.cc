#include "app/main_form.h"

#include <chrono>

#include "app/alive.h"
#include "app/log.h"
#include "app/procedure_codes.h"
#include "app/settings.h"

namespace norv {

MainForm::MainForm(EventLoop& loop) : loop_(loop), send_alive_(SendAlive) {
  using std::chrono::milliseconds;
  timer_progress_ = loop_.AddTimer(milliseconds(250), [this] { TimerProgress_Timer(); });
  timer_alive_ = loop_.AddTimer(milliseconds(5000), [this] { TimerAlive_Timer(); });
}

MainForm::~MainForm() {
  loop_.RemoveTimer(timer_progress_);
  loop_.RemoveTimer(timer_alive_);
}

void MainForm::Start() {
  LoadSettings();
  ReadProcedureIDs();
  caption_ = settings().Caption;
}

void MainForm::TimerProgress_Timer() {
  loop_.SetTimerEnabled(timer_progress_, false);
  RunInboundTick(cycle_);
  loop_.SetTimerEnabled(timer_progress_, true);
}

void MainForm::Reload() {
  LoadSettings();
  caption_ = settings().Caption;
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
    LogCaughtError("TimerAlive");
  }
  if (after_alive_) after_alive_();
}

}  // namespace norv

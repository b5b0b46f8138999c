// norvreader: the unattended HL7 interface service. Runs the message loop
// until SIGTERM or SIGINT; exits 0 then.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/alive.h"
#include "app/command_line.h"
#include "app/config_check.h"
#include "app/error.h"
#include "app/inbound_queue.h"
#include "app/log.h"
#include "app/main_form.h"
#include "app/requeue.h"
#include "app/service_publisher.h"
#include "app/settings.h"
#include "app/status.h"
#include "platform/event_loop.h"
#include "platform/service_notify.h"
#include "platform/system.h"

#ifndef NORV_VERSION
#define NORV_VERSION "0.0.0"
#endif

int main(int argc, char** argv) {
  using norv::CommandLine;
  std::vector<std::string> args(argv + 1, argv + argc);
  const char* env_home = std::getenv("NORVREADER_HOME");
  const char* env_settings = std::getenv("NORVREADER_SETTINGS");
  CommandLine cl = norv::ParseCommandLine(args, env_home ? env_home : "",
                                          env_settings ? env_settings : "",
                                          norv::ExecutableDirectory());
  switch (cl.action) {
    case CommandLine::Action::kVersion:
      std::printf("norvreader %s\n", NORV_VERSION);
      return 0;
    case CommandLine::Action::kHelp:
      std::fputs(norv::UsageText().c_str(), stdout);
      return 0;
    case CommandLine::Action::kUsageError:
      std::fprintf(stderr, "norvreader: %s\n\n%s", cl.error.c_str(), norv::UsageText().c_str());
      return 2;
    case CommandLine::Action::kRun:
    case CommandLine::Action::kCheck:
    case CommandLine::Action::kStatus:
    case CommandLine::Action::kRequeue:
      break;
  }

  norv::SetProgramDir(cl.home);
  norv::SetSettingsFile(cl.settings_file);
  norv::SetInstance(cl.instance);
  if (cl.action == CommandLine::Action::kCheck) return norv::RunConfigurationCheck(stdout);
  // Operations commands: read the settings as the service would, then act.
  if (cl.action == CommandLine::Action::kStatus || cl.action == CommandLine::Action::kRequeue) {
    norv::LoadSettings();
    const norv::Settings& s = norv::settings();
    if (cl.action == CommandLine::Action::kStatus) {
      return norv::RunStatus(s, cl.home, cl.instance, cl.json, stdout);
    }
    return norv::RunRequeue(cl.paths, norv::InboundDirectories(s.InboundPath, s.ExportPathList),
                            s.FileSuffix, cl.dry_run, stdout, stderr);
  }

  norv::EventLoop loop;
  norv::MainForm form(loop);
  loop.SetUncaughtHandler([](const char* what) { norv::WriteErrorLog(5, what, "MainForm"); });
  loop.HandleSignals([&form] {
    norv::NotifyReloading();
    form.Reload();
    norv::NotifyReady();
  });
  // The state record for --status and the metrics file: counts from the
  // processing tick, the heartbeat and the error log; published on the
  // alive tick.
  norv::ServiceStateRecorder state(getpid(), NORV_VERSION);
  norv::ServicePublisher publisher(state, norv::settings(), cl.home, cl.instance,
                                   [](std::int32_t n, const std::string& d) {
                                     norv::WriteErrorLog(n, d, "ServiceState");
                                   });
  publisher.CarryOverEarlierRun();
  form.cycle().on_tick = [&state](bool took_file, const std::string& event, bool ok, double seconds) {
    state.RecordTick();
    if (took_file) state.RecordMessage(event, ok ? norv::Outcome::kProcessed : norv::Outcome::kFailed, seconds);
  };
  norv::SetErrorLogObserver([&state](std::int32_t number, std::string_view) {
    if (number == norv::kErrDatabase) state.RecordDatabaseError(false);
  });
  form.SetAliveSender([&state] {
    norv::SendAlive();
    if (!norv::settings().Caption.empty()) state.RecordHeartbeat();  // empty: nothing was sent
  });
  form.SetAfterAliveTick([&] {
    norv::NotifyWatchdog();
    publisher.Publish(form.cycle().reported_files.size());
  });
  // Tests and benchmarks drain large batches faster than one file per 250 ms.
  if (const char* ms = std::getenv("NORVREADER_TICK_MS")) {
    int v = std::atoi(ms);
    if (v > 0 && v < 250) loop.SetTimerInterval(form.TimerProgress(), std::chrono::milliseconds(v));
  }
  form.Start();
  publisher.Publish(0);
  norv::NotifyReady();
  loop.Run();
  norv::NotifyStopping();
  norv::SetErrorLogObserver(nullptr);
  publisher.PublishStopped();
  return 0;
}

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
#include "app/main_form.h"
#include "operations/queue_summary.h"
#include "operations/requeue.h"
#include "app/service.h"
#include "operations/service_publisher.h"
#include "operations/service_state.h"
#include "operations/status.h"
#include "core/error.h"
#include "core/settings.h"
#include "intake/inbound_cycle.h"
#include "intake/inbound_queue.h"
#include "platform/event_loop.h"
#include "platform/file_system.h"
#include "platform/service_notify.h"
#include "platform/system.h"
#include "receive/inbound_spool.h"
#include "receive/receive_command.h"

// The receiver numbers files for the service's inbound cycle; the two
// folders cannot see each other, so the limit is checked where both are.
static_assert(norv::kServiceNumberLimit == norv::kInboundNumberLimit);

#ifndef NORV_VERSION
#define NORV_VERSION "0.0.0"
#endif

#if defined(__SANITIZE_ADDRESS__)
// psqlODBC leaks a few hundred bytes when a connection dies under an open
// statement (a server stopped mid-batch); the leak is the driver's own, as
// in the database tests, and must not fail the sanitizer runs of the service.
extern "C" const char* __lsan_default_suppressions() { return "leak:psqlodbcw.so\n"; }
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
    case CommandLine::Action::kReceive:
    case CommandLine::Action::kStatus:
    case CommandLine::Action::kRequeue:
      break;
  }

  norv::FileSystem& fs = norv::PlatformFileSystem();
  const norv::SettingsSource source{cl.settings_file, cl.instance};
  if (cl.action == CommandLine::Action::kCheck) {
    return norv::RunConfigurationCheck(stdout, fs, source, cl.home);
  }
  if (cl.action == CommandLine::Action::kReceive) {
    return norv::RunReceiver(fs, source, cl.home);
  }
  // Operations commands: read the settings as the service would, then act.
  if (cl.action == CommandLine::Action::kStatus || cl.action == CommandLine::Action::kRequeue) {
    norv::Settings s;
    std::string problem = norv::LoadSettings(source, s);
    if (!problem.empty()) problem = "the settings file " + cl.settings_file + ": " + problem;
    if (cl.action == CommandLine::Action::kStatus) {
      return norv::RunStatus(s, cl.home, cl.instance, cl.json, stdout, problem);
    }
    if (!problem.empty()) {
      std::fprintf(stderr, "norvreader: %s\n", problem.c_str());
      return 1;
    }
    return norv::RunRequeue(cl.paths, norv::InboundDirectories(s.InboundPath, s.ExportPathList),
                            s.FileSuffix, cl.dry_run, stdout, stderr);
  }

  // The signals are taken over first: a SIGHUP or SIGTERM while the
  // service starts is handled once the loop runs, never by the default
  // action that would end the process.
  norv::EventLoop loop;
  norv::MainForm* running = nullptr;
  loop.HandleSignals([&running] {
    if (running == nullptr) return;
    norv::NotifyReloading();
    running->Reload();
    norv::NotifyReady();
  });
  // Everything the service owns lives here, for the whole run. Benchmarks
  // compare with a new connection per procedure call and no transaction
  // per message (NORVREADER_CONNECTION_PER_CALL=1).
  const char* per_call = std::getenv("NORVREADER_CONNECTION_PER_CALL");
  const bool connection_per_call = per_call != nullptr && std::string(per_call) == "1";
  norv::Service service(fs, cl.home, source, norv::LocalNow,
                        connection_per_call ? norv::ConnectionMode::kPerCall
                                            : norv::ConnectionMode::kReused);
  norv::MainForm form(loop, service);
  running = &form;
  loop.SetUncaughtHandler(
      [&service](const char* what) { service.log.WriteErrorLog(5, what, "MainForm"); });
  // The state record for --status and the metrics file: counts from the
  // processing tick, the files taken, the heartbeat and the error log;
  // published on the alive tick.
  norv::ServiceStateRecorder state(getpid(), NORV_VERSION);
  norv::ServicePublisher publisher(state, service.settings, fs, cl.home, cl.instance,
                                   [&service](std::int32_t n, const std::string& d) {
                                     service.log.WriteErrorLog(n, d, "ServiceState");
                                   });
  publisher.CarryOverEarlierRun();
  form.SetAfterProgressTick([&state] { state.RecordTick(); });
  form.cycle().on_taken = [&state](const norv::TakenFile& file) {
    // A file held by a database outage is neither processed nor failed: it
    // is taken again. The outage itself is counted, once.
    if (file.outage_began) state.RecordDatabaseError(true);
    if (file.outage_ended) state.RecordDatabaseReachable();
    if (!file.held) state.RecordMessage(file.event, file.outcome, file.seconds);
  };
  // Database errors are counted where the database layer logs them; the
  // cycle's own line about an outage is counted by on_taken above.
  service.log.SetErrorObserver([&state](std::int32_t number, std::string_view source) {
    if (number == norv::kErrDatabase && source != norv::kInboundTickSource) {
      state.RecordDatabaseError(false);
    }
  });
  form.SetAliveSender([&state, &service] {
    norv::SendAlive(service.settings, service.log);
    if (!service.settings.Caption.empty()) state.RecordHeartbeat();  // empty: nothing was sent
  });
  form.SetAfterAliveTick([&] {
    norv::NotifyWatchdog();
    publisher.Publish(form.cycle().reported_files.size(), form.cycle().undisposable.size(),
                      &form.cycle().queues);
  });
  // Tests and benchmarks drain large batches faster than one file per 250 ms.
  if (const char* ms = std::getenv("NORVREADER_TICK_MS")) {
    int v = std::atoi(ms);
    if (v > 0 && v < 250) {
      form.SetTickOverride(std::chrono::milliseconds(v));
      loop.SetTimerInterval(form.TimerProgress(), std::chrono::milliseconds(v));
    }
  }
  form.Start();
  publisher.Publish(0, 0);
  norv::NotifyReady();
  loop.Run();
  norv::NotifyStopping();
  service.log.SetErrorObserver(nullptr);
  publisher.PublishStopped();
  return 0;
}

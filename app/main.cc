// norvreader: the unattended HL7 interface service. Runs the message loop
// until SIGTERM or SIGINT; exits 0 then.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include <unistd.h>

#include "app/alive.h"
#include "app/command_line.h"
#include "app/config_check.h"
#include "app/main_form.h"
#include "app/service.h"
#include "core/error.h"
#include "core/settings.h"
#include "intake/inbound_cycle.h"
#include "intake/inbound_queue.h"
#include "operations/journal.h"
#include "operations/queue_summary.h"
#include "operations/requeue.h"
#include "operations/service_publisher.h"
#include "operations/service_state.h"
#include "operations/status.h"
#include "operations/trace.h"
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
    case CommandLine::Action::kTrace:
      break;
  }

  norv::FileSystem& fs = norv::PlatformFileSystem();
  const norv::SettingsSource source{cl.settings_file, cl.instance};
  if (cl.action == CommandLine::Action::kCheck) {
    return norv::RunConfigurationCheck(stdout, fs, source, cl.home);
  }
  const std::string journal_path = norv::JournalPath(cl.home, cl.instance);
  // The source of a journal failure line in either process's error log.
  static constexpr char kJournalSource[] = "MessageJournal";
  if (cl.action == CommandLine::Action::kReceive) {
    // The receiver adds a record per answered message to the instance's
    // journal (while JournalDays is above 0); the service prunes it.
    return norv::RunReceiver(
        fs, source, cl.home,
        [&journal_path](const norv::Settings& s, norv::Log& log, norv::ReceiverLog& reports) {
          auto writer = std::make_shared<norv::JournalWriter>(
              journal_path, s, [&log](const std::string& line) {
                log.WriteErrorLog(norv::kErrPathFileAccess, line, kJournalSource);
              });
          // One write per batch of answers, as the receiver stores them.
          reports.received = [writer](const norv::ReceivedMessage& m) {
            writer->Write(norv::RecordOfReceived(m));
          };
          reports.answered = [writer] { writer->Flush(); };
        });
  }
  if (cl.action == CommandLine::Action::kTrace) {
    norv::TraceQuery q;
    q.failed = cl.failed;
    q.json = cl.json;
    if (!cl.failed) q.text = cl.paths.front();
    if (cl.since == "today" || (cl.failed && cl.since.empty())) {
      q.since = norv::TodayStart();
    } else if (cl.since == "week") {
      q.since = norv::WeekStart();
    } else if (!cl.since.empty()) {
      std::optional<std::int64_t> since = norv::LocalDayStart(cl.since);
      if (!since) {
        std::fprintf(stderr, "norvreader: --since needs a date YYYY-MM-DD, got: %s\n",
                     cl.since.c_str());
        return 2;
      }
      q.since = *since;
    }
    return norv::RunTrace(journal_path, q, fs, stdout, stderr);
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
    std::optional<std::vector<std::string>> paths =
        norv::ResolveJournalPaths(journal_path, cl.paths, stderr);
    if (!paths) return 1;
    return norv::RunRequeue(*paths, norv::InboundDirectories(s.InboundPath, s.ExportPathList),
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
  // The message journal: a record per file taken, pruned on the alive tick.
  norv::JournalWriter journal(journal_path, service.settings, [&service](const std::string& line) {
    service.log.WriteErrorLog(norv::kErrPathFileAccess, line, kJournalSource);
  });
  form.SetAfterProgressTick([&state, &journal] {
    state.RecordTick();
    journal.FlushIfDue();
  });
  form.cycle().on_taken = [&state, &journal](const norv::TakenFile& file) {
    // A file held by a database outage is neither processed nor failed: it
    // is taken again. The outage itself is counted, once.
    if (file.outage_began) state.RecordDatabaseError(true);
    if (file.outage_ended) state.RecordDatabaseReachable();
    if (!file.held) state.RecordMessage(file.event, file.outcome, file.seconds);
    journal.Write(norv::RecordOfTaken(file));
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
    journal.Prune(static_cast<std::int64_t>(std::time(nullptr)));
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

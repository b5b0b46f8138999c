// norvreader: the unattended HL7 interface service. Runs the message loop
// until SIGTERM or SIGINT; exits 0 then.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "app/config_check.h"
#include "app/main_form.h"
#include "app/service.h"
#include "core/settings.h"
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
  form.SetAfterAliveTick(norv::NotifyWatchdog);
  // Tests and benchmarks drain large batches faster than one file per 250 ms.
  if (const char* ms = std::getenv("NORVREADER_TICK_MS")) {
    int v = std::atoi(ms);
    if (v > 0 && v < 250) {
      form.SetTickOverride(std::chrono::milliseconds(v));
      loop.SetTimerInterval(form.TimerProgress(), std::chrono::milliseconds(v));
    }
  }
  form.Start();
  norv::NotifyReady();
  loop.Run();
  norv::NotifyStopping();
  return 0;
}

// `norvreader --status [--json]`: one screen (or one JSON object) that tells
// whether the service of this instance runs, what waits in its inbound
// directories, what it handled today and this week, the last error-log lines,
// whether the database answers and whether the MLLP receiver listens. Reads
// only: the state record the service publishes, the inbound directories, the
// error log, the kernel's socket table and one trivial query. The exit code follows the monitoring-plugin
// convention (0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN) and the first line of
// the screen is the plugin's status line with performance data.
#ifndef NORV_OPERATIONS_STATUS_H_
#define NORV_OPERATIONS_STATUS_H_

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations/service_state.h"
#include "core/settings.h"

namespace norv {

// A record not rewritten for this long means the loop no longer turns (the
// service rewrites it every 5 s; systemd's watchdog gives it 60 s).
inline constexpr std::int64_t kStaleAfterSeconds = 60;

enum class StatusLevel { kOk = 0, kWarning = 1, kCritical = 2, kUnknown = 3 };
const char* StatusLevelName(StatusLevel level);  // "OK", "WARNING", ...

enum class ServiceRun {
  kRunning,     // the record's process lives and its last tick is recent
  kStalled,     // the process lives, but the record has not moved
  kStopped,     // the process is gone (stopped cleanly or not)
  kNeverRan,    // no record at all
  kUnreadable,  // a record that cannot be read
};
const char* ServiceRunName(ServiceRun run);  // "running", "stalled", ...

struct DatabaseProbe {
  bool reachable = false;
  double connect_seconds = 0;
  double query_seconds = 0;
  std::string error;  // Windows-1252
};

// Opens the database a DBServer value names (a relative SQLite path lies in
// `program_dir`, as for the service) and runs "SELECT 1", giving up after
// `timeout_seconds` as the service does (the DBTimeout setting).
DatabaseProbe ProbeDatabase(const std::string& db_server, const std::string& program_dir,
                            int timeout_seconds);

// The MLLP receiver (`norvreader --receive`, its own process) as the status
// sees it: whether the settings configure one and whether anything listens
// on its port. Nothing connects to it: a probe would be a peer it logs.
struct ReceiverProbe {
  bool configured = false;        // MLLPPort is not 0
  std::string bind;               // MLLPBind
  std::int32_t port = 0;          // MLLPPort
  std::optional<bool> listening;  // nullopt: cannot be told on this system
  // Messages it answered without writing them again (sent again within
  // MLLPDuplicateWindow); nullopt before its first run.
  std::optional<std::uint64_t> duplicates;
};

// Whether a TCP socket listens on `port`, read from the text of Linux's
// /proc/net/tcp or /proc/net/tcp6 (one socket per line, the local address
// "ADDR:PORT" in hex, the state 0A for listening).
bool ListensOnPort(std::string_view proc_net_tcp, int port);

// What the report is made from; the functions are seams for tests.
struct StatusInputs {
  const Settings* settings = nullptr;
  std::string program_dir;
  std::string instance;
  Moment now;
  std::function<bool(std::int64_t pid)> process_alive;  // default: kill(pid, 0)
  // Default: ProbeDatabase(DBServer, program_dir, DBTimeout).
  std::function<DatabaseProbe()> probe_database;
  // Default: ListensOnPort on /proc/net/tcp and tcp6 (nullopt without them).
  std::function<std::optional<bool>(int port)> port_listening;
};

struct StatusReport {
  std::string instance;
  std::string caption;  // Windows-1252
  std::int64_t now = 0;
  ServiceRun run = ServiceRun::kNeverRan;
  ServiceState state;          // as read (empty unless run is one of the first three)
  std::string state_problem;   // why the record could not be read
  std::vector<QueueFigures> queues;  // counted now
  // Counts of the current day and week (zeros when the record's are older).
  std::string day, week;
  EventCounts today, this_week;
  std::vector<std::string> last_errors;  // Windows-1252, oldest first
  DatabaseProbe database;
  ReceiverProbe receiver;
  StatusLevel level = StatusLevel::kOk;
  std::vector<std::string> reasons;  // why the level is not OK
  std::int64_t warn_age = 0, crit_age = 0;  // the thresholds applied
};

StatusReport GatherStatus(const StatusInputs& in);

// Sets `level` and `reasons` from the report's figures: CRITICAL when the
// service does not run, the database does not answer, an inbound directory
// cannot be listed or its oldest file waits longer than `crit_age`, or a
// configured MLLP receiver does not listen;
// UNKNOWN when the record cannot be read; WARNING when a file waits longer
// than `warn_age` or a message failed today.
void EvaluateStatus(StatusReport& report, std::int64_t warn_age, std::int64_t crit_age);

// The screen (UTF-8); the first line is "NORVREADER <LEVEL> - reasons | perfdata".
std::string FormatStatusScreen(const StatusReport& report);
// The same as one JSON object (UTF-8), ending in a line feed.
std::string FormatStatusJson(const StatusReport& report);
// `utf8` as a JSON string, quotes included.
std::string JsonString(std::string_view utf8);

// The last `count` lines of the error log "<program_dir>/Logs/NORVReaderError.log".
std::vector<std::string> LastErrorLogLines(const std::string& program_dir, std::size_t count);

// The whole command: gathers, prints, returns the exit code (3 when the
// status itself fails, or at once with `settings_problem` when the settings
// could not be read: without them the installation is unknown).
int RunStatus(const Settings& settings, const std::string& program_dir,
              const std::string& instance, bool json, std::FILE* out,
              const std::string& settings_problem = {});

}  // namespace norv

#endif  // NORV_OPERATIONS_STATUS_H_

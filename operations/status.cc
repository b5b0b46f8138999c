#include "operations/status.h"

#include <signal.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <ctime>
#include <fstream>
#include <iterator>

#include "operations/service_publisher.h"
#include "core/ansi.h"
#include "core/dates.h"
#include "db/database.h"
#include "platform/file_system.h"
#include "receive/receive_command.h"

namespace norv {
namespace {

constexpr std::size_t kErrorLines = 5;
constexpr std::size_t kErrorTailBytes = 64 * 1024;
constexpr std::size_t kMaxShownLine = 300;

// Whether anything listens on `port`, by the kernel's socket tables;
// nullopt where there are none to read.
std::optional<bool> PortListening(int port) {
  bool readable = false;
  for (const char* table : {"/proc/net/tcp", "/proc/net/tcp6"}) {
    std::ifstream in(table, std::ios::binary);
    if (!in) continue;
    readable = true;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (ListensOnPort(text, port)) return true;
  }
  if (!readable) return std::nullopt;
  return false;
}

bool ProcessAlive(std::int64_t pid) {
  if (pid <= 0) return false;
  return kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// Windows-1252 text for a terminal or JSON: UTF-8, control characters
// (escape sequences a message might carry) shown as '?'.
std::string Shown(std::string_view ansi) {
  std::string clean(ansi);
  for (char& c : clean) {
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  }
  return AnsiToUtf8(clean);
}

std::string LocalTimeText(std::int64_t unix_seconds, bool iso) {
  if (unix_seconds <= 0) return iso ? "" : "never";
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[40];
  std::strftime(buf, sizeof buf, iso ? "%Y-%m-%dT%H:%M:%S%z" : "%Y-%m-%d %H:%M:%S", &tm);
  std::string s = buf;
  if (iso && s.size() >= 5) s.insert(s.size() - 2, ":");  // +0100 -> +01:00
  return s;
}

std::string Duration(std::int64_t seconds) {
  if (seconds < 0) seconds = 0;
  auto two = [](std::int64_t a, const char* ua, std::int64_t b, const char* ub) {
    std::string s = std::to_string(a) + " " + ua;
    if (b > 0) s += " " + std::to_string(b) + " " + ub;
    return s;
  };
  if (seconds < 60) return std::to_string(seconds) + " s";
  if (seconds < 3600) return two(seconds / 60, "min", seconds % 60, "s");
  if (seconds < 86400) return two(seconds / 3600, "h", seconds % 3600 / 60, "min");
  return two(seconds / 86400, "d", seconds % 86400 / 3600, "h");
}

std::string Millis(double seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.1f ms", seconds * 1000.0);
  return buf;
}

std::string Fixed(double v, const char* format) {
  char buf[32];
  std::snprintf(buf, sizeof buf, format, v);
  return buf;
}

std::string JsonCounts(const std::string& key, const std::string& period, const EventCounts& c) {
  std::string out = "{" + JsonString(key) + ":" + JsonString(period) +
                    ",\"processed\":" + std::to_string(c.Total(Outcome::kProcessed)) +
                    ",\"failed\":" + std::to_string(c.Total(Outcome::kFailed)) + ",\"events\":{";
  bool first = true;
  for (const auto& [event, n] : c.by_event) {
    if (!first) out += ",";
    first = false;
    out += JsonString(Shown(event)) + ":{\"processed\":" + std::to_string(n[0]) +
           ",\"failed\":" + std::to_string(n[1]) + "}";
  }
  return out + "}}";
}

void ScreenCounts(std::string& out, const char* title, const std::string& period,
                  const EventCounts& c) {
  char head[128];
  std::snprintf(head, sizeof head, "%-13s %s: %llu processed, %llu failed\n", title, period.c_str(),
                static_cast<unsigned long long>(c.Total(Outcome::kProcessed)),
                static_cast<unsigned long long>(c.Total(Outcome::kFailed)));
  out += head;
  for (const auto& [event, n] : c.by_event) {
    char line[160];
    std::snprintf(line, sizeof line, "%-15s %-9s %8llu processed %6llu failed\n", "",
                  Shown(event).c_str(), static_cast<unsigned long long>(n[0]),
                  static_cast<unsigned long long>(n[1]));
    out += line;
  }
}

}  // namespace

std::string JsonString(std::string_view utf8) {
  std::string out = "\"";
  for (char c : utf8) {
    unsigned char u = static_cast<unsigned char>(c);
    if (c == '"') out += "\\\"";
    else if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else if (c == '\t') out += "\\t";
    else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", static_cast<unsigned>(u));
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

const char* StatusLevelName(StatusLevel level) {
  switch (level) {
    case StatusLevel::kOk: return "OK";
    case StatusLevel::kWarning: return "WARNING";
    case StatusLevel::kCritical: return "CRITICAL";
    case StatusLevel::kUnknown: return "UNKNOWN";
  }
  return "UNKNOWN";
}

const char* ServiceRunName(ServiceRun run) {
  switch (run) {
    case ServiceRun::kRunning: return "running";
    case ServiceRun::kStalled: return "stalled";
    case ServiceRun::kStopped: return "stopped";
    case ServiceRun::kNeverRan: return "not started";
    case ServiceRun::kUnreadable: return "unknown";
  }
  return "unknown";
}

DatabaseProbe ProbeDatabase(const std::string& db_server, const std::string& program_dir,
                            int timeout_seconds) {
  using Clock = std::chrono::steady_clock;
  DatabaseProbe p;
  Clock::time_point t0 = Clock::now();
  try {
    Connection con(db_server, program_dir, timeout_seconds);
    Clock::time_point t1 = Clock::now();
    p.connect_seconds = std::chrono::duration<double>(t1 - t0).count();
    Statement st(con, "SELECT 1 AS one");
    if (!st.Next()) throw std::runtime_error("SELECT 1 returned no row");
    p.query_seconds = std::chrono::duration<double>(Clock::now() - t1).count();
    p.reachable = true;
  } catch (const std::exception& e) {
    p.error = e.what();
  } catch (...) {
    p.error = "unknown error";
  }
  return p;
}

bool ListensOnPort(std::string_view table, int port) {
  while (!table.empty()) {
    std::size_t eol = table.find('\n');
    std::string_view line = table.substr(0, eol);
    table = eol == std::string_view::npos ? std::string_view() : table.substr(eol + 1);
    // "  sl  local_address rem_address st ...": the second and fourth fields.
    std::string_view fields[4];
    std::size_t n = 0;
    for (std::size_t i = 0; i < line.size() && n < 4;) {
      std::size_t b = line.find_first_not_of(' ', i);
      if (b == std::string_view::npos) break;
      std::size_t e = line.find(' ', b);
      fields[n++] = line.substr(b, e == std::string_view::npos ? std::string_view::npos : e - b);
      i = e == std::string_view::npos ? line.size() : e;
    }
    if (n < 4 || fields[3] != "0A") continue;
    std::size_t colon = fields[1].rfind(':');
    if (colon == std::string_view::npos) continue;
    std::string_view hex = fields[1].substr(colon + 1);
    int value = 0;
    auto parsed = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
    if (parsed.ec == std::errc() && parsed.ptr == hex.data() + hex.size() && value == port) {
      return true;
    }
  }
  return false;
}

std::vector<std::string> LastErrorLogLines(const std::string& program_dir, std::size_t count) {
  std::vector<std::string> lines;
  std::ifstream in(program_dir + "/Logs/NORVReaderError.log", std::ios::binary);
  if (!in) return lines;
  in.seekg(0, std::ios::end);
  std::streamoff size = in.tellg();
  std::streamoff from = size > static_cast<std::streamoff>(kErrorTailBytes)
                            ? size - static_cast<std::streamoff>(kErrorTailBytes)
                            : 0;
  in.seekg(from);
  std::string tail((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::size_t pos = 0;
  if (from > 0) {
    // The first line of the tail may be cut: start after it.
    std::size_t nl = tail.find('\n');
    pos = nl == std::string::npos ? tail.size() : nl + 1;
  }
  while (pos < tail.size()) {
    std::size_t nl = tail.find('\n', pos);
    std::string line = tail.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos);
    pos = nl == std::string::npos ? tail.size() : nl + 1;
    while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.pop_back();
    if (line.empty()) continue;
    if (line.size() > kMaxShownLine) line = line.substr(0, kMaxShownLine) + "...";
    lines.push_back(std::move(line));
    if (lines.size() > count) lines.erase(lines.begin());
  }
  return lines;
}

StatusReport GatherStatus(const StatusInputs& in) {
  const Settings& s = *in.settings;
  StatusReport r;
  r.instance = in.instance;
  r.caption = s.Caption;
  r.now = in.now.unix_seconds;

  const std::string state_file = StateFilePath(in.program_dir, in.instance);
  std::string text;
  const FsStatus read = PlatformFileSystem().ReadWholeFile(state_file, text);
  if (read.error == ENOENT) {
    r.run = ServiceRun::kNeverRan;
  } else if (!read.ok()) {
    r.run = ServiceRun::kUnreadable;
    r.state_problem = std::strerror(read.error);
  } else {
    if (std::optional<ServiceState> st = ParseState(text)) {
      r.state = std::move(*st);
      auto alive = in.process_alive ? in.process_alive : ProcessAlive;
      // Before its first tick a service counts from its start.
      std::int64_t last = r.state.last_tick != 0 ? r.state.last_tick : r.state.started;
      bool recent = r.now - last <= kStaleAfterSeconds;
      if (r.state.stopped != 0 || !alive(r.state.pid)) r.run = ServiceRun::kStopped;
      else r.run = recent ? ServiceRun::kRunning : ServiceRun::kStalled;
    } else {
      r.run = ServiceRun::kUnreadable;
      r.state_problem = "not a state record";
    }
  }

  for (const std::string& dir : InboundDirectories(s.InboundPath, s.ExportPathList)) {
    r.queues.push_back(ScanInboundQueue(dir, s.FileSuffix, r.now));
  }
  r.day = DayText(in.now.local);
  r.week = WeekFolderName(in.now.local);
  if (r.state.day == r.day) r.today = r.state.today;
  if (r.state.week == r.week) r.this_week = r.state.this_week;
  r.last_errors = LastErrorLogLines(in.program_dir, kErrorLines);
  r.database = in.probe_database ? in.probe_database()
                                 : ProbeDatabase(s.DBServer, in.program_dir, s.DBTimeout);
  r.receiver.configured = s.MLLPPort != 0;
  r.receiver.bind = s.MLLPBind;
  r.receiver.port = s.MLLPPort;
  if (r.receiver.configured) {
    r.receiver.listening =
        in.port_listening ? in.port_listening(s.MLLPPort) : PortListening(s.MLLPPort);
    r.receiver.duplicates = ReadReceiverDuplicates(PlatformFileSystem(), in.program_dir);
  }
  EvaluateStatus(r, s.StatusWarnAge, s.StatusCritAge);
  return r;
}

void EvaluateStatus(StatusReport& r, std::int64_t warn_age, std::int64_t crit_age) {
  std::vector<std::string> critical, unknown, warning;
  r.warn_age = warn_age;
  r.crit_age = crit_age;
  switch (r.run) {
    case ServiceRun::kRunning:
      break;
    case ServiceRun::kStalled:
      critical.push_back("service stalled: pid " + std::to_string(r.state.pid) +
                         " alive, last tick " + Duration(r.now - r.state.last_tick) + " ago");
      break;
    case ServiceRun::kStopped:
      critical.push_back(r.state.stopped != 0
                             ? "service not running: stopped at " + LocalTimeText(r.state.stopped, false)
                             : "service not running: pid " + std::to_string(r.state.pid) + " is gone");
      break;
    case ServiceRun::kNeverRan:
      critical.push_back("service not running: no state file");
      break;
    case ServiceRun::kUnreadable:
      unknown.push_back("state file unreadable: " + r.state_problem);
      break;
  }
  if (!r.database.reachable) critical.push_back("database unreachable: " + Shown(r.database.error));
  if (r.queues.empty()) unknown.push_back("no inbound directory is configured");
  for (const QueueFigures& q : r.queues) {
    std::string dir = Shown(q.directory);
    if (!q.readable) {
      critical.push_back("inbound directory " + dir + " cannot be listed");
    } else if (q.waiting > 0 && q.oldest_age > crit_age) {
      critical.push_back("oldest file in " + dir + " waits " + Duration(q.oldest_age));
    } else if (q.waiting > 0 && q.oldest_age > warn_age) {
      warning.push_back("oldest file in " + dir + " waits " + Duration(q.oldest_age));
    }
  }
  if (r.receiver.configured && r.receiver.listening == false) {
    critical.push_back("MLLP receiver not listening on port " + std::to_string(r.receiver.port));
  }
  if (r.state.undisposable_files > 0) {
    warning.push_back(std::to_string(r.state.undisposable_files) +
                      " handled file(s) cannot be moved out of the inbound directory");
  }
  if (std::uint64_t failed = r.today.Total(Outcome::kFailed); failed > 0) {
    warning.push_back(std::to_string(failed) + " failed today");
  }
  r.level = !critical.empty()  ? StatusLevel::kCritical
            : !unknown.empty() ? StatusLevel::kUnknown
            : !warning.empty() ? StatusLevel::kWarning
                               : StatusLevel::kOk;
  r.reasons = std::move(critical);
  r.reasons.insert(r.reasons.end(), unknown.begin(), unknown.end());
  r.reasons.insert(r.reasons.end(), warning.begin(), warning.end());
}

std::string FormatStatusScreen(const StatusReport& r) {
  std::uint64_t waiting = 0;
  std::int64_t oldest = 0;
  for (const QueueFigures& q : r.queues) {
    waiting += q.waiting;
    if (q.oldest_age > oldest) oldest = q.oldest_age;
  }
  std::string out = "NORVREADER ";
  out += StatusLevelName(r.level);
  out += " - ";
  if (r.reasons.empty()) {
    out += "running, " + std::to_string(waiting) + " waiting, " +
           std::to_string(r.today.Total(Outcome::kProcessed)) + " processed today";
  } else {
    for (std::size_t i = 0; i < r.reasons.size(); ++i) out += (i ? "; " : "") + r.reasons[i];
  }
  out += " | queue=" + std::to_string(waiting) + ";;;0 oldest=" + std::to_string(oldest) +
         "s;" + std::to_string(r.warn_age) + ";" + std::to_string(r.crit_age) + ";0 processed_today=" + std::to_string(r.today.Total(Outcome::kProcessed)) +
         "c;;;0 failed_today=" + std::to_string(r.today.Total(Outcome::kFailed)) + "c;;;0";
  if (r.database.reachable) out += " db_time=" + Fixed(r.database.query_seconds, "%.6f") + "s;;;0";
  out += "\n";

  auto row = [&out](const char* title, const std::string& text) {
    char head[32];
    std::snprintf(head, sizeof head, "%-13s ", title);
    out += head + text + "\n";
  };
  row("instance", r.instance + (r.caption.empty() ? "" : " \"" + Shown(r.caption) + "\""));
  std::string service = ServiceRunName(r.run);
  if (r.run != ServiceRun::kNeverRan && r.run != ServiceRun::kUnreadable) {
    service += ", pid " + std::to_string(r.state.pid) + ", since " +
               LocalTimeText(r.state.started, false);
    if (r.run == ServiceRun::kRunning) service += " (" + Duration(r.now - r.state.started) + ")";
    if (r.state.stopped != 0) service += ", stopped " + LocalTimeText(r.state.stopped, false);
    if (!r.state.version.empty()) service += ", version " + Shown(r.state.version);
  } else if (!r.state_problem.empty()) {
    service += " (" + r.state_problem + ")";
  }
  row("service", service);
  auto when = [&r](std::int64_t t) {
    return t <= 0 ? std::string("never") : LocalTimeText(t, false) + " (" + Duration(r.now - t) + " ago)";
  };
  if (r.run != ServiceRun::kNeverRan && r.run != ServiceRun::kUnreadable) {
    row("last tick", when(r.state.last_tick));
    row("heartbeat", when(r.state.last_heartbeat));
  }
  if (r.queues.empty()) row("queue", "no inbound directory configured");
  for (const QueueFigures& q : r.queues) {
    std::string text = Shown(q.directory) + ": ";
    if (!q.readable) text += "cannot be listed";
    else if (q.waiting == 0) text += "empty";
    else text += std::to_string(q.waiting) + " waiting, oldest " + Duration(q.oldest_age);
    row(&q == &r.queues.front() ? "queue" : "", text);
  }
  row("skipped", std::to_string(r.state.skipped_files) +
                     " inbound files reported as unusable since the start (see the error log)");
  if (r.state.undisposable_files > 0) {
    row("stuck", std::to_string(r.state.undisposable_files) +
                     " handled files could not be deleted or moved; not taken again until they "
                     "change (see the error log)");
  }
  if (r.database.reachable) {
    row("database", "reachable (connect " + Millis(r.database.connect_seconds) + ", SELECT 1 " +
                        Millis(r.database.query_seconds) + ")");
  } else {
    row("database", "UNREACHABLE: " + Shown(r.database.error));
  }
  if (!r.receiver.configured) {
    row("MLLP", "no receiver configured");
  } else {
    const std::string where = Shown(r.receiver.bind) + ":" + std::to_string(r.receiver.port);
    row("MLLP", (!r.receiver.listening ? where + ", cannot tell whether it listens"
                 : *r.receiver.listening ? where + ", listening"
                                         : where + ", NOT LISTENING") +
                    (r.receiver.duplicates ? ", " + std::to_string(*r.receiver.duplicates) +
                                                 " duplicates answered without writing"
                                           : std::string()));
  }
  ScreenCounts(out, "today", r.day, r.today);
  ScreenCounts(out, "this week", r.week, r.this_week);
  row("last errors", r.last_errors.empty() ? "none" : "(Logs/NORVReaderError.log)");
  for (const std::string& line : r.last_errors) out += "  " + Shown(line) + "\n";
  return out;
}

std::string FormatStatusJson(const StatusReport& r) {
  auto time_pair = [](const char* key, std::int64_t t) {
    std::string k = key;
    return "\"" + k + "\":" + (t > 0 ? JsonString(LocalTimeText(t, true)) : "null") + ",\"" + k +
           "_unix\":" + std::to_string(t);
  };
  std::string out = "{\"status\":" + JsonString(StatusLevelName(r.level)) +
                    ",\"exit_code\":" + std::to_string(static_cast<int>(r.level)) + ",\"reasons\":[";
  for (std::size_t i = 0; i < r.reasons.size(); ++i) out += (i ? "," : "") + JsonString(r.reasons[i]);
  out += "],\"instance\":" + JsonString(r.instance) + ",\"caption\":" + JsonString(Shown(r.caption)) +
         "," + time_pair("now", r.now);
  bool known = r.run != ServiceRun::kNeverRan && r.run != ServiceRun::kUnreadable;
  out += ",\"service\":{\"state\":" + JsonString(ServiceRunName(r.run)) +
         ",\"running\":" + (r.run == ServiceRun::kRunning ? "true" : "false") +
         ",\"pid\":" + (known ? std::to_string(r.state.pid) : "null") +
         ",\"version\":" + (known ? JsonString(Shown(r.state.version)) : "null") + "," +
         time_pair("since", r.state.started) + "," + time_pair("stopped", r.state.stopped) + "," +
         time_pair("last_tick", r.state.last_tick) + "," +
         time_pair("last_heartbeat", r.state.last_heartbeat) +
         ",\"problem\":" + (r.state_problem.empty() ? "null" : JsonString(r.state_problem)) + "}";
  out += ",\"queue\":[";
  for (std::size_t i = 0; i < r.queues.size(); ++i) {
    const QueueFigures& q = r.queues[i];
    out += std::string(i ? "," : "") + "{\"directory\":" + JsonString(Shown(q.directory)) +
           ",\"readable\":" + (q.readable ? "true" : "false") +
           ",\"waiting\":" + std::to_string(q.waiting) +
           ",\"oldest_age_seconds\":" + std::to_string(q.oldest_age) + "}";
  }
  out += "],\"skipped_files\":" + std::to_string(r.state.skipped_files);
  out += ",\"undisposable_files\":" + std::to_string(r.state.undisposable_files);
  out += ",\"today\":" + JsonCounts("date", r.day, r.today);
  out += ",\"week\":" + JsonCounts("week", r.week, r.this_week);
  out += ",\"last_errors\":[";
  for (std::size_t i = 0; i < r.last_errors.size(); ++i) {
    out += (i ? "," : "") + JsonString(Shown(r.last_errors[i]));
  }
  out += "],\"database\":{\"reachable\":" + std::string(r.database.reachable ? "true" : "false") +
         ",\"connect_seconds\":" + Fixed(r.database.connect_seconds, "%.6f") +
         ",\"query_seconds\":" + Fixed(r.database.query_seconds, "%.6f") +
         ",\"error\":" + (r.database.reachable ? "null" : JsonString(Shown(r.database.error))) + "}";
  out += ",\"mllp\":";
  if (!r.receiver.configured) {
    out += "null";
  } else {
    out += "{\"bind\":" + JsonString(Shown(r.receiver.bind)) +
           ",\"port\":" + std::to_string(r.receiver.port) + ",\"listening\":" +
           (!r.receiver.listening ? "null" : *r.receiver.listening ? "true" : "false") +
           ",\"duplicates\":" +
           (r.receiver.duplicates ? std::to_string(*r.receiver.duplicates) : "null") + "}";
  }
  return out + "}\n";
}

namespace {

int PrintUnknown(const std::string& reason, bool json, std::FILE* out) {
  if (json) {
    std::fprintf(out, "{\"status\":\"UNKNOWN\",\"exit_code\":3,\"reasons\":[%s]}\n",
                 reason.empty() ? "" : JsonString(Shown(reason)).c_str());
  } else {
    std::fprintf(out, "NORVREADER UNKNOWN - %s\n",
                 reason.empty() ? "status failed" : Shown(reason).c_str());
  }
  return static_cast<int>(StatusLevel::kUnknown);
}

}  // namespace

int RunStatus(const Settings& settings, const std::string& program_dir,
              const std::string& instance, bool json, std::FILE* out,
              const std::string& settings_problem) {
  if (!settings_problem.empty()) return PrintUnknown(settings_problem, json, out);
  try {
    StatusInputs in;
    in.settings = &settings;
    in.program_dir = program_dir;
    in.instance = instance;
    in.now = SystemMoment();
    StatusReport report = GatherStatus(in);
    std::string text = json ? FormatStatusJson(report) : FormatStatusScreen(report);
    std::fwrite(text.data(), 1, text.size(), out);
    return static_cast<int>(report.level);
  } catch (const std::exception& e) {
    return PrintUnknown(e.what(), json, out);
  } catch (...) {
  }
  return PrintUnknown("", json, out);
}

}  // namespace norv

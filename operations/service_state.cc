#include "operations/service_state.h"

#include <charconv>
#include <cstdio>
#include <ctime>

#include "core/dates.h"

namespace norv {
namespace {

constexpr std::string_view kMagic = "norvreader-state 1";

std::string Escape(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\r') out += "\\r";
    else out += c;
  }
  return out;
}

std::string Unescape(std::string_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\' && i + 1 < text.size()) {
      char n = text[++i];
      out += n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    } else {
      out += text[i];
    }
  }
  return out;
}

std::string Number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// Splits off the next blank-separated word of `rest`.
std::string_view Word(std::string_view& rest) {
  std::size_t b = rest.find_first_not_of(' ');
  if (b == std::string_view::npos) {
    rest = {};
    return {};
  }
  rest.remove_prefix(b);
  std::size_t e = rest.find(' ');
  std::string_view w = rest.substr(0, e);
  rest = e == std::string_view::npos ? std::string_view() : rest.substr(e + 1);
  return w;
}

template <typename T>
bool ParseInt(std::string_view text, T& out) {
  if (text.empty()) return false;
  auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

bool ParseDouble(std::string_view text, double& out) {
  if (text.empty()) return false;
  auto r = std::from_chars(text.data(), text.data() + text.size(), out);
  return r.ec == std::errc() && r.ptr == text.data() + text.size();
}

void AppendCounts(std::string& out, std::string_view period, const EventCounts& counts) {
  for (const auto& [event, n] : counts.by_event) {
    out += "count " + std::string(period) + " " + event + " " + std::to_string(n[0]) + " " +
           std::to_string(n[1]) + "\n";
  }
}

}  // namespace

std::string_view CountedEventOf(std::string_view msh9) {
  if (msh9.empty()) return "unknown";
  for (std::size_t i = 0; i + 2 < kCountedEvents.size(); ++i) {
    if (kCountedEvents[i] == msh9) return kCountedEvents[i];
  }
  return "other";
}

std::string_view OutcomeName(Outcome outcome) {
  return outcome == Outcome::kProcessed ? "processed" : "failed";
}

void EventCounts::Add(std::string_view event, Outcome outcome) {
  auto it = by_event.find(event);
  if (it == by_event.end()) it = by_event.emplace(std::string(event), std::array<std::uint64_t, 2>{}).first;
  ++it->second[static_cast<int>(outcome)];
}

std::uint64_t EventCounts::Of(std::string_view event, Outcome outcome) const {
  auto it = by_event.find(event);
  return it == by_event.end() ? 0 : it->second[static_cast<int>(outcome)];
}

std::uint64_t EventCounts::Total(Outcome outcome) const {
  std::uint64_t sum = 0;
  for (const auto& [event, n] : by_event) sum += n[static_cast<int>(outcome)];
  return sum;
}

std::string SerialiseState(const ServiceState& s) {
  std::string out(kMagic);
  out += "\n";
  auto line = [&out](std::string_view key, const std::string& value) {
    out += key;
    out += ' ';
    out += value;
    out += '\n';
  };
  line("pid", std::to_string(s.pid));
  line("version", Escape(s.version));
  line("started", std::to_string(s.started));
  line("written", std::to_string(s.written));
  line("stopped", std::to_string(s.stopped));
  line("last_tick", std::to_string(s.last_tick));
  line("last_heartbeat", std::to_string(s.last_heartbeat));
  line("ticks", std::to_string(s.ticks));
  line("heartbeats", std::to_string(s.heartbeats));
  line("day", Escape(s.day));
  line("week", Escape(s.week));
  AppendCounts(out, "today", s.today);
  AppendCounts(out, "week", s.this_week);
  AppendCounts(out, "total", s.total);
  std::string buckets;
  for (std::uint64_t n : s.processing_buckets) buckets += (buckets.empty() ? "" : " ") + std::to_string(n);
  line("processing_buckets", buckets);
  line("processing_seconds", Number(s.processing_seconds));
  for (const QueueFigures& q : s.queues) {
    line("queue", std::to_string(q.waiting) + " " + std::to_string(q.oldest_age) + " " +
                      std::to_string(q.highest) + " " + (q.readable ? "1" : "0") + " " +
                      Escape(q.directory));
  }
  line("skipped_files", std::to_string(s.skipped_files));
  line("undisposable_files", std::to_string(s.undisposable_files));
  line("database_errors", std::to_string(s.database_errors));
  line("database_outages", std::to_string(s.database_outages));
  line("database_outage_open", s.database_outage_open ? "1" : "0");
  return out;
}

std::optional<ServiceState> ParseState(std::string_view text) {
  std::size_t eol = text.find('\n');
  if (eol == std::string_view::npos || text.substr(0, eol) != kMagic) return std::nullopt;
  text.remove_prefix(eol + 1);
  ServiceState s;
  while (!text.empty()) {
    eol = text.find('\n');
    if (eol == std::string_view::npos) return std::nullopt;  // a cut-off last line
    std::string_view rest = text.substr(0, eol);
    text.remove_prefix(eol + 1);
    std::size_t sp = rest.find(' ');
    std::string_view key = rest.substr(0, sp);
    rest = sp == std::string_view::npos ? std::string_view() : rest.substr(sp + 1);
    bool ok = true;
    if (key == "pid") ok = ParseInt(rest, s.pid);
    else if (key == "version") s.version = Unescape(rest);
    else if (key == "started") ok = ParseInt(rest, s.started);
    else if (key == "written") ok = ParseInt(rest, s.written);
    else if (key == "stopped") ok = ParseInt(rest, s.stopped);
    else if (key == "last_tick") ok = ParseInt(rest, s.last_tick);
    else if (key == "last_heartbeat") ok = ParseInt(rest, s.last_heartbeat);
    else if (key == "ticks") ok = ParseInt(rest, s.ticks);
    else if (key == "heartbeats") ok = ParseInt(rest, s.heartbeats);
    else if (key == "day") s.day = Unescape(rest);
    else if (key == "week") s.week = Unescape(rest);
    else if (key == "count") {
      std::string_view period = Word(rest), event = Word(rest);
      std::array<std::uint64_t, 2> n{};
      ok = !event.empty() && ParseInt(Word(rest), n[0]) && ParseInt(Word(rest), n[1]) && rest.empty();
      EventCounts* target = period == "today" ? &s.today
                            : period == "week" ? &s.this_week
                            : period == "total" ? &s.total
                                                : nullptr;
      if (ok && target) target->by_event[std::string(event)] = n;
    } else if (key == "processing_buckets") {
      for (std::uint64_t& n : s.processing_buckets) ok = ok && ParseInt(Word(rest), n);
      ok = ok && rest.empty();
    } else if (key == "processing_seconds") {
      ok = ParseDouble(rest, s.processing_seconds);
    } else if (key == "queue") {
      QueueFigures q;
      std::string_view readable;
      ok = ParseInt(Word(rest), q.waiting) && ParseInt(Word(rest), q.oldest_age) &&
           ParseInt(Word(rest), q.highest) && ((readable = Word(rest)) == "0" || readable == "1");
      q.readable = readable == "1";
      q.directory = Unescape(rest);
      if (ok) s.queues.push_back(std::move(q));
    } else if (key == "skipped_files") {
      ok = ParseInt(rest, s.skipped_files);
    } else if (key == "undisposable_files") {
      ok = ParseInt(rest, s.undisposable_files);
    } else if (key == "database_errors") {
      ok = ParseInt(rest, s.database_errors);
    } else if (key == "database_outages") {
      ok = ParseInt(rest, s.database_outages);
    } else if (key == "database_outage_open") {
      ok = rest == "0" || rest == "1";
      s.database_outage_open = rest == "1";
    }
    if (!ok) return std::nullopt;
  }
  return s;
}

Moment SystemMoment() { return Moment{static_cast<std::int64_t>(std::time(nullptr)), LocalNow()}; }

std::string DayText(const LocalDateTime& t) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
  return buf;
}

ServiceStateRecorder::ServiceStateRecorder(std::int64_t pid, std::string version, MomentClock clock)
    : clock_(std::move(clock)) {
  state_.pid = pid;
  state_.version = std::move(version);
  Moment now = clock_();
  state_.started = now.unix_seconds;
  Roll(now);
}

void ServiceStateRecorder::Roll(const Moment& now) {
  std::string day = DayText(now.local);
  if (day != state_.day) {
    state_.day = day;
    state_.today = {};
  }
  std::string week = WeekFolderName(now.local);
  if (week != state_.week) {
    state_.week = week;
    state_.this_week = {};
  }
}

void ServiceStateRecorder::CarryOver(const ServiceState& earlier) {
  Roll(clock_());
  if (earlier.day == state_.day) {
    for (const auto& [event, n] : earlier.today.by_event) {
      auto& mine = state_.today.by_event[event];
      mine[0] += n[0];
      mine[1] += n[1];
    }
  }
  if (earlier.week == state_.week) {
    for (const auto& [event, n] : earlier.this_week.by_event) {
      auto& mine = state_.this_week.by_event[event];
      mine[0] += n[0];
      mine[1] += n[1];
    }
  }
}

void ServiceStateRecorder::RecordMessage(std::string_view event, Outcome outcome, double seconds) {
  Roll(clock_());
  std::string_view counted = CountedEventOf(event);
  state_.today.Add(counted, outcome);
  state_.this_week.Add(counted, outcome);
  state_.total.Add(counted, outcome);
  if (!(seconds >= 0)) seconds = 0;  // NaN and clock steps count as instant
  std::size_t bucket = 0;
  while (bucket < kProcessingBounds.size() && seconds > kProcessingBounds[bucket]) ++bucket;
  ++state_.processing_buckets[bucket];
  state_.processing_seconds += seconds;
  if (outcome == Outcome::kProcessed) state_.database_outage_open = false;
}

void ServiceStateRecorder::RecordTick() {
  ++state_.ticks;
  state_.last_tick = clock_().unix_seconds;
}

void ServiceStateRecorder::RecordHeartbeat() {
  ++state_.heartbeats;
  state_.last_heartbeat = clock_().unix_seconds;
}

void ServiceStateRecorder::RecordDatabaseError(bool transient) {
  ++state_.database_errors;
  if (transient && !state_.database_outage_open) {
    ++state_.database_outages;
    state_.database_outage_open = true;
  }
}

void ServiceStateRecorder::RecordDatabaseReachable() { state_.database_outage_open = false; }

void ServiceStateRecorder::SetQueues(std::vector<QueueFigures> queues, std::uint64_t skipped_files,
                                     std::uint64_t undisposable_files) {
  state_.queues = std::move(queues);
  state_.skipped_files = skipped_files;
  state_.undisposable_files = undisposable_files;
}


const ServiceState& ServiceStateRecorder::Snapshot() {
  Moment now = clock_();
  Roll(now);
  state_.written = now.unix_seconds;
  return state_;
}

void ServiceStateRecorder::MarkStopped() { state_.stopped = clock_().unix_seconds; }

}  // namespace norv

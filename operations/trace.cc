#include "operations/trace.h"

#include <ctime>
#include <set>
#include <utility>

#include "core/ansi.h"
#include "operations/status.h"

namespace norv {
namespace {

std::string TimeText(std::int64_t unix_seconds) {
  std::time_t t = static_cast<std::time_t>(unix_seconds);
  std::tm tm{};
  localtime_r(&t, &tm);
  char buf[32];
  std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
  return buf;
}

std::string List(const std::vector<std::string>& values) {
  std::string out;
  for (const std::string& v : values) out += (out.empty() ? "" : ", ") + v;
  return out;
}

void Line(std::string& out, const char* label, const std::string& text) {
  out += "  ";
  out += label;
  out.append(10 - std::string_view(label).size(), ' ');
  out += text;
  out += '\n';
}

std::string Header(const JournalRecord& r) {
  std::string h;
  if (!r.sending_application.empty()) h += "from " + r.sending_application;
  if (!r.sending_facility.empty()) h += (h.empty() ? "from " : " at ") + r.sending_facility;
  if (!r.control_id.empty())
    h += (h.empty() ? "" : ", ") + std::string("control id ") + r.control_id;
  return h;
}

std::string JsonList(const std::vector<std::string>& values) {
  std::string out = "[";
  for (const std::string& v : values) out += (out.size() > 1 ? "," : "") + JsonString(v);
  return out + "]";
}

std::string JsonRecord(const JournalRecord& r) {
  std::string o = "{\"record\":" + std::to_string(r.id) + ",\"at\":" + std::to_string(r.at) +
                  ",\"time\":" + JsonString(TimeText(r.at)) + ",\"file\":" + JsonString(r.file);
  auto text = [&o](const char* key, const std::string& v) {
    o += ",\"";
    o += key;
    o += "\":" + JsonString(v);
  };
  text("sending_application", r.sending_application);
  text("sending_facility", r.sending_facility);
  text("event", r.event);
  text("control_id", r.control_id);
  if (r.kind == JournalRecord::Kind::kReceived) {
    text("peer", r.peer);
    text("answer", r.answer);
    text("reason", r.reason);
    return o + "}";
  }
  o += ",\"finished\":" + std::to_string(r.finished);
  char seconds[32];
  std::snprintf(seconds, sizeof seconds, "%.6f", r.seconds);
  o += ",\"seconds\":" + std::string(seconds);
  text("outcome", r.outcome);
  text("disposal", r.disposal);
  o += ",\"patient_ids\":" + JsonList(r.patient_ids) + ",\"accessions\":" + JsonList(r.accessions) +
       ",\"order_controls\":" + JsonList(r.order_controls) +
       ",\"error_lines\":" + JsonList(r.error_lines) +
       ",\"more_error_lines\":" + std::to_string(r.more_error_lines) +
       ",\"changes\":" + JsonList(r.changes) + "}";
  return o;
}

// A deleted file, or a record without file, lies nowhere.
std::string FileNow(const JournalRecord& r) {
  if (r.kind == JournalRecord::Kind::kReceived) return r.file;
  if (r.disposal == "deleted") return "";
  return r.disposal.empty() ? r.file : r.disposal;
}

}  // namespace

std::vector<TraceRoad> TraceRoads(Journal& journal, const std::vector<JournalRecord>& found,
                                  FileSystem& fs) {
  std::vector<TraceRoad> roads;
  std::set<std::int64_t> shown;
  for (const JournalRecord& r : found) {
    if (shown.contains(r.id)) continue;
    TraceRoad road;
    if (r.kind == JournalRecord::Kind::kTaken) {
      road.taken = r;
      road.received = journal.ReceivedBefore(r);
    } else {
      road.received = r;
      road.taken = journal.TakenAfter(r);
      // The file the receiver wrote may have been taken again since (a
      // number reused); only the first taking after the answer is its own.
      if (road.taken && shown.contains(road.taken->id)) road.taken.reset();
    }
    // A receiver record belongs to the first road that shows it.
    if (road.received && shown.contains(road.received->id) && road.taken) road.received.reset();
    if (road.taken) shown.insert(road.taken->id);
    if (road.received) shown.insert(road.received->id);
    road.file_now = FileNow(road.taken ? *road.taken : *road.received);
    road.file_there = !road.file_now.empty() && fs.FileExists(Utf8ToAnsi(road.file_now));
    roads.push_back(std::move(road));
  }
  return roads;
}

std::string FormatTraceText(const std::vector<TraceRoad>& roads) {
  std::string out;
  for (const TraceRoad& road : roads) {
    const JournalRecord& head = road.taken ? *road.taken : *road.received;
    if (!out.empty()) out += '\n';
    out += "#" + std::to_string(head.id) + " " + (head.event.empty() ? "(no event)" : head.event) +
           "  " + TimeText(head.at);
    if (!Header(head).empty()) out += "  " + Header(head);
    out += '\n';
    if (road.received) {
      const JournalRecord& r = *road.received;
      std::string text = TimeText(r.at) + " from " + r.peer + ", answered " + r.answer;
      if (!r.reason.empty()) text += " (" + r.reason + ")";
      text += r.file.empty() ? ", not stored" : " -> " + r.file;
      Line(out, "received", text);
    } else {
      Line(out, "received", "as a file in the inbound directory");
    }
    if (!road.taken) {
      if (road.received && !road.received->file.empty()) Line(out, "taken", "not yet");
      Line(out, "file",
           road.file_now.empty()
               ? std::string("none")
               : road.file_now + (road.file_there ? " (still there)" : " (no longer there)"));
      continue;
    }
    const JournalRecord& t = *road.taken;
    char took[48];
    std::snprintf(took, sizeof took, ", done in %.3f s", t.seconds);
    Line(out, "taken", TimeText(t.at) + " " + t.file + took);
    std::string values;
    if (!t.patient_ids.empty()) values += "patient " + List(t.patient_ids);
    if (!t.accessions.empty())
      values += (values.empty() ? "" : "; ") + std::string("accession ") + List(t.accessions);
    if (!t.order_controls.empty())
      values +=
          (values.empty() ? "" : "; ") + std::string("order control ") + List(t.order_controls);
    if (!values.empty()) Line(out, "values", values);
    Line(out, "outcome",
         t.outcome == "held" ? "held: the database could not be reached, retried" : t.outcome);
    for (const std::string& e : t.error_lines) Line(out, "error", e);
    if (t.more_error_lines > 0)
      Line(out, "error", "... and " + std::to_string(t.more_error_lines) + " more lines");
    if (t.disposal == "deleted") {
      Line(out, "file", "deleted after processing");
    } else if (t.disposal.empty()) {
      Line(out, "file",
           t.file + " (left in the inbound directory" +
               (road.file_there ? std::string(", still there)")
                                : std::string(", no longer there)")));
    } else {
      Line(out, "file", t.disposal + (road.file_there ? " (still there)" : " (no longer there)"));
    }
    if (t.outcome == "failed" && road.file_there && !t.disposal.empty()) {
      Line(out, "requeue", "norvreader --requeue journal:" + std::to_string(t.id));
    }
    if (t.changes.empty()) {
      Line(out, "changed", "nothing");
    } else {
      // A failed message keeps what its procedures stored before the one
      // that failed; the undone changes carry their own mark.
      for (const std::string& c : t.changes) Line(out, "changed", c);
    }
  }
  return out;
}

std::string FormatTraceJson(const std::vector<TraceRoad>& roads) {
  std::string out = "[";
  for (const TraceRoad& road : roads) {
    if (out.size() > 1) out += ",";
    out += "{\"received\":" + (road.received ? JsonRecord(*road.received) : std::string("null")) +
           ",\"taken\":" + (road.taken ? JsonRecord(*road.taken) : std::string("null")) +
           ",\"file_now\":" + JsonString(road.file_now) +
           ",\"file_there\":" + (road.file_there ? "true" : "false") + "}";
  }
  return out + "]\n";
}

std::optional<std::int64_t> LocalDayStart(std::string_view date) {
  int y = 0, m = 0, d = 0;
  char tail = 0;
  const std::string text(date);
  if (text.size() != 10 || std::sscanf(text.c_str(), "%4d-%2d-%2d%c", &y, &m, &d, &tail) != 3 ||
      m < 1 || m > 12 || d < 1 || d > 31) {
    return std::nullopt;
  }
  std::tm tm{};
  tm.tm_year = y - 1900;
  tm.tm_mon = m - 1;
  tm.tm_mday = d;
  tm.tm_isdst = -1;
  std::time_t t = std::mktime(&tm);
  if (t == static_cast<std::time_t>(-1) || tm.tm_mday != d) return std::nullopt;
  return static_cast<std::int64_t>(t);
}

namespace {
std::int64_t MidnightDaysAgo(int days_back_from_today, std::tm now) {
  now.tm_mday -= days_back_from_today;
  now.tm_hour = now.tm_min = now.tm_sec = 0;
  now.tm_isdst = -1;
  return static_cast<std::int64_t>(std::mktime(&now));
}
std::tm LocalTm() {
  std::time_t t = std::time(nullptr);
  std::tm tm{};
  localtime_r(&t, &tm);
  return tm;
}
}  // namespace

std::int64_t TodayStart() { return MidnightDaysAgo(0, LocalTm()); }

std::int64_t WeekStart() {
  std::tm tm = LocalTm();
  return MidnightDaysAgo((tm.tm_wday + 6) % 7, tm);  // back to Monday
}

int RunTrace(const std::string& journal_path, const TraceQuery& query, FileSystem& fs,
             std::FILE* out, std::FILE* err) {
  std::string error;
  if (fs.KindOf(journal_path) == PathKind::kMissing) {
    // Nothing was recorded yet: found nothing, not a failure to read.
    if (query.json) std::fputs("[]\n", out);
    std::fprintf(err, "norvreader: no message journal yet (%s)\n", journal_path.c_str());
    return 1;
  }
  std::unique_ptr<Journal> journal = Journal::Open(journal_path, false, &error);
  if (!journal) {
    std::fprintf(err, "norvreader: the message journal cannot be read: %s\n", error.c_str());
    return 1;
  }
  auto found = query.failed ? journal->Failed(query.since, &error)
                            : journal->Find(query.text, query.since, &error);
  if (!found) {
    std::fprintf(err, "norvreader: the message journal cannot be read: %s\n", error.c_str());
    return 1;
  }
  std::vector<TraceRoad> roads = TraceRoads(*journal, *found, fs);
  std::string text = query.json ? FormatTraceJson(roads) : FormatTraceText(roads);
  std::fputs(text.c_str(), out);
  if (roads.empty() && !query.json) {
    std::fprintf(out, "no message in the journal %s\n",
                 query.failed ? "failed in that time" : ("by " + query.text).c_str());
  }
  return roads.empty() ? 1 : 0;
}

std::optional<std::vector<std::string>> ResolveJournalPaths(const std::string& journal_path,
                                                            const std::vector<std::string>& paths,
                                                            std::FILE* err) {
  std::vector<std::string> out;
  std::unique_ptr<Journal> journal;
  for (const std::string& p : paths) {
    constexpr std::string_view kPrefix = "journal:";
    if (!p.starts_with(kPrefix)) {
      out.push_back(p);
      continue;
    }
    const std::string number = p.substr(kPrefix.size());
    std::string error;
    if (!journal) journal = Journal::Open(journal_path, false, &error);
    if (!journal) {
      std::fprintf(err, "norvreader: the message journal cannot be read: %s\n", error.c_str());
      return std::nullopt;
    }
    std::optional<JournalRecord> r;
    if (!number.empty() && number.find_first_not_of("0123456789") == std::string::npos &&
        number.size() < 19) {
      r = journal->Record(std::stoll(number));
    }
    if (!r || r->kind != JournalRecord::Kind::kTaken) {
      std::fprintf(err, "norvreader: %s: no such message in the journal\n", p.c_str());
      return std::nullopt;
    }
    if (r->disposal.empty() || r->disposal == "deleted") {
      std::fprintf(err, "norvreader: %s: its file was %s\n", p.c_str(),
                   r->disposal.empty() ? "not disposed of" : "deleted");
      return std::nullopt;
    }
    out.push_back(Utf8ToAnsi(r->disposal));
  }
  return out;
}

}  // namespace norv

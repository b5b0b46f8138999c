#include "intake/inbound_cycle.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/error.h"
#include "core/dates.h"
#include "core/log.h"
#include "intake/events.h"
#include "intake/hl7_reader.h"
#include "intake/inbound_queue.h"
#include "intake/standard_intake.h"
#include "platform/dir_watch.h"
#include "platform/durable_files.h"
#include "platform/event_loop.h"
#include "platform/system.h"

namespace norv {
namespace {

constexpr std::int32_t kLowestStart = 5000000;
constexpr std::int32_t kErrPermissionDenied = 70;
constexpr const char* kTickSource = kInboundTickSource;
// Upper bound of the <name>.n copies kept in one failed week folder.
constexpr int kMaxFailedCopies = 100000;

// The error a failed file operation becomes, with the path it concerned.
Error FileError(int err, const std::string& path, bool is_folder) {
  std::int32_t number;
  std::string text;
  switch (err) {
    case ENOENT:
    case ENOTDIR:
      number = is_folder ? kErrPathNotFound : kErrFileNotFound;
      text = is_folder ? "Path not found" : "File not found";
      break;
    case EACCES:
    case EPERM:
      number = kErrPermissionDenied;
      text = "Permission denied";
      break;
    default:
      number = kErrPathFileAccess;
      text = std::string("Path/File access error: ") + std::strerror(err);
      break;
  }
  return Error(number, text + " (" + path + ")");
}

// Logs a problem with one inbound file the first time this process meets it.
void ReportOnce(Log& log, std::set<std::string>& reported, const std::string& path,
                std::int32_t number, const std::string& description) {
  if (!reported.insert(path).second) return;
  log.WriteErrorLog(number, description, kTickSource);
}

// The directory of this tick: the inbound directory, or the next export path
// in turn.
void ChooseInboundDirectory(const Settings& s, InboundCycle& cycle) {
  if (s.InboundPath == "TCPRECEIVE") {
    if (!cycle.CurrentInboundDir.empty()) ++cycle.InboundDirIndex;
    const auto count = static_cast<std::int64_t>(s.ExportPathList.size());
    if (cycle.InboundDirIndex > count - 1 || cycle.InboundDirIndex < 0) cycle.InboundDirIndex = 0;
    if (cycle.InboundDirIndex >= count) ThrowSubscriptOutOfRange();
    cycle.CurrentInboundDir = s.ExportPathList[static_cast<std::size_t>(cycle.InboundDirIndex)];
  } else {
    cycle.CurrentInboundDir = s.InboundPath;
  }
  // An empty setting names no directory; it must never become a scan of the
  // working directory or of the root.
  if (cycle.CurrentInboundDir.empty()) {
    throw Error(kErrPathNotFound, "Path not found (no inbound directory is configured)");
  }
}

void AddOnce(std::vector<std::string>& values, const std::string& value) {
  if (value.empty()) return;
  for (const std::string& v : values) {
    if (v == value) return;
  }
  values.push_back(value);
}

// MSH-3, MSH-4 and MSH-10 of the header at the start of `text` ("MSH" and
// its field separator), for the facts of the file.
void ReadHeaderFacts(std::string_view text, TakenFile& taken) {
  if (text.size() < 4) return;
  const char separator = text[3];
  text = text.substr(0, text.find_first_of("\r\n"));
  std::size_t field = 1;  // MSH-1 is the separator itself
  std::size_t start = 4;
  while (start <= text.size()) {
    std::size_t end = text.find(separator, start);
    if (end == std::string_view::npos) end = text.size();
    ++field;
    std::string_view value = text.substr(start, end - start);
    if (field == 3) taken.sending_application = value;
    if (field == 4) taken.sending_facility = value;
    if (field == 10) {
      taken.control_id = value;
      return;
    }
    start = end + 1;
  }
}

Outcome DispatchEvent(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg) {
  const std::string& event = store.MessageEvent;
  if (event == "ADT^A08") return HandlePatientUpdate(ctx, store, msg);
  if (event == "ADT^A40") return HandlePatientMerge(ctx, store, msg);
  if (event == "ADT^A47") return HandlePatientIdChange(ctx, store, msg);
  if (event == "ORM^O01" || event == "OMG^O19") return HandleOrder(ctx, store, msg);
  if (event == "ORU^R01") return HandleReport(ctx, store, msg);
  ctx.log.DebugLog("Event ID not recognized");
  return Outcome::kFailed;
}

std::int64_t NowSeconds() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch()).count();
}

// With SkipDuplicates 1 (and a window): the record of the directory's
// processed messages, opened on first use; nullptr otherwise.
SeenMessages* DuplicateRecord(const IntakeContext& ctx, InboundCycle& cycle) {
  const Settings& s = ctx.settings;
  if (s.SkipDuplicates != 1 || s.MLLPDuplicateWindow <= 0) return nullptr;
  auto [it, fresh] = cycle.seen.try_emplace(cycle.CurrentInboundDir);
  if (fresh) {
    std::string error;
    it->second = SeenMessages::Open(
        PlatformDurableFiles(), cycle.CurrentInboundDir + ".norvreader.seen",
        std::int64_t{s.MLLPDuplicateWindow} * 3600, NowSeconds(),
        [](const std::string&) { return false; }, &error);
    if (!it->second) {
      ctx.log.WriteErrorLog(kErrPathFileAccess, "SkipDuplicates: " + error +
                                                    "; files are processed without skipping "
                                                    "duplicates",
                            kTickSource);
    }
  }
  return it->second.get();
}

// The record's key of a message: MSH-3, MSH-4 and MSH-10 of the header line
// at the start of `msh`, and the bytes of the whole file.
std::string FileKey(std::string_view msh, std::string_view bytes) {
  msh = msh.substr(0, msh.find_first_of("\r\n"));
  if (msh.size() < 4) return "";
  std::vector<std::string_view> fields;
  for (std::size_t at = 0; fields.size() < 10;) {
    std::size_t end = msh.find(msh[3], at);
    fields.push_back(msh.substr(at, end == std::string_view::npos ? end : end - at));
    if (end == std::string_view::npos) break;
    at = end + 1;
  }
  auto field = [&](std::size_t n) { return n - 1 < fields.size() ? fields[n - 1] : ""; };
  return SeenMessageKey(field(3), field(4), field(10), bytes);
}

// The event handling of one message event, its values kept in `taken`
// whatever the handler's end. An event nobody handles fails.
Outcome Dispatch(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg, TakenFile& taken) {
  auto keep = [&] {
    AddOnce(taken.patient_ids, msg.PatientID);
    AddOnce(taken.accessions, msg.AccessionNumber);
    AddOnce(taken.order_controls, msg.OrderControl);
  };
  Outcome outcome;
  try {
    outcome = DispatchEvent(ctx, store, msg);
  } catch (...) {
    keep();
    throw;
  }
  keep();
  return outcome;
}

// Reads, parses and dispatches the chosen file; `taken` receives its MSH-9
// as soon as that is read, and the header's and the handlers' values. With a
// record, `key` receives the message's key, and a message the record holds
// is not dispatched: taken.duplicate, processed.
Outcome ProcessInboundFile(const IntakeContext& ctx, const std::string& path, TakenFile& taken,
                           const SeenMessages* record, std::string& key) {
  std::string& event = taken.event;
  ctx.log.DebugLog("Processing: " + path);
  std::string bytes;
  if (FsStatus st = ctx.fs.ReadWholeFile(path, bytes); !st.ok()) {
    throw FileError(st.error, path, false);
  }
  // The bytes are Windows-1252 text already. Only blanks are trimmed;
  // carriage returns, line feeds and tabs stay.
  std::string_view text = bytes;
  std::size_t first = text.find_first_not_of(' ');
  text = first == std::string_view::npos ? std::string_view() : text.substr(first);
  std::size_t last = text.find_last_not_of(' ');
  text = text.substr(0, last == std::string_view::npos ? 0 : last + 1);
  ctx.log.DebugLog("Get sequence content");

  std::size_t header = text.find("MSH");
  if (header == std::string_view::npos) {
    ctx.log.WriteErrorLog(-1, "No Message Header! (" + path + ")", "TimerProgress");
    return Outcome::kFailed;
  }
  ReadHeaderFacts(text.substr(header), taken);
  // The message's database work is stored in one piece where the
  // connection source keeps one transaction: every procedure that did not
  // raise an error keeps its work, processed or failed; an outage undoes it
  // all and holds the file (RunMessage).
  if (record) {
    key = FileKey(text.substr(header), bytes);
    if (record->Contains(key, NowSeconds())) {
      taken.duplicate = true;
      ctx.log.DebugLog("Skipped as a duplicate (SkipDuplicates): the same message, MSH-3/4/10 " +
                       key.substr(0, key.rfind(' ')) + ", was processed within " +
                       std::to_string(ctx.settings.MLLPDuplicateWindow) + " h: " + path);
      return Outcome::kProcessed;
    }
  }
  if (ctx.settings.StandardHL7 == 1) {
    const Settings& s = ctx.settings;
    std::optional<Outcome> outcome = RunMessage(ctx.connections, [&] {
      return ProcessStandardMessage(
          text, PatientIdRule{s.PatientIDType, s.PatientIDAuthority},
          [&ctx, &taken](Hl7Segments& store, HL7Message& msg) {
            return Dispatch(ctx, store, msg, taken);
          },
          [&ctx](std::string_view line) { ctx.log.DebugLog(line); }, &event);
    });
    if (!outcome) {
      ctx.log.WriteErrorLog(-1, "No message header!", "");
      return Outcome::kFailed;
    }
    return *outcome;
  }
  Hl7Segments store;
  HL7Message msg;
  SplitSegments(ctx.log, text.substr(header), store);
  bool readable = false;
  try {
    readable = ReadCommonValues(ctx.log, store, msg);
  } catch (...) {
    event = store.MessageEvent;  // read before the error
    throw;
  }
  event = store.MessageEvent;
  if (!readable) return Outcome::kFailed;
  return RunMessage(ctx.connections, [&] { return Dispatch(ctx, store, msg, taken); });
}

}  // namespace

namespace {

// Whether `path` is one of the files whose disposal failed and is unchanged
// since; a changed file is forgotten, as it is a new file to take.
bool StillUndisposable(FileSystem& fs, std::map<std::string, FileIdentity>& undisposable,
                       const std::string& path) {
  auto held = undisposable.find(path);
  if (held == undisposable.end()) return false;
  FileIdentity now;
  if (fs.Identify(path, now).ok() && now == held->second) return true;
  undisposable.erase(held);
  return false;
}

// A stray file (abc.HL7) must neither stop the choice nor cost the file
// already chosen its turn; it is reported once.
void ReportNoFileNumber(Log& log, std::set<std::string>& reported, const std::string& path,
                        bool overflow) {
  ReportOnce(log, reported, path, overflow ? kErrOverflow : kErrTypeMismatch,
             std::string(overflow ? "Overflow" : "Type mismatch") +
                 ": the name is no file number (" + path + ")");
}

}  // namespace

std::string ScanInboundDirectory(const Context& ctx, const std::string& dir,
                                 std::set<std::string>& reported_files,
                                 std::map<std::string, FileIdentity>* undisposable) {
  FileSystem& fs = ctx.fs;
  const Settings& settings = ctx.settings;
  // Attributes and sizes are read only for names with the suffix: in a
  // crowded directory most files are someone else's.
  std::vector<FileInfo> files;
  FsStatus listed = fs.ListFiles(dir, files, [&settings](std::string_view name) {
    return ClassifyInboundName(name, settings.FileSuffix).kind != InboundName::kOther;
  });
  if (!listed.ok()) throw FileError(listed.error, dir, true);

  std::int32_t lowest = kLowestStart;
  std::string chosen;
  for (const FileInfo& file : files) {
    DoEvents();
    // The suffix is compared afresh, as a settings reload may have run
    // during DoEvents; a file listed unexamined waits for the next tick.
    const InboundName name = ClassifyInboundName(file.Name, settings.FileSuffix);
    if (!file.Examined || name.kind == InboundName::kOther) continue;
    if (name.kind != InboundName::kNumber) {
      ReportNoFileNumber(ctx.log, reported_files, file.Path, name.kind == InboundName::kOverflow);
      continue;
    }
    if (file.Attributes != 0 || name.number >= lowest) {
      // Clearing is a no-op for a word that is 0 already, so only a set word
      // costs a call. The archive bit clears itself as the file ages.
      if (file.Attributes != 0) {
        if (FsStatus st = fs.SetAttributes(file.Path, 0); !st.ok()) {
          Error e = FileError(st.error, file.Path, false);
          ReportOnce(ctx.log, reported_files, file.Path, e.number(), e.what());
        }
      }
      continue;
    }
    if (file.Size == 0) {
      if (FsStatus st = fs.RemoveFile(file.Path); !st.ok()) {
        Error e = FileError(st.error, file.Path, false);
        ReportOnce(ctx.log, reported_files, file.Path, e.number(), e.what());
      }
      continue;
    }
    // A file that could not be disposed of waits until it changes: taking
    // it again would repeat its effects on every tick.
    if (undisposable != nullptr && StillUndisposable(fs, *undisposable, file.Path)) continue;
    lowest = name.number;
    chosen = file.Path;
  }
  return chosen;
}


std::string ChooseInboundFile(const Context& ctx, InboundCycle& cycle, bool complete_skips_age) {
  const std::string& dir = cycle.CurrentInboundDir;
  std::unique_ptr<InboundQueue>& queue = cycle.queues[dir];
  if (!queue) queue = std::make_unique<InboundQueue>(ctx.fs, dir, NewPlatformDirWatch());
  InboundChoice choice = queue->Choose(
      ctx.settings.FileSuffix, complete_skips_age,
      [&](const std::string& path) { return StillUndisposable(ctx.fs, cycle.undisposable, path); });
  for (const InboundProblem& p : choice.problems) {
    // A stray file (abc.HL7), or one whose attributes or emptiness cannot be
    // dealt with, must neither stop the choice nor be reported every tick.
    switch (p.kind) {
      case InboundProblem::kNotANumber:
      case InboundProblem::kOverflow: {
        ReportNoFileNumber(ctx.log, cycle.reported_files, p.path,
                           p.kind == InboundProblem::kOverflow);
        break;
      }
      case InboundProblem::kAttributes:
      case InboundProblem::kEmptyFile: {
        Error e = FileError(p.error, p.path, false);
        ReportOnce(ctx.log, cycle.reported_files, p.path, e.number(), e.what());
        break;
      }
    }
  }
  if (!choice.status.ok()) throw FileError(choice.status.error, dir, true);
  return choice.path;
}

std::string DisposeInboundFile(const Context& ctx, const std::string& inbound_dir,
                               const std::string& path, Outcome outcome, std::string* where) {
  FileSystem& fs = ctx.fs;
  const bool processed_ok = outcome == Outcome::kProcessed;
  std::string problem;
  auto note = [&](FsStatus st, const std::string& what) {
    if (!st.ok() && problem.empty()) problem = what + ": " + std::strerror(st.error);
  };
  try {
    if (path.empty()) return "";
    if (processed_ok && ctx.settings.KeepFiles != 1) {
      note(fs.RemoveFile(path), "cannot delete it");
      if (where != nullptr && problem.empty()) *where = "deleted";
    } else {
      // The inbound directory is a plain prefix: as configured it ends in a
      // separator, so the folders lie inside it. Each level must be a folder
      // of its own: something else in its place (a file, a link planted by
      // whoever can write here) is never followed.
      const std::string folder = inbound_dir + (processed_ok ? "debug" : "failed");
      const std::string week = folder + kPathSeparator + WeekFolderName(ctx.now());
      for (const std::string& level : {folder, week}) {
        const PathKind kind = fs.KindOf(level);
        FsStatus st = kind == PathKind::kFolder    ? FsStatus{}
                      : kind == PathKind::kMissing ? fs.CreateFolder(level)
                                                   : FsStatus{ENOTDIR};
        note(st, "the folder " + level + " cannot be used");
      }
      std::size_t slash = path.rfind(kPathSeparator);
      const std::string target =
          week + kPathSeparator + (slash == std::string::npos ? path : path.substr(slash + 1));
      if (!problem.empty() || !fs.FileExists(path)) {
        // Nothing to move, or nowhere to move it.
      } else if (processed_ok) {
        // The debug folder keeps the latest copy of a name.
        if (fs.FileExists(target)) {
          FsStatus copied = fs.CopyFileTo(path, target, true);
          note(copied, "cannot copy it to " + target);
          if (copied.ok()) note(fs.RemoveFile(path), "cannot delete it");
        } else {
          note(fs.MoveFileTo(path, target), "cannot move it to " + target);
        }
        if (where != nullptr && problem.empty()) *where = target;
      } else {
        // A failed message is never lost: senders reuse numbers, so a name
        // that is already taken gets the first free ".n" after it.
        for (int n = 0; n <= kMaxFailedCopies; ++n) {
          std::string candidate = n == 0 ? target : target + "." + std::to_string(n);
          FsStatus st = fs.MoveFileTo(path, candidate);
          if (st.error == EEXIST) continue;
          note(st, "cannot move it to " + candidate);
          if (where != nullptr && st.ok()) *where = candidate;
          break;
        }
      }
    }
  } catch (...) {
    if (problem.empty()) problem = "unexpected error";
  }
  // Only a file still lying in the inbound directory is a problem.
  if (problem.empty() || !fs.FileExists(path)) return "";
  return problem;
}

namespace {

std::int64_t UnixNow() {
  return std::chrono::duration_cast<std::chrono::seconds>(
             std::chrono::system_clock::now().time_since_epoch())
      .count();
}

// The pause before a message held by a database outage is tried again:
// 1 s, then doubling up to a minute.
std::chrono::milliseconds NextRetryPause(std::chrono::milliseconds previous) {
  using std::chrono::milliseconds;
  if (previous < milliseconds(1000)) return milliseconds(1000);
  return std::min(previous * 2, milliseconds(60000));
}

// Processes `chosen` and disposes of it; a transient database failure
// instead holds it (see InboundCycle::outage). `chosen` is a copy: the held
// file's name it may come from is cleared on the way.
void TakeFile(const IntakeContext& ctx, InboundCycle& cycle, std::string chosen) {
  // Every error line about the file names it, the cycle's own included,
  // and is kept in its notes.
  std::optional<Log::FileScope> about_file(std::in_place, ctx.log, chosen);
  TakenFile taken;
  taken.path = chosen;
  taken.taken_at = UnixNow();
  std::optional<Log::NotesScope> notes(std::in_place, ctx.log, taken.notes);
  const auto started = std::chrono::steady_clock::now();
  // Tells on_taken; a counter's failure must not disturb the queue.
  auto report = [&] {
    // What on_taken logs is not about the file.
    notes.reset();
    about_file.reset();
    if (!cycle.on_taken) return;
    taken.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    taken.finished_at = UnixNow();
    try {
      cycle.on_taken(taken);
    } catch (...) {
    }
  };
  Outcome outcome = Outcome::kFailed;
  SeenMessages* record = nullptr;
  std::string key;
  try {
    record = DuplicateRecord(ctx, cycle);
    outcome = ProcessInboundFile(ctx, chosen, taken, record, key);
    // Recorded before the file goes: a restart in between skips it then.
    if (record && !key.empty() && !taken.duplicate && outcome == Outcome::kProcessed) {
      const std::int64_t now = NowSeconds();
      if (FsStatus st = record->Add({{key}}, now); !st.ok()) {
        throw FileError(st.error, record->path(), false);
      }
      (void)record->Tidy(now);
    }
  } catch (const Error& e) {
    if (e.transient()) {
      ctx.log.DebugLog(std::string("Database not reachable, the file waits: ") + e.what());
      taken.held = true;
      taken.outage_began = !cycle.outage;
      if (!cycle.outage) {
        ctx.log.WriteErrorLog(e.number(),
                              std::string("The database cannot be reached; the inbound queue "
                                          "waits and the file is retried: ") +
                                  e.what() + " (" + chosen + ")",
                              kTickSource);
      }
      cycle.outage = true;
      cycle.retry_pause = NextRetryPause(cycle.retry_pause);
      cycle.retry_at = std::chrono::steady_clock::now() + cycle.retry_pause;
      cycle.held_dir = cycle.CurrentInboundDir;
      cycle.held_file = chosen;
      report();
      return;
    }
    ctx.log.LogCaughtError(kTickSource);
  } catch (...) {
    ctx.log.LogCaughtError(kTickSource);
  }
  if (cycle.outage) {
    ctx.log.WriteErrorLog(0, "The database can be reached again; the inbound queue goes on (" +
                                 chosen + ")",
                          kTickSource);
    cycle.outage = false;
    cycle.retry_pause = std::chrono::milliseconds(0);
    cycle.held_file.clear();
    taken.outage_ended = true;
  }
  std::string problem =
      DisposeInboundFile(ctx, cycle.CurrentInboundDir, chosen, outcome, &taken.disposal);
  if (!problem.empty()) {
    FileIdentity identity;
    if (ctx.fs.Identify(chosen, identity).ok()) cycle.undisposable[chosen] = identity;
    ctx.log.WriteErrorLog(kErrPathFileAccess,
                          "The file was " +
                              std::string(outcome == Outcome::kProcessed ? "processed" : "failed") +
                              " but could not be disposed of (" + problem +
                              "); it is not taken again until it changes or the service "
                              "restarts (" + chosen + ")",
                          kTickSource);
  }
  taken.outcome = outcome;
  report();
}

}  // namespace

bool RunInboundTick(const IntakeContext& ctx, InboundCycle& cycle) {
  try {
    if (cycle.outage) {
      // The held file goes first once its pause is over; nothing else is
      // taken meanwhile, so the order of the queue is kept.
      if (std::chrono::steady_clock::now() < cycle.retry_at) return false;
      if (ctx.fs.FileExists(cycle.held_file)) {
        cycle.CurrentInboundDir = cycle.held_dir;
        TakeFile(ctx, cycle, cycle.held_file);
        return !cycle.outage;
      }
      cycle.held_file.clear();  // taken away meanwhile: the queue goes on
    }
    std::string chosen;
    try {
      ChooseInboundDirectory(ctx.settings, cycle);
      chosen = ChooseInboundFile(ctx, cycle, ctx.settings.WatchInbound == 1);
    } catch (...) {
      const CaughtError e = DescribeCurrentException();
      for (const std::string& line :
           cycle.tick_errors.Occurred(e.description, RepeatLimiter::Clock::now())) {
        ctx.log.WriteErrorLog(e.number, line, kTickSource);
      }
      return false;
    }
    for (const std::string& line : cycle.tick_errors.Cleared()) {
      ctx.log.WriteErrorLog(0, line, kTickSource);
    }
    if (chosen.empty()) return false;
    TakeFile(ctx, cycle, chosen);
    return !cycle.outage;
  } catch (...) {
    // Nothing may leave the tick: the processing timer must come back on.
    return false;
  }
}

}  // namespace norv

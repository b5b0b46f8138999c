#include "intake/inbound_cycle.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <string_view>

#include "app/error.h"
#include "app/log.h"
#include "app/settings.h"
#include "intake/events.h"
#include "intake/hl7_reader.h"
#include "intake/week_folder.h"
#include "platform/event_loop.h"
#include "platform/system.h"

namespace norv {
namespace {

constexpr std::int32_t kLowestStart = 5000000;
constexpr std::int32_t kErrPermissionDenied = 70;
constexpr char kTickSource[] = "MainForm TimerProgress";
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

// The file number of a name's base: decimal digits with an optional sign.
// nullopt with `overflow` set when the digits leave the 32-bit range.
std::optional<std::int32_t> FileNumber(std::string_view base, bool& overflow) {
  overflow = false;
  std::size_t i = 0;
  bool negative = false;
  if (i < base.size() && (base[i] == '+' || base[i] == '-')) negative = base[i++] == '-';
  if (i == base.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; i < base.size(); ++i) {
    char c = base[i];
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
    if (value > 2147483648LL) {
      // Keep reading: a later non-digit still makes it no number at all.
      overflow = true;
      value = 2147483648LL;
    }
  }
  if (negative) value = -value;
  if (overflow || value > 2147483647LL) {
    overflow = true;
    return std::nullopt;
  }
  return static_cast<std::int32_t>(value);
}

// The characters after the last full stop; the whole name without one.
std::string_view ExtensionOf(std::string_view name) {
  std::size_t dot = name.rfind('.');
  return dot == std::string_view::npos ? name : name.substr(dot + 1);
}

// The extension compared with FileSuffix: upper-cased, ASCII only.
bool SuffixMatches(std::string_view extension, const std::string& suffix) {
  if (extension.size() != suffix.size()) return false;
  for (std::size_t i = 0; i < extension.size(); ++i) {
    char c = extension[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != suffix[i]) return false;
  }
  return true;
}

// Logs a problem with one inbound file the first time this process meets it.
void ReportOnce(std::set<std::string>& reported, const std::string& path,
                std::int32_t number, const std::string& description) {
  if (!reported.insert(path).second) return;
  WriteErrorLog(number, description, kTickSource);
}

// Step 2: the directory of this tick.
void ChooseInboundDirectory(InboundCycle& cycle) {
  const Settings& s = settings();
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

// The event handling of one message event.
void Dispatch(Hl7Segments& store, HL7Message& msg, bool& processed_ok) {
  const std::string& event = store.MessageEvent;
  if (event == "ADT^A08") {
    HandlePatientUpdate(store, msg, processed_ok);
  } else if (event == "ADT^A40") {
    HandlePatientMerge(store, msg, processed_ok);
  } else if (event == "ADT^A47") {
    HandlePatientIdChange(store, msg, processed_ok);
  } else if (event == "ORM^O01" || event == "OMG^O19") {
    HandleOrder(store, msg, processed_ok);
  } else if (event == "ORU^R01") {
    HandleReport(store, msg, processed_ok);
  } else {
    DebugLog("Event ID not recognized");
  }
}

// Steps 6 to 10 for the chosen file.
void ProcessInboundFile(FileSystem& fs, const std::string& path, bool& processed_ok,
                        std::string& event) {
  DebugLog("Processing: " + path);
  std::string bytes;
  if (FsStatus st = fs.ReadWholeFile(path, bytes); !st.ok()) throw FileError(st.error, path, false);
  // The bytes are Windows-1252 text already. Only blanks are trimmed;
  // carriage returns, line feeds and tabs stay.
  std::string_view text = bytes;
  std::size_t first = text.find_first_not_of(' ');
  text = first == std::string_view::npos ? std::string_view() : text.substr(first);
  std::size_t last = text.find_last_not_of(' ');
  text = text.substr(0, last == std::string_view::npos ? 0 : last + 1);
  DebugLog("Get sequence content");

  std::size_t header = text.find("MSH");
  if (header == std::string_view::npos) {
    WriteErrorLog(-1, "No Message Header! (" + path + ")", "TimerProgress");
    return;
  }
  Hl7Segments store;
  HL7Message msg;
  SplitSegments(text.substr(header), store);
  bool readable = false;
  try {
    readable = ReadCommonValues(store, msg);
  } catch (...) {
    event = store.MessageEvent;  // read before the error: the tick reports it
    throw;
  }
  event = store.MessageEvent;
  if (!readable) return;
  Dispatch(store, msg, processed_ok);
}

}  // namespace

std::string ChooseInboundFile(FileSystem& fs, const std::string& dir,
                              std::set<std::string>& reported_files) {
  // Attributes and sizes are read only for names with the suffix: in a
  // crowded directory most files are someone else's.
  std::vector<FileInfo> files;
  FsStatus listed = fs.ListFiles(dir, files, [](std::string_view name) {
    return SuffixMatches(ExtensionOf(name), settings().FileSuffix);
  });
  if (!listed.ok()) throw FileError(listed.error, dir, true);

  std::int32_t lowest = kLowestStart;
  std::string chosen;
  for (const FileInfo& file : files) {
    DoEvents();
    std::string_view name = file.Name;
    std::string_view extension = ExtensionOf(name);
    // The suffix is compared afresh, as a settings reload may have run
    // during DoEvents; a file listed unexamined waits for the next tick.
    if (!file.Examined || !SuffixMatches(extension, settings().FileSuffix)) continue;
    std::string_view base = extension.size() == name.size()
                                ? std::string_view()
                                : name.substr(0, name.size() - extension.size() - 1);

    bool overflow = false;
    std::optional<std::int32_t> number = FileNumber(base, overflow);
    if (!number) {
      // A stray file (abc.HL7) must neither stop the scan nor cost the file
      // already chosen its turn.
      ReportOnce(reported_files, file.Path, overflow ? kErrOverflow : kErrTypeMismatch,
                 std::string(overflow ? "Overflow" : "Type mismatch") +
                     ": the name is no file number (" + file.Path + ")");
      continue;
    }
    if (file.Attributes != 0 || *number >= lowest) {
      // Clearing is a no-op for a word that is 0 already, so only a set word
      // costs a call. The archive bit clears itself as the file ages.
      if (file.Attributes != 0) {
        if (FsStatus st = fs.SetAttributes(file.Path, 0); !st.ok()) {
          Error e = FileError(st.error, file.Path, false);
          ReportOnce(reported_files, file.Path, e.number(), e.what());
        }
      }
      continue;
    }
    if (file.Size == 0) {
      if (FsStatus st = fs.RemoveFile(file.Path); !st.ok()) {
        Error e = FileError(st.error, file.Path, false);
        ReportOnce(reported_files, file.Path, e.number(), e.what());
      }
      continue;
    }
    lowest = *number;
    chosen = file.Path;
  }
  return chosen;
}

void DisposeInboundFile(FileSystem& fs, const std::string& inbound_dir,
                        const std::string& path, bool processed_ok) {
  try {
    if (path.empty()) return;
    if (processed_ok && settings().KeepFiles != 1) {
      (void)fs.RemoveFile(path);
      return;
    }
    // The inbound directory is a plain prefix: as configured it ends in a
    // separator, so the folders lie inside it.
    const std::string folder = inbound_dir + (processed_ok ? "debug" : "failed");
    if (!fs.FolderExists(folder)) (void)fs.CreateFolder(folder);
    const std::string week = folder + kPathSeparator + WeekFolderName(LocalNow());
    if (!fs.FolderExists(week)) (void)fs.CreateFolder(week);
    if (!fs.FileExists(path)) return;

    std::size_t slash = path.rfind(kPathSeparator);
    const std::string target =
        week + kPathSeparator + (slash == std::string::npos ? path : path.substr(slash + 1));
    if (processed_ok) {
      // The debug folder keeps the latest copy of a name.
      if (fs.FileExists(target)) {
        if (fs.CopyFileTo(path, target, true).ok()) (void)fs.RemoveFile(path);
      } else {
        (void)fs.MoveFileTo(path, target);
      }
      return;
    }
    // A failed message is never lost: senders reuse numbers, so a name that
    // is already taken gets the first free ".n" after it.
    for (int n = 0; n <= kMaxFailedCopies; ++n) {
      std::string candidate = n == 0 ? target : target + "." + std::to_string(n);
      FsStatus st = fs.MoveFileTo(path, candidate);
      if (st.error != EEXIST) return;
    }
  } catch (...) {
    // Disposal failures leave the file where it is for a later tick.
  }
}

void RunInboundTick(InboundCycle& cycle) {
  try {
    FileSystem& fs = cycle.file_system != nullptr ? *cycle.file_system : PlatformFileSystem();
    std::string chosen;
    bool processed_ok = false;
    std::string event;
    auto taken = std::chrono::steady_clock::now();
    try {
      ChooseInboundDirectory(cycle);
      chosen = ChooseInboundFile(fs, cycle.CurrentInboundDir, cycle.reported_files);
      taken = std::chrono::steady_clock::now();
      if (!chosen.empty()) ProcessInboundFile(fs, chosen, processed_ok, event);
    } catch (...) {
      LogCaughtError(kTickSource);
    }
    DisposeInboundFile(fs, cycle.CurrentInboundDir, chosen, processed_ok);
    if (cycle.on_tick) {
      cycle.on_tick(!chosen.empty(), event, processed_ok,
                    std::chrono::duration<double>(std::chrono::steady_clock::now() - taken).count());
    }
  } catch (...) {
    // Nothing may leave the tick: the processing timer must come back on.
  }
}

}  // namespace norv

#include "core/log.h"

#include <cstdio>
#include <utility>

#include "core/error.h"

namespace norv {
namespace {

constexpr std::size_t kZone = 14;

// Appends `field` at the next print zone, as a Print statement with commas
// would lay out the fields of one line.
void AddZoned(std::string& line, std::string_view field) {
  std::size_t next = (line.size() / kZone + 1) * kZone;
  line.append(next - line.size(), ' ');
  line.append(field);
}

}  // namespace

Log::Log(FileSystem& fs, std::string program_dir, const Settings& settings, Clock clock,
         LogFileNames names)
    : fs_(fs),
      program_dir_(std::move(program_dir)),
      settings_(settings),
      clock_(std::move(clock)),
      names_(std::move(names)) {
  while (program_dir_.size() > 1 && program_dir_.back() == '/') program_dir_.pop_back();
}

// Steps run on their own: a folder that cannot be created still lets the
// append be tried, and a failed append loses the line.
void Log::AppendLine(const std::string& file_name, const std::string& line) {
  const std::string folder = program_dir_ + "/Logs";
  if (!fs_.FolderExists(folder)) (void)fs_.CreateFolder(folder);
  (void)fs_.AppendToFile(folder + "/" + file_name, line + "\r\n");
}
std::string FormatLogDateTime(const LocalDateTime& t) {
  char buf[32];
  if (t.hour == 0 && t.minute == 0 && t.second == 0) {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.year, t.month, t.day);
  } else {
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d", t.year, t.month,
                  t.day, t.hour, t.minute, t.second);
  }
  return buf;
}

std::string FormatErrorLine(const LocalDateTime& t, std::int32_t number,
                            std::string_view description, std::string_view source) {
  std::string line = FormatLogDateTime(t);
  // A number prints with a blank (or its minus sign) in front and a blank after.
  std::string num = (number < 0 ? "" : " ") + std::to_string(number) + " ";
  AddZoned(line, num);
  AddZoned(line, description);
  AddZoned(line, source);
  return line;
}

std::string FormatDebugLine(const LocalDateTime& t, std::string_view text,
                            std::string_view extra) {
  std::string line = FormatLogDateTime(t);
  AddZoned(line, text);
  if (!extra.empty()) AddZoned(line, extra);
  return line;
}

void Log::WriteErrorLog(std::int32_t number, std::string_view description,
                        std::string_view source) {
  std::string named;
  try {
    if (!current_file_.empty()) {
      const std::string suffix = " (" + current_file_ + ")";
      if (!description.ends_with(suffix)) {
        named = std::string(description) + suffix;
        description = named;
      }
    }
  } catch (...) {
  }
  try {
    std::string line = FormatErrorLine(clock_(), number, description, source);
    AppendLine(names_.error, line);
    if (notes_ != nullptr) {
      if (notes_->error_lines.size() < MessageNotes::kMaxErrorLines) {
        notes_->error_lines.push_back(std::move(line));
      } else {
        ++notes_->more_error_lines;
      }
    }
  } catch (...) {
  }
  try {
    if (observer_) observer_(number, source);
  } catch (...) {
  }
  try {
    if (DebugOn()) {
      std::string text = std::to_string(number);
      text += ", ";
      text += description;
      text += ", ";
      text += source;
      WriteDebugLog(text);
    }
  } catch (...) {
  }
}

void Log::WriteDebugLog(std::string_view text, std::string_view extra) {
  try {
    AppendLine(names_.debug, FormatDebugLine(clock_(), text, extra));
  } catch (...) {
  }
}

void Log::LogCaughtError(std::string_view source) {
  CaughtError e = DescribeCurrentException();
  WriteErrorLog(e.number, e.description, source);
}

Log::FileScope::FileScope(Log& log, std::string path)
    : log_(log), outer_(std::exchange(log.current_file_, std::move(path))) {}

Log::FileScope::~FileScope() { log_.current_file_ = std::move(outer_); }

Log::NotesScope::NotesScope(Log& log, MessageNotes& notes)
    : log_(log), outer_(std::exchange(log.notes_, &notes)) {}

Log::NotesScope::~NotesScope() { log_.notes_ = outer_; }

void Log::NoteChange(std::string_view what) {
  if (notes_ == nullptr) return;
  try {
    notes_->changes.emplace_back(what);
  } catch (...) {
  }
}

std::size_t Log::NotedChanges() const { return notes_ ? notes_->changes.size() : 0; }

void Log::MarkChangesUndone(std::size_t first) {
  if (notes_ == nullptr) return;
  try {
    for (std::size_t i = first; i < notes_->changes.size(); ++i) {
      // A file it wrote is not undone by the rollback.
      if (notes_->changes[i].find(" written: ") != std::string::npos) continue;
      notes_->changes[i] += " (rolled back: its procedure failed)";
    }
  } catch (...) {
  }
}

void Log::DebugLog(std::string_view text) {
  if (DebugOn()) WriteDebugLog(text);
}

}  // namespace norv

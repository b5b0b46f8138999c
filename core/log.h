// The two log files of the program, by default "NORVReaderError.log" and
// "NORVReaderDebug.log" in the program directory's "Logs" folder. Each call
// appends one CR LF line (Windows-1252) through the file seam, never through
// a symbolic link; the folder is created when missing. Failures are
// swallowed: a line that cannot be written is lost and the caller goes on.
#ifndef NORV_CORE_LOG_H_
#define NORV_CORE_LOG_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "core/settings.h"
#include "platform/file_system.h"
#include "platform/system.h"

namespace norv {

struct LogFileNames {
  std::string error = "NORVReaderError.log";
  std::string debug = "NORVReaderDebug.log";
};

// What the log saw while one inbound message was handled, for the message
// journal: the first error lines in full, as written to the error log, and
// the changes the procedures reported (a patient inserted, a page written).
struct MessageNotes {
  static constexpr std::size_t kMaxErrorLines = 5;
  std::vector<std::string> error_lines;
  std::size_t more_error_lines = 0;  // lines beyond the first kMaxErrorLines
  std::vector<std::string> changes;
};

class Log {
 public:
  // Writes into `program_dir` + "/Logs"; debug lines only while
  // `settings.Debug` is 1 (read at each call, so a reload takes effect at
  // once); line times from `clock`. Every reference must outlive the log.
  Log(FileSystem& fs, std::string program_dir, const Settings& settings,
      Clock clock = LocalNow, LogFileNames names = {});

  // Appends "<date time> <number> <description> <source>" to the error log and,
  // when Debug is 1, "number, description, source" to the debug log.
  void WriteErrorLog(std::int32_t number, std::string_view description,
                     std::string_view source);
  // Appends "<date time> <text> <extra>" to the debug log, whatever Debug is
  // (callers test DebugOn() first, or use DebugLog).
  void WriteDebugLog(std::string_view text, std::string_view extra = {});
  // The debug line only when Debug is 1.
  void DebugLog(std::string_view text);
  // Logs the exception being handled under `source`; call only in a catch.
  void LogCaughtError(std::string_view source);

  // Told of every error-log line once it is written, by number and source
  // (the service counts database errors by it); empty: nobody. An observer
  // that throws is ignored.
  using ErrorObserver = std::function<void(std::int32_t number, std::string_view source)>;
  void SetErrorObserver(ErrorObserver observer) { observer_ = std::move(observer); }

  bool DebugOn() const { return settings_.Debug == 1; }
  const std::string& program_dir() const { return program_dir_; }

  // While one is alive, every error-log line whose description does not end
  // in " (<path>)" yet gets it appended: the lines written while one inbound
  // file is handled all name that file. A nested scope names its own file
  // and gives the outer one back when it ends.
  class FileScope {
   public:
    FileScope(Log& log, std::string path);
    ~FileScope();
    FileScope(const FileScope&) = delete;
    FileScope& operator=(const FileScope&) = delete;

   private:
    Log& log_;
    std::string outer_;
  };
  // While one is alive, error lines and NoteChange texts are also kept in
  // `notes`. Nested scopes are not meant: the inner one wins until it ends.
  class NotesScope {
   public:
    NotesScope(Log& log, MessageNotes& notes);
    ~NotesScope();
    NotesScope(const NotesScope&) = delete;
    NotesScope& operator=(const NotesScope&) = delete;

   private:
    Log& log_;
    MessageNotes* outer_;
  };
  // Keeps `what` as one change of the message being handled; nothing
  // outside a NotesScope. Never throws.
  void NoteChange(std::string_view what);
  // How many changes the message being handled has noted so far, and the
  // marking of those from `first` on as undone: a procedure that fails is
  // rolled back, and what it noted did not stay stored. Never throw.
  std::size_t NotedChanges() const;
  void MarkChangesUndone(std::size_t first);

  // The file the error lines are about now; empty outside a FileScope.
  const std::string& current_file() const { return current_file_; }

 private:
  void AppendLine(const std::string& file_name, const std::string& line);

  FileSystem& fs_;
  std::string program_dir_;
  const Settings& settings_;
  Clock clock_;
  LogFileNames names_;
  std::string current_file_;
  ErrorObserver observer_;
  MessageNotes* notes_ = nullptr;
};

// Exposed for tests: the date and time as the log writes it
// ("YYYY-MM-DD HH:MM:SS", or the date alone at midnight).
std::string FormatLogDateTime(const LocalDateTime& t);
// The line without its CR LF: fields joined at print zones 14 characters wide.
std::string FormatErrorLine(const LocalDateTime& t, std::int32_t number,
                            std::string_view description, std::string_view source);
std::string FormatDebugLine(const LocalDateTime& t, std::string_view text,
                            std::string_view extra);

}  // namespace norv

#endif  // NORV_CORE_LOG_H_

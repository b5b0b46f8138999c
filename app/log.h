// The two log files, "NORVReaderError.log" and "NORVReaderDebug.log" in the
// program directory's "Logs" folder. Each call opens, appends one CR LF line
// (Windows-1252) and closes; the folder is created when missing. Failures are
// swallowed: a line that cannot be written is lost and the caller goes on.
#ifndef NORV_APP_LOG_H_
#define NORV_APP_LOG_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/system.h"

namespace norv {

// The program directory: holds Logs/, procedure-ids.txt, RenameOrders/ and by
// default the settings file. No trailing separator.
const std::string& ProgramDir();
void SetProgramDir(std::string dir);

// Appends "<date time> <number> <description> <source>" to the error log and,
// when Debug is 1, "number, description, source" to the debug log.
void WriteErrorLog(std::int32_t number, std::string_view description,
                   std::string_view source);

// Called after every error-log line with its number and source (the
// service's state record counts database errors by it); empty: nobody.
void SetErrorLogObserver(std::function<void(std::int32_t number, std::string_view source)> observer);

// Appends "<date time> <text> <extra>" to the debug log. Callers test that
// Debug equals 1 before calling.
void WriteDebugLog(std::string_view text, std::string_view extra = {});

// Logs the exception being handled with WriteErrorLog under `source`; call
// only inside a catch block.
void LogCaughtError(std::string_view source);

// Writes the debug line only when Debug is 1 (the test every caller makes).
void DebugLog(std::string_view text);

// Exposed for tests: the date and time as the log writes it
// ("YYYY-MM-DD HH:MM:SS", or the date alone at midnight).
std::string FormatLogDateTime(const LocalDateTime& t);
// The line without its CR LF: fields joined at print zones 14 characters wide.
std::string FormatErrorLine(const LocalDateTime& t, std::int32_t number,
                            std::string_view description, std::string_view source);
std::string FormatDebugLine(const LocalDateTime& t, std::string_view text,
                            std::string_view extra);

}  // namespace norv

#endif  // NORV_APP_LOG_H_

#include "app/log.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "app/error.h"
#include "app/settings.h"

namespace norv {
namespace {

constexpr std::size_t kZone = 14;

std::function<void(std::int32_t, std::string_view)>& ErrorLogObserver() {
  static std::function<void(std::int32_t, std::string_view)> observer;
  return observer;
}

std::string& ProgramDirRef() {
  static std::string dir = ExecutableDirectory();
  return dir;
}

// Appends `field` at the next print zone, as a Print statement with commas
// would lay out the fields of one line.
void AddZoned(std::string& line, std::string_view field) {
  std::size_t next = (line.size() / kZone + 1) * kZone;
  line.append(next - line.size(), ' ');
  line.append(field);
}

// Steps run on their own: a folder that cannot be created still lets the open
// be tried, and a failed open skips the write.
void AppendLine(const char* file_name, const std::string& line) {
  std::string folder = ProgramDirRef() + "/Logs/";
  std::error_code ec;
  if (!std::filesystem::is_directory(folder, ec)) {
    std::filesystem::create_directory(folder, ec);
  }
  std::string path = folder + file_name;
  FILE* f = std::fopen(path.c_str(), "ab");
  if (f == nullptr) return;
  std::fwrite(line.data(), 1, line.size(), f);
  std::fwrite("\r\n", 1, 2, f);
  std::fclose(f);
}

}  // namespace

const std::string& ProgramDir() { return ProgramDirRef(); }
void SetProgramDir(std::string dir) {
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  ProgramDirRef() = std::move(dir);
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

void SetErrorLogObserver(std::function<void(std::int32_t, std::string_view)> observer) {
  ErrorLogObserver() = std::move(observer);
}

void WriteErrorLog(std::int32_t number, std::string_view description,
                   std::string_view source) {
  try {
    AppendLine("NORVReaderError.log",
               FormatErrorLine(LocalNow(), number, description, source));
  } catch (...) {
  }
  try {
    if (ErrorLogObserver()) ErrorLogObserver()(number, source);
  } catch (...) {
  }
  try {
    if (settings().Debug == 1) {
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

void WriteDebugLog(std::string_view text, std::string_view extra) {
  try {
    AppendLine("NORVReaderDebug.log", FormatDebugLine(LocalNow(), text, extra));
  } catch (...) {
  }
}

void LogCaughtError(std::string_view source) {
  CaughtError e = DescribeCurrentException();
  WriteErrorLog(e.number, e.description, source);
}

void DebugLog(std::string_view text) {
  if (settings().Debug == 1) WriteDebugLog(text);
}

}  // namespace norv

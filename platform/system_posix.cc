#include "platform/system.h"

#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>

namespace norv {

LocalDateTime LocalNow() {
  time_t now = time(nullptr);
  struct tm tm {};
  localtime_r(&now, &tm);
  LocalDateTime t;
  t.year = tm.tm_year + 1900;
  t.month = tm.tm_mon + 1;
  t.day = tm.tm_mday;
  t.hour = tm.tm_hour;
  t.minute = tm.tm_min;
  t.second = tm.tm_sec;
  return t;
}

std::string ExecutableDirectory() {
  std::error_code ec;
  auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) return std::filesystem::current_path(ec).string();
  return exe.parent_path().string();
}

bool MayRead(const std::string& file) { return access(file.c_str(), R_OK) == 0; }

bool MayWriteInto(const std::string& folder) {
  return access(folder.c_str(), W_OK | X_OK) == 0;
}

void SleepMilliseconds(int ms) {
  if (ms <= 0) return;
  struct timespec ts;
  ts.tv_sec = ms / 1000;
  ts.tv_nsec = static_cast<long>(ms % 1000) * 1000000L;
  while (nanosleep(&ts, &ts) != 0) {
  }
}

}  // namespace norv

#include "platform/system.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
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

int ReadSmallRegularFile(const std::string& path, std::uint64_t max_size, std::string& bytes) {
  bytes.clear();
  int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  } else if (static_cast<std::uint64_t>(st.st_size) > max_size) {
    err = EFBIG;
  }
  // Up to one byte past the limit, to notice a file that grew meanwhile.
  std::size_t got = 0;
  if (err == 0) bytes.resize(static_cast<std::size_t>(st.st_size) + 1);
  while (err == 0) {
    if (got == bytes.size()) {
      if (got > max_size) {
        err = EFBIG;
        break;
      }
      bytes.resize(got + 4096 > max_size + 1 ? max_size + 1 : got + 4096);
    }
    ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) err = errno;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  close(fd);
  if (err != 0) {
    bytes.clear();
    return err;
  }
  bytes.resize(got);
  return 0;
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

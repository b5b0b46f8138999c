// Small operating-system services: the local clock, the executable's
// directory and a blocking pause.
#ifndef NORV_PLATFORM_SYSTEM_H_
#define NORV_PLATFORM_SYSTEM_H_

#include <cstdint>
#include <functional>
#include <string>

namespace norv {

struct LocalDateTime {
  int year = 1970, month = 1, day = 1;
  int hour = 0, minute = 0, second = 0;
};

// The local date and time of the system clock.
LocalDateTime LocalNow();

// Where a procedure reads the local time: LocalNow in the service, a fixed
// or stepping clock in tests.
using Clock = std::function<LocalDateTime()>;

// Directory that holds the running executable, without a trailing separator;
// the current directory when it cannot be found.
std::string ExecutableDirectory();

// Whether this process may read the file, or create and remove entries in
// the folder, by its effective permissions (checks only; nothing is opened).
bool MayRead(const std::string& file);
bool MayWriteInto(const std::string& folder);

// Reads the regular file `path` whole, following links, into `bytes`.
// Returns 0, or an errno value: EINVAL when `path` is no regular file (a
// pipe or a device is never waited on), EFBIG when it is larger than
// `max_size` bytes (nothing is read then).
int ReadSmallRegularFile(const std::string& path, std::uint64_t max_size, std::string& bytes);

// Blocks the thread for `ms` milliseconds; no events run meanwhile.
void SleepMilliseconds(int ms);

// The platform's path separator, as text.
inline constexpr char kPathSeparator = '/';

}  // namespace norv

#endif  // NORV_PLATFORM_SYSTEM_H_

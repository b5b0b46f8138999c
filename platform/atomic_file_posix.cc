#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/atomic_file.h"

namespace norv {
namespace {

FsStatus WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return FsStatus{errno};
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return {};
}

// Makes a rename in `folder` durable; a folder that cannot be opened for it
// (no read permission) is left to the file system's own schedule.
void SyncFolder(const std::string& folder) {
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  (void)fsync(fd);
  close(fd);
}

}  // namespace

FsStatus WriteFileAtomically(const std::string& path, std::string_view bytes, int mode) {
  std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty()) return FsStatus{EISDIR};
  const std::string temp = (slash == std::string::npos ? std::string() : folder) + "." + name +
                           "." + std::to_string(getpid()) + ".tmp";

  const int flags = O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC;
  int fd = open(temp.c_str(), flags, 0666);
  if (fd < 0 && errno == EEXIST) {
    // Our own name from an earlier run with the same pid: unlink removes a
    // link itself, never what it points to.
    (void)unlink(temp.c_str());
    fd = open(temp.c_str(), flags, 0666);
  }
  if (fd < 0) return FsStatus{errno};

  FsStatus st = WriteAll(fd, bytes);
  if (st.ok() && mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) st = FsStatus{errno};
  if (st.ok() && fsync(fd) != 0) st = FsStatus{errno};
  if (close(fd) != 0 && st.ok()) st = FsStatus{errno};
  if (st.ok() && rename(temp.c_str(), path.c_str()) != 0) st = FsStatus{errno};
  if (!st.ok()) {
    (void)unlink(temp.c_str());
    return st;
  }
  SyncFolder(folder);
  return {};
}

}  // namespace norv

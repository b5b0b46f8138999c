// POSIX files behind spool_files.h.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>

#include "receive/spool_files.h"

namespace norv {
namespace {

FsStatus Errno() { return FsStatus{errno}; }

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

bool WriteAll(int fd, std::string_view bytes) {
  while (!bytes.empty()) {
    ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n == 0) errno = EIO;
      return false;
    }
    bytes.remove_prefix(static_cast<std::size_t>(n));
  }
  return true;
}

class PosixSpoolFiles final : public SpoolFiles {
 public:
  FsStatus WriteNew(const std::string& path, std::string_view bytes) override {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return Errno();
    bool ok = WriteAll(fd, bytes) && fdatasync(fd) == 0;
    int error = ok ? 0 : errno;
    if (close(fd) != 0 && ok) {
      ok = false;
      error = errno;
    }
    if (!ok) unlink(path.c_str());
    return FsStatus{error};
  }

  FsStatus Rename(const std::string& from, const std::string& to, bool replace) override {
    if (replace) return rename(from.c_str(), to.c_str()) == 0 ? FsStatus{} : Errno();
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
      return FsStatus{};
    }
    if (errno != EINVAL && errno != ENOSYS) return Errno();
    // A file system without the no-replace rename: a hard link never
    // replaces either.
    if (link(from.c_str(), to.c_str()) != 0) return Errno();
    unlink(from.c_str());
    return FsStatus{};
  }

  FsStatus SyncFolder(const std::string& folder) override {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno();
    int error = fsync(fd) == 0 ? 0 : errno;
    close(fd);
    return FsStatus{error};
  }

  FsStatus Remove(const std::string& path) override {
    return unlink(path.c_str()) == 0 ? FsStatus{} : Errno();
  }

  FsStatus Read(const std::string& path, std::string& bytes) override {
    bytes.clear();
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return Errno();
    char buffer[4096];
    int error = 0;
    for (;;) {
      ssize_t n = read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) error = errno;
      if (n <= 0) break;
      bytes.append(buffer, static_cast<std::size_t>(n));
    }
    close(fd);
    return FsStatus{error};
  }

  FsStatus List(const std::string& folder, std::vector<std::string>& names) override {
    names.clear();
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return Errno();
    errno = 0;
    while (dirent* e = readdir(dir.get())) {
      std::string_view name = e->d_name;
      if (name != "." && name != "..") names.emplace_back(name);
      errno = 0;
    }
    return Errno();
  }

  FsStatus Lock(const std::string& path, int& handle) override {
    handle = -1;
    int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return Errno();
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno == EAGAIN ? EWOULDBLOCK : errno;
      close(fd);
      return FsStatus{error};
    }
    handle = fd;
    return FsStatus{};
  }

  void Unlock(int handle) override {
    if (handle >= 0) close(handle);
  }
};

}  // namespace

SpoolFiles& PlatformSpoolFiles() {
  static PosixSpoolFiles files;
  return files;
}

}  // namespace norv

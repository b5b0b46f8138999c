// POSIX files behind durable_files.h. The no-replace rename is the one the
// file system code uses (on plain paths: a configured folder may be a link);
// the folder sync, reading and removing a file are FileSystem's.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>

#include "platform/durable_files.h"
#include "platform/file_system.h"
#include "platform/posix_rename.h"

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

class PosixDurableFiles final : public DurableFiles {
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

  FsStatus OpenLog(const std::string& path, int& handle) override {
    handle = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_NOFOLLOW | O_CLOEXEC, 0666);
    return handle < 0 ? Errno() : FsStatus{};
  }

  FsStatus AppendLog(int handle, std::string_view bytes) override {
    return WriteAll(handle, bytes) ? FsStatus{} : Errno();
  }

  FsStatus FlushLog(int handle) override { return fdatasync(handle) == 0 ? FsStatus{} : Errno(); }

  FsStatus CreateNew(const std::string& path, std::string_view bytes, int& handle) override {
    handle = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (handle < 0) return Errno();
    if (WriteAll(handle, bytes)) return FsStatus{};
    int error = errno;
    close(handle);
    handle = -1;
    unlink(path.c_str());
    return FsStatus{error};
  }

  FsStatus FinishNew(int handle) override {
    bool ok = fdatasync(handle) == 0;
    int error = ok ? 0 : errno;
    if (close(handle) != 0 && ok) error = errno;
    return FsStatus{error};
  }

  void CloseLog(int handle) override {
    if (handle >= 0) close(handle);
  }

  FsStatus Rename(const std::string& from, const std::string& to, bool replace) override {
    if (replace) return rename(from.c_str(), to.c_str()) == 0 ? FsStatus{} : Errno();
    return posix::RenameNoReplace(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str());
  }

  FsStatus SyncFolder(const std::string& folder) override {
    return PlatformFileSystem().SyncFolder(folder);
  }

  FsStatus Remove(const std::string& path) override { return PlatformFileSystem().RemoveFile(path); }

  FsStatus Read(const std::string& path, std::string& bytes) override {
    return PlatformFileSystem().ReadWholeFile(path, bytes);
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

DurableFiles& PlatformDurableFiles() {
  static PosixDurableFiles files;
  return files;
}

}  // namespace norv

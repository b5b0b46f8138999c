#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "platform/file_system.h"
#include "platform/posix_rename.h"

namespace norv {

namespace posix {

FsStatus RenameNoReplace(int from_dfd, const char* from, int dfd, const char* to) {
  if (renameat2(from_dfd, from, dfd, to, RENAME_NOREPLACE) == 0) return {};
  int err = errno;
  if (err != EINVAL && err != ENOSYS) return FsStatus{err};
  if (linkat(from_dfd, from, dfd, to, 0) == 0) {
    (void)unlinkat(from_dfd, from, 0);
    return {};
  }
  err = errno;
  if (err == EEXIST || err == EXDEV || err == ENOENT) return FsStatus{err};
  // Neither works (a file system without hard links): check, then rename.
  struct stat st;
  if (fstatat(dfd, to, &st, AT_SYMLINK_NOFOLLOW) == 0) return FsStatus{EEXIST};
  if (renameat(from_dfd, from, dfd, to) != 0) return FsStatus{errno};
  return {};
}

}  // namespace posix

namespace {

using posix::RenameNoReplace;

// A file counts as "just written" (the archive bit) while its modification
// time lies within this span of now, on either side: a writer's clock a
// little ahead must not make a file look old, and a file dated far in the
// future must not be held back forever.
constexpr long long kArchiveSpanNs = 1'000'000'000LL;

long long ToNs(const timespec& t) {
  return static_cast<long long>(t.tv_sec) * 1'000'000'000LL + t.tv_nsec;
}

std::uint32_t AttributesOf(const struct stat& st, long long now_ns) {
  std::uint32_t attributes = 0;
  if ((st.st_mode & S_IWUSR) == 0) attributes |= kAttrReadOnly;
  long long age = now_ns - ToNs(st.st_mtim);
  if (age < kArchiveSpanNs && age > -kArchiveSpanNs) attributes |= kAttrArchive;
  return attributes;
}

FsStatus Errno() { return FsStatus{errno}; }

struct DirCloser {
  void operator()(DIR* d) const { closedir(d); }
};

class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;

 private:
  int fd_;
};

// --- Never through a link ---------------------------------------------------
// The helpers below open, write and rename relative to the destination
// folder, opened itself without following a link, so neither a link planted
// at the target name nor one in place of the folder is ever followed.

// Splits `path` into its folder ("." when there is none) and its last name.
void SplitPath(const std::string& path, std::string& folder, std::string& name) {
  std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) {
    folder = ".";
    name = path;
  } else {
    folder = slash == 0 ? "/" : path.substr(0, slash);
    name = path.substr(slash + 1);
  }
}

// Opens the folder of `path` for the *at() calls; -1 with errno set.
int OpenFolderOf(const std::string& path, std::string& name) {
  std::string folder;
  SplitPath(path, folder, name);
  if (name.empty() || name == "." || name == "..") {
    errno = EINVAL;
    return -1;
  }
  return open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// Opens a regular file for reading without following a link and without
// blocking on a pipe or device; -1 with errno set (EISDIR, EINVAL).
int OpenRegularForReading(const std::string& path, struct stat& st) {
  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return -1;
  int err = 0;
  if (fstat(fd, &st) != 0) {
    err = errno;
  } else if (S_ISDIR(st.st_mode)) {
    err = EISDIR;
  } else if (!S_ISREG(st.st_mode)) {
    err = EINVAL;
  }
  if (err == 0) return fd;
  close(fd);
  errno = err;
  return -1;
}

bool WriteAll(int fd, const char* data, std::size_t size) {
  while (size > 0) {
    ssize_t n = write(fd, data, size);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

// Copies what remains of `in` to `out`.
FsStatus CopyBytes(int in, int out) {
  char buffer[64 * 1024];
  for (;;) {
    ssize_t n = read(in, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      return Errno();
    }
    if (n == 0) return {};
    if (!WriteAll(out, buffer, static_cast<std::size_t>(n))) return Errno();
  }
}


// Writes a file at `to` through a new temporary name in its folder: `fill`
// writes the content to the descriptor, which is then given `mode`, flushed
// and renamed to `to` (replacing what is there only when `overwrite`). On
// failure the temporary file is removed and `to` is as it was.
FsStatus WriteThroughTemporary(const std::string& to, bool overwrite, mode_t mode,
                               const std::function<FsStatus(int fd)>& fill) {
  std::string name;
  int dfd = OpenFolderOf(to, name);
  if (dfd < 0) return Errno();
  FdCloser folder_closer(dfd);

  // A fresh name that nothing else uses: created exclusively, never
  // through a link.
  static unsigned counter = 0;
  std::string temp;
  int fd = -1;
  for (int attempt = 0; fd < 0 && attempt < 100; ++attempt) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char suffix[64];
    snprintf(suffix, sizeof suffix, ".%ld.%ld%u.part", static_cast<long>(getpid()),
             static_cast<long>(now.tv_nsec), ++counter);
    temp = "." + name + suffix;
    fd = openat(dfd, temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                mode & 0777);
    if (fd < 0 && errno != EEXIST) return Errno();
  }
  if (fd < 0) return FsStatus{EEXIST};

  FsStatus written = fill(fd);
  // The mode as asked, whatever the umask took away.
  if (written.ok() && fchmod(fd, mode & 0777) != 0) written = Errno();
  if (written.ok() && fsync(fd) != 0) written = Errno();
  if (close(fd) != 0 && written.ok()) written = Errno();
  if (written.ok()) {
    if (overwrite) {
      if (renameat(dfd, temp.c_str(), dfd, name.c_str()) != 0) written = Errno();
    } else {
      written = RenameNoReplace(dfd, temp.c_str(), dfd, name.c_str());
    }
  }
  if (!written.ok()) {
    (void)unlinkat(dfd, temp.c_str(), 0);
    return written;
  }
  (void)fsync(dfd);  // the new name on disk as well
  return {};
}

class PosixFileSystem final : public FileSystem {
 public:
  FsStatus ListFiles(const std::string& folder, std::vector<FileInfo>& files,
                     const ExamineFilter& examine) override {
    files.clear();
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return Errno();
    int dfd = dirfd(dir.get());
    std::string prefix = folder;
    if (prefix.empty() || prefix.back() != '/') prefix += '/';
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    long long now_ns = ToNs(now);

    errno = 0;
    while (dirent* e = readdir(dir.get())) {
      // Folders ("." and ".." included) and links are no files to take.
      if (e->d_type != DT_REG && e->d_type != DT_UNKNOWN) continue;
      FileInfo info;
      info.Name = e->d_name;
      info.Examined = !examine || examine(info.Name);
      // The type alone tells a plain file; an unknown type needs a look at
      // the entry itself (never at what a link leads to). A file removed
      // since readdir is simply not listed.
      if (info.Examined || e->d_type != DT_REG) {
        struct stat st;
        if (fstatat(dfd, e->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) {
          errno = 0;
          continue;
        }
        if (info.Examined) {
          info.Attributes = AttributesOf(st, now_ns);
          info.Size = static_cast<std::uint64_t>(st.st_size);
        }
      }
      info.Path = prefix + info.Name;
      files.push_back(std::move(info));
      errno = 0;
    }
    if (errno != 0) return Errno();
    return {};
  }

  FsStatus ListNames(const std::string& folder, const NameVisitor& visit) override {
    std::unique_ptr<DIR, DirCloser> dir(opendir(folder.c_str()));
    if (!dir) return Errno();
    errno = 0;
    while (dirent* e = readdir(dir.get())) {
      const char* name = e->d_name;
      switch (e->d_type) {
        case DT_REG:
          visit(name, true);
          break;
        case DT_LNK:
        case DT_UNKNOWN:
          if (std::strcmp(name, ".") != 0 && std::strcmp(name, "..") != 0) visit(name, false);
          break;
        default:  // folders, devices, pipes and sockets
          break;
      }
      errno = 0;
    }
    if (errno != 0) return Errno();
    return {};
  }

  FsStatus StatFile(const std::string& path, FileInfo& info) override {
    // A link is not a file to take, wherever it points.
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return Errno();
    if (!S_ISREG(st.st_mode)) return FsStatus{EINVAL};
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    std::size_t slash = path.rfind('/');
    info.Name = slash == std::string::npos ? path : path.substr(slash + 1);
    info.Path = path;
    info.Examined = true;
    info.Attributes = AttributesOf(st, ToNs(now));
    info.Size = static_cast<std::uint64_t>(st.st_size);
    return {};
  }

  FsStatus GetFolderStamp(const std::string& folder, FolderStamp& stamp) override {
    // Forcing the sync makes a network file system ask its server instead of
    // answering from its attribute cache; local ones ignore the flag.
    struct statx sx;
    if (statx(AT_FDCWD, folder.c_str(), AT_STATX_FORCE_SYNC,
              STATX_TYPE | STATX_INO | STATX_MTIME, &sx) != 0) {
      return Errno();
    }
    if (!S_ISDIR(sx.stx_mode)) return FsStatus{ENOTDIR};
    stamp.Device = (static_cast<std::uint64_t>(sx.stx_dev_major) << 32) | sx.stx_dev_minor;
    stamp.Inode = sx.stx_ino;
    stamp.ModifiedNs = static_cast<std::int64_t>(sx.stx_mtime.tv_sec) * 1'000'000'000LL +
                       sx.stx_mtime.tv_nsec;
    return {};
  }

  FsStatus SetAttributes(const std::string& path, std::uint32_t attributes) override {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return Errno();
    if (S_ISLNK(st.st_mode)) return FsStatus{ELOOP};
    mode_t mode = st.st_mode & 07777;
    mode_t wanted = (attributes & kAttrReadOnly) ? (mode & ~(S_IWUSR | S_IWGRP | S_IWOTH))
                                                 : (mode | S_IWUSR);
    if (wanted == mode) return {};
    // A link swapped in since lstat is refused here rather than followed.
    if (fchmodat(AT_FDCWD, path.c_str(), wanted, AT_SYMLINK_NOFOLLOW) != 0) {
      return FsStatus{errno == EOPNOTSUPP ? ELOOP : errno};
    }
    return {};
  }

  FsStatus RemoveFile(const std::string& path) override {
    // unlink needs write permission on the folder only, so read-only files
    // go as well. Folders are not files.
    if (unlink(path.c_str()) != 0) return Errno();
    return {};
  }

  bool FolderExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  bool FileExists(const std::string& path) override {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
  }

  PathKind KindOf(const std::string& path) override {
    struct stat st;
    if (path.empty() || lstat(path.c_str(), &st) != 0) return PathKind::kMissing;
    if (S_ISREG(st.st_mode)) return PathKind::kFile;
    if (S_ISDIR(st.st_mode)) return PathKind::kFolder;
    if (S_ISLNK(st.st_mode)) return PathKind::kLink;
    return PathKind::kOther;
  }

  FsStatus CreateFolder(const std::string& path) override {
    if (mkdir(path.c_str(), 0777) != 0) return Errno();
    return {};
  }

  FsStatus CopyFileTo(const std::string& from, const std::string& to, bool overwrite) override {
    struct stat st;
    int in = OpenRegularForReading(from, st);
    if (in < 0) return Errno();
    FdCloser closer(in);
    return WriteThroughTemporary(to, overwrite, st.st_mode & 07777, [in, &st](int out) {
      // Run as root, the copy still belongs to whoever owned the original;
      // where that cannot be set, the copy stays the program's own.
      if (geteuid() == 0 && fchown(out, st.st_uid, st.st_gid) != 0) {
      }
      return CopyBytes(in, out);
    });
  }

  FsStatus MoveFileTo(const std::string& from, const std::string& to) override {
    std::string name;
    int dfd = OpenFolderOf(to, name);
    if (dfd < 0) return Errno();
    FdCloser closer(dfd);
    FsStatus moved = RenameNoReplace(AT_FDCWD, from.c_str(), dfd, name.c_str());
    if (moved.error != EXDEV) return moved;
    // Another file system: copy, then delete the original; when the original
    // cannot be deleted, take the copy back so the file exists only once.
    FsStatus copied = CopyFileTo(from, to, false);
    if (!copied.ok()) return copied;
    if (unlink(from.c_str()) != 0) {
      FsStatus failed = Errno();
      (void)unlinkat(dfd, name.c_str(), 0);
      return failed;
    }
    return {};
  }

  FsStatus ReadWholeFile(const std::string& path, std::string& bytes) override {
    bytes.clear();
    struct stat st;
    int fd = OpenRegularForReading(path, st);
    if (fd < 0) return Errno();
    FdCloser closer(fd);
    // Read the length found now, then whatever was appended meanwhile.
    std::size_t capacity = st.st_size > 0 ? static_cast<std::size_t>(st.st_size) + 1 : 4096;
    bytes.resize(capacity);
    std::size_t got = 0;
    for (;;) {
      if (got == bytes.size()) bytes.resize(bytes.size() * 2);
      ssize_t n = read(fd, bytes.data() + got, bytes.size() - got);
      if (n < 0) {
        if (errno == EINTR) continue;
        FsStatus failed = Errno();
        bytes.clear();
        return failed;
      }
      if (n == 0) break;
      got += static_cast<std::size_t>(n);
    }
    bytes.resize(got);
    return {};
  }

  FsStatus Identify(const std::string& path, FileIdentity& identity) override {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return Errno();
    identity.device = static_cast<std::uint64_t>(st.st_dev);
    identity.inode = static_cast<std::uint64_t>(st.st_ino);
    identity.size = static_cast<std::uint64_t>(st.st_size);
    identity.mtime_ns = ToNs(st.st_mtim);
    return {};
  }

  FsStatus AppendToFile(const std::string& path, std::string_view bytes) override {
    int fd = open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return Errno();
    FdCloser closer(fd);
    return WriteAll(fd, bytes);
  }

  FsStatus WriteFileAtomically(const std::string& path, std::string_view bytes,
                               const std::string& temp_path, int mode) override {
    const std::string temp = temp_path.empty() ? path + ".part" : temp_path;
    int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
      // A leftover of an interrupted write (or something planted there):
      // unlinking removes the name itself, never what a link points to.
      (void)unlink(temp.c_str());
      fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    }
    if (fd < 0) return Errno();
    FsStatus st = WriteAll(fd, bytes);
    // fchmod sets the bits whatever the creation mask took away.
    if (st.ok() && mode >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) st = Errno();
    if (st.ok() && fsync(fd) != 0) st = Errno();
    if (close(fd) != 0 && st.ok()) st = Errno();
    // rename replaces a link at `path` rather than writing through it.
    if (st.ok() && rename(temp.c_str(), path.c_str()) != 0) st = Errno();
    if (!st.ok()) {
      (void)unlink(temp.c_str());
      return st;
    }
    SyncFolderOf(path);
    return {};
  }

  FsStatus SyncFolder(const std::string& folder) override {
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return Errno();
    FsStatus synced = fsync(fd) == 0 ? FsStatus{} : Errno();
    close(fd);
    return synced;
  }

 private:
  static FsStatus WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Errno();
      }
      done += static_cast<std::size_t>(n);
    }
    return {};
  }

  // Makes a rename in the folder of `path` durable; best effort.
  void SyncFolderOf(const std::string& path) {
    std::size_t slash = path.rfind('/');
    (void)SyncFolder(slash == std::string::npos ? "." : path.substr(0, slash == 0 ? 1 : slash));
  }
};

}  // namespace

FileSystem& PlatformFileSystem() {
  static PosixFileSystem fs;
  return fs;
}

}  // namespace norv

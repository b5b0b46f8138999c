#include "platform/dir_watch.h"

#include <errno.h>

#ifdef __linux__
#include <sys/inotify.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstring>
#endif

namespace norv {
namespace {

#ifdef __linux__

// File systems whose files other hosts change without this host's kernel
// seeing it: a watch there reports this host's own changes only.
bool IsNetworkFileSystem(const std::string& folder) {
  struct statfs st;
  if (statfs(folder.c_str(), &st) != 0) return true;  // unknown: assume the worst
  switch (static_cast<std::uint32_t>(st.f_type)) {
    case 0x6969:      // NFS
    case 0x517B:      // SMB
    case 0xFF534D42:  // CIFS
    case 0xFE534D42:  // SMB2
    case 0x73757245:  // Coda
    case 0x5346414F:  // AFS
    case 0x6B414653:  // kAFS
    case 0x01021997:  // 9P
    case 0x00C36400:  // Ceph
    case 0x65735546:  // FUSE (sshfs and the like)
    case 0x7461636F:  // OCFS2
    case 0x01161970:  // GFS2
    case 0x0BD00BD0:  // Lustre
      return true;
    default:
      return false;
  }
}

class InotifyDirWatch final : public DirWatch {
 public:
  ~InotifyDirWatch() override {
    if (fd_ >= 0) close(fd_);
  }

  int Start(const std::string& folder) override {
    Stop();
    if (fd_ < 0) {
      fd_ = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
      if (fd_ < 0) return errno;
    }
    // Reports queued for an earlier watch are of no interest any more.
    Drain();
    constexpr std::uint32_t kMask = IN_CREATE | IN_MOVED_TO | IN_CLOSE_WRITE | IN_MODIFY |
                                    IN_DELETE | IN_MOVED_FROM | IN_ATTRIB | IN_DELETE_SELF |
                                    IN_MOVE_SELF | IN_ONLYDIR | IN_EXCL_UNLINK;
    wd_ = inotify_add_watch(fd_, folder.c_str(), kMask);
    if (wd_ < 0) return errno;
    complete_ = !IsNetworkFileSystem(folder);
    return 0;
  }

  void Stop() override {
    if (wd_ >= 0) inotify_rm_watch(fd_, wd_);
    wd_ = -1;
    complete_ = false;
  }

  bool active() const override { return wd_ >= 0; }
  bool complete() const override { return wd_ >= 0 && complete_; }
  int fd() const override { return fd_; }
  std::uint64_t change_count() const override { return count_; }

  ReadStatus Read(std::vector<DirChange>& changes) override {
    ReadStatus status = ReadStatus::kOk;
    if (fd_ < 0) return status;
    alignas(inotify_event) char buffer[16384];
    for (;;) {
      ssize_t n = read(fd_, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) break;  // EAGAIN: nothing more waits
      for (ssize_t at = 0; at < n;) {
        const auto* ev = reinterpret_cast<const inotify_event*>(buffer + at);
        at += static_cast<ssize_t>(sizeof(inotify_event) + ev->len);
        if (ev->mask & IN_Q_OVERFLOW) {
          ++count_;
          if (status == ReadStatus::kOk) status = ReadStatus::kLost;
          continue;
        }
        // After Stop or a restart, reports of the earlier watch may still
        // be queued; they describe another folder.
        if (ev->wd != wd_) continue;
        if (ev->mask & (IN_DELETE_SELF | IN_MOVE_SELF | IN_UNMOUNT | IN_IGNORED)) {
          ++count_;
          status = ReadStatus::kEnded;
          Stop();
          continue;
        }
        if (ev->len == 0 || (ev->mask & IN_ISDIR)) continue;  // the folder itself, sub-folders
        ++count_;
        DirChange::Kind kind;
        if (ev->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)) {
          kind = DirChange::kArrived;
        } else if (ev->mask & IN_CREATE) {
          kind = DirChange::kCreated;
        } else if (ev->mask & IN_MODIFY) {
          kind = DirChange::kModified;
        } else if (ev->mask & (IN_DELETE | IN_MOVED_FROM)) {
          kind = DirChange::kRemoved;
        } else {
          kind = DirChange::kAttributes;
        }
        changes.push_back(DirChange{kind, std::string(ev->name, strnlen(ev->name, ev->len))});
      }
    }
    return status;
  }

 private:
  void Drain() {
    alignas(inotify_event) char buffer[4096];
    while (read(fd_, buffer, sizeof buffer) > 0 || errno == EINTR) {
    }
  }

  int fd_ = -1;
  int wd_ = -1;
  bool complete_ = false;
  std::uint64_t count_ = 0;
};

#else

class NoDirWatch final : public DirWatch {
 public:
  int Start(const std::string&) override { return ENOSYS; }
  void Stop() override {}
  bool active() const override { return false; }
  bool complete() const override { return false; }
  int fd() const override { return -1; }
  ReadStatus Read(std::vector<DirChange>&) override { return ReadStatus::kOk; }
  std::uint64_t change_count() const override { return 0; }
};

#endif

}  // namespace

std::unique_ptr<DirWatch> NewPlatformDirWatch() {
#ifdef __linux__
  return std::make_unique<InotifyDirWatch>();
#else
  return std::make_unique<NoDirWatch>();
#endif
}

}  // namespace norv

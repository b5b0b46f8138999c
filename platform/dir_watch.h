// Reports of changes to the entries of one folder, read without blocking
// from a descriptor the message loop can watch (Linux: inotify; elsewhere a
// watch that never starts). Only the folder's own entries count, not those
// of its sub-folders; entries that are sub-folders are left out.
//
// The reports of one watch come in the order the changes were made, so
// applying them one after the other to a listing taken after the watch
// started keeps that listing true: each report leaves its name present or
// absent whatever it was before.
#ifndef NORV_PLATFORM_DIR_WATCH_H_
#define NORV_PLATFORM_DIR_WATCH_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace norv {

struct DirChange {
  enum Kind : std::uint8_t {
    kArrived,     // renamed into the folder, or closed by a writer: complete
    kCreated,     // created here; a writer may still be at work
    kModified,    // written to; incomplete again until closed
    kRemoved,     // deleted or renamed away
    kAttributes,  // permissions, times or link count changed
  };
  Kind kind;
  std::string name;
};

class DirWatch {
 public:
  enum class ReadStatus {
    kOk,
    kLost,   // reports were dropped (queue full): any picture of the folder is suspect
    kEnded,  // the folder was deleted, moved away or unmounted; the watch stopped
  };

  virtual ~DirWatch() = default;

  // Starts watching `folder`, ending an earlier watch of this object.
  // Returns 0 or an errno value (ENOSYS where the platform has no watch).
  virtual int Start(const std::string& folder) = 0;
  virtual void Stop() = 0;
  virtual bool active() const = 0;
  // Whether every change is reported, whoever makes it. False on network
  // file systems, where only this host's own changes would be.
  virtual bool complete() const = 0;
  // Becomes readable while reports wait; the same descriptor for the whole
  // life of the object once the first Start succeeded. -1 before.
  virtual int fd() const = 0;
  // Appends the waiting reports to `changes` without blocking.
  virtual ReadStatus Read(std::vector<DirChange>& changes) = 0;
  // Counts every report read and every loss: a cheap test whether anything
  // happened between two reads.
  virtual std::uint64_t change_count() const = 0;
};

// The platform's watch, not yet started.
std::unique_ptr<DirWatch> NewPlatformDirWatch();

}  // namespace norv

#endif  // NORV_PLATFORM_DIR_WATCH_H_

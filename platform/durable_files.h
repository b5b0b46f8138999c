// The durable file operations a spool is built from (the MLLP receiver's
// inbound spool), behind an interface so that tests can fail single steps
// (a full disk, a refused rename). Paths are byte strings used as given; every call is synchronous
// and never follows a symbolic link at the path it creates or reads.
//
// FileSystem::WriteFileAtomically is not enough here: it renames over an
// existing file and syncs the folder on a best-effort basis, while the spool
// must never replace an inbound file another writer put at a number, must
// rename a batch of messages before one folder sync, and must know that
// sync failed so it acknowledges nothing that may be lost.
#ifndef NORV_PLATFORM_DURABLE_FILES_H_
#define NORV_PLATFORM_DURABLE_FILES_H_

#include <string>
#include <string_view>
#include <vector>

#include "platform/file_system.h"

namespace norv {

class DurableFiles {
 public:
  virtual ~DurableFiles() = default;

  // Creates `path`, which must not exist yet (EEXIST, also for a symbolic
  // link there), writes `bytes`, flushes them to the disk and closes the
  // file. On failure nothing is left at `path`.
  virtual FsStatus WriteNew(const std::string& path, std::string_view bytes) = 0;
  // WriteNew in two steps, so that several files are written before the
  // first is flushed (a journalling file system then commits them in one
  // go): CreateNew creates `path` as WriteNew does, writes `bytes` and keeps
  // the file open, unflushed (on failure nothing is left at `path`);
  // FinishNew flushes and closes it (on failure the caller removes it).
  virtual FsStatus CreateNew(const std::string& path, std::string_view bytes, int& handle) = 0;
  virtual FsStatus FinishNew(int handle) = 0;
  // An append-only file kept open: OpenLog opens `path` for appending
  // (created when missing, never through a symbolic link), AppendLog writes
  // `bytes` at its end, FlushLog flushes what was written to the disk,
  // CloseLog closes it.
  virtual FsStatus OpenLog(const std::string& path, int& handle) = 0;
  virtual FsStatus AppendLog(int handle, std::string_view bytes) = 0;
  virtual FsStatus FlushLog(int handle) = 0;
  virtual void CloseLog(int handle) = 0;
  // Renames within one file system. Without `replace` an existing `to` is
  // never replaced (EEXIST).
  virtual FsStatus Rename(const std::string& from, const std::string& to, bool replace) = 0;
  // Flushes the folder's entries (files created, renamed, removed) to disk.
  virtual FsStatus SyncFolder(const std::string& folder) = 0;
  virtual FsStatus Remove(const std::string& path) = 0;
  // The whole file (ELOOP for a symbolic link).
  virtual FsStatus Read(const std::string& path, std::string& bytes) = 0;
  // The names of the folder's entries, "." and ".." left out.
  virtual FsStatus List(const std::string& folder, std::vector<std::string>& names) = 0;
  // Takes the exclusive lock of the file `path` (created when missing, never
  // through a symbolic link) until Unlock(handle) or the end of the process.
  // EWOULDBLOCK when another holder has it.
  virtual FsStatus Lock(const std::string& path, int& handle) = 0;
  virtual void Unlock(int handle) = 0;
};

// The operating system's files.
DurableFiles& PlatformDurableFiles();

// Replaces the small file `path` with `bytes` durably: written and flushed
// under `path` + ".tmp", renamed over `path`, its folder synced. On failure
// the temporary file is gone and `path` holds its old content or the new.
FsStatus ReplaceDurably(DurableFiles& files, const std::string& path, std::string_view bytes);

}  // namespace norv

#endif  // NORV_PLATFORM_DURABLE_FILES_H_

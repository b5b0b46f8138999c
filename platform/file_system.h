// Every file operation of the program (inbound files, logs, rename orders,
// report pages, the procedure-code file) goes through this small interface,
// so tests can replace or fail single operations and a Windows build can
// bring its own. Paths are byte strings used as given; every call is
// synchronous and runs on the caller's thread.
//
// None of the operations follows a symbolic link at the end of a path it
// lists, reads, changes or writes: a link planted where the program reads
// or writes its files cannot make it read another file, change another
// file's permissions or overwrite another file.
//
// The attribute word keeps the meaning it has on Windows, derived here from
// the file's mode and age: kReadOnly while the owner lacks write permission,
// kArchive while the file was modified less than a second ago (so a file
// still being written reads as "just changed" and clears itself as it ages).
#ifndef NORV_PLATFORM_FILE_SYSTEM_H_
#define NORV_PLATFORM_FILE_SYSTEM_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace norv {

inline constexpr std::uint32_t kAttrReadOnly = 1;
inline constexpr std::uint32_t kAttrArchive = 32;

// Outcome of one file operation: 0 on success, otherwise an errno value.
struct [[nodiscard]] FsStatus {
  int error = 0;
  bool ok() const { return error == 0; }
};

// What a path names, seen without following a symbolic link at its end.
enum class PathKind { kMissing, kFile, kFolder, kLink, kOther };

// One file of a folder listing.
struct FileInfo {
  std::string Name;             // name within the folder
  std::string Path;             // folder, separator, name
  bool Examined = false;        // whether the two values below were read
  std::uint32_t Attributes = 0; // kReadOnly | kArchive
  std::uint64_t Size = 0;       // bytes
};

// What tells one version of a file from another: device, inode, size and
// modification time, read without following a link.
struct FileIdentity {
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::uint64_t size = 0;
  std::int64_t mtime_ns = 0;
  bool operator==(const FileIdentity&) const = default;
};

// Decides by its name whether a listed file is worth examining.
using ExamineFilter = std::function<bool(std::string_view name)>;

// Receives one name of a folder listing. `regular` is true when the listing
// itself tells that the entry is a regular file; false for links and entries
// whose type the listing does not tell (only a look at them decides).
using NameVisitor = std::function<void(std::string_view name, bool regular)>;

// What tells whether a folder's entries may have changed: its identity and
// its modification time. Two equal stamps read some time apart mean nothing
// was added, removed or renamed in between, provided the second read came
// later than the clock's granularity after the last change.
struct FolderStamp {
  std::uint64_t Device = 0;
  std::uint64_t Inode = 0;
  std::int64_t ModifiedNs = 0;  // nanoseconds since the epoch
  bool operator==(const FolderStamp&) const = default;
};

class FileSystem {
 public:
  virtual ~FileSystem() = default;

  // The regular files of `folder` (sub-folders, symbolic links and other
  // kinds of entries left out), in the platform's listing order. Files that `examine` accepts (all when it is empty) come
  // with their attribute word and size; reading those costs a call per file,
  // so a caller that needs them for few names says which. A file that
  // vanishes while being listed is left out.
  virtual FsStatus ListFiles(const std::string& folder, std::vector<FileInfo>& files,
                             const ExamineFilter& examine = nullptr) = 0;
  // The names of `folder` that may be regular files, in the listing order of
  // ListFiles, without a call per name: sub-folders and entries known to be
  // no files are left out, links and entries of unknown type are passed on.
  // The default lists through ListFiles.
  virtual FsStatus ListNames(const std::string& folder, const NameVisitor& visit);
  // The attribute word and size of the one file at `path` (a link is
  // followed), as ListFiles reports them. ENOENT when it is missing, EINVAL
  // when it is no regular file. The default lists the parent folder (where
  // an entry that is no regular file reads as missing).
  virtual FsStatus StatFile(const std::string& path, FileInfo& info);
  // The folder's stamp, read afresh (a network file system asks its server).
  // The default has none: ENOSYS.
  virtual FsStatus GetFolderStamp(const std::string& folder, FolderStamp& stamp);
  // Sets the attribute word; only kReadOnly has an effect (0 grants the owner
  // write permission). kArchive cannot be set or cleared: it follows the age.
  // A symbolic link is left alone (ELOOP).
  virtual FsStatus SetAttributes(const std::string& path, std::uint32_t attributes) = 0;
  // Deletes the file, read-only or not.
  virtual FsStatus RemoveFile(const std::string& path) = 0;
  virtual bool FolderExists(const std::string& path) = 0;
  virtual bool FileExists(const std::string& path) = 0;
  // What `path` is, without following a link at its end: lets a caller
  // that wants a folder tell "missing" (create it) from "something else
  // in the way" (an error, never to be followed).
  virtual PathKind KindOf(const std::string& path) = 0;
  // Creates the last level of `path` only.
  virtual FsStatus CreateFolder(const std::string& path) = 0;
  // Copies the regular file `from` to the file path `to`; an existing `to`
  // is replaced only when `overwrite` is true (EEXIST otherwise). The copy
  // is written under a new temporary name in `to`'s folder, flushed to disk
  // and then renamed to `to`: a link at `to` is replaced, never written
  // through, and `to` never holds a partial file. The folder itself must not
  // be a symbolic link (ELOOP or ENOTDIR).
  // The copy keeps the original's permission bits, and its owner where the
  // program may set it (run as root).
  virtual FsStatus CopyFileTo(const std::string& from, const std::string& to, bool overwrite) = 0;
  // Moves `from` to the file path `to`, never replacing an existing `to`
  // (EEXIST, also when `to` is a link). Works across file systems; the
  // folder of `to` must not be a symbolic link, as for CopyFileTo.
  virtual FsStatus MoveFileTo(const std::string& from, const std::string& to) = 0;
  // The whole content of the regular file, byte for byte. A symbolic link
  // is not read (ELOOP), nor anything else that is not a regular file
  // (EISDIR for a folder, EINVAL for a pipe or device); none of them blocks.
  virtual FsStatus ReadWholeFile(const std::string& path, std::string& bytes) = 0;
  // Flushes the folder's entries (files created, renamed, removed) to disk.
  virtual FsStatus SyncFolder(const std::string& folder);
  // The identity of the file at `path` (the link itself for a link).
  virtual FsStatus Identify(const std::string& path, FileIdentity& identity);
  // Appends `bytes` to the file, creating it when missing; never writes
  // through a symbolic link.
  virtual FsStatus AppendToFile(const std::string& path, std::string_view bytes);
  // Replaces (or creates) the file `path` with `bytes` so that readers see
  // the old file or the whole new one, never a part: the bytes go to
  // `temp_path` (default `path` + ".part", in the same folder), are synced
  // to disk, and the temporary file is renamed over `path`. The temporary
  // name is created exclusively and never followed as a link; on failure it
  // is removed again. The file gets the permission bits `mode` exactly (for
  // files other users' programs read), or 0666 less the creation mask when
  // `mode` is negative.
  virtual FsStatus WriteFileAtomically(const std::string& path, std::string_view bytes,
                                       const std::string& temp_path = {}, int mode = -1);
};

// The operating system's file system.
FileSystem& PlatformFileSystem();

}  // namespace norv

#endif  // NORV_PLATFORM_FILE_SYSTEM_H_

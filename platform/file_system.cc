#include "platform/file_system.h"

#include <errno.h>

namespace norv {

FsStatus FileSystem::ListNames(const std::string& folder, const NameVisitor& visit) {
  std::vector<FileInfo> files;
  FsStatus st = ListFiles(folder, files, [](std::string_view) { return false; });
  if (!st.ok()) return st;
  for (const FileInfo& file : files) visit(file.Name, true);
  return {};
}

FsStatus FileSystem::StatFile(const std::string& path, FileInfo& info) {
  std::size_t slash = path.rfind('/');
  std::string folder = slash == std::string::npos ? "." : path.substr(0, slash + 1);
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  std::vector<FileInfo> files;
  FsStatus st = ListFiles(folder, files, [&](std::string_view n) { return n == name; });
  if (!st.ok()) return st;
  for (const FileInfo& file : files) {
    if (file.Name == name && file.Examined) {
      info = file;
      info.Path = path;
      return {};
    }
  }
  return FsStatus{ENOENT};
}

FsStatus FileSystem::GetFolderStamp(const std::string&, FolderStamp&) {
  return FsStatus{ENOSYS};
}

// A file system that cannot do these (a test's stand-in) says so.
FsStatus FileSystem::Identify(const std::string&, FileIdentity&) { return FsStatus{ENOSYS}; }
FsStatus FileSystem::SyncFolder(const std::string&) { return FsStatus{ENOSYS}; }
FsStatus FileSystem::AppendToFile(const std::string&, std::string_view) {
  return FsStatus{ENOSYS};
}
FsStatus FileSystem::WriteFileAtomically(const std::string&, std::string_view,
                                         const std::string&, int) {
  return FsStatus{ENOSYS};
}

}  // namespace norv

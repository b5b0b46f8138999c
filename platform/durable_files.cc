#include "platform/durable_files.h"

namespace norv {

FsStatus ReplaceDurably(DurableFiles& files, const std::string& path, std::string_view bytes) {
  const std::string temp = path + ".tmp";
  const std::size_t slash = path.rfind('/');
  const std::string folder =
      slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  (void)files.Remove(temp);
  FsStatus st = files.WriteNew(temp, bytes);
  if (st.ok()) st = files.Rename(temp, path, true);
  if (st.ok()) st = files.SyncFolder(folder);
  if (!st.ok()) (void)files.Remove(temp);
  return st;
}

}  // namespace norv

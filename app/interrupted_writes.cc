#include "app/interrupted_writes.h"

#include <set>
#include <string_view>

namespace norv {
namespace {

// Every UID the program makes (NewUID) lies under this root, which keeps
// files of other programs in a shared folder out of reach.
constexpr std::string_view kOwnUidRoot = "2.25.";

// Skips one of the program's UIDs (the root, then digits and dots, ending
// with a digit) at the start of `text`; false when there is none.
bool SkipUid(std::string_view& text) {
  if (!text.starts_with(kOwnUidRoot)) return false;
  std::size_t n = kOwnUidRoot.size();
  while (n < text.size() && ((text[n] >= '0' && text[n] <= '9') || text[n] == '.')) ++n;
  // The dot before an extension is no part of the UID.
  while (n > kOwnUidRoot.size() && text[n - 1] == '.') --n;
  if (n == kOwnUidRoot.size()) return false;
  text.remove_prefix(n);
  return true;
}

bool SkipPrefix(std::string_view& text, std::string_view prefix) {
  if (text.substr(0, prefix.size()) != prefix) return false;
  text.remove_prefix(prefix.size());
  return true;
}

// Whether `name` is a temporary file of the program's own: an optional
// leading '.', `prefix`, a UID, then anything ending in ".part" or ".tmp".
bool IsOwnTemporary(std::string_view name, std::string_view prefix) {
  if (!name.empty() && name[0] == '.') name.remove_prefix(1);
  if (!SkipPrefix(name, prefix) || !SkipUid(name)) return false;
  return name.ends_with(".part") || name.ends_with(".tmp");
}

// `<prefix><UID>.cae`: the marker's base name without ".cae", else empty.
std::string MarkerBase(std::string_view name, std::string_view prefix) {
  std::string_view rest = name;
  if (!SkipPrefix(rest, prefix) || !SkipUid(rest) || rest != ".cae") return {};
  return std::string(name.substr(0, name.size() - 4));
}

void Remove(FileSystem& fs, const std::string& path, std::vector<Leftover>& found) {
  found.push_back({path, fs.RemoveFile(path).error});
}

}  // namespace

std::vector<Leftover> RemoveInterruptedWrites(FileSystem& fs, const std::string& temp_prefix,
                                              const std::string& rename_orders_folder) {
  std::vector<Leftover> found;
  std::vector<FileInfo> files;

  if (!temp_prefix.empty()) {
    std::size_t slash = temp_prefix.rfind('/');
    const std::string folder =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : temp_prefix.substr(0, slash));
    const std::string prefix = slash == std::string::npos ? temp_prefix : temp_prefix.substr(slash + 1);
    if (fs.ListFiles(folder, files).ok()) {
      std::set<std::string> names;
      for (const FileInfo& f : files) names.insert(f.Name);
      for (const FileInfo& f : files) {
        std::string marker = MarkerBase(f.Name, prefix);
        if (IsOwnTemporary(f.Name, prefix) ||
            (!marker.empty() && names.count(marker + ".dcm") == 0)) {
          Remove(fs, f.Path, found);
        }
      }
    }
  }

  if (fs.ListFiles(rename_orders_folder, files).ok()) {
    for (const FileInfo& f : files) {
      if (IsOwnTemporary(f.Name, "")) Remove(fs, f.Path, found);
    }
  }
  return found;
}

}  // namespace norv

// The settings store: registry values by full path, read from a file in the
// Windows ".reg" export format, so a key exported with regedit on a Windows
// machine can be used as it is. (A Windows build would read the registry
// itself behind the same interface.)
//
// Paths look like "HKLM\Software\VLM\Tessarine\NORVReader\01\Debug": the key,
// a backslash and the value name; a path ending in a backslash names the key's
// default value. Keys and value names compare case-insensitively.
#ifndef NORV_CORE_REGISTRY_H_
#define NORV_CORE_REGISTRY_H_

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>

namespace norv {

// The largest settings file read; a larger one is not a settings file.
inline constexpr std::uint64_t kMaxSettingsFileSize = 16u << 20;

class Registry {
 public:
  // Parses the bytes of a .reg file: UTF-16LE with BOM, UTF-8 (with or without
  // BOM) or Windows-1252; CR LF or LF. Malformed lines are skipped.
  static Registry Parse(std::string_view bytes);
  // Reads and parses the file; a missing, unreadable or oversized file, and
  // anything that is not a regular file (a pipe is never waited on), gives
  // an empty store, and `problem` (when given) says why; it is left empty
  // when the file was read.
  static Registry Load(const std::string& file, std::string* problem = nullptr);

  // The value as text (numbers in decimal). Empty when the key or value does
  // not exist or the value has no text form (binary, multi-string).
  std::optional<std::string> Read(std::string_view full_path) const;

 private:
  // value name (lower case, "" for the default value) -> text, or nullopt
  // when the value exists but has no text form.
  using Values = std::map<std::string, std::optional<std::string>>;
  std::map<std::string, Values> keys_;  // by normalised key path
};

// Normalises a key path for lookup: lower case, "HKLM" spelled out, no
// trailing backslash.
std::string NormaliseKeyPath(std::string_view key);

}  // namespace norv

#endif  // NORV_CORE_REGISTRY_H_

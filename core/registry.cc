#include "core/registry.h"

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/ansi.h"
#include "platform/system.h"

namespace norv {
namespace {

bool ValidUtf8(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size()) {
    unsigned char b = static_cast<unsigned char>(s[i]);
    int len = b < 0x80 ? 1 : (b & 0xE0) == 0xC0 ? 2 : (b & 0xF0) == 0xE0 ? 3
                           : (b & 0xF8) == 0xF0 ? 4 : 0;
    if (len == 0 || i + len > s.size()) return false;
    for (int k = 1; k < len; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += len;
  }
  return true;
}

// The file's text as Windows-1252.
std::string DecodeFile(std::string_view bytes) {
  if (bytes.size() >= 2 && static_cast<unsigned char>(bytes[0]) == 0xFF &&
      static_cast<unsigned char>(bytes[1]) == 0xFE) {
    return Utf16LeToAnsi(bytes.substr(2));
  }
  if (bytes.size() >= 3 && bytes.substr(0, 3) == "\xEF\xBB\xBF") {
    return Utf8ToAnsi(bytes.substr(3));
  }
  if (!IsAscii(bytes) && ValidUtf8(bytes)) return Utf8ToAnsi(bytes);
  return std::string(bytes);
}

std::string Trim(std::string_view s) {
  std::size_t b = 0, e = s.size();
  while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
  while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t')) --e;
  return std::string(s.substr(b, e - b));
}

// Reads a quoted string with \\ and \" escapes starting at s[pos] == '"'.
// On success sets *out and moves pos past the closing quote.
bool ReadQuoted(std::string_view s, std::size_t& pos, std::string* out) {
  if (pos >= s.size() || s[pos] != '"') return false;
  std::string r;
  for (std::size_t i = pos + 1; i < s.size(); ++i) {
    char c = s[i];
    if (c == '\\' && i + 1 < s.size()) {
      r.push_back(s[++i]);
    } else if (c == '"') {
      pos = i + 1;
      *out = std::move(r);
      return true;
    } else {
      r.push_back(c);
    }
  }
  return false;
}

bool ParseHexBytes(std::string_view s, std::string* out) {
  std::string r;
  std::size_t i = 0;
  auto hexval = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  while (i < s.size()) {
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t' || s[i] == ',')) ++i;
    if (i >= s.size()) break;
    int hi = hexval(s[i]);
    int lo = i + 1 < s.size() ? hexval(s[i + 1]) : -1;
    if (hi < 0) return false;
    if (lo < 0) {  // a single digit byte
      r.push_back(static_cast<char>(hi));
      ++i;
    } else {
      r.push_back(static_cast<char>(hi * 16 + lo));
      i += 2;
    }
    if (i < s.size() && s[i] != ',' && s[i] != ' ' && s[i] != '\t') return false;
  }
  *out = std::move(r);
  return true;
}

std::string StripTrailingNuls(std::string s) {
  while (!s.empty() && s.back() == '\0') s.pop_back();
  return s;
}

// Parses the data part of a value line. Returns false for a malformed line;
// sets *text to nullopt for a value without text form.
bool ParseData(std::string_view data, bool unicode_file,
               std::optional<std::string>* text) {
  std::string d = Trim(data);
  if (!d.empty() && d[0] == '"') {
    std::size_t pos = 0;
    std::string s;
    if (!ReadQuoted(d, pos, &s)) return false;
    *text = std::move(s);
    return true;
  }
  std::string lower = AsciiLower(d);
  if (lower.rfind("dword:", 0) == 0) {
    std::string hex = Trim(std::string_view(d).substr(6));
    if (hex.empty() || hex.size() > 8) return false;
    std::uint32_t v = 0;
    for (char c : hex) {
      int x = (c >= '0' && c <= '9') ? c - '0'
              : (c >= 'a' && c <= 'f') ? c - 'a' + 10
              : (c >= 'A' && c <= 'F') ? c - 'A' + 10 : -1;
      if (x < 0) return false;
      v = v * 16 + static_cast<std::uint32_t>(x);
    }
    *text = std::to_string(v);
    return true;
  }
  if (lower.rfind("hex", 0) != 0) return false;
  std::size_t colon = d.find(':');
  if (colon == std::string::npos) return false;
  std::string type = lower.substr(3, colon - 3);
  std::string bytes;
  if (!ParseHexBytes(std::string_view(d).substr(colon + 1), &bytes)) return false;
  if (type == "(b)" || type == "(4)") {  // QWORD / DWORD, little endian
    std::uint64_t v = 0;
    std::size_t n = type == "(b)" ? 8 : 4;
    if (bytes.size() != n) return false;
    for (std::size_t i = n; i-- > 0;) v = (v << 8) | static_cast<unsigned char>(bytes[i]);
    *text = std::to_string(v);
  } else if (type == "(2)" || type == "(1)") {  // (expandable) string
    *text = StripTrailingNuls(unicode_file ? Utf16LeToAnsi(bytes) : bytes);
  } else {
    *text = std::nullopt;  // binary, multi-string and others have no text form
  }
  return true;
}

}  // namespace

std::string NormaliseKeyPath(std::string_view key) {
  std::string k = AsciiLower(key);
  while (!k.empty() && k.back() == '\\') k.pop_back();
  if (k == "hklm" || k.rfind("hklm\\", 0) == 0) k = "hkey_local_machine" + k.substr(4);
  return k;
}

Registry Registry::Parse(std::string_view bytes) {
  Registry reg;
  std::string text = DecodeFile(bytes);
  bool unicode_file = true;  // "Windows Registry Editor Version 5.00"

  // Split into logical lines, joining hex continuation lines ending in '\'.
  std::vector<std::string> lines;
  std::size_t start = 0;
  std::string pending;
  while (start <= text.size()) {
    std::size_t nl = text.find('\n', start);
    if (nl == std::string::npos) nl = text.size();
    std::string line = text.substr(start, nl - start);
    start = nl + 1;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!pending.empty()) line = pending + Trim(line);
    pending.clear();
    std::string t = Trim(line);
    if (!t.empty() && t.back() == '\\' && t.find('=') != std::string::npos &&
        AsciiLower(t).find("=hex") != std::string::npos) {
      t.pop_back();
      pending = t;
      continue;
    }
    lines.push_back(std::move(line));
    if (nl == text.size()) break;
  }
  if (!pending.empty()) lines.push_back(pending);

  Values* current = nullptr;
  for (const std::string& raw : lines) {
    std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line == "REGEDIT4") {
      unicode_file = false;
      continue;
    }
    if (line == "Windows Registry Editor Version 5.00") {
      unicode_file = true;
      continue;
    }
    if (line[0] == '[') {
      std::size_t close = line.rfind(']');
      if (close == std::string::npos || close < 2) {
        current = nullptr;
        continue;
      }
      std::string key = line.substr(1, close - 1);
      if (key[0] == '-') {
        std::string k = NormaliseKeyPath(key.substr(1));
        for (auto it = reg.keys_.begin(); it != reg.keys_.end();) {
          if (it->first == k || it->first.rfind(k + "\\", 0) == 0) {
            it = reg.keys_.erase(it);
          } else {
            ++it;
          }
        }
        current = nullptr;
      } else {
        current = &reg.keys_[NormaliseKeyPath(key)];
      }
      continue;
    }
    if (current == nullptr) continue;
    std::string name;
    std::size_t pos = 0;
    if (line[0] == '@') {
      pos = 1;
    } else if (!ReadQuoted(line, pos, &name)) {
      continue;
    }
    while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t')) ++pos;
    if (pos >= line.size() || line[pos] != '=') continue;
    std::string_view data = std::string_view(line).substr(pos + 1);
    std::string lname = AsciiLower(name);
    if (Trim(data) == "-") {
      current->erase(lname);
      continue;
    }
    std::optional<std::string> value;
    if (!ParseData(data, unicode_file, &value)) continue;
    (*current)[lname] = std::move(value);
  }
  return reg;
}

Registry Registry::Load(const std::string& file, std::string* problem) {
  if (problem != nullptr) problem->clear();
  std::string bytes;
  int error = ReadSmallRegularFile(file, kMaxSettingsFileSize, bytes);
  if (error == 0) return Parse(bytes);
  if (problem != nullptr) {
    if (error == EINVAL || error == EISDIR) {
      *problem = "not a regular file";
    } else if (error == EFBIG) {
      *problem = "larger than " + std::to_string(kMaxSettingsFileSize >> 20) + " MiB";
    } else {
      *problem = std::strerror(error);
    }
  }
  return Registry();
}

std::optional<std::string> Registry::Read(std::string_view full_path) const {
  std::size_t slash = full_path.rfind('\\');
  if (slash == std::string_view::npos) return std::nullopt;
  auto key = keys_.find(NormaliseKeyPath(full_path.substr(0, slash)));
  if (key == keys_.end()) return std::nullopt;
  auto value = key->second.find(AsciiLower(full_path.substr(slash + 1)));
  if (value == key->second.end()) return std::nullopt;
  return value->second;
}

}  // namespace norv

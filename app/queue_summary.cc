#include "app/queue_summary.h"

#include <chrono>
#include <filesystem>
#include <system_error>

namespace norv {

namespace {
constexpr std::int64_t kLowestStart = 5000000;
}  // namespace

std::optional<std::int32_t> InboundFileNumber(std::string_view name, std::string_view suffix) {
  std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || suffix.empty()) return std::nullopt;
  std::string_view extension = name.substr(dot + 1);
  if (extension.size() != suffix.size()) return std::nullopt;
  for (std::size_t i = 0; i < extension.size(); ++i) {
    char c = extension[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != suffix[i]) return std::nullopt;
  }
  std::string_view base = name.substr(0, dot);
  std::size_t i = 0;
  bool negative = false;
  if (i < base.size() && (base[i] == '+' || base[i] == '-')) negative = base[i++] == '-';
  if (i == base.size()) return std::nullopt;
  std::int64_t value = 0;
  for (; i < base.size(); ++i) {
    if (base[i] < '0' || base[i] > '9') return std::nullopt;
    value = value * 10 + (base[i] - '0');
    if (value > 2147483648LL) return std::nullopt;  // beyond 32 bits: no file number
  }
  if (negative) value = -value;
  if (value >= kLowestStart) return std::nullopt;
  return static_cast<std::int32_t>(value);
}

QueueFigures SummariseQueue(const std::string& directory, const std::vector<QueueEntry>& entries,
                            std::string_view suffix, std::int64_t now) {
  QueueFigures q;
  q.directory = directory;
  bool any = false;
  std::int64_t oldest = 0;
  for (const QueueEntry& e : entries) {
    std::optional<std::int32_t> number = InboundFileNumber(e.name, suffix);
    if (!number) continue;
    ++q.waiting;
    if (!any || e.modified < oldest) oldest = e.modified;
    if (!any || *number > q.highest) q.highest = *number;
    any = true;
  }
  if (any && now > oldest) q.oldest_age = now - oldest;
  return q;
}

QueueFigures ScanInboundQueue(const std::string& directory, std::string_view suffix,
                              std::int64_t now) {
  namespace fs = std::filesystem;
  std::vector<QueueEntry> entries;
  std::error_code ec;
  for (fs::directory_iterator it(directory, ec), end; !ec && it != end; it.increment(ec)) {
    const fs::directory_entry& entry = *it;
    std::error_code e1, e2;
    // status() follows links: a link to a file is listed like the file.
    if (!entry.is_regular_file(e1) || e1) continue;
    fs::file_time_type t = entry.last_write_time(e2);
    if (e2) continue;  // removed since it was listed
    auto sys = std::chrono::file_clock::to_sys(t);
    entries.push_back({entry.path().filename().string(),
                       std::chrono::duration_cast<std::chrono::seconds>(sys.time_since_epoch()).count()});
  }
  if (ec) {
    QueueFigures q;
    q.directory = directory;
    q.readable = false;
    return q;
  }
  return SummariseQueue(directory, entries, suffix, now);
}

std::vector<std::string> InboundDirectories(const std::string& inbound_path,
                                            const std::vector<std::string>& export_paths) {
  std::vector<std::string> dirs;
  if (inbound_path == "TCPRECEIVE") {
    for (const std::string& p : export_paths) {
      if (!p.empty()) dirs.push_back(p);
    }
  } else if (!inbound_path.empty()) {
    dirs.push_back(inbound_path);
  }
  return dirs;
}

}  // namespace norv

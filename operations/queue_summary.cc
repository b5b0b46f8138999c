#include "operations/queue_summary.h"

#include <chrono>
#include <filesystem>
#include <system_error>

#include "intake/inbound_queue.h"

namespace norv {

std::optional<std::int32_t> WaitingFileNumber(std::string_view name, std::string_view suffix) {
  if (suffix.empty()) return std::nullopt;
  InboundName n = ClassifyInboundName(name, suffix);
  if (n.kind != InboundName::kNumber || n.number >= kInboundNumberLimit) return std::nullopt;
  return n.number;
}

QueueFigures SummariseQueue(const std::string& directory, const std::vector<QueueEntry>& entries,
                            std::string_view suffix, std::int64_t now) {
  QueueFigures q;
  q.directory = directory;
  bool any = false;
  std::int64_t oldest = 0;
  for (const QueueEntry& e : entries) {
    std::optional<std::int32_t> number = WaitingFileNumber(e.name, suffix);
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
    // A link is no inbound file: the cycle never takes one.
    if (entry.symlink_status(e1).type() != fs::file_type::regular || e1) continue;
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

std::optional<QueueFigures> IndexedQueueFigures(const std::string& directory,
                                                const InboundQueue& index, FileSystem& fs,
                                                std::int64_t now) {
  std::optional<InboundQueueSummary> summary = index.Summary();
  if (!summary) return std::nullopt;
  QueueFigures q;
  q.directory = directory;
  q.waiting = summary->waiting;
  q.highest = summary->highest;
  FileIdentity next;
  if (!summary->next.empty() && fs.Identify(summary->next, next).ok()) {
    const std::int64_t modified = next.mtime_ns / 1000000000;
    if (now > modified) q.oldest_age = now - modified;
  }
  return q;
}

}  // namespace norv

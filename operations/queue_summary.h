// What waits in an inbound directory: the numbered files the inbound cycle
// will take (names "<number>.<FileSuffix>" with a number below 5000000, the
// suffix compared without regard to case), how many there are and how long
// the oldest has been waiting. Read-only; used by the state record, the
// status view and re-queueing.
#ifndef NORV_OPERATIONS_QUEUE_SUMMARY_H_
#define NORV_OPERATIONS_QUEUE_SUMMARY_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "intake/inbound_queue.h"
#include "platform/file_system.h"

namespace norv {

// The number of a file waiting in the queue: decimal digits with an optional
// sign, a full stop and `suffix` (upper case, as the FileSuffix setting holds
// it). nullopt for any other name, and for numbers of 5000000 and above,
// which the cycle never takes. The rule is the inbound queue's
// (ClassifyInboundName).
std::optional<std::int32_t> WaitingFileNumber(std::string_view name, std::string_view suffix);

// The figures of one inbound directory.
struct QueueFigures {
  std::string directory;        // as configured (Windows-1252 bytes)
  bool readable = true;         // false: the directory could not be listed
  std::uint64_t waiting = 0;    // numbered files waiting
  std::int64_t oldest_age = 0;  // seconds since the oldest was last modified; 0 when none
  std::int32_t highest = 0;     // highest number waiting; 0 when none
  bool operator==(const QueueFigures&) const = default;
};

// One listed directory entry, as the queue figures need it.
struct QueueEntry {
  std::string name;
  std::int64_t modified = 0;  // Unix seconds
};

// The figures of the regular files `entries` of `directory` at `now` (Unix
// seconds). A file dated in the future counts as just written.
QueueFigures SummariseQueue(const std::string& directory, const std::vector<QueueEntry>& entries,
                            std::string_view suffix, std::int64_t now);

// Lists `directory` (regular files only, as the cycle takes them: no links,
// no sub-folders) and summarises it. A directory that cannot be listed gives
// readable false. One look at every file: for a command, not for the loop.
QueueFigures ScanInboundQueue(const std::string& directory, std::string_view suffix,
                              std::int64_t now);

// The inbound directories of the settings: InboundPath, or the export paths
// when it is "TCPRECEIVE". Empty entries are left out.
std::vector<std::string> InboundDirectories(const std::string& inbound_path,
                                            const std::vector<std::string>& export_paths);

// The figures of `directory` from the running service's index of it: no
// listing, and one look at the file next in line, whose age stands for the
// queue's. nullopt when the index has not listed the directory yet.
std::optional<QueueFigures> IndexedQueueFigures(const std::string& directory,
                                                const InboundQueue& index, FileSystem& fs,
                                                std::int64_t now);

}  // namespace norv

#endif  // NORV_OPERATIONS_QUEUE_SUMMARY_H_

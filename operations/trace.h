// `norvreader --trace TEXT [--since DATE] [--json]` and `norvreader --trace
// --failed [--today|--week|--since DATE]`: the road of each message the
// journal knows by that patient id, accession number, control id or file
// name (or of each failed message): received (peer, time, answer), taken,
// its values, the outcome, the error lines, where the file lies now and
// whether it is still there, and what it changed.
#ifndef NORV_OPERATIONS_TRACE_H_
#define NORV_OPERATIONS_TRACE_H_

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "operations/journal.h"
#include "platform/file_system.h"

namespace norv {

// One message's road: its receiver record and the record of its file taken
// by the service, either of which may be missing (a file dropped into the
// inbound directory; a message received and not taken yet).
struct TraceRoad {
  std::optional<JournalRecord> received;
  std::optional<JournalRecord> taken;
  std::string file_now;     // where its file lies now; empty: deleted, or none
  bool file_there = false;  // whether file_now exists
};

// The roads of the records `found`, each message once, oldest first; the
// other half of each road is looked up in `journal`, and `fs` tells where
// the files are now.
std::vector<TraceRoad> TraceRoads(Journal& journal, const std::vector<JournalRecord>& found,
                                  FileSystem& fs);

std::string FormatTraceText(const std::vector<TraceRoad>& roads);
std::string FormatTraceJson(const std::vector<TraceRoad>& roads);

// Unix seconds of local midnight at the start of "YYYY-MM-DD"; nullopt for
// anything else.
std::optional<std::int64_t> LocalDayStart(std::string_view date);
// Local midnight of today, and of this ISO week's Monday.
std::int64_t TodayStart();
std::int64_t WeekStart();

struct TraceQuery {
  std::string text;     // empty with `failed`
  bool failed = false;  // the failed messages instead of a text
  std::int64_t since = 0;
  bool json = false;
};

// The whole command. 0 when something was found, 1 when nothing was or the
// journal cannot be read (the reason on `err`).
int RunTrace(const std::string& journal_path, const TraceQuery& query, FileSystem& fs,
             std::FILE* out, std::FILE* err);

// The --requeue arguments with each "journal:N" replaced by the path the
// journal's record N left its file at. nullopt, with the reason on `err`,
// when a record is missing or its file was deleted.
std::optional<std::vector<std::string>> ResolveJournalPaths(const std::string& journal_path,
                                                            const std::vector<std::string>& paths,
                                                            std::FILE* err);

}  // namespace norv

#endif  // NORV_OPERATIONS_TRACE_H_

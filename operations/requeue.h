// `norvreader --requeue [--dry-run] PATH...`: sends files from the failed and
// debug week folders back into the inbound directory they came from. Each
// file gets a fresh number above every number waiting there, in the order
// the paths are given (a week folder stands for its files in the order of
// their original numbers), so it neither overtakes nor replaces a waiting
// file. A file arrives under its final name in one rename, never half
// written, and no existing name is ever replaced: a number taken meanwhile
// (a sender's new file) is skipped. Only regular files inside the
// installation's "<inbound>failed/<week>/" and "<inbound>debug/<week>/"
// folders are accepted; symbolic links are refused, and paths are compared
// after resolving them.
#ifndef NORV_OPERATIONS_REQUEUE_H_
#define NORV_OPERATIONS_REQUEUE_H_

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "platform/file_system.h"

namespace norv {

struct RequeueMove {
  std::string from;         // resolved path of the file in its week folder
  std::string inbound_dir;  // resolved inbound directory, no trailing '/'
  std::int32_t number = 0;  // planned file number
  std::string to;           // inbound_dir + "/" + number + "." + suffix
};

struct RequeueRefusal {
  std::string path;  // as given
  std::string reason;
};

struct RequeuePlan {
  std::vector<RequeueMove> moves;
  std::vector<RequeueRefusal> refused;
};

// Plans the moves of `paths` (files or week folders) for the inbound
// directories `inbound_dirs` (as configured: a plain prefix of the week
// folders) and the FileSuffix `suffix`. Changes nothing.
RequeuePlan PlanRequeue(const std::vector<std::string>& paths,
                        const std::vector<std::string>& inbound_dirs, const std::string& suffix);

struct RequeueOutcome {
  RequeueMove move;  // `to` and `number` as finally used
  int error = 0;     // errno; 0 when the file was moved
};

// Carries the plan out, move by move. A planned name that has been taken
// meanwhile moves this and the later files of that directory up by one.
// Each move is FileSystem::MoveFileTo (across file systems a flushed copy,
// the original removed only after); both folders are then flushed.
std::vector<RequeueOutcome> CarryOutRequeue(FileSystem& fs, const RequeuePlan& plan,
                                            const std::string& suffix);

// The whole command: prints "old -> new" per file to `out` and refusals and
// failures to `err`. Returns 0 when every path was moved (or, with
// `dry_run`, could be), 1 otherwise.
int RunRequeue(const std::vector<std::string>& paths, const std::vector<std::string>& inbound_dirs,
               const std::string& suffix, bool dry_run, std::FILE* out, std::FILE* err);

}  // namespace norv

#endif  // NORV_OPERATIONS_REQUEUE_H_

// The inbound processing cycle: one tick takes at most one inbound file from
// end to end (choose, read, parse, dispatch, dispose). Runs on the message
// loop's thread inside the processing timer's tick.
//
// Inbound files are named <number>.<FileSuffix>; of the files whose attribute
// word is 0 the one with the smallest number below 5000000 is taken, the
// first listed on a tie. After the tick the file is deleted (processed), kept
// in <dir>debug/<week>/ (processed, KeepFiles 1) or moved into
// <dir>failed/<week>/, where an earlier file of the same name is never
// replaced (the newcomer becomes <name>.1, <name>.2, ...).
#ifndef NORV_INTAKE_INBOUND_CYCLE_H_
#define NORV_INTAKE_INBOUND_CYCLE_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

#include "core/context.h"
#include "core/repeat_limiter.h"
#include "core/seen_messages.h"
#include "intake/events.h"
#include "intake/inbound_queue.h"

namespace norv {

// The source the cycle's own error-log lines carry.
inline constexpr char kInboundTickSource[] = "MainForm TimerProgress";

// What became of one file the cycle took, told to InboundCycle::on_taken
// for whoever keeps counts (the service's state record and metrics) or a
// journal of the messages.
struct TakenFile {
  std::string path;
  std::string event;  // its MSH-9; empty when it could not be read
  // Unix seconds: when the file was taken and when it was done with.
  std::int64_t taken_at = 0;
  std::int64_t finished_at = 0;
  // MSH-3, MSH-4 and MSH-10 as the header carries them; empty when absent.
  std::string sending_application, sending_facility, control_id;
  // The values of the patient groups and orders handled, each once, in
  // message order (several with the standard reading).
  std::vector<std::string> patient_ids, accessions, order_controls;
  // Where the file went: "deleted", its path in the debug or failed week
  // folder, or empty while it is still in the inbound directory (held, or
  // it could not be disposed of).
  std::string disposal;
  MessageNotes notes;  // error lines and changes logged while it was handled
  // Processed or failed, unless `held`: a database outage keeps the file in
  // the queue to be tried again, so it is neither.
  Outcome outcome = Outcome::kFailed;
  bool held = false;
  bool outage_began = false;  // this file's attempt began an outage
  bool outage_ended = false;  // this file's attempt found the database again
  bool duplicate = false;     // skipped (SkipDuplicates 1): processed within the window
  double seconds = 0;         // from reading the file to its disposal (or hold)
};

// State the form keeps between ticks.
struct InboundCycle {
  // Directory used by the current or last tick; empty before the first. Used
  // as a plain prefix of the debug and failed folders.
  std::string CurrentInboundDir;
  // Index into ExportPathList when InboundPath is "TCPRECEIVE".
  std::int32_t InboundDirIndex = 0;
  // Files already reported as unusable (a base that is not a file number,
  // attributes or an empty file that could not be changed): each is logged
  // once per process, not on every tick.
  std::set<std::string> reported_files;
  // Files processed (or failed) but not disposed of, by path, with the
  // identity they had then: skipped until they change or the process ends.
  std::map<std::string, FileIdentity> undisposable;
  // A database outage holds the queue: the file being processed stays in
  // the inbound directory and is tried again after `retry_pause` (1 s,
  // doubling to 60 s); nothing else is taken meanwhile. One error line
  // marks the start of an outage, one its end.
  bool outage = false;
  std::string held_dir;
  std::string held_file;
  std::chrono::milliseconds retry_pause{0};
  std::chrono::steady_clock::time_point retry_at{};
  // An error of the tick that recurs on every tick (the inbound directory
  // missing or unreadable, no export path) is logged when it starts, then
  // at most once a minute with a count, and once when it clears.
  RepeatLimiter tick_errors;
  // The index of each inbound directory used so far (with a watch of the
  // directory where the platform has one).
  std::map<std::string, std::unique_ptr<InboundQueue>> queues;
  // With SkipDuplicates 1, by inbound directory: the record of the messages
  // processed from it (".norvreader.seen" there), opened on first use;
  // nullptr when it cannot be opened (told once).
  std::map<std::string, std::unique_ptr<SeenMessages>> seen;
  // Told after every file taken; empty: nobody. What it throws is ignored.
  std::function<void(const TakenFile&)> on_taken;
};

// One processing tick: choose the directory and the file, read, parse and
// dispatch it, dispose of it (the caller switches the timer off before and
// on after). Any error of the tick is logged once with the source "MainForm
// TimerProgress"; the chosen file then ends in the failed folder. Returns
// whether a file was taken (false when none waits, or while an outage holds
// the queue). Never throws.
bool RunInboundTick(const IntakeContext& ctx, InboundCycle& cycle);

// The file to take from cycle.CurrentInboundDir now (empty when none
// qualifies), by the directory's index (intake/inbound_queue.h): the file
// with the smallest number below 5000000 whose attribute word is 0, the
// first listed on a tie, as ScanInboundDirectory would choose it, at a cost
// that does not grow with the backlog. With `complete_skips_age` a file the
// directory watch saw renamed into place or closed by its writer does not
// wait for its archive bit. Files in cycle.undisposable are passed over while
// unchanged. Files whose base is not a file number, and files whose
// attributes or emptiness cannot be dealt with, are reported once through
// cycle.reported_files. Throws Error when the folder cannot be listed.
std::string ChooseInboundFile(const Context& ctx, InboundCycle& cycle, bool complete_skips_age);

// The same choice by a full scan of `dir`: every file is listed and looked
// at, and the loop is yielded once per file. The service no longer uses it;
// it is the reference the index is checked and measured against. Files in
// `undisposable` (when given) are skipped while their identity is unchanged.
std::string ScanInboundDirectory(const Context& ctx, const std::string& dir,
                                 std::set<std::string>& reported_files,
                                 std::map<std::string, FileIdentity>* undisposable = nullptr);

// Deletes the file at `path` (processed and KeepFiles not 1) or moves it
// into `inbound_dir` + "debug" or "failed" + "/" + the week folder of today,
// creating the two folder levels when missing; a level that exists as
// anything but a folder of its own (a file, a link) is not used. In debug a
// file of the same name is replaced; in failed the file is kept beside it as
// <name>.1, <name>.2, ... Returns "" when the file has left the inbound
// directory (or `path` is empty), else why it is still there. Never throws.
// `where`, when given, receives "deleted" or the path the file was moved to.
std::string DisposeInboundFile(const Context& ctx, const std::string& inbound_dir,
                               const std::string& path, Outcome outcome,
                               std::string* where = nullptr);

}  // namespace norv

#endif  // NORV_INTAKE_INBOUND_CYCLE_H_

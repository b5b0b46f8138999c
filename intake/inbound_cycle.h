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

#include <cstdint>
#include <functional>
#include <set>
#include <string>

#include "platform/file_system.h"

namespace norv {

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
  // The file system the cycle works on; nullptr means the platform's.
  FileSystem* file_system = nullptr;
  // Told at the end of every tick: whether a file was taken, its MSH-9 (empty
  // when unread), the verdict and the seconds from taking it to its disposal.
  std::function<void(bool took_file, const std::string& event, bool processed_ok, double seconds)>
      on_tick;
};

// One processing tick, steps 2 to 11 (the caller switches the timer off
// before and on after). Any error of the tick is logged once with the source
// "MainForm TimerProgress"; the chosen file then ends in the failed folder.
// Never throws.
void RunInboundTick(InboundCycle& cycle);

// Scans `dir` for the file to take and returns its full path (empty when
// none qualifies). On the way it clears the attribute word of files it skips
// because of it or because of their number, deletes qualifying empty files
// that would have been taken, and lets pending loop events run once per
// listed file. Files whose base is not a file number, and files whose
// attributes or emptiness cannot be dealt with, are skipped and reported once
// through `reported_files`. Throws Error when the folder cannot be listed.
std::string ChooseInboundFile(FileSystem& fs, const std::string& dir,
                              std::set<std::string>& reported_files);

// Deletes the file at `path` (processed_ok and KeepFiles not 1) or moves it
// into `inbound_dir` + "debug" or "failed" + "/" + the week folder of today,
// creating the two folder levels when missing. In debug a file of the same
// name is overwritten; in failed the file is kept beside it as <name>.1,
// <name>.2, ... Each failing step is skipped silently; never throws.
void DisposeInboundFile(FileSystem& fs, const std::string& inbound_dir,
                        const std::string& path, bool processed_ok);

}  // namespace norv

#endif  // NORV_INTAKE_INBOUND_CYCLE_H_

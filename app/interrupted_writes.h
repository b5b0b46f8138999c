// What a write cut short (the process killed, the machine down) leaves
// behind, removed at start-up before anything is written again. The program
// writes its files under a temporary name and renames them when complete, and
// announces each report page with a marker file before its DICOM file; so the
// leftovers are
//   - in the Temp prefix's folder: temporary files of report pages and
//     markers (<prefix><UID>.dcm.part, and <prefix><UID>[.dcm|.cae]...
//     ending in .part or .tmp, also with a leading '.'), and markers
//     <prefix><UID>.cae whose <prefix><UID>.dcm does not exist;
//   - in the rename-order folder: temporary orders (<UID>.tmp, and
//     <UID>[.JRQ]... ending in .part or .tmp, also with a leading '.').
// UIDs are the program's own (under its root 2.25.); only names of this form
// are touched: every other file stays.
#ifndef NORV_APP_INTERRUPTED_WRITES_H_
#define NORV_APP_INTERRUPTED_WRITES_H_

#include <string>
#include <vector>

#include "platform/file_system.h"

namespace norv {

// One leftover found: its path, and 0 when it was removed or the errno value
// of the failed removal.
struct Leftover {
  std::string path;
  int error = 0;
};

// Removes the leftovers of interrupted writes. `temp_prefix` is the Temp
// setting (a plain prefix: a folder ending in '/', or a folder and the
// start of the names; empty: none), `rename_orders_folder` the program's
// RenameOrders folder. A folder that cannot be listed is skipped. Returns
// what was found, for the caller to log.
std::vector<Leftover> RemoveInterruptedWrites(FileSystem& fs, const std::string& temp_prefix,
                                              const std::string& rename_orders_folder);

}  // namespace norv

#endif  // NORV_APP_INTERRUPTED_WRITES_H_

// The no-replace rename the POSIX file code of this folder shares.
#ifndef NORV_PLATFORM_POSIX_RENAME_H_
#define NORV_PLATFORM_POSIX_RENAME_H_

#include "platform/file_system.h"

namespace norv::posix {

// Renames `from` (relative to `from_dfd`) to `to` (relative to `to_dfd`;
// AT_FDCWD for plain paths) without replacing an existing `to` of any kind
// (EEXIST): renameat2's no-replace flag, or a hard link where the file
// system lacks the flag, or a check before the rename where it has neither.
FsStatus RenameNoReplace(int from_dfd, const char* from, int to_dfd, const char* to);

}  // namespace norv::posix

#endif  // NORV_PLATFORM_POSIX_RENAME_H_

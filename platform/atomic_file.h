// Whole-file replacement that readers never see half done: the bytes go to a
// temporary name in the same folder (created exclusively and never through a
// symbolic link), are flushed to the disk, and the temporary file is renamed
// over the target. A target that is a symbolic link is replaced by the file,
// never written through.
#ifndef NORV_PLATFORM_ATOMIC_FILE_H_
#define NORV_PLATFORM_ATOMIC_FILE_H_

#include <string>
#include <string_view>

#include "platform/file_system.h"

namespace norv {

// Replaces `path` with `bytes`. `mode` sets the file's permission bits
// exactly (for files other users' programs read); a negative mode leaves
// them to the creation mask. The temporary name is "." + name + "." + pid +
// ".tmp", which no "*.prom" or inbound-suffix glob matches; a leftover of an
// earlier crash under that name is replaced. On failure the target is
// unchanged and the temporary file removed.
FsStatus WriteFileAtomically(const std::string& path, std::string_view bytes, int mode = -1);

}  // namespace norv

#endif  // NORV_PLATFORM_ATOMIC_FILE_H_

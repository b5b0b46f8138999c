// What a procedure needs of the running program, handed down as an argument
// instead of being reached through globals: the settings, the log, the file
// system, the program directory and the clock. The program's main (or a
// test) owns every part; a Context only refers to them.
#ifndef NORV_CORE_CONTEXT_H_
#define NORV_CORE_CONTEXT_H_

#include <string>

#include "core/log.h"
#include "core/settings.h"
#include "platform/file_system.h"
#include "platform/system.h"

namespace norv {

struct Context {
  const Settings& settings;
  Log& log;
  FileSystem& fs;
  std::string program_dir;  // holds Logs/, RenameOrders/, procedure-ids.txt
  Clock now = LocalNow;
};

}  // namespace norv

#endif  // NORV_CORE_CONTEXT_H_

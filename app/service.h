// What the running service owns, in one place: its settings and where they
// are read from, the log, the database connections, the procedure-code
// table, the report fonts, and the context the inbound cycle hands to the
// event handlers. main creates one; tests create their own.
#ifndef NORV_APP_SERVICE_H_
#define NORV_APP_SERVICE_H_

#include <string>

#include "core/context.h"
#include "core/log.h"
#include "core/settings.h"
#include "db/procedure.h"
#include "imaging/label_renderer.h"
#include "intake/events.h"
#include "intake/procedure_codes.h"
#include "platform/file_system.h"
#include "platform/system.h"

namespace norv {

struct Service {
  // Settings start at their defaults; MainForm::Start loads them.
  Service(FileSystem& file_system, std::string program_directory, SettingsSource settings_source,
          Clock clock = LocalNow)
      : fs(file_system),
        program_dir(std::move(program_directory)),
        source(std::move(settings_source)),
        log(fs, program_dir, settings, clock),
        connections(settings, program_dir),
        intake{{{settings, log, fs, program_dir, clock}, connections}, codes, fonts} {}
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  FileSystem& fs;
  std::string program_dir;
  SettingsSource source;
  Settings settings;
  Log log;
  ConnectionPerCall connections;
  ProcedureCodeTable codes;
  FontCache fonts;
  IntakeContext intake;
};

}  // namespace norv

#endif  // NORV_APP_SERVICE_H_

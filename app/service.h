// What the running service owns, in one place: its settings and where they
// are read from, the log, the database connections, the procedure-code
// table, the report fonts, and the context the inbound cycle hands to the
// event handlers. main creates one; tests create their own.
#ifndef NORV_APP_SERVICE_H_
#define NORV_APP_SERVICE_H_

#include <memory>
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

// Where the database procedures' connections come from: one connection kept
// open with one transaction per message (the service's way), or a new
// connection per procedure call with every statement on its own (for
// comparisons in benchmarks).
enum class ConnectionMode { kReused, kPerCall };

inline std::unique_ptr<ConnectionSource> MakeConnectionSource(ConnectionMode mode,
                                                              const Settings& settings,
                                                              const std::string& program_dir) {
  if (mode == ConnectionMode::kPerCall) {
    return std::make_unique<ConnectionPerCall>(settings, program_dir);
  }
  return std::make_unique<ReusedConnection>(settings, program_dir);
}

struct Service {
  // Settings start at their defaults; MainForm::Start loads them.
  Service(FileSystem& file_system, std::string program_directory, SettingsSource settings_source,
          Clock clock = LocalNow, ConnectionMode connection_mode = ConnectionMode::kReused)
      : fs(file_system),
        program_dir(std::move(program_directory)),
        source(std::move(settings_source)),
        log(fs, program_dir, settings, clock),
        connections(MakeConnectionSource(connection_mode, settings, program_dir)),
        intake{{{settings, log, fs, program_dir, clock}, *connections}, codes, fonts} {}
  Service(const Service&) = delete;
  Service& operator=(const Service&) = delete;

  FileSystem& fs;
  std::string program_dir;
  SettingsSource source;
  Settings settings;
  Log log;
  std::unique_ptr<ConnectionSource> connections;
  ProcedureCodeTable codes;
  FontCache fonts;
  IntakeContext intake;
};

}  // namespace norv

#endif  // NORV_APP_SERVICE_H_

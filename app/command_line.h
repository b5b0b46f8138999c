// The command line of the service. With no argument the program runs as
// designed: program directory = the executable's directory, settings file
// "<home>/NORVReader.reg".
#ifndef NORV_APP_COMMAND_LINE_H_
#define NORV_APP_COMMAND_LINE_H_

#include <string>
#include <vector>

namespace norv {

struct CommandLine {
  enum class Action {
    kRun, kCheck, kReceive, kVersion, kHelp, kUsageError, kStatus, kRequeue, kTrace
  };
  Action action = Action::kRun;
  std::string home;           // --home DIR, env NORVREADER_HOME
  std::string settings_file;  // --settings FILE, env NORVREADER_SETTINGS
  std::string instance = "01";  // --instance NN: the program's settings key
  std::string error;          // for kUsageError
  bool json = false;                // --status --json, --trace --json
  bool dry_run = false;             // --requeue --dry-run
  std::vector<std::string> paths;   // --requeue PATH..., --trace TEXT
  bool failed = false;              // --trace --failed
  // --trace: --today, --week or --since DATE; empty: the whole journal
  // (with --failed: today).
  std::string since;
};

// Parses argv (without argv[0]). `env_home` and `env_settings` are the
// environment's values (empty when unset); options win over them. Defaults
// are filled in: home = `exe_dir`, settings = home + "/NORVReader.reg".
CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::string& env_home,
                             const std::string& env_settings,
                             const std::string& exe_dir);

// The text printed for --help and for usage errors.
std::string UsageText();

}  // namespace norv

#endif  // NORV_APP_COMMAND_LINE_H_

#include "app/command_line.h"

namespace norv {

std::string UsageText() {
  return "Usage: norvreader [--home DIR] [--settings FILE] [--instance NN] [--check]\n"
         "                  [--receive] [--status [--json]] [--requeue [--dry-run] PATH...]\n"
         "                  [--trace TEXT|--failed [--since DATE|--today|--week] [--json]]\n"
         "                  [--version] [--help]\n"
         "\n"
         "  --home DIR       program directory (Logs/, procedure-ids.txt, RenameOrders/);\n"
         "                   default: the executable's directory (env NORVREADER_HOME)\n"
         "  --settings FILE  settings file in .reg format; default <home>/NORVReader.reg\n"
         "                   (env NORVREADER_SETTINGS)\n"
         "  --instance NN    settings key ...\\NORVReader\\NN (default 01), one per feed\n"
         "  --check          check the configuration, print one line per item and exit\n"
         "                   (0: ready to run, 1: something the service needs is missing)\n"
         "  --receive        run the MLLP receiver of the instance (MLLPPort) instead\n"
         "                   of the service: HL7 over TCP into the inbound directory\n"
         "  --status         show whether the service runs, its queue, today's and this\n"
         "                   week's messages, the last errors and the database; exit\n"
         "                   0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN; --json: one JSON object\n"
         "  --requeue PATH...  move files (or week folders) from failed/ or debug/ back\n"
         "                   into the inbound directory under fresh numbers; --dry-run\n"
         "                   only shows what would be moved; journal:N stands for the\n"
         "                   file of the journal's message N\n"
         "  --trace TEXT     the road of each message the journal knows by this patient\n"
         "                   id, accession number, control id or file name: received,\n"
         "                   taken, values, outcome, errors, where the file is, changes;\n"
         "                   --failed instead: the messages that failed (default today);\n"
         "                   --since YYYY-MM-DD, --today, --week: from then on; --json\n"
         "  --version        print the version and exit\n"
         "  --help           print this text and exit\n";
}

CommandLine ParseCommandLine(const std::vector<std::string>& args,
                             const std::string& env_home,
                             const std::string& env_settings,
                             const std::string& exe_dir) {
  CommandLine cl;
  cl.home = env_home;
  cl.settings_file = env_settings;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    auto value = [&](std::string* out) {
      std::string prefix = a.substr(0, a.find('='));
      if (a.find('=') != std::string::npos) {
        *out = a.substr(a.find('=') + 1);
        return true;
      }
      if (i + 1 >= args.size()) {
        cl.action = CommandLine::Action::kUsageError;
        cl.error = "option " + prefix + " needs a value";
        return false;
      }
      *out = args[++i];
      return true;
    };
    std::string name = a.substr(0, a.find('='));
    if (name == "--home") {
      if (!value(&cl.home)) return cl;
    } else if (name == "--settings") {
      if (!value(&cl.settings_file)) return cl;
    } else if (name == "--instance") {
      std::string nn;
      if (!value(&nn)) return cl;
      bool digits = !nn.empty() && nn.size() <= 2 &&
                    nn.find_first_not_of("0123456789") == std::string::npos;
      if (!digits) {
        cl.action = CommandLine::Action::kUsageError;
        cl.error = "--instance needs a number of one or two digits, got: " + nn;
        return cl;
      }
      cl.instance = nn.size() == 1 ? "0" + nn : nn;
    } else if (a == "--check") {
      cl.action = CommandLine::Action::kCheck;
    } else if (a == "--receive") {
      cl.action = CommandLine::Action::kReceive;
    } else if (a == "--status") {
      cl.action = CommandLine::Action::kStatus;
    } else if (a == "--json") {
      cl.json = true;
    } else if (a == "--requeue") {
      cl.action = CommandLine::Action::kRequeue;
    } else if (a == "--dry-run") {
      cl.dry_run = true;
    } else if (a == "--trace") {
      cl.action = CommandLine::Action::kTrace;
    } else if (a == "--failed") {
      cl.failed = true;
    } else if (a == "--today" || a == "--week") {
      cl.since = a.substr(2);
    } else if (name == "--since") {
      if (!value(&cl.since)) return cl;
    } else if (a == "--") {
      cl.paths.insert(cl.paths.end(), args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
      break;
    } else if (!a.empty() && a[0] != '-') {
      cl.paths.push_back(a);
    } else if (a == "--version") {
      cl.action = CommandLine::Action::kVersion;
    } else if (a == "--help" || a == "-h") {
      cl.action = CommandLine::Action::kHelp;
    } else {
      cl.action = CommandLine::Action::kUsageError;
      cl.error = "unknown option: " + a;
      return cl;
    }
  }
  using Action = CommandLine::Action;
  auto misuse = [&cl](const char* text) {
    cl.action = Action::kUsageError;
    cl.error = text;
    return cl;
  };
  if (cl.json && cl.action != Action::kStatus && cl.action != Action::kTrace) {
    return misuse("--json goes with --status or --trace");
  }
  if ((cl.failed || !cl.since.empty()) && cl.action != Action::kTrace) {
    return misuse("--failed, --since, --today and --week go with --trace");
  }
  if (cl.action == Action::kTrace && cl.paths.size() != (cl.failed ? 0u : 1u)) {
    return misuse("--trace needs one TEXT to look for, or --failed");
  }
  if (cl.dry_run && cl.action != Action::kRequeue) return misuse("--dry-run goes with --requeue");
  if (cl.action == Action::kRequeue && cl.paths.empty()) return misuse("--requeue needs a PATH");
  if (cl.action != Action::kRequeue && cl.action != Action::kTrace && !cl.paths.empty()) {
    return misuse(("unexpected argument: " + cl.paths.front()).c_str());
  }
  if (cl.home.empty()) cl.home = exe_dir;
  while (cl.home.size() > 1 && cl.home.back() == '/') cl.home.pop_back();
  if (cl.settings_file.empty()) cl.settings_file = cl.home + "/NORVReader.reg";
  return cl;
}

}  // namespace norv

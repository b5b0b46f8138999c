// `norvreader --check`: loads the settings as the service would and reports,
// one line each, every effective setting and whether what the service needs
// is in place (inbound directories, Temp, procedure codes, report font,
// database tables and views). Reads only; creates and writes nothing.
#ifndef NORV_APP_CONFIG_CHECK_H_
#define NORV_APP_CONFIG_CHECK_H_

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "core/settings.h"
#include "platform/file_system.h"

namespace norv {

enum class CheckLevel { kOk, kInfo, kWarn, kFail };

struct CheckLine {
  CheckLevel level;
  std::string text;
};

// Runs every check on the settings `source` names and the program
// directory, reading files through `files`. Lines come in a fixed order.
std::vector<CheckLine> CheckConfiguration(FileSystem& files, const SettingsSource& source,
                                          const std::string& program_dir);

// Prints the lines to `out`; returns 0 when nothing failed, 1 otherwise.
int RunConfigurationCheck(std::FILE* out, FileSystem& files, const SettingsSource& source,
                          const std::string& program_dir);

// Hides the values of password keys (pwd, password; any case, blanks around
// the '=', values between braces) in an ODBC connection text, also those of
// a libpq text inside braces (pqopt={password=...}).
std::string MaskPasswords(const std::string& text);

}  // namespace norv

#endif  // NORV_APP_CONFIG_CHECK_H_

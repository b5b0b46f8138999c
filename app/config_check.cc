#include "app/config_check.h"

#include <cerrno>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string_view>
#include <system_error>
#include <vector>

#include "intake/hl7_standard.h"
#include "intake/procedure_codes.h"
#include "core/settings.h"
#include "db/database.h"
#include "db/schema_check.h"
#include "imaging/label_renderer.h"
#include "core/ansi.h"
#include "core/dates.h"
#include "platform/system.h"
#include "receive/receive_command.h"

namespace norv {
namespace {

namespace fs = std::filesystem;

bool IsDir(const std::string& path) {
  std::error_code ec;
  return fs::is_directory(path, ec);
}

// A directory the service must write into.
CheckLine DirectoryLine(const std::string& what, const std::string& path) {
  if (path.empty()) return {CheckLevel::kFail, what + ": not set"};
  if (!IsDir(path)) return {CheckLevel::kFail, what + " " + path + ": does not exist"};
  if (!MayWriteInto(path)) return {CheckLevel::kFail, what + " " + path + ": not writable"};
  return {CheckLevel::kOk, what + " " + path + ": exists, writable"};
}

// Where the cycle files handled messages: `debug` and `failed` and this
// week's folder inside each must be folders (or not exist yet, then they are
// created). Anything else in their place - a file, a link - would leave every
// handled file lying in the inbound directory.
std::vector<CheckLine> DisposalLines(const std::string& what, const std::string& dir,
                                     const std::string& week) {
  std::vector<CheckLine> lines;
  for (const char* name : {"debug", "failed"}) {
    const fs::path folder = fs::path(dir) / name;
    for (const fs::path& level : {folder, folder / week}) {
      std::error_code ec;
      const fs::file_status st = fs::symlink_status(level, ec);
      if (ec || st.type() == fs::file_type::not_found || st.type() == fs::file_type::directory) continue;
      lines.push_back({CheckLevel::kFail, what + " " + dir + ": " + level.string() +
                                              " is not a folder; handled files cannot be moved"
                                              " there and stay in the inbound directory"});
      break;
    }
  }
  return lines;
}

std::string Quote(const std::string& s) { return "\"" + s + "\""; }

const char* LevelText(CheckLevel l) {
  switch (l) {
    case CheckLevel::kOk: return "[ OK ]";
    case CheckLevel::kInfo: return "[INFO]";
    case CheckLevel::kWarn: return "[WARN]";
    case CheckLevel::kFail: return "[FAIL]";
  }
  return "[ ?? ]";
}

}  // namespace

namespace {

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

bool IsPasswordKey(std::string_view key) {
  std::string lower = AsciiLower(key);
  return lower == "pwd" || lower == "password";
}

void Mask(std::string& out, std::size_t from, std::size_t to) {
  for (std::size_t i = from; i < to; ++i) out[i] = '*';
}

// Masks the password values of a libpq connection text (the inside of a
// psqlODBC pqopt={...}): "key = value" items separated by blanks, a value
// either plain or between single quotes with backslash escapes.
void MaskLibpqPasswords(const std::string& text, std::size_t begin, std::size_t end,
                        std::string& out) {
  std::size_t i = begin;
  while (i < end) {
    while (i < end && IsBlank(text[i])) ++i;
    std::size_t key = i;
    while (i < end && !IsBlank(text[i]) && text[i] != '=') ++i;
    std::size_t key_end = i;
    while (i < end && IsBlank(text[i])) ++i;
    if (i >= end || text[i] != '=') continue;  // a word without a value
    ++i;
    while (i < end && IsBlank(text[i])) ++i;
    std::size_t value = i;
    if (i < end && text[i] == '\'') {
      for (++i; i < end && text[i] != '\''; ++i) {
        if (text[i] == '\\' && i + 1 < end) ++i;
      }
      if (i < end) ++i;  // the closing quote
    } else {
      while (i < end && !IsBlank(text[i])) ++i;
    }
    if (IsPasswordKey(std::string_view(text).substr(key, key_end - key))) Mask(out, value, i);
  }
}

}  // namespace

// An ODBC connection text is "key=value" items separated by ';'; blanks
// around the key and the '=' do not count; a value between braces may hold
// ';' (and '}' written twice). The values of pwd and password are masked,
// and password items inside a braced value (pqopt={password=...}) as well.
std::string MaskPasswords(const std::string& text) {
  std::string out = text;
  std::size_t i = 0;
  while (i < text.size()) {
    std::size_t key = i;
    while (i < text.size() && text[i] != '=' && text[i] != ';') ++i;
    if (i >= text.size() || text[i] == ';') {  // no value: not an item
      ++i;
      continue;
    }
    std::size_t key_begin = key, key_end = i;
    while (key_begin < key_end && IsBlank(text[key_begin])) ++key_begin;
    while (key_end > key_begin && IsBlank(text[key_end - 1])) --key_end;
    bool password = IsPasswordKey(std::string_view(text).substr(key_begin, key_end - key_begin));
    ++i;  // '='
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i < text.size() && text[i] == '{') {
      std::size_t value = ++i;
      while (i < text.size() && !(text[i] == '}' && (i + 1 >= text.size() || text[i + 1] != '}'))) {
        i += text[i] == '}' ? 2 : 1;
      }
      std::size_t value_end = i < text.size() ? i : text.size();
      if (password) {
        Mask(out, value, value_end);
      } else {
        MaskLibpqPasswords(text, value, value_end, out);
      }
      while (i < text.size() && text[i] != ';') ++i;
    } else {
      std::size_t value = i;
      while (i < text.size() && text[i] != ';') ++i;
      if (password) Mask(out, value, i);
    }
    ++i;  // ';'
  }
  return out;
}

std::vector<CheckLine> CheckConfiguration(FileSystem& files, const SettingsSource& source,
                                          const std::string& program_dir) {
  std::vector<CheckLine> lines;
  auto add = [&](CheckLevel l, std::string t) { lines.push_back({l, std::move(t)}); };

  std::error_code ec;
  const std::string& file = source.file;
  Settings s;
  // Loaded as the service loads it: what keeps the service from reading
  // the file is what the check reports.
  if (std::string problem = LoadSettings(source, s); problem.empty()) {
    add(CheckLevel::kOk, "settings file " + file + ": readable");
  } else {
    add(CheckLevel::kFail,
        "settings file " + file + ": " + problem + " (every value takes its default)");
  }
  add(CheckLevel::kInfo, "settings key " + BaseKey(source));
  add(CheckLevel::kInfo, "program directory " + program_dir);
  auto setting = [&](const char* name, const std::string& value) {
    add(CheckLevel::kInfo, std::string("setting ") + name + " = " + Quote(value));
  };
  setting("Debug", std::to_string(s.Debug));
  setting("Caption", s.Caption);
  setting("DBServer", MaskPasswords(s.DBServer));
  setting("UDP", std::to_string(s.UDP));
  setting("Temp", s.Temp);
  setting("InboundPath", s.InboundPath);
  for (std::size_t i = 0; i < s.ExportPathList.size(); ++i) {
    setting(("ExportPath " + std::to_string(i + 1)).c_str(), s.ExportPathList[i]);
  }
  setting("ModalityLocation", s.ModalityLocation);
  setting("ModalityName", s.ModalityName);
  setting("FileSuffix", s.FileSuffix);
  setting("ForceRegAppointment", s.ForceRegAppointment ? "True" : "False");
  setting("CommonStudyUID", s.CommonStudyUID ? "True" : "False");
  setting("DefaultRefPhy", s.DefaultRefPhy);
  setting("DefaultRefPhyID", s.DefaultRefPhyID);
  setting("WildcardDigit", std::to_string(s.WildcardDigit));
  setting("KeepFiles", std::to_string(s.KeepFiles));
  setting("ConvertReports", std::to_string(s.ConvertReports));
  setting("TickInterval", std::to_string(s.TickInterval));
  setting("DrainBacklog", std::to_string(s.DrainBacklog));
  setting("WatchInbound", std::to_string(s.WatchInbound));
  setting("DBTimeout", std::to_string(s.DBTimeout));
  setting("StandardHL7", std::to_string(s.StandardHL7));
  setting("PatientIDType", s.PatientIDType);
  setting("PatientIDAuthority", s.PatientIDAuthority);
  setting("AppointmentTimeFallback", std::to_string(s.AppointmentTimeFallback));
  setting("MetricsFile", s.MetricsFile);
  setting("StatusWarnAge", std::to_string(s.StatusWarnAge));
  setting("StatusCritAge", std::to_string(s.StatusCritAge));
  setting("JournalDays", std::to_string(s.JournalDays));

  // How inbound messages are read, and whose identifier a patient gets.
  const bool standard = s.StandardHL7 == 1;
  add(CheckLevel::kInfo,
      standard ? "HL7 reading: standard (StandardHL7 1): CR, LF or CR LF segments, the declared "
                 "delimiters, escapes, MSH-18 UTF-8, MSH-9 components 1 and 2"
               : "HL7 reading: designed (StandardHL7 0): CR segments, | and ^ only, MSH-9 whole");
  add(CheckLevel::kInfo,
      "patient identifier: " +
          (standard ? DescribeRule(PatientIdRule{s.PatientIDType, s.PatientIDAuthority})
                    : std::string("component 1 of the second repetition of PID-3")) +
          "; a message without one fails");
  if (standard) {
    add(CheckLevel::kInfo, std::string("order appointment: ORC-7.4, else TQ1-7, else OBR-27.4, else "
                                       "OBR-36; ") +
                               (s.AppointmentTimeFallback == 1
                                    ? "else the message's time, MSH-7 (AppointmentTimeFallback 1)"
                                    : "an order without one fails"));
  }
  if (s.StandardHL7 != 0 && !standard) {
    add(CheckLevel::kWarn, "StandardHL7: only 1 switches the standard reading on; " +
                               std::to_string(s.StandardHL7) + " reads as designed");
  }
  if (!standard && (!s.PatientIDType.empty() || !s.PatientIDAuthority.empty())) {
    add(CheckLevel::kWarn, "PatientIDType and PatientIDAuthority apply only with StandardHL7 1");
  }
  if (s.AppointmentTimeFallback != 0 && !(standard && s.AppointmentTimeFallback == 1)) {
    add(CheckLevel::kWarn, "AppointmentTimeFallback: only 1 with StandardHL7 1 books an order "
                           "without a time at MSH-7; " + std::to_string(s.AppointmentTimeFallback) +
                               " is ignored");
  }

  // Inbound directories.
  const std::string week = WeekFolderName(LocalNow());
  if (s.InboundPath == "TCPRECEIVE") {
    if (s.ExportPathList.empty()) {
      add(CheckLevel::kFail, "inbound: InboundPath is TCPRECEIVE but no ExportPath (TCPReceive\\01) is set");
    }
    for (const std::string& p : s.ExportPathList) {
      lines.push_back(DirectoryLine("export path", p));
      for (CheckLine& l : DisposalLines("export path", p, week)) lines.push_back(std::move(l));
    }
  } else {
    lines.push_back(DirectoryLine("inbound directory", s.InboundPath));
    for (CheckLine& l : DisposalLines("inbound directory", s.InboundPath, week)) lines.push_back(std::move(l));
  }
  if (s.FileSuffix.empty()) {
    add(CheckLevel::kFail, "FileSuffix: not set, no inbound file can qualify");
  }

  // Report files.
  if (s.ConvertReports != 0) {
    std::string dir = s.Temp.empty() ? "" : fs::path(s.Temp + "x").parent_path().string();
    CheckLine l = DirectoryLine("Temp directory", dir);
    if (!s.Temp.empty() && s.Temp.back() != '/' && l.level == CheckLevel::kOk) {
      l = {CheckLevel::kWarn, "Temp " + s.Temp + ": used as a plain prefix; add a trailing '/' to write inside the directory"};
    }
    lines.push_back(l);
  } else {
    add(CheckLevel::kInfo, "Temp directory: not needed (ConvertReports is 0)");
  }

  // Program directory: logs and rename orders are written there.
  std::string logs = program_dir + "/Logs";
  if (IsDir(logs)) {
    lines.push_back(DirectoryLine("log folder", logs));
  } else {
    CheckLine l = DirectoryLine("program directory", program_dir);
    l.text += " (Logs/ will be created)";
    lines.push_back(l);
  }
  std::string rename = program_dir + "/RenameOrders";
  if (IsDir(rename)) lines.push_back(DirectoryLine("rename-order folder", rename));

  // Procedure codes (read here without the logging start-up does).
  std::string codes = program_dir + "/procedure-ids.txt";
  std::string text;
  FsStatus read = files.ReadWholeFile(codes, text);
  if (read.error == ENOENT) {
    add(CheckLevel::kWarn, "procedure codes " + codes + ": missing, every order will be dropped");
  } else {
    if (!read.ok()) {
      add(CheckLevel::kFail, "procedure codes " + codes + ": unreadable");
    } else {
      auto list = SplitProcedureCodes(text);
      bool line_breaks = text.find('\n') != std::string::npos || text.find('\r') != std::string::npos;
      std::string text_line = "procedure codes " + codes + ": " + std::to_string(list.size()) + " read";
      if (list.empty()) {
        add(CheckLevel::kWarn, text_line + " (the file is empty: every order will be dropped)");
      } else if (line_breaks) {
        add(CheckLevel::kWarn,
            text_line + " (line breaks are part of the codes: separate codes with ';' only)");
      } else {
        add(CheckLevel::kOk, text_line);
      }
    }
  }

  // The font report pages are drawn with.
  try {
    FontCache fonts;
    add(CheckLevel::kInfo, "report font \"Tahoma\": " + ResolveFontFile(fonts, "Tahoma", 0));
  } catch (...) {
    add(s.ConvertReports != 0 ? CheckLevel::kFail : CheckLevel::kWarn,
        "report font \"Tahoma\": no font could be found");
  }

  // The database: it opens, and has the tables and views the program uses.
  try {
    Connection con(s.DBServer, program_dir, s.DBTimeout);
    std::vector<MissingObject> missing = FindMissingDatabaseObjects(con);
    if (missing.empty()) {
      add(CheckLevel::kOk, "database: opens, every table and view the program uses is in place");
    }
    for (const MissingObject& m : missing) {
      add(CheckLevel::kFail, "database: " + m.object + " missing or incomplete: " + m.description);
    }
  } catch (const std::exception& e) {
    add(CheckLevel::kFail, std::string("database: cannot be opened: ") + e.what());
  }

  for (const ReceiveCheckLine& l : CheckReceiverSettings(s, files)) {
    using L = ReceiveCheckLine::Level;
    add(l.level == L::kOk     ? CheckLevel::kOk
        : l.level == L::kInfo ? CheckLevel::kInfo
        : l.level == L::kWarn ? CheckLevel::kWarn
                              : CheckLevel::kFail,
        l.text);
  }

  if (s.UDP == 0 || (s.UDP & 0xFFFF) == 0xFFFF) {
    add(CheckLevel::kWarn, "UDP: port " + std::to_string(s.UDP & 0xFFFF) + " cannot carry the heartbeat");
  } else {
    add(CheckLevel::kOk, "heartbeat: to 127.0.0.1:" + std::to_string(s.UDP & 0xFFFF));
  }
  return lines;
}

int RunConfigurationCheck(std::FILE* out, FileSystem& files, const SettingsSource& source,
                          const std::string& program_dir) {
  int status = 0;
  for (const CheckLine& l : CheckConfiguration(files, source, program_dir)) {
    std::fprintf(out, "%s %s\n", LevelText(l.level), l.text.c_str());
    if (l.level == CheckLevel::kFail) status = 1;
  }
  std::fprintf(out, status == 0 ? "ready\n" : "NOT ready\n");
  return status;
}

}  // namespace norv

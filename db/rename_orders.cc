#include "db/rename_orders.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <system_error>

#include "app/error.h"
#include "app/log.h"
#include "app/settings.h"
#include "db/database.h"
#include "imaging/uid.h"
#include "platform/event_loop.h"

namespace norv {
namespace {

// Creates the folder (only its last level) when it is missing.
void EnsureFolder(const std::string& folder) {
  std::error_code ec;
  if (std::filesystem::is_directory(folder, ec)) return;
  if (!std::filesystem::create_directory(folder, ec) && ec) {
    throw Error(ec == std::errc::no_such_file_or_directory ? kErrPathNotFound
                                                           : kErrPathFileAccess,
                ec == std::errc::no_such_file_or_directory ? "Path not found"
                                                           : "Path/File access error");
  }
}

// Writes `line` to `folder`/`name`: first to a temporary name in the same
// folder, then renamed into place, so the order appears complete or not at
// all. A failed write leaves no temporary file behind.
void WriteOrderFile(const std::string& folder, const std::string& name,
                    const std::string& line) {
  std::string final_path = folder + "/" + name + ".JRQ";
  std::string temp_path = folder + "/" + name + ".tmp";
  std::FILE* f = std::fopen(temp_path.c_str(), "wb");
  if (f == nullptr) throw Error(kErrPathFileAccess, "Path/File access error");
  bool written = std::fwrite(line.data(), 1, line.size(), f) == line.size();
  written = (std::fclose(f) == 0) && written;
  std::error_code ec;
  if (written) std::filesystem::rename(temp_path, final_path, ec);
  if (!written || ec) {
    std::filesystem::remove(temp_path, ec);
    throw Error(kErrPathFileAccess, "Path/File access error");
  }
}

}  // namespace

std::string RenameOrderLine(const std::string& study_key, const HL7Message& record) {
  std::string line = study_key;
  line += '|';
  line += record.LastName;
  line += '^';
  line += record.FirstName;
  line += '^';
  line += record.MiddleName;
  line += '|';
  line += record.BirthDate;
  line += '|';
  line += record.PatientID;
  line += "|||||";
  line += record.Sex;
  line += "|\r\n";
  return line;
}

bool CreateRenameOrders(const HL7Message& record, const std::string& previousID) {
  try {
    if (settings().Debug == 1) {
      WriteDebugLog("CreateRenameOrders Procedure");
      if (!previousID.empty()) {
        WriteDebugLog("Merging ID " + previousID + " to " + record.PatientID);
      }
    }
    std::string folder = ProgramDir() + "/RenameOrders";
    EnsureFolder(folder);

    Connection con;
    DoEvents();
    // The studies are selected by the new identifier, which the patient row
    // carries by now; the other columns are named but not used.
    Statement st(con,
                 "SELECT StudyID, PATNachname, PATVorname, PAT2Vorname, PATGebdatum, PATID1, "
                 "PATGeschlecht FROM view_studies WHERE PATID1 = :id AND "
                 "(FKeyStatusID <> -1 OR FKeyStatusID IS NULL)");
    st.BindText("id", record.PatientID);
    st.LogSql();
    std::int16_t count = 0;
    while (st.Next()) {
      if (count == std::numeric_limits<std::int16_t>::max()) throw Error(kErrOverflow, "Overflow");
      ++count;
      WriteOrderFile(folder, NewUID(), RenameOrderLine(st.Text("StudyID"), record));
    }
    st.Close();
    if (settings().Debug == 1) {
      WriteDebugLog("Created " + std::to_string(count) + " study rename orders.");
    }
    con.Close();
    return true;
  } catch (...) {
    LogCaughtError("MainFrom CreateRenameOrders");
    return false;
  }
}

}  // namespace norv

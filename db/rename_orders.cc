#include "db/rename_orders.h"

#include <cstdint>
#include <cerrno>
#include <limits>

#include "core/error.h"
#include "core/log.h"
#include "db/database.h"
#include "db/procedure.h"
#include "core/uid.h"

namespace norv {
namespace {

// Creates the folder (only its last level) when it is missing.
void EnsureFolder(FileSystem& fs, const std::string& folder) {
  if (fs.FolderExists(folder)) return;
  if (FsStatus st = fs.CreateFolder(folder); !st.ok()) {
    throw Error(st.error == ENOENT ? kErrPathNotFound : kErrPathFileAccess,
                st.error == ENOENT ? "Path not found" : "Path/File access error");
  }
}

// Writes `line` as `folder`/`name`.JRQ through the temporary name
// `name`.tmp in the same folder, so the order appears complete or not at
// all. A failed write leaves no temporary file behind.
void WriteOrderFile(FileSystem& fs, const std::string& folder, const std::string& name,
                    const std::string& line) {
  const std::string base = folder + "/" + name;
  if (!fs.WriteFileAtomically(base + ".JRQ", line, base + ".tmp").ok()) {
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

bool CreateRenameOrders(const DbContext& db, const HL7Message& record,
                        const std::string& previousID) {
  return RunProcedure(db, "MainFrom CreateRenameOrders", [&](ProcedureConnection& pc) {
    if (db.log.DebugOn()) {
      db.log.WriteDebugLog("CreateRenameOrders Procedure");
      if (!previousID.empty()) {
        db.log.WriteDebugLog("Merging ID " + previousID + " to " + record.PatientID);
      }
    }
    const std::string folder = db.program_dir + "/RenameOrders";
    EnsureFolder(db.fs, folder);

    // The studies are selected by the new identifier, which the patient row
    // carries by now; the other columns are named but not used.
    Statement st(pc.get(),
                 "SELECT StudyID, PATNachname, PATVorname, PAT2Vorname, PATGebdatum, PATID1, "
                 "PATGeschlecht FROM view_studies WHERE PATID1 = :id AND "
                 "(FKeyStatusID <> -1 OR FKeyStatusID IS NULL)");
    st.BindText("id", record.PatientID);
    st.LogSql(db.log);
    std::int16_t count = 0;
    while (st.Next()) {
      if (count == std::numeric_limits<std::int16_t>::max()) throw Error(kErrOverflow, "Overflow");
      ++count;
      const std::string name = NewUID();
      WriteOrderFile(db.fs, folder, name, RenameOrderLine(st.Text("StudyID"), record));
      db.log.NoteChange("rename order written: " + folder + "/" + name + ".JRQ");
    }
    st.Close();
    if (db.log.DebugOn()) {
      db.log.WriteDebugLog("Created " + std::to_string(count) + " study rename orders.");
    }
    return true;
  });
}

}  // namespace norv

#include "db/patients.h"

#include <optional>

#include "core/error.h"
#include "core/log.h"
#include "core/dates.h"
#include "db/database.h"
#include "db/id_allocation.h"
#include "db/procedure.h"

namespace norv {
namespace {

constexpr const char* kSelectPatient =
    "SELECT PATID, PATID1, PATID2, PATNachname, PATVorname, PAT2Vorname, PATGebDatum, "
    "PATGeschlecht FROM tblPatienten WHERE PATID1 = :id";

// The stored birth date: the record's YYYY-MM-DD text must name a calendar
// date, otherwise the whole registration fails with a type mismatch. An
// empty one (the standard reading's unknown birth date) is stored as NULL.
void RequireBirthDate(const HL7Message& record) {
  if (record.BirthDate.empty()) return;
  if (!IsIsoDate(record.BirthDate)) throw Error(kErrTypeMismatch, "Type mismatch");
}

// The demographic columns, bound in the order the row is written.
void BindPatientValues(Statement& st, const HL7Message& record) {
  st.BindText("id1", record.PatientID)
      .BindText("id2", record.PatientID2)
      .BindText("last", record.LastName)
      .BindText("first", record.FirstName)
      .BindText("middle", record.MiddleName);
  if (record.BirthDate.empty()) {
    st.BindNull("birth");
  } else {
    st.BindDate("birth", record.BirthDate);
  }
  st.BindText("sex", record.Sex);
}

// Sets `patid` to the PATID of the first row stored under `id`; false when
// there is none. Writes the "SQL: " line of the lookup to `log` when given.
bool FindPatient(Log* log, Connection& con, const std::string& id, std::int32_t& patid) {
  Statement st(con, kSelectPatient);
  st.BindText("id", id);
  if (log != nullptr) st.LogSql(*log);
  if (!st.Next()) return false;
  patid = st.Int32("PATID");
  return true;
}

}  // namespace

std::optional<bool> IsPatientRegistered(const DbContext& db, const std::string& patientID) {
  db.log.DebugLog("Check if patient is already registered.");
  bool found = false;
  bool answered = RunProcedure(db, "MainForm IsPatientRegistered", [&](ProcedureConnection& pc) {
    Statement st(pc.get(), "SELECT PATID1 FROM tblPatienten WHERE PATID1 = :id");
    st.BindText("id", patientID);
    found = st.Next();
    db.log.DebugLog(found ? "Patient exists." : "Patient not found.");
    return true;
  });
  if (!answered) return std::nullopt;
  return found;
}

bool RegisterUpdatePatient(const DbContext& db, HL7Message& record, const std::string& previousID) {
  db.log.DebugLog("RegisterUpdatePatient Procedure");
  return RunProcedure(db, "MainFrom RegisterUpdatePatient", [&](ProcedureConnection& pc) {
    Connection& con = pc.get();
    // A merge or identifier change whose prior identifier is not stored
    // updates the row of the new identifier instead of adding a second row
    // under an identifier that is already registered.
    auto find = [&](Log* log, std::int32_t& patid) {
      if (FindPatient(log, con, previousID.empty() ? record.PatientID : previousID, patid)) {
        return true;
      }
      return !previousID.empty() && FindPatient(log, con, record.PatientID, patid);
    };
    std::int32_t patid = 0;
    bool found = find(&db.log, patid);
    // Another client (a second instance on the same database) may be adding
    // the same patient right now. Holding the counter row of tblPatienten
    // until the transaction ends makes such clients take turns, and looking
    // again under the lock finds a row the other one committed meanwhile.
    // The caller's transaction (the message's) is used when there is one.
    std::optional<Transaction> own;
    if (!found) {
      if (!con.in_transaction()) own.emplace(con);
      LockLetzteID(con, "tblPatienten");
      found = find(nullptr, patid);
    }

    if (found) {
      db.log.DebugLog("Patient exists - Updating data");
      // Only the first row found is changed, even when several rows carry
      // the same PATID1: it is addressed by its key.
      Statement update(con,
                       "UPDATE tblPatienten SET PATID1 = :id1, PATID2 = :id2, "
                       "PATNachname = :last, PATVorname = :first, PAT2Vorname = :middle, "
                       "PATGebDatum = :birth, PATGeschlecht = :sex WHERE PATID = :patid");
      BindPatientValues(update, record);
      update.BindInt("patid", patid);
      record.InternalID = patid;
      update.Execute();
      if (own) own->Commit();
      db.log.NoteChange("patient updated: " + record.PatientID + " (PATID " +
                        std::to_string(patid) + ")");
      db.log.DebugLog("Update OK");
      return true;
    }
    db.log.DebugLog("Patient does not exists - Adding to database");
    // Checked before a key is drawn, so a message without a valid birth date
    // does not use one up.
    RequireBirthDate(record);
    std::int32_t new_id = GetLetzteIDPlus1(db, con, "tblPatienten");
    if (new_id == 0) {
      throw Error(kErrDatabase, "No new PATID could be allocated from tblLetzteID");
    }
    record.InternalID = new_id;
    if (db.log.DebugOn()) db.log.WriteDebugLog("Internal ID = " + std::to_string(new_id));
    Statement insert(con,
                     "INSERT INTO tblPatienten (PATID, PATID1, PATID2, PATNachname, "
                     "PATVorname, PAT2Vorname, PATGebDatum, PATGeschlecht) VALUES (:patid, "
                     ":id1, :id2, :last, :first, :middle, :birth, :sex)");
    insert.BindInt("patid", new_id);
    BindPatientValues(insert, record);
    insert.Execute();
    if (own) own->Commit();
    db.log.NoteChange("patient inserted: " + record.PatientID + " (PATID " +
                      std::to_string(new_id) + ")");
    db.log.DebugLog("AddNew OK");
    return true;
  });
}

}  // namespace norv

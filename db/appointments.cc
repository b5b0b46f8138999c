#include "db/appointments.h"

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "db/database.h"
#include "db/procedure.h"
#include "core/uid.h"
#include "platform/system.h"

namespace norv {
namespace {

// One AET an appointment is booked for; nullopt is the "0" entry, which
// stands for no AET (FKeyAETID 0, AETID null in VIEW_Termine).
using AetEntry = std::optional<std::int32_t>;

std::string EntryText(const AetEntry& entry) {
  return entry ? std::to_string(*entry) : std::string("0");
}

// A match of a bracketed list such as "(CT1)(CT2)": the column holds
// "(" + value + ")" anywhere in its text.
std::string BracketedPattern(const std::string& value) { return "%(" + value + ")%"; }

// The AETs serving `location`. WildcardDigit 1 or more keeps only the first
// WildcardDigit - 1 characters and leaves the rest, closing bracket
// included, to the wildcard; 0 or less asks for the whole location in
// brackets and, with ModalityName 1, also for the procedure code among the
// AET's names.
std::vector<AetEntry> FindAets(const DbContext& db, Connection& con,
                               const HL7Message& record) {
  const Settings& s = db.settings;
  std::string sql = "SELECT AETID FROM tblDicomAETs WHERE ModalityLocation LIKE :location";
  std::string location_pattern;
  bool with_name = false;
  if (s.WildcardDigit <= 0) {
    location_pattern = BracketedPattern(record.ModalityLocation);
    with_name = ToInt16(s.ModalityName) == std::optional<std::int16_t>(1);
    if (with_name) sql += " AND ModalityName LIKE :name";
  } else {
    std::size_t keep = static_cast<std::size_t>(s.WildcardDigit - 1);
    location_pattern = "%(" + record.ModalityLocation.substr(0, keep) + "%";
  }
  Statement st(con, sql);
  st.BindText("location", location_pattern);
  if (with_name) st.BindText("name", BracketedPattern(record.ProcedureCode));
  st.LogSql(db.log);
  std::vector<AetEntry> aets;
  while (st.Next()) aets.emplace_back(st.Int32("AETID"));
  return aets;
}

// The TerminID of the appointment already booked for this patient,
// accession number, modality and AET, not yet sent to the modality; 0 when
// there is none.
std::int32_t FindAppointment(const DbContext& db, Connection& con, const HL7Message& record, const AetEntry& aet) {
  std::string sql =
      "SELECT TerminID FROM VIEW_Termine WHERE PATID1 = :patient "
      "AND AccessionNumber = :accession AND Modality = :modality ";
  sql += aet ? "AND AETID = :aet " : "AND AETID IS NULL ";
  sql += "AND (TerminSonstiges <> 'Sent' OR TerminSonstiges IS NULL)";
  Statement st(con, sql);
  st.BindText("patient", record.PatientID)
      .BindText("accession", record.AccessionNumber)
      .BindText("modality", record.Modality);
  if (aet) st.BindInt("aet", *aet);
  st.LogSql(db.log);
  if (!st.Next()) return 0;
  std::int32_t id = st.Int32("TerminID");
  if (db.log.DebugOn()) db.log.WriteDebugLog("Existing TerminID = " + std::to_string(id));
  return id;
}

// The values a booked or updated row takes from the message, whichever path.
struct AppointmentValues {
  std::string referring_physician;
  std::string referring_physician_id;
  std::string status;
};

AppointmentValues ValuesOf(const Settings& s, const HL7Message& record) {
  AppointmentValues v;
  v.referring_physician =
      s.DefaultRefPhy.empty() ? record.ReferringPhysicianName : s.DefaultRefPhy;
  v.referring_physician_id =
      s.DefaultRefPhyID.empty() ? record.ReferringPhysicianID : s.DefaultRefPhyID;
  v.status = record.OrderControl + "/" + record.OrderStatus;
  return v;
}

// The columns both paths write, after the date, time and study UID.
void BindOrderColumns(Statement& st, const Settings& s, const HL7Message& record) {
  AppointmentValues v = ValuesOf(s, record);
  st.BindText("referrer", v.referring_physician)
      .BindText("modality", record.Modality)
      .BindText("status", v.status)
      .BindText("procedure", record.ProcedureCode)
      .BindText("description", record.ProcedureText)
      .BindText("location", record.PatientLocation)
      .BindText("step", record.ProcedureCode)
      .BindText("referrer_id", v.referring_physician_id);
}

// An existing row keeps its patient, AET and accession number, and its study
// UID unless the message brings one. A row that vanished since the search
// fails the call, as any lost write would.
void UpdateAppointment(const DbContext& db, Connection& con, const HL7Message& record, std::int32_t id) {
  db.log.DebugLog("Update appointment for Accession " + record.AccessionNumber);
  bool with_uid = !record.StudyInstanceUID.empty();
  std::string sql = "UPDATE tblTermine SET TerminDatum = :day, TerminZeit = :time, ";
  if (with_uid) sql += "StudyInstanceUID = :uid, ";
  sql +=
      "TerminUeberweiser = :referrer, Modality = :modality, TerminStatus = :status, "
      "RequestedProcedureID = :procedure, RequestedProcedureDescription = :description, "
      "CurrentPatientLocation = :location, ScheduledProcedureStepID = :step, "
      "ReferringPhysicianID = :referrer_id WHERE TerminID = :id";
  Statement st(con, sql);
  st.BindDate("day", record.AppointmentDate).BindTime("time", record.AppointmentTime);
  if (with_uid) st.BindText("uid", record.StudyInstanceUID);
  BindOrderColumns(st, db.settings, record);
  st.BindInt("id", id);
  st.Execute();
  if (st.AffectedRows() == 0) {
    throw Error(kErrDatabase, "Appointment " + std::to_string(id) + " no longer exists");
  }
  db.log.NoteChange("appointment updated: " + record.AccessionNumber + " (TerminID " +
                    std::to_string(id) + ")");
  db.log.DebugLog("Update Appointment OK");
}

void BookAppointment(const DbContext& db, Connection& con, const HL7Message& record, const AetEntry& aet,
                     const std::string& common_uid) {
  db.log.DebugLog("Create new appointment for AETID " + EntryText(aet));
  std::string uid;
  if (db.settings.CommonStudyUID) {
    uid = common_uid;
  } else if (!record.StudyInstanceUID.empty()) {
    uid = record.StudyInstanceUID;
  } else {
    uid = NewUID();
  }
  Statement st(con,
               "INSERT INTO tblTermine (FKeyPatID, FKeyAETID, TerminDatum, TerminZeit, "
               "AccessionNumber, StudyInstanceUID, TerminUeberweiser, Modality, TerminStatus, "
               "RequestedProcedureID, RequestedProcedureDescription, CurrentPatientLocation, "
               "ScheduledProcedureStepID, ReferringPhysicianID) VALUES (:patient, :aet, :day, "
               ":time, :accession, :uid, :referrer, :modality, :status, :procedure, "
               ":description, :location, :step, :referrer_id)");
  st.BindInt("patient", record.InternalID)
      .BindInt("aet", aet.value_or(0))
      .BindDate("day", record.AppointmentDate)
      .BindTime("time", record.AppointmentTime)
      .BindText("accession", record.AccessionNumber)
      .BindText("uid", uid);
  BindOrderColumns(st, db.settings, record);
  st.Execute();
  db.log.NoteChange("appointment booked: " + record.AccessionNumber + " (AET " + EntryText(aet) +
                    ")");
  db.log.DebugLog("New Appointment OK");
}

// Every booking first clears the appointments of days gone by, of every
// patient; today's stay. Today is bound as a date (shown as eight digits),
// which makes this a date comparison on every database.
void PurgePastAppointments(const DbContext& db, Connection& con) {
  LocalDateTime now = db.now();
  char iso[32];
  char digits[32];
  std::snprintf(iso, sizeof iso, "%04d-%02d-%02d", now.year, now.month, now.day);
  std::snprintf(digits, sizeof digits, "%04d%02d%02d", now.year, now.month, now.day);
  Statement st(con, "DELETE FROM tblTermine WHERE TerminDatum < :today");
  st.BindDate("today", iso, digits);
  st.LogSql(db.log);
  st.Execute();
}

}  // namespace

bool RegisterAppointment(const DbContext& db, HL7Message& record) {
  db.log.DebugLog("RegisterAppointment");
  return RunProcedure(db, "MainForm RegisterAppointment", [&](ProcedureConnection& pc) {
    Connection& con = pc.get();
    PurgePastAppointments(db, con);

    std::vector<AetEntry> aets;
    if (record.ModalityLocation.empty()) {
      aets.emplace_back();
    } else {
      aets = FindAets(db, con, record);
      if (aets.empty()) {
        db.log.DebugLog("No AET found for " + record.ModalityLocation);
        if (!db.settings.ForceRegAppointment) return false;
        aets.emplace_back();
      }
    }

    // One UID for every row of this order when CommonStudyUID is on.
    const std::string common_uid = NewUID();
    for (const AetEntry& aet : aets) {
      std::int32_t id = FindAppointment(db, con, record, aet);
      if (id != 0) {
        UpdateAppointment(db, con, record, id);
      } else {
        BookAppointment(db, con, record, aet, common_uid);
      }
    }
    return true;
  });
}

bool DeletePatientAppointment(const DbContext& db, HL7Message& record) {
  db.log.DebugLog("DeletePatientAppointment Procedure");
  return RunProcedure(db, "MainForm DeletePatientAppointment", [&](ProcedureConnection& pc) {
    Connection& con = pc.get();
    // The AET is only reported; the delete below does not depend on it.
    Statement aet(con, "SELECT AETID FROM tblDicomAETs WHERE ModalityLocation LIKE :location");
    aet.BindText("location", BracketedPattern(record.ModalityLocation));
    aet.LogSql(db.log);
    if (aet.Next()) db.log.DebugLog("AETitleID = " + std::to_string(aet.Int32("AETID")));
    aet.Close();

    Statement remove(con, "DELETE FROM tblTermine WHERE AccessionNumber = :accession");
    remove.BindText("accession", record.AccessionNumber);
    remove.LogSql(db.log);
    remove.Execute();
    db.log.NoteChange("appointments removed: " + record.AccessionNumber + " (" +
                      std::to_string(remove.AffectedRows()) + " rows)");
    return true;
  });
}

bool UpdateAppointmentStatus(const DbContext& db, HL7Message& record) {
  db.log.DebugLog("UpdateAppointmentStatus Procedure");
  return RunProcedure(db, "MainFrom UpdateAppointmentStatus", [&](ProcedureConnection& pc) {
    Connection& con = pc.get();
    Statement find(con, "SELECT TerminStatus FROM tblTermine WHERE AccessionNumber = :accession");
    find.BindText("accession", record.AccessionNumber);
    find.LogSql(db.log);
    bool found = find.Next();
    find.Close();
    if (!found) {
      db.log.DebugLog("Appointment not found.");
      return true;
    }
    // Only one row of the accession number takes the status, the one booked
    // first, so the choice does not depend on the database's order.
    Statement update(con,
                     "UPDATE tblTermine SET TerminStatus = :status WHERE TerminID = "
                     "(SELECT MIN(TerminID) FROM tblTermine WHERE AccessionNumber = :accession)");
    update.BindText("status", record.OrderControl + "/" + record.OrderStatus)
        .BindText("accession", record.AccessionNumber);
    update.Execute();
    if (update.AffectedRows() == 0) {
      throw Error(kErrDatabase, "The appointment was removed before its status was stored");
    }
    db.log.NoteChange("appointment status: " + record.AccessionNumber + " " + record.OrderControl +
                      "/" + record.OrderStatus);
    db.log.DebugLog("Update OK");
    return true;
  });
}

}  // namespace norv

// Patient registration in tblPatienten. Each procedure runs in RunProcedure:
// its connection comes from db.connections and its errors are logged once.
#ifndef NORV_DB_PATIENTS_H_
#define NORV_DB_PATIENTS_H_

#include <optional>
#include <string>

#include "core/hl7_message.h"
#include "db/procedure.h"

namespace norv {

// Whether tblPatienten holds a row whose PATID1 equals `patientID`.
// nullopt when the database could not answer; the error is logged with the
// source "MainForm IsPatientRegistered". A database error is never "unknown".
std::optional<bool> IsPatientRegistered(const DbContext& db, const std::string& patientID);

// Updates the row stored under `previousID` (or, when empty, under the
// record's PatientID; a `previousID` that is not stored falls back to the
// PatientID) or inserts a new one with a freshly allocated PATID; sets
// record.InternalID. False after a logged error
// ("MainFrom RegisterUpdatePatient"), also when no PATID could be allocated.
// Before adding a row it locks the tblPatienten counter row (see
// LockLetzteID) in the connection's transaction, or in one of its own, and
// looks again, so clients registering the same new patient at the same time
// add one row between them.
bool RegisterUpdatePatient(const DbContext& db, HL7Message& record,
                           const std::string& previousID);

}  // namespace norv

#endif  // NORV_DB_PATIENTS_H_

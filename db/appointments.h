// Appointments (worklist entries) in tblTermine: booking or updating one row
// per application entity of an order's modality location, cancelling every
// row of an accession number, and re-statusing an order. Each procedure runs
// in RunProcedure (its connection from db.connections, its errors logged
// once) on the processing tick's thread.
#ifndef NORV_DB_APPOINTMENTS_H_
#define NORV_DB_APPOINTMENTS_H_

#include "core/hl7_message.h"
#include "db/procedure.h"

namespace norv {

// Purges every appointment dated before today, finds the AETs of
// record.ModalityLocation in tblDicomAETs (by the WildcardDigit and
// ModalityName settings) and, for each, updates the appointment VIEW_Termine
// finds for the patient, accession number, modality and AET (rows marked
// 'Sent' excluded) or books a new one. An empty ModalityLocation books for
// no AET (FKeyAETID 0), as does a location without AETs when
// ForceRegAppointment is on; with it off that returns false without an error
// line. Needs record.InternalID from RegisterUpdatePatient. False after a
// logged error ("MainForm RegisterAppointment"); what was stored before the
// error stays stored unless the caller's transaction is rolled back.
bool RegisterAppointment(const DbContext& db, HL7Message& record);

// Removes every appointment with record.AccessionNumber (of every AET and
// patient, 'Sent' ones included). The AET of record.ModalityLocation is
// looked up for the debug log only. True also when nothing was removed;
// false after a logged error ("MainForm DeletePatientAppointment").
bool DeletePatientAppointment(const DbContext& db, HL7Message& record);

// Sets TerminStatus = OrderControl + "/" + OrderStatus on the first-booked
// appointment (lowest TerminID) of record.AccessionNumber; the others keep
// theirs. True also when the accession number has no appointment; false
// after a logged error ("MainFrom UpdateAppointmentStatus").
bool UpdateAppointmentStatus(const DbContext& db, HL7Message& record);

}  // namespace norv

#endif  // NORV_DB_APPOINTMENTS_H_

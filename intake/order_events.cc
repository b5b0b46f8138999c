#include <string>

#include "app/log.h"
#include "app/procedure_codes.h"
#include "db/appointments.h"
#include "db/patients.h"
#include "app/error.h"
#include "intake/events.h"
#include "intake/hl7_standard.h"

namespace norv {

// ORM^O01 and OMG^O19 alike. The order values are read in a fixed order
// between their debug lines; an order for a procedure the installation does
// not know is dropped as processed before anything else is read. The order
// control then decides: "CA" cancels, "SC" re-statuses, anything else
// (lower-case "ca" and the empty control included) registers the patient
// and books the appointment.
void HandleOrder(Hl7Segments& store, HL7Message& msg, bool& processed_ok) {
  // Standard reading: an order without OBR (diet, supply, pharmacy) is no
  // imaging order.
  if (store.standard != nullptr && !store.standard->reading->has_obr) {
    DebugLog("No OBR segment: not an imaging order, nothing booked");
    processed_ok = true;
    return;
  }
  DebugLog("Reading appointment date/time values");
  ReadOrderControl(store, msg);
  ReadOrderStatus(store, msg);
  ReadAppointmentDateTime(store, msg);
  DebugLog("AppointmentDate: " + msg.AppointmentDate +
           " - AppointmentTime: " + msg.AppointmentTime);
  ReadAccessionNumber(store, msg);
  DebugLog("Accession Number: " + msg.AccessionNumber);

  // An OBR too short to carry OBR-4 has no code and passes unfiltered.
  if (ReadProcedureCode(store, msg)) {
    DebugLog("Procedure Code: " + msg.ProcedureCode);
    if (!IsProcedureID(msg.ProcedureCode)) {
      DebugLog("Procedure ID not found.");
      processed_ok = true;
      return;
    }
    ReadProcedureText(store, msg);
  }

  ReadModalityLocation(store, msg);
  DebugLog("Modality Location: " + msg.ModalityLocation);
  ReadModality(store, msg);
  DebugLog("Modality: " + msg.Modality);
  ReadPatientLocation(store, msg);
  ReadReferringPhysician(store, msg);
  ReadStudyInstanceUID(store, msg);

  if (msg.OrderControl == "CA") {
    processed_ok = DeletePatientAppointment(msg);
  } else if (msg.OrderControl == "SC") {
    // A status for an unknown accession number is done; a status the
    // database could not store is kept in the failed folder, not lost.
    processed_ok = UpdateAppointmentStatus(msg);
  } else {
    if (store.standard != nullptr && msg.AppointmentDate.empty()) {
      throw Error(kErrSubscriptOutOfRange,
                  "No appointment date/time: ORC-7.4, TQ1-7 and OBR-27.4 hold no valid one");
    }
    processed_ok = RegisterUpdatePatient(msg, "");
    if (processed_ok) processed_ok = RegisterAppointment(msg);
  }
}

}  // namespace norv

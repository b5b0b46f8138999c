#include <optional>
#include <string>

#include "core/error.h"
#include "db/appointments.h"
#include "db/patients.h"
#include "intake/events.h"
#include "intake/hl7_standard.h"

namespace norv {

// ORM^O01 and OMG^O19 alike. The order values are read in a fixed order
// between their debug lines; an order for a procedure the installation does
// not know is dropped as processed before anything else is read. The order
// control then decides: "CA" cancels, "SC" re-statuses, anything else
// (lower-case "ca" and the empty control included) registers the patient
// and books the appointment.
Outcome HandleOrder(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg) {
  // Standard reading: an order without OBR (diet, supply, pharmacy) is no
  // imaging order.
  if (store.standard != nullptr && !store.standard->reading->has_obr) {
    ctx.log.DebugLog("No OBR segment: not an imaging order, nothing booked");
    return Outcome::kProcessed;
  }
  ctx.log.DebugLog("Reading appointment date/time values");
  ReadOrderControl(store, msg);
  ReadOrderStatus(store, msg);
  ReadAppointmentDateTime(store, msg);
  ctx.log.DebugLog("AppointmentDate: " + msg.AppointmentDate +
           " - AppointmentTime: " + msg.AppointmentTime);
  ReadAccessionNumber(store, msg);
  ctx.log.DebugLog("Accession Number: " + msg.AccessionNumber);

  // An OBR too short to carry OBR-4 has no code and passes unfiltered.
  if (ReadProcedureCode(store, msg)) {
    ctx.log.DebugLog("Procedure Code: " + msg.ProcedureCode);
    if (!ctx.codes.IsProcedureID(msg.ProcedureCode)) {
      ctx.log.DebugLog("Procedure ID not found.");
      return Outcome::kProcessed;
    }
    ReadProcedureText(store, msg);
  }

  ReadModalityLocation(store, msg, ctx.settings.ModalityLocation);
  ctx.log.DebugLog("Modality Location: " + msg.ModalityLocation);
  ReadModality(store, msg);
  ctx.log.DebugLog("Modality: " + msg.Modality);
  ReadPatientLocation(store, msg);
  ReadReferringPhysician(store, msg);
  ReadStudyInstanceUID(store, msg);

  if (msg.OrderControl == "CA") return OutcomeOf(DeletePatientAppointment(ctx, msg));
  // A status for an unknown accession number is done; a status the database
  // could not store is kept in the failed folder, not lost.
  if (msg.OrderControl == "SC") return OutcomeOf(UpdateAppointmentStatus(ctx, msg));
  if (store.standard != nullptr && msg.AppointmentDate.empty()) {
    // Many placers leave the schedule to the department; a site may book
    // such orders at the time the message was sent, or keep them failed.
    const std::optional<Hl7DateTime>& sent = store.standard->reading->message_time;
    const bool fallback = ctx.settings.AppointmentTimeFallback == 1;
    if (!fallback || !sent) {
      throw Error(kErrSubscriptOutOfRange,
                  std::string("No appointment date/time: ORC-7.4, TQ1-7, OBR-27.4 and OBR-36 hold no "
                              "valid one") +
                      (fallback ? ", nor does MSH-7 (the message's time)" : ""));
    }
    msg.AppointmentDate = IsoDate(*sent);
    msg.AppointmentTime = HourMinute(*sent);
    ctx.log.DebugLog("No appointment date/time in ORC-7.4, TQ1-7, OBR-27.4 or OBR-36: booked at "
                     "the message's time (MSH-7), " + msg.AppointmentDate + " " + msg.AppointmentTime);
  }
  if (!RegisterUpdatePatient(ctx, msg, "")) return Outcome::kFailed;
  return OutcomeOf(RegisterAppointment(ctx, msg));
}

}  // namespace norv

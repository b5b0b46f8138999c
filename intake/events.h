// The event handlers the inbound cycle dispatches to, one per message event.
// Each is called after ReadCommonValues succeeded and returns its verdict:
// processed (the file is deleted or kept in debug) or failed (the file goes
// to the failed folder). Errors of the cycle propagate as exceptions; the
// cycle logs them and fails the file.
#ifndef NORV_INTAKE_EVENTS_H_
#define NORV_INTAKE_EVENTS_H_

#include "core/hl7_message.h"
#include "db/procedure.h"
#include "imaging/label_renderer.h"
#include "intake/hl7_reader.h"
#include "intake/procedure_codes.h"

namespace norv {

enum class Outcome { kProcessed, kFailed };

inline Outcome OutcomeOf(bool done) { return done ? Outcome::kProcessed : Outcome::kFailed; }

// What the handlers work with: the database procedures' context, the
// procedure-code table and the report font cache.
struct IntakeContext : DbContext {
  const ProcedureCodeTable& codes;
  FontCache& fonts;
};

// ADT^A08 update, ADT^A40 merge, ADT^A47 identifier change.
Outcome HandlePatientUpdate(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg);
Outcome HandlePatientMerge(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg);
Outcome HandlePatientIdChange(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg);

// ORM^O01 and OMG^O19.
Outcome HandleOrder(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg);

// ORU^R01.
Outcome HandleReport(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg);

}  // namespace norv

#endif  // NORV_INTAKE_EVENTS_H_

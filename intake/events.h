// The event handlers the inbound cycle dispatches to, one per message event.
// Each is called after ReadCommonValues succeeded and leaves its verdict in
// `processed_ok` (true: the file is deleted or kept in debug; false: failed).
// Errors of the cycle propagate as exceptions; `processed_ok` then keeps the
// value it had when the error was raised.
#ifndef NORV_INTAKE_EVENTS_H_
#define NORV_INTAKE_EVENTS_H_

#include "intake/hl7_message.h"
#include "intake/hl7_reader.h"

namespace norv {

// ADT^A08 update, ADT^A40 merge, ADT^A47 identifier change.
void HandlePatientUpdate(Hl7Segments& store, HL7Message& msg, bool& processed_ok);
void HandlePatientMerge(Hl7Segments& store, HL7Message& msg, bool& processed_ok);
void HandlePatientIdChange(Hl7Segments& store, HL7Message& msg, bool& processed_ok);

// ORM^O01 and OMG^O19.
void HandleOrder(Hl7Segments& store, HL7Message& msg, bool& processed_ok);

// ORU^R01.
void HandleReport(Hl7Segments& store, HL7Message& msg, bool& processed_ok);

}  // namespace norv

#endif  // NORV_INTAKE_EVENTS_H_

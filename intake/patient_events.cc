#include "intake/events.h"

namespace norv {

// Not built yet: patient events end as failed.
void HandlePatientUpdate(Hl7Segments&, HL7Message&, bool& processed_ok) { processed_ok = false; }
void HandlePatientMerge(Hl7Segments&, HL7Message&, bool& processed_ok) { processed_ok = false; }
void HandlePatientIdChange(Hl7Segments&, HL7Message&, bool& processed_ok) { processed_ok = false; }

}  // namespace norv

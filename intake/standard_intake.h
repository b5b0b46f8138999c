// The inbound cycle's way into the standard reading (StandardHL7 = 1): reads
// the file's text with intake/hl7_standard.h and hands each unit of the
// message to the event handlers, which find the values read up front in
// Hl7Segments::standard.
#ifndef NORV_INTAKE_STANDARD_INTAKE_H_
#define NORV_INTAKE_STANDARD_INTAKE_H_

#include <functional>
#include <optional>
#include <string_view>

#include "core/hl7_message.h"
#include "intake/events.h"
#include "intake/hl7_reader.h"
#include "intake/hl7_standard.h"

namespace norv {

// The cycle's dispatch on Hl7Segments::MessageEvent.
using EventDispatch = std::function<Outcome(Hl7Segments&, HL7Message&)>;

// Where the reading's debug lines go.
using DebugLines = std::function<void(std::string_view)>;

// Reads `text` (the whole file) by the standard rules and dispatches every
// unit of the message (hl7_standard.h, SplitUnits) in order, each with a
// fresh HL7Message holding the unit's values. Every unit is read before the
// first is dispatched, so a message that cannot be read changes nothing.
// Returns nullopt, dispatching nothing, when the MSH line declares no usable
// delimiters (the caller logs "No message header!"); throws Error for a file
// holding more than one message or a batch envelope, and for a unit whose
// values cannot be read. The dispatching stops at the first unit that does
// not end processed; the result is the last dispatched unit's outcome.
// `event` (when given) receives the message's event as soon as it is read,
// before any unit is, so it is known even when reading them fails.
std::optional<Outcome> ProcessStandardMessage(std::string_view text, const PatientIdRule& rule,
                                              const EventDispatch& dispatch,
                                              const DebugLines& debug,
                                              std::string* event = nullptr);

}  // namespace norv

#endif  // NORV_INTAKE_STANDARD_INTAKE_H_

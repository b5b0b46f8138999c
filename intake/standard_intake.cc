#include "intake/standard_intake.h"

#include <optional>
#include <string>
#include <vector>

#include "core/error.h"

namespace norv {

std::optional<Outcome> ProcessStandardMessage(std::string_view text, const PatientIdRule& rule,
                                              const EventDispatch& dispatch,
                                              const DebugLines& debug, std::string* event_out) {
  std::optional<Hl7StandardMessage> m = ParseStandardMessage(text);
  if (!m) return std::nullopt;
  if (m->message_count > 1 || m->batch) {
    const int n = m->message_count;
    throw Error(kErrSubscriptOutOfRange,
                "The file holds " + std::to_string(n) + (n == 1 ? " message" : " messages") +
                    (m->batch ? " in a batch (FHS/BHS)" : "") +
                    "; one message per file, without a batch envelope, is read");
  }
  const std::string event = StandardMessageEvent(*m);
  if (event_out != nullptr) *event_out = event;
  debug("Event ID: " + event);
  debug("MsgCtrlID: " + Value(*m, m->segments.front(), 10));
  if (LosesCharacters(text, m->charset)) {
    debug("UTF-8 characters without a Windows-1252 form are read as \"?\"");
  }

  std::vector<Hl7Unit> units = SplitUnits(*m, event == "ORM^O01" || event == "OMG^O19");
  if (units.empty()) units.emplace_back();  // no PID: the reading says so
  std::vector<StandardReading> readings;
  readings.reserve(units.size());
  // A report writes no patient data: it may come without a name.
  const bool name_required = event != "ORU^R01";
  for (const Hl7Unit& unit : units) {
    readings.push_back(ReadStandardUnit(*m, unit, rule, name_required));
  }
  if (units.size() > 1) {
    debug("The message holds " + std::to_string(units.size()) +
             " patient groups or orders, handled one after the other");
  }

  Outcome outcome = Outcome::kFailed;
  for (std::size_t i = 0; i < units.size(); ++i) {
    const HL7Message& v = readings[i].values;
    debug("Name: " + v.LastName + "^" + v.FirstName + "^" + v.MiddleName + "^^" + v.NameDegree);
    debug("DOB: " + (v.BirthDate.empty() ? std::string("unknown") : v.BirthDate));
    debug("Sex: " + v.Sex);
    debug("ID: " + v.PatientID);
    if (readings[i].id_from_pid2) debug("PID-3 holds no identifier: PID-2 taken");
    if (!readings[i].appointment_field.empty()) {
      debug("Appointment date/time from " + readings[i].appointment_field);
    }
    StandardContext context{&*m, &units[i], &readings[i]};
    Hl7Segments store;
    store.MessageEvent = event;
    store.standard = &context;
    HL7Message msg = v;
    outcome = dispatch(store, msg);
    if (outcome != Outcome::kProcessed) break;
  }
  return outcome;
}

}  // namespace norv

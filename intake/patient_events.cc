#include <string>

#include "app/error.h"
#include "app/log.h"
#include "db/patients.h"
#include "db/rename_orders.h"
#include "intake/events.h"
#include "intake/hl7_standard.h"

namespace norv {
namespace {

// The patient's identifier before a merge or identifier change: MRG-1
// component 1 (standard reading: MRG-1 by the PID-3 identifier rule). A
// missing MRG, a short one or an empty MRG-1 is an error of the cycle.
std::string PriorIdentifier(const Hl7Segments& store) {
  if (store.standard != nullptr) {
    const std::string& prior = store.standard->reading->prior_identifier;
    if (prior.empty()) throw Error(kErrSubscriptOutOfRange, "No prior patient identifier in MRG-1");
    return prior;
  }
  const std::vector<std::string>& mrg = store.fields.MRG;
  if (mrg.size() < 2 || mrg[1].empty()) ThrowSubscriptOutOfRange();
  return mrg[1].substr(0, mrg[1].find('^'));
}

// Only patients the database already knows are touched: an unknown patient
// is consumed as processed, while a database that cannot answer fails the
// message so that it is kept in the failed folder rather than lost.
bool GateOnRegisteredPatient(const HL7Message& msg, bool& processed_ok) {
  std::optional<bool> registered = IsPatientRegistered(msg.PatientID);
  if (!registered) {
    processed_ok = false;
    return false;
  }
  if (!*registered) {
    processed_ok = true;
    return false;
  }
  return true;
}

// Registers the changed patient data, then writes the rename orders; the
// orders are written only when the registration succeeded.
void UpdateAndRename(HL7Message& msg, const std::string& register_prior,
                     const std::string& rename_prior, bool& processed_ok) {
  processed_ok = RegisterUpdatePatient(msg, register_prior);
  if (processed_ok) processed_ok = CreateRenameOrders(msg, rename_prior);
}

}  // namespace

void HandlePatientUpdate(Hl7Segments&, HL7Message& msg, bool& processed_ok) {
  if (!GateOnRegisteredPatient(msg, processed_ok)) return;
  UpdateAndRename(msg, "", "", processed_ok);
}

void HandlePatientMerge(Hl7Segments& store, HL7Message& msg, bool& processed_ok) {
  if (!GateOnRegisteredPatient(msg, processed_ok)) return;
  DebugLog("Reading merge fields");
  std::string prior = PriorIdentifier(store);
  UpdateAndRename(msg, prior, prior, processed_ok);
}

// Unlike the merge, the rename orders of an identifier change are not told
// the prior identifier.
void HandlePatientIdChange(Hl7Segments& store, HL7Message& msg, bool& processed_ok) {
  if (!GateOnRegisteredPatient(msg, processed_ok)) return;
  DebugLog("Reading merge fields");
  std::string prior = PriorIdentifier(store);
  UpdateAndRename(msg, prior, "", processed_ok);
}

}  // namespace norv

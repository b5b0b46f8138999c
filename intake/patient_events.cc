#include <optional>
#include <string>

#include "core/error.h"
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
// message so that it is kept in the failed folder rather than lost. Returns
// the outcome when the gate ends the event, nothing when it goes on.
std::optional<Outcome> GateOnRegisteredPatient(const IntakeContext& ctx, const HL7Message& msg) {
  std::optional<bool> registered = IsPatientRegistered(ctx, msg.PatientID);
  if (!registered) return Outcome::kFailed;
  if (!*registered) return Outcome::kProcessed;
  return std::nullopt;
}

// Registers the changed patient data, then writes the rename orders; the
// orders are written only when the registration succeeded.
Outcome UpdateAndRename(const IntakeContext& ctx, HL7Message& msg,
                        const std::string& register_prior, const std::string& rename_prior) {
  if (!RegisterUpdatePatient(ctx, msg, register_prior)) return Outcome::kFailed;
  return OutcomeOf(CreateRenameOrders(ctx, msg, rename_prior));
}

}  // namespace

Outcome HandlePatientUpdate(const IntakeContext& ctx, Hl7Segments&, HL7Message& msg) {
  if (auto gate = GateOnRegisteredPatient(ctx, msg)) return *gate;
  return UpdateAndRename(ctx, msg, "", "");
}

Outcome HandlePatientMerge(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg) {
  if (auto gate = GateOnRegisteredPatient(ctx, msg)) return *gate;
  ctx.log.DebugLog("Reading merge fields");
  std::string prior = PriorIdentifier(store);
  return UpdateAndRename(ctx, msg, prior, prior);
}

// Unlike the merge, the rename orders of an identifier change are not told
// the prior identifier.
Outcome HandlePatientIdChange(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg) {
  if (auto gate = GateOnRegisteredPatient(ctx, msg)) return *gate;
  ctx.log.DebugLog("Reading merge fields");
  std::string prior = PriorIdentifier(store);
  return UpdateAndRename(ctx, msg, prior, "");
}

}  // namespace norv

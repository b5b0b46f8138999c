#include "db/patients.h"

#include "app/log.h"

namespace norv {

// Not built yet: the database layer arrives with patient registration.
std::optional<bool> IsPatientRegistered(const std::string&) {
  WriteErrorLog(-1, "Database access is not available", "MainForm IsPatientRegistered");
  return std::nullopt;
}

bool RegisterUpdatePatient(HL7Message&, const std::string&) {
  WriteErrorLog(-1, "Database access is not available", "MainFrom RegisterUpdatePatient");
  return false;
}

}  // namespace norv

#include "db/schema_check.h"

#include "core/error.h"

namespace norv {
namespace {

struct UsedObject {
  const char* name;
  const char* columns;
};

// Every column a statement of the program names, per object.
constexpr UsedObject kUsedObjects[] = {
    {"tblLetzteID", "Tabellenname, LetzteID"},
    {"tblPatienten",
     "PATID, PATID1, PATID2, PATNachname, PATVorname, PAT2Vorname, PATGebDatum, PATGeschlecht"},
    {"tblDicomAETs", "AETID, ModalityLocation, ModalityName"},
    {"tblTermine",
     "TerminID, FKeyPatID, FKeyAETID, TerminDatum, TerminZeit, AccessionNumber, "
     "StudyInstanceUID, TerminUeberweiser, Modality, TerminStatus, RequestedProcedureID, "
     "RequestedProcedureDescription, CurrentPatientLocation, ScheduledProcedureStepID, "
     "ReferringPhysicianID"},
    {"VIEW_Termine", "TerminID, PATID1, AccessionNumber, Modality, AETID, TerminSonstiges"},
    {"view_studies",
     "StudyID, PATNachname, PATVorname, PAT2Vorname, PATGebdatum, PATID1, PATGeschlecht, "
     "FKeyStatusID"},
};

}  // namespace

std::vector<MissingObject> FindMissingDatabaseObjects(Connection& con) {
  std::vector<MissingObject> missing;
  for (const UsedObject& object : kUsedObjects) {
    try {
      Statement st(con, std::string("SELECT ") + object.columns + " FROM " + object.name +
                            " WHERE 1 = 0");
      st.Next();
    } catch (const Error& e) {
      missing.push_back({object.name, e.what()});
    }
  }
  return missing;
}

}  // namespace norv

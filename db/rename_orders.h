// Study rename orders: after a patient's demographic data changed, one small
// ".JRQ" file per live study in the "RenameOrders" folder of the program
// directory tells the archive service to rewrite that study's images. Runs
// on the processing tick's thread in RunProcedure; files go through db.fs.
#ifndef NORV_DB_RENAME_ORDERS_H_
#define NORV_DB_RENAME_ORDERS_H_

#include <string>

#include "core/hl7_message.h"
#include "db/procedure.h"

namespace norv {

// Writes one order per study of view_studies stored under the record's
// PatientID whose FKeyStatusID is not -1 (null counts as live). Each file is
// named with a new UID and written under a temporary name first, so the
// archive service never sees a partial file. `previousID` (a merge's former
// identifier, else empty) only appears in the debug log. True when every
// study has its file; false after a logged error ("MainFrom
// CreateRenameOrders"), files already written staying in place.
bool CreateRenameOrders(const DbContext& db, const HL7Message& record,
                        const std::string& previousID);

// The order's one line, CR LF included: study key, name as
// family^given^second-given, birth date, patient identifier, four empty
// fields, sex and an empty last field, separated by "|"; for example
//   4711|Doe^John^|1970-01-02|123|||||M|
// Values are written unchanged (Windows-1252, no escaping).
std::string RenameOrderLine(const std::string& study_key, const HL7Message& record);

}  // namespace norv

#endif  // NORV_DB_RENAME_ORDERS_H_

// The table of accepted procedure codes, read once at start-up from
// "procedure-ids.txt" in the program directory: the whole file is one list of
// codes separated by ";" (line breaks are part of the codes, nothing is
// trimmed). Order events accept only codes found here.
#ifndef NORV_APP_PROCEDURE_CODES_H_
#define NORV_APP_PROCEDURE_CODES_H_

#include <string>
#include <string_view>
#include <vector>

namespace norv {

// Fills the table from the file. A missing file gives the placeholder table
// {"!%&X", "!%&X"}; a file that cannot be read logs "Global ReadProcedureIDs"
// and leaves the table unfilled.
void ReadProcedureIDs();

// True when `code` equals an entry exactly. Throws Error when the table was
// never filled.
bool IsProcedureID(std::string_view code);

// Number of entries; -1 when the table was never filled.
int ProcedureCodeCount();

// Splits at every ";" (an empty text gives no entries). Exposed for tests.
std::vector<std::string> SplitProcedureCodes(std::string_view text);

// Forgets the table, as before start-up (tests).
void ResetProcedureIDsForTesting();

}  // namespace norv

#endif  // NORV_APP_PROCEDURE_CODES_H_

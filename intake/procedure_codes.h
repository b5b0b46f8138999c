// The table of accepted procedure codes, read once at start-up from
// "procedure-ids.txt" in the program directory: the whole file is one list of
// codes separated by ";" (line breaks are part of the codes, nothing is
// trimmed). Order events accept only codes found here.
#ifndef NORV_INTAKE_PROCEDURE_CODES_H_
#define NORV_INTAKE_PROCEDURE_CODES_H_

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "core/log.h"
#include "platform/file_system.h"

namespace norv {

class ProcedureCodeTable {
 public:
  // Fills the table from `program_dir`/procedure-ids.txt. A missing file
  // gives the placeholder table {"!%&X", "!%&X"}; a file that cannot be read
  // logs "Global ReadProcedureIDs" and leaves the table unfilled.
  void ReadProcedureIDs(FileSystem& fs, const std::string& program_dir, Log& log);

  // True when `code` equals an entry exactly. Throws Error when the table
  // was never filled.
  bool IsProcedureID(std::string_view code) const;

  // Number of entries; -1 when the table was never filled.
  int Count() const { return table_ ? static_cast<int>(table_->size()) : -1; }

 private:
  std::optional<std::vector<std::string>> table_;
};

// Splits at every ";" (an empty text gives no entries). Exposed for tests.
std::vector<std::string> SplitProcedureCodes(std::string_view text);

}  // namespace norv

#endif  // NORV_INTAKE_PROCEDURE_CODES_H_

// Names of the week folders that keep disposed inbound files apart by the
// ISO 8601 week in which they were handled ("2026-53", "2027-01").
#ifndef NORV_INTAKE_WEEK_FOLDER_H_
#define NORV_INTAKE_WEEK_FOLDER_H_

#include <string>

#include "platform/system.h"

namespace norv {

// The ISO 8601 week-numbering year and week of the date of `day` (its time
// is ignored) as four-digit year, hyphen, two-digit week: 2026-12-31 and
// 2027-01-01 give "2026-53", 2025-12-29 gives "2026-01".
std::string WeekFolderName(const LocalDateTime& day);

}  // namespace norv

#endif  // NORV_INTAKE_WEEK_FOLDER_H_

// Calendar dates as the program handles them, on std::chrono's civil
// calendar: validation of the ISO texts the reader produces, and the ISO 8601
// week that names the folders disposed inbound files are kept in.
#ifndef NORV_CORE_DATES_H_
#define NORV_CORE_DATES_H_

#include <string>
#include <string_view>

#include "platform/system.h"

namespace norv {

// Whether year, month and day name a day of the Gregorian calendar.
bool IsCalendarDate(int year, int month, int day);

// Whether `text` is "YYYY-MM-DD" naming a calendar day of the years 100 to
// 9999 (the range the databases store).
bool IsIsoDate(std::string_view text);

// The ISO 8601 week-numbering year and week of the date of `day` (its time
// is ignored) as four-digit year, hyphen, two-digit week: 2026-12-31 and
// 2027-01-01 give "2026-53", 2025-12-29 gives "2026-01".
std::string WeekFolderName(const LocalDateTime& day);

}  // namespace norv

#endif  // NORV_CORE_DATES_H_

#include "intake/week_folder.h"

#include <cstdio>

namespace norv {
namespace {

// Days since 1970-01-01 of a proleptic Gregorian date, and the year of such
// a day number (era-based civil calendar arithmetic).
long DaysFromCivil(int y, int m, int d) {
  y -= m <= 2;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long yoe = y - era * 400;
  const long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + doe - 719468;
}

int YearOfDays(long z) {
  z += 719468;
  const long era = (z >= 0 ? z : z - 146096) / 146097;
  const long doe = z - era * 146097;
  const long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const long mp = (5 * doy + 2) / 153;
  const int m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  return static_cast<int>(yoe + era * 400) + (m <= 2);
}

// 1 = Monday ... 7 = Sunday. 1970-01-01 was a Thursday.
int IsoWeekday(long days) {
  long r = (days + 3) % 7;
  if (r < 0) r += 7;
  return static_cast<int>(r) + 1;
}

bool IsLeap(int y) { return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0; }

// Weeks of a week-numbering year: 53 when it starts on a Thursday, or on a
// Wednesday in a leap year.
int WeeksInYear(int y) {
  int jan1 = IsoWeekday(DaysFromCivil(y, 1, 1));
  return (jan1 == 4 || (jan1 == 3 && IsLeap(y))) ? 53 : 52;
}

// Week number with weeks starting on Monday and week 1 being the first week
// with at least four days in the new year.
int WeekNumber(long days) {
  int y = YearOfDays(days);
  int ordinal = static_cast<int>(days - DaysFromCivil(y, 1, 1)) + 1;
  int w = (ordinal - IsoWeekday(days) + 10) / 7;
  if (w < 1) return WeeksInYear(y - 1);
  if (w > WeeksInYear(y)) return 1;
  return w;
}

}  // namespace

std::string WeekFolderName(const LocalDateTime& day) {
  long days = DaysFromCivil(day.year, day.month, day.day);
  // A Monday is looked at through the Tuesday of its week.
  if (IsoWeekday(days) == 1) ++days;
  int w = WeekNumber(days);
  // Late weeks take their year from six days earlier, early weeks from six
  // days later: this puts 2027-01-01 (week 53) into 2026 and 2025-12-30
  // (week 1) into 2026.
  int year = w >= 10 ? YearOfDays(days - 6) : YearOfDays(days + 6);
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d", year, w);
  return buf;
}

}  // namespace norv

#include "intake/week_folder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace norv {
namespace {

namespace chr = std::chrono;

// ISO 8601 week of a day by the Thursday rule: the week belongs to the year
// that holds its Thursday, and counts from that year's first Thursday.
std::string IsoWeekReference(chr::sys_days day) {
  unsigned iso_weekday = chr::weekday(day).iso_encoding();  // Monday = 1
  chr::sys_days thursday = day - chr::days(iso_weekday - 1) + chr::days(3);
  chr::year year = chr::year_month_day(thursday).year();
  auto week = (thursday - chr::sys_days(year / chr::January / 1)).count() / 7 + 1;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d", static_cast<int>(year), static_cast<int>(week));
  return buf;
}

TEST(WeekFolderName, YearBoundaries) {
  struct Case {
    LocalDateTime day;
    const char* name;
  } cases[] = {
      {{2026, 12, 31}, "2026-53"}, {{2027, 1, 1}, "2026-53"},  {{2027, 1, 3}, "2026-53"},
      {{2027, 1, 4}, "2027-01"},   {{2025, 12, 29}, "2026-01"}, {{2025, 12, 28}, "2025-52"},
      {{2026, 3, 2}, "2026-10"},   {{2026, 3, 1}, "2026-09"},   {{2020, 12, 31}, "2020-53"},
      {{2021, 1, 3}, "2020-53"},   {{2024, 12, 30}, "2025-01"}, {{2029, 12, 31}, "2030-01"},
      {{2026, 12, 7, 23, 59, 59}, "2026-50"},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WeekFolderName(c.day), c.name)
        << c.day.year << "-" << c.day.month << "-" << c.day.day;
  }
}

TEST(WeekFolderName, AgreesWithTheIsoWeekOnEveryDayFrom2020To2030) {
  chr::sys_days first = chr::sys_days(chr::year(2020) / chr::January / 1);
  chr::sys_days last = chr::sys_days(chr::year(2030) / chr::December / 31);
  int checked = 0;
  for (chr::sys_days d = first; d <= last; d += chr::days(1)) {
    chr::year_month_day ymd(d);
    LocalDateTime t{static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                    static_cast<int>(static_cast<unsigned>(ymd.day())), 12, 0, 0};
    ASSERT_EQ(WeekFolderName(t), IsoWeekReference(d)) << t.year << "-" << t.month << "-" << t.day;
    ++checked;
  }
  EXPECT_EQ(checked, 4018);
}

}  // namespace
}  // namespace norv

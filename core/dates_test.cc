#include "core/dates.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>

namespace norv {
namespace {

namespace chr = std::chrono;

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

// Over ten years of days: the week changes exactly on Mondays, counts up by
// one within a year, and restarts at 01 only when the year changes.
TEST(WeekFolderName, ChangesOnMondaysAndCountsUpFrom2020To2030) {
  chr::sys_days first = chr::sys_days(chr::year(2020) / chr::January / 1);
  chr::sys_days last = chr::sys_days(chr::year(2030) / chr::December / 31);
  std::string previous;
  for (chr::sys_days d = first; d <= last; d += chr::days(1)) {
    chr::year_month_day ymd(d);
    LocalDateTime t{static_cast<int>(ymd.year()), static_cast<int>(static_cast<unsigned>(ymd.month())),
                    static_cast<int>(static_cast<unsigned>(ymd.day())), 12, 0, 0};
    std::string name = WeekFolderName(t);
    bool monday = chr::weekday(d) == chr::Monday;
    if (!previous.empty()) {
      ASSERT_EQ(name != previous, monday) << name << " after " << previous;
      if (monday) {
        int py = std::stoi(previous.substr(0, 4)), pw = std::stoi(previous.substr(5));
        int y = std::stoi(name.substr(0, 4)), w = std::stoi(name.substr(5));
        ASSERT_TRUE((y == py && w == pw + 1) || (y == py + 1 && w == 1 && pw >= 52)) << name;
      }
    }
    previous = name;
  }
}

TEST(IsIsoDate, CalendarDaysOnly) {
  for (const char* good : {"2024-02-29", "0100-01-01", "9999-12-31", "1970-01-02"}) {
    EXPECT_TRUE(IsIsoDate(good)) << good;
  }
  for (const char* bad : {"2023-02-29", "0099-12-31", "2024-13-01", "2024-04-31", "2024-1-01",
                          "20240101", "2024-01-0a", "", "2024-00-10", "+024-01-01"}) {
    EXPECT_FALSE(IsIsoDate(bad)) << bad;
  }
}

}  // namespace
}  // namespace norv

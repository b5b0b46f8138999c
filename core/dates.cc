#include "core/dates.h"

#include <charconv>
#include <chrono>
#include <cstdio>

namespace norv {
namespace chr = std::chrono;

bool IsCalendarDate(int year, int month, int day) {
  if (month < 1 || month > 12 || day < 1 || day > 31) return false;
  return chr::year_month_day(chr::year(year), chr::month(static_cast<unsigned>(month)),
                             chr::day(static_cast<unsigned>(day)))
      .ok();
}

bool IsIsoDate(std::string_view text) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  auto number = [&](std::size_t at, std::size_t len, int& out) {
    const char* first = text.data() + at;
    for (std::size_t i = 0; i < len; ++i) {
      if (first[i] < '0' || first[i] > '9') return false;
    }
    return std::from_chars(first, first + len, out).ec == std::errc();
  };
  int year = 0, month = 0, day = 0;
  return number(0, 4, year) && number(5, 2, month) && number(8, 2, day) && year >= 100 &&
         IsCalendarDate(year, month, day);
}

std::string WeekFolderName(const LocalDateTime& day) {
  // The week belongs to the year that holds its Thursday and counts from
  // that year's first Thursday.
  const chr::sys_days date = chr::year_month_day(
      chr::year(day.year), chr::month(static_cast<unsigned>(day.month)),
      chr::day(static_cast<unsigned>(day.day)));
  const unsigned iso_weekday = chr::weekday(date).iso_encoding();  // Monday = 1
  const chr::sys_days thursday = date - chr::days(iso_weekday - 1) + chr::days(3);
  const chr::year year = chr::year_month_day(thursday).year();
  const auto week = (thursday - chr::sys_days(year / chr::January / 1)).count() / 7 + 1;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%04d-%02d", static_cast<int>(year), static_cast<int>(week));
  return buf;
}

}  // namespace norv

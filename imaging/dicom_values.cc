#include "imaging/dicom_values.h"

#include <charconv>

#include "core/dates.h"

namespace norv {
namespace {

bool AllDigits(std::string_view s) {
  if (s.empty()) return false;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
  }
  return true;
}

int Number(std::string_view digits) {
  int n = 0;
  for (char c : digits) n = n * 10 + (c - '0');
  return n;
}

}  // namespace

std::string DicomDate(std::string_view text) {
  std::string digits;
  if (text.size() == 10 && text[4] == '-' && text[7] == '-') {
    digits.append(text.substr(0, 4)).append(text.substr(5, 2)).append(text.substr(8, 2));
  } else if (text.size() == 8) {
    digits.assign(text);
  } else {
    return "";
  }
  if (!AllDigits(digits)) return "";
  int year = Number(digits.substr(0, 4));
  int month = Number(digits.substr(4, 2));
  int day = Number(digits.substr(6, 2));
  if (!IsCalendarDate(year, month, day)) return "";
  return digits;
}

std::string DicomTime(std::string_view text) {
  std::string digits;
  if ((text.size() == 5 || text.size() == 8) && text[2] == ':' &&
      (text.size() == 5 || text[5] == ':')) {
    digits.append(text.substr(0, 2)).append(text.substr(3, 2));
    if (text.size() == 8) digits.append(text.substr(6, 2));
  } else if (text.size() == 4 || text.size() == 6) {
    digits.assign(text);
  } else {
    return "";
  }
  if (!AllDigits(digits)) return "";
  if (digits.size() == 4) digits += "00";
  if (Number(digits.substr(0, 2)) > 23 || Number(digits.substr(2, 2)) > 59 ||
      Number(digits.substr(4, 2)) > 59) {
    return "";
  }
  return digits;
}

std::string DicomSex(std::string_view text) {
  if (text.size() != 1) return "";
  switch (text[0]) {
    case 'M': case 'm': return "M";
    case 'F': case 'f': return "F";
    case 'O': case 'o': return "O";
    default: return "";
  }
}

std::optional<std::int64_t> ParseWholeNumber(std::string_view text, std::int64_t min,
                                             std::int64_t max) {
  while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
  while (!text.empty() && text.back() == ' ') text.remove_suffix(1);
  if (text.size() > 1 && text[0] == '+' && text[1] != '-') text.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (text.empty() || ec != std::errc() || end != text.data() + text.size()) return std::nullopt;
  if (value < min || value > max) return std::nullopt;
  return value;
}

}  // namespace norv

// Conversions of the program's texts into the forms DICOM stores them in.
// The reader produces dates as YYYY-MM-DD and times as HH:MM; a DICOM file
// holds YYYYMMDD and HHMMSS. A text that has no valid DICOM form converts to
// the empty text: an empty value is valid for the attributes the service
// writes, an ill-formed one is not.
#ifndef NORV_IMAGING_DICOM_VALUES_H_
#define NORV_IMAGING_DICOM_VALUES_H_

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace norv {

// "2006-12-24" or "20061224" -> "20061224"; the day must exist in the
// calendar. Anything else -> "".
std::string DicomDate(std::string_view text);

// "09:30", "09:30:15", "0930" or "093015" -> "093000" / "093015"; hours
// 00-23, minutes and seconds 00-59. Anything else -> "".
std::string DicomTime(std::string_view text);

// Patient's Sex: M, F or O in either case -> upper case; anything else
// (HL7's U, A, N, free text) -> "".
std::string DicomSex(std::string_view text);

// A whole number in [min, max], optionally signed and surrounded by blanks;
// nullopt otherwise.
std::optional<std::int64_t> ParseWholeNumber(std::string_view text, std::int64_t min,
                                             std::int64_t max);

}  // namespace norv

#endif  // NORV_IMAGING_DICOM_VALUES_H_

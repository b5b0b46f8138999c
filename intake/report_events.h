// The parts of the ORU^R01 report handler (HandleReport, intake/events.h),
// declared here so that tests can run them on their own.
#ifndef NORV_INTAKE_REPORT_EVENTS_H_
#define NORV_INTAKE_REPORT_EVENTS_H_

#include <cstdint>
#include <string>
#include <vector>

#include "intake/hl7_message.h"

namespace norv {

// Report lines drawn on one page; their tops run from 15 to 780 on the
// 842-pixel page.
inline constexpr std::int32_t kReportLinesPerPage = 52;

// Turns the report into pages: a blank report page with the patient and
// study values of `msg`, one label per OBX line of `report_lines` (its
// OBX-5, taken whole), 52 lines to a page. A line wider than the page is
// wrapped at blanks (imaging/text_wrap.h) and each piece takes the next line
// position; lines that fit are drawn as they are. Each page is written into the
// Temp directory (settings().Temp used as a plain prefix) as a marker file
// <Temp><instance>.cae holding "NORVREPORT" CR LF, and then the DICOM file
// <Temp><instance>.dcm. Throws Error for an OBX line with fewer than six
// elements, a marker that cannot be written and any imaging failure; pages
// written before stay, the page being built is dropped with its marker.
void WriteReportPages(const HL7Message& msg, const std::vector<std::string>& report_lines);

// The same for report texts read already (the standard reading's lines).
void WriteReportTextPages(const HL7Message& msg, const std::vector<std::string>& texts);

}  // namespace norv

#endif  // NORV_INTAKE_REPORT_EVENTS_H_

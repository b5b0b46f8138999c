// The parts of the ORU^R01 report handler (HandleReport, intake/events.h),
// declared here so that tests can run them on their own.
#ifndef NORV_INTAKE_REPORT_EVENTS_H_
#define NORV_INTAKE_REPORT_EVENTS_H_

#include <string>
#include <vector>

#include "core/hl7_message.h"
#include "intake/events.h"

namespace norv {

// Turns the report into pages laid out as imaging/report_layout.h describes:
// the patient and study values of `msg`, one text line per OBX line of
// `report_lines` (its OBX-5, taken whole); a line wider than the page is
// wrapped and each piece takes the next line position, lines that fit are
// drawn as they are. Each page is written into the Temp directory (the Temp
// setting used as a plain prefix) as a marker file
// <Temp><instance>.cae holding "NORVREPORT" CR LF, and then the DICOM file
// <Temp><instance>.dcm. Throws Error for an OBX line with fewer than six
// elements, a marker that cannot be written and any imaging failure; pages
// written before stay, the page being built is dropped with its marker.
void WriteReportPages(const IntakeContext& ctx, const HL7Message& msg,
                      const std::vector<std::string>& report_lines);

// The same for report texts read already (the standard reading's lines).
void WriteReportTextPages(const IntakeContext& ctx, const HL7Message& msg,
                          const std::vector<std::string>& texts);

}  // namespace norv

#endif  // NORV_INTAKE_REPORT_EVENTS_H_

#include "intake/report_events.h"

#include <cstdio>
#include <fstream>
#include <functional>
#include <optional>
#include <vector>

#include "app/error.h"
#include "app/log.h"
#include "app/settings.h"
#include "db/patients.h"
#include "imaging/report_image.h"
#include "imaging/report_page.h"
#include "imaging/text_wrap.h"
#include "intake/events.h"
#include "intake/hl7_reader.h"
#include "intake/hl7_standard.h"

namespace norv {
namespace {

// How a report line is drawn: 12-pixel Tahoma, pure green (full ink on the
// monochrome page), 15 pixels per line, 10 pixels from the left edge.
constexpr std::int32_t kLineLeft = 10;
constexpr std::int32_t kLinePitch = 15;
constexpr std::int16_t kLineFontSize = 12;
constexpr std::int32_t kLineColour = 65280;

constexpr char kMarkerText[] = "NORVREPORT\r\n";

// OBX-5 of an OBX line, taken whole: its components and escapes stay as
// they are. A line with fewer than six elements is an error of the cycle.
std::string ReportLineText(const std::string& line) {
  std::vector<std::string> elements = SplitText(line, '|');
  if (elements.size() < 6) ThrowSubscriptOutOfRange();
  return elements[5];
}

void WriteMarker(const std::string& path) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out) throw Error(kErrPathNotFound, "Path not found: " + path);
  out << kMarkerText;
  out.close();
  if (!out) throw Error(kErrPathFileAccess, "Path/File access error: " + path);
}

// The page's marker first, then its DICOM file. A marker whose DICOM file
// could not be written is removed again, so no marker announces a page that
// never comes.
void WritePage(const DicomImage& page) {
  const std::string base = settings().Temp + page.InstanceName();
  WriteMarker(base + ".cae");
  try {
    page.WriteFile(base + ".dcm");
  } catch (...) {
    std::remove((base + ".cae").c_str());
    throw;
  }
}

// The pages of `count` report lines, line i being `text_of(i)`.
void WritePages(const HL7Message& msg, std::size_t count,
                const std::function<std::string(std::size_t)>& text_of) {
  DebugLog("Creating new Dicom Image (Report)");
  DicomImage page = CreateReportImage();

  page.SetPatientID(msg.PatientID);
  page.SetPatientName(msg.LastName + "^" + msg.FirstName);
  if (!msg.MiddleName.empty()) page.SetPatientName(page.PatientName() + "^" + msg.MiddleName);
  page.SetAccessionNumber(msg.AccessionNumber);
  page.SetBirthDate(msg.BirthDate);
  page.SetSex(msg.Sex);
  page.AddAttribute(0x0008, 0x0020, msg.AppointmentDate);         // Study Date
  page.AddAttribute(0x0008, 0x0022, msg.AppointmentDate);         // Acquisition Date
  page.AddAttribute(0x0008, 0x0030, msg.AppointmentTime);         // Study Time
  page.AddAttribute(0x0008, 0x0033, msg.AppointmentTime);         // Content Time
  page.AddAttribute(0x0008, 0x0090, msg.ReferringPhysicianName);  // Referring Physician's Name
  page.AddAttribute(0x0020, 0x0010, std::int16_t{1});             // Study ID
  page.AddAttribute(0x0020, 0x0011, std::int16_t{1});             // Series Number
  page.AddAttribute(0x0020, 0x0012, std::int16_t{1});             // Acquisition Number
  page.AddAttribute(0x0020, 0x0013, std::int16_t{1});             // Instance Number

  std::int32_t line = 1;
  auto next_page_when_full = [&] {
    if (line != kReportLinesPerPage + 1) return;
    // The next page is taken from the blank one before this one's labels
    // are burned in; it only loses the labels it inherits.
    DicomImage next = page.DerivePage();
    page.FinishPage();
    WritePage(page);
    page = std::move(next);
    page.ClearLabels();
    line = 1;
  };
  // A line whose ink would reach the page's last pixel column is wrapped, so
  // that no text runs off the edge (and a page with ink there shows a fault);
  // each piece takes a line position of its own.
  const TextWidth width_of = [](std::string_view text) {
    return ReportTextWidth(text, kLineFontSize, 0, true);
  };
  DebugLog("Create report text lines");
  for (std::size_t i = 0; i < count; ++i) {
    next_page_when_full();
    std::vector<std::string> pieces = WrapText(text_of(i), kReportPageColumns - kLineLeft - 1, width_of);
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      if (k > 0) next_page_when_full();
      page.AddLabel(RenderReportPage(pieces[k], kLineLeft, kLinePitch * line, true, 0,
                                     kLineFontSize, kLineColour));
      ++line;
    }
  }
  page.FinishPage();
  WritePage(page);
}

}  // namespace

void WriteReportPages(const HL7Message& msg, const std::vector<std::string>& report_lines) {
  WritePages(msg, report_lines.size(),
             [&report_lines](std::size_t i) { return ReportLineText(report_lines[i]); });
}

void WriteReportTextPages(const HL7Message& msg, const std::vector<std::string>& texts) {
  WritePages(msg, texts.size(), [&texts](std::size_t i) { return texts[i]; });
}

void HandleReport(Hl7Segments& store, HL7Message& msg, bool& processed_ok) {
  if (settings().ConvertReports != 0) {
    std::optional<bool> registered = IsPatientRegistered(msg.PatientID);
    if (!registered) {
      // The database could not answer (already logged). The patient may well
      // be known, so the report fails and can be sent again, rather than
      // being consumed without pages as for an unknown patient.
      processed_ok = false;
      return;
    }
    if (*registered) {
      ReadAppointmentDateTime(store, msg);
      ReadReferringPhysician(store, msg);
      ReadAccessionNumber(store, msg);
      if (store.standard != nullptr) {
        WriteReportTextPages(msg, store.standard->reading->report_lines);
      } else {
        WriteReportPages(msg, store.ReportLines);
      }
    }
  }
  processed_ok = true;
}

}  // namespace norv

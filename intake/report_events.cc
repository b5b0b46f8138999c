#include "intake/report_events.h"

#include <functional>
#include <optional>
#include <vector>

#include "core/error.h"
#include "db/patients.h"
#include "imaging/report_layout.h"
#include "intake/hl7_reader.h"
#include "intake/hl7_standard.h"

namespace norv {
namespace {

constexpr char kMarkerText[] = "NORVREPORT\r\n";

// OBX-5 of an OBX line, taken whole: its components and escapes stay as
// they are. A line with fewer than six elements is an error of the cycle.
std::string ReportLineText(const std::string& line) {
  std::vector<std::string> elements = SplitText(line, '|');
  if (elements.size() < 6) ThrowSubscriptOutOfRange();
  return elements[5];
}

// The page's marker first, then its DICOM file. A marker whose DICOM file
// could not be written is removed again, so no marker announces a page that
// never comes.
void WritePage(const IntakeContext& ctx, const DicomImage& page) {
  const std::string base = ctx.settings.Temp + page.InstanceName();
  if (FsStatus st = ctx.fs.WriteFileAtomically(base + ".cae", kMarkerText); !st.ok()) {
    throw Error(st.error == ENOENT ? kErrPathNotFound : kErrPathFileAccess,
                std::string(st.error == ENOENT ? "Path not found: " : "Path/File access error: ") +
                    base + ".cae");
  }
  try {
    std::vector<std::string> notes;
    page.WriteFile(ctx.fs, base + ".dcm", &notes);
    for (const std::string& note : notes) ctx.log.DebugLog(note);
    ctx.log.NoteChange("report page written: " + base + ".dcm");
  } catch (...) {
    (void)ctx.fs.RemoveFile(base + ".cae");
    throw;
  }
}

// The pages of `count` report lines, line i being `text_of(i)`.
void WritePages(const IntakeContext& ctx, const HL7Message& msg, std::size_t count,
                const std::function<std::string(std::size_t)>& text_of) {
  ctx.log.DebugLog("Creating new Dicom Image (Report)");
  ReportValues values;
  values.patient_id = msg.PatientID;
  values.patient_name = msg.LastName + "^" + msg.FirstName;
  if (!msg.MiddleName.empty()) values.patient_name += "^" + msg.MiddleName;
  values.accession_number = msg.AccessionNumber;
  values.birth_date = msg.BirthDate;
  values.sex = msg.Sex;
  values.study_date = msg.AppointmentDate;
  values.study_time = msg.AppointmentTime;
  values.referring_physician = msg.ReferringPhysicianName;

  ctx.log.DebugLog("Create report text lines");
  BuildReportPages(ctx.fonts, values, count, text_of,
                   [&](const DicomImage& page) { WritePage(ctx, page); });
}

}  // namespace

void WriteReportPages(const IntakeContext& ctx, const HL7Message& msg,
                      const std::vector<std::string>& report_lines) {
  WritePages(ctx, msg, report_lines.size(),
             [&report_lines](std::size_t i) { return ReportLineText(report_lines[i]); });
}

void WriteReportTextPages(const IntakeContext& ctx, const HL7Message& msg,
                          const std::vector<std::string>& texts) {
  WritePages(ctx, msg, texts.size(), [&texts](std::size_t i) { return texts[i]; });
}

Outcome HandleReport(const IntakeContext& ctx, Hl7Segments& store, HL7Message& msg) {
  if (ctx.settings.ConvertReports != 0) {
    std::optional<bool> registered = IsPatientRegistered(ctx, msg.PatientID);
    // The database could not answer (already logged). The patient may well
    // be known, so the report fails and can be sent again, rather than being
    // consumed without pages as for an unknown patient.
    if (!registered) return Outcome::kFailed;
    if (*registered) {
      ReadAppointmentDateTime(store, msg);
      ReadReferringPhysician(store, msg);
      ReadAccessionNumber(store, msg);
      if (store.standard != nullptr) {
        WriteReportTextPages(ctx, msg, store.standard->reading->report_lines);
      } else {
        WriteReportPages(ctx, msg, store.ReportLines);
      }
    }
  }
  return Outcome::kProcessed;
}

}  // namespace norv

// How a report becomes pages, described once: the geometry of its text
// lines and the attributes every page carries. The report handler fills a
// ReportValues from the message; BuildReportPages does the rest.
#ifndef NORV_IMAGING_REPORT_LAYOUT_H_
#define NORV_IMAGING_REPORT_LAYOUT_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "imaging/dicom_image.h"
#include "imaging/label_renderer.h"

namespace norv {

// Text lines: 12-pixel Tahoma, pure green (full ink on the monochrome page),
// anti-aliased, 10 pixels from the left edge, drawn line n (1-based) with its
// top at n * 15 pixels, 52 drawn lines to a page (tops from 15 to 780 on the
// 842-pixel page). A text line whose ink would reach `line_right` (the
// page's last pixel column) is wrapped (imaging/text_wrap.h) and each piece
// is a drawn line of its own.
struct ReportLayout {
  std::int32_t lines_per_page = 52;
  std::int32_t line_left = 10;
  std::int32_t line_pitch = 15;
  std::int16_t font_size = 12;
  std::int32_t colour = 65280;
  bool antialiased = true;
  std::int32_t line_right = 594;
};
inline constexpr ReportLayout kReportLayout{};
inline constexpr std::int32_t kReportLinesPerPage = kReportLayout.lines_per_page;

// The message's values that go onto a report's pages, as the program holds
// them (Windows-1252; dates YYYY-MM-DD, times HH:MM).
struct ReportValues {
  std::string patient_id;
  std::string patient_name;  // "Last^First" or "Last^First^Middle"
  std::string accession_number;
  std::string birth_date;
  std::string sex;
  std::string study_date;    // also the Acquisition Date
  std::string study_time;    // also the Content Time
  std::string referring_physician;
};

// The attributes a page takes from ReportValues, beside the patient module
// (ID, name, accession number, birth date, sex) that DicomImage sets itself.
struct ReportAttribute {
  std::uint16_t group;
  std::uint16_t element;
  std::string ReportValues::*value;
};
inline const ReportAttribute kReportPageAttributes[] = {
    {0x0008, 0x0020, &ReportValues::study_date},           // Study Date
    {0x0008, 0x0022, &ReportValues::study_date},           // Acquisition Date
    {0x0008, 0x0030, &ReportValues::study_time},           // Study Time
    {0x0008, 0x0033, &ReportValues::study_time},           // Content Time
    {0x0008, 0x0090, &ReportValues::referring_physician},  // Referring Physician's Name
};
// Study ID, Series Number, Acquisition Number and (of the first page)
// Instance Number are 1; each further page takes the next Instance Number.
inline constexpr std::uint16_t kReportPageNumberedElements[] = {0x0010, 0x0011, 0x0012, 0x0013};

// Lays out `line_count` report lines on pages: a blank report page with
// `values`, one label per drawn line, `layout.lines_per_page` drawn lines to
// a page. A line that fits between `layout.line_left` and `layout.line_right`
// is drawn as it is; a wider one (measured in the report font with `fonts`)
// is wrapped at blanks, a single word wider than the page broken, and each
// piece takes the next line position, on the next page when this one is
// full. Line i's text is asked of `line_text(i)` when it is placed, so an
// error there leaves the pages already handed on in place. Each finished
// page (labels drawn with `fonts`) goes to `emit` in order. Throws Error on
// imaging failures and whatever `line_text` or `emit` throw.
void BuildReportPages(FontCache& fonts, const ReportValues& values, std::size_t line_count,
                      const std::function<std::string(std::size_t)>& line_text,
                      const std::function<void(const DicomImage&)>& emit,
                      const ReportLayout& layout = kReportLayout);

}  // namespace norv

#endif  // NORV_IMAGING_REPORT_LAYOUT_H_

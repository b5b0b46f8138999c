#include "imaging/report_layout.h"

#include "imaging/report_image.h"
#include "imaging/report_page.h"

namespace norv {

void BuildReportPages(FontCache& fonts, const ReportValues& values, std::size_t line_count,
                      const std::function<std::string(std::size_t)>& line_text,
                      const std::function<void(const DicomImage&)>& emit,
                      const ReportLayout& layout) {
  DicomImage page = CreateReportImage();
  page.SetPatientID(values.patient_id);
  page.SetPatientName(values.patient_name);
  page.SetAccessionNumber(values.accession_number);
  page.SetBirthDate(values.birth_date);
  page.SetSex(values.sex);
  for (const ReportAttribute& a : kReportPageAttributes) {
    page.AddAttribute(a.group, a.element, values.*a.value);
  }
  for (std::uint16_t element : kReportPageNumberedElements) {
    page.AddAttribute(0x0020, element, std::int16_t{1});
  }

  std::int32_t line = 1;
  for (std::size_t i = 0; i < line_count; ++i) {
    if (line == layout.lines_per_page + 1) {
      // The next page is taken from the blank one before this one's labels
      // are burned in; it only loses the labels it inherits.
      DicomImage next = page.DerivePage();
      page.FinishPage(fonts);
      emit(page);
      page = std::move(next);
      page.ClearLabels();
      line = 1;
    }
    page.AddLabel(RenderReportPage(line_text(i), layout.line_left, layout.line_pitch * line,
                                   layout.antialiased, 0, layout.font_size, layout.colour));
    ++line;
  }
  page.FinishPage(fonts);
  emit(page);
}

}  // namespace norv

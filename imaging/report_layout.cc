#include "imaging/report_layout.h"

#include <string>
#include <string_view>
#include <vector>

#include "imaging/report_image.h"
#include "imaging/report_page.h"
#include "imaging/text_wrap.h"

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
  auto next_page_when_full = [&] {
    if (line != layout.lines_per_page + 1) return;
    // The next page is taken from the blank one before this one's labels
    // are burned in; it only loses the labels it inherits.
    DicomImage next = page.DerivePage();
    page.FinishPage(fonts);
    emit(page);
    page = std::move(next);
    page.ClearLabels();
    line = 1;
  };
  const TextWidth width_of = [&](std::string_view text) {
    return ReportTextWidth(fonts, text, layout.font_size, 0, layout.antialiased);
  };
  for (std::size_t i = 0; i < line_count; ++i) {
    next_page_when_full();
    const std::vector<std::string> pieces =
        WrapText(line_text(i), layout.line_right - layout.line_left, width_of);
    for (std::size_t k = 0; k < pieces.size(); ++k) {
      if (k > 0) next_page_when_full();
      page.AddLabel(RenderReportPage(pieces[k], layout.line_left, layout.line_pitch * line,
                                     layout.antialiased, 0, layout.font_size, layout.colour));
      ++line;
    }
  }
  page.FinishPage(fonts);
  emit(page);
}

}  // namespace norv

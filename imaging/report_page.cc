#include "imaging/report_page.h"

#include <string>

#include "imaging/label_renderer.h"

namespace norv {

Label RenderReportPage(std::string_view text, std::int32_t left, std::int32_t top,
                       bool antialiased, std::int16_t style, std::int16_t font_size,
                       std::int32_t colour) {
  Label label = NewLabel();
  label.text = std::string(text);
  label.top = top;
  label.left = left;
  label.alignment = kAlignLeft;
  label.opacity = 10;
  label.font_name = "Tahoma";
  label.colour = colour;
  label.font_size = font_size;
  label.transparent = true;
  label.visible = true;
  label.style = style;
  label.antialiased = antialiased;
  return label;
}

std::int32_t ReportTextWidth(FontCache& fonts, std::string_view text, std::int16_t font_size,
                             std::int16_t style, bool antialiased) {
  return LabelTextWidth(fonts, RenderReportPage(text, 0, 0, antialiased, style, font_size, 0));
}

}  // namespace norv

// The text label of one report line. The report handler lays out the lines
// (which page, which position); this makes the label for one of them.
#ifndef NORV_IMAGING_REPORT_PAGE_H_
#define NORV_IMAGING_REPORT_PAGE_H_

#include <cstdint>
#include <string_view>

#include "imaging/label.h"
#include "imaging/label_renderer.h"

namespace norv {

// A label showing `text` (Windows-1252) with its top-left corner at (left,
// top) in Tahoma of `font_size` pixels and `colour` (RGB), `style` (bold,
// italic bits), anti-aliased when `antialiased`; left-aligned, fully opaque,
// transparent and visible. Positions are not checked against any page: a
// label beyond the page is clipped when drawn.
Label RenderReportPage(std::string_view text, std::int32_t left, std::int32_t top,
                       bool antialiased, std::int16_t style, std::int16_t font_size,
                       std::int32_t colour);

// How wide `text` is drawn by a label of RenderReportPage with these font
// arguments, in pixels from its left edge (imaging/label_renderer.h,
// LabelTextWidth), measured with `fonts`. Throws Error when no font can be
// loaded.
std::int32_t ReportTextWidth(FontCache& fonts, std::string_view text, std::int16_t font_size,
                             std::int16_t style, bool antialiased);

}  // namespace norv

#endif  // NORV_IMAGING_REPORT_PAGE_H_

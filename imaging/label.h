// A text label: one line of text that a page image draws into its pixels when
// the page is finished (DicomImage::FinishPage). A plain value; a page keeps
// its own copies of the labels added to it.
#ifndef NORV_IMAGING_LABEL_H_
#define NORV_IMAGING_LABEL_H_

#include <cstdint>
#include <string>

namespace norv {

// Bits of Label::style.
inline constexpr std::int16_t kLabelBold = 1;
inline constexpr std::int16_t kLabelItalic = 2;

// Where Label::left lies on the text line.
inline constexpr std::int32_t kAlignLeft = 0;    // the text begins at `left`
inline constexpr std::int32_t kAlignCentre = 1;  // the text is centred on `left`
inline constexpr std::int32_t kAlignRight = 2;   // the text ends at `left`

struct Label {
  std::string text;                  // Windows-1252, drawn as one line
  std::int32_t top = 0;              // top edge of the line, pixels from the page's top
  std::int32_t left = 0;             // pixels from the page's left edge, see alignment
  std::int32_t alignment = kAlignLeft;
  std::int16_t opacity = 10;         // ink strength in tenths: 10 full, 0 nothing drawn
  std::string font_name = "Tahoma";  // font family, looked up through fontconfig
  std::int32_t colour = 0;           // RGB as red + 256 * green + 65536 * blue
  std::int16_t font_size = 12;       // pixels per em; report pages have 72 pixels per inch
  bool transparent = true;           // false: the line's box is cleared to paper first
  bool visible = true;               // false: the label is kept but not drawn
  std::int16_t style = 0;            // kLabelBold | kLabelItalic
  bool antialiased = true;           // false: glyphs drawn with hard 1-bit edges
};

// A label with the default properties above and no text.
inline Label NewLabel() { return Label{}; }

}  // namespace norv

#endif  // NORV_IMAGING_LABEL_H_

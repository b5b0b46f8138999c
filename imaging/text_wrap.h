// Wrapping of one text line to a width: pure, the width of a piece comes
// from a callback (the report font measures it, tests measure by count).
#ifndef NORV_IMAGING_TEXT_WRAP_H_
#define NORV_IMAGING_TEXT_WRAP_H_

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace norv {

// Width of a text in pixels.
using TextWidth = std::function<int(std::string_view)>;

// `text` cut into pieces no wider than `max_width`, in order. A text that
// fits is returned whole and unchanged. Otherwise each piece takes as many
// words as fit, cut at a blank (the blanks at a cut are dropped, blanks
// inside a piece and before its first word stay); a word wider than
// `max_width` on its own is broken after the last character that fits, at
// least one character per piece. A text of blanks alone gives one empty
// piece. Never loses a non-blank character.
std::vector<std::string> WrapText(std::string_view text, int max_width, const TextWidth& width_of);

}  // namespace norv

#endif  // NORV_IMAGING_TEXT_WRAP_H_

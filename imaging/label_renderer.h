// Draws labels into 8-bit, one-sample page pixels with FreeType. Font
// families are found through fontconfig, which also sees the Windows core
// fonts that Debian's fonts-wine ships (it does not index them by itself);
// a family that is not installed falls back to DejaVu Sans. Faces and
// rendered glyphs are cached for the life of the process, guarded by a mutex.
// Internal to imaging/; DicomImage::FinishPage is the public way in.
#ifndef NORV_IMAGING_LABEL_RENDERER_H_
#define NORV_IMAGING_LABEL_RENDERER_H_

#include <cstdint>
#include <string>
#include <string_view>

#include "imaging/label.h"

namespace norv {

// A page's pixels: `width` * `height` bytes, rows top to bottom. With
// `ink_is_high` (MONOCHROME1) 0 is paper and 255 full ink; otherwise
// (MONOCHROME2) the other way round.
struct PageRaster {
  std::uint8_t* pixels = nullptr;
  int width = 0;
  int height = 0;
  bool ink_is_high = true;
};

// Draws one label. The colour becomes ink by its darkness on white paper
// (255 minus its lightest channel, so pure green or black is full ink and
// white is none), scaled by the opacity. Parts outside the page are clipped.
// Throws Error when no font can be loaded or the font size is not positive.
void DrawLabel(const Label& label, const PageRaster& page);

// How far `label`'s text reaches to the right of its start when drawn left
// aligned, in pixels: the end of the last advance or the last inked column,
// whichever is farther. Throws as DrawLabel does.
int LabelTextWidth(const Label& label);

// The font file (path) that `family` with `style` resolves to.
std::string ResolveFontFile(std::string_view family, std::int16_t style);

}  // namespace norv

#endif  // NORV_IMAGING_LABEL_RENDERER_H_

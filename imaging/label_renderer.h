// Draws labels into 8-bit, one-sample page pixels with FreeType. Font
// families are found through fontconfig, which also sees the Windows core
// fonts that Debian's fonts-wine ships (it does not index them by itself);
// a family that is not installed falls back to DejaVu Sans. Faces and
// rendered glyphs are cached in a FontCache that its owner keeps (the service
// keeps one for its whole run), guarded by a mutex. DicomImage::FinishPage is
// the usual way in.
#ifndef NORV_IMAGING_LABEL_RENDERER_H_
#define NORV_IMAGING_LABEL_RENDERER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "imaging/label.h"

namespace norv {

// The fonts found and the glyphs rendered so far (FreeType and fontconfig
// state). FreeType and fontconfig are started on the first use, which
// throws Error when that fails; a cache never used costs nothing.
class FontCache {
 public:
  FontCache();
  ~FontCache();
  FontCache(const FontCache&) = delete;
  FontCache& operator=(const FontCache&) = delete;

  class Impl;
  Impl& impl();  // started on first use

 private:
  std::unique_ptr<Impl> impl_;
};

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
void DrawLabel(FontCache& fonts, const Label& label, const PageRaster& page);

// How far `label`'s text reaches to the right of its start when drawn left
// aligned, in pixels: the end of the last advance or the last inked column,
// whichever is farther. Throws as DrawLabel does.
int LabelTextWidth(FontCache& fonts, const Label& label);

// The font file (path) that `family` with `style` resolves to.
std::string ResolveFontFile(FontCache& fonts, std::string_view family, std::int16_t style);

}  // namespace norv

#endif  // NORV_IMAGING_LABEL_RENDERER_H_

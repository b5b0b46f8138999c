// One font cache for a test program, created on first use: starting
// FreeType and fontconfig once keeps the imaging tests fast.
#ifndef NORV_TESTING_FONTS_H_
#define NORV_TESTING_FONTS_H_

#include "imaging/label_renderer.h"

namespace norv::testing {

inline FontCache& Fonts() {
  static FontCache fonts;
  return fonts;
}

}  // namespace norv::testing

#endif  // NORV_TESTING_FONTS_H_

#include "imaging/label_renderer.h"

#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H

#include <algorithm>
#include <map>
#include <mutex>
#include <optional>
#include <unordered_map>
#include <utility>
#include <vector>

#include "core/error.h"
#include "imaging/imaging_error.h"
#include "core/ansi.h"

namespace norv {
namespace {

// Debian's fonts-wine puts Tahoma here without registering it with fontconfig.
constexpr const char* kAppFontDir = "/usr/share/wine/fonts";
constexpr const char* kFallbackFamily = "DejaVu Sans";

[[noreturn]] void ThrowFreeType(const std::string& what, FT_Error err) {
  const char* text = FT_Error_String(err);
  throw Error(kErrImaging, "FreeType: " + what + ": " +
                               (text ? std::string(text) : "error " + std::to_string(err)));
}

// A rendered glyph: coverage 0-255 per pixel, placed relative to the pen on
// the baseline.
struct Glyph {
  int left = 0;        // from the pen to the bitmap's left edge
  int top = 0;         // from the baseline up to the bitmap's top row
  int width = 0;
  int rows = 0;
  FT_Pos advance = 0;  // 26.6 fixed point
  std::vector<std::uint8_t> coverage;
};

struct FontFile {
  std::string path;
  int index = 0;
  auto operator<=>(const FontFile&) const = default;
};

}  // namespace

class FontCache::Impl {
 public:
  std::mutex& mutex() { return mutex_; }

  // The face for `family` and `style`, at `pixels` per em.
  FT_Face Face(std::string_view family, std::int16_t style, int pixels, int* face_id) {
    const FontFile& file = Resolve(family, style);
    auto [it, added] = face_ids_.try_emplace(file, static_cast<int>(faces_.size()));
    if (added) {
      FT_Face face = nullptr;
      if (FT_Error err = FT_New_Face(library_, file.path.c_str(), file.index, &face)) {
        face_ids_.erase(it);
        ThrowFreeType("cannot open " + file.path, err);
      }
      faces_.push_back({face, 0});
    }
    Loaded& loaded = faces_[it->second];
    if (loaded.pixels != pixels) {
      if (FT_Error err = FT_Set_Pixel_Sizes(loaded.face, 0, static_cast<FT_UInt>(pixels))) {
        ThrowFreeType("cannot size " + file.path, err);
      }
      loaded.pixels = pixels;
    }
    *face_id = it->second;
    return loaded.face;
  }

  // The glyph `index` of a face already sized to `pixels`.
  const Glyph& GetGlyph(FT_Face face, int face_id, int pixels, bool antialiased,
                        FT_UInt index) {
    std::uint64_t key = (static_cast<std::uint64_t>(face_id) << 48) |
                        (static_cast<std::uint64_t>(pixels & 0x7FFF) << 33) |
                        (static_cast<std::uint64_t>(antialiased) << 32) | index;
    auto it = glyphs_.find(key);
    if (it != glyphs_.end()) return it->second;
    // Tahoma carries 1-bit bitmap strikes for small sizes; anti-aliased text
    // takes the outlines instead.
    FT_Int32 flags = FT_LOAD_RENDER |
                     (antialiased ? FT_LOAD_NO_BITMAP | FT_LOAD_TARGET_NORMAL
                                  : FT_LOAD_TARGET_MONO);
    if (FT_Error err = FT_Load_Glyph(face, index, flags)) ThrowFreeType("cannot load glyph", err);
    return glyphs_.emplace(key, Convert(face->glyph)).first->second;
  }

  std::string ResolvedPath(std::string_view family, std::int16_t style) {
    return Resolve(family, style).path;
  }

  Impl() {
    if (FT_Error err = FT_Init_FreeType(&library_)) ThrowFreeType("cannot start", err);
    config_ = FcInitLoadConfigAndFonts();
    if (config_ != nullptr) {
      // Returns false when the directory is missing; the fallback covers that.
      FcConfigAppFontAddDir(config_, reinterpret_cast<const FcChar8*>(kAppFontDir));
    }
  }

  ~Impl() {
    for (Loaded& f : faces_) FT_Done_Face(f.face);
    FT_Done_FreeType(library_);
    if (config_ != nullptr) FcConfigDestroy(config_);
  }

  Impl(const Impl&) = delete;
  Impl& operator=(const Impl&) = delete;

 private:
  struct Loaded {
    FT_Face face;
    int pixels;
  };

  static Glyph Convert(FT_GlyphSlot slot) {
    const FT_Bitmap& bm = slot->bitmap;
    Glyph g;
    g.left = slot->bitmap_left;
    g.top = slot->bitmap_top;
    g.width = static_cast<int>(bm.width);
    g.rows = static_cast<int>(bm.rows);
    g.advance = slot->advance.x;
    g.coverage.resize(static_cast<std::size_t>(g.width) * g.rows);
    const int pitch = bm.pitch < 0 ? -bm.pitch : bm.pitch;
    for (int r = 0; r < g.rows; ++r) {
      const unsigned char* row = bm.pitch >= 0 ? bm.buffer + r * pitch
                                               : bm.buffer + (g.rows - 1 - r) * pitch;
      std::uint8_t* out = g.coverage.data() + static_cast<std::size_t>(r) * g.width;
      for (int c = 0; c < g.width; ++c) {
        if (bm.pixel_mode == FT_PIXEL_MODE_MONO) {
          out[c] = (row[c >> 3] & (0x80 >> (c & 7))) ? 255 : 0;
        } else if (bm.pixel_mode == FT_PIXEL_MODE_GRAY) {
          int levels = bm.num_grays > 1 ? bm.num_grays - 1 : 255;
          out[c] = static_cast<std::uint8_t>(row[c] * 255 / levels);
        } else {
          throw Error(kErrImaging, "FreeType: unsupported glyph bitmap format");
        }
      }
    }
    return g;
  }

  // The font file for a family: the family itself when fontconfig knows it,
  // else the fallback family, else whatever fontconfig offers.
  const FontFile& Resolve(std::string_view family, std::int16_t style) {
    std::pair<std::string, std::int16_t> key{std::string(family), style};
    auto it = resolved_.find(key);
    if (it != resolved_.end()) return it->second;
    std::optional<FontFile> file = Match(key.first, style, true);
    if (!file) file = Match(kFallbackFamily, style, true);
    if (!file) file = Match(key.first, style, false);
    if (!file) throw Error(kErrImaging, "fontconfig: no font for \"" + key.first + "\"");
    return resolved_.emplace(std::move(key), *file).first->second;
  }

  std::optional<FontFile> Match(const std::string& family, std::int16_t style,
                                bool family_must_match) {
    if (config_ == nullptr) return std::nullopt;
    FcPattern* pattern = FcPatternCreate();
    if (pattern == nullptr) return std::nullopt;
    FcPatternAddString(pattern, FC_FAMILY, reinterpret_cast<const FcChar8*>(family.c_str()));
    FcPatternAddInteger(pattern, FC_WEIGHT,
                        (style & kLabelBold) ? FC_WEIGHT_BOLD : FC_WEIGHT_REGULAR);
    FcPatternAddInteger(pattern, FC_SLANT,
                        (style & kLabelItalic) ? FC_SLANT_ITALIC : FC_SLANT_ROMAN);
    FcPatternAddBool(pattern, FC_SCALABLE, FcTrue);
    FcConfigSubstitute(config_, pattern, FcMatchPattern);
    FcDefaultSubstitute(pattern);
    FcResult result = FcResultNoMatch;
    FcPattern* match = FcFontMatch(config_, pattern, &result);
    FcPatternDestroy(pattern);
    if (match == nullptr) return std::nullopt;
    std::optional<FontFile> file;
    FcChar8* path = nullptr;
    int index = 0;
    if (FcPatternGetString(match, FC_FILE, 0, &path) == FcResultMatch) {
      FcPatternGetInteger(match, FC_INDEX, 0, &index);
      bool same_family = !family_must_match;
      FcChar8* name = nullptr;
      for (int n = 0; !same_family && FcPatternGetString(match, FC_FAMILY, n, &name) == FcResultMatch; ++n) {
        same_family = FcStrCmpIgnoreCase(name, reinterpret_cast<const FcChar8*>(family.c_str())) == 0;
      }
      if (same_family) file = FontFile{reinterpret_cast<const char*>(path), index};
    }
    FcPatternDestroy(match);
    return file;
  }

  std::mutex mutex_;
  FT_Library library_ = nullptr;
  FcConfig* config_ = nullptr;
  std::map<std::pair<std::string, std::int16_t>, FontFile> resolved_;
  std::map<FontFile, int> face_ids_;
  std::vector<Loaded> faces_;
  std::unordered_map<std::uint64_t, Glyph> glyphs_;
};

FontCache::FontCache() = default;
FontCache::~FontCache() = default;

FontCache::Impl& FontCache::impl() {
  if (!impl_) impl_ = std::make_unique<Impl>();
  return *impl_;
}

namespace {

// Code points of a Windows-1252 text.
std::vector<char32_t> CodePoints(std::string_view ansi) {
  std::string utf8 = AnsiToUtf8(ansi);
  std::vector<char32_t> out;
  out.reserve(ansi.size());
  for (std::size_t i = 0; i < utf8.size();) {
    unsigned char b = static_cast<unsigned char>(utf8[i]);
    int len = b < 0x80 ? 1 : b < 0xE0 ? 2 : b < 0xF0 ? 3 : 4;
    char32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len; ++k) cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
    out.push_back(cp);
    i += len;
  }
  return out;
}

struct Placed {
  const Glyph* glyph;
  FT_Pos pen;  // 26.6, from the line's start
};

void RequirePositiveSize(const Label& label) {
  if (label.font_size <= 0) {
    throw Error(kErrImaging, "label font size must be positive, not " +
                                 std::to_string(label.font_size));
  }
}

// The glyphs of the label's text placed along its line (with kerning);
// `pen` ends after the last advance. Call with the cache's mutex held.
std::vector<Placed> LayOut(FontCache::Impl& cache, FT_Face face, int face_id,
                           const Label& label, FT_Pos& pen) {
  const bool kerning = FT_HAS_KERNING(face);
  std::vector<Placed> line;
  line.reserve(label.text.size());
  pen = 0;
  FT_UInt previous = 0;
  for (char32_t cp : CodePoints(label.text)) {
    FT_UInt index = FT_Get_Char_Index(face, cp);
    if (kerning && previous != 0 && index != 0) {
      FT_Vector delta{0, 0};
      if (FT_Get_Kerning(face, previous, index, FT_KERNING_DEFAULT, &delta) == 0) pen += delta.x;
    }
    const Glyph& g = cache.GetGlyph(face, face_id, label.font_size, label.antialiased, index);
    line.push_back({&g, pen});
    pen += g.advance;
    previous = index;
  }
  return line;
}

}  // namespace

int LabelTextWidth(FontCache& fonts, const Label& label) {
  RequirePositiveSize(label);
  FontCache::Impl& cache = fonts.impl();
  std::lock_guard<std::mutex> lock(cache.mutex());
  int face_id = 0;
  FT_Face face = cache.Face(label.font_name, label.style, label.font_size, &face_id);
  FT_Pos pen = 0;
  std::vector<Placed> line = LayOut(cache, face, face_id, label, pen);
  int width = static_cast<int>((pen + 32) >> 6);
  for (const Placed& p : line) {
    if (p.glyph->width == 0) continue;
    width = std::max(width, static_cast<int>((p.pen + 32) >> 6) + p.glyph->left + p.glyph->width);
  }
  return width;
}

void DrawLabel(FontCache& fonts, const Label& label, const PageRaster& page) {
  if (!label.visible || label.opacity <= 0) return;
  RequirePositiveSize(label);
  FontCache::Impl& cache = fonts.impl();
  std::lock_guard<std::mutex> lock(cache.mutex());
  int face_id = 0;
  FT_Face face = cache.Face(label.font_name, label.style, label.font_size, &face_id);
  FT_Pos pen = 0;
  std::vector<Placed> line = LayOut(cache, face, face_id, label, pen);

  const int width = static_cast<int>((pen + 32) >> 6);
  const int ascender = static_cast<int>((face->size->metrics.ascender + 32) >> 6);
  const int line_height = static_cast<int>((face->size->metrics.height + 32) >> 6);
  int x0 = label.left;
  if (label.alignment == kAlignCentre) x0 -= width / 2;
  if (label.alignment == kAlignRight) x0 -= width;
  const int baseline = label.top + ascender;

  const std::uint8_t paper = page.ink_is_high ? 0 : 255;
  if (!label.transparent) {
    for (int y = std::max(label.top, 0); y < std::min(label.top + line_height, page.height); ++y) {
      int from = std::clamp(x0, 0, page.width), to = std::clamp(x0 + width, 0, page.width);
      std::fill(page.pixels + static_cast<std::size_t>(y) * page.width + from,
                page.pixels + static_cast<std::size_t>(y) * page.width + to, paper);
    }
  }

  // Darkness of the colour on white paper, then scaled by the opacity.
  const int red = label.colour & 0xFF, green = (label.colour >> 8) & 0xFF,
            blue = (label.colour >> 16) & 0xFF;
  const int darkness = (255 - std::min({red, green, blue})) * std::min<int>(label.opacity, 10) / 10;
  const int ink = page.ink_is_high ? darkness : 255 - darkness;

  for (const Placed& p : line) {
    const Glyph& g = *p.glyph;
    const int gx = x0 + static_cast<int>((p.pen + 32) >> 6) + g.left;
    const int gy = baseline - g.top;
    // The part of the glyph that lies on the page.
    const int r_from = std::max(0, -gy), r_to = std::min(g.rows, page.height - gy);
    const int c_from = std::max(0, -gx), c_to = std::min(g.width, page.width - gx);
    for (int r = r_from; r < r_to; ++r) {
      std::uint8_t* out = page.pixels + static_cast<std::size_t>(gy + r) * page.width + gx;
      const std::uint8_t* cov = g.coverage.data() + static_cast<std::size_t>(r) * g.width;
      // (p * (255 - a) + ink * a) / 255, rounded, without a division or
      // branches, so that the compiler can vectorise the row.
      for (int c = c_from; c < c_to; ++c) {
        const int a = cov[c];
        const int t = out[c] * (255 - a) + ink * a + 128;
        out[c] = static_cast<std::uint8_t>((t + (t >> 8)) >> 8);
      }
    }
  }
}

std::string ResolveFontFile(FontCache& fonts, std::string_view family, std::int16_t style) {
  FontCache::Impl& cache = fonts.impl();
  std::lock_guard<std::mutex> lock(cache.mutex());
  return cache.ResolvedPath(family, style);
}

}  // namespace norv

#include "imaging/label_renderer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "app/error.h"
#include "imaging/imaging_error.h"

namespace norv {
namespace {

// A small MONOCHROME1 (or MONOCHROME2) page and what was drawn on it.
class Page {
 public:
  Page(int width, int height, bool ink_is_high = true)
      : width_(width), height_(height), ink_is_high_(ink_is_high),
        pixels_(static_cast<std::size_t>(width) * height, ink_is_high ? 0 : 255) {}

  void Draw(const Label& label) { DrawLabel(label, {pixels_.data(), width_, height_, ink_is_high_}); }

  int At(int x, int y) const { return pixels_[static_cast<std::size_t>(y) * width_ + x]; }
  int Darkness(int x, int y) const { return ink_is_high_ ? At(x, y) : 255 - At(x, y); }

  // Box holding every inked pixel; empty (x1 < x0) when the page is blank.
  struct Box {
    int x0, y0, x1, y1;
    bool empty() const { return x1 < x0; }
  };
  Box Ink() const {
    Box b{width_, height_, -1, -1};
    for (int y = 0; y < height_; ++y) {
      for (int x = 0; x < width_; ++x) {
        if (Darkness(x, y) == 0) continue;
        b.x0 = std::min(b.x0, x), b.y0 = std::min(b.y0, y);
        b.x1 = std::max(b.x1, x), b.y1 = std::max(b.y1, y);
      }
    }
    return b;
  }
  int MaxDarkness() const {
    int m = 0;
    for (int y = 0; y < height_; ++y)
      for (int x = 0; x < width_; ++x) m = std::max(m, Darkness(x, y));
    return m;
  }
  std::vector<std::uint8_t>& pixels() { return pixels_; }

 private:
  int width_, height_;
  bool ink_is_high_;
  std::vector<std::uint8_t> pixels_;
};

Label Text(const std::string& text, int left, int top) {
  Label l = NewLabel();
  l.text = text;
  l.left = left;
  l.top = top;
  l.colour = 0x00FF00;
  return l;
}

TEST(LabelFonts, TahomaComesFromTheWineFontsAndUnknownFamiliesFallBack) {
  EXPECT_NE(ResolveFontFile("Tahoma", 0).find("/wine/fonts/tahoma.ttf"), std::string::npos);
  EXPECT_NE(ResolveFontFile("tahoma", kLabelBold).find("tahomabd.ttf"), std::string::npos);
  EXPECT_NE(ResolveFontFile("No Such Family", 0).find("DejaVuSans"), std::string::npos);
}

TEST(LabelDrawing, InkLiesWhereTheTextIs) {
  Page page(300, 60);
  page.Draw(Text("Befund ohne Auff\xE4lligkeiten", 10, 15));
  Page::Box b = page.Ink();
  ASSERT_FALSE(b.empty());
  EXPECT_GE(b.x0, 10);
  EXPECT_LE(b.x0, 12);
  EXPECT_GT(b.x1, 100);  // about 27 characters of a 12-pixel font
  EXPECT_LT(b.x1, 220);
  EXPECT_GE(b.y0, 15);
  EXPECT_LE(b.y1, 15 + 15);  // within the 15-pixel line pitch of a report
  EXPECT_EQ(page.MaxDarkness(), 255);
}

TEST(LabelDrawing, NothingToDrawLeavesThePageBlank) {
  Label empty = Text("", 10, 15);
  Label hidden = Text("Hidden", 10, 15);
  hidden.visible = false;
  Label clear = Text("Clear", 10, 15);
  clear.opacity = 0;
  Label white = Text("White", 10, 15);
  white.colour = 0xFFFFFF;
  Label far = Text("Far away", 1000, 2000);
  Label before = Text("Before", -500, -100);
  for (const Label& l : {empty, hidden, clear, white, far, before}) {
    Page page(120, 40);
    page.Draw(l);
    EXPECT_TRUE(page.Ink().empty()) << "label \"" << l.text << "\"";
  }
}

TEST(LabelDrawing, UmlautsCarryTheirDots) {
  // "ä" and "a" share the bowl; only the umlaut adds ink above it.
  Page plain(40, 30), umlaut(40, 30);
  plain.Draw(Text("a", 5, 5));
  umlaut.Draw(Text("\xE4", 5, 5));  // Windows-1252 a-umlaut
  ASSERT_FALSE(plain.Ink().empty());
  ASSERT_FALSE(umlaut.Ink().empty());
  EXPECT_LT(umlaut.Ink().y0, plain.Ink().y0 - 1);
  EXPECT_EQ(umlaut.Ink().y1, plain.Ink().y1);
}

TEST(LabelDrawing, ColourAndOpacityGiveTheInkStrength) {
  const struct {
    std::int32_t colour;
    std::int16_t opacity;
    int darkness;
  } cases[] = {
      {0x00FF00, 10, 255}, {0x000000, 10, 255}, {0x0000FF, 10, 255},
      {0x808080, 10, 127}, {0x00FF00, 5, 127},  {0x00FF00, 20, 255},
  };
  for (bool ink_is_high : {true, false}) {
    for (const auto& c : cases) {
      Page page(60, 30, ink_is_high);
      Label l = Text("Hg", 5, 5);
      l.colour = c.colour;
      l.opacity = c.opacity;
      l.antialiased = false;  // hard edges: every glyph pixel gets the full ink
      page.Draw(l);
      EXPECT_EQ(page.MaxDarkness(), c.darkness)
          << "colour " << std::hex << c.colour << std::dec << " opacity " << c.opacity
          << (ink_is_high ? " MONOCHROME1" : " MONOCHROME2");
    }
  }
}

TEST(LabelDrawing, AlignmentPlacesTheTextAroundLeft) {
  Page left(200, 30), centre(200, 30), right(200, 30);
  Label l = Text("Zeile", 100, 5);
  left.Draw(l);
  l.alignment = kAlignCentre;
  centre.Draw(l);
  l.alignment = kAlignRight;
  right.Draw(l);
  EXPECT_GE(left.Ink().x0, 100);
  EXPECT_LT(centre.Ink().x0, 100);
  EXPECT_GT(centre.Ink().x1, 100);
  EXPECT_LE(right.Ink().x1, 100);
  const int w = left.Ink().x1 - left.Ink().x0;
  EXPECT_EQ(right.Ink().x1 - right.Ink().x0, w);
}

TEST(LabelDrawing, TextAcrossTheEdgeIsClipped) {
  Page page(30, 12);
  page.Draw(Text("A long line that runs off the page", -3, 2));
  Page::Box b = page.Ink();
  ASSERT_FALSE(b.empty());
  EXPECT_EQ(b.x1, 29);
}

TEST(LabelDrawing, OpaqueLabelClearsItsLineFirst) {
  Page page(80, 30);
  std::fill(page.pixels().begin(), page.pixels().end(), 200);
  Label l = Text("i", 10, 5);
  l.transparent = false;
  page.Draw(l);
  EXPECT_EQ(page.At(12, 10), 0);    // inside the box, right of the stem
  EXPECT_EQ(page.At(11, 16), 0);    // inside the box, below the baseline
  EXPECT_EQ(page.At(70, 10), 200);  // beside the box
  EXPECT_EQ(page.At(11, 2), 200);   // above the line
}

TEST(LabelDrawing, NonPositiveFontSizeIsAnError) {
  Page page(40, 20);
  Label l = Text("x", 1, 1);
  l.font_size = 0;
  try {
    page.Draw(l);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrImaging);
  }
}

}  // namespace
}  // namespace norv

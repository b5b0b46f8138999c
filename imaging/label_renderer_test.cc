#include "imaging/label_renderer.h"

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "testing/fonts.h"

#include <algorithm>
#include <vector>

namespace norv {
namespace {

// A small page; `darkness` reads ink the same way for either polarity.
struct Page {
  Page(int w, int h, bool ink_is_high = true)
      : width(w), height(h), high(ink_is_high), pixels(static_cast<std::size_t>(w) * h, high ? 0 : 255) {}
  void Draw(const Label& l) { DrawLabel(testing::Fonts(), l, {pixels.data(), width, height, high}); }
  int Darkness(int x, int y) const {
    int p = pixels[static_cast<std::size_t>(y) * width + x];
    return high ? p : 255 - p;
  }
  // The box around all ink: x0, y0, x1, y1 (x1 < 0 on a blank page), and
  // the strongest ink.
  std::vector<int> Ink() const {
    std::vector<int> b{width, height, -1, -1, 0};
    for (int y = 0; y < height; ++y) {
      for (int x = 0; x < width; ++x) {
        if (int d = Darkness(x, y)) {
          b = {std::min(b[0], x), std::min(b[1], y), std::max(b[2], x), std::max(b[3], y),
               std::max(b[4], d)};
        }
      }
    }
    return b;
  }
  int width, height;
  bool high;
  std::vector<std::uint8_t> pixels;
};

Label Text(const std::string& text, int left, int top) {
  Label l = NewLabel();
  l.text = text, l.left = left, l.top = top, l.colour = 0x00FF00;
  return l;
}

TEST(LabelFonts, TahomaComesFromTheWineFontsAndUnknownFamiliesFallBack) {
  EXPECT_NE(ResolveFontFile(testing::Fonts(), "Tahoma", 0).find("/wine/fonts/tahoma.ttf"), std::string::npos);
  EXPECT_NE(ResolveFontFile(testing::Fonts(), "tahoma", kLabelBold).find("tahomabd.ttf"), std::string::npos);
  EXPECT_NE(ResolveFontFile(testing::Fonts(), "No Such Family", 0).find("DejaVuSans"), std::string::npos);
}

TEST(LabelDrawing, InkLiesWithinTheLineWhereTheTextIs) {
  Page page(300, 60);
  page.Draw(Text("Befund ohne Auff\xE4lligkeiten", 10, 15));
  std::vector<int> b = page.Ink();
  EXPECT_GE(b[0], 10);
  EXPECT_LE(b[0], 12);
  EXPECT_GT(b[2], 100);  // some 27 characters of a 12-pixel font
  EXPECT_LT(b[2], 220);
  EXPECT_GE(b[1], 15);
  EXPECT_LT(b[3], 30);   // within the 15-pixel pitch of report lines
  EXPECT_EQ(b[4], 255);
}

TEST(LabelDrawing, NothingToDrawLeavesThePageBlank) {
  Label hidden = Text("Hidden", 10, 15), clear = Text("Clear", 10, 15), white = Text("White", 10, 15);
  hidden.visible = false, clear.opacity = 0, white.colour = 0xFFFFFF;
  for (const Label& l : {Text("", 10, 15), hidden, clear, white, Text("Far away", 1000, 2000),
                         Text("Before", -500, -100)}) {
    Page page(120, 40);
    page.Draw(l);
    EXPECT_LT(page.Ink()[2], 0) << "label \"" << l.text << "\"";
  }
}

TEST(LabelDrawing, UmlautsCarryTheirDots) {
  Page plain(40, 30), umlaut(40, 30);
  plain.Draw(Text("a", 5, 5));
  umlaut.Draw(Text("\xE4", 5, 5));  // Windows-1252 a-umlaut: ink above the bowl
  EXPECT_LT(umlaut.Ink()[1], plain.Ink()[1] - 1);
  EXPECT_EQ(umlaut.Ink()[3], plain.Ink()[3]);
}

TEST(LabelDrawing, ColourAndOpacityGiveTheInkStrengthInEitherPolarity) {
  const struct {
    std::int32_t colour;
    std::int16_t opacity;
    int darkness;
  } cases[] = {{0x00FF00, 10, 255}, {0x000000, 10, 255}, {0x808080, 10, 127}, {0x00FF00, 5, 127}};
  for (bool high : {true, false}) {
    for (const auto& c : cases) {
      Page page(60, 30, high);
      Label l = Text("Hg", 5, 5);
      l.colour = c.colour, l.opacity = c.opacity;
      l.antialiased = false;  // hard edges: every glyph pixel takes the full ink
      page.Draw(l);
      EXPECT_EQ(page.Ink()[4], c.darkness) << std::hex << c.colour << " " << c.opacity << " " << high;
    }
  }
}

TEST(LabelDrawing, RightAlignedOpaqueLabelAndClipping) {
  Page page(80, 30), edge(30, 12);
  std::fill(page.pixels.begin(), page.pixels.end(), 200);
  Label l = Text("i", 40, 5);
  l.alignment = kAlignRight, l.transparent = false;
  page.Draw(l);
  EXPECT_EQ(page.Darkness(39, 10), 0);    // the cleared box ends at left; beside the stem
  EXPECT_EQ(page.Darkness(41, 10), 200);  // after left
  EXPECT_EQ(page.Darkness(38, 2), 200);   // above the line
  edge.Draw(Text("A long line that runs off the page", -3, 2));
  EXPECT_EQ(edge.Ink()[2], 29);
}

}  // namespace
}  // namespace norv

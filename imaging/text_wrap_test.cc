#include "imaging/text_wrap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace norv {
namespace {

// One pixel per character, except "W", which takes three.
int Width(std::string_view text) {
  int w = 0;
  for (char c : text) w += c == 'W' ? 3 : 1;
  return w;
}

std::string NonBlank(std::string_view text) {
  std::string out;
  for (char c : text) {
    if (c != ' ') out.push_back(c);
  }
  return out;
}

TEST(WrapText, PiecesFitAndNoCharacterIsLost) {
  const struct {
    std::string text;
    int width;
    std::vector<std::string> pieces;
  } cases[] = {
      {"short", 10, {"short"}},
      {"  fits exactly  ", 16, {"  fits exactly  "}},  // a line that fits stays as it is
      {"the quick brown fox", 10, {"the quick", "brown fox"}},
      {"the quick brown fox", 9, {"the quick", "brown fox"}},
      {"the quick brown fox", 8, {"the", "quick", "brown", "fox"}},
      {"a  b  c", 4, {"a  b", "c"}},
      {"  indented words here", 12, {"  indented", "words here"}},
      {"supercalifragilistic", 8, {"supercal", "ifragili", "stic"}},
      {"a verylongword b", 5, {"a", "veryl", "ongwo", "rd b"}},
      {"WWW iii", 5, {"W", "W", "W", "iii"}},
      {"          ", 4, {""}},
      {"", 0, {""}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> pieces = WrapText(c.text, c.width, Width);
    EXPECT_EQ(pieces, c.pieces) << c.text << " in " << c.width;
    std::string joined;
    for (const std::string& p : pieces) {
      EXPECT_TRUE(Width(p) <= c.width || pieces.size() == 1) << p;
      joined += p;
    }
    EXPECT_EQ(NonBlank(joined), NonBlank(c.text));
  }
}

}  // namespace
}  // namespace norv

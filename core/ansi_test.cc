#include "core/ansi.h"

#include <gtest/gtest.h>

namespace norv {
namespace {

TEST(Ansi, UmlautsRoundTripThroughUtf8) {
  const std::string ansi = "M\xFCller J\xF6rg \xC4\xD6\xDC\xDF \x80";  // Müller Jörg ÄÖÜß €
  const std::string utf8 = AnsiToUtf8(ansi);
  EXPECT_EQ(utf8, "M\xC3\xBCller J\xC3\xB6rg \xC3\x84\xC3\x96\xC3\x9C\xC3\x9F \xE2\x82\xAC");
  EXPECT_EQ(Utf8ToAnsi(utf8), ansi);
}

TEST(Ansi, EveryByteSurvivesTheRoundTrip) {
  std::string all;
  for (int b = 0; b < 256; ++b) all.push_back(static_cast<char>(b));
  EXPECT_EQ(Utf8ToAnsi(AnsiToUtf8(all)), all);
}

TEST(Ansi, UnmappableAndInvalidBecomeQuestionMarks) {
  EXPECT_EQ(Utf8ToAnsi("\xE4\xB8\xAD"), "?");      // a CJK character
  EXPECT_EQ(Utf8ToAnsi("a\xC3"), "a?");             // truncated sequence
  EXPECT_EQ(Utf8ToAnsi("\xFF\xFE"), "??");          // not UTF-8 at all
}

TEST(Ansi, Utf16Le) {
  std::string u16("M\0\xFC\0\xAC\x20", 6);  // M ü €
  EXPECT_EQ(Utf16LeToAnsi(u16), "M\xFC\x80");
  EXPECT_EQ(Utf16LeToAnsi(std::string("\x3D\xD8\x00\xDE", 4)), "?");  // emoji pair
  EXPECT_EQ(Utf16LeToAnsi(std::string("A\0B", 3)), "A");              // odd byte dropped
}

TEST(Ansi, CharacterSetTests) {
  EXPECT_TRUE(IsAscii("abc"));
  EXPECT_FALSE(IsAscii("\xE4"));
  EXPECT_TRUE(AnsiFitsLatin1("\xE4\xF6"));
  EXPECT_FALSE(AnsiFitsLatin1("\x80"));
  EXPECT_EQ(AsciiUpper("hl7\xE4"), "HL7\xE4");
}

}  // namespace
}  // namespace norv

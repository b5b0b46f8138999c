#include "imaging/dicom_values.h"

#include <gtest/gtest.h>

namespace norv {
namespace {

TEST(DicomValues, DatesTakeTheirDicomFormOrNone) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"2006-12-24", "20061224"}, {"20061224", "20061224"}, {"2024-02-29", "20240229"},
      {"2023-02-29", ""},         {"1900-02-29", ""},       {"2000-02-29", "20000229"},
      {"2006-13-01", ""},         {"2006-00-10", ""},       {"2006-12-32", ""},
      {"--", ""},                 {"1960--60", ""},         {"", ""},
      {"2006/12/24", ""},         {"2006-1-24", ""},        {"200612240930", ""},
      {"2006-12-2x", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DicomDate(c.in), c.out) << "input " << c.in;
}

TEST(DicomValues, TimesTakeTheirDicomFormOrNone) {
  const struct {
    const char* in;
    const char* out;
  } cases[] = {
      {"09:30", "093000"}, {"09:30:15", "093015"}, {"0930", "093000"}, {"093015", "093015"},
      {"23:59", "235900"}, {"24:00", ""},          {"30:15", ""},      {"12:60", ""},
      {"09:30:60", ""},    {"9:30", ""},           {"", ""},           {":", ""},
      {"09-30", ""},       {"ab:cd", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(DicomTime(c.in), c.out) << "input " << c.in;
}

TEST(DicomValues, SexKeepsOnlyTheDicomTerms) {
  EXPECT_EQ(DicomSex("M"), "M");
  EXPECT_EQ(DicomSex("f"), "F");
  EXPECT_EQ(DicomSex("O"), "O");
  for (const char* other : {"U", "A", "N", "", "MF", "male"}) {
    EXPECT_EQ(DicomSex(other), "") << other;
  }
}

TEST(DicomValues, WholeNumbersWithinRange) {
  EXPECT_EQ(ParseWholeNumber(" 842 ", 0, 65535), 842);
  EXPECT_EQ(ParseWholeNumber("+7", 0, 10), 7);
  EXPECT_EQ(ParseWholeNumber("-1", -5, 5), -1);
  EXPECT_EQ(ParseWholeNumber("65536", 0, 65535), std::nullopt);
  EXPECT_EQ(ParseWholeNumber("-1", 0, 65535), std::nullopt);
  EXPECT_EQ(ParseWholeNumber("+-1", -5, 5), std::nullopt);
  EXPECT_EQ(ParseWholeNumber("1.5", 0, 10), std::nullopt);
  EXPECT_EQ(ParseWholeNumber("", 0, 10), std::nullopt);
  EXPECT_EQ(ParseWholeNumber("12a", 0, 100), std::nullopt);
}

}  // namespace
}  // namespace norv

#include "imaging/dicom_values.h"

#include <gtest/gtest.h>

namespace norv {
namespace {

TEST(DicomValues, ReaderFormsBecomeDicomFormsOrEmpty) {
  const struct {
    std::string (*convert)(std::string_view);
    const char* in;
    const char* out;
  } cases[] = {
      {DicomDate, "2006-12-24", "20061224"}, {DicomDate, "20061224", "20061224"},
      {DicomDate, "2024-02-29", "20240229"}, {DicomDate, "1900-02-29", ""},
      {DicomDate, "2006-12-32", ""},         {DicomDate, "1960--60", ""},
      {DicomTime, "09:30", "093000"},        {DicomTime, "09:30:15", "093015"},
      {DicomTime, "24:00", ""},              {DicomTime, "30:15", ""},
      {DicomTime, "9:30", ""},               {DicomSex, "f", "F"},
      {DicomSex, "U", ""},
  };
  for (const auto& c : cases) EXPECT_EQ(c.convert(c.in), c.out) << "input \"" << c.in << "\"";
}

}  // namespace
}  // namespace norv

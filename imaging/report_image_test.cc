#include "imaging/report_image.h"

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "testing/fonts.h"

#include <algorithm>

#include "imaging/report_page.h"

namespace norv {
namespace {

bool Blank(const DicomImage& page) {
  return std::all_of(page.Pixels().begin(), page.Pixels().end(), [](auto p) { return p == 0; });
}

TEST(CreateReportImage, BlankSecondaryCapturePageOfA4Points) {
  DicomImage page = CreateReportImage();
  const struct {
    std::uint16_t group, element;
    const char* value;
  } expected[] = {
      {0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7"}, {0x0008, 0x0060, "SC"},
      {0x0028, 0x0002, "1"}, {0x0028, 0x0004, "MONOCHROME1"}, {0x0028, 0x0010, "842"},
      {0x0028, 0x0011, "595"}, {0x0028, 0x0100, "8"}, {0x0028, 0x0101, "8"},
      {0x0028, 0x0102, "7"},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(page.Attribute(e.group, e.element), e.value) << std::hex << e.group << "," << e.element;
  }
  EXPECT_EQ(page.Pixels().size(), 500990u);
  EXPECT_EQ(static_cast<std::size_t>(page.ImageWidth()) * page.ImageHeight(), page.Pixels().size());
  EXPECT_TRUE(Blank(page));
  EXPECT_FALSE(page.HasAttribute(0x0010, 0x0010));  // no patient data yet
  EXPECT_FALSE(page.HasAttribute(0x0020, 0x0013));
}

TEST(CreateReportImage, EachCallGivesAnIndependentImage) {
  DicomImage a = CreateReportImage();
  DicomImage b = CreateReportImage();
  EXPECT_NE(a.InstanceName(), b.InstanceName());
  EXPECT_NE(a.Attribute(0x0020, 0x000D), b.Attribute(0x0020, 0x000D));
  a.SetPatientName("Muster^Hans");
  a.AddLabel(RenderReportPage("Text", 10, 15, true, 0, 12, 65280));
  a.FinishPage(testing::Fonts());
  EXPECT_FALSE(Blank(a));
  EXPECT_TRUE(Blank(b));
  EXPECT_EQ(b.PatientName(), "");
}

}  // namespace
}  // namespace norv

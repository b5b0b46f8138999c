#include "imaging/report_page.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "imaging/report_image.h"

namespace norv {
namespace {

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
  ASSERT_TRUE(page.HasAttribute(0x7FE0, 0x0010));
  EXPECT_EQ(page.Pixels().size(), 500990u);
  EXPECT_EQ(static_cast<std::size_t>(page.ImageWidth()) * page.ImageHeight(), page.Pixels().size());
  EXPECT_TRUE(std::all_of(page.Pixels().begin(), page.Pixels().end(), [](auto p) { return p == 0; }));
  // Nothing about the patient or the study yet.
  for (auto [g, e] : {std::pair{0x0010, 0x0010}, {0x0010, 0x0020}, {0x0008, 0x0020}, {0x0020, 0x0013}}) {
    EXPECT_FALSE(page.HasAttribute(g, e)) << std::hex << g << "," << e;
  }
}

TEST(CreateReportImage, EachCallGivesAnIndependentImage) {
  DicomImage a = CreateReportImage();
  DicomImage b = CreateReportImage();
  EXPECT_NE(a.InstanceName(), b.InstanceName());
  EXPECT_NE(a.Attribute(0x0020, 0x000D), b.Attribute(0x0020, 0x000D));
  a.SetPatientName("Muster^Hans");
  a.AddLabel(RenderReportPage("Text", 10, 15, true, 0, 12, 65280));
  a.FinishPage();
  EXPECT_EQ(b.PatientName(), "");
  EXPECT_TRUE(b.Labels().empty());
  EXPECT_TRUE(std::all_of(b.Pixels().begin(), b.Pixels().end(), [](auto p) { return p == 0; }));
  EXPECT_FALSE(std::all_of(a.Pixels().begin(), a.Pixels().end(), [](auto p) { return p == 0; }));
}

TEST(RenderReportPage, LabelCarriesTheLinesTextPositionAndFont) {
  Label l = RenderReportPage("Befund", 10, 780, true, 0, 12, 65280);
  EXPECT_EQ(l.text, "Befund");
  EXPECT_EQ(l.left, 10);
  EXPECT_EQ(l.top, 780);
  EXPECT_EQ(l.font_name, "Tahoma");
  EXPECT_EQ(l.font_size, 12);
  EXPECT_EQ(l.colour, 65280);
  EXPECT_EQ(l.style, 0);
  EXPECT_TRUE(l.antialiased);
  EXPECT_TRUE(l.visible);
  EXPECT_TRUE(l.transparent);
  EXPECT_EQ(l.opacity, 10);
  EXPECT_EQ(l.alignment, kAlignLeft);

  // Empty text and positions beyond the page pass through unchanged.
  Label far = RenderReportPage("", -5, 5000, false, kLabelBold, 20, 0);
  EXPECT_EQ(far.text, "");
  EXPECT_EQ(far.left, -5);
  EXPECT_EQ(far.top, 5000);
  EXPECT_FALSE(far.antialiased);
  EXPECT_EQ(far.style, kLabelBold);
  EXPECT_EQ(far.font_size, 20);
}

}  // namespace
}  // namespace norv

#include "imaging/dicom_image.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <vector>

#include "app/error.h"
#include "imaging/report_image.h"
#include "imaging/report_page.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::TempDir;

// A report page with every value the report handler gives it.
DicomImage FilledPage(const std::string& name = "Muster^Hans") {
  DicomImage page = CreateReportImage();
  page.SetPatientID("4711");
  page.SetPatientName(name);
  page.SetAccessionNumber("ACC0815");
  page.SetBirthDate("1960-01-31");
  page.SetSex("F");
  page.AddAttribute(0x0008, 0x0020, "2006-12-24");
  page.AddAttribute(0x0008, 0x0022, "2006-12-24");
  page.AddAttribute(0x0008, 0x0030, "09:30");
  page.AddAttribute(0x0008, 0x0033, "09:30");
  page.AddAttribute(0x0008, 0x0090, "Meier^Karl");
  for (std::uint16_t e : {0x0010, 0x0011, 0x0012, 0x0013}) page.AddAttribute(0x0020, e, std::int16_t{1});
  return page;
}

// dciodvfy's findings on a file, one per line.
std::vector<std::string> Dciodvfy(const TempDir& dir, const std::string& file) {
  const std::string out = dir / "dciodvfy.txt";
  int rc = std::system(("dciodvfy '" + file + "' >'" + out + "' 2>&1").c_str());
  EXPECT_FALSE(WIFEXITED(rc) && WEXITSTATUS(rc) == 127) << "dciodvfy (dicom3tools) is not installed";
  std::vector<std::string> findings;
  std::istringstream in(ReadFile(out));
  for (std::string line; std::getline(in, line);) {
    if (line.rfind("Error", 0) == 0 || line.rfind("Warning", 0) == 0) findings.push_back(line);
  }
  return findings;
}

// The one finding expected on every report page: "SC" is not among the
// defined terms of Modality, but the page's modality is fixed.
bool IsModalityScWarning(const std::string& finding) {
  return finding.rfind("Warning", 0) == 0 && finding.find("<SC>") != std::string::npos &&
         finding.find("<Modality>") != std::string::npos;
}

void ExpectImagingError(const std::function<void()>& call, const std::string& text) {
  try {
    call();
    ADD_FAILURE() << "no error, expected one mentioning " << text;
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrImaging);
    EXPECT_NE(std::string(e.what()).find(text), std::string::npos) << e.what();
  }
}

TEST(DicomImageAttributes, ValuesAreStoredInTheirAttributesForm) {
  const struct {
    std::uint16_t group, element;
    const char* in;
    const char* stored;
  } cases[] = {
      {0x0008, 0x0020, "2006-12-24", "20061224"},  // DA
      {0x0008, 0x0020, "--", ""},
      {0x0008, 0x0030, "09:30", "093000"},  // TM
      {0x0008, 0x0030, "30:15", ""},
      {0x0020, 0x0011, " 12 ", "12"},  // IS
      {0x0020, 0x0011, "twelve", ""},
      {0x0028, 0x0010, "842", "842"},  // US
      {0x0028, 0x0010, "-1", ""},
      {0x0028, 0x0010, "70000", ""},
      {0x0010, 0x0040, "m", "M"},  // Patient's Sex
      {0x0010, 0x0040, "U", ""},
      {0x0010, 0x0020, " 08 15 ", " 08 15 "},  // LO, kept as given
  };
  for (const auto& c : cases) {
    DicomImage image;
    image.AddAttribute(c.group, c.element, c.in);
    EXPECT_EQ(image.Attribute(c.group, c.element), c.stored) << "input \"" << c.in << "\"";
    EXPECT_TRUE(image.HasAttribute(c.group, c.element));
  }
  DicomImage image;
  image.AddAttribute(0x0020, 0x0010, std::int16_t{1});  // SH from a number
  image.AddAttribute(0x0028, 0x0011, std::int16_t{595});
  image.AddAttribute(0x0028, 0x0010, std::int16_t{-1});
  EXPECT_EQ(image.Attribute(0x0020, 0x0010), "1");
  EXPECT_EQ(image.ImageWidth(), 595);
  EXPECT_EQ(image.ImageHeight(), 0);
  EXPECT_FALSE(image.HasAttribute(0x0010, 0x0010));
}

TEST(DicomImageAttributes, UnknownAttributesAndWrongKindsAreErrors) {
  DicomImage image;
  const std::uint8_t bytes[2] = {1, 2};
  ExpectImagingError([&] { image.AddAttribute(0x7777, 0x0001, "x"); }, "(7777,0001)");
  ExpectImagingError([&] { image.AddAttribute(0x0010, 0x0010, bytes); }, "(0010,0010)");
  ExpectImagingError([&] { image.AddAttribute(0x7FE0, 0x0010, "pixels"); }, "Pixel Data");
  ExpectImagingError([&] { image.AddAttribute(0x0002, 0x0010, "1.2"); }, "(0002,0010)");
  ExpectImagingError([&] { image.AddAttribute(0x0008, 0x0005, "ISO_IR 100"); }, "(0008,0005)");
}

TEST(DicomImagePages, DerivedPageIsIndependentAndStaysInTheSeries) {
  DicomImage first = FilledPage();
  first.AddLabel(RenderReportPage("Zeile 1", 10, 15, true, 0, 12, 65280));
  DicomImage second = first.DerivePage(0, 0, first.ImageWidth(), first.ImageHeight());

  EXPECT_NE(second.InstanceName(), first.InstanceName());
  EXPECT_FALSE(second.InstanceName().empty());
  EXPECT_EQ(second.Attribute(0x0020, 0x000D), first.Attribute(0x0020, 0x000D));
  EXPECT_EQ(second.Attribute(0x0020, 0x000E), first.Attribute(0x0020, 0x000E));
  EXPECT_EQ(second.Attribute(0x0020, 0x0013), "2");
  EXPECT_EQ(second.DerivePage(0, 0, 595, 842).Attribute(0x0020, 0x0013), "3");
  for (auto [g, e] : {std::pair{0x0010, 0x0010}, {0x0008, 0x0020}, {0x0028, 0x0004}, {0x0008, 0x0016}}) {
    EXPECT_EQ(second.Attribute(g, e), first.Attribute(g, e)) << g << "," << e;
  }
  ASSERT_EQ(second.Labels().size(), 1u);

  // Drawing on one page leaves the other's pixels alone.
  second.ClearLabels();
  second.AddLabel(RenderReportPage("Zeile 53", 10, 15, true, 0, 12, 65280));
  second.FinishPage();
  std::vector<std::uint8_t> finished(second.Pixels().begin(), second.Pixels().end());
  EXPECT_TRUE(std::all_of(first.Pixels().begin(), first.Pixels().end(), [](auto p) { return p == 0; }));
  first.FinishPage();
  EXPECT_NE(std::vector<std::uint8_t>(first.Pixels().begin(), first.Pixels().end()), finished);
  EXPECT_EQ(std::vector<std::uint8_t>(second.Pixels().begin(), second.Pixels().end()), finished);

  // Finishing again draws nothing twice.
  second.FinishPage();
  EXPECT_EQ(std::vector<std::uint8_t>(second.Pixels().begin(), second.Pixels().end()), finished);
}

TEST(DicomImagePages, DerivingARegionCropsAndOutsideRegionsAreErrors) {
  DicomImage page = CreateReportImage();
  page.AddLabel(RenderReportPage("Kopf", 10, 15, false, 0, 12, 0));
  page.FinishPage();
  DicomImage part = page.DerivePage(5, 10, 100, 20);
  EXPECT_EQ(part.ImageWidth(), 100);
  EXPECT_EQ(part.ImageHeight(), 20);
  ASSERT_EQ(part.Pixels().size(), 2000u);
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < 100; ++x) {
      ASSERT_EQ(part.Pixels()[y * 100 + x], page.Pixels()[(10 + y) * 595 + 5 + x]) << x << "," << y;
    }
  }
  ExpectImagingError([&] { (void)page.DerivePage(0, 0, 596, 842); }, "not within");
  ExpectImagingError([&] { (void)page.DerivePage(-1, 0, 10, 10); }, "not within");
  ExpectImagingError([&] { (void)page.DerivePage(0, 0, 0, 10); }, "not within");
}

TEST(DicomImagePages, FinishingNeedsMatchingEightBitMonochromePixels) {
  DicomImage no_pixels;
  no_pixels.AddLabel(NewLabel());
  ExpectImagingError([&] { no_pixels.FinishPage(); }, "MONOCHROME");

  DicomImage short_buffer = CreateReportImage();
  const std::vector<std::uint8_t> too_small(100, 0);
  short_buffer.AddAttribute(0x7FE0, 0x0010, too_small);
  short_buffer.AddLabel(NewLabel());
  ExpectImagingError([&] { short_buffer.FinishPage(); }, "does not match");
  ExpectImagingError([&] { short_buffer.WriteFile("/nonexistent/x.dcm"); }, "does not match");
}

TEST(DicomFile, WrittenPagePassesDciodvfyWithOnlyTheModalityWarning) {
  TempDir dir;
  DicomImage page = FilledPage("M\xFCller^J\xF6rg");
  for (int i = 1; i <= 52; ++i) {
    page.AddLabel(RenderReportPage("Befund ohne Auff\xE4lligkeiten " + std::to_string(i), 10, 15 * i,
                                   true, 0, 12, 65280));
  }
  page.FinishPage();
  DicomImage next = page.DerivePage(0, 0, page.ImageWidth(), page.ImageHeight());
  page.WriteFile(dir / "first.dcm");
  next.WriteFile(dir / "next.dcm");
  for (const char* name : {"first.dcm", "next.dcm"}) {
    std::vector<std::string> findings = Dciodvfy(dir, dir / name);
    EXPECT_FALSE(findings.empty()) << "dciodvfy gave no findings at all; is it working?";
    for (const std::string& f : findings) EXPECT_TRUE(IsModalityScWarning(f)) << name << ": " << f;
  }
}

TEST(DicomFile, ReadBackGivesTheValuesInDicomFormAndThePixels) {
  TempDir dir;
  DicomImage page = FilledPage();
  page.AddLabel(RenderReportPage("Zeile", 10, 15, true, 0, 12, 65280));
  page.FinishPage();
  page.WriteFile(dir / "p.dcm");
  DicomImage back = DicomImage::ReadFile(dir / "p.dcm");
  const struct {
    std::uint16_t group, element;
    const char* value;
  } expected[] = {
      {0x0008, 0x0016, "1.2.840.10008.5.1.4.1.1.7"},
      {0x0008, 0x0020, "20061224"}, {0x0008, 0x0022, "20061224"}, {0x0008, 0x0030, "093000"},
      {0x0008, 0x0033, "093000"}, {0x0008, 0x0050, "ACC0815"}, {0x0008, 0x0060, "SC"},
      {0x0008, 0x0064, "WSD"}, {0x0008, 0x0090, "Meier^Karl"}, {0x0010, 0x0010, "Muster^Hans"},
      {0x0010, 0x0020, "4711"}, {0x0010, 0x0030, "19600131"}, {0x0010, 0x0040, "F"},
      {0x0020, 0x0010, "1"}, {0x0020, 0x0011, "1"}, {0x0020, 0x0012, "1"}, {0x0020, 0x0013, "1"},
      {0x0028, 0x0002, "1"}, {0x0028, 0x0004, "MONOCHROME1"}, {0x0028, 0x0010, "842"},
      {0x0028, 0x0011, "595"}, {0x0028, 0x0100, "8"}, {0x0028, 0x0101, "8"},
      {0x0028, 0x0102, "7"}, {0x0028, 0x0103, "0"}, {0x0028, 0x0301, "YES"},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(back.Attribute(e.group, e.element), e.value) << std::hex << e.group << "," << e.element;
  }
  EXPECT_EQ(back.InstanceName(), page.InstanceName());
  EXPECT_EQ(back.Attribute(0x0020, 0x000D), page.Attribute(0x0020, 0x000D));
  EXPECT_TRUE(std::equal(back.Pixels().begin(), back.Pixels().end(), page.Pixels().begin(),
                         page.Pixels().end()));
  // Part 10 file: preamble, "DICM", explicit VR little endian.
  const std::string bytes = ReadFile(dir / "p.dcm");
  EXPECT_EQ(bytes.substr(128, 4), "DICM");
  EXPECT_NE(bytes.find("1.2.840.10008.1.2.1"), std::string::npos);
}

TEST(DicomFile, CharacterSetFollowsTheTexts) {
  const struct {
    const char* name;          // Windows-1252, as the program holds it
    const char* charset;       // expected Specific Character Set, "" = none
    const char* stored_bytes;  // the name's bytes in the file
  } cases[] = {
      {"Muster^Hans", "", "Muster^Hans"},
      {"M\xFCller^J\xF6rg", "ISO_IR 100", "M\xFCller^J\xF6rg"},
      {"\x8Atefan^\x80uro", "ISO_IR 192", "\xC5\xA0tefan^\xE2\x82\xACuro"},
  };
  for (const auto& c : cases) {
    TempDir dir;
    DicomImage page = FilledPage(c.name);
    page.WriteFile(dir / "p.dcm");
    const std::string bytes = ReadFile(dir / "p.dcm");
    EXPECT_NE(bytes.find(c.stored_bytes), std::string::npos) << c.name;
    const bool has_charset = bytes.find("ISO_IR") != std::string::npos;
    EXPECT_EQ(has_charset, *c.charset != '\0') << c.name;
    if (*c.charset) {
      EXPECT_NE(bytes.find(c.charset), std::string::npos) << c.name;
    }
    EXPECT_EQ(DicomImage::ReadFile(dir / "p.dcm").PatientName(), c.name);
    for (const std::string& f : Dciodvfy(dir, dir / "p.dcm")) {
      EXPECT_TRUE(IsModalityScWarning(f)) << c.name << ": " << f;
    }
  }
}

TEST(DicomFile, ValuesThatBreakTheirVrAreLeftEmpty) {
  TempDir dir;
  DicomImage page = FilledPage();
  page.SetAccessionNumber("12345678901234567");  // SH holds at most 16 characters
  page.SetPatientID("47\\11");                   // a backslash would make two values
  page.AddAttribute(0x0008, 0x0090, "Dr\x01Meier");
  page.WriteFile(dir / "p.dcm");
  DicomImage back = DicomImage::ReadFile(dir / "p.dcm");
  EXPECT_TRUE(back.HasAttribute(0x0008, 0x0050));
  EXPECT_EQ(back.Attribute(0x0008, 0x0050), "");
  EXPECT_EQ(back.Attribute(0x0010, 0x0020), "");
  EXPECT_EQ(back.Attribute(0x0008, 0x0090), "");
  EXPECT_EQ(back.Attribute(0x0010, 0x0010), "Muster^Hans");
  for (const std::string& f : Dciodvfy(dir, dir / "p.dcm")) {
    // The now empty Patient ID also draws a warning about DICOMDIR records.
    if (f.find("needed to build DICOMDIR - Patient ID") != std::string::npos) continue;
    EXPECT_TRUE(IsModalityScWarning(f)) << f;
  }
}

TEST(DicomFile, NoPartialFileIsLeftBehind) {
  TempDir dir;
  DicomImage page = FilledPage();
  page.WriteFile(dir / "p.dcm");
  EXPECT_TRUE(Exists(dir / "p.dcm"));
  EXPECT_FALSE(Exists(dir / "p.dcm.part"));

  // The target cannot be replaced (it is a directory): an error, and the
  // partial file is gone.
  std::filesystem::create_directory(dir / "taken.dcm");
  ExpectImagingError([&] { page.WriteFile(dir / "taken.dcm"); }, "cannot rename");
  EXPECT_FALSE(Exists(dir / "taken.dcm.part"));
  // The directory does not exist.
  ExpectImagingError([&] { page.WriteFile(dir / "missing/p.dcm"); }, "cannot write");
  ExpectImagingError([&] { DicomImage().WriteFile(dir / "empty.dcm"); }, "no Pixel Data");
  EXPECT_FALSE(Exists(dir / "empty.dcm"));
}

}  // namespace
}  // namespace norv

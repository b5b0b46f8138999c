#include "imaging/dicom_image.h"

#include <gtest/gtest.h>

#include "platform/file_system.h"
#include "testing/fonts.h"
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <functional>
#include <sstream>
#include <vector>

#include "core/error.h"
#include "imaging/report_image.h"
#include "imaging/report_page.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::Exists;
using testing::ReadFile;
using testing::TempDir;

// A report page with the values the report handler gives it.
DicomImage FilledPage(const std::string& name = "Muster^Hans") {
  DicomImage page = CreateReportImage();
  page.SetPatientID("4711");
  page.SetPatientName(name);
  page.SetAccessionNumber("ACC0815");
  page.SetBirthDate("1960-01-31");
  page.SetSex("F");
  page.AddAttribute(0x0008, 0x0020, "2006-12-24");
  page.AddAttribute(0x0008, 0x0030, "09:30");
  page.AddAttribute(0x0008, 0x0090, "Meier^Karl");
  for (std::uint16_t e : {0x0010, 0x0011, 0x0012, 0x0013}) page.AddAttribute(0x0020, e, std::int16_t{1});
  return page;
}

// dciodvfy's errors and warnings on a file, except the one every report page
// draws: "SC" is not among Modality's defined terms, but it is fixed.
std::vector<std::string> DciodvfyFindings(const TempDir& dir, const std::string& file) {
  const std::string out = dir / "dciodvfy.txt";
  int rc = std::system(("dciodvfy '" + file + "' >'" + out + "' 2>&1").c_str());
  EXPECT_FALSE(WIFEXITED(rc) && WEXITSTATUS(rc) == 127) << "dciodvfy (dicom3tools) is not installed";
  std::vector<std::string> findings;
  std::istringstream in(ReadFile(out));
  for (std::string line; std::getline(in, line);) {
    bool sc = line.find("<SC> for value 1 of attribute <Modality>") != std::string::npos;
    if ((line.rfind("Error", 0) == 0 || line.rfind("Warning", 0) == 0) && !sc) findings.push_back(line);
  }
  return findings;
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
      {0x0008, 0x0020, "2006-12-24", "20061224"}, {0x0008, 0x0020, "--", ""},        // DA
      {0x0008, 0x0020, "2024-02-29", "20240229"}, {0x0008, 0x0020, "1900-02-29", ""},
      {0x0008, 0x0020, "20061224", "20061224"},   {0x0008, 0x0020, "1960--60", ""},
      {0x0008, 0x0030, "09:30", "093000"},        {0x0008, 0x0030, "30:15", ""},     // TM
      {0x0008, 0x0030, "09:30:15", "093015"},     {0x0008, 0x0030, "24:00", ""},
      {0x0020, 0x0011, " 12 ", "12"},             {0x0020, 0x0011, "twelve", ""},    // IS
      {0x0028, 0x0010, "842", "842"},             {0x0028, 0x0010, "70000", ""},     // US
      {0x0010, 0x0040, "m", "M"},                 {0x0010, 0x0040, "U", ""},         // Sex
      {0x0010, 0x0020, " 08 15 ", " 08 15 "},                                        // LO
  };
  for (const auto& c : cases) {
    DicomImage image;
    image.AddAttribute(c.group, c.element, c.in);
    EXPECT_EQ(image.Attribute(c.group, c.element), c.stored) << "input \"" << c.in << "\"";
  }
  DicomImage image;
  image.AddAttribute(0x0020, 0x0010, std::int16_t{1});  // a number into a text (SH)
  image.AddAttribute(0x0028, 0x0011, std::int16_t{595});
  image.AddAttribute(0x0028, 0x0010, std::int16_t{-1});  // US cannot hold it
  EXPECT_EQ(image.Attribute(0x0020, 0x0010), "1");
  EXPECT_EQ(image.ImageWidth(), 595);
  EXPECT_TRUE(image.HasAttribute(0x0028, 0x0010));
  EXPECT_EQ(image.ImageHeight(), 0);
}

TEST(DicomImageAttributes, UnknownAttributesWrongKindsAndBadPagesAreErrors) {
  DicomImage image;
  const std::vector<std::uint8_t> bytes(100, 0);
  ExpectImagingError([&] { image.AddAttribute(0x7777, 0x0001, "x"); }, "(7777,0001)");
  ExpectImagingError([&] { image.AddAttribute(0x0010, 0x0010, bytes); }, "(0010,0010)");
  ExpectImagingError([&] { image.AddAttribute(0x7FE0, 0x0010, "pixels"); }, "Pixel Data");
  ExpectImagingError([&] { image.AddAttribute(0x0002, 0x0010, "1.2"); }, "(0002,0010)");
  ExpectImagingError([&] { image.AddAttribute(0x0008, 0x0005, "ISO_IR 100"); }, "(0008,0005)");
  image.AddLabel(NewLabel());
  ExpectImagingError([&] { image.FinishPage(testing::Fonts()); }, "MONOCHROME");

  DicomImage short_buffer = CreateReportImage();
  short_buffer.AddAttribute(0x7FE0, 0x0010, bytes);
  short_buffer.AddLabel(NewLabel());
  ExpectImagingError([&] { short_buffer.FinishPage(testing::Fonts()); }, "does not match");
  ExpectImagingError([&] { short_buffer.WriteFile(PlatformFileSystem(), "/nonexistent/x.dcm"); }, "does not match");
}

TEST(DicomImagePages, DerivedPageIsIndependentAndStaysInTheSeries) {
  DicomImage first = FilledPage();
  first.AddLabel(RenderReportPage("Zeile 1", 10, 15, true, 0, 12, 65280));
  DicomImage second = first.DerivePage();
  EXPECT_NE(second.InstanceName(), first.InstanceName());
  EXPECT_EQ(second.Attribute(0x0020, 0x000D), first.Attribute(0x0020, 0x000D));
  EXPECT_EQ(second.Attribute(0x0020, 0x000E), first.Attribute(0x0020, 0x000E));
  EXPECT_EQ(second.Attribute(0x0020, 0x0013), "2");
  EXPECT_EQ(second.DerivePage().Attribute(0x0020, 0x0013), "3");
  EXPECT_EQ(second.PatientName(), first.PatientName());
  EXPECT_EQ(second.Labels().size(), 1u);

  second.ClearLabels();
  second.AddLabel(RenderReportPage("Zeile 53", 10, 15, true, 0, 12, 65280));
  second.FinishPage(testing::Fonts());
  const std::vector<std::uint8_t> finished(second.Pixels().begin(), second.Pixels().end());
  EXPECT_TRUE(std::all_of(first.Pixels().begin(), first.Pixels().end(), [](auto p) { return p == 0; }));
  first.FinishPage(testing::Fonts());
  EXPECT_FALSE(std::equal(finished.begin(), finished.end(), first.Pixels().begin()));
  second.FinishPage(testing::Fonts());  // nothing is drawn twice
  EXPECT_TRUE(std::equal(finished.begin(), finished.end(), second.Pixels().begin()));
}

TEST(DicomFile, FinishedPagesPassDciodvfyAndReadBackUnchanged) {
  TempDir dir;
  DicomImage page = FilledPage();
  for (int i = 1; i <= 52; ++i) {
    page.AddLabel(RenderReportPage("Befund ohne Auff\xE4lligkeiten " + std::to_string(i), 10,
                                   15 * i, true, 0, 12, 65280));
  }
  DicomImage next = page.DerivePage();
  page.FinishPage(testing::Fonts());
  page.WriteFile(PlatformFileSystem(), dir / "first.dcm");
  next.WriteFile(PlatformFileSystem(), dir / "next.dcm");
  for (const char* name : {"first.dcm", "next.dcm"}) {
    EXPECT_EQ(DciodvfyFindings(dir, dir / name), std::vector<std::string>{}) << name;
  }
  DicomImage back = DicomImage::ReadFile(dir / "first.dcm");
  EXPECT_EQ(back.InstanceName(), page.InstanceName());
  EXPECT_EQ(back.Attribute(0x0008, 0x0020), "20061224");
  EXPECT_EQ(back.Attribute(0x0008, 0x0064), "WSD");  // Conversion Type
  EXPECT_EQ(back.Attribute(0x0028, 0x0301), "YES");  // Burned In Annotation
  EXPECT_TRUE(std::equal(back.Pixels().begin(), back.Pixels().end(), page.Pixels().begin(),
                         page.Pixels().end()));
  const std::string bytes = ReadFile(dir / "first.dcm");
  EXPECT_EQ(bytes.substr(128, 4), "DICM");
  EXPECT_NE(bytes.find("1.2.840.10008.1.2.1"), std::string::npos);  // explicit VR little endian
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
    FilledPage(c.name).WriteFile(PlatformFileSystem(), dir / "p.dcm");
    const std::string bytes = ReadFile(dir / "p.dcm");
    EXPECT_NE(bytes.find(c.stored_bytes), std::string::npos) << c.name;
    EXPECT_EQ(bytes.find("ISO_IR") != std::string::npos, *c.charset != '\0') << c.name;
    EXPECT_NE(bytes.find(c.charset), std::string::npos) << c.name;
    EXPECT_EQ(DicomImage::ReadFile(dir / "p.dcm").PatientName(), c.name);
    EXPECT_EQ(DciodvfyFindings(dir, dir / "p.dcm"), std::vector<std::string>{}) << c.name;
  }
}

TEST(DicomFile, ValuesThatBreakTheirVrAreLeftEmpty) {
  TempDir dir;
  DicomImage page = FilledPage();
  page.SetAccessionNumber("12345678901234567");  // SH holds at most 16 characters
  page.SetPatientID("47\\11");                   // a backslash would make two values
  page.AddAttribute(0x0008, 0x0090, "Dr\x01Meier");
  page.WriteFile(PlatformFileSystem(), dir / "p.dcm");
  DicomImage back = DicomImage::ReadFile(dir / "p.dcm");
  EXPECT_TRUE(back.HasAttribute(0x0008, 0x0050));
  EXPECT_EQ(back.Attribute(0x0008, 0x0050), "");
  EXPECT_EQ(back.Attribute(0x0010, 0x0020), "");
  EXPECT_EQ(back.Attribute(0x0008, 0x0090), "");
  for (const std::string& f : DciodvfyFindings(dir, dir / "p.dcm")) {
    // Only the now empty Patient ID draws a note about DICOMDIR records.
    EXPECT_NE(f.find("needed to build DICOMDIR - Patient ID"), std::string::npos) << f;
  }
}

TEST(DicomFile, NoPartialFileIsLeftBehind) {
  TempDir dir;
  DicomImage page = FilledPage();
  page.WriteFile(PlatformFileSystem(), dir / "p.dcm");
  EXPECT_TRUE(Exists(dir / "p.dcm"));
  EXPECT_FALSE(Exists(dir / "p.dcm.part"));
  std::filesystem::create_directory(dir / "taken.dcm");  // cannot be replaced
  ExpectImagingError([&] { page.WriteFile(PlatformFileSystem(), dir / "taken.dcm"); }, "cannot write");
  EXPECT_FALSE(Exists(dir / "taken.dcm.part"));
  ExpectImagingError([&] { page.WriteFile(PlatformFileSystem(), dir / "missing/p.dcm"); }, "cannot write");
  ExpectImagingError([&] { DicomImage().WriteFile(PlatformFileSystem(), dir / "empty.dcm"); }, "no Pixel Data");
  EXPECT_FALSE(Exists(dir / "empty.dcm"));
}

}  // namespace
}  // namespace norv

#include "intake/report_events.h"

#include <gtest/gtest.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <sstream>

#include "app/error.h"
#include "app/log.h"
#include "app/settings.h"
#include "imaging/dicom_image.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::ReadFile;
using testing::TempDir;

constexpr int kColumns = 595;

std::vector<std::string> ObxLines(int n) {
  std::vector<std::string> lines;
  for (int i = 1; i <= n; ++i) {
    lines.push_back("OBX|" + std::to_string(i) + "|TX|||Zeile " + std::to_string(i) + "||||||F");
  }
  return lines;
}

// Rows of a page that hold ink.
std::vector<int> InkedRows(const DicomImage& page) {
  std::vector<int> rows;
  auto pixels = page.Pixels();
  for (int y = 0; y < page.ImageHeight(); ++y) {
    auto row = pixels.subspan(static_cast<std::size_t>(y) * kColumns, kColumns);
    if (std::any_of(row.begin(), row.end(), [](auto p) { return p != 0; })) rows.push_back(y);
  }
  return rows;
}

class ReportPages : public ::testing::Test {
 protected:
  void SetUp() override {
    settings() = Settings();
    SetProgramDir(dir_.path());
    temp_ = dir_ / "temp";
    std::filesystem::create_directory(temp_);
    settings().Temp = temp_ + "/";
    msg_.PatientID = "0815";
    msg_.LastName = "Muster";
    msg_.FirstName = "Hans";
    msg_.Sex = "M";
    msg_.BirthDate = "1960-01-31";
    msg_.AccessionNumber = "ACC4711";
    msg_.AppointmentDate = "2006-12-24";
    msg_.AppointmentTime = "09:30";
    msg_.ReferringPhysicianName = "Meier";
  }

  // Every file in the Temp directory by extension; each .dcm must have its
  // .cae (same name, "NORVREPORT" CR LF) and nothing else may be there.
  std::vector<DicomImage> WrittenPages() {
    std::map<std::string, int> names;
    std::vector<std::string> dicom;
    for (const auto& entry : std::filesystem::directory_iterator(temp_)) {
      const std::string ext = entry.path().extension().string();
      EXPECT_TRUE(ext == ".dcm" || ext == ".cae") << entry.path();
      names[entry.path().stem().string()] += ext == ".dcm" ? 1 : 2;
      if (ext == ".cae") {
        EXPECT_EQ(ReadFile(entry.path().string()), "NORVREPORT\r\n");
      }
      if (ext == ".dcm") dicom.push_back(entry.path().string());
    }
    for (const auto& [name, kinds] : names) EXPECT_EQ(kinds, 3) << name << " lacks its pair";
    std::vector<DicomImage> pages;
    for (const std::string& path : dicom) {
      pages.push_back(DicomImage::ReadFile(path));
      EXPECT_EQ(std::filesystem::path(path).stem(), pages.back().InstanceName());
    }
    std::sort(pages.begin(), pages.end(), [](const DicomImage& a, const DicomImage& b) {
      return std::stoi(a.Attribute(0x0020, 0x0013)) < std::stoi(b.Attribute(0x0020, 0x0013));
    });
    return pages;
  }

  TempDir dir_;
  std::string temp_;
  HL7Message msg_;
};

TEST_F(ReportPages, FiftyTwoLinesToAPageAndAtLeastOnePage) {
  const struct {
    int lines;
    std::vector<int> per_page;
  } cases[] = {{0, {0}}, {1, {1}}, {52, {52}}, {53, {52, 1}}, {105, {52, 52, 1}}};
  for (const auto& c : cases) {
    std::filesystem::remove_all(temp_);
    std::filesystem::create_directory(temp_);
    WriteReportPages(msg_, ObxLines(c.lines));
    std::vector<DicomImage> pages = WrittenPages();
    ASSERT_EQ(pages.size(), c.per_page.size()) << c.lines << " lines";
    for (std::size_t p = 0; p < pages.size(); ++p) {
      const DicomImage& page = pages[p];
      SCOPED_TRACE(std::to_string(c.lines) + " lines, page " + std::to_string(p + 1));
      EXPECT_EQ(page.Attribute(0x0020, 0x0013), std::to_string(p + 1));
      EXPECT_EQ(page.Attribute(0x0020, 0x000D), pages[0].Attribute(0x0020, 0x000D));
      EXPECT_EQ(page.Attribute(0x0020, 0x000E), pages[0].Attribute(0x0020, 0x000E));
      EXPECT_EQ(page.PatientName(), "Muster^Hans");
      EXPECT_EQ(page.Attribute(0x0010, 0x0020), "0815");
      // Each line takes 15 pixel rows from its top at 15 * position.
      std::vector<int> rows = InkedRows(page);
      if (c.per_page[p] == 0) {
        EXPECT_TRUE(rows.empty());
      } else {
        ASSERT_FALSE(rows.empty());
        EXPECT_GE(rows.front(), 15);
        EXPECT_LT(rows.front(), 30);
        EXPECT_GE(rows.back(), 15 * c.per_page[p]);
        EXPECT_LT(rows.back(), 15 * (c.per_page[p] + 1));
      }
    }
  }
}

TEST_F(ReportPages, PatientAndStudyValuesInDicomForm) {
  WriteReportPages(msg_, ObxLines(1));
  std::vector<DicomImage> pages = WrittenPages();
  ASSERT_EQ(pages.size(), 1u);
  const struct {
    std::uint16_t group, element;
    const char* value;
  } expected[] = {
      {0x0008, 0x0020, "20061224"}, {0x0008, 0x0022, "20061224"}, {0x0008, 0x0030, "093000"},
      {0x0008, 0x0033, "093000"},   {0x0008, 0x0090, "Meier"},    {0x0008, 0x0050, "ACC4711"},
      {0x0010, 0x0030, "19600131"}, {0x0010, 0x0040, "M"},        {0x0020, 0x0010, "1"},
      {0x0020, 0x0011, "1"},        {0x0020, 0x0012, "1"},        {0x0008, 0x0060, "SC"},
  };
  for (const auto& e : expected) {
    EXPECT_EQ(pages[0].Attribute(e.group, e.element), e.value) << std::hex << e.group << "," << e.element;
  }
}

TEST_F(ReportPages, MiddleNameJoinsThePatientName) {
  const struct {
    const char* middle;
    const char* name;
  } cases[] = {{"Maria", "Muster^Hans^Maria"}, {"", "Muster^Hans"}};
  for (const auto& c : cases) {
    std::filesystem::remove_all(temp_);
    std::filesystem::create_directory(temp_);
    msg_.MiddleName = c.middle;
    WriteReportPages(msg_, ObxLines(1));
    std::vector<DicomImage> pages = WrittenPages();
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].PatientName(), c.name);
  }
}

TEST_F(ReportPages, UmlautsAreDrawnAndStoredIntact) {
  msg_.LastName = "M\xFCller";  // Windows-1252, as read from the inbound file
  msg_.FirstName = "J\xF6rg";
  WriteReportPages(msg_, {"OBX|1|TX|||Befund ohne Auff\xE4lligkeiten"});
  std::vector<DicomImage> pages = WrittenPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(pages[0].PatientName(), "M\xFCller^J\xF6rg");
  std::vector<int> rows = InkedRows(pages[0]);
  ASSERT_FALSE(rows.empty());
  EXPECT_GE(rows.front(), 15);
  EXPECT_LT(rows.back(), 30);
}

TEST_F(ReportPages, ShortObxLineFailsButEarlierPagesStay) {
  std::vector<std::string> lines = ObxLines(53);
  lines.push_back("OBX|54|TX|");  // four elements: no OBX-5
  try {
    WriteReportPages(msg_, lines);
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrSubscriptOutOfRange);
  }
  std::vector<DicomImage> pages = WrittenPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(InkedRows(pages[0]).back() / 15, 52);

  // Six elements are enough: OBX-5 is then empty.
  std::filesystem::remove_all(temp_);
  std::filesystem::create_directory(temp_);
  WriteReportPages(msg_, {"OBX|1|TX|||"});
  pages = WrittenPages();
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_TRUE(InkedRows(pages[0]).empty());
}

TEST_F(ReportPages, MissingTempDirectoryFailsWithoutFiles) {
  settings().Temp = dir_ / "missing/";
  try {
    WriteReportPages(msg_, ObxLines(2));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrPathNotFound);
  }
  EXPECT_FALSE(std::filesystem::exists(dir_ / "missing"));
}

TEST_F(ReportPages, TempIsAPlainPrefix) {
  settings().Temp = temp_ + "/rep_";
  WriteReportPages(msg_, ObxLines(1));
  int files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(temp_)) {
    EXPECT_EQ(entry.path().filename().string().rfind("rep_2.25.", 0), 0u) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 2);
}

TEST_F(ReportPages, DebugLinesWhenDebugIsOne) {
  settings().Debug = 1;
  WriteReportPages(msg_, ObxLines(1));
  std::string log = ReadFile(dir_ / "Logs/NORVReaderDebug.log");
  std::size_t creating = log.find("Creating new Dicom Image (Report)\r\n");
  std::size_t lines = log.find("Create report text lines\r\n");
  EXPECT_NE(creating, std::string::npos);
  EXPECT_NE(lines, std::string::npos);
  EXPECT_LT(creating, lines);
}

TEST_F(ReportPages, EveryPagePassesDciodvfy) {
  WriteReportPages(msg_, ObxLines(105));
  int checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator(temp_)) {
    if (entry.path().extension() != ".dcm") continue;
    const std::string out = dir_ / "dciodvfy.txt";
    int rc = std::system(("dciodvfy '" + entry.path().string() + "' >'" + out + "' 2>&1").c_str());
    ASSERT_FALSE(WIFEXITED(rc) && WEXITSTATUS(rc) == 127) << "dciodvfy (dicom3tools) is not installed";
    std::istringstream findings(ReadFile(out));
    for (std::string f; std::getline(findings, f);) {
      if (f.rfind("Error", 0) == 0) ADD_FAILURE() << f;
      // Besides the fixed Modality "SC", dciodvfy doubts a person name of
      // one component; ORC-12 gives the referring physician's family name only.
      if (f.rfind("Warning", 0) == 0 &&
          f.find("<SC> for value 1 of attribute <Modality>") == std::string::npos &&
          f.find("Referring Physician's Name  PN [1] = <Meier> - Retired Person Name form") ==
              std::string::npos) {
        ADD_FAILURE() << f;
      }
    }
    ++checked;
  }
  EXPECT_EQ(checked, 3);
}

}  // namespace
}  // namespace norv

#include "intake/report_events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>

#include "app/error.h"
#include "app/log.h"
#include "app/settings.h"
#include "imaging/dicom_image.h"
#include "testing/test_util.h"

namespace norv {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;

std::vector<std::string> ObxLines(int n) {
  std::vector<std::string> lines;
  for (int i = 1; i <= n; ++i) lines.push_back("OBX|" + std::to_string(i) + "|TX|||Zeile " + std::to_string(i));
  return lines;
}

// Rows of a page that hold ink.
std::vector<int> InkedRows(const DicomImage& page) {
  std::vector<int> rows;
  const int width = page.ImageWidth();
  for (int y = 0; y < page.ImageHeight(); ++y) {
    auto row = page.Pixels().subspan(static_cast<std::size_t>(y) * width, width);
    if (std::any_of(row.begin(), row.end(), [](auto p) { return p != 0; })) rows.push_back(y);
  }
  return rows;
}

// The pages in `dir` in page order. Every .dcm must come with its .cae
// ("NORVREPORT" CR LF), both named after the page, and nothing else is there.
std::vector<DicomImage> WrittenPages(const std::string& dir) {
  std::map<std::string, int> kinds;
  std::vector<DicomImage> pages;
  for (const auto& entry : fs::directory_iterator(dir)) {
    const std::string ext = entry.path().extension().string(), stem = entry.path().stem().string();
    kinds[stem] += ext == ".dcm" ? 1 : ext == ".cae" ? 2 : 4;
    if (ext == ".cae") {
      EXPECT_EQ(ReadFile(entry.path().string()), "NORVREPORT\r\n");
    }
    if (ext != ".dcm") continue;
    pages.push_back(DicomImage::ReadFile(entry.path().string()));
    EXPECT_EQ(pages.back().InstanceName(), stem);
  }
  for (const auto& [name, k] : kinds) EXPECT_EQ(k, 3) << name << ": not exactly a .dcm and its .cae";
  std::sort(pages.begin(), pages.end(), [](const DicomImage& a, const DicomImage& b) {
    return std::stoi(a.Attribute(0x0020, 0x0013)) < std::stoi(b.Attribute(0x0020, 0x0013));
  });
  return pages;
}

class ReportPages : public ::testing::Test {
 protected:
  void SetUp() override {
    settings() = Settings();
    SetProgramDir(dir_.path());
    settings().Temp = temp_ + "/";
    fs::create_directory(temp_);
    msg_.PatientID = "0815";
    msg_.LastName = "Muster";
    msg_.FirstName = "Hans";
  }
  void EmptyTemp() {
    fs::remove_all(temp_);
    fs::create_directory(temp_);
  }

  TempDir dir_;
  std::string temp_ = dir_ / "temp";
  HL7Message msg_;
};

TEST_F(ReportPages, FiftyTwoLinesToAPageAndAtLeastOnePage) {
  const struct {
    int lines;
    std::vector<int> per_page;
  } cases[] = {{0, {0}}, {1, {1}}, {52, {52}}, {53, {52, 1}}, {105, {52, 52, 1}}};
  for (const auto& c : cases) {
    EmptyTemp();
    WriteReportPages(msg_, ObxLines(c.lines));
    std::vector<DicomImage> pages = WrittenPages(temp_);
    ASSERT_EQ(pages.size(), c.per_page.size()) << c.lines << " lines";
    for (std::size_t p = 0; p < pages.size(); ++p) {
      SCOPED_TRACE(std::to_string(c.lines) + " lines, page " + std::to_string(p + 1));
      EXPECT_EQ(pages[p].Attribute(0x0020, 0x0013), std::to_string(p + 1));
      EXPECT_EQ(pages[p].Attribute(0x0020, 0x000D), pages[0].Attribute(0x0020, 0x000D));
      EXPECT_EQ(pages[p].PatientName(), "Muster^Hans");
      // Line n of a page is drawn in the 15 rows from 15 * n.
      std::vector<int> rows = InkedRows(pages[p]);
      if (c.per_page[p] == 0) {
        EXPECT_TRUE(rows.empty());
        continue;
      }
      ASSERT_FALSE(rows.empty());
      EXPECT_GE(rows.front(), 15);
      EXPECT_LT(rows.front(), 30);
      EXPECT_GE(rows.back(), 15 * c.per_page[p]);
      EXPECT_LT(rows.back(), 15 * (c.per_page[p] + 1));
    }
  }
}

TEST_F(ReportPages, MiddleNameJoinsThePatientName) {
  for (auto [middle, name] : {std::pair{"Maria", "Muster^Hans^Maria"}, {"", "Muster^Hans"}}) {
    EmptyTemp();
    msg_.MiddleName = middle;
    WriteReportPages(msg_, ObxLines(1));
    std::vector<DicomImage> pages = WrittenPages(temp_);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].PatientName(), name);
  }
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
  std::vector<DicomImage> pages = WrittenPages(temp_);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(InkedRows(pages[0]).back() / 15, 52);

  EmptyTemp();
  WriteReportPages(msg_, {"OBX|1|TX|||"});  // six elements: an empty line
  pages = WrittenPages(temp_);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_TRUE(InkedRows(pages[0]).empty());
}

TEST_F(ReportPages, TempIsAPlainPrefixThatMustExist) {
  settings().Temp = temp_ + "/rep_";
  settings().Debug = 1;
  WriteReportPages(msg_, ObxLines(1));
  int files = 0;
  for (const auto& entry : fs::directory_iterator(temp_)) {
    EXPECT_EQ(entry.path().filename().string().rfind("rep_2.25.", 0), 0u) << entry.path();
    ++files;
  }
  EXPECT_EQ(files, 2);
  const std::string log = ReadFile(dir_ / "Logs/NORVReaderDebug.log");
  EXPECT_LT(log.find("Creating new Dicom Image (Report)\r\n"), log.find("Create report text lines\r\n"));
  EXPECT_NE(log.find("Create report text lines\r\n"), std::string::npos);

  settings().Temp = dir_ / "missing/";
  try {
    WriteReportPages(msg_, ObxLines(2));
    FAIL() << "no error";
  } catch (const Error& e) {
    EXPECT_EQ(e.number(), kErrPathNotFound);
  }
  EXPECT_FALSE(fs::exists(dir_ / "missing"));
}

}  // namespace
}  // namespace norv

#include "intake/report_events.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <map>

#include "core/error.h"
#include "core/log.h"
#include "core/settings.h"
#include "imaging/dicom_image.h"
#include "imaging/report_page.h"
#include "intake/events.h"
#include "intake/hl7_reader.h"
#include "testing/intake_context.h"
#include "testing/test_util.h"

// psqlODBC 13 leaks a few hundred bytes for every statement the server
// rejects; the database-error test provokes one on purpose.
extern "C" const char* __lsan_default_suppressions() { return "leak:psqlodbcw.so\n"; }

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

  Settings& settings() { return ctx_.settings; }
  void WriteReportPages(const HL7Message& msg, const std::vector<std::string>& lines) {
    norv::WriteReportPages(ctx_.intake, msg, lines);
  }
  void WriteReportTextPages(const HL7Message& msg, const std::vector<std::string>& texts) {
    norv::WriteReportTextPages(ctx_.intake, msg, texts);
  }
  // Width of a text in the report font (12 pixels, anti-aliased).
  int Width(std::string_view text) { return ReportTextWidth(ctx_.intake.fonts, text, 12, 0, true); }

  TempDir dir_;
  testing::TestIntakeContext ctx_{dir_.path()};
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

// A line too wide for the page is wrapped, never cut at the edge, and every
// piece counts as a drawn line of the page.
TEST_F(ReportPages, WideLinesWrapAndCountAsDrawnLines) {
  std::string wide;
  for (int i = 0; i < 40; ++i) wide += "Befund" + std::to_string(i) + " ";
  ASSERT_GT(Width(wide), 2 * 585);
  ASSERT_LT(Width(wide.substr(0, 60)), 585);
  ASSERT_GT(Width(std::string(300, 'W')), 3 * 585);
  std::vector<std::string> lines = ObxLines(51);
  lines.push_back("OBX|52|TX|||" + wide);
  lines.push_back("OBX|53|TX|||" + std::string(300, 'W'));  // one word, broken
  WriteReportPages(msg_, lines);
  std::vector<DicomImage> pages = WrittenPages(temp_);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(InkedRows(pages[0]).back() / 15, 52);
  // At least two more pieces of the wide line and four of the word.
  EXPECT_GE(InkedRows(pages[1]).back() / 15, 6);
  for (const DicomImage& page : pages) {
    const int width = page.ImageWidth();
    for (int y = 0; y < page.ImageHeight(); ++y) {
      ASSERT_EQ(page.Pixels()[static_cast<std::size_t>(y) * width + width - 1], 0) << "row " << y;
    }
  }
  // Short lines are drawn exactly as before: one label each, nothing added.
  EmptyTemp();
  WriteReportTextPages(msg_, {wide.substr(0, 60), "", "x"});
  pages = WrittenPages(temp_);
  ASSERT_EQ(pages.size(), 1u);
  EXPECT_EQ(InkedRows(pages[0]).back() / 15, 3);
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

// One segment from its elements (element 0 is the segment name).
std::string Segment(const std::vector<std::string>& elements) {
  std::string line;
  for (std::size_t i = 0; i < elements.size(); ++i) line += (i ? "|" : "") + elements[i];
  return line + "\r";
}

std::string OruMessage(const std::vector<std::string>& obx) {
  std::vector<std::string> orc(13), obr(22);
  orc[0] = "ORC", orc[1] = "RE", orc[7] = "^^^200612240930", orc[12] = "12345^Meier";
  obr[0] = "OBR", obr[1] = "1", obr[4] = "XR^Thorax", obr[21] = "ACC4711";
  std::string text = "MSH|^~\\&|RIS|RAD|PACS|RAD|200612241000||ORU^R01|MSG0001|P|2.3\r" +
                     Segment({"PID", "1", "", "4711^^^KH^PI~0815^^^KH^PN", "",
                              "Muster^Hans^Maria", "", "19600131", "M"}) +
                     Segment(orc) + Segment(obr);
  for (const std::string& line : obx) text += line + "\r";
  return text;
}

// The handler on messages read by the reader, with a real installation
// database (SQLite, and PostgreSQL when configured) telling whether the
// patient is known.
class ReportEvents : public testing::IntakeFixture {
 protected:
  void SetUp() override {
    IntakeFixture::SetUp();
    if (IsSkipped()) return;
    fs::create_directory(temp_);
    settings().Temp = temp_ + "/";
    settings().ConvertReports = 1;
    db_->AddPatient(1, "0815", "Muster", "Hans");
  }

  // Reads `text` as the inbound cycle does and hands it to the handler;
  // returns the handler's verdict.
  bool Handle(const std::string& text) { return testing::HandleText(intake(), &HandleReport, text); }

  std::string temp_ = home_ / "temp";
};

TEST_P(ReportEvents, KnownPatientGetsPagesWithTheMessagesValues) {
  ASSERT_TRUE(Handle(OruMessage({"OBX|1|TX|||Befund ohne Auff\xE4lligkeiten||||||F"})));
  std::vector<DicomImage> pages = WrittenPages(temp_);
  ASSERT_EQ(pages.size(), 1u);
  const struct {
    std::uint16_t group, element;
    const char* value;
  } expected[] = {
      {0x0010, 0x0010, "Muster^Hans^Maria"}, {0x0010, 0x0020, "0815"},
      {0x0010, 0x0030, "19600131"},          {0x0008, 0x0020, "20061224"},  // ORC-7
      {0x0008, 0x0033, "093000"},            {0x0008, 0x0090, "Meier"},     // ORC-12
      {0x0008, 0x0050, "ACC4711"},           {0x0020, 0x0012, "1"},         // OBR-21
  };
  for (const auto& e : expected) {
    EXPECT_EQ(pages[0].Attribute(e.group, e.element), e.value) << std::hex << e.group << "," << e.element;
  }
  EXPECT_FALSE(InkedRows(pages[0]).empty());
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_P(ReportEvents, ConvertReportsOffOrUnknownPatientGivesNothingButCounts) {
  settings().ConvertReports = 0;
  EXPECT_TRUE(Handle(OruMessage({"OBX|1|TX|||Text"})));
  EXPECT_FALSE(HasDebugText("Check if patient is already registered."));  // not even asked

  settings().ConvertReports = 1;
  db_->Exec("DELETE FROM tblPatienten");
  EXPECT_TRUE(Handle(OruMessage({"OBX|1|TX|||Text"})));
  EXPECT_TRUE(HasDebugText("Patient not found."));
  EXPECT_TRUE(fs::is_empty(temp_));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_P(ReportEvents, DatabaseErrorFailsTheReportInsteadOfDroppingIt) {
  db_->Exec("ALTER TABLE tblPatienten RENAME TO tblPatientenAlt");
  EXPECT_FALSE(Handle(OruMessage({"OBX|1|TX|||Text"})));
  EXPECT_TRUE(fs::is_empty(temp_));
  ASSERT_FALSE(ErrorLines().empty());
  EXPECT_NE(ErrorLines().back().find("MainForm IsPatientRegistered"), std::string::npos);
}

// Every sample report of a known patient becomes pages or fails with an
// error of the cycle; nothing else may happen.
TEST_P(ReportEvents, SampleReportsGivePagesOrAnErrorOfTheCycle) {
  const char* source = std::getenv("NORV_SOURCE_DIR");
  std::string corpus = source ? std::string(source) + "/../shared/corpus/hl7" : "";
  if (!fs::is_directory(corpus)) corpus = source ? std::string(source) + "/../../shared/corpus/hl7" : "";
  if (!fs::is_directory(corpus)) GTEST_SKIP() << "no sample corpus beside the source tree";
  int converted = 0, patid = 100;
  for (const auto& entry : fs::directory_iterator(corpus)) {
    const std::string text = ReadFile(entry.path().string());
    const std::size_t header = text.find("MSH");
    if (header == std::string::npos || text.find("ORU^R01") == std::string::npos) continue;
    SCOPED_TRACE(entry.path().filename().string());
    Hl7Segments store;
    HL7Message msg;
    SplitSegments(ctx_.log, std::string_view(text).substr(header), store);
    try {
      if (!ReadCommonValues(ctx_.log, store, msg)) continue;
      db_->AddPatient(++patid, msg.PatientID, "Sample");
      EXPECT_EQ(HandleReport(intake(), store, msg), Outcome::kProcessed);
      ++converted;
    } catch (const Error&) {
      // A shortfall of the message is an outcome, not a crash.
    }
  }
  EXPECT_GT(converted, 0);
  EXPECT_FALSE(WrittenPages(temp_).empty());
}

NORV_INSTANTIATE_FOR_BACKENDS(ReportEvents);

}  // namespace
}  // namespace norv

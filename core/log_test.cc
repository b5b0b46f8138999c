#include "core/log.h"

#include <gtest/gtest.h>

#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>
#include <sys/stat.h>
#include <unistd.h>

#include "core/error.h"
#include "core/settings.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::ReadFile;
using testing::TempDir;

const LocalDateTime kTime{2026, 12, 7, 9, 5, 3};

TEST(LogFormat, DateTimeAndMidnight) {
  EXPECT_EQ(FormatLogDateTime(kTime), "2026-12-07 09:05:03");
  EXPECT_EQ(FormatLogDateTime({2026, 1, 2, 0, 0, 0}), "2026-01-02");
}

TEST(LogFormat, NumbersCarryTheirBlanksAndFieldsStartAtPrintZones) {
  // Fields start at the print zones 0, 14, 28, 42, ...; the 19-character date
  // and time push the number to column 28.
  std::string line = FormatErrorLine(kTime, 5, "Desc", "Src");
  EXPECT_EQ(line.substr(0, 28), "2026-12-07 09:05:03         ");
  EXPECT_EQ(line.substr(28, 14), " 5            ");
  EXPECT_EQ(line.substr(42, 14), "Desc          ");
  EXPECT_EQ(line.substr(56), "Src");
  std::string neg = FormatErrorLine(kTime, -1, "No message header!", "");
  EXPECT_EQ(neg.substr(28, 14), "-1            ");
  EXPECT_EQ(neg.substr(42, 18), "No message header!");
  EXPECT_EQ(FormatDebugLine(kTime, "Get sequence content", ""),
            "2026-12-07 09:05:03         Get sequence content");
}

class LogFiles : public ::testing::Test {
 protected:
  Settings& settings() { return settings_; }
  void SetProgramDir(const std::string& dir) {
    log_ = std::make_unique<Log>(PlatformFileSystem(), dir, settings_, [] { return kTime; });
  }
  void WriteErrorLog(std::int32_t n, std::string_view d, std::string_view s) {
    log_->WriteErrorLog(n, d, s);
  }
  void WriteDebugLog(std::string_view text) { log_->WriteDebugLog(text); }
  void LogCaughtError(std::string_view source) { log_->LogCaughtError(source); }

  TempDir dir_;
  Settings settings_;
  std::unique_ptr<Log> log_ = std::make_unique<Log>(PlatformFileSystem(), dir_.path(), settings_,
                                                    [] { return kTime; });
  std::string ErrorLog() { return ReadFile(dir_ / "Logs/NORVReaderError.log"); }
  std::string DebugLog() { return ReadFile(dir_ / "Logs/NORVReaderDebug.log"); }
};

TEST_F(LogFiles, ErrorGoesToTheDebugLogOnlyWhenDebugIsOne) {
  WriteErrorLog(53, "File not found", "Global ReadProcedureIDs");
  EXPECT_EQ(ErrorLog(), FormatErrorLine(kTime, 53, "File not found", "Global ReadProcedureIDs") + "\r\n");
  EXPECT_EQ(DebugLog(), "");
  settings().Debug = 2;
  WriteErrorLog(1, "x", "y");
  EXPECT_EQ(DebugLog(), "");
  settings().Debug = 1;
  WriteErrorLog(-1, "D", "S");
  EXPECT_EQ(DebugLog(), FormatDebugLine(kTime, "-1, D, S", "") + "\r\n");
}

TEST_F(LogFiles, TheObserverIsToldOfEachErrorLineAndCannotStopIt) {
  std::vector<std::pair<std::int32_t, std::string>> seen;
  log_->SetErrorObserver([&seen](std::int32_t n, std::string_view source) {
    seen.emplace_back(n, std::string(source));
    throw std::runtime_error("observer failure");
  });
  WriteErrorLog(kErrDatabase, "gone", "UpdatePatient");
  WriteDebugLog("not an error line");
  WriteErrorLog(53, "File not found", "Tick");
  EXPECT_EQ(seen, (std::vector<std::pair<std::int32_t, std::string>>{
                      {kErrDatabase, "UpdatePatient"}, {53, "Tick"}}));
  // Both lines were written although the observer threw.
  EXPECT_EQ(ErrorLog(), FormatErrorLine(kTime, kErrDatabase, "gone", "UpdatePatient") + "\r\n" +
                            FormatErrorLine(kTime, 53, "File not found", "Tick") + "\r\n");
}

TEST_F(LogFiles, LinesAreAppendedInWindows1252Unchanged) {
  WriteDebugLog("M\xFCller\nsecond");
  WriteDebugLog("next");
  std::string log = DebugLog();
  EXPECT_NE(log.find("M\xFCller\nsecond\r\n"), std::string::npos);
  EXPECT_NE(log.find("next\r\n"), std::string::npos);
}

TEST_F(LogFiles, CaughtErrorsAreLoggedWithTheirNumber) {
  try {
    throw Error(kErrTypeMismatch, "Type mismatch");
  } catch (...) {
    LogCaughtError("MainForm TimerProgress");
  }
  EXPECT_NE(ErrorLog().find("  13           Type mismatch"), std::string::npos);
  EXPECT_NE(ErrorLog().find("MainForm TimerProgress\r\n"), std::string::npos);
}

TEST_F(LogFiles, LinesWrittenWhileAFileIsHandledNameIt) {
  {
    Log::FileScope about(*log_, "/in/7.HL7");
    WriteErrorLog(9, "Subscript out of range", "MainForm TimerProgress");
    WriteErrorLog(-1, "No Message Header! (/in/7.HL7)", "TimerProgress");  // named already
    {
      Log::FileScope inner(*log_, "/in/8.HL7");
      WriteErrorLog(13, "Type mismatch", "MainForm TimerProgress");
    }
    WriteErrorLog(5, "Invalid procedure call", "MainForm TimerProgress");
  }
  WriteErrorLog(76, "Path not found", "MainForm TimerProgress");
  EXPECT_EQ(ErrorLog(),
            FormatErrorLine(kTime, 9, "Subscript out of range (/in/7.HL7)", "MainForm TimerProgress") +
                "\r\n" +
                FormatErrorLine(kTime, -1, "No Message Header! (/in/7.HL7)", "TimerProgress") +
                "\r\n" +
                FormatErrorLine(kTime, 13, "Type mismatch (/in/8.HL7)", "MainForm TimerProgress") +
                "\r\n" +
                FormatErrorLine(kTime, 5, "Invalid procedure call (/in/7.HL7)", "MainForm TimerProgress") +
                "\r\n" + FormatErrorLine(kTime, 76, "Path not found", "MainForm TimerProgress") +
                "\r\n");
}

TEST_F(LogFiles, AFolderThatCannotBeCreatedLosesLinesSilently) {
  if (geteuid() == 0) GTEST_SKIP() << "root can write anywhere";
  chmod(dir_.path().c_str(), 0500);
  WriteErrorLog(1, "lost", "nowhere");
  WriteDebugLog("lost too");
  chmod(dir_.path().c_str(), 0700);
  EXPECT_FALSE(testing::Exists(dir_ / "Logs"));
}

TEST_F(LogFiles, AProgramDirectoryThatIsAFileLosesLinesSilently) {
  testing::WriteFile(dir_ / "file", "x");
  SetProgramDir(dir_ / "file");
  WriteErrorLog(1, "lost", "nowhere");
  EXPECT_EQ(ReadFile(dir_ / "file"), "x");
}

}  // namespace
}  // namespace norv

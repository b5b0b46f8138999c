#include "intake/inbound_cycle.h"

#include <errno.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/log.h"
#include "core/settings.h"
#include "intake/hl7_reader.h"
#include "platform/system.h"
#include "testing/intake_context.h"
#include "testing/test_database.h"
#include "testing/test_util.h"

namespace norv {
namespace {

namespace fs = std::filesystem;
using testing::Exists;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

// The week of the test clock below.
constexpr char kWeek[] = "2026-49";

std::string Message(const std::string& event, const std::string& rest = "") {
  return "MSH|^~\\&|RIS|HOSP|PACS|HOSP|20261202||" + event +
         "|1|P|2.3\rPID|1||4711^^^KH^PI~0815^^^KH^PN||Muster^Hans||19600131|M\r" + rest;
}

// Dates the file `seconds_ago` into the past (0: now).
void SetAge(const std::string& path, int seconds_ago) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  timespec times[2] = {now, now};
  times[1].tv_sec -= seconds_ago;
  utimensat(AT_FDCWD, path.c_str(), times, 0);
}

// Sorted names of the regular files in `dir`.
std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if (e.is_regular_file()) names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::size_t Count(const std::string& text, const std::string& part) {
  std::size_t n = 0;
  for (std::size_t p = 0; (p = text.find(part, p)) != std::string::npos; p += part.size()) ++n;
  return n;
}

// The platform's file system with a predictable listing order (by name,
// ascending or descending) and operations that can be made to fail.
class TestFileSystem : public FileSystem {
 public:
  bool descending = false;
  std::set<std::string> failing;  // "List", "Read", "Move", "Copy", "Remove", ...

  FsStatus ListFiles(const std::string& folder, std::vector<FileInfo>& files,
                     const ExamineFilter& examine) override {
    if (failing.count("List")) return {EIO};
    FsStatus st = real_.ListFiles(folder, files, examine);
    std::sort(files.begin(), files.end(), [this](const FileInfo& a, const FileInfo& b) {
      return descending ? a.Name > b.Name : a.Name < b.Name;
    });
    return st;
  }
  FsStatus SetAttributes(const std::string& p, std::uint32_t a) override {
    return failing.count("SetAttributes") ? FsStatus{EPERM} : real_.SetAttributes(p, a);
  }
  FsStatus RemoveFile(const std::string& p) override {
    return failing.count("Remove") ? FsStatus{EACCES} : real_.RemoveFile(p);
  }
  bool FolderExists(const std::string& p) override { return real_.FolderExists(p); }
  bool FileExists(const std::string& p) override { return real_.FileExists(p); }
  PathKind KindOf(const std::string& p) override { return real_.KindOf(p); }
  FsStatus CreateFolder(const std::string& p) override {
    return failing.count("CreateFolder") ? FsStatus{EACCES} : real_.CreateFolder(p);
  }
  FsStatus CopyFileTo(const std::string& f, const std::string& t, bool o) override {
    return failing.count("Copy") ? FsStatus{ENOSPC} : real_.CopyFileTo(f, t, o);
  }
  FsStatus MoveFileTo(const std::string& f, const std::string& t) override {
    return failing.count("Move") ? FsStatus{EACCES} : real_.MoveFileTo(f, t);
  }
  FsStatus ReadWholeFile(const std::string& p, std::string& b) override {
    return failing.count("Read") ? FsStatus{EIO} : real_.ReadWholeFile(p, b);
  }
  FsStatus Identify(const std::string& p, FileIdentity& id) override {
    return real_.Identify(p, id);
  }
  FsStatus AppendToFile(const std::string& p, std::string_view b) override {
    return real_.AppendToFile(p, b);
  }
  FsStatus WriteFileAtomically(const std::string& p, std::string_view b, const std::string& t,
                               int m) override {
    return real_.WriteFileAtomically(p, b, t, m);
  }

 private:
  FileSystem& real_ = PlatformFileSystem();
};

class InboundCycleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    settings().InboundPath = in_.path() + "/";
    settings().FileSuffix = "HL7";
    settings().DBServer = db_.db_server();
    ctx_.clock = [] { return LocalDateTime{2026, 12, 2, 10, 0, 0}; };
  }
  Settings& settings() { return ctx_.settings; }
  void DisposeInboundFile(const std::string& dir, const std::string& path, bool processed) {
    norv::DisposeInboundFile(ctx_.intake, dir, path,
                             processed ? Outcome::kProcessed : Outcome::kFailed);
  }

  // Drops a file that is old enough to be taken.
  void Drop(const std::string& name, const std::string& content) {
    WriteFile(in_ / name, content);
    SetAge(in_ / name, 60);
  }
  void Tick() { RunInboundTick(ctx_.intake, cycle_); }
  std::vector<std::string> Inbound() { return Names(in_.path()); }
  std::vector<std::string> Failed() { return Names(in_ / "failed/" + kWeek); }
  std::vector<std::string> Debug() { return Names(in_ / "debug/" + kWeek); }
  std::string ErrorLog() { return ReadFile(prog_ / "Logs/NORVReaderError.log"); }
  std::string DebugLogText() { return ReadFile(prog_ / "Logs/NORVReaderDebug.log"); }

  TempDir prog_, in_;
  TestFileSystem fs_;
  testing::TestIntakeContext ctx_{prog_.path(), fs_};
  testing::TestDatabase db_{testing::Backend::kSqlite};
  InboundCycle cycle_;
};

using V = std::vector<std::string>;

TEST_F(InboundCycleTest, TakesTheSmallestNumberBelowFiveMillionOnePerTick) {
  for (const char* name : {"7.HL7", "12.HL7", "3.HL7", "-4.HL7", "0.hl7", "+1.HL7",
                           "5000000.HL7", "5000001.HL7", "4999999.HL7", "1.HL7.bak", "2.txt",
                           "2"}) {
    Drop(name, Message("ZZZ^Z01"));
  }
  const V order = {"-4.HL7", "0.hl7", "+1.HL7", "3.HL7", "7.HL7", "12.HL7", "4999999.HL7"};
  for (std::size_t i = 0; i < order.size(); ++i) {
    Tick();
    V failed = Failed();
    ASSERT_EQ(failed.size(), i + 1) << "tick " << i;
    EXPECT_TRUE(std::count(failed.begin(), failed.end(), order[i])) << order[i];
  }
  Tick();
  Tick();
  EXPECT_EQ(Failed().size(), order.size());
  EXPECT_EQ(Inbound(), (V{"1.HL7.bak", "2", "2.txt", "5000000.HL7", "5000001.HL7"}));
  EXPECT_EQ(ErrorLog(), "");
}

TEST_F(InboundCycleTest, EqualNumbersGoInListingOrder) {
  for (bool descending : {false, true}) {
    fs_.descending = descending;
    Drop("0012.HL7", Message("ZZZ^Z01"));
    Drop("12.HL7", Message("ZZZ^Z02"));
    Tick();
    // Ascending lists 0012.HL7 first, descending 12.HL7.
    EXPECT_EQ(Inbound(), V{descending ? "0012.HL7" : "12.HL7"});
    fs::remove_all(in_ / "failed");
    fs::remove(in_ / "0012.HL7");
    fs::remove(in_ / "12.HL7");
  }
}

TEST_F(InboundCycleTest, SetAttributesAreClearedOnTheFirstTickAndTakenLater) {
  Drop("1.HL7", Message("ZZZ^Z01"));
  chmod((in_ / "1.HL7").c_str(), 0444);
  Drop("2.HL7", Message("ZZZ^Z01"));
  SetAge(in_ / "2.HL7", 0);  // just written
  Drop("3.HL7", Message("ZZZ^Z01"));

  Tick();  // 1 is read-only and 2 fresh: 3 goes first
  EXPECT_EQ(Failed(), V{"3.HL7"});
  struct stat st;
  ASSERT_EQ(stat((in_ / "1.HL7").c_str(), &st), 0);
  EXPECT_NE(st.st_mode & S_IWUSR, 0u);

  Tick();  // 1 is writable now; 2 may still be fresh
  EXPECT_EQ(Failed(), (V{"1.HL7", "3.HL7"}));
  SetAge(in_ / "2.HL7", 0);
  Tick();
  EXPECT_EQ(Inbound(), V{"2.HL7"});
  SetAge(in_ / "2.HL7", 5);  // aged
  Tick();
  EXPECT_EQ(Inbound(), V{});
}

TEST_F(InboundCycleTest, EmptyFilesGoWhenTheirTurnComes) {
  fs_.descending = true;  // 9.HL7, 5.HL7, 20.HL7
  Drop("5.HL7", "");
  Drop("9.HL7", Message("ZZZ^Z01"));
  Drop("20.HL7", "");
  Tick();
  // 5 would have been taken: deleted. 20 was listed after 9 had been
  // chosen, so it was skipped like any higher number.
  EXPECT_EQ(Failed(), V{"9.HL7"});
  EXPECT_EQ(Inbound(), V{"20.HL7"});
  Tick();
  EXPECT_EQ(Inbound(), V{});
  EXPECT_EQ(Failed(), V{"9.HL7"});
  EXPECT_EQ(ErrorLog(), "");
}

TEST_F(InboundCycleTest, NamesThatAreNoNumberAreSkippedAndReportedOnce) {
  settings().Debug = 1;
  Drop("5.HL7", Message("ZZZ^Z01"));  // listed before the others: the candidate
  Drop("abc.HL7", Message("ZZZ^Z01"));
  Drop("HL7", Message("ZZZ^Z01"));
  Drop("99999999999.HL7", Message("ZZZ^Z01"));
  Tick();
  Tick();
  Tick();
  EXPECT_EQ(Failed(), V{"5.HL7"});
  EXPECT_NE(DebugLogText().find("Processing: " + in_ / "5.HL7"), std::string::npos);
  EXPECT_EQ(Inbound(), (V{"99999999999.HL7", "HL7", "abc.HL7"}));
  std::string log = ErrorLog();
  EXPECT_EQ(Count(log, "\r\n"), 3u) << log;
  EXPECT_EQ(Count(log, "MainForm TimerProgress"), 3u);
  EXPECT_EQ(Count(log, "Type mismatch"), 2u);
  EXPECT_EQ(Count(log, "Overflow"), 1u);
  EXPECT_EQ(Count(log, in_ / "abc.HL7"), 1u);
}

TEST_F(InboundCycleTest, AttributesOrEmptyFilesThatCannotBeChangedAreReportedOnce) {
  fs_.failing = {"SetAttributes", "Remove"};
  Drop("1.HL7", Message("ZZZ^Z01"));
  chmod((in_ / "1.HL7").c_str(), 0444);
  Drop("2.HL7", "");
  Drop("3.HL7", Message("ZZZ^Z01"));
  Tick();
  Tick();
  EXPECT_EQ(Failed(), V{"3.HL7"});
  EXPECT_EQ(Inbound(), (V{"1.HL7", "2.HL7"}));
  EXPECT_EQ(Count(ErrorLog(), "MainForm TimerProgress"), 2u);
  EXPECT_EQ(Count(ErrorLog(), "Permission denied"), 2u);
}

TEST_F(InboundCycleTest, MessagesAreReadFromTheirHeader) {
  settings().Debug = 1;
  Drop("1.HL7", "\xEF\xBB\xBF  \x0Bjunk" + Message("ZZZ^Z01") + "  ");
  Drop("2.HL7", "msh|^~\\&|lower case header only\r");
  Drop("3.HL7", "MSH^~\\&^RIS^HOSP\rPID^1\r");
  Tick();
  std::string debug = DebugLogText();
  EXPECT_NE(debug.find("Get sequence content"), std::string::npos);
  EXPECT_NE(debug.find("Event ID: ZZZ^Z01"), std::string::npos);
  EXPECT_NE(debug.find("ID: 0815"), std::string::npos);
  EXPECT_NE(debug.find("Event ID not recognized"), std::string::npos);
  EXPECT_EQ(ErrorLog(), "");

  Tick();
  std::string log = ErrorLog();
  EXPECT_NE(log.find("-1"), std::string::npos);
  EXPECT_NE(log.find("No Message Header! (" + in_ / "2.HL7" + ")"), std::string::npos);
  EXPECT_NE(log.find("TimerProgress"), std::string::npos);
  EXPECT_EQ(log.find("MainForm"), std::string::npos);

  Tick();
  EXPECT_NE(ErrorLog().find("No message header!"), std::string::npos);
  EXPECT_EQ(Failed(), (V{"1.HL7", "2.HL7", "3.HL7"}));
  // Kept failed files are the very bytes that arrived.
  EXPECT_EQ(ReadFile(in_ / "failed/" + kWeek + "/1.HL7"),
            "\xEF\xBB\xBF  \x0Bjunk" + Message("ZZZ^Z01") + "  ");
}

TEST_F(InboundCycleTest, OnlyTheKnownEventsAreDispatched) {
  settings().Debug = 1;
  const char* known[] = {"ADT^A08", "ADT^A40", "ADT^A47", "ORM^O01", "OMG^O19", "ORU^R01"};
  for (const char* event : known) {
    Drop("1.HL7", Message(event, "MRG|1^^^KH^PI\rORC|NW\rOBR|1|||\r"));
    Tick();
    EXPECT_EQ(Count(DebugLogText(), "Event ID not recognized"), 0u) << event;
    EXPECT_EQ(Inbound(), V{}) << event;
  }
  for (const char* event : {"adt^a08", "ADT^A08^ADT_A01", "ADT^A08 ", "ZZZ"}) {
    Drop("1.HL7", Message(event));
    Tick();
  }
  EXPECT_EQ(Count(DebugLogText(), "Event ID not recognized"), 4u);
}

TEST_F(InboundCycleTest, BadInputEndsInFailedOneFilePerTick) {
  std::string binary(2 * 1024 * 1024, '\0');
  unsigned x = 12345;
  for (char& c : binary) {
    x = x * 1103515245u + 12345u;
    c = static_cast<char>(x >> 16);
  }
  std::string nul = Message("ZZZ^Z01");
  nul[nul.find("Muster")] = '\0';
  std::string many = Message("ZZZ^Z01");
  for (int i = 0; i < 10000; ++i) many += "OBX|" + std::to_string(i) + "|TX|||x\r";
  std::string crlf = Message("ZZZ^Z01");
  for (std::size_t p = 0; (p = crlf.find('\r', p)) != std::string::npos; p += 2) {
    crlf.insert(p + 1, "\n");
  }
  const std::string cases[] = {
      binary, nul, many, crlf,
      "MSH|^~\\&|RIS|HOSP|PACS|HOSP|20261202||ZZZ^Z01|1|P|2.3\r",  // header only
      Message("ADT^A08^ADT_A01"),
  };
  int n = 0;
  for (const std::string& content : cases) Drop(std::to_string(++n) + ".HL7", content);
  for (int i = 1; i <= n; ++i) {
    Tick();
    EXPECT_EQ(Failed().size(), static_cast<std::size_t>(i));
    EXPECT_EQ(Inbound().size(), static_cast<std::size_t>(n - i));
  }
  // Every file kept whole; CR LF and header-only fail for want of a PID.
  for (int i = 1; i <= n; ++i) {
    EXPECT_EQ(ReadFile(in_ / "failed/" + kWeek + "/" + std::to_string(i) + ".HL7"), cases[i - 1]);
  }
  EXPECT_GE(Count(ErrorLog(), "Subscript out of range"), 2u);
}

TEST_F(InboundCycleTest, EveryTakenFileIsReportedWithItsFactsAndOutcome) {
  std::vector<TakenFile> reports;
  cycle_.on_taken = [&](const TakenFile& f) {
    EXPECT_GE(f.seconds, 0.0);
    reports.push_back(f);
  };
  Drop("1.HL7", "no header at all");
  Drop("2.HL7", Message("ZZZ^Z01"));
  // The event is read before the missing PID fails the message.
  Drop("3.HL7", "MSH|^~\\&|RIS|HOSP|PACS|HOSP|20261202||ADT^A08|1|P|2.3\r");
  for (int i = 0; i < 4; ++i) Tick();
  Drop("4.HL7", Message("ADT^A08"));
  for (int i = 0; i < 5; ++i) Tick();
  ASSERT_EQ(reports.size(), 4u);
  struct Case {
    const char* event;
    const char* control_id;
    V patient_ids;
    Outcome outcome;
    std::size_t error_lines;
    std::string disposal;
  } cases[] = {
      {"", "", {}, Outcome::kFailed, 1, in_ / "failed/" + kWeek + "/1.HL7"},
      {"ZZZ^Z01", "1", {"0815"}, Outcome::kFailed, 0, in_ / "failed/" + kWeek + "/2.HL7"},
      {"ADT^A08", "1", {}, Outcome::kFailed, 1, in_ / "failed/" + kWeek + "/3.HL7"},
      {"ADT^A08", "1", {"0815"}, Outcome::kProcessed, 0, "deleted"},
  };
  for (std::size_t i = 0; i < 4; ++i) {
    const TakenFile& r = reports[i];
    EXPECT_EQ(r.path, in_ / (std::to_string(i + 1) + ".HL7"));
    EXPECT_EQ(r.event, cases[i].event) << i;
    EXPECT_EQ(r.control_id, cases[i].control_id) << i;
    EXPECT_EQ(r.sending_application, i == 0 ? "" : "RIS") << i;
    EXPECT_EQ(r.patient_ids, cases[i].patient_ids) << i;
    EXPECT_EQ(r.outcome, cases[i].outcome) << i;
    EXPECT_EQ(r.notes.error_lines.size(), cases[i].error_lines) << i;
    EXPECT_EQ(r.disposal, cases[i].disposal) << i;
    EXPECT_GT(r.taken_at, 0);
    EXPECT_GE(r.finished_at, r.taken_at);
    EXPECT_FALSE(r.held || r.outage_began || r.outage_ended);
  }
  // Each error line is the error log's own line, in full.
  EXPECT_NE(ErrorLog().find(reports[0].notes.error_lines[0]), std::string::npos);
}

TEST_F(InboundCycleTest, ErrorsOfTheTickAreLoggedOnceAndFailTheFile) {
  Drop("1.HL7", "MSH|^~\\&|RIS|HOSP|PACS|HOSP|20261202||ADT^A08|1|P|2.3\rPID|1||4711^^^KH^PI||X||19600131|M\r");
  Tick();
  EXPECT_EQ(Failed(), V{"1.HL7"});
  std::string log = ErrorLog();
  EXPECT_EQ(Count(log, "\r\n"), 1u);
  EXPECT_NE(log.find(" 9 "), std::string::npos);
  EXPECT_NE(log.find("has no second repetition (" + in_ / "1.HL7" + ")"), std::string::npos);
  EXPECT_NE(log.find("MainForm TimerProgress"), std::string::npos);

  fs_.failing = {"Read"};
  Drop("2.HL7", Message("ZZZ^Z01"));
  Tick();
  EXPECT_EQ(Failed(), (V{"1.HL7", "2.HL7"}));
  EXPECT_EQ(Count(ErrorLog(), "MainForm TimerProgress"), 2u);
}

// StandardHL7 1: LF line ends and a three-component MSH-9 are read; every
// error line, the database procedures' included, names the file.
TEST_F(InboundCycleTest, StandardReadingAndErrorLinesThatNameTheFile) {
  settings().StandardHL7 = 1;
  settings().Debug = 1;
  std::string lf = Message("ADT^A08^ADT_A01");
  for (char& c : lf) c = c == '\r' ? '\n' : c;
  Drop("1.HL7", "\xEF\xBB\xBF" + lf);
  Drop("2.HL7", Message("ADT^A08") + Message("ADT^A08"));
  db_.Exec("ALTER TABLE tblPatienten RENAME TO tblPatientenAlt");
  Tick();
  std::string debug = DebugLogText();
  EXPECT_NE(debug.find("Event ID: ADT^A08\r\n"), std::string::npos);
  EXPECT_NE(debug.find("ID: 0815\r\n"), std::string::npos);
  // The patient table is gone: the patient check fails, naming the file.
  std::string log = ErrorLog();
  std::size_t line = log.find("MainForm IsPatientRegistered");
  ASSERT_NE(line, std::string::npos);
  EXPECT_NE(log.rfind("(" + in_ / "1.HL7" + ")", line), std::string::npos) << log;
  Tick();
  EXPECT_NE(ErrorLog().find("The file holds 2 messages; one message per file, without a batch "
                            "envelope, is read (" + in_ / "2.HL7" + ")"),
            std::string::npos);
  EXPECT_EQ(Failed(), (V{"1.HL7", "2.HL7"}));

  settings().StandardHL7 = 0;
  Drop("3.HL7", "MSH^~\\&^RIS^HOSP\rPID^1\r");
  Tick();
  EXPECT_NE(ErrorLog().find("No message header! (" + in_ / "3.HL7" + ")"), std::string::npos);
}

TEST_F(InboundCycleTest, AMissingInboundDirectoryIsAnErrorNeverAScan) {
  settings().InboundPath = in_ / "missing/";
  Tick();
  EXPECT_NE(ErrorLog().find("Path not found (" + in_ / "missing/)"), std::string::npos);
  EXPECT_NE(ErrorLog().find("MainForm TimerProgress"), std::string::npos);

  // An empty setting names no directory: nothing is listed or created in the
  // working directory.
  TempDir work;
  std::string old_cwd = fs::current_path().string();
  ASSERT_EQ(chdir(work.path().c_str()), 0);
  WriteFile(work / "1.HL7", Message("ZZZ^Z01"));
  SetAge(work / "1.HL7", 60);
  settings().InboundPath = "";
  Tick();
  Tick();
  ASSERT_EQ(chdir(old_cwd.c_str()), 0);
  EXPECT_EQ(Names(work.path()), V{"1.HL7"});
  EXPECT_FALSE(Exists(work / "failed"));
  // The same error on the next tick is not written again (at most once a
  // minute, with a count).
  EXPECT_EQ(Count(ErrorLog(), "MainForm TimerProgress"), 2u);
  EXPECT_EQ(cycle_.CurrentInboundDir, "");
}

TEST_F(InboundCycleTest, ExportDirectoriesAreUsedRoundRobin) {
  TempDir a, b, c;
  settings().InboundPath = "TCPRECEIVE";
  Tick();  // no export directories: an error, nothing else
  EXPECT_EQ(Count(ErrorLog(), "MainForm TimerProgress"), 1u);
  EXPECT_EQ(cycle_.CurrentInboundDir, "");

  settings().ExportPathList = {a.path() + "/", b.path() + "/", c.path() + "/"};
  WriteFile(b / "1.HL7", Message("ZZZ^Z01"));
  SetAge(b / "1.HL7", 60);
  std::vector<std::string> used;
  for (int i = 0; i < 5; ++i) {
    Tick();
    used.push_back(cycle_.CurrentInboundDir);
  }
  EXPECT_EQ(used, (V{a.path() + "/", b.path() + "/", c.path() + "/", a.path() + "/",
                     b.path() + "/"}));
  EXPECT_EQ(Names(b / "failed/" + kWeek), V{"1.HL7"});
  EXPECT_EQ(Count(ErrorLog(), "\r\n"), 2u);  // the error, and that it cleared
  EXPECT_EQ(Count(ErrorLog(), "(cleared)"), 1u);

  settings().ExportPathList = {a.path() + "/"};  // shrunk by a reload
  Tick();
  EXPECT_EQ(cycle_.CurrentInboundDir, a.path() + "/");
  EXPECT_EQ(cycle_.InboundDirIndex, 0);
}

TEST_F(InboundCycleTest, DisposalDeletesOrKeepsByOutcome) {
  auto drop = [&](const std::string& content) {
    WriteFile(in_ / "1234.HL7", content);
    return in_ / "1234.HL7";
  };
  std::string dir = in_.path() + "/";

  DisposeInboundFile(dir, drop("a"), true);  // KeepFiles 0
  EXPECT_EQ(Inbound(), V{});
  EXPECT_FALSE(Exists(in_ / "debug"));

  settings().KeepFiles = 1;
  DisposeInboundFile(dir, drop("b"), true);
  DisposeInboundFile(dir, drop("c"), true);  // the debug folder overwrites
  EXPECT_EQ(Debug(), V{"1234.HL7"});
  EXPECT_EQ(ReadFile(in_ / "debug/" + kWeek + "/1234.HL7"), "c");

  settings().KeepFiles = 0;  // plays no part for failed files
  for (const char* content : {"d", "e", "f"}) DisposeInboundFile(dir, drop(content), false);
  EXPECT_EQ(Failed(), (V{"1234.HL7", "1234.HL7.1", "1234.HL7.2"}));
  EXPECT_EQ(ReadFile(in_ / "failed/" + kWeek + "/1234.HL7"), "d");
  EXPECT_EQ(ReadFile(in_ / "failed/" + kWeek + "/1234.HL7.2"), "f");
  EXPECT_EQ(Inbound(), V{});

  DisposeInboundFile(dir, "", false);  // nothing chosen: nothing happens
  DisposeInboundFile(dir, in_ / "gone.HL7", false);
  EXPECT_EQ(Failed().size(), 3u);
}

TEST_F(InboundCycleTest, FailedDisposalLeavesTheFileForALaterTick) {
  std::string dir = in_.path() + "/";
  WriteFile(in_ / "7.HL7", "x");
  fs_.failing = {"Move", "CreateFolder"};
  DisposeInboundFile(dir, in_ / "7.HL7", false);
  EXPECT_EQ(Inbound(), V{"7.HL7"});

  // A copy into debug that fails must not cost the original.
  settings().KeepFiles = 1;
  fs_.failing = {"Copy"};
  fs::create_directories(in_ / "debug/" + kWeek);
  WriteFile(in_ / "debug/" + kWeek + "/7.HL7", "older");
  DisposeInboundFile(dir, in_ / "7.HL7", true);
  EXPECT_EQ(Inbound(), V{"7.HL7"});
  EXPECT_EQ(ReadFile(in_ / "debug/" + kWeek + "/7.HL7"), "older");

  fs_.failing = {"List"};
  Tick();
  EXPECT_NE(ErrorLog().find("Path/File access error"), std::string::npos);
  fs_.failing.clear();
  SetAge(in_ / "7.HL7", 60);
  Tick();  // taken again once the file system recovers
  EXPECT_EQ(Inbound(), V{});
}

// A file that cannot leave the inbound directory is reported once and not
// taken again (its effects would repeat on every tick) until it changes;
// the files behind it go on. A "debug" or "failed" that is a plain file or a
// link is never written through.
TEST_F(InboundCycleTest, AnUndisposableFileIsReportedOnceAndSkippedUntilItChanges) {
  Drop("1.HL7", Message("ZZZ^Z01"));
  Drop("2.HL7", Message("ZZZ^Z02"));
  fs_.failing = {"Move"};
  Tick();  // 1.HL7 fails and stays
  Tick();  // 1.HL7 is skipped: 2.HL7's turn, which stays as well
  Tick();  // nothing left to take
  EXPECT_EQ(Inbound(), (V{"1.HL7", "2.HL7"}));
  EXPECT_EQ(Count(ErrorLog(), "could not be disposed of"), 2u);
  EXPECT_EQ(Count(ErrorLog(), "(" + in_ / "1.HL7" + ")"), 1u);

  fs_.failing.clear();
  Tick();  // unchanged: still skipped, nothing more logged
  EXPECT_EQ(Inbound(), (V{"1.HL7", "2.HL7"}));
  Drop("1.HL7", Message("ZZZ^Z03"));  // rewritten: a new file to take
  Tick();
  EXPECT_EQ(Inbound(), V{"2.HL7"});
  EXPECT_EQ(Failed(), V{"1.HL7"});
  EXPECT_EQ(Count(ErrorLog(), "could not be disposed of"), 2u);

  // Planted in the way of the week folders: a plain file and a link.
  fs::remove_all(in_ / "failed");
  WriteFile(in_ / "failed", "not a folder");
  fs::create_directory(prog_ / "elsewhere");
  fs::create_directory_symlink(prog_ / "elsewhere", in_ / "debug");
  settings().KeepFiles = 1;
  Drop("3.HL7", Message("ZZZ^Z04"));
  Tick();
  EXPECT_EQ(ReadFile(in_ / "failed"), "not a folder");
  EXPECT_EQ(Inbound(), (V{"2.HL7", "3.HL7", "failed"}));
  EXPECT_NE(ErrorLog().find("failed cannot be used"), std::string::npos) << ErrorLog();
  EXPECT_TRUE(fs::is_empty(prog_ / "elsewhere"));
}

// A database that cannot be reached holds the queue: the file stays where it
// is, nothing behind it is taken, one line marks the outage; once the
// database answers, the same file goes first and one line says so. on_taken
// hears of every attempt; one that throws changes nothing.
TEST_F(InboundCycleTest, AnOutageHoldsTheQueueInOrderAndIsLoggedOnce) {
  std::vector<TakenFile> reports;
  cycle_.on_taken = [&](const TakenFile& f) {
    reports.push_back(f);
    throw std::runtime_error("a counter that fails");
  };
  const std::string reachable = settings().DBServer;
  settings().DBServer = "sqlite:" + (prog_ / "missing.db");
  Drop("1.HL7", Message("ADT^A08"));
  Drop("2.HL7", Message("ADT^A08"));
  for (int i = 0; i < 5; ++i) {
    cycle_.retry_at = {};  // no need to wait out the pause here
    Tick();
  }
  EXPECT_EQ(Inbound(), (V{"1.HL7", "2.HL7"}));
  EXPECT_EQ(Failed(), V{});
  EXPECT_EQ(Count(ErrorLog(), "cannot be reached"), 1u);
  EXPECT_NE(ErrorLog().find("(" + in_ / "1.HL7" + ")"), std::string::npos);
  EXPECT_GE(cycle_.retry_pause, std::chrono::seconds(8));  // 1, 2, 4, 8, 16 s
  EXPECT_LE(cycle_.retry_pause, std::chrono::seconds(60));

  settings().DBServer = reachable;
  Tick();  // still within its pause: nothing happens
  EXPECT_EQ(Inbound(), (V{"1.HL7", "2.HL7"}));
  cycle_.retry_at = {};
  Tick();
  EXPECT_EQ(Inbound(), V{"2.HL7"});
  EXPECT_EQ(Count(ErrorLog(), "can be reached again"), 1u);
  Tick();
  EXPECT_EQ(Inbound(), V{});
  EXPECT_EQ(Failed(), V{});

  ASSERT_EQ(reports.size(), 7u);
  for (std::size_t i = 0; i < 5; ++i) {
    EXPECT_TRUE(reports[i].held) << i;
    EXPECT_EQ(reports[i].outage_began, i == 0) << i;
    EXPECT_EQ(reports[i].path, in_ / "1.HL7") << i;
  }
  EXPECT_FALSE(reports[5].held);
  EXPECT_TRUE(reports[5].outage_ended);
  EXPECT_EQ(reports[5].path, in_ / "1.HL7");
  EXPECT_EQ(reports[5].event, "ADT^A08");
  EXPECT_EQ(reports[5].outcome, Outcome::kProcessed);
  EXPECT_FALSE(reports[6].outage_began || reports[6].outage_ended || reports[6].held);
}

// The sample messages: every one goes through the reader and the cycle
// without crashing, and every file ends in a week folder.
std::string CorpusDir() {
  const char* source = std::getenv("NORV_SOURCE_DIR");
  if (source == nullptr) return "";
  for (const char* rel : {"/../shared/corpus/hl7", "/../../shared/corpus/hl7"}) {
    std::string dir = std::string(source) + rel;
    if (fs::is_directory(dir)) return dir;
  }
  return "";
}

TEST_F(InboundCycleTest, EverySampleMessageIsReadAndDisposed) {
  std::string corpus = CorpusDir();
  if (corpus.empty()) GTEST_SKIP() << "no sample corpus beside the source tree";
  settings().ModalityLocation = "PV1;3;1";
  std::vector<std::string> samples = Names(corpus);
  ASSERT_FALSE(samples.empty());

  int dispatched = 0;
  for (const std::string& name : samples) {
    std::string text = ReadFile(corpus + "/" + name);
    std::size_t header = text.find("MSH");
    if (header == std::string::npos) continue;
    Hl7Segments store;
    HL7Message msg;
    SplitSegments(ctx_.log, std::string_view(text).substr(header), store);
    try {
      if (!ReadCommonValues(ctx_.log, store, msg)) continue;
      ++dispatched;
      ReadOrderControl(store, msg);
      ReadOrderStatus(store, msg);
      ReadAppointmentDateTime(store, msg);
      ReadAccessionNumber(store, msg);
      ReadPatientLocation(store, msg);
      ReadReferringPhysician(store, msg);
      ReadStudyInstanceUID(store, msg);
      ReadModality(store, msg);
      if (ReadProcedureCode(store, msg)) ReadProcedureText(store, msg);
      ReadModalityLocation(store, msg, settings().ModalityLocation);
    } catch (const Error&) {
      // A shortfall is an outcome, not a crash.
    }
  }
  EXPECT_GT(dispatched, 0);

  settings().KeepFiles = 1;
  int n = 0;
  std::size_t kept = 0;  // empty files are deleted, all others kept
  for (const std::string& name : samples) {
    std::string content = ReadFile(corpus + "/" + name);
    kept += content.empty() ? 0 : 1;
    Drop(std::to_string(++n) + ".HL7", content);
  }
  for (int i = 0; i < n + 5 && !Inbound().empty(); ++i) Tick();
  EXPECT_EQ(Inbound(), V{});
  EXPECT_EQ(Failed().size() + Debug().size(), kept);
}

// A kept connection whose Acquire throws a transient error at call
// `fail_at` (counted from 1), as when the server goes away mid-message.
class OutageAt final : public ConnectionSource {
 public:
  explicit OutageAt(ConnectionSource& inner) : inner_(inner) {}
  int fail_at = 0;
  Connection& Acquire() override {
    if (++calls_ == fail_at) throw Error(kErrDatabase, "server gone on purpose", true);
    return inner_.Acquire();
  }
  void Release(CallEnd end) override { inner_.Release(end); }
  void BeginMessage() override { inner_.BeginMessage(); }
  void EndMessage(bool keep) override { inner_.EndMessage(keep); }
  void Reset() { calls_ = 0; }

 private:
  ConnectionSource& inner_;
  int calls_ = 0;
};

// The cycle on a kept connection: what each procedure of a failed message
// did stands, only a procedure that raised an error is undone, and an
// outage undoes the whole message and holds it.
class InboundCycleTransactionTest : public testing::IntakeFixture {
 protected:
  void SetUp() override {
    IntakeFixture::SetUp();
    if (IsSkipped()) return;
    settings().Debug = 0;
    settings().InboundPath = in_.path() + "/";
    settings().FileSuffix = "HL7";
    settings().ModalityLocation = "PV1;3;0";
    settings().ConvertReports = 1;
    settings().Temp = temp_.path() + "/";
    SetProcedureCodes("CT123");
    db_->AddAet(1, "(CT1)");
    db_->AddAet(2, "(MR1)");
    db_->AddAet(3, "(MR1)");
    // The second booking of an MR1 order is refused by the database.
    if (GetParam() == testing::Backend::kSqlite) {
      db_->Exec("CREATE TRIGGER refuse AFTER INSERT ON tblTermine WHEN NEW.FKeyAETID = 3 "
                "BEGIN SELECT RAISE(ABORT, 'refused on purpose'); END");
    } else {
      db_->Exec("CREATE FUNCTION refuse() RETURNS trigger AS $$ BEGIN IF NEW.FKeyAETID = 3 "
                "THEN RAISE EXCEPTION 'refused on purpose'; END IF; RETURN NEW; END $$ "
                "LANGUAGE plpgsql");
      db_->Exec("CREATE TRIGGER refuse AFTER INSERT ON tblTermine FOR EACH ROW EXECUTE "
                "FUNCTION refuse()");
    }
    db_->AddAppointment(999, 1, "2000-01-01", "PAST");
  }

  V PatientNames() {
    V patients;
    for (const std::string& row : db_->Patients()) {
      std::vector<std::string> cols = SplitText(row, '|');
      patients.push_back(cols[1] + "|" + cols[3]);
    }
    return patients;
  }
  V Accessions() {
    V accessions;
    for (auto& row : db_->Appointments()) accessions.push_back(row["AccessionNumber"]);
    return accessions;
  }
  std::size_t FailedCount() {
    std::size_t n = 0;
    std::error_code ec;
    for (const auto& e : fs::recursive_directory_iterator(in_ / "failed", ec)) n += e.is_regular_file();
    return n;
  }

  TempDir in_, temp_;
  ReusedConnection reused_{settings(), home_.path()};
  OutageAt outage_{reused_};
  IntakeContext intake_reused_{DbContext{ctx_.db, outage_, nullptr}, codes_, testing::Fonts()};
  InboundCycle cycle_;
};

TEST_P(InboundCycleTransactionTest, AFailedMessageKeepsWhatItsProceduresDid) {
  auto order = [](const std::string& patient, const std::string& last, const std::string& pv1) {
    std::string obr = "OBR|1|||CT123^CT Thorax";
    for (int i = 5; i <= 24; ++i) obr += "|" + std::string(i == 21 ? "A" + patient : i == 24 ? "CT" : "");
    return "MSH|^~\\&|RIS|KH|NORV|RAD|20300101||ORM^O01|M1|P|2.3\r"
           "PID|1||X1^^^KH^PI~" + patient + "^^^KH^PN||" + last + "^Liam||19600131|M\r"
           "PV1|1|O|" + pv1 + "\rORC|NW|P1|F1||SC||^^^20300620093015\r" + obr + "\r";
  };
  const std::string report =
      "MSH|^~\\&|RIS|KH|NORV|RAD|20300101||ORU^R01|M2|P|2.3\r"
      "PID|1||X1^^^KH^PI~P1^^^KH^PN||Neu^Liam||19600131|M\rOBR|1\rOBX|1|TX|||Befund\r";
  struct Step {
    const char* label;
    std::string text;
    int outage_at;     // the procedure call that meets an outage; 0: none
    const char* kept;  // "processed", "failed" or "held"
    V patients;        // PATID1|PATNachname afterwards
    V accessions;      // of the appointment rows afterwards
    std::size_t pages;
    std::size_t undone;  // changes the journal is told were rolled back
  } steps[] = {
      {"no AET serves the location", order("P1", "Neu", "MR9"), 0, "failed", {"P1|Neu"}, {}, 0, 0},
      {"the report that follows", report, 0, "processed", {"P1|Neu"}, {}, 1, 0},
      {"the second of two bookings is refused", order("P1", "Anders", "MR1"), 0, "failed",
       {"P1|Anders"}, {}, 1, 1},
      {"an outage at the booking", order("P2", "Zwei", "CT1"), 2, "held", {"P1|Anders"}, {}, 1, 0},
      {"the held order again", "", 0, "processed", {"P1|Anders", "P2|Zwei"}, {"AP2"}, 1, 0},
  };
  std::size_t undone = 0;
  cycle_.on_taken = [&undone](const TakenFile& t) {
    for (const std::string& c : t.notes.changes) {
      undone += c.ends_with("(rolled back: its procedure failed)");
    }
  };
  for (const Step& s : steps) {
    SCOPED_TRACE(s.label);
    if (!s.text.empty()) {
      WriteFile(in_ / "1.HL7", s.text);
      SetAge(in_ / "1.HL7", 60);
    }
    cycle_.retry_at = {};
    outage_.Reset();
    outage_.fail_at = s.outage_at;
    undone = 0;
    const std::size_t failed_before = FailedCount();
    RunInboundTick(intake_reused_, cycle_);
    const char* kept = Exists(in_ / "1.HL7")           ? "held"
                       : FailedCount() > failed_before ? "failed"
                                                       : "processed";
    EXPECT_STREQ(kept, s.kept);
    EXPECT_EQ(PatientNames(), s.patients);
    EXPECT_EQ(Accessions(), s.accessions);
    EXPECT_EQ(Names(temp_.path()).size(), 2 * s.pages);  // a marker and a page each
    EXPECT_EQ(undone, s.undone);
  }
  EXPECT_EQ(reused_.opened(), 1);
}

NORV_INSTANTIATE_FOR_BACKENDS(InboundCycleTransactionTest);

}  // namespace
}  // namespace norv

#include "operations/status.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>

#include "operations/service_publisher.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::TempDir;
using testing::WriteFile;

constexpr std::int64_t kNow = 1796600000;

TEST(StatusLevel, FollowsTheWorstFinding) {
  struct Case {
    const char* what;
    ServiceRun run;
    bool database;
    QueueFigures queue;
    std::uint64_t failed_today;
    StatusLevel level;
    std::uint64_t undisposable = 0;
  } cases[] = {
      {"all well", ServiceRun::kRunning, true, {"/in/", true, 2, 299, 5}, 0, StatusLevel::kOk},
      {"queue getting old", ServiceRun::kRunning, true, {"/in/", true, 2, 301, 5}, 0, StatusLevel::kWarning},
      {"failures today", ServiceRun::kRunning, true, {"/in/", true, 0, 0, 0}, 1, StatusLevel::kWarning},
      {"a file stuck", ServiceRun::kRunning, true, {"/in/", true, 1, 10, 5}, 0, StatusLevel::kWarning, 1},
      {"queue stuck", ServiceRun::kRunning, true, {"/in/", true, 1, 1801, 5}, 0, StatusLevel::kCritical},
      {"empty queue is never old", ServiceRun::kRunning, true, {"/in/", true, 0, 5000, 0}, 0, StatusLevel::kOk},
      {"directory unreadable", ServiceRun::kRunning, true, {"/in/", false, 0, 0, 0}, 0, StatusLevel::kCritical},
      {"database down", ServiceRun::kRunning, false, {"/in/", true, 0, 0, 0}, 0, StatusLevel::kCritical},
      {"stopped", ServiceRun::kStopped, true, {"/in/", true, 0, 0, 0}, 0, StatusLevel::kCritical},
      {"stalled", ServiceRun::kStalled, true, {"/in/", true, 0, 0, 0}, 0, StatusLevel::kCritical},
      {"never ran", ServiceRun::kNeverRan, true, {"/in/", true, 0, 0, 0}, 0, StatusLevel::kCritical},
      {"record unreadable", ServiceRun::kUnreadable, true, {"/in/", true, 0, 0, 0}, 1, StatusLevel::kUnknown},
      {"unreadable but down", ServiceRun::kUnreadable, false, {"/in/", true, 0, 0, 0}, 0, StatusLevel::kCritical},
  };
  for (const Case& c : cases) {
    StatusReport r;
    r.now = kNow;
    r.run = c.run;
    r.database.reachable = c.database;
    r.queues = {c.queue};
    r.state.undisposable_files = c.undisposable;
    if (c.failed_today) r.today.by_event["ORM^O01"] = {0, c.failed_today};
    EvaluateStatus(r, 300, 1800);
    EXPECT_EQ(r.level, c.level) << c.what;
    EXPECT_EQ(r.reasons.empty(), c.level == StatusLevel::kOk) << c.what;
  }
}

class GatherStatusTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::filesystem::create_directory(in_.path() + "/x");
    settings_.InboundPath = in_.path() + "/";
    settings_.FileSuffix = "HL7";
  }
  StatusReport Gather(bool alive) {
    StatusInputs in;
    in.settings = &settings_;
    in.program_dir = home_.path();
    in.instance = "01";
    in.now = {kNow, {2026, 12, 7, 10, 0, 0}};
    in.process_alive = [alive](std::int64_t) { return alive; };
    in.probe_database = [] { return DatabaseProbe{true, 0.001, 0.0005, ""}; };
    in.port_listening = [](int port) { return std::optional<bool>(port == 2575); };
    return GatherStatus(in);
  }
  void WriteRecord(std::int64_t last_tick, std::int64_t stopped = 0) {
    ServiceState s;
    s.pid = 99;
    s.started = kNow - 3600;
    s.last_tick = last_tick;
    s.stopped = stopped;
    s.day = "2026-12-06";  // yesterday's counts do not count today
    s.week = "2026-50";
    s.today.by_event["ORM^O01"] = {4, 2};
    s.this_week.by_event["ORM^O01"] = {4, 2};
    WriteFile(StateFilePath(home_.path(), "01"), SerialiseState(s));
  }

  TempDir home_, in_;
  Settings settings_;
};

TEST_F(GatherStatusTest, TheServiceRunsWhenItsProcessLivesAndItsTickIsRecent) {
  struct Case {
    const char* what;
    bool write;
    std::int64_t last_tick, stopped;
    bool alive;
    ServiceRun run;
  } cases[] = {
      {"running", true, kNow - 5, 0, true, ServiceRun::kRunning},
      {"tick too old", true, kNow - kStaleAfterSeconds - 1, 0, true, ServiceRun::kStalled},
      {"process gone", true, kNow - 5, 0, false, ServiceRun::kStopped},
      {"stopped cleanly", true, kNow - 5, kNow - 4, true, ServiceRun::kStopped},
      {"no record", false, 0, 0, true, ServiceRun::kNeverRan},
  };
  for (const Case& c : cases) {
    std::filesystem::remove(StateFilePath(home_.path(), "01"));
    if (c.write) WriteRecord(c.last_tick, c.stopped);
    StatusReport r = Gather(c.alive);
    EXPECT_EQ(r.run, c.run) << c.what;
  }
  WriteFile(StateFilePath(home_.path(), "01"), "norvreader-state 1\npid ???\n");
  EXPECT_EQ(Gather(true).run, ServiceRun::kUnreadable);
  EXPECT_EQ(Gather(true).level, StatusLevel::kUnknown);
}

TEST_F(GatherStatusTest, ReportsTheQueueTodayAndTheWeek) {
  WriteRecord(kNow - 5);
  WriteFile(in_.path() + "/1.HL7", "x");
  WriteFile(in_.path() + "/note.txt", "x");
  StatusReport r = Gather(true);
  ASSERT_EQ(r.queues.size(), 1u);
  EXPECT_EQ(r.queues[0].waiting, 1u);
  EXPECT_EQ(r.today.Total(Outcome::kFailed), 0u);
  EXPECT_EQ(r.this_week.Total(Outcome::kFailed), 2u);
  EXPECT_EQ(r.level, StatusLevel::kOk);
  std::string screen = FormatStatusScreen(r);
  EXPECT_EQ(screen.rfind("NORVREADER OK - ", 0), 0u) << screen;
  EXPECT_NE(screen.find("1 waiting"), std::string::npos) << screen;
}

TEST(RunStatus, UnreadableSettingsAreUnknownInBothForms) {
  Settings settings;
  for (bool json : {false, true}) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    EXPECT_EQ(RunStatus(settings, "/nonexistent", "01", json, out, "the settings file x: gone"), 3);
    std::rewind(out);
    char buf[256] = {};
    std::size_t n = std::fread(buf, 1, sizeof buf - 1, out);
    std::fclose(out);
    const std::string text(buf, n);
    EXPECT_EQ(text, json ? "{\"status\":\"UNKNOWN\",\"exit_code\":3,\"reasons\":[\"the settings "
                           "file x: gone\"]}\n"
                         : "NORVREADER UNKNOWN - the settings file x: gone\n");
  }
}

TEST(ProbeDatabase, ARelativeSqlitePathLiesInTheProgramDirectory) {
  TempDir home;
  WriteFile(home / "norv.db", "");  // an empty file is an empty SQLite database
  DatabaseProbe found = ProbeDatabase("sqlite:norv.db", home.path(), 5);
  EXPECT_TRUE(found.reachable) << found.error;
  DatabaseProbe missing = ProbeDatabase("sqlite:other.db", home.path(), 5);
  EXPECT_FALSE(missing.reachable);
  EXPECT_NE(missing.error.find(home / "other.db"), std::string::npos) << missing.error;
}

TEST_F(GatherStatusTest, AConfiguredReceiverMustListen) {
  WriteRecord(kNow - 5);
  EXPECT_FALSE(Gather(true).receiver.configured);
  settings_.MLLPPort = 2575;
  StatusReport r = Gather(true);
  EXPECT_EQ(r.receiver.listening, true);
  EXPECT_EQ(r.level, StatusLevel::kOk);
  settings_.MLLPPort = 2576;
  r = Gather(true);
  EXPECT_EQ(r.level, StatusLevel::kCritical);
  EXPECT_NE(FormatStatusScreen(r).find("127.0.0.1:2576, NOT LISTENING"), std::string::npos);
  EXPECT_NE(FormatStatusJson(r).find("\"mllp\":{\"bind\":\"127.0.0.1\",\"port\":2576,"
                                     "\"listening\":false,\"duplicates\":null}"),
            std::string::npos);
  // The receiver's own count of messages answered without writing them again.
  WriteFile(home_ / "NORVReceive.stats", "duplicates 3\n");
  r = Gather(true);
  EXPECT_NE(FormatStatusScreen(r).find("NOT LISTENING, 3 duplicates answered without writing"),
            std::string::npos);
  EXPECT_NE(FormatStatusJson(r).find("\"duplicates\":3}"), std::string::npos);
}

TEST(ListensOnPort, OnlyAListeningSocketOnThePortCounts) {
  const std::string tcp =
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt\n"
      "   0: 0100007F:0A0F 00000000:0000 0A 00000000:00000000 00:00000000 00000000\n"
      "   1: 0100007F:1F90 0100007F:C350 01 00000000:00000000 00:00000000 00000000\n";
  const std::string tcp6 =
      "  sl  local_address                         remote_address                        st\n"
      "   0: 00000000000000000000000000000000:0A10 00000000000000000000000000000000:0000 0A\n";
  EXPECT_TRUE(ListensOnPort(tcp, 2575));
  EXPECT_FALSE(ListensOnPort(tcp, 8080));  // connected, not listening
  EXPECT_FALSE(ListensOnPort(tcp, 50000));  // a remote port
  EXPECT_TRUE(ListensOnPort(tcp6, 2576));
  EXPECT_FALSE(ListensOnPort("", 2575));
}

TEST(ErrorLogTail, LastLinesConvertedForTheScreen) {
  TempDir home;
  std::filesystem::create_directory(home.path() + "/Logs");
  std::string log;
  for (int i = 1; i <= 7; ++i) log += "2026-12-07 10:00:0" + std::to_string(i) + " M\xFCller\r\n";
  WriteFile(home.path() + "/Logs/NORVReaderError.log", log + "\r\n");
  std::vector<std::string> lines = LastErrorLogLines(home.path(), 5);
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines.front(), "2026-12-07 10:00:03 M\xFCller");
  EXPECT_EQ(lines.back(), "2026-12-07 10:00:07 M\xFCller");
  StatusReport r;
  r.last_errors = {"M\xFCller\x1b[2J"};
  std::string json = FormatStatusJson(r);
  EXPECT_NE(json.find("\"last_errors\":[\"M\xC3\xBCller?[2J\"]"), std::string::npos) << json;
  EXPECT_TRUE(LastErrorLogLines(home.path() + "/none", 5).empty());
}

}  // namespace
}  // namespace norv

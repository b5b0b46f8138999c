#include "operations/journal.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "operations/trace.h"
#include "platform/file_system.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::TempDir;
using Kind = JournalRecord::Kind;
using V = std::vector<std::string>;

JournalRecord Taken(std::int64_t at, const std::string& file, const std::string& disposal,
                    V patients, V accessions, const std::string& control,
                    const std::string& outcome = "processed") {
  JournalRecord r;
  r.kind = Kind::kTaken;
  r.at = r.finished = at;
  r.file = file;
  r.disposal = disposal;
  r.patient_ids = std::move(patients);
  r.accessions = std::move(accessions);
  r.control_id = control;
  r.event = "ORM^O01";
  r.outcome = outcome;
  return r;
}

JournalRecord Received(std::int64_t at, const std::string& file, const std::string& control) {
  JournalRecord r;
  r.kind = Kind::kReceived;
  r.at = r.finished = at;
  r.file = file;
  r.peer = "127.0.0.1:4000";
  r.answer = "AA";
  r.control_id = control;
  return r;
}

class JournalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string error;
    journal_ = Journal::Open(path_, true, &error);
    ASSERT_TRUE(journal_) << error;
  }
  JournalRecord Add(JournalRecord r) {
    std::string error;
    std::vector<JournalRecord> one{std::move(r)};
    EXPECT_TRUE(journal_->Add(one, &error)) << error;
    return one[0];
  }
  std::vector<std::int64_t> Ids(std::string_view text, std::int64_t since = 0) {
    std::vector<std::int64_t> ids;
    std::optional<std::vector<JournalRecord>> found = journal_->Find(text, since, nullptr);
    EXPECT_TRUE(found);
    for (const JournalRecord& r : found.value_or(std::vector<JournalRecord>{})) ids.push_back(r.id);
    return ids;
  }
  TempDir dir_;
  std::string path_ = JournalPath(dir_.path(), "01");
  std::unique_ptr<Journal> journal_;
};

TEST_F(JournalTest, IsPrivateAndNeverOpenedThroughALink) {
  struct stat st {};
  ASSERT_EQ(stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  const std::string link = dir_ / "NORVReader.02.journal";
  ASSERT_EQ(symlink(path_.c_str(), link.c_str()), 0);
  std::string error;
  EXPECT_FALSE(Journal::Open(link, true, &error));
  EXPECT_FALSE(error.empty());
}

TEST_F(JournalTest, RecordsAreFoundByEachKeyOldestFirst) {
  const std::string in = "/in/";
  JournalRecord a = Add(Taken(100, in + "7.HL7", in + "failed/2026-50/7.HL7.1", {"P1"},
                              {"A1", "A2"}, "C1", "failed"));
  JournalRecord b = Add(Taken(200, in + "8.HL7", "deleted", {"P1", "P2"}, {"A2"}, "C2"));
  JournalRecord c = Add(Received(50, in + "7.HL7", "C1"));
  JournalRecord refused = Received(60, "", "C3");
  refused.answer = "AR";
  refused = Add(refused);
  struct Case {
    const char* text;
    std::int64_t since;
    std::vector<std::int64_t> ids;
  } cases[] = {
      {"P1", 0, {a.id, b.id}},
      {"P2", 0, {b.id}},
      {"A2", 150, {b.id}},
      {"C1", 0, {c.id, a.id}},
      {"7.HL7", 0, {c.id, a.id}},
      {"7.HL7.1", 0, {a.id}},
      {"/in/failed/2026-50/7.HL7.1", 0, {a.id}},
      {"deleted", 0, {}},
      {"P", 0, {}},
  };
  for (const Case& k : cases) EXPECT_EQ(Ids(k.text, k.since), k.ids) << k.text;
  EXPECT_EQ(journal_->Record(a.id), a);
  std::vector<JournalRecord> failed = *journal_->Failed(0, nullptr);
  ASSERT_EQ(failed.size(), 2u);
  EXPECT_EQ(failed[0].id, refused.id);
  EXPECT_EQ(failed[1].id, a.id);
}

// A road joins the receiver's record to the record of the file it wrote,
// from either side, and each message is shown once.
TEST_F(JournalTest, RoadsJoinTheReceiverToTheTakenFile) {
  const std::string file = dir_ / "5.HL7";
  JournalRecord sent = Add(Received(100, file, "C5"));
  JournalRecord taken = Add(Taken(101, file, file, {"P5"}, {}, "C5"));
  JournalRecord dropped = Add(Taken(102, dir_ / "6.HL7", "deleted", {"P5"}, {}, "C6"));
  JournalRecord waiting = Add(Received(103, dir_ / "9.HL7", "C9"));
  testing::WriteFile(file, "x");
  FileSystem& fs = PlatformFileSystem();

  std::vector<TraceRoad> by_control = TraceRoads(*journal_, *journal_->Find("C5", 0, nullptr), fs);
  ASSERT_EQ(by_control.size(), 1u);
  EXPECT_EQ(by_control[0].received->id, sent.id);
  EXPECT_EQ(by_control[0].taken->id, taken.id);
  EXPECT_TRUE(by_control[0].file_there);

  std::vector<TraceRoad> by_patient = TraceRoads(*journal_, *journal_->Find("P5", 0, nullptr), fs);
  ASSERT_EQ(by_patient.size(), 2u);
  EXPECT_EQ(by_patient[0].received->id, sent.id);
  EXPECT_FALSE(by_patient[1].received);
  EXPECT_EQ(by_patient[1].taken->id, dropped.id);
  EXPECT_EQ(by_patient[1].file_now, "");

  std::vector<TraceRoad> not_taken = TraceRoads(*journal_, *journal_->Find("C9", 0, nullptr), fs);
  ASSERT_EQ(not_taken.size(), 1u);
  EXPECT_EQ(not_taken[0].received->id, waiting.id);
  EXPECT_FALSE(not_taken[0].taken);
  EXPECT_NE(FormatTraceText(not_taken).find("taken     not yet"), std::string::npos);
}

TEST_F(JournalTest, PruningRemovesTheOldestInSteps) {
  for (int i = 0; i < 5; ++i) Add(Taken(100 + i, "/in/1.HL7", "deleted", {"P"}, {}, "C"));
  EXPECT_EQ(journal_->Prune(103, 2, nullptr), 2);
  EXPECT_EQ(journal_->Prune(103, 2, nullptr), 1);
  EXPECT_EQ(journal_->Prune(103, 2, nullptr), 0);
  EXPECT_EQ(Ids("P").size(), 2u);
  EXPECT_EQ(Ids("/in/1.HL7").size(), 2u);
}

// A journal that cannot be written loses its records and says so once; with
// JournalDays 0 nothing is written at all.
TEST(JournalWriterTest, FailuresAreToldOnceAndZeroDaysWritesNothing) {
  TempDir dir;
  Settings settings;
  std::vector<std::string> lines;
  const std::string blocked = dir / "blocked.journal";
  std::filesystem::create_directory(blocked);  // a folder where the file should be
  JournalWriter writer(blocked, settings, [&](const std::string& l) { lines.push_back(l); });
  for (int i = 0; i < 20; ++i) writer.Write(Taken(i, "/in/1.HL7", "deleted", {}, {}, "C"));
  writer.Prune(1000);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find(blocked), std::string::npos);

  settings.JournalDays = 0;
  const std::string off = dir / "off.journal";
  JournalWriter none(off, settings, nullptr);
  none.Write(Taken(1, "/in/1.HL7", "deleted", {}, {}, "C"));
  EXPECT_FALSE(std::filesystem::exists(off));
}

}  // namespace
}  // namespace norv

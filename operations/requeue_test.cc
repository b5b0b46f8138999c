#include "operations/requeue.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>

#include "testing/test_util.h"

namespace norv {
namespace {

namespace fs = std::filesystem;
using testing::ReadFile;
using testing::TempDir;
using testing::WriteFile;

class RequeueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::canonical(tmp_.path()).string();
    for (const char* d : {"in", "in/failed", "in/failed/2026-49", "in/debug", "in/debug/2026-50",
                          "in/failed/misc", "elsewhere"}) {
      fs::create_directory(root_ + "/" + d);
    }
    WriteFile(In("7.HL7"), "waiting 7");
    WriteFile(In("12.hl7"), "waiting 12");
    WriteFile(In("5000000.HL7"), "never taken");
  }
  std::string In(const std::string& name) { return root_ + "/in/" + name; }
  std::string Failed(const std::string& name) { return root_ + "/in/failed/2026-49/" + name; }
  RequeuePlan Plan(const std::vector<std::string>& paths) {
    return PlanRequeue(paths, {root_ + "/in/"}, "HL7");
  }
  std::vector<std::string> Listing() {
    std::vector<std::string> names;
    for (const auto& e : fs::recursive_directory_iterator(root_)) names.push_back(e.path().string());
    std::sort(names.begin(), names.end());
    return names;
  }

  TempDir tmp_;
  std::string root_;
};

TEST_F(RequeueTest, FilesGetNumbersAboveTheQueueInTheOrderGiven) {
  WriteFile(Failed("30.HL7"), "thirty");
  WriteFile(Failed("2.HL7"), "two");
  WriteFile(root_ + "/in/debug/2026-50/1.HL7", "one");
  RequeuePlan plan = Plan({Failed("30.HL7"), Failed("2.HL7"), root_ + "/in/debug/2026-50/1.HL7"});
  ASSERT_TRUE(plan.refused.empty());
  std::vector<std::string> to;
  for (const RequeueOutcome& o : CarryOutRequeue(PlatformFileSystem(), plan, "HL7")) {
    EXPECT_EQ(o.error, 0);
    to.push_back(o.move.to);
  }
  EXPECT_EQ(to, (std::vector<std::string>{In("13.HL7"), In("14.HL7"), In("15.HL7")}));
  EXPECT_EQ(ReadFile(In("13.HL7")), "thirty");
  EXPECT_EQ(ReadFile(In("15.HL7")), "one");
  EXPECT_FALSE(testing::Exists(Failed("30.HL7")));
  EXPECT_EQ(ReadFile(In("7.HL7")), "waiting 7");
}

TEST_F(RequeueTest, AWeekFolderGoesInTheOrderOfTheOriginalNumbers) {
  for (const char* name : {"10.HL7.1", "abc.HL7", "10.HL7", "9.HL7", "-3.HL7"}) {
    WriteFile(Failed(name), name);
  }
  RequeuePlan plan = Plan({root_ + "/in/failed/2026-49/"});
  std::vector<std::string> from;
  for (const RequeueMove& m : plan.moves) from.push_back(fs::path(m.from).filename().string());
  EXPECT_EQ(from, (std::vector<std::string>{"-3.HL7", "9.HL7", "10.HL7", "10.HL7.1", "abc.HL7"}));
  EXPECT_EQ(plan.moves.front().number, 13);
  EXPECT_EQ(plan.moves.back().number, 17);
}

TEST_F(RequeueTest, ANameTakenMeanwhileIsNeverOverwritten) {
  WriteFile(Failed("1.HL7"), "first");
  WriteFile(Failed("2.HL7"), "second");
  RequeuePlan plan = Plan({Failed("1.HL7"), Failed("2.HL7")});
  WriteFile(In("13.HL7"), "a sender's new file");  // arrives between plan and move
  std::vector<RequeueOutcome> done = CarryOutRequeue(PlatformFileSystem(), plan, "HL7");
  ASSERT_EQ(done.size(), 2u);
  EXPECT_EQ(done[0].move.to, In("14.HL7"));
  EXPECT_EQ(done[1].move.to, In("15.HL7"));  // the order still holds
  EXPECT_EQ(ReadFile(In("13.HL7")), "a sender's new file");
  EXPECT_EQ(ReadFile(In("14.HL7")), "first");
  EXPECT_EQ(ReadFile(In("15.HL7")), "second");
}

TEST_F(RequeueTest, PathsOutsideTheWeekFoldersAreRefused) {
  WriteFile(root_ + "/elsewhere/1.HL7", "x");
  WriteFile(root_ + "/in/failed/1.HL7", "x");
  WriteFile(root_ + "/in/failed/misc/1.HL7", "x");
  WriteFile(Failed("ok.HL7"), "x");
  fs::create_symlink(root_ + "/elsewhere/1.HL7", Failed("link.HL7"));
  fs::create_directory_symlink(root_ + "/elsewhere", root_ + "/in/failed/2026-48");
  const std::string refused[] = {
      root_ + "/elsewhere/1.HL7",             // outside the installation
      In("7.HL7"),                            // already in the inbound directory
      root_ + "/in/failed/1.HL7",             // not in a week folder
      root_ + "/in/failed/misc/1.HL7",        // a folder that is no week
      Failed("link.HL7"),                     // a symbolic link
      root_ + "/in/failed/2026-48/1.HL7",     // a week folder leading elsewhere
      root_ + "/in/failed/2026-49/../../../elsewhere/1.HL7",
      Failed("missing.HL7"),
      root_ + "/in/failed",
      Failed("ok.HL7"),                       // the second time it is given
  };
  std::vector<std::string> paths = {Failed("ok.HL7")};
  paths.insert(paths.end(), std::begin(refused), std::end(refused));
  RequeuePlan plan = Plan(paths);
  ASSERT_EQ(plan.moves.size(), 1u);
  ASSERT_EQ(plan.refused.size(), std::size(refused));
  for (std::size_t i = 0; i < plan.refused.size(); ++i) EXPECT_EQ(plan.refused[i].path, refused[i]);
  EXPECT_EQ(PlanRequeue({Failed("ok.HL7")}, {root_ + "/in/"}, "").moves.size(), 0u);
}

TEST_F(RequeueTest, ADryRunChangesNothing) {
  WriteFile(Failed("1.HL7"), "x");
  WriteFile(Failed("2.HL7"), "y");
  std::vector<std::string> before = Listing();
  std::FILE* out = std::tmpfile();
  std::FILE* err = std::tmpfile();
  EXPECT_EQ(RunRequeue({root_ + "/in/failed/2026-49", root_ + "/elsewhere"}, {root_ + "/in/"}, "HL7",
                       true, out, err),
            1);  // one path refused
  EXPECT_EQ(Listing(), before);
  std::rewind(out);
  char line[512] = {};
  ASSERT_NE(std::fgets(line, sizeof line, out), nullptr);
  EXPECT_EQ(std::string(line), Failed("1.HL7") + " -> " + In("13.HL7") + "\n");
  std::fclose(out);
  std::fclose(err);
}

}  // namespace
}  // namespace norv

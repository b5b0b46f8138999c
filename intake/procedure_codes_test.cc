#include "intake/procedure_codes.h"

#include <gtest/gtest.h>

#include "core/error.h"
#include "core/log.h"
#include "testing/test_context.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::TempDir;
using testing::WriteFile;

class ProcedureCodes : public ::testing::Test {
 protected:
  void Read(const std::string& content) {
    WriteFile(dir_ / "procedure-ids.txt", content);
    ReadProcedureIDs();
  }
  void ReadProcedureIDs() { table_.ReadProcedureIDs(PlatformFileSystem(), dir_.path(), ctx_.log); }
  int ProcedureCodeCount() const { return table_.Count(); }
  bool IsProcedureID(std::string_view code) const { return table_.IsProcedureID(code); }

  TempDir dir_;
  testing::TestContext ctx_{dir_.path()};
  ProcedureCodeTable table_;
};

TEST_F(ProcedureCodes, ThreeCodes) {
  Read("CT1;MR2;US3");
  EXPECT_EQ(ProcedureCodeCount(), 3);
  EXPECT_TRUE(IsProcedureID("CT1"));
  EXPECT_TRUE(IsProcedureID("MR2"));
  EXPECT_TRUE(IsProcedureID("US3"));
  EXPECT_FALSE(IsProcedureID("ct1"));  // exact, case-sensitive
  EXPECT_FALSE(IsProcedureID(""));
}

TEST_F(ProcedureCodes, LineBreaksBelongToTheCodes) {
  Read("CT1;MR2;US3\r\n");
  EXPECT_TRUE(IsProcedureID("MR2"));
  EXPECT_FALSE(IsProcedureID("US3"));
  EXPECT_TRUE(IsProcedureID("US3\r\n"));
  Read("CT1\r\nMR2\r\n");
  EXPECT_EQ(ProcedureCodeCount(), 1);
  EXPECT_FALSE(IsProcedureID("CT1"));
}

TEST_F(ProcedureCodes, TrailingSemicolonAcceptsTheEmptyCode) {
  Read("CT1;");
  EXPECT_EQ(ProcedureCodeCount(), 2);
  EXPECT_TRUE(IsProcedureID(""));
}

TEST_F(ProcedureCodes, EmptyAndMissingFiles) {
  Read("");
  EXPECT_EQ(ProcedureCodeCount(), 0);
  EXPECT_FALSE(IsProcedureID("CT1"));
  std::filesystem::remove(dir_ / "procedure-ids.txt");
  ReadProcedureIDs();
  EXPECT_EQ(ProcedureCodeCount(), 2);
  EXPECT_FALSE(IsProcedureID("CT1"));
  EXPECT_TRUE(IsProcedureID("!%&X"));
}

TEST_F(ProcedureCodes, ATableNeverFilledRaises) {
  std::filesystem::create_directory(dir_ / "procedure-ids.txt");  // unreadable as a file
  ReadProcedureIDs();
  EXPECT_EQ(ProcedureCodeCount(), -1);
  EXPECT_THROW(IsProcedureID("CT1"), Error);
  std::string log = testing::ReadFile(dir_ / "Logs/NORVReaderError.log");
  EXPECT_NE(log.find("Global ReadProcedureIDs"), std::string::npos);
}

}  // namespace
}  // namespace norv

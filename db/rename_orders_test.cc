#include "db/rename_orders.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "testing/database_fixture.h"
#include "testing/service_state.h"

namespace norv {
namespace {

TEST(RenameOrderLine, FieldsInTheirPlaces) {
  struct Case {
    std::string key;
    HL7Message record;
    std::string line;
  } cases[] = {
      {"4711", testing::PatientRecord("123", "Doe", "John", "", "1970-01-02", "M"),
       "4711|Doe^John^|1970-01-02|123|||||M|\r\n"},
      {"9", testing::PatientRecord("A-1", "Doe", "", "", "1970-01-02", "F"),
       "9|Doe^^|1970-01-02|A-1|||||F|\r\n"},
      {"", testing::PatientRecord("7", "M\xFCller", "J\xF6rg", "Andr\xE9", "--", ""),
       "|M\xFCller^J\xF6rg^Andr\xE9|--|7||||||\r\n"},
      // Values are written as they are, separators included.
      {"1", testing::PatientRecord("x|y", "O'Brien", "A^B", "", "1960--60", "O"),
       "1|O'Brien^A^B^|1960--60|x|y|||||O|\r\n"},
  };
  for (const Case& c : cases) EXPECT_EQ(RenameOrderLine(c.key, c.record), c.line) << c.line;
}

class RenameOrdersTest : public testing::DatabaseFixture {
 protected:
  std::string Folder() const { return home_ / "RenameOrders"; }

  // Names and contents of the files in the rename-order folder.
  std::vector<std::pair<std::string, std::string>> Files() const {
    std::vector<std::pair<std::string, std::string>> files;
    for (const auto& entry : std::filesystem::directory_iterator(Folder())) {
      files.emplace_back(entry.path().filename().string(),
                         testing::ReadFile(entry.path().string()));
    }
    return files;
  }
};

TEST_P(RenameOrdersTest, OneFilePerLiveStudy) {
  db_->AddPatient(1, "123", "Stored", "Name");
  db_->AddPatient(2, "999", "Other");
  db_->AddStudy(4711, 1, 0);
  db_->AddStudy(4712, 1, 3);
  db_->AddStudy(4713, 1, -2);  // null status: still live
  db_->AddStudy(4714, 1, -1);  // gone
  db_->AddStudy(4715, 2, 0);   // another patient's
  HL7Message m = testing::PatientRecord("123", "Doe", "John", "", "1970-01-02", "M");
  ASSERT_TRUE(CreateRenameOrders(db(), m, ""));

  std::set<std::string> keys, names;
  for (const auto& [name, content] : Files()) {
    ASSERT_EQ(name.size() > 9 && name.compare(0, 5, "2.25.") == 0, true) << name;
    ASSERT_EQ(name.substr(name.size() - 4), ".JRQ") << name;
    names.insert(name);
    std::string key = content.substr(0, content.find('|'));
    keys.insert(key);
    // Values come from the message, not from the stored row.
    EXPECT_EQ(content, RenameOrderLine(key, m)) << name;
  }
  EXPECT_EQ(keys, (std::set<std::string>{"4711", "4712", "4713"}));
  EXPECT_EQ(names.size(), 3u);
  EXPECT_TRUE(HasDebugText("Created 3 study rename orders."));
  EXPECT_TRUE(HasDebugText(
      "SQL: SELECT StudyID, PATNachname, PATVorname, PAT2Vorname, PATGebdatum, PATID1, "
      "PATGeschlecht FROM view_studies WHERE PATID1 = '123' AND (FKeyStatusID <> -1 OR "
      "FKeyStatusID IS NULL)"));
  EXPECT_TRUE(ErrorLines().empty());
}

TEST_P(RenameOrdersTest, NoLiveStudyWritesNothing) {
  db_->AddPatient(1, "NEW", "Doe");
  db_->AddStudy(1, 1, -1);
  HL7Message m = testing::PatientRecord("NEW", "Doe", "", "", "1970-01-02", "M");
  ASSERT_TRUE(CreateRenameOrders(db(), m, "OLD"));
  EXPECT_TRUE(Files().empty());
  std::vector<std::string> debug = DebugTexts();
  ASSERT_GE(debug.size(), 3u);
  EXPECT_EQ(debug[0], "CreateRenameOrders Procedure");
  EXPECT_EQ(debug[1], "Merging ID OLD to NEW");
  EXPECT_EQ(debug.back(), "Created 0 study rename orders.");
}

NORV_INSTANTIATE_FOR_BACKENDS(RenameOrdersTest);

TEST(RenameOrdersFailures, AFolderThatCannotBeMadeIsLoggedAndReported) {
  testing::UnreachableDatabase unreachable;
  const testing::TempDir& home = unreachable.home;
  HL7Message m = testing::PatientRecord("123", "Doe", "John", "", "1970-01-02", "M");

  // The folder cannot be made: a file of that name is in the way.
  testing::WriteFile(home / "RenameOrders", "");
  EXPECT_FALSE(CreateRenameOrders(unreachable.db(), m, ""));
  std::filesystem::remove(home / "RenameOrders");

  std::string log = unreachable.ErrorLog();
  EXPECT_EQ(std::count(log.begin(), log.end(), '\n'), 1) << log;
  EXPECT_NE(log.find("Path/File access error"), std::string::npos) << log;
  EXPECT_NE(log.find("MainFrom CreateRenameOrders\r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace norv

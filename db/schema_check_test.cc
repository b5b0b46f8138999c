#include "db/schema_check.h"

#include <gtest/gtest.h>

#include "testing/database_fixture.h"

namespace norv {
namespace {

class SchemaCheckTest : public testing::DatabaseFixture {};

TEST_P(SchemaCheckTest, ReportsMissingObjectsAndColumns) {
  {
    Connection con(db_->db_server());
    EXPECT_TRUE(FindMissingDatabaseObjects(con).empty());
  }
  db_->Exec("DROP VIEW view_studies");
  db_->Exec("DROP VIEW VIEW_Termine");
  db_->Exec("ALTER TABLE tblDicomAETs RENAME COLUMN ModalityName TO Name");
  Connection con(db_->db_server());
  std::vector<MissingObject> missing = FindMissingDatabaseObjects(con);
  ASSERT_EQ(missing.size(), 3u);
  EXPECT_EQ(missing[0].object, "tblDicomAETs");
  EXPECT_NE(missing[0].description.find(GetParam() == testing::Backend::kSqlite
                                            ? "no such column: ModalityName"
                                            : "modalityname"),
            std::string::npos)
      << missing[0].description;
  EXPECT_EQ(missing[1].object, "VIEW_Termine");
  EXPECT_EQ(missing[2].object, "view_studies");
}

NORV_INSTANTIATE_FOR_BACKENDS(SchemaCheckTest);

}  // namespace
}  // namespace norv

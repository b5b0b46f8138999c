#include "db/id_allocation.h"

#include <gtest/gtest.h>

#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "core/error.h"
#include "testing/database_fixture.h"

namespace norv {
namespace {

class GetLetzteIDPlus1Test : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    ctx_.db.pause = [this](int ms) {
      std::lock_guard<std::mutex> lock(mutex_);
      pauses_.push_back(ms);
    };
  }

  int AllocationErrorLines() const {
    int n = 0;
    for (const std::string& line : ErrorLines()) {
      if (line.size() >= 16 && line.compare(line.size() - 16, 16, "GetLetzteIDPlus1") == 0) ++n;
    }
    return n;
  }

  std::mutex mutex_;
  std::vector<int> pauses_;
};

TEST_P(GetLetzteIDPlus1Test, RaisesTheStoredCounterByOne) {
  for (std::int32_t stored : {0, 41, -5}) {
    db_->SetLetzteID("tblPatienten", stored);
    Connection con(db_->db_server());
    EXPECT_EQ(GetLetzteIDPlus1(db(), con, "tblPatienten"), stored + 1) << stored;
    EXPECT_EQ(GetLetzteIDPlus1(db(), con, "tblPatienten"), stored + 2) << stored;
    EXPECT_EQ(db_->QueryInt("SELECT LetzteID AS n FROM tblLetzteID "
                            "WHERE Tabellenname = 'tblPatienten'"),
              stored + 2);
  }
  EXPECT_TRUE(pauses_.empty());
  EXPECT_EQ(AllocationErrorLines(), 0);
}

// Counters that cannot give a key: every attempt fails, with one error line
// and a 500 ms pause between attempts, and the stored value is left alone
// (never replaced by 0, never raised past the 32-bit range).
TEST_P(GetLetzteIDPlus1Test, GivesUpAfterElevenAttemptsWithoutTouchingTheCounter) {
  struct Case {
    const char* insert;  // the tblLetzteID row for tblTermine, or none
    const char* check;   // counts 1 when the row is as it was
  } cases[] = {
      {nullptr, "SELECT COUNT(*) + 1 AS n FROM tblLetzteID WHERE Tabellenname = 'tblTermine'"},
      {"INSERT INTO tblLetzteID VALUES ('tblTermine', NULL)",
       "SELECT COUNT(*) AS n FROM tblLetzteID WHERE LetzteID IS NULL"},
      {"INSERT INTO tblLetzteID VALUES ('tblTermine', -1)",
       "SELECT COUNT(*) AS n FROM tblLetzteID WHERE LetzteID = -1"},
      {"INSERT INTO tblLetzteID VALUES ('tblTermine', 2147483647)",
       "SELECT COUNT(*) AS n FROM tblLetzteID WHERE LetzteID = 2147483647"},
  };
  for (const Case& c : cases) {
    const char* label = c.insert ? c.insert : "no row";
    db_->Exec("DELETE FROM tblLetzteID WHERE Tabellenname = 'tblTermine'");
    if (c.insert) db_->Exec(c.insert);
    int lines_before = AllocationErrorLines();
    pauses_.clear();

    Connection con(db_->db_server());
    EXPECT_EQ(GetLetzteIDPlus1(db(), con, "tblTermine"), 0) << label;
    EXPECT_EQ(AllocationErrorLines() - lines_before, 11) << label;
    EXPECT_EQ(pauses_, std::vector<int>(10, 500)) << label;
    EXPECT_EQ(db_->QueryInt(c.check), 1) << label;
  }
  // The other table's counter is untouched.
  EXPECT_EQ(db_->QueryInt("SELECT LetzteID AS n FROM tblLetzteID "
                          "WHERE Tabellenname = 'tblPatienten'"),
            0);
}

TEST_P(GetLetzteIDPlus1Test, DatabaseErrorsAreLoggedPerAttempt) {
  Connection con(db_->db_server());
  db_->Exec("DROP TABLE tblLetzteID");
  EXPECT_EQ(GetLetzteIDPlus1(db(), con, "tblPatienten"), 0);
  std::vector<std::string> lines = ErrorLines();
  ASSERT_EQ(lines.size(), 11u);
  EXPECT_NE(lines[0].find(std::to_string(kErrDatabase)), std::string::npos) << lines[0];
  EXPECT_NE(lines[0].find(GetParam() == testing::Backend::kSqlite ? "no such table"
                                                                   : "does not exist"),
            std::string::npos)
      << lines[0];
}

// Two clients allocating at the same time never receive the same key: a
// separate read and write-back would hand out duplicates here.
TEST_P(GetLetzteIDPlus1Test, ConcurrentClientsGetDistinctKeys) {
  constexpr int kPerClient = 40;
  std::vector<std::int32_t> keys[2];
  std::vector<std::thread> clients;
  for (auto& out : keys) {
    clients.emplace_back([this, &out, server = db_->db_server()] {
      Connection con(server);
      for (int i = 0; i < kPerClient; ++i) out.push_back(GetLetzteIDPlus1(db(), con, "tblPatienten"));
    });
  }
  for (std::thread& t : clients) t.join();
  std::set<std::int32_t> all(keys[0].begin(), keys[0].end());
  all.insert(keys[1].begin(), keys[1].end());
  EXPECT_EQ(all.size(), 2u * kPerClient);
  EXPECT_EQ(*all.begin(), 1);
  EXPECT_EQ(*all.rbegin(), 2 * kPerClient);
  EXPECT_EQ(AllocationErrorLines(), 0);
}

NORV_INSTANTIATE_FOR_BACKENDS(GetLetzteIDPlus1Test);

}  // namespace
}  // namespace norv

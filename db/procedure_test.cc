#include "db/procedure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <vector>

#include "core/error.h"
#include "db/appointments.h"
#include "db/patients.h"
#include "db/rename_orders.h"
#include "testing/database_fixture.h"
#include "testing/service_state.h"

namespace norv {
namespace {

// The database procedures on a ReusedConnection: how long its connection
// lives and what a message's transaction keeps.
class ReusedConnectionTest : public testing::DatabaseFixture {
 protected:
  void SetUp() override {
    DatabaseFixture::SetUp();
    settings().Debug = 0;
  }

  // How AddRow ends after its insert.
  enum class End { kTrue, kFalse, kThrow, kBadStatement, kTransient };

  // A procedure adding the counter row `name` on `source`, then ending as
  // `end` says.
  bool AddRow(const std::string& name, End end = End::kTrue, ConnectionSource* source = nullptr) {
    DbContext db{ctx_.db, source ? *source : reused_, nullptr};
    return RunProcedure(db, "Test AddRow", [&](ProcedureConnection& pc) {
      Statement st(pc.get(), "INSERT INTO tblLetzteID (Tabellenname, LetzteID) VALUES (:n, 1)");
      st.BindText("n", name).Execute();
      if (end == End::kThrow) throw Error(kErrDatabase, "failing on purpose");
      if (end == End::kTransient) throw Error(kErrDatabase, "gone on purpose", true);
      if (end == End::kBadStatement) Statement(pc.get(), "UPDATE no_such_table SET x = 1").Execute();
      return end == End::kTrue;
    });
  }

  // The rows AddRow added, as another client sees them.
  int Rows() {
    return db_->QueryInt("SELECT COUNT(*) AS n FROM tblLetzteID WHERE Tabellenname LIKE 'zz%'");
  }
  std::string RowNames() {
    std::string names;
    for (const char* name : {"zz1", "zz2", "zz3"}) {
      if (db_->QueryInt(std::string("SELECT COUNT(*) AS n FROM tblLetzteID WHERE Tabellenname = '") +
                        name + "'") != 0) {
        names += names.empty() ? name : std::string(" ") + name;
      }
    }
    return names;
  }

  // Checked before every use outside a transaction, as after a long pause.
  ReusedConnection reused_{settings(), home_.path(), std::chrono::milliseconds(0)};
  DbContext db_ctx_{ctx_.db, reused_, nullptr};
};

// Procedures and messages share one connection. Outside a message every
// statement is stored at once; a message's work is stored at its end, in
// one piece.
TEST_P(ReusedConnectionTest, OneConnectionOneTransactionPerMessage) {
  ASSERT_TRUE(AddRow("zz1"));
  EXPECT_EQ(Rows(), 1);
  for (int message = 0; message < 3; ++message) {
    RunMessage(reused_, [&] {
      EXPECT_TRUE(AddRow("zz" + std::to_string(2 * message + 2)));
      EXPECT_TRUE(AddRow("zz" + std::to_string(2 * message + 3)));
      EXPECT_EQ(Rows(), 1 + 2 * message) << "visible before the commit";
      return true;
    });
    EXPECT_EQ(Rows(), 3 + 2 * message);
  }
  EXPECT_EQ(reused_.opened(), 1);
  EXPECT_TRUE(ErrorLines().empty());
}

// What a message of three procedures keeps, on either source: everything
// but the statements of a procedure that raised an error, whatever the
// message's result and also when its handling throws afterwards; nothing
// after an outage, which is thrown on for a retry. The next message is
// stored as usual, and the kept connection outlives the errors.
TEST_P(ReusedConnectionTest, AMessageKeepsWhatItsProcedureDid) {
  struct Case {
    const char* label;
    End first, second;
    bool handling_throws;  // the message's handling fails after the procedures
    const char* kept;      // the rows stored afterwards
    int error_lines;
    // Calls that committed on their own before an outage stay stored.
    const char* kept_per_call = nullptr;
  } cases[] = {
      {"all succeed", End::kTrue, End::kTrue, false, "zz1 zz2 zz3", 0},
      {"a procedure returns false", End::kTrue, End::kFalse, false, "zz1 zz2 zz3", 0},
      {"a later procedure's statement fails", End::kTrue, End::kBadStatement, false, "zz1 zz3", 1},
      {"the first procedure raises an error", End::kThrow, End::kTrue, false, "zz2 zz3", 1},
      {"two procedures raise errors", End::kThrow, End::kThrow, false, "zz3", 2},
      {"the handling throws afterwards", End::kTrue, End::kTrue, true, "zz1 zz2 zz3", 0},
      {"an outage in the middle", End::kTrue, End::kTransient, false, "", 0, "zz1"},
  };
  ConnectionPerCall per_call(settings(), home_.path());
  for (ConnectionSource* source : std::initializer_list<ConnectionSource*>{&per_call, &reused_}) {
    for (const Case& c : cases) {
      SCOPED_TRACE(std::string(c.label) + (source == &per_call ? ", per call" : ", kept"));
      const std::size_t errors = ErrorLines().size();
      bool transient = false;
      std::string thrown;
      try {
        RunMessage(*source, [&] {
          bool ok = AddRow("zz1", c.first, source);
          ok = AddRow("zz2", c.second, source) && ok;
          ok = AddRow("zz3", End::kTrue, source) && ok;
          if (c.handling_throws) ThrowSubscriptOutOfRange();
          return ok;
        });
        EXPECT_FALSE(c.handling_throws);
      } catch (const Error& e) {
        transient = e.transient();
        thrown = e.what();
      }
      EXPECT_EQ(transient, c.second == End::kTransient) << thrown;
      EXPECT_EQ(!thrown.empty(), c.handling_throws || transient) << thrown;
      EXPECT_EQ(RowNames(), source == &per_call && c.kept_per_call ? c.kept_per_call : c.kept);
      EXPECT_EQ(ErrorLines().size() - errors, static_cast<std::size_t>(c.error_lines));
      db_->Exec("DELETE FROM tblLetzteID WHERE Tabellenname LIKE 'zz%'");
      RunMessage(*source, [&] { return AddRow("zz1", End::kTrue, source); });
      EXPECT_EQ(RowNames(), "zz1");
      db_->Exec("DELETE FROM tblLetzteID WHERE Tabellenname LIKE 'zz%'");
      EXPECT_LE(reused_.opened(), 1);
    }
  }
}

// The PostgreSQL driver at its defaults (a DSN that leaves them) releases
// the savepoints: a procedure's error then fails the message whole, never
// as an outage that would retry it forever.
TEST_P(ReusedConnectionTest, WithoutSavepointsAProcedureErrorFailsTheMessage) {
  if (GetParam() != testing::Backend::kPostgreSql) GTEST_SKIP() << "a driver setting";
  settings().DBServer += "Protocol=7.4-2;UseServerSidePrepare=1;";
  Error e = testing::ErrorOf([&] {
    RunMessage(reused_, [&] {
      EXPECT_TRUE(AddRow("zz1"));
      EXPECT_FALSE(AddRow("zz2", End::kBadStatement));
      EXPECT_FALSE(AddRow("zz3"));
      return true;
    });
  });
  EXPECT_FALSE(e.transient()) << e.what();
  EXPECT_EQ(RowNames(), "");
}

// A changed DBServer text is followed at the next use outside a
// transaction, never inside one.
TEST_P(ReusedConnectionTest, FollowsAChangedDBServerBetweenTransactions) {
  testing::TestDatabase other(GetParam());
  RunMessage(reused_, [&] {
    EXPECT_TRUE(AddRow("zz1"));
    settings().DBServer = other.db_server();
    EXPECT_TRUE(AddRow("zz2"));
    return true;
  });
  EXPECT_EQ(Rows(), 2);
  ASSERT_TRUE(AddRow("zz3"));
  EXPECT_EQ(Rows(), 2);
  EXPECT_EQ(other.QueryInt("SELECT COUNT(*) AS n FROM tblLetzteID WHERE Tabellenname = 'zz3'"), 1);
  EXPECT_EQ(reused_.opened(), 2);
}

// A kept connection that went bad while idle (the server ended it, or the
// SQLite file was replaced by another) is replaced before it is used.
TEST_P(ReusedConnectionTest, AnIdleConnectionThatWentBadIsReplaced) {
  ASSERT_TRUE(AddRow("zz1"));
  if (GetParam() == testing::Backend::kSqlite) {
    // A restore: another database file moved into place.
    testing::TestDatabase restored(testing::Backend::kSqlite);
    restored.Exec("INSERT INTO tblLetzteID (Tabellenname, LetzteID) VALUES ('zz9', 1)");
    std::filesystem::rename(restored.sqlite_path(), db_->sqlite_path());
  } else {
    std::int32_t pid = 0;
    ASSERT_TRUE(RunProcedure(db_ctx_, "Test pid", [&](ProcedureConnection& pc) {
      Statement st(pc.get(), "SELECT pg_backend_pid() AS n");
      st.Next();
      pid = st.Int32("n");
      return true;
    }));
    db_->Exec("SELECT pg_terminate_backend(" + std::to_string(pid) + ")");
  }
  ASSERT_TRUE(AddRow("zz2"));
  EXPECT_EQ(Rows(), 2);
  EXPECT_EQ(reused_.opened(), 2);
  EXPECT_TRUE(ErrorLines().empty());
}

NORV_INSTANTIATE_FOR_BACKENDS(ReusedConnectionTest);

// A database that cannot be reached is an outage, not an error of the
// message: every procedure throws a transient Error at once and logs
// nothing, so the cycle can hold the message and report the outage once.
TEST(Procedures, AnUnreachableDatabaseIsThrownOnAsTransientUnlogged) {
  testing::UnreachableDatabase unreachable;
  HL7Message m = testing::PatientRecord("4711");
  const std::vector<std::pair<const char*, std::function<void()>>> procedures = {
      {"IsPatientRegistered", [&] { (void)IsPatientRegistered(unreachable.db(), "4711"); }},
      {"RegisterUpdatePatient", [&] { (void)RegisterUpdatePatient(unreachable.db(), m, ""); }},
      {"RegisterAppointment", [&] { (void)RegisterAppointment(unreachable.db(), m); }},
      {"DeletePatientAppointment", [&] { (void)DeletePatientAppointment(unreachable.db(), m); }},
      {"UpdateAppointmentStatus", [&] { (void)UpdateAppointmentStatus(unreachable.db(), m); }},
      {"CreateRenameOrders", [&] { (void)CreateRenameOrders(unreachable.db(), m, ""); }},
  };
  for (const auto& [name, call] : procedures) {
    bool transient = false;
    try {
      call();
    } catch (const Error& e) {
      transient = e.transient();
    }
    EXPECT_TRUE(transient) << name;
  }
  EXPECT_EQ(unreachable.ErrorLog(), "");
}

// Any other error ends the procedure with one line under its name.
TEST(Procedures, OtherErrorsAreLoggedOnceAndMakeTheResultFalse) {
  testing::UnreachableDatabase ctx;
  bool ran = false;
  EXPECT_FALSE(RunProcedure(ctx.db(), "MainForm Test", [&](ProcedureConnection&) -> bool {
    ran = true;
    throw Error(kErrTypeMismatch, "Type mismatch");
  }));
  EXPECT_TRUE(ran);
  const std::string log = ctx.ErrorLog();
  EXPECT_NE(log.find("Type mismatch"), std::string::npos) << log;
  EXPECT_NE(log.find("MainForm Test\r\n"), std::string::npos) << log;
}

}  // namespace
}  // namespace norv

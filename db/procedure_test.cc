#include "db/procedure.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <stdexcept>
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

  // A procedure adding the counter row `name`; with `fail` it throws after
  // the row was added.
  bool AddRow(const std::string& name, bool fail = false) {
    return RunProcedure(db_ctx_, "Test AddRow", [&](ProcedureConnection& pc) {
      Statement st(pc.get(), "INSERT INTO tblLetzteID (Tabellenname, LetzteID) VALUES (:n, 1)");
      st.BindText("n", name).Execute();
      if (fail) throw Error(kErrDatabase, "failing on purpose");
      return true;
    });
  }

  // The rows AddRow added, as another client sees them.
  int Rows() {
    return db_->QueryInt("SELECT COUNT(*) AS n FROM tblLetzteID WHERE Tabellenname LIKE 'zz%'");
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
    MessageTransaction transaction(reused_);
    ASSERT_TRUE(AddRow("zz" + std::to_string(2 * message + 2)));
    ASSERT_TRUE(AddRow("zz" + std::to_string(2 * message + 3)));
    EXPECT_EQ(Rows(), 1 + 2 * message) << "visible before the commit";
    transaction.End(true);
    EXPECT_EQ(Rows(), 3 + 2 * message);
  }
  EXPECT_EQ(reused_.opened(), 1);
  EXPECT_TRUE(ErrorLines().empty());
}

// A message that failed, whose procedure ended in an error, or that was left
// by an exception stores nothing; the next message is stored as usual.
TEST_P(ReusedConnectionTest, AFailedMessageLeavesNothingBehind) {
  struct Case {
    const char* label;
    bool procedure_fails;  // the second procedure throws after its insert
    bool processed;        // the verdict the message ends with
    bool thrown;           // the message is left by an exception instead
  } cases[] = {
      {"failed verdict", false, false, false},
      {"a procedure ended in an error", true, true, false},
      {"left by an exception", false, true, true},
  };
  ASSERT_TRUE(AddRow("zz0"));
  db_->Exec("DELETE FROM tblLetzteID WHERE Tabellenname LIKE 'zz%'");
  for (const Case& c : cases) {
    const int opened = reused_.opened();
    const std::size_t errors = ErrorLines().size();
    try {
      MessageTransaction transaction(reused_);
      ASSERT_TRUE(AddRow("zz1"));
      EXPECT_EQ(AddRow("zz2", c.procedure_fails), !c.procedure_fails);
      // Once the transaction is gone, the rest of the message must not
      // store its part alone.
      EXPECT_EQ(AddRow("zz3"), !c.procedure_fails) << c.label;
      if (c.thrown) throw std::runtime_error("message abandoned");
      if (c.procedure_fails) {
        EXPECT_THROW(transaction.End(c.processed), Error) << c.label;
      } else {
        transaction.End(c.processed);
      }
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(Rows(), 0) << c.label;
    EXPECT_EQ(ErrorLines().size() - errors, c.procedure_fails ? 2u : 0u) << c.label;
    {
      MessageTransaction next(reused_);
      ASSERT_TRUE(AddRow("zz4")) << c.label;
      next.End(true);
    }
    EXPECT_EQ(Rows(), 1) << c.label;
    db_->Exec("DELETE FROM tblLetzteID WHERE Tabellenname LIKE 'zz%'");
    // A sound connection outlives a procedure's error.
    EXPECT_EQ(reused_.opened(), opened) << c.label;
  }
}

// A changed DBServer text is followed at the next use outside a
// transaction, never inside one.
TEST_P(ReusedConnectionTest, FollowsAChangedDBServerBetweenTransactions) {
  testing::TestDatabase other(GetParam());
  {
    MessageTransaction transaction(reused_);
    ASSERT_TRUE(AddRow("zz1"));
    settings().DBServer = other.db_server();
    ASSERT_TRUE(AddRow("zz2"));
    transaction.End(true);
  }
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

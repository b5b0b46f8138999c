#include "db/id_allocation.h"

#include <optional>

#include "core/error.h"
#include "core/log.h"
#include "platform/system.h"

namespace norv {
namespace {

constexpr int kLastAttempt = 10;
constexpr int kPauseMs = 500;

// The guard in the WHERE clause keeps the counter from reaching 0 (after -1)
// or leaving the 32-bit range: such a row is simply not raised, and the
// attempt fails for want of a key.
constexpr const char* kGuard =
    " WHERE Tabellenname = :table AND LetzteID <> -1 AND LetzteID < 2147483647";

// One attempt: the new key, or 0 when the row was not raised.
std::int32_t RaiseCounter(Connection& con, const std::string& table) {
  std::string update = "UPDATE tblLetzteID SET LetzteID = LetzteID + 1";
  switch (con.dialect()) {
    case SqlDialect::kSqlite:
    case SqlDialect::kPostgreSql: {
      Statement st(con, update + kGuard + " RETURNING LetzteID");
      st.BindText("table", table);
      return st.Next() ? st.Int32("LetzteID") : 0;
    }
    case SqlDialect::kSqlServer: {
      Statement st(con, update + " OUTPUT inserted.LetzteID" + kGuard);
      st.BindText("table", table);
      return st.Next() ? st.Int32("LetzteID") : 0;
    }
    case SqlDialect::kOther:
      break;
  }
  // Plain SQL: the UPDATE locks the row until the commit, so the value read
  // back inside the same transaction is this client's own. Inside the
  // caller's transaction the lock lasts until the caller ends it.
  std::optional<Transaction> transaction;
  if (!con.in_transaction()) transaction.emplace(con);
  Statement raise(con, update + kGuard);
  raise.BindText("table", table);
  raise.Execute();
  if (raise.AffectedRows() != 1) return 0;
  Statement read(con, "SELECT LetzteID FROM tblLetzteID WHERE Tabellenname = :table");
  read.BindText("table", table);
  std::int32_t key = read.Next() && !read.IsNull("LetzteID") ? read.Int32("LetzteID") : 0;
  read.Close();
  if (transaction) transaction->Commit();
  return key;
}

}  // namespace

void LockLetzteID(Connection& con, const std::string& table) {
  switch (con.dialect()) {
    case SqlDialect::kPostgreSql: {
      Statement st(con, "SELECT LetzteID FROM tblLetzteID WHERE Tabellenname = :table FOR UPDATE");
      st.BindText("table", table);
      st.Next();
      st.Close();
      return;
    }
    case SqlDialect::kSqlServer: {
      Statement st(con,
                   "SELECT LetzteID FROM tblLetzteID WITH (UPDLOCK, HOLDLOCK) "
                   "WHERE Tabellenname = :table");
      st.BindText("table", table);
      st.Next();
      st.Close();
      return;
    }
    case SqlDialect::kSqlite:
    case SqlDialect::kOther:
      break;
  }
  // Any SQL: writing the row unchanged locks it as a write does.
  Statement st(con, "UPDATE tblLetzteID SET LetzteID = LetzteID WHERE Tabellenname = :table");
  st.BindText("table", table);
  st.Execute();
}

std::int32_t GetLetzteIDPlus1(const DbContext& db, Connection& con,
                              const std::string& sTableName) {
  for (int attempt = 0;; ++attempt) {
    std::int32_t key = 0;
    CaughtError error;
    try {
      key = RaiseCounter(con, sTableName);
    } catch (...) {
      error = DescribeCurrentException();
      // An unreachable or locked database is not retried here: waiting out
      // an outage is the caller's business, and it must not block the loop.
      if (error.transient) throw;
      key = 0;
    }
    if (key != 0) return key;
    db.log.WriteErrorLog(error.number, error.description, "GetLetzteIDPlus1");
    if (attempt == kLastAttempt) return 0;
    if (db.pause) db.pause(kPauseMs);
  }
}

}  // namespace norv

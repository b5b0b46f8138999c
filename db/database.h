// Access to the installation database. A database procedure opens one
// Connection for the length of its call, runs Statements with bound
// parameters on it and reads their rows by column name. Texts crossing this
// interface are Windows-1252, as everywhere in the program; the layer converts
// them to and from the database's UTF-8. Every failure of the database or of
// its driver is thrown as norv::Error (number kErrDatabase, description the
// driver's message). Error::transient() is true when the database could not
// be opened (for any reason: server down, login refused, file missing), the
// connection was lost, or a lock or busy wait or a statement ran into the
// time-out: the same work may succeed later. It is false for errors about
// the statement or its data (syntax, constraint violation, bad value).
// No call waits longer than the connection's time-out for a server or a
// lock. Single-threaded: a Connection and its Statements belong to the
// caller's thread. SOCI stays behind this header.
#ifndef NORV_DB_DATABASE_H_
#define NORV_DB_DATABASE_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace norv {

class Log;

// The SQL flavour of the open database, decided once when it is opened.
enum class SqlDialect {
  kSqlite,      // SQLite: dates and times stored as ISO text
  kPostgreSql,  // PostgreSQL through ODBC
  kSqlServer,   // SQL Server through ODBC
  kOther,       // any other ODBC database: plain SQL only
};

// What a DBServer setting selects: the SOCI back end ("sqlite3" or "odbc")
// and the text handed to it. `connect` may carry a password: never log it.
struct DatabaseTarget {
  std::string backend;
  std::string connect;
};

// DBServer forms:
//   "sqlite:PATH"            the SQLite file PATH (relative to `program_dir`
//                            when not absolute); it must exist already;
//   "odbc:CONNECTION-STRING" the ODBC connection string, used as given;
//   anything else            SQL Server through the ODBC driver "SQL Server":
//                            "driver={SQL Server};server=" + DBServer +
//                            ";uid=K318;pwd=LmNoPq456;database=VLMDB2".
// The prefixes are matched without regard to case.
DatabaseTarget ResolveDBServer(std::string_view db_server, const std::string& program_dir = {});

// The time-out of a connection in seconds, applied to connecting (login),
// to each statement and to waits for a lock held by another connection
// (SQLite's busy time-out), where the connection text does not set its own.
// Values below 1 give the default (a driver would take 0 as "no time-out"),
// values above kMaxDatabaseTimeout that maximum, which stays well below the
// service watchdog.
inline constexpr int kDefaultDatabaseTimeout = 10;
inline constexpr int kMaxDatabaseTimeout = 45;
int EffectiveDatabaseTimeout(int seconds);

class Statement;

// One open database connection. The destructor closes it on every path;
// closing it also releases the results of its statements still alive.
class Connection {
 public:
  // Opens the database a DBServer value names (see ResolveDBServer), giving
  // up any wait (connect, statement, lock) after `timeout_seconds` (see
  // EffectiveDatabaseTimeout).
  explicit Connection(std::string_view db_server, const std::string& program_dir = {},
                      int timeout_seconds = kDefaultDatabaseTimeout);
  Connection(std::string_view db_server, int timeout_seconds)
      : Connection(db_server, std::string(), timeout_seconds) {}
  ~Connection();
  Connection(Connection&&) noexcept;
  Connection& operator=(Connection&&) noexcept;

  SqlDialect dialect() const { return dialect_; }

  // Closes the connection now; later use throws. Closing twice is harmless.
  void Close();

  // Transactions on this connection. Without them every statement takes
  // effect on its own (autocommit). See also Transaction below. On SQLite
  // Begin() takes the write lock at once (BEGIN IMMEDIATE): every
  // transaction of the program writes, and a transaction that reads first
  // and asks for the write lock later could only fail, never wait, when a
  // second writer holds it.
  void Begin();
  void Commit();
  void Rollback();
  // Whether Begin() was called and neither Commit() nor Rollback() since.
  bool in_transaction() const;
  // Inside a transaction: marks the point that RollbackToSavepoint() returns
  // to, undoing the statements run since while keeping the earlier ones and
  // the transaction itself (also after a failed statement, which on some
  // databases spoils the rest of the transaction). A later mark replaces
  // the earlier as the point to return to.
  void Savepoint();
  void RollbackToSavepoint();

  // Whether a connection kept open since earlier work can still be used:
  // for SQLite whether the path still names the file that was opened (a
  // database restored by moving a file into place is a new file); for
  // PostgreSQL and SQL Server whether the server answers a trivial query.
  // Other ODBC databases are assumed alive. Never throws.
  bool Alive();

 private:
  friend class Statement;
  struct Impl;
  std::shared_ptr<Impl> impl_;  // shared with the connection's statements
  SqlDialect dialect_ = SqlDialect::kOther;
};

// Rolls back in its destructor unless Commit() was called.
class Transaction {
 public:
  explicit Transaction(Connection& con);
  ~Transaction();
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  void Commit();

 private:
  Connection& con_;
  bool open_ = true;
};

// One SQL statement. Values are written as named placeholders (":name", each
// name once, outside quotes) and bound before the first Execute() or Next().
// The same text runs on every back end; where a back end needs another
// spelling, the caller chooses by Connection::dialect().
//
//   Statement st(con, "SELECT PATID FROM tblPatienten WHERE PATID1 = :id");
//   st.BindText("id", record.PatientID);
//   st.LogSql(log);                  // "SQL: ... WHERE PATID1 = '4711'"
//   while (st.Next()) use(st.Int32("PATID"));
class Statement {
 public:
  Statement(Connection& con, std::string sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  // A Windows-1252 text, stored as the same characters.
  Statement& BindText(std::string_view name, std::string_view text);
  Statement& BindInt(std::string_view name, std::int32_t value);
  // A calendar date given as "YYYY-MM-DD"; throws Error(kErrTypeMismatch)
  // when the text is not a valid date. SQLite receives the ISO text, ODBC
  // databases a date value, so comparisons are date comparisons everywhere.
  // `shown` replaces the value in the debug text (default: the ISO text).
  Statement& BindDate(std::string_view name, std::string_view iso_date,
                      std::string_view shown = {});
  // A time of day given as "HH:MM" or "HH:MM:SS"; bound as "HH:MM:SS" text,
  // which every back end converts to its time type. Throws Error
  // (kErrTypeMismatch) when the text is not a time.
  Statement& BindTime(std::string_view name, std::string_view time);
  Statement& BindNull(std::string_view name);

  // The statement with every bound value in place, as the program's debug log
  // shows statements: texts, dates and times between single quotes (not
  // escaped), numbers in decimal, NULL for a null.
  std::string Shown() const;
  // Writes the debug line "SQL: " + Shown() when the Debug setting is 1.
  void LogSql(Log& log) const;

  // Runs a statement that returns no rows (INSERT, UPDATE, DELETE).
  void Execute();
  // The number of rows the executed statement changed.
  std::int64_t AffectedRows() const;
  // Runs a query on its first call and steps to its next row; false when
  // there is no (further) row. Also reads UPDATE ... RETURNING results.
  bool Next();
  // Releases the result before the statement's end (a connection may not
  // run a second statement while an ODBC result is still open).
  void Close();

  // Reads of the current row by column name, without regard to case.
  // A missing column throws Error(kErrDatabase).
  bool IsNull(std::string_view column) const;
  // The value as text: strings as stored (converted to Windows-1252),
  // numbers in decimal, dates as "YYYY-MM-DD" (with " HH:MM:SS" when the
  // time part is not midnight). A null reads as the empty text.
  std::string Text(std::string_view column) const;
  // The value as a 32-bit integer; a null throws Error(94, "Invalid use of
  // Null"), a value that is not a number Error(kErrTypeMismatch) and one out
  // of range Error(kErrOverflow).
  std::int32_t Int32(std::string_view column) const;
  // The date part as "YYYY-MM-DD" and the time part as "HH:MM:SS" of a date
  // or time column; a stored text is returned as it is; null gives "".
  std::string Date(std::string_view column) const;
  std::string Time(std::string_view column) const;

 private:
  friend class Connection;  // releases the statement when it closes
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace norv

#endif  // NORV_DB_DATABASE_H_

// What the database layer needs from inside SOCI's back ends: opening an
// ODBC session with time-outs and without leaking on failure, which database
// product a session is connected to, the driver's diagnostic of a failed
// statement, and whether a failure is transient. Kept apart because SOCI's
// back-end classes carry no exported type information, which the sanitizer
// build's vptr check would need (this file is built without that one check).
#ifndef NORV_DB_ODBC_BACKEND_H_
#define NORV_DB_ODBC_BACKEND_H_

#include <memory>
#include <string>
#include <string_view>

namespace soci {
class session;
class statement;
class soci_error;
}  // namespace soci

namespace norv {

enum class OdbcProduct { kPostgreSql, kSqlServer, kSqlite, kOther };

// Opens an ODBC session on the connection string `connect`. Unless the
// string sets its own, the login, connection and query time-outs are
// `timeout_seconds` each (SQL_ATTR_LOGIN_TIMEOUT, SQL_ATTR_CONNECTION_TIMEOUT
// and SQL_ATTR_QUERY_TIMEOUT, set before connecting). A failed connect frees
// every handle it allocated and throws soci::odbc_soci_error with the
// driver's diagnostic. (SOCI's own ODBC connect leaves its handles behind
// when it fails, and sets no time-out.) A text naming the PostgreSQL driver
// gets the driver options the program's savepoints need (odbc_backend.cc).
std::unique_ptr<soci::session> OpenOdbcSession(const std::string& connect, int timeout_seconds);

// `session` must be an open ODBC session.
OdbcProduct ProductOf(soci::session& session);

// The driver's own message when `error` was reported by the ODBC back end
// (without SOCI's wording around it), else empty.
std::string DriverMessageOf(const soci::soci_error& error);

// The first diagnostic record of the statement's ODBC handle (its SQLSTATE
// and message, both empty when there is none), and whether the driver
// considers the statement's connection lost: some drivers report a
// connection the server ended as a general error (HY000).
// `statement` must belong to an ODBC session.
struct OdbcDiagnostic {
  std::string state;
  std::string message;
  bool connection_dead = false;
};
OdbcDiagnostic DiagnosticOf(soci::statement& statement);

// Whether `error`, thrown by SOCI's SQLite or ODBC back end, says the
// database could not be reached or was busy rather than that the statement
// or its data were wrong.
bool IsTransientFailure(const soci::soci_error& error);

// The rules behind IsTransientFailure. SQLSTATEs: class 08 (connection
// exceptions), HYT00/HYT01 (time-outs), 40001/40P01 (serialisation failure,
// deadlock), 55P03 (lock not available), 57014 (statement cancelled, as a
// statement time-out does), 57P01-57P03 (server shutting down or starting).
// SQLite result codes: SQLITE_BUSY, SQLITE_LOCKED, SQLITE_CANTOPEN (primary
// or extended).
bool IsTransientSqlState(std::string_view state);
bool IsTransientSqliteResult(int result);

}  // namespace norv

#endif  // NORV_DB_ODBC_BACKEND_H_

// The two things the database layer needs from inside SOCI's ODBC back end:
// which database product a session is connected to, and the driver's
// diagnostic of a failed statement. Kept apart because SOCI's back-end
// classes carry no exported type information, which the sanitizer build's
// vptr check would need (this file is built without that one check).
#ifndef NORV_DB_ODBC_BACKEND_H_
#define NORV_DB_ODBC_BACKEND_H_

#include <string>

namespace soci {
class session;
class statement;
class soci_error;
}  // namespace soci

namespace norv {

enum class OdbcProduct { kPostgreSql, kSqlServer, kSqlite, kOther };

// `session` must be an open ODBC session.
OdbcProduct ProductOf(soci::session& session);

// The driver's own message when `error` was reported by the ODBC back end
// (without SOCI's wording around it), else empty.
std::string DriverMessageOf(const soci::soci_error& error);

// The first diagnostic record of the statement's ODBC handle, or empty.
// `statement` must belong to an ODBC session.
std::string DiagnosticOf(soci::statement& statement);

}  // namespace norv

#endif  // NORV_DB_ODBC_BACKEND_H_

#include "db/odbc_backend.h"

#include <soci/soci-config.h>
#undef SOCI_HAVE_BOOST
#undef SOCI_HAVE_BOOST_DATE_TIME
#include <soci/odbc/soci-odbc.h>
#include <soci/soci.h>

namespace norv {

OdbcProduct ProductOf(soci::session& session) {
  auto* backend = static_cast<soci::odbc_session_backend*>(session.get_backend());
  switch (backend->get_database_product()) {
    case soci::odbc_session_backend::prod_postgresql:
      return OdbcProduct::kPostgreSql;
    case soci::odbc_session_backend::prod_mssql:
      return OdbcProduct::kSqlServer;
    case soci::odbc_session_backend::prod_sqlite:
      return OdbcProduct::kSqlite;
    default:
      return OdbcProduct::kOther;
  }
}

std::string DriverMessageOf(const soci::soci_error& error) {
  const auto* odbc = dynamic_cast<const soci::odbc_soci_error*>(&error);
  if (odbc == nullptr) return {};
  return reinterpret_cast<const char*>(odbc->odbc_error_message());
}

std::string DiagnosticOf(soci::statement& statement) {
  auto* backend = static_cast<soci::odbc_statement_backend*>(statement.get_backend());
  if (backend == nullptr || backend->hstmt_ == nullptr) return {};
  SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[SQL_MAX_MESSAGE_LENGTH + 1] = {};
  SQLSMALLINT length = 0;
  SQLRETURN rc = SQLGetDiagRecA(SQL_HANDLE_STMT, backend->hstmt_, 1, state, &native, message,
                                sizeof message, &length);
  if (!SQL_SUCCEEDED(rc)) return {};
  return reinterpret_cast<const char*>(message);
}

}  // namespace norv

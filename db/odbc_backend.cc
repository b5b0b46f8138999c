#include "db/odbc_backend.h"

#include <soci/soci-config.h>
#undef SOCI_HAVE_BOOST
#undef SOCI_HAVE_BOOST_DATE_TIME
#include <soci/odbc/soci-odbc.h>
#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>
#include <sqlite3.h>
#include <strings.h>

#include <cstdint>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

namespace norv {
namespace {

using soci::odbc_session_backend;

bool MentionsNoCase(std::string_view text, std::string_view key) {
  for (std::size_t i = 0; i + key.size() <= text.size(); ++i) {
    if (strncasecmp(text.data() + i, key.data(), key.size()) == 0) return true;
  }
  return false;
}

// An environment and connection handle pair; frees whatever it still holds,
// disconnecting first when the connect succeeded.
struct OdbcHandles {
  SQLHENV env = SQL_NULL_HENV;
  SQLHDBC dbc = SQL_NULL_HDBC;
  bool connected = false;

  OdbcHandles() = default;
  OdbcHandles(const OdbcHandles&) = delete;
  OdbcHandles& operator=(const OdbcHandles&) = delete;
  ~OdbcHandles() {
    if (dbc != SQL_NULL_HDBC) {
      if (connected) SQLDisconnect(dbc);
      SQLFreeHandle(SQL_HANDLE_DBC, dbc);
    }
    if (env != SQL_NULL_HENV) SQLFreeHandle(SQL_HANDLE_ENV, env);
  }
};

void SetTimeout(SQLHDBC dbc, SQLINTEGER attribute, int seconds) {
  // A driver that does not know an attribute says so; it then simply has
  // no such time-out, which is no reason to refuse the connection.
  (void)SQLSetConnectAttr(dbc, attribute,
                          reinterpret_cast<SQLPOINTER>(static_cast<std::intptr_t>(seconds)), 0);
}

std::string DbmsName(SQLHDBC dbc) {
  SQLCHAR name[256] = {};
  SQLSMALLINT length = 0;
  if (!SQL_SUCCEEDED(SQLGetInfo(dbc, SQL_DBMS_NAME, name, sizeof name, &length))) return {};
  return reinterpret_cast<const char*>(name);
}

// Disconnects and frees a connection the program opened; never throws.
void FreeConnection(SQLHENV env, SQLHDBC dbc) {
  if (dbc != SQL_NULL_HDBC) {
    if (!SQL_SUCCEEDED(SQLDisconnect(dbc))) {
      // A transaction still open keeps some drivers from disconnecting.
      (void)SQLEndTran(SQL_HANDLE_DBC, dbc, SQL_ROLLBACK);
      (void)SQLDisconnect(dbc);
    }
    (void)SQLFreeHandle(SQL_HANDLE_DBC, dbc);
  }
  if (env != SQL_NULL_HENV) (void)SQLFreeHandle(SQL_HANDLE_ENV, env);
}

// What SOCI's own connect does once connected: autocommit on and, for
// PostgreSQL, every digit of floating point values and unknown types read
// as long texts. Throws soci::odbc_soci_error.
void ConfigureConnection(SQLHDBC dbc, odbc_session_backend::database_product product) {
  SQLRETURN rc = SQLSetConnectAttr(dbc, SQL_ATTR_AUTOCOMMIT,
                                   reinterpret_cast<SQLPOINTER>(SQL_AUTOCOMMIT_ON), 0);
  if (!SQL_SUCCEEDED(rc)) throw soci::odbc_soci_error(SQL_HANDLE_DBC, dbc, "enabling auto commit");
  if (product != odbc_session_backend::prod_postgresql) return;
  SQLHSTMT st = SQL_NULL_HSTMT;
  rc = SQLAllocHandle(SQL_HANDLE_STMT, dbc, &st);
  if (!SQL_SUCCEEDED(rc)) throw soci::odbc_soci_error(SQL_HANDLE_DBC, dbc, "allocating statement");
  static constexpr char kFloatDigits[] = "SET extra_float_digits = 3";
  rc = SQLExecDirect(st, reinterpret_cast<SQLCHAR*>(const_cast<char*>(kFloatDigits)), SQL_NTS);
  if (!SQL_SUCCEEDED(rc)) {
    soci::odbc_soci_error failure(SQL_HANDLE_STMT, st, "setting extra_float_digits");
    (void)SQLFreeHandle(SQL_HANDLE_STMT, st);
    throw failure;
  }
  (void)SQLFreeHandle(SQL_HANDLE_STMT, st);
  // psqlODBC's SQL_ATTR_PGOPT_UNKNOWNSASLONGVARCHAR; older drivers lack it.
  constexpr SQLINTEGER kUnknownsAsLongVarchar = 65544;
  (void)SQLSetConnectAttr(dbc, kUnknownsAsLongVarchar, reinterpret_cast<SQLPOINTER>(1), 0);
}

// SOCI builds its ODBC session back end only by connecting in its
// constructor, which can neither take time-outs nor free its handles when
// the connect fails. So the program connects by itself and lends its
// handles to a back end object SOCI built earlier for the same database
// product (the object reads the product once and keeps it). When the
// session closes, the program takes its handles back and keeps the object
// for the next connection. A new object costs SOCI's connect besides the
// program's, so one is built only when none is spare: once per product in
// a process that opens one connection at a time. Objects are never
// destroyed (SOCI's destructor would free handles they no longer hold).
class SpareBackends {
 public:
  // A spare object for the product `dbms`, or a new one built by SOCI on
  // `connect` (SOCI's connect, without time-outs, made just after the
  // program's own succeeded), its own connection closed again.
  static odbc_session_backend* Take(const std::string& dbms, const std::string& connect) {
    {
      std::lock_guard<std::mutex> lock(Mutex());
      std::vector<odbc_session_backend*>& spares = Spares()[dbms];
      if (!spares.empty()) {
        odbc_session_backend* backend = spares.back();
        spares.pop_back();
        return backend;
      }
    }
    const soci::backend_factory& odbc = *soci::factory_odbc();
    std::unique_ptr<soci::details::session_backend> made(
        odbc.make_session(soci::connection_parameters(odbc, connect)));
    auto* built = static_cast<odbc_session_backend*>(made.get());
    (void)built->get_database_product();  // read now, while connected
    (void)made.release();
    FreeConnection(built->henv_, built->hdbc_);
    built->henv_ = SQL_NULL_HENV;
    built->hdbc_ = SQL_NULL_HDBC;
    return built;
  }

  static void Give(const std::string& dbms, odbc_session_backend* backend) {
    std::lock_guard<std::mutex> lock(Mutex());
    Spares()[dbms].push_back(backend);
  }

 private:
  static std::mutex& Mutex() {
    static std::mutex mutex;
    return mutex;
  }
  static std::map<std::string, std::vector<odbc_session_backend*>>& Spares() {
    static auto* spares = new std::map<std::string, std::vector<odbc_session_backend*>>;
    return *spares;
  }
};
// The session back end SOCI sees: a borrowed back end object running on the
// program's own connection, which it hands back when the session closes.
class LentBackend final : public soci::details::session_backend {
 public:
  LentBackend(std::string dbms, odbc_session_backend* backend)
      : dbms_(std::move(dbms)), backend_(backend) {}
  LentBackend(const LentBackend&) = delete;
  LentBackend& operator=(const LentBackend&) = delete;
  ~LentBackend() override {
    FreeConnection(backend_->henv_, backend_->hdbc_);
    backend_->henv_ = SQL_NULL_HENV;
    backend_->hdbc_ = SQL_NULL_HDBC;
    backend_->connection_string_.clear();
    SpareBackends::Give(dbms_, backend_);
  }

  odbc_session_backend& backend() { return *backend_; }

  bool is_connected() override { return backend_->is_connected(); }
  void begin() override { backend_->begin(); }
  void commit() override { backend_->commit(); }
  void rollback() override { backend_->rollback(); }
  bool get_next_sequence_value(soci::session& s, const std::string& sequence,
                               long long& value) override {
    return backend_->get_next_sequence_value(s, sequence, value);
  }
  bool get_last_insert_id(soci::session& s, const std::string& table, long long& value) override {
    return backend_->get_last_insert_id(s, table, value);
  }
  std::string get_dummy_from_table() const override { return backend_->get_dummy_from_table(); }
  std::string get_backend_name() const override { return backend_->get_backend_name(); }
  soci::details::statement_backend* make_statement_backend() override {
    return backend_->make_statement_backend();
  }
  soci::details::rowid_backend* make_rowid_backend() override {
    return backend_->make_rowid_backend();
  }
  soci::details::blob_backend* make_blob_backend() override {
    return backend_->make_blob_backend();
  }

 private:
  std::string dbms_;
  odbc_session_backend* backend_;
};

// Hands a session the back end prepared for it on this thread.
class LentBackendFactory final : public soci::backend_factory {
 public:
  soci::details::session_backend* make_session(const soci::connection_parameters&) const override {
    LentBackend* backend = pending;
    pending = nullptr;
    if (backend == nullptr) throw soci::soci_error("The ODBC connection cannot be reopened");
    return backend;
  }
  static thread_local LentBackend* pending;
};
thread_local LentBackend* LentBackendFactory::pending = nullptr;

// The connection text with the PostgreSQL driver's options the program
// relies on, unless the text sets them itself. The program undoes a failed
// procedure's work to a savepoint of its own; left to its defaults, the
// driver rolls back each failed statement to a savepoint of its own around
// every statement of a transaction, and with statements prepared on the
// server it releases those in a way that drops the program's. So a failed
// statement leaves the transaction to the program (Protocol=7.4-0), and
// statements are not prepared on the server (UseServerSidePrepare=0; the
// server could not forget one freed while its transaction waits for that
// rollback either, and a later statement would clash with its name). Both
// also spare round trips per statement.
std::string WithDriverOptions(const std::string& connect) {
  if (!MentionsNoCase(connect, "postgres")) return connect;
  std::string text = connect;
  auto add = [&text](std::string_view key, std::string_view value) {
    if (MentionsNoCase(text, key)) return;
    if (!text.empty() && text.back() != ';') text += ';';
    text.append(key).append("=").append(value).append(";");
  };
  add("Protocol", "7.4-0");
  add("UseServerSidePrepare", "0");
  return text;
}

}  // namespace

std::unique_ptr<soci::session> OpenOdbcSession(const std::string& given, int timeout_seconds) {
  const std::string connect = WithDriverOptions(given);
  OdbcHandles h;
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_ENV, SQL_NULL_HANDLE, &h.env))) {
    h.env = SQL_NULL_HENV;
    throw soci::soci_error("Unable to get an ODBC environment handle");
  }
  if (!SQL_SUCCEEDED(SQLSetEnvAttr(h.env, SQL_ATTR_ODBC_VERSION,
                                   reinterpret_cast<SQLPOINTER>(SQL_OV_ODBC3), 0))) {
    soci::odbc_soci_error failure(SQL_HANDLE_ENV, h.env, "setting ODBC version 3");
    throw failure;
  }
  if (!SQL_SUCCEEDED(SQLAllocHandle(SQL_HANDLE_DBC, h.env, &h.dbc))) {
    h.dbc = SQL_NULL_HDBC;
    soci::odbc_soci_error failure(SQL_HANDLE_ENV, h.env, "allocating connection handle");
    throw failure;
  }
  if (!MentionsNoCase(connect, "connect_timeout") && !MentionsNoCase(connect, "logintimeout")) {
    SetTimeout(h.dbc, SQL_ATTR_LOGIN_TIMEOUT, timeout_seconds);
  }
  SetTimeout(h.dbc, SQL_ATTR_CONNECTION_TIMEOUT, timeout_seconds);
  if (!MentionsNoCase(connect, "statement_timeout") && !MentionsNoCase(connect, "querytimeout")) {
    SetTimeout(h.dbc, SQL_ATTR_QUERY_TIMEOUT, timeout_seconds);
  }

  SQLCHAR completed[1024] = {};
  SQLSMALLINT completed_length = 0;
  SQLRETURN rc = SQLDriverConnect(
      h.dbc, nullptr, reinterpret_cast<SQLCHAR*>(const_cast<char*>(connect.c_str())), SQL_NTS,
      completed, sizeof completed, &completed_length, SQL_DRIVER_NOPROMPT);
  if (!SQL_SUCCEEDED(rc)) {
    // The diagnostic is read before the handles go with `h`.
    soci::odbc_soci_error failure(SQL_HANDLE_DBC, h.dbc, "connecting to database");
    throw failure;
  }
  h.connected = true;

  // The handles pass to the borrowed object; the lent back end frees them
  // and returns the object when it is destroyed, on every path below.
  std::string dbms = DbmsName(h.dbc);
  odbc_session_backend* borrowed = SpareBackends::Take(dbms, connect);
  borrowed->henv_ = h.env;
  borrowed->hdbc_ = h.dbc;
  h.env = SQL_NULL_HENV;
  h.dbc = SQL_NULL_HDBC;
  borrowed->connection_string_.assign(reinterpret_cast<const char*>(completed),
                                      completed_length > 0 ? completed_length : 0);
  auto lent = std::make_unique<LentBackend>(std::move(dbms), borrowed);
  ConfigureConnection(borrowed->hdbc_, borrowed->get_database_product());

  static const LentBackendFactory factory;
  LentBackendFactory::pending = lent.get();
  try {
    auto session = std::make_unique<soci::session>(factory, connect);
    (void)lent.release();  // the session's now
    return session;
  } catch (...) {
    // Taken by a session that failed after all: that session may have it.
    if (LentBackendFactory::pending == nullptr) (void)lent.release();
    LentBackendFactory::pending = nullptr;
    throw;
  }
}

OdbcProduct ProductOf(soci::session& session) {
  auto* lent = static_cast<LentBackend*>(session.get_backend());
  switch (lent->backend().get_database_product()) {
    case odbc_session_backend::prod_postgresql:
      return OdbcProduct::kPostgreSql;
    case odbc_session_backend::prod_mssql:
      return OdbcProduct::kSqlServer;
    case odbc_session_backend::prod_sqlite:
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

OdbcDiagnostic DiagnosticOf(soci::statement& statement) {
  OdbcDiagnostic diagnostic;
  auto* backend = static_cast<soci::odbc_statement_backend*>(statement.get_backend());
  if (backend == nullptr) return diagnostic;
  SQLUINTEGER dead = SQL_CD_FALSE;
  if (SQL_SUCCEEDED(SQLGetConnectAttr(backend->session_.hdbc_, SQL_ATTR_CONNECTION_DEAD, &dead,
                                      SQL_IS_UINTEGER, nullptr))) {
    diagnostic.connection_dead = dead == SQL_CD_TRUE;
  }
  if (backend->hstmt_ == nullptr) return diagnostic;
  SQLCHAR state[SQL_SQLSTATE_SIZE + 1] = {};
  SQLINTEGER native = 0;
  SQLCHAR message[SQL_MAX_MESSAGE_LENGTH + 1] = {};
  SQLSMALLINT length = 0;
  SQLRETURN rc = SQLGetDiagRecA(SQL_HANDLE_STMT, backend->hstmt_, 1, state, &native, message,
                                sizeof message, &length);
  if (SQL_SUCCEEDED(rc)) {
    diagnostic.state = reinterpret_cast<const char*>(state);
    diagnostic.message = reinterpret_cast<const char*>(message);
  }
  return diagnostic;
}

bool IsTransientSqlState(std::string_view state) {
  if (state.size() != 5) return false;
  if (state.substr(0, 2) == "08") return true;
  for (std::string_view transient :
       {"HYT00", "HYT01", "40001", "40P01", "55P03", "57014", "57P01", "57P02", "57P03"}) {
    if (strncasecmp(state.data(), transient.data(), 5) == 0) return true;
  }
  return false;
}

bool IsTransientSqliteResult(int result) {
  switch (result & 0xFF) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_CANTOPEN:
      return true;
    default:
      return false;
  }
}

bool IsTransientFailure(const soci::soci_error& error) {
  if (const auto* odbc = dynamic_cast<const soci::odbc_soci_error*>(&error)) {
    return IsTransientSqlState(reinterpret_cast<const char*>(odbc->odbc_error_code()));
  }
  if (const auto* sqlite = dynamic_cast<const soci::sqlite3_soci_error*>(&error)) {
    return IsTransientSqliteResult(sqlite->result());
  }
  return false;
}

}  // namespace norv

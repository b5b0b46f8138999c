#include "db/database.h"

#include <soci/soci-config.h>
// Nothing here needs SOCI's Boost integration, and Boost is not a dependency.
#undef SOCI_HAVE_BOOST
#undef SOCI_HAVE_BOOST_DATE_TIME
#include <soci/odbc/soci-odbc.h>
#include <soci/soci.h>
#include <soci/sqlite3/soci-sqlite3.h>
#include <strings.h>
#include <sys/stat.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <deque>
#include <filesystem>
#include <limits>
#include <system_error>
#include <typeinfo>
#include <vector>

#include "core/dates.h"
#include "core/error.h"
#include "core/log.h"
#include "db/odbc_backend.h"
#include "core/ansi.h"

namespace norv {
namespace {

constexpr std::int32_t kErrInvalidUseOfNull = 94;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  return text.size() >= prefix.size() &&
         strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// Removes whatever could reveal a login from a driver message: the whole
// connection text, and the value of any pwd= or password= item.
std::string ScrubSecrets(std::string text, const std::string& connect) {
  if (!connect.empty()) {
    for (std::size_t at; (at = text.find(connect)) != std::string::npos;) {
      text.replace(at, connect.size(), "(connection)");
    }
  }
  for (std::string_view key : {"pwd=", "password="}) {
    std::size_t from = 0;
    while (from < text.size()) {
      std::size_t at = std::string::npos;
      for (std::size_t i = from; i + key.size() <= text.size(); ++i) {
        if (strncasecmp(text.data() + i, key.data(), key.size()) == 0) {
          at = i;
          break;
        }
      }
      if (at == std::string::npos) break;
      std::size_t value = at + key.size();
      std::size_t end = text.find_first_of(";} \r\n", value);
      if (end == std::string::npos) end = text.size();
      text.replace(value, end - value, "***");
      from = value + 3;
    }
  }
  return text;
}

// Driver messages become one log line: line breaks and tabs turn into
// blanks, the text into Windows-1252, and SOCI's own prefixes go.
std::string CleanMessage(std::string_view message, const std::string& connect) {
  std::string text;
  bool blank = false;
  for (char c : message) {
    if (c == '\r' || c == '\n' || c == '\t' || c == ' ') {
      blank = true;
      continue;
    }
    if (blank && !text.empty()) text.push_back(' ');
    blank = false;
    text.push_back(c);
  }
  static constexpr std::string_view kSqlitePrefix = "sqlite3_";
  if (text.compare(0, kSqlitePrefix.size(), kSqlitePrefix) == 0) {
    std::size_t colon = text.find(": ");
    if (colon != std::string::npos) text.erase(0, colon + 2);
  }
  return Utf8ToAnsi(ScrubSecrets(std::move(text), connect));
}

// Turns the exception being handled into Error; call only inside a catch
// block. `odbc_statement` (may be null) is the ODBC statement that failed:
// SOCI reports some of its failures (describing a result) with its own text
// and leaves the driver's message in the statement's diagnostics, and the
// statement's connection tells whether it was lost.
[[noreturn]] void RethrowAsError(const std::string& connect, soci::statement* odbc_statement) {
  try {
    throw;
  } catch (const Error&) {
    throw;
  } catch (const soci::soci_error& e) {
    std::string message = DriverMessageOf(e);
    bool transient = IsTransientFailure(e);
    if (odbc_statement) {
      OdbcDiagnostic diagnostic = DiagnosticOf(*odbc_statement);
      if (message.empty()) message = diagnostic.message;
      transient = transient || IsTransientSqlState(diagnostic.state) || diagnostic.connection_dead;
    }
    if (message.empty()) message = e.get_error_message();
    throw Error(kErrDatabase, CleanMessage(message, connect), transient);
  } catch (const std::bad_cast&) {
    throw Error(kErrTypeMismatch, "Type mismatch");
  } catch (const std::bad_alloc&) {
    throw;
  } catch (const std::exception& e) {
    throw Error(kErrDatabase, CleanMessage(e.what(), connect));
  }
}

bool ParseDigits(std::string_view text, int& value) {
  if (text.empty()) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  return true;
}

bool ParseIsoDate(std::string_view text, int& year, int& month, int& day) {
  if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
  if (!ParseDigits(text.substr(0, 4), year) || !ParseDigits(text.substr(5, 2), month) ||
      !ParseDigits(text.substr(8, 2), day)) {
    return false;
  }
  return year >= 100 && IsCalendarDate(year, month, day);
}

// "HH:MM" or "HH:MM:SS" to "HH:MM:SS"; empty when it is not a time of day.
std::string NormaliseTime(std::string_view text) {
  int hour = 0, minute = 0, second = 0;
  bool ok = (text.size() == 5 || (text.size() == 8 && text[5] == ':')) && text[2] == ':' &&
            ParseDigits(text.substr(0, 2), hour) && ParseDigits(text.substr(3, 2), minute) &&
            (text.size() == 5 || ParseDigits(text.substr(6, 2), second));
  if (!ok || hour > 23 || minute > 59 || second > 59) return {};
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", hour, minute, second);
  return buf;
}

std::string FormatDate(const std::tm& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%04d-%02d-%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return buf;
}

std::string FormatTime(const std::tm& t) {
  char buf[48];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  return buf;
}

std::string FormatDouble(double value) {
  char buf[40];
  if (std::nearbyint(value) == value && std::fabs(value) < 1e15) {
    std::snprintf(buf, sizeof buf, "%.0f", value);
  } else {
    std::snprintf(buf, sizeof buf, "%.15g", value);
  }
  return buf;
}

std::int32_t CheckedInt32(long double value) {
  if (std::isnan(value)) throw Error(kErrTypeMismatch, "Type mismatch");
  long double rounded = std::nearbyint(value);  // half to even, as the runtime rounds
  if (rounded < std::numeric_limits<std::int32_t>::min() ||
      rounded > std::numeric_limits<std::int32_t>::max()) {
    throw Error(kErrOverflow, "Overflow");
  }
  return static_cast<std::int32_t>(rounded);
}

std::int32_t TextToInt32(const std::string& text) {
  std::size_t begin = text.find_first_not_of(' ');
  std::size_t end = text.find_last_not_of(' ');
  if (begin == std::string::npos) throw Error(kErrTypeMismatch, "Type mismatch");
  std::string trimmed = text.substr(begin, end - begin + 1);
  char* stop = nullptr;
  long double value = std::strtold(trimmed.c_str(), &stop);
  if (stop == trimmed.c_str() || *stop != '\0' || !std::isfinite(value)) {
    throw Error(kErrTypeMismatch, "Type mismatch");
  }
  return CheckedInt32(value);
}

}  // namespace

int EffectiveDatabaseTimeout(int seconds) {
  if (seconds < 1) return kDefaultDatabaseTimeout;
  return seconds > kMaxDatabaseTimeout ? kMaxDatabaseTimeout : seconds;
}

DatabaseTarget ResolveDBServer(std::string_view db_server, const std::string& program_dir) {
  static constexpr std::string_view kSqlite = "sqlite:";
  static constexpr std::string_view kOdbc = "odbc:";
  if (StartsWithNoCase(db_server, kSqlite)) {
    std::string path(db_server.substr(kSqlite.size()));
    if (!std::filesystem::path(path).is_absolute() && !program_dir.empty()) {
      path = program_dir + "/" + path;
    }
    return {"sqlite3", path};
  }
  if (StartsWithNoCase(db_server, kOdbc)) {
    return {"odbc", std::string(db_server.substr(kOdbc.size()))};
  }
  std::string text = "driver={SQL Server};server=";
  text += db_server;
  text += ";uid=K318;pwd=LmNoPq456;database=VLMDB2";
  return {"odbc", text};
}

// ---------------------------------------------------------------------------
// Connection

struct Connection::Impl {
  std::unique_ptr<soci::session> session;
  std::string connect;  // for scrubbing messages only; never logged
  bool odbc = false;
  bool in_transaction = false;
  // The SQLite file that was opened (device and inode), for Alive().
  dev_t file_device = 0;
  ino_t file_inode = 0;
  // The statements of this connection that are alive; their SOCI statements
  // are released before the session closes.
  std::vector<Statement::Impl*> statements;

  void ReleaseStatements();

  soci::session& Session() {
    if (!session) throw Error(kErrDatabase, "The connection is closed");
    return *session;
  }
};

Connection::Connection(std::string_view db_server, const std::string& program_dir,
                       int timeout_seconds)
    : impl_(std::make_shared<Impl>()) {
  DatabaseTarget target = ResolveDBServer(db_server, program_dir);
  const int timeout = EffectiveDatabaseTimeout(timeout_seconds);
  impl_->connect = target.connect;
  try {
    if (target.backend == "sqlite3") {
      // SQLite would create a missing file: the service never creates a
      // database, so a wrong path must fail here rather than at the first
      // statement with "no such table".
      std::error_code ec;
      if (!std::filesystem::is_regular_file(target.connect, ec)) {
        throw Error(kErrDatabase, "unable to open database file " + target.connect);
      }
      if (target.connect.find('"') != std::string::npos) {
        throw Error(kErrDatabase, "unsupported character '\"' in the database path");
      }
      // A writer of another process usually holds the file for a moment
      // only; waiting for it (up to the time-out) beats failing the message.
      std::string connect =
          "db=\"" + target.connect + "\" timeout=" + std::to_string(timeout);
      impl_->session = std::make_unique<soci::session>(*soci::factory_sqlite3(), connect);
      dialect_ = SqlDialect::kSqlite;
      struct stat file {};
      if (::stat(target.connect.c_str(), &file) == 0) {
        impl_->file_device = file.st_dev;
        impl_->file_inode = file.st_ino;
      }
    } else {
      impl_->session = OpenOdbcSession(target.connect, timeout);
      impl_->odbc = true;
      switch (ProductOf(*impl_->session)) {
        case OdbcProduct::kPostgreSql:
          dialect_ = SqlDialect::kPostgreSql;
          break;
        case OdbcProduct::kSqlServer:
          dialect_ = SqlDialect::kSqlServer;
          break;
        case OdbcProduct::kSqlite:
          dialect_ = SqlDialect::kSqlite;
          break;
        case OdbcProduct::kOther:
          dialect_ = SqlDialect::kOther;
          break;
      }
    }
  } catch (...) {
    impl_->session.reset();
    // Whatever keeps the database from opening (server down, login
    // refused, file missing) has nothing to do with the data at hand.
    try {
      RethrowAsError(impl_->connect, nullptr);
    } catch (const Error& e) {
      throw Error(e.number(), e.what(), true);
    }
  }
}

Connection::~Connection() {
  try {
    Close();
  } catch (...) {
  }
}

Connection::Connection(Connection&&) noexcept = default;

Connection& Connection::operator=(Connection&& other) noexcept {
  if (this != &other) {
    try {
      Close();
    } catch (...) {
    }
    impl_ = std::move(other.impl_);
    dialect_ = other.dialect_;
  }
  return *this;
}

void Connection::Close() {
  if (!impl_ || !impl_->session) return;
  impl_->ReleaseStatements();
  impl_->in_transaction = false;
  std::unique_ptr<soci::session> session = std::move(impl_->session);
  try {
    session->close();
  } catch (...) {
    RethrowAsError(impl_->connect, nullptr);
  }
}

void Connection::Begin() {
  try {
    soci::session& session = impl_->Session();
    if (dialect_ == SqlDialect::kSqlite && !impl_->odbc) {
      // Waits up to the busy time-out for another writer, like a statement.
      session.once << "BEGIN IMMEDIATE";
    } else {
      session.begin();
    }
    impl_->in_transaction = true;
  } catch (...) {
    RethrowAsError(impl_->connect, nullptr);
  }
}

void Connection::Commit() {
  try {
    soci::session& session = impl_->Session();
    impl_->in_transaction = false;
    session.commit();
  } catch (...) {
    RethrowAsError(impl_->connect, nullptr);
  }
}

void Connection::Rollback() {
  try {
    soci::session& session = impl_->Session();
    impl_->in_transaction = false;
    session.rollback();
  } catch (...) {
    RethrowAsError(impl_->connect, nullptr);
  }
}

bool Connection::in_transaction() const { return impl_ && impl_->in_transaction; }

void Connection::Savepoint() {
  try {
    impl_->Session().once << (dialect_ == SqlDialect::kSqlServer ? "SAVE TRANSACTION norv_call"
                                                                   : "SAVEPOINT norv_call");
  } catch (...) {
    RethrowAsError(impl_->connect, nullptr);
  }
}

void Connection::RollbackToSavepoint() {
  try {
    impl_->Session().once << (dialect_ == SqlDialect::kSqlServer
                                  ? "ROLLBACK TRANSACTION norv_call"
                                  : "ROLLBACK TO SAVEPOINT norv_call");
  } catch (...) {
    RethrowAsError(impl_->connect, nullptr);
  }
}

bool Connection::Alive() {
  if (!impl_ || !impl_->session) return false;
  if (!impl_->odbc) {
    struct stat file {};
    return ::stat(impl_->connect.c_str(), &file) == 0 && file.st_dev == impl_->file_device &&
           file.st_ino == impl_->file_inode;
  }
  if (dialect_ == SqlDialect::kOther) return true;
  try {
    Statement probe(*this, "SELECT 1 AS n");
    return probe.Next();
  } catch (...) {
    return false;
  }
}

Transaction::Transaction(Connection& con) : con_(con) { con_.Begin(); }

Transaction::~Transaction() {
  if (!open_) return;
  try {
    con_.Rollback();
  } catch (...) {
  }
}

void Transaction::Commit() {
  open_ = false;
  con_.Commit();
}

// ---------------------------------------------------------------------------
// Statement

namespace {

enum class ParamKind { kText, kInt, kDate, kTime, kNull };

// One bound value. SOCI binds by reference, so parameters live in a deque
// whose elements never move.
struct Param {
  std::string name;
  ParamKind kind = ParamKind::kText;
  std::string value;  // UTF-8 text, ISO date or time, as bound
  std::int32_t number = 0;
  std::tm date{};
  soci::indicator indicator = soci::i_ok;
  std::string shown;  // Windows-1252 text for the debug line
};

bool IsNameChar(char c) {
  return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '_';
}

}  // namespace

struct Statement::Impl {
  std::shared_ptr<Connection::Impl> owner;
  Connection::Impl& con;
  SqlDialect dialect;
  std::string text;  // as given, for the debug line
  std::string sql;   // as sent
  std::deque<Param> params;
  std::unique_ptr<soci::statement> st;
  soci::row row;
  // kReleased: the connection closed under the statement.
  enum class State { kNew, kRow, kDone, kReleased } state = State::kNew;

  // Statement texts are Windows-1252 like every other text of the program.
  Impl(Connection& c, std::string_view sql_text)
      : owner(c.impl_),
        con(*owner),
        dialect(c.dialect()),
        text(sql_text),
        sql(AnsiToUtf8(sql_text)) {
    con.statements.push_back(this);
  }

  ~Impl() {
    Release();
    std::erase(con.statements, this);
  }

  // Frees the SOCI statement (and with it any open result); a destructor or
  // a closing connection must not throw, so a failure here is dropped.
  void Release() noexcept {
    if (state != State::kDone) state = State::kReleased;
    try {
      st.reset();
    } catch (...) {
    }
  }

  Param& Add(std::string_view name, ParamKind kind) {
    if (state != State::kNew) {
      throw Error(kErrDatabase, "A value was bound after the statement ran");
    }
    Param& p = params.emplace_back();
    p.name = std::string(name);
    p.kind = kind;
    return p;
  }

  // Prepares, binds and runs the statement; true when a first row came back.
  bool Run(bool with_rows) {
    st = std::make_unique<soci::statement>(con.Session());
    if (with_rows) st->exchange(soci::into(row));
    for (Param& p : params) {
      switch (p.kind) {
        case ParamKind::kInt:
          st->exchange(soci::use(p.number, p.name));
          break;
        case ParamKind::kDate:
          if (dialect == SqlDialect::kSqlite) {
            st->exchange(soci::use(p.value, p.name));
          } else {
            st->exchange(soci::use(p.date, p.name));
          }
          break;
        case ParamKind::kNull:
          p.indicator = soci::i_null;
          st->exchange(soci::use(p.value, p.indicator, p.name));
          break;
        case ParamKind::kText:
        case ParamKind::kTime:
          st->exchange(soci::use(p.value, p.name));
          break;
      }
    }
    st->alloc();
    st->prepare(sql);
    st->define_and_bind();
    return st->execute(true);
  }

  std::size_t Column(std::string_view name) const {
    if (state != State::kRow) throw Error(kErrDatabase, "No current row");
    for (std::size_t i = 0; i < row.size(); ++i) {
      const std::string& column = row.get_properties(i).get_name();
      if (column.size() == name.size() &&
          strncasecmp(column.data(), name.data(), name.size()) == 0) {
        return i;
      }
    }
    throw Error(kErrDatabase, "Column " + std::string(name) + " is not in the result");
  }

  [[noreturn]] void Fail() { RethrowAsError(con.connect, con.odbc ? st.get() : nullptr); }
};

Statement::Statement(Connection& con, std::string sql)
    : impl_(std::make_unique<Impl>(con, std::move(sql))) {
  impl_->con.Session();  // a closed connection fails here
}

Statement::~Statement() = default;

void Connection::Impl::ReleaseStatements() {
  for (Statement::Impl* statement : statements) statement->Release();
}

namespace {
// A value as the debug text shows it: between single quotes, not escaped.
std::string Quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out.push_back('\'');
  out.append(text);
  out.push_back('\'');
  return out;
}
}  // namespace

Statement& Statement::BindText(std::string_view name, std::string_view text) {
  Param& p = impl_->Add(name, ParamKind::kText);
  p.value = AnsiToUtf8(text);
  p.shown = Quoted(text);
  return *this;
}

Statement& Statement::BindInt(std::string_view name, std::int32_t value) {
  Param& p = impl_->Add(name, ParamKind::kInt);
  p.number = value;
  p.shown = std::to_string(value);
  return *this;
}

Statement& Statement::BindDate(std::string_view name, std::string_view iso_date,
                               std::string_view shown) {
  int year = 0, month = 0, day = 0;
  if (!ParseIsoDate(iso_date, year, month, day)) throw Error(kErrTypeMismatch, "Type mismatch");
  Param& p = impl_->Add(name, ParamKind::kDate);
  p.value = std::string(iso_date);
  p.date.tm_year = year - 1900;
  p.date.tm_mon = month - 1;
  p.date.tm_mday = day;
  p.shown = Quoted(shown.empty() ? iso_date : shown);
  return *this;
}

Statement& Statement::BindTime(std::string_view name, std::string_view time) {
  std::string normalised = NormaliseTime(time);
  if (normalised.empty()) throw Error(kErrTypeMismatch, "Type mismatch");
  Param& p = impl_->Add(name, ParamKind::kTime);
  p.value = normalised;
  p.shown = Quoted(time);
  return *this;
}

Statement& Statement::BindNull(std::string_view name) {
  Param& p = impl_->Add(name, ParamKind::kNull);
  p.shown = "NULL";
  return *this;
}

std::string Statement::Shown() const {
  const std::string& sql = impl_->text;
  std::string out;
  bool quoted = false;
  for (std::size_t i = 0; i < sql.size(); ++i) {
    char c = sql[i];
    if (c == '\'') quoted = !quoted;
    if (quoted || c != ':' || i + 1 >= sql.size() || !IsNameChar(sql[i + 1])) {
      out.push_back(c);
      continue;
    }
    std::size_t end = i + 1;
    while (end < sql.size() && IsNameChar(sql[end])) ++end;
    std::string_view name(sql.data() + i + 1, end - i - 1);
    const Param* param = nullptr;
    for (const Param& p : impl_->params) {
      if (p.name == name) param = &p;
    }
    if (param == nullptr) {
      out.append(sql, i, end - i);
    } else {
      out += param->shown;
    }
    i = end - 1;
  }
  return out;
}

void Statement::LogSql(Log& log) const {
  if (log.DebugOn()) log.WriteDebugLog("SQL: " + Shown());
}

void Statement::Execute() {
  if (impl_->state == Impl::State::kReleased) {
    throw Error(kErrDatabase, "The connection is closed");
  }
  if (impl_->state != Impl::State::kNew) {
    throw Error(kErrDatabase, "The statement has already run");
  }
  try {
    impl_->Run(false);
    impl_->state = Impl::State::kDone;  // the statement stays for AffectedRows()
  } catch (...) {
    impl_->state = Impl::State::kDone;
    impl_->Fail();
  }
}

std::int64_t Statement::AffectedRows() const {
  if (!impl_->st) throw Error(kErrDatabase, "The statement has not run");
  try {
    return impl_->st->get_affected_rows();
  } catch (...) {
    impl_->Fail();
  }
}

bool Statement::Next() {
  try {
    switch (impl_->state) {
      case Impl::State::kNew:
        impl_->state = impl_->Run(true) ? Impl::State::kRow : Impl::State::kDone;
        break;
      case Impl::State::kRow:
        if (!impl_->st->fetch()) impl_->state = Impl::State::kDone;
        break;
      case Impl::State::kDone:
        break;
      case Impl::State::kReleased:
        throw Error(kErrDatabase, "The connection is closed");
    }
  } catch (...) {
    impl_->state = Impl::State::kDone;
    impl_->Fail();
  }
  return impl_->state == Impl::State::kRow;
}

void Statement::Close() {
  impl_->state = Impl::State::kDone;
  try {
    impl_->st.reset();
  } catch (...) {
    impl_->Fail();
  }
}

bool Statement::IsNull(std::string_view column) const {
  std::size_t i = impl_->Column(column);
  return impl_->row.get_indicator(i) == soci::i_null;
}

std::string Statement::Text(std::string_view column) const {
  std::size_t i = impl_->Column(column);
  const soci::row& row = impl_->row;
  if (row.get_indicator(i) == soci::i_null) return {};
  try {
    switch (row.get_properties(i).get_data_type()) {
      case soci::dt_string:
      case soci::dt_xml:
        return Utf8ToAnsi(row.get<std::string>(i));
      case soci::dt_integer:
        return std::to_string(row.get<int>(i));
      case soci::dt_long_long:
        return std::to_string(row.get<long long>(i));
      case soci::dt_unsigned_long_long:
        return std::to_string(row.get<unsigned long long>(i));
      case soci::dt_double:
        return FormatDouble(row.get<double>(i));
      case soci::dt_date: {
        std::tm t = row.get<std::tm>(i);
        std::string text = FormatDate(t);
        if (t.tm_hour != 0 || t.tm_min != 0 || t.tm_sec != 0) text.append(" ").append(FormatTime(t));
        return text;
      }
      default:
        break;
    }
  } catch (...) {
    impl_->Fail();
  }
  throw Error(kErrTypeMismatch, "Type mismatch");
}

std::int32_t Statement::Int32(std::string_view column) const {
  std::size_t i = impl_->Column(column);
  const soci::row& row = impl_->row;
  if (row.get_indicator(i) == soci::i_null) {
    throw Error(kErrInvalidUseOfNull, "Invalid use of Null");
  }
  try {
    switch (row.get_properties(i).get_data_type()) {
      case soci::dt_integer:
        return row.get<int>(i);
      case soci::dt_long_long:
        return CheckedInt32(static_cast<long double>(row.get<long long>(i)));
      case soci::dt_unsigned_long_long:
        return CheckedInt32(static_cast<long double>(row.get<unsigned long long>(i)));
      case soci::dt_double:
        return CheckedInt32(row.get<double>(i));
      case soci::dt_string:
        return TextToInt32(row.get<std::string>(i));
      default:
        break;
    }
  } catch (const Error&) {
    throw;
  } catch (...) {
    impl_->Fail();
  }
  throw Error(kErrTypeMismatch, "Type mismatch");
}

std::string Statement::Date(std::string_view column) const {
  std::size_t i = impl_->Column(column);
  const soci::row& row = impl_->row;
  if (row.get_indicator(i) == soci::i_null) return {};
  if (row.get_properties(i).get_data_type() != soci::dt_date) return Text(column);
  return FormatDate(row.get<std::tm>(i));
}

std::string Statement::Time(std::string_view column) const {
  std::size_t i = impl_->Column(column);
  const soci::row& row = impl_->row;
  if (row.get_indicator(i) == soci::i_null) return {};
  if (row.get_properties(i).get_data_type() != soci::dt_date) return Text(column);
  return FormatTime(row.get<std::tm>(i));
}

}  // namespace norv

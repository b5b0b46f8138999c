#include "operations/journal.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <utility>

#include "core/ansi.h"
#include "operations/service_state.h"

namespace norv {
namespace {

constexpr char kSchema[] =
    "CREATE TABLE IF NOT EXISTS messages("
    " id INTEGER PRIMARY KEY, kind TEXT NOT NULL, at INTEGER NOT NULL,"
    " finished INTEGER NOT NULL, file TEXT NOT NULL, disposal TEXT NOT NULL,"
    " peer TEXT NOT NULL, answer TEXT NOT NULL, reason TEXT NOT NULL,"
    " sending_application TEXT NOT NULL, sending_facility TEXT NOT NULL,"
    " event TEXT NOT NULL, control_id TEXT NOT NULL, patient_ids TEXT NOT NULL,"
    " accessions TEXT NOT NULL, order_controls TEXT NOT NULL, outcome TEXT NOT NULL,"
    " error_lines TEXT NOT NULL, more_error_lines INTEGER NOT NULL, changes TEXT NOT NULL,"
    " seconds REAL NOT NULL);"
    "CREATE INDEX IF NOT EXISTS messages_at ON messages(at);"
    // What --trace looks records up by: patient ids, accession numbers, the
    // control id, the files and their names.
    "CREATE TABLE IF NOT EXISTS lookup(value TEXT NOT NULL, message INTEGER NOT NULL);"
    "CREATE INDEX IF NOT EXISTS lookup_value ON lookup(value);"
    "CREATE INDEX IF NOT EXISTS lookup_message ON lookup(message);";

constexpr char kColumns[] =
    "id, kind, at, finished, file, disposal, peer, answer, reason, sending_application,"
    " sending_facility, event, control_id, patient_ids, accessions, order_controls, outcome,"
    " error_lines, more_error_lines, changes, seconds";

std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& l : lines) {
    if (!out.empty()) out += '\n';
    out += l;
  }
  return out;
}

std::vector<std::string> Split(std::string_view text) {
  std::vector<std::string> out;
  while (!text.empty()) {
    std::size_t end = text.find('\n');
    out.emplace_back(text.substr(0, end));
    if (end == std::string_view::npos) break;
    text.remove_prefix(end + 1);
  }
  return out;
}

std::vector<std::string> Utf8All(const std::vector<std::string>& ansi) {
  std::vector<std::string> out;
  out.reserve(ansi.size());
  for (const std::string& a : ansi) out.push_back(AnsiToUtf8(a));
  return out;
}

std::string NameOf(const std::string& path) {
  std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// A prepared statement, finalised on every path.
class Stmt {
 public:
  Stmt(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &st_, nullptr); }
  ~Stmt() { sqlite3_finalize(st_); }
  Stmt(const Stmt&) = delete;
  Stmt& operator=(const Stmt&) = delete;
  bool ok() const { return rc_ == SQLITE_OK; }
  sqlite3_stmt* get() { return st_; }
  void Text(int i, const std::string& v) {
    sqlite3_bind_text(st_, i, v.data(), static_cast<int>(v.size()), SQLITE_TRANSIENT);
  }
  void Int(int i, std::int64_t v) { sqlite3_bind_int64(st_, i, v); }
  std::string ColumnText(int i) {
    const unsigned char* t = sqlite3_column_text(st_, i);
    return t == nullptr ? std::string()
                        : std::string(reinterpret_cast<const char*>(t),
                                      static_cast<std::size_t>(sqlite3_column_bytes(st_, i)));
  }

 private:
  sqlite3_stmt* st_ = nullptr;
  int rc_;
};

bool Exec(sqlite3* db, const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  if (error != nullptr) *error = message != nullptr ? message : sqlite3_errmsg(db);
  sqlite3_free(message);
  return false;
}

bool Fail(sqlite3* db, std::string* error) {
  if (error != nullptr) *error = sqlite3_errmsg(db);
  return false;
}

// Creates the file with mode 0600 when it is missing (never through a link)
// and narrows an existing file of ours to 0600.
bool PrepareFile(const std::string& path, bool create, std::string* error) {
  int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC | (create ? O_CREAT : 0);
  int fd = open(path.c_str(), flags, 0600);
  if (fd < 0 && errno == EACCES) fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) {
    if (error != nullptr) *error = "cannot open " + path + ": " + std::strerror(errno);
    return false;
  }
  struct stat st {};
  bool ok = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  if (ok && st.st_uid == geteuid() && (st.st_mode & 077) != 0) (void)fchmod(fd, 0600);
  close(fd);
  if (!ok && error != nullptr) *error = path + " is not a regular file";
  return ok;
}

}  // namespace

JournalRecord RecordOfTaken(const TakenFile& taken) {
  JournalRecord r;
  r.kind = JournalRecord::Kind::kTaken;
  r.at = taken.taken_at;
  r.finished = taken.finished_at;
  r.file = AnsiToUtf8(taken.path);
  r.disposal = AnsiToUtf8(taken.disposal);
  r.sending_application = AnsiToUtf8(taken.sending_application);
  r.sending_facility = AnsiToUtf8(taken.sending_facility);
  r.event = AnsiToUtf8(taken.event);
  r.control_id = AnsiToUtf8(taken.control_id);
  r.patient_ids = Utf8All(taken.patient_ids);
  r.accessions = Utf8All(taken.accessions);
  r.order_controls = Utf8All(taken.order_controls);
  r.outcome = taken.held ? "held" : std::string(OutcomeName(taken.outcome));
  r.error_lines = Utf8All(taken.notes.error_lines);
  r.more_error_lines = static_cast<std::int64_t>(taken.notes.more_error_lines);
  r.changes = Utf8All(taken.notes.changes);
  r.seconds = taken.seconds;
  return r;
}

JournalRecord RecordOfReceived(const ReceivedMessage& received) {
  JournalRecord r;
  r.kind = JournalRecord::Kind::kReceived;
  r.at = received.at;
  r.finished = received.at;
  r.file = AnsiToUtf8(received.file);
  r.peer = received.peer;
  r.answer = received.answer;
  r.reason = AnsiToUtf8(received.reason);
  r.sending_application = AnsiToUtf8(received.sending_application);
  r.sending_facility = AnsiToUtf8(received.sending_facility);
  r.event = AnsiToUtf8(received.event);
  r.control_id = AnsiToUtf8(received.control_id);
  return r;
}

std::string JournalPath(const std::string& program_dir, const std::string& instance) {
  return program_dir + "/NORVReader." + instance + ".journal";
}

std::unique_ptr<Journal> Journal::Open(const std::string& path, bool create, std::string* error) {
  if (!PrepareFile(path, create, error)) return nullptr;
  sqlite3* db = nullptr;
  int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOFOLLOW | SQLITE_OPEN_NOMUTEX;
  if (sqlite3_open_v2(path.c_str(), &db, flags, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    db = nullptr;
    // A journal the reader may not write is still read.
    if (create || sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW,
                                  nullptr) != SQLITE_OK) {
      if (error != nullptr) *error = path + ": " + (db ? sqlite3_errmsg(db) : "cannot be opened");
      sqlite3_close(db);
      return nullptr;
    }
  }
  std::unique_ptr<Journal> journal(new Journal(db));
  // The service, the receiver and --trace share the file; a writer waits a
  // moment for another one rather than losing the record.
  sqlite3_busy_timeout(db, 2000);
  std::string why;
  const bool writable = sqlite3_db_readonly(db, "main") == 0;
  if (writable && (!Exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;", &why) ||
                   !Exec(db, kSchema, &why))) {
    if (error != nullptr) *error = path + ": " + why;
    return nullptr;
  }
  return journal;
}

Journal::~Journal() { sqlite3_close(db_); }

bool Journal::Add(std::vector<JournalRecord>& records, std::string* error) {
  if (!Exec(db_, "BEGIN IMMEDIATE", error)) return false;
  auto rollback = [&] {
    Fail(db_, error);
    (void)Exec(db_, "ROLLBACK", nullptr);
    return false;
  };
  Stmt st(db_,
          "INSERT INTO messages(kind, at, finished, file, disposal, peer, answer, reason,"
          " sending_application, sending_facility, event, control_id, patient_ids, accessions,"
          " order_controls, outcome, error_lines, more_error_lines, changes, seconds)"
          " VALUES(?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?,?)");
  Stmt key(db_, "INSERT INTO lookup(value, message) VALUES(?, ?)");
  if (!st.ok() || !key.ok()) return rollback();
  for (JournalRecord& r : records) {
    sqlite3_reset(st.get());
    st.Text(1, r.kind == JournalRecord::Kind::kTaken ? "taken" : "received");
    st.Int(2, r.at);
    st.Int(3, r.finished);
    st.Text(4, r.file);
    st.Text(5, r.disposal);
    st.Text(6, r.peer);
    st.Text(7, r.answer);
    st.Text(8, r.reason);
    st.Text(9, r.sending_application);
    st.Text(10, r.sending_facility);
    st.Text(11, r.event);
    st.Text(12, r.control_id);
    st.Text(13, Joined(r.patient_ids));
    st.Text(14, Joined(r.accessions));
    st.Text(15, Joined(r.order_controls));
    st.Text(16, r.outcome);
    st.Text(17, Joined(r.error_lines));
    st.Int(18, r.more_error_lines);
    st.Text(19, Joined(r.changes));
    sqlite3_bind_double(st.get(), 20, r.seconds);
    if (sqlite3_step(st.get()) != SQLITE_DONE) return rollback();
    r.id = sqlite3_last_insert_rowid(db_);
    std::vector<std::string> keys = r.patient_ids;
    keys.insert(keys.end(), r.accessions.begin(), r.accessions.end());
    // Files by their names; a whole path is looked up by its name too.
    for (const std::string* f : {&r.file, &r.disposal}) {
      if (!f->empty() && *f != "deleted") keys.push_back(NameOf(*f));
    }
    keys.push_back(r.control_id);
    for (std::size_t i = 0; i < keys.size(); ++i) {
      if (keys[i].empty()) continue;
      bool seen = false;
      for (std::size_t j = 0; j < i && !seen; ++j) seen = keys[j] == keys[i];
      if (seen) continue;
      sqlite3_reset(key.get());
      key.Text(1, keys[i]);
      key.Int(2, r.id);
      if (sqlite3_step(key.get()) != SQLITE_DONE) return rollback();
    }
  }
  if (!Exec(db_, "COMMIT", error)) {
    (void)Exec(db_, "ROLLBACK", nullptr);
    return false;
  }
  return true;
}

std::optional<int> Journal::Prune(std::int64_t before, int limit, std::string* error) {
  if (!Exec(db_, "BEGIN IMMEDIATE", error)) return std::nullopt;
  std::vector<std::int64_t> ids;
  {
    Stmt st(db_, "SELECT id FROM messages WHERE at < ? ORDER BY at LIMIT ?");
    st.Int(1, before);
    st.Int(2, limit);
    int rc;
    while (st.ok() && (rc = sqlite3_step(st.get())) == SQLITE_ROW) {
      ids.push_back(sqlite3_column_int64(st.get(), 0));
    }
    if (!st.ok() || rc != SQLITE_DONE) {
      Fail(db_, error);
      (void)Exec(db_, "ROLLBACK", nullptr);
      return std::nullopt;
    }
  }
  Stmt messages(db_, "DELETE FROM messages WHERE id = ?");
  Stmt lookup(db_, "DELETE FROM lookup WHERE message = ?");
  for (std::int64_t id : ids) {
    for (Stmt* st : {&messages, &lookup}) {
      if (!st->ok()) break;
      sqlite3_reset(st->get());
      st->Int(1, id);
      if (sqlite3_step(st->get()) != SQLITE_DONE) {
        Fail(db_, error);
        (void)Exec(db_, "ROLLBACK", nullptr);
        return std::nullopt;
      }
    }
  }
  if (!messages.ok() || !lookup.ok() || !Exec(db_, "COMMIT", error)) {
    if (!messages.ok() || !lookup.ok()) Fail(db_, error);
    (void)Exec(db_, "ROLLBACK", nullptr);
    return std::nullopt;
  }
  return static_cast<int>(ids.size());
}

std::optional<std::vector<JournalRecord>> Journal::Select(const std::string& where,
                                                          const std::vector<std::string>& texts,
                                                          const std::vector<std::int64_t>& numbers,
                                                          std::string* error) {
  const std::string sql = std::string("SELECT ") + kColumns + " FROM messages WHERE " + where;
  Stmt st(db_, sql.c_str());
  if (!st.ok()) {
    Fail(db_, error);
    return std::nullopt;
  }
  int i = 1;
  for (const std::string& t : texts) st.Text(i++, t);
  for (std::int64_t n : numbers) st.Int(i++, n);
  std::vector<JournalRecord> out;
  int rc;
  while ((rc = sqlite3_step(st.get())) == SQLITE_ROW) {
    JournalRecord r;
    r.id = sqlite3_column_int64(st.get(), 0);
    r.kind = st.ColumnText(1) == "received" ? JournalRecord::Kind::kReceived
                                            : JournalRecord::Kind::kTaken;
    r.at = sqlite3_column_int64(st.get(), 2);
    r.finished = sqlite3_column_int64(st.get(), 3);
    r.file = st.ColumnText(4);
    r.disposal = st.ColumnText(5);
    r.peer = st.ColumnText(6);
    r.answer = st.ColumnText(7);
    r.reason = st.ColumnText(8);
    r.sending_application = st.ColumnText(9);
    r.sending_facility = st.ColumnText(10);
    r.event = st.ColumnText(11);
    r.control_id = st.ColumnText(12);
    r.patient_ids = Split(st.ColumnText(13));
    r.accessions = Split(st.ColumnText(14));
    r.order_controls = Split(st.ColumnText(15));
    r.outcome = st.ColumnText(16);
    r.error_lines = Split(st.ColumnText(17));
    r.more_error_lines = sqlite3_column_int64(st.get(), 18);
    r.changes = Split(st.ColumnText(19));
    r.seconds = sqlite3_column_double(st.get(), 20);
    out.push_back(std::move(r));
  }
  if (rc != SQLITE_DONE) {
    Fail(db_, error);
    return std::nullopt;
  }
  return out;
}

std::optional<std::vector<JournalRecord>> Journal::Find(std::string_view text, std::int64_t since,
                                                        std::string* error) {
  const std::string whole(text);
  if (whole.find('/') != std::string::npos) {
    return Select(
        "id IN (SELECT message FROM lookup WHERE value = ?) AND (file = ? OR disposal = ?)"
        " AND at >= ? ORDER BY at, id",
        {NameOf(whole), whole, whole}, {since}, error);
  }
  return Select("id IN (SELECT message FROM lookup WHERE value = ?) AND at >= ? ORDER BY at, id",
                {whole}, {since}, error);
}

std::optional<std::vector<JournalRecord>> Journal::Failed(std::int64_t since, std::string* error) {
  return Select(
      "((kind = 'taken' AND outcome = 'failed') OR (kind = 'received' AND answer <> 'AA'))"
      " AND at >= ? ORDER BY at, id",
      {}, {since}, error);
}

std::optional<JournalRecord> Journal::Record(std::int64_t id) {
  auto r = Select("id = ?", {}, {id}, nullptr);
  if (!r || r->empty()) return std::nullopt;
  return r->front();
}

std::optional<JournalRecord> Journal::ReceivedBefore(const JournalRecord& taken) {
  if (taken.file.empty()) return std::nullopt;
  auto r = Select(
      "id IN (SELECT message FROM lookup WHERE value = ?) AND kind = 'received'"
      " AND file = ? AND at <= ? ORDER BY at DESC, id DESC LIMIT 1",
      {NameOf(taken.file), taken.file}, {taken.at}, nullptr);
  if (!r || r->empty()) return std::nullopt;
  return r->front();
}

std::optional<JournalRecord> Journal::TakenAfter(const JournalRecord& received) {
  if (received.file.empty()) return std::nullopt;
  auto r = Select(
      "id IN (SELECT message FROM lookup WHERE value = ?) AND kind = 'taken'"
      " AND file = ? AND at >= ? ORDER BY at, id LIMIT 1",
      {NameOf(received.file), received.file}, {received.at}, nullptr);
  if (!r || r->empty()) return std::nullopt;
  return r->front();
}

JournalWriter::JournalWriter(std::string path, const Settings& settings, Problem problem)
    : path_(std::move(path)), settings_(settings), problem_(std::move(problem)) {}

JournalWriter::~JournalWriter() { Flush(); }

void JournalWriter::Tell(const std::vector<std::string>& lines) {
  for (const std::string& line : lines) {
    try {
      if (problem_) problem_(line);
    } catch (...) {
    }
  }
}

void JournalWriter::Failed(const std::string& what) {
  journal_.reset();
  retry_at_ = RepeatLimiter::Clock::now() + std::chrono::minutes(1);
  last_problem_ = "The message journal " + path_ +
                  " cannot be written; messages are handled without it: " + what;
  Tell(failures_.Occurred(last_problem_, RepeatLimiter::Clock::now()));
}

Journal* JournalWriter::Get() {
  if (journal_) return journal_.get();
  if (RepeatLimiter::Clock::now() < retry_at_) {
    // Counted as the same failure until the journal is tried again.
    Tell(failures_.Occurred(last_problem_, RepeatLimiter::Clock::now()));
    return nullptr;
  }
  std::string error;
  journal_ = Journal::Open(path_, true, &error);
  if (!journal_) Failed(error);
  return journal_.get();
}

void JournalWriter::Write(JournalRecord record) {
  if (settings_.JournalDays <= 0) return;
  try {
    if (pending_.empty()) first_pending_ = RepeatLimiter::Clock::now();
    pending_.push_back(std::move(record));
    if (pending_.size() >= kBatch) Flush();
  } catch (...) {
    // A record that cannot be made is lost; the message is not.
  }
}

void JournalWriter::FlushIfDue() {
  if (!pending_.empty() &&
      RepeatLimiter::Clock::now() - first_pending_ >= std::chrono::seconds(1)) {
    Flush();
  }
}

void JournalWriter::Flush() {
  if (pending_.empty()) return;
  try {
    std::vector<JournalRecord> records;
    records.swap(pending_);
    Journal* j = Get();
    if (j == nullptr) return;
    std::string error;
    if (!j->Add(records, &error)) {
      Failed(error);
      return;
    }
    Tell(failures_.Cleared());
  } catch (...) {
    pending_.clear();
  }
}

void JournalWriter::Prune(std::int64_t now, int limit) {
  Flush();
  if (settings_.JournalDays <= 0) return;
  try {
    Journal* j = Get();
    if (j == nullptr) return;
    std::string error;
    if (!j->Prune(now - std::int64_t{settings_.JournalDays} * 86400, limit, &error)) Failed(error);
  } catch (...) {
  }
}

}  // namespace norv

// How the database layer behaves when the database is not there, busy or
// silent: every such failure is transient and none takes longer than the
// connection's time-out; errors about the statement or its data are not
// transient; failed connects leave no memory behind.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <string>
#include <vector>

#include "core/error.h"
#include "db/database.h"
#include "db/odbc_backend.h"
#include "testing/database_fixture.h"
#include "testing/test_database.h"
#include "testing/test_util.h"

namespace norv {
namespace {

using testing::Backend;
using testing::TestDatabase;
using Clock = std::chrono::steady_clock;

// Far more than the one-second time-outs used below, far less than the
// minutes a call blocked for without them.
constexpr auto kNoBlocking = std::chrono::seconds(12);

using testing::ErrorOf;

// A TCP port on 127.0.0.1 that takes connections and never says a word
// (the kernel completes the handshake; nobody accepts or answers). With
// `listening` false, the port is closed again: connects are refused.
class LoopbackPort {
 public:
  explicit LoopbackPort(bool listening) {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        (listening && listen(fd_, 16) != 0)) {
      ADD_FAILURE() << "cannot open a loopback port";
    }
    port_ = ntohs(address.sin_port);
    if (!listening) {
      close(fd_);
      fd_ = -1;
    }
  }
  ~LoopbackPort() {
    if (fd_ >= 0) close(fd_);
  }
  LoopbackPort(const LoopbackPort&) = delete;
  LoopbackPort& operator=(const LoopbackPort&) = delete;

  // A DBServer value naming a PostgreSQL server on this port.
  std::string PostgreSqlServer() const {
    return "odbc:Driver={PostgreSQL Unicode};Server=127.0.0.1;Port=" + std::to_string(port_) +
           ";Database=norv;Uid=norv;Pwd=secret;";
  }

 private:
  int fd_ = -1;
  int port_ = 0;
};

// The PostgreSQL ODBC driver is configured where the test server is.
bool PostgreSqlDriverConfigured() { return !testing::PostgreSqlConnection().empty(); }

TEST(DatabaseFailureKind, SqlStatesAndSqliteResults) {
  struct Case {
    const char* state;
    bool transient;
  } states[] = {
      {"08001", true},  {"08S01", true},  {"08006", true},  {"HYT00", true},  {"HYT01", true},
      {"40001", true},  {"40P01", true},  {"55P03", true},  {"57014", true},  {"57P01", true},
      {"57P03", true},  {"23505", false}, {"23000", false}, {"22008", false}, {"42601", false},
      {"42P01", false}, {"IM002", false}, {"57P04", false}, {"", false},      {"0800", false},
  };
  for (const Case& c : states) EXPECT_EQ(IsTransientSqlState(c.state), c.transient) << c.state;
  // SQLITE_BUSY, SQLITE_LOCKED, SQLITE_CANTOPEN, SQLITE_BUSY_SNAPSHOT (extended);
  // SQLITE_ERROR, SQLITE_CONSTRAINT, SQLITE_CONSTRAINT_PRIMARYKEY, SQLITE_CORRUPT.
  for (int result : {5, 6, 14, 517}) EXPECT_TRUE(IsTransientSqliteResult(result)) << result;
  for (int result : {1, 19, 1555, 11}) EXPECT_FALSE(IsTransientSqliteResult(result)) << result;
}

TEST(DatabaseFailureKind, TimeoutsStayWithinRange) {
  EXPECT_EQ(EffectiveDatabaseTimeout(0), kDefaultDatabaseTimeout);
  EXPECT_EQ(EffectiveDatabaseTimeout(-5), kDefaultDatabaseTimeout);
  EXPECT_EQ(EffectiveDatabaseTimeout(1), 1);
  EXPECT_EQ(EffectiveDatabaseTimeout(kMaxDatabaseTimeout), kMaxDatabaseTimeout);
  EXPECT_EQ(EffectiveDatabaseTimeout(3600), kMaxDatabaseTimeout);
}

// Every way a database can fail to open is transient, and none waits
// longer than the time-out.
TEST(DatabaseConnect, FailuresToOpenAreTransientAndBounded) {
  testing::TempDir dir;
  LoopbackPort closed(false);
  LoopbackPort silent(true);
  struct Case {
    std::string what, db_server;
    bool needs_driver;
  } cases[] = {
      {"missing SQLite file", "sqlite:" + (dir / "none.db"), false},
      {"unknown ODBC driver", "odbc:Driver={No Such Driver};Server=127.0.0.1", false},
      {"refused", closed.PostgreSqlServer(), true},
      {"silent server", silent.PostgreSqlServer(), true},
  };
  for (const Case& c : cases) {
    if (c.needs_driver && !PostgreSqlDriverConfigured()) continue;
    Clock::time_point start = Clock::now();
    Error e = ErrorOf([&] { Connection con(c.db_server, 1); });
    EXPECT_LT(Clock::now() - start, kNoBlocking) << c.what;
    EXPECT_EQ(e.number(), kErrDatabase) << c.what;
    EXPECT_TRUE(e.transient()) << c.what << ": " << e.what();
    EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
  }
}

long ResidentKilobytes() {
  std::ifstream statm("/proc/self/statm");
  long size = 0, resident = 0;
  statm >> size >> resident;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

// The ODBC driver manager's handles of a failed connect must be freed:
// before, each failed connect kept tens of kilobytes for good.
TEST(DatabaseConnect, FailedConnectsKeepNoMemory) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer holds freed memory back on purpose";
#endif
  LoopbackPort closed(false);
  std::vector<std::string> targets = {"odbc:Driver={No Such Driver};Server=127.0.0.1"};
  if (PostgreSqlDriverConfigured()) targets.push_back(closed.PostgreSqlServer());
  for (const std::string& target : targets) {
    auto fail = [&](int times) {
      for (int i = 0; i < times; ++i) {
        try {
          Connection con(target, 1);
        } catch (const Error&) {
        }
      }
    };
    fail(200);  // the driver loaded, caches filled
    long before = ResidentKilobytes();
    fail(3000);
    EXPECT_LT(ResidentKilobytes() - before, 2048) << target;
  }
}

class DatabaseFaultOnBackend : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDatabase>(GetParam());
    if (!db_->available()) GTEST_SKIP() << "NORV_TEST_PG_CONNECTION is not set";
  }
  bool postgresql() const { return GetParam() == Backend::kPostgreSql; }
  std::unique_ptr<TestDatabase> db_;
};

// Another connection holding the table (SQLite: BEGIN EXCLUSIVE; PostgreSQL:
// LOCK TABLE) makes a write fail transiently within the time-out instead of
// blocking; once the lock is gone, the same connection goes on working.
TEST_P(DatabaseFaultOnBackend, LockHeldElsewhereFailsTransientlyWithinTheTimeout) {
  db_->AddPatient(1, "P1", "A");
  auto holder = std::make_unique<Connection>(db_->db_server());
  std::unique_ptr<Transaction> held;
  if (postgresql()) {
    held = std::make_unique<Transaction>(*holder);
    Statement(*holder, "LOCK TABLE tblPatienten IN ACCESS EXCLUSIVE MODE").Execute();
  } else {
    Statement(*holder, "BEGIN EXCLUSIVE").Execute();
  }

  Connection con(db_->db_server(), 1);
  const char* update = "UPDATE tblPatienten SET PATVorname = 'B' WHERE PATID = 1";
  Clock::time_point start = Clock::now();
  Error e = ErrorOf([&] { Statement(con, update).Execute(); });
  EXPECT_LT(Clock::now() - start, kNoBlocking);
  EXPECT_TRUE(e.transient()) << e.what();

  held.reset();
  holder.reset();
  Statement(con, update).Execute();
  EXPECT_EQ(db_->Patients()[0], "1|P1|X|A|B||1970-01-02|M");
}

// Errors about the statement or its data are for the message to answer for:
// never transient.
TEST_P(DatabaseFaultOnBackend, DataAndStatementErrorsAreNotTransient) {
  db_->AddPatient(1, "P1", "A");
  Connection con(db_->db_server(), 1);
  std::vector<std::string> statements = {
      "SELEC 1",
      "SELECT * FROM tblNichtDa",
      "INSERT INTO tblPatienten (PATID, PATID1) VALUES (1, 'P2')",  // duplicate key
  };
  if (postgresql()) statements.push_back("SELECT CAST('2024-02-30' AS DATE) AS d");
  for (const std::string& sql : statements) {
    Error e = ErrorOf([&] { Statement(con, sql).Next(); });
    EXPECT_EQ(e.number(), kErrDatabase) << sql;
    EXPECT_FALSE(e.transient()) << sql << ": " << e.what();
  }
}

INSTANTIATE_TEST_SUITE_P(Backends, DatabaseFaultOnBackend,
                         ::testing::ValuesIn(testing::AllBackends()),
                         testing::BackendParamName<::testing::TestParamInfo<Backend>>);

// A connection the server ends (a restart, an administrator) fails its
// next statement transiently.
TEST(DatabaseConnect, ConnectionEndedByTheServerIsTransient) {
  TestDatabase db(Backend::kPostgreSql);
  if (!db.available()) GTEST_SKIP() << "NORV_TEST_PG_CONNECTION is not set";
  Connection con(db.db_server(), 1);
  Statement pid(con, "SELECT pg_backend_pid() AS n");
  ASSERT_TRUE(pid.Next());
  const std::string backend = std::to_string(pid.Int32("n"));
  pid.Close();
  Connection admin(db.db_server());
  Statement(admin, "SELECT pg_terminate_backend(" + backend + ") AS n").Next();
  for (int i = 0; i < 100; ++i) {
    Statement gone(admin, "SELECT COUNT(*) AS n FROM pg_stat_activity WHERE pid = " + backend);
    if (gone.Next() && gone.Int32("n") == 0) break;
    usleep(50'000);
  }
  Error e = ErrorOf([&] { Statement(con, "SELECT 1 AS n").Next(); });
  EXPECT_TRUE(e.transient()) << e.what();
}

}  // namespace
}  // namespace norv

// GoogleTest fixture for tests of database procedures, run once per back end:
// a fresh program directory (for the logs and rename orders), default
// settings with DBServer naming a fresh test database, and readers for the
// two log files. PostgreSQL cases skip when NORV_TEST_PG_CONNECTION is unset.
#ifndef NORV_TESTING_DATABASE_FIXTURE_H_
#define NORV_TESTING_DATABASE_FIXTURE_H_

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/settings.h"
#include "testing/test_context.h"
#include "testing/test_database.h"
#include "testing/test_util.h"

namespace norv::testing {

class DatabaseFixture : public ::testing::TestWithParam<Backend> {
 protected:
  void SetUp() override {
    db_ = std::make_unique<TestDatabase>(GetParam());
    if (!db_->available()) GTEST_SKIP() << "NORV_TEST_PG_CONNECTION is not set";
    settings().DBServer = db_->db_server();
    settings().Debug = 1;
  }

  Settings& settings() { return ctx_.settings; }
  const DbContext& db() { return ctx_.db; }

  // The lines of a log file without their CR LF.
  std::vector<std::string> LogLines(const std::string& file) const {
    std::string text = ReadFile(home_ / ("Logs/" + file));
    std::vector<std::string> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
      std::size_t end = text.find("\r\n", pos);
      if (end == std::string::npos) end = text.size();
      lines.push_back(text.substr(pos, end - pos));
      pos = end + 2;
    }
    return lines;
  }
  std::vector<std::string> ErrorLines() const { return LogLines("NORVReaderError.log"); }
  // The debug lines without their date and time (the text starts at the
  // first print zone after the time stamp).
  std::vector<std::string> DebugTexts() const {
    std::vector<std::string> texts;
    for (const std::string& line : LogLines("NORVReaderDebug.log")) {
      std::size_t at = line.find_first_not_of(' ', line.find(' ', 11));
      texts.push_back(at == std::string::npos ? "" : line.substr(at));
    }
    return texts;
  }
  // Whether some debug line reads exactly `text`.
  bool HasDebugText(const std::string& text) const {
    for (const std::string& t : DebugTexts()) {
      if (t == text) return true;
    }
    return false;
  }

  TempDir home_;
  TestContext ctx_{home_.path()};
  std::unique_ptr<TestDatabase> db_;
};

// A context whose database cannot be opened (a missing SQLite file), for
// the tests of how procedures report an unreachable database.
struct UnreachableDatabase {
  UnreachableDatabase() { ctx.settings.DBServer = "sqlite:" + (home / "missing.db"); }
  const DbContext& db() { return ctx.db; }
  std::string ErrorLog() const { return ReadFile(home / "Logs/NORVReaderError.log"); }

  TempDir home;
  TestContext ctx{home.path()};
};

#define NORV_INSTANTIATE_FOR_BACKENDS(fixture)                                  \
  INSTANTIATE_TEST_SUITE_P(Backends, fixture,                                 \
                           ::testing::ValuesIn(::norv::testing::AllBackends()), \
                           ::norv::testing::BackendParamName<                   \
                               ::testing::TestParamInfo<::norv::testing::Backend>>)

// The error a callable throws as norv::Error; fails the test when it does not.
template <typename F>
Error ErrorOf(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no Error thrown";
  return Error(0, "");
}

}  // namespace norv::testing

#endif  // NORV_TESTING_DATABASE_FIXTURE_H_

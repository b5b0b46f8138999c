// The program's context for a unit test: default settings, a log writing
// into the test's program directory, the platform's file system (or the
// test's), a clock the test may fix, a new database connection per
// procedure call and no pause between identifier-allocation attempts.
#ifndef NORV_TESTING_TEST_CONTEXT_H_
#define NORV_TESTING_TEST_CONTEXT_H_

#include <string>

#include "core/context.h"
#include "core/log.h"
#include "core/settings.h"
#include "db/procedure.h"
#include "platform/file_system.h"
#include "platform/system.h"

namespace norv::testing {

struct TestContext {
  explicit TestContext(const std::string& program_dir, FileSystem& fs = PlatformFileSystem())
      : log(fs, program_dir, settings, [this] { return Now(); }),
        connections(settings, program_dir),
        db{{settings, log, fs, program_dir, [this] { return Now(); }}, connections, nullptr} {}
  TestContext(const TestContext&) = delete;
  TestContext& operator=(const TestContext&) = delete;

  LocalDateTime Now() const { return clock ? clock() : LocalNow(); }

  Clock clock;  // empty: the system clock
  Settings settings;
  Log log;
  ConnectionPerCall connections;
  DbContext db;  // also the plain Context
};

}  // namespace norv::testing

#endif  // NORV_TESTING_TEST_CONTEXT_H_
